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

// The estimated sine and cosine of a walk's two rows of lanes from its frame `first`.
template <int width>
[[gnu::always_inline]] inline void start_rows(double w, double x0, double first, double D,
                                              typename sine_lanes<width>::real& s0,
                                              typename sine_lanes<width>::real& c0,
                                              typename sine_lanes<width>::real& s1,
                                              typename sine_lanes<width>::real& c1) {
  const typename sine_lanes<width>::real lane = lane_numbers<width>;
  sine_cosine_estimate<width>(w * (x0 + (lane + first) * D), s0, c0);
  sine_cosine_estimate<width>(w * (x0 + (lane + (first + width)) * D), s1, c1);
}

template <int width>
[[gnu::always_inline]] inline void start_walk_lanes(const double* w, const double* x0, double D, uint64_t n,
                                                    walk_start* start) {
  using real = typename sine_lanes<width>::real;
  for (uint64_t i = 0; i < n; ++i) {
    real s0;
    real c0;
    real s1;
    real c1;
    start_rows<width>(w[i], x0[i], 0, D, s0, c0, s1, c1);
    __builtin_memcpy(start[i].sine, &s0, sizeof s0);
    __builtin_memcpy(start[i].cosine, &c0, sizeof c0);
    __builtin_memcpy(start[i].sine + width, &s1, sizeof s1);
    __builtin_memcpy(start[i].cosine + width, &c1, sizeof c1);
  }
}

// Where a walk puts its samples: packed into one-channel frames at `packed`,
// or as whole numbers in `sample`, and then with `doubt` nonzero for those
// left in doubt where `marked`. The first two leave doubt unwritten: a walk in
// doubt is rare, and is walked again, marked.
enum class walk_store { packed, samples, marked };

// Samples of the frames k < frames with phases w * (x0 + k * D), walked
// `width` at a time, stored as `store` says.
template <int bits, int width, walk_store store>
[[gnu::always_inline]] inline walk_result walk_lanes(double w, double x0, double D, uint64_t frames,
                                                     const walk_rotation& turn, const walk_start& start,
                                                     double scale, int* sample, int* doubt,
                                                     unsigned char* packed) {
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
  // In registers: the stores below might alias the turn for all the compiler knows.
  const real bounds = real{} + bound;
  const real turn_cosine = real{} + turn.cosine;
  const real turn_sine = real{} + turn.sine;
  whole any_doubt{};
  // Two rows of lanes, `width` frames apart, each turned by 2 * width frames:
  // the rows' turns do not wait on each other.
  const auto stride = static_cast<uint64_t>(2 * width) * walk_steps;
  for (uint64_t first = 0; first < frames; first += stride) {
    real s0;
    real c0;
    real s1;
    real c1;
    if (first == 0) {
      __builtin_memcpy(&s0, start.sine, sizeof s0);
      __builtin_memcpy(&c0, start.cosine, sizeof c0);
      __builtin_memcpy(&s1, start.sine + width, sizeof s1);
      __builtin_memcpy(&c1, start.cosine + width, sizeof c1);
    } else {
      start_rows<width>(w, x0, static_cast<double>(first), D, s0, c0, s1, c1);
    }
    const uint64_t end = std::min(frames, first + stride);
    // The codes of `width` frames from the walked sine, counted in any_doubt
    // where the bound spans two codes (doubtful nonzero there).
    const auto codes_of = [&](const real& s, whole& doubtful) {
      whole low;
      whole high;
      bounding_codes<bits, width>(s, bounds, scale, low, high);
      doubtful = low ^ high;
      any_doubt |= doubtful;
      return low;
    };
    // The samples of `width` frames from frame i on.
    const auto settle = [&](uint64_t i, const real& s) {
      whole doubtful;
      const whole low = codes_of(s, doubtful);
      if constexpr (store == walk_store::packed) {
        store_lanes<bits, width>(low, packed + i * (bits / 8));
      } else {
        __builtin_memcpy(sample + i, &low, sizeof low);
      }
      if constexpr (store == walk_store::marked) __builtin_memcpy(doubt + i, &doubtful, sizeof doubtful);
    };
    const auto turn_on = [&](real& s, real& c) {
      const real turned_s = s * turn_cosine + c * turn_sine;
      const real turned_c = c * turn_cosine - s * turn_sine;
      s = turned_s;
      c = turned_c;
    };
    // Both rows' samples at once: packed, they go out in one store.
    const auto settle_both = [&](uint64_t i) {
      if constexpr (store == walk_store::packed) {
        whole doubtful;
        const whole low0 = codes_of(s0, doubtful);
        const whole low1 = codes_of(s1, doubtful);
        store_rows<bits, width>(low0, low1, packed + i * (bits / 8));
      } else {
        settle(i, s0);
        settle(i + width, s1);
      }
    };
    uint64_t i = first;
    for (; i + 2 * width <= end; i += 2 * width) {
      settle_both(i);
      turn_on(s0, c0);
      turn_on(s1, c1);
    }
    if (i < end) settle(i, s0);
    if (i + width < end) settle(i + width, s1);
  }
  // Lanes past the last frame count too: at worst the doubt marks are read.
  bool any = false;
  for (int i = 0; i < width; ++i) any = any || any_doubt[i] != 0;
  return any ? walk_result::in_doubt : walk_result::sure;
}

