// RIFF/WAVE header layout (all little-endian): "RIFF", data + 36, "WAVE",
// "fmt ", 16, format 1 (PCM), channels, sample rate, byte rate, block align,
// bits per sample, "data", data size.
#include "wav/wav_header.h"

#include "cli/settings.h"

namespace kelvora {

namespace {

void write_tag(const char* tag, output_stream& out) {
  for (int i = 0; i < 4; ++i) put_byte(out, static_cast<unsigned char>(tag[i]));
}

}  // namespace

void write_le16(uint16_t value, output_stream& out) {
  put_byte(out, static_cast<unsigned char>(value & 0xFF));
  put_byte(out, static_cast<unsigned char>(value >> 8));
}

void write_le32(uint32_t value, output_stream& out) {
  for (int shift = 0; shift < 32; shift += 8) {
    put_byte(out, static_cast<unsigned char>((value >> shift) & 0xFF));
  }
}

void write_header_placeholder(output_stream& out) {
  for (int i = 0; i < wav_header_size; ++i) put_byte(out, 0);
}

void write_header_fields(uint32_t data_size, output_stream& out) {
  // Settings were checked so that the byte rate fits 32 bits.
  const uint32_t block_align = static_cast<uint32_t>(bytes_per_frame());
  const uint32_t byte_rate = static_cast<uint32_t>(settings.sampling_rate) * block_align;
  write_tag("RIFF", out);
  write_le32(data_size + 36u, out);
  write_tag("WAVE", out);
  write_tag("fmt ", out);
  write_le32(16, out);
  write_le16(1, out);
  write_le16(static_cast<uint16_t>(settings.channels), out);
  write_le32(static_cast<uint32_t>(settings.sampling_rate), out);
  write_le32(byte_rate, out);
  write_le16(static_cast<uint16_t>(block_align), out);
  write_le16(static_cast<uint16_t>(settings.quantization_bits), out);
  write_tag("data", out);
  write_le32(data_size, out);
}

void write_wav_header(uint32_t data_size, output_stream& out) {
  rewind_output(out);
  write_header_fields(data_size, out);
  flush_output(out);
}

}  // namespace kelvora
