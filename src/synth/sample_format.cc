// Packing samples into frames: every channel the same sample, 16-bit samples
// low byte first.
#include "synth/sample_format.h"

#include <bit>
#include <cstring>

namespace kelvora {

namespace {

template <int bits, int channels>
void store_frames(const int* sample, uint64_t count, unsigned char* p) {
  if constexpr (bits == 16 && channels == 1 && std::endian::native == std::endian::little) {
    // The host's own order is low byte first: whole samples at a time.
    for (uint64_t i = 0; i < count; ++i) {
      const auto value = static_cast<int16_t>(sample[i]);
      std::memcpy(p + 2 * i, &value, 2);
    }
    return;
  }
  for (uint64_t i = 0; i < count; ++i) {
    if constexpr (bits == 8) {
      for (int c = 0; c < channels; ++c) *p++ = static_cast<unsigned char>(sample[i]);
    } else {
      const auto value = static_cast<uint16_t>(sample[i]);
      for (int c = 0; c < channels; ++c) {
        *p++ = static_cast<unsigned char>(value & 0xFF);
        *p++ = static_cast<unsigned char>(value >> 8);
      }
    }
  }
}

}  // namespace

void store_samples(const int* sample, uint64_t count, int32_t bits, int32_t channels, unsigned char* p) {
  const bool wide = bits == 16;
  if (channels == 1) {
    wide ? store_frames<16, 1>(sample, count, p) : store_frames<8, 1>(sample, count, p);
  } else {
    wide ? store_frames<16, 2>(sample, count, p) : store_frames<8, 2>(sample, count, p);
  }
}

}  // namespace kelvora
