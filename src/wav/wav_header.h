// The 44-byte RIFF/WAVE header: a "fmt " chunk for integer PCM and a "data"
// chunk; every integer little-endian, written byte by byte.
#pragma once

#include <cstdint>

#include "wav/output_stream.h"

namespace kelvora {

// Size of the header in front of the samples.
constexpr int wav_header_size = 44;

// Writes the low byte, then the high byte, of value.
void write_le16(uint16_t value, output_stream& out);

// Writes the four bytes of value, lowest first.
void write_le32(uint32_t value, output_stream& out);

// Writes 44 zero bytes that the finished header will replace.
void write_header_placeholder(output_stream& out);

// Writes the header for data_size sample bytes at the current position.
void write_header_fields(uint32_t data_size, output_stream& out);

// Moves to the start of the stream and writes the header over the placeholder.
void write_wav_header(uint32_t data_size, output_stream& out);

}  // namespace kelvora
