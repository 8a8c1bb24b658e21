// The vector kernels (tone_kernels.h). The polynomial kernel estimates each
// sine with a bound (fast_sine.h); the walk turns a tone frame by frame from
// polynomial starts. Either leaves a sample in doubt where its bound spans
// two codes, and the next stage decides it: walk, polynomials, library.
#include "synth/tone_kernels.h"

#include <algorithm>
#include <cmath>

#include "synth/fast_sine.h"

namespace kelvora {

namespace {

// Frames a kernel handles at once.
int kernel_width() { return has_avx2() ? 4 : 2; }

// Samples of the phases; count is a multiple of width (the caller pads).
// doubt receives, per phase, whether the library sine has to settle it.
template <int bits, int width>
[[gnu::always_inline]] inline void synthesise_lanes(const double* phase, uint64_t count, double scale,
                                                    int* sample, int* doubt) {
  using real = typename sine_lanes<width>::real;
  using mask = typename sine_lanes<width>::mask;
  using whole = typename sine_lanes<width>::whole;
  whole any_doubt{};
  for (uint64_t i = 0; i < count; i += width) {
    real x;
    __builtin_memcpy(&x, phase + i, sizeof x);
    real v;
    real bound;
    mask usable;
    sine_estimate<width>(x, v, bound, usable);
    // No clamping to [-1, 1] is needed: a lane within 1e-15 of a peak is a
    // near-peak lane, whose estimate is exact (bound 0).
    whole low;
    whole high;
    bounding_codes<bits, width>(v, bound, scale, low, high);
    const whole doubtful = (low != high) | (__builtin_convertvector(usable, whole) == 0);
    __builtin_memcpy(sample + i, &low, sizeof low);
    __builtin_memcpy(doubt + i, &doubtful, sizeof doubtful);
    any_doubt |= doubtful;
  }
  bool any = false;
  for (int lane = 0; lane < width; ++lane) any = any || any_doubt[lane] != 0;
  if (!any) return;
  for (uint64_t i = 0; i < count; ++i) {
    if (doubt[i] != 0) sample[i] = encode_sample<bits>(std::sin(phase[i]), scale);
  }
}

template <int bits>
void synthesise_default(const double* phase, uint64_t count, double scale, int* sample, int* doubt) {
  synthesise_lanes<bits, 2>(phase, count, scale, sample, doubt);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <int bits>
[[gnu::target("avx2")]] void synthesise_avx2(const double* phase, uint64_t count, double scale,
                                             int* sample, int* doubt) {
  synthesise_lanes<bits, 4>(phase, count, scale, sample, doubt);
}

#endif

// A walk of a tone: the frames of a cell inside a binade have the phases
// w * x_k with x_k = x0 + k * D exact, so the tone advances by the same
// angle from frame to frame. A walk takes the sine and cosine of `width`
// frames from the polynomials and turns them on `width` frames at a time by
// a rotation, starting afresh every walk_steps turns; the bound of its
// samples counts every rounding (doc/exactness.md, "The walk").
constexpr int walk_steps = 64;
constexpr double half_ulp = 0x1p-53;

// Samples of the frames k < frames with phases w * (x0 + k * D), walked
// `width` at a time; doubt is nonzero for those the walk leaves in doubt.
template <int bits, int width>
[[gnu::always_inline]] inline walk_result walk_lanes(double w, double x0, double D, uint64_t frames,
                                                     const walk_rotation& turn, double scale, int* sample,
                                                     int* doubt) {
  using real = typename sine_lanes<width>::real;
  using whole = typename sine_lanes<width>::whole;
  // The largest phase, of the frames and of the lanes past the last one.
  const double x_far = x0 + static_cast<double>(frames + width) * D;
  const double phase_most = 1.01 * w * std::max(std::fabs(x0), std::fabs(x_far));
  if (!(phase_most < sine_constants::range)) return walk_result::not_walked;
  // Start (1e-15 each for sine and cosine), the phases' own rounding at the
  // start and at the frame, the turns, the library, and rounding v +- bound.
  const double bound =
      1.01 * (1.5e-15 + 4 * half_ulp * phase_most + walk_steps * turn.step_error) + 3 * half_ulp;
  const real lane = lane_numbers<width>;
  // In registers: the stores below might alias the turn for all the compiler knows.
  const real bounds = real{} + bound;
  const real turn_cosine = real{} + turn.cosine;
  const real turn_sine = real{} + turn.sine;
  whole any_doubt{};
  const auto stride = static_cast<uint64_t>(width) * walk_steps;
  for (uint64_t first = 0; first < frames; first += stride) {
    const real x = x0 + (lane + static_cast<double>(first)) * D;
    real s;
    real c;
    sine_cosine_estimate<width>(w * x, s, c);
    const uint64_t end = std::min(frames, first + stride);
    // The samples of `width` frames from the walked sine; nonzero doubt where
    // the bound spans two codes.
    const auto settle = [&](uint64_t i) {
      whole low;
      whole high;
      bounding_codes<bits, width>(s, bounds, scale, low, high);
      const whole doubtful = low ^ high;
      __builtin_memcpy(sample + i, &low, sizeof low);
      __builtin_memcpy(doubt + i, &doubtful, sizeof doubtful);
      any_doubt |= doubtful;
    };
    const auto turn_on = [&] {
      const real turned_s = s * turn_cosine + c * turn_sine;
      const real turned_c = c * turn_cosine - s * turn_sine;
      s = turned_s;
      c = turned_c;
    };
    // Two turns a pass: the loop's count and test come half as often.
    uint64_t i = first;
    for (; i + 2 * width <= end; i += 2 * width) {
      settle(i);
      turn_on();
      settle(i + width);
      turn_on();
    }
    if (i < end) settle(i);
    if (i + width < end) {
      turn_on();
      settle(i + width);
    }
  }
  // Lanes past the last frame count too: at worst the doubt marks are read.
  bool any = false;
  for (int i = 0; i < width; ++i) any = any || any_doubt[i] != 0;
  return any ? walk_result::in_doubt : walk_result::sure;
}

template <int bits>
walk_result walk_default(double w, double x0, double D, uint64_t frames, const walk_rotation& turn,
                         double scale, int* sample, int* doubt) {
  return walk_lanes<bits, 2>(w, x0, D, frames, turn, scale, sample, doubt);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <int bits>
[[gnu::target("avx2")]] walk_result walk_avx2(double w, double x0, double D, uint64_t frames,
                                              const walk_rotation& turn, double scale, int* sample, int* doubt) {
  return walk_lanes<bits, 4>(w, x0, D, frames, turn, scale, sample, doubt);
}
#endif

}  // namespace

bool has_avx2() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
#else
  return false;
#endif
}

void settle_phases(double* phase, uint64_t count, const sample_code& code, int* sample, int* doubt) {
  const uint64_t padded = (count + 3) & ~uint64_t{3};
  for (uint64_t i = count; i < padded; ++i) phase[i] = 0.0;
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) {
    code.bits == 16 ? synthesise_avx2<16>(phase, padded, code.scale, sample, doubt)
                    : synthesise_avx2<8>(phase, padded, code.scale, sample, doubt);
    return;
  }
#endif
  code.bits == 16 ? synthesise_default<16>(phase, padded, code.scale, sample, doubt)
                  : synthesise_default<8>(phase, padded, code.scale, sample, doubt);
}

walk_rotation walk_rotation_for(double w, double D) {
  const int width = kernel_width();
  const double a = w * D;
  const double turn = width * a;  // exact: width is a power of two
  // The library's cosine and sine (within 2^-53 each), the rounding of
  // w * D times width, and the rounding of one complex product.
  const double error = (1.5 + width * a + 3.01) * half_ulp;
  return {std::cos(turn), std::sin(turn), error};
}

walk_result walk_tone(double w, double x0, double D, uint64_t frames, const walk_rotation& turn,
                      const sample_code& code, int* sample, int* doubt) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) {
    return code.bits == 16 ? walk_avx2<16>(w, x0, D, frames, turn, code.scale, sample, doubt)
                           : walk_avx2<8>(w, x0, D, frames, turn, code.scale, sample, doubt);
  }
#endif
  return code.bits == 16 ? walk_default<16>(w, x0, D, frames, turn, code.scale, sample, doubt)
                         : walk_default<8>(w, x0, D, frames, turn, code.scale, sample, doubt);
}

}  // namespace kelvora
