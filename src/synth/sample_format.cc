// Packing samples into frames: every channel the same sample, 16-bit samples
// low byte first.
#include "synth/sample_format.h"

#include <bit>
#include <cstring>

#include "synth/tone_kernels.h"

namespace kelvora {

namespace {

template <int bits, int channels>
[[gnu::always_inline]] inline void store_frames(const int* sample, uint64_t count, unsigned char* p) {
  if constexpr (bits == 16 && channels == 1 && std::endian::native == std::endian::little) {
    // The host's own order is low byte first: whole samples at a time.
    for (uint64_t i = 0; i < count; ++i) {
      const auto value = static_cast<int16_t>(sample[i]);
      std::memcpy(p + 2 * i, &value, 2);
    }
    return;
  }
  for (uint64_t i = 0; i < count; ++i) store_sample(sample[i], bits, channels, p + i * (bits / 8) * channels);
}

// The loop of the sample width and channel count.
[[gnu::always_inline]] inline void store_in_format(const int* sample, uint64_t count, bool wide, int32_t channels,
                                                   unsigned char* p) {
  if (channels == 1) {
    wide ? store_frames<16, 1>(sample, count, p) : store_frames<8, 1>(sample, count, p);
  } else {
    wide ? store_frames<16, 2>(sample, count, p) : store_frames<8, 2>(sample, count, p);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same loops in the vector instructions of a machine that has them.
[[gnu::target("avx2")]] void store_avx2(const int* sample, uint64_t count, bool wide, int32_t channels,
                                        unsigned char* p) {
  store_in_format(sample, count, wide, channels, p);
}
#endif

}  // namespace

void store_samples(const int* sample, uint64_t count, int32_t bits, int32_t channels, unsigned char* p) {
  const bool wide = bits == 16;
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) {
    store_avx2(sample, count, wide, channels, p);
    return;
  }
#endif
  store_in_format(sample, count, wide, channels, p);
}

}  // namespace kelvora
