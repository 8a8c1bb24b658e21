// How a sine value becomes stored bytes, the one place that knows the sample
// width and byte order: 8-bit samples are 128 - scale v truncated (unsigned),
// 16-bit samples -scale v truncated (signed, low byte first), where scale is
// sample_scale() (127 or 32767 times the level, negative when inverted).
// Every channel of a frame holds the same sample.
#pragma once

#include <bit>
#include <cstdint>

#include "synth/fast_sine.h"

namespace kelvora {

// How a sine value becomes a stored sample.
struct sample_code {
  int32_t bits;  // 8 or 16
  double scale;  // sample_scale()
};

// The sample of the sine value v at a sample width known when compiling.
template <int bits>
inline int encode_sample(double v, double scale) {
  if constexpr (bits == 8) {
    return static_cast<unsigned char>(static_cast<int>(128.0 - scale * v));
  } else {
    return static_cast<int16_t>(static_cast<int>(-scale * v));
  }
}

// The sample of the sine value v.
inline int encode_sample(double v, const sample_code& code) {
  return code.bits == 8 ? encode_sample<8>(v, code.scale) : encode_sample<16>(v, code.scale);
}

// The codes of v + bound (low) and v - bound (high), lane by lane: the code
// is monotone in v (falling, or rising when inverted), so a lane whose two
// codes agree has that code for every value in between.
template <int bits, int width>
[[gnu::always_inline]] inline void bounding_codes(const typename sine_lanes<width>::real& v,
                                                  const typename sine_lanes<width>::real& bound,
                                                  double scale, typename sine_lanes<width>::whole& low,
                                                  typename sine_lanes<width>::whole& high) {
  using whole = typename sine_lanes<width>::whole;
  if constexpr (bits == 8) {
    low = __builtin_convertvector(128.0 - scale * (v + bound), whole);
    high = __builtin_convertvector(128.0 - scale * (v - bound), whole);
  } else {
    low = __builtin_convertvector(-scale * (v + bound), whole);
    high = __builtin_convertvector(-scale * (v - bound), whole);
  }
}

// The sine values whose sample is `code`, roughly: [v_low, v_high] (rounded
// as it comes, for guesses that a proof then checks).
inline void sample_range(int code, const sample_code& format, double& v_low, double& v_high) {
  const double offset = format.bits == 8 ? 128.0 : 0.0;
  double y_low = code;  // trunc(offset - scale v) == code for y = offset - scale v in [y_low, y_high]
  double y_high = code + 1.0;
  if (format.bits == 16 && code <= 0) {  // truncation toward zero: (-1, 1) gives 0
    y_low = code - 1.0;
    y_high = code == 0 ? 1.0 : code;
  }
  const double a = (offset - y_low) / format.scale;
  const double b = (offset - y_high) / format.scale;
  v_low = a < b ? a : b;
  v_high = a < b ? b : a;
}

// The sample of frame i as stored in frames of frame_bytes bytes (its first channel).
inline int stored_sample(const unsigned char* bytes, int64_t i, int32_t bits, int32_t frame_bytes) {
  const unsigned char* p = bytes + i * frame_bytes;
  if (bits == 8) return p[0];
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

// Stores count samples as frames of the given width and channel count at p.
void store_samples(const int* sample, uint64_t count, int32_t bits, int32_t channels, unsigned char* p);

// Stores one sample as a frame at p: every channel the sample, 16-bit samples low byte first.
inline void store_sample(int sample, int32_t bits, int32_t channels, unsigned char* p) {
  // The first channel apart: a loop over them all became a call to memset.
  const auto value = static_cast<uint16_t>(sample);
  const auto low = static_cast<unsigned char>(value & 0xFF);
  const auto high = static_cast<unsigned char>(value >> 8);
  const int32_t width = bits == 8 ? 1 : 2;
  p[0] = low;
  if (width == 2) p[1] = high;
  for (int32_t c = 1; c < channels; ++c) {
    p[c * width] = low;
    if (width == 2) p[c * width + 1] = high;
  }
}

// Stores the codes of `width` lanes as one-channel frames at p.
template <int bits, int width>
[[gnu::always_inline]] inline void store_lanes(const typename sine_lanes<width>::whole& codes, unsigned char* p) {
  if constexpr (bits == 8) {
    typedef unsigned char narrow __attribute__((vector_size(width)));
    const narrow n = __builtin_convertvector(codes, narrow);
    __builtin_memcpy(p, &n, sizeof n);
  } else if constexpr (std::endian::native == std::endian::little) {
    typedef int16_t narrow __attribute__((vector_size(2 * width)));
    const narrow n = __builtin_convertvector(codes, narrow);
    __builtin_memcpy(p, &n, sizeof n);
  } else {
    for (int lane = 0; lane < width; ++lane) store_sample(codes[lane], bits, 1, p + 2 * lane);
  }
}

// Stores the codes of two rows of `width` lanes, the second after the first,
// as one-channel frames at p.
template <int bits, int width>
[[gnu::always_inline]] inline void store_rows(const typename sine_lanes<width>::whole& first,
                                              const typename sine_lanes<width>::whole& second, unsigned char* p) {
  if constexpr (bits == 16 && width == 4 && std::endian::native == std::endian::little) {
    // Each code's low half, the even halves of the two rows.
    typedef int16_t halves __attribute__((vector_size(16)));
    halves a;
    halves b;
    __builtin_memcpy(&a, &first, sizeof a);
    __builtin_memcpy(&b, &second, sizeof b);
    const halves n = __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14);
    __builtin_memcpy(p, &n, sizeof n);
  } else if constexpr (width == 4) {
    store_lanes<bits, 8>(__builtin_shufflevector(first, second, 0, 1, 2, 3, 4, 5, 6, 7), p);
  } else {
    store_lanes<bits, 4>(__builtin_shufflevector(first, second, 0, 1, 2, 3), p);
  }
}

}  // namespace kelvora