// A walk at a kernel width: packed where it may be and is sure of every
// sample, otherwise as whole numbers, marked when in doubt.
template <int bits, int width>
[[gnu::always_inline]] inline walk_result walk_at_width(double w, double x0, double D, uint64_t frames,
                                                        const walk_rotation& turn, const walk_start& start,
                                                        double scale, int* sample, int* doubt,
                                                        unsigned char* packed) {
  walk_result walked = walk_result::in_doubt;
  if (packed != nullptr) {
    // The last lanes may run past the last frame: what lies there stays.
    unsigned char* past = packed + frames * (bits / 8);
    unsigned char kept[8];
    __builtin_memcpy(kept, past, sizeof kept);
    walked = walk_lanes<bits, width, walk_store::packed>(w, x0, D, frames, turn, start, scale, sample, doubt, packed);
    __builtin_memcpy(past, kept, sizeof kept);
  } else {
    walked = walk_lanes<bits, width, walk_store::samples>(w, x0, D, frames, turn, start, scale, sample, doubt, packed);
  }
  if (walked != walk_result::in_doubt) return walked;
  return walk_lanes<bits, width, walk_store::marked>(w, x0, D, frames, turn, start, scale, sample, doubt, packed);
}

template <int bits>
walk_result walk_default(double w, double x0, double D, uint64_t frames, const walk_rotation& turn,
                         const walk_start& start, double scale, int* sample, int* doubt, unsigned char* packed) {
  return walk_at_width<bits, 2>(w, x0, D, frames, turn, start, scale, sample, doubt, packed);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <int bits>
[[gnu::target("avx2")]] walk_result walk_avx2(double w, double x0, double D, uint64_t frames,
                                              const walk_rotation& turn, const walk_start& start, double scale,
                                              int* sample, int* doubt, unsigned char* packed) {
  return walk_at_width<bits, 4>(w, x0, D, frames, turn, start, scale, sample, doubt, packed);
}

[[gnu::target("avx2")]] void start_walks_avx2(const double* w, const double* x0, double D, uint64_t n,
                                              walk_start* start) {
  start_walk_lanes<4>(w, x0, D, n, start);
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
  const int width = 2 * kernel_width();  // frames a turn moves a row of lanes
  const double a = w * D;
  const double turn = width * a;  // exact: width is a power of two
  // The library's cosine and sine (within 2^-53 each), the rounding of
  // w * D times width, and the rounding of one complex product.
  const double error = (1.5 + width * a + 3.01) * half_ulp;
  return {std::cos(turn), std::sin(turn), error};
}

void start_walks(const double* w, const double* x0, double D, uint64_t n, walk_start* start) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) {
    start_walks_avx2(w, x0, D, n, start);
    return;
  }
#endif
  start_walk_lanes<2>(w, x0, D, n, start);
}

walk_result walk_tone(double w, double x0, double D, uint64_t frames, const walk_rotation& turn,
                      const walk_start& start, const sample_code& code, int* sample, int* doubt,
                      unsigned char* packed) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) {
    return code.bits == 16 ? walk_avx2<16>(w, x0, D, frames, turn, start, code.scale, sample, doubt, packed)
                           : walk_avx2<8>(w, x0, D, frames, turn, start, code.scale, sample, doubt, packed);
  }
#endif
  return code.bits == 16 ? walk_default<16>(w, x0, D, frames, turn, start, code.scale, sample, doubt, packed)
                         : walk_default<8>(w, x0, D, frames, turn, start, code.scale, sample, doubt, packed);
}

}  // namespace kelvora
