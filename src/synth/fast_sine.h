// A fast sine for sample synthesis that never changes a sample. It yields the
// sine together with a bound on its distance from the standard library's
// sine; wherever the bound leaves the truncated sample in doubt, the caller
// asks the library. Argument reduction is Cody-Waite with pi/2 in two parts
// (exact multiples for |x| < 2^20 pi/2); the kernels are the classic minimax
// polynomials on [-pi/4, pi/4] (error below 2^-58).
//
// Bounds: near a zero crossing the estimate is accurate relative to its size
// (1e-15 |v|, plus 1e-19 for the reduction); elsewhere within 1e-15. Near a
// peak the sine is 1 - h with h known to full relative precision, so the
// library's result (error below 0.55 ulp) is known exactly: the double below
// 1 nearest to 1 - h, unless 1 - h lies close to halfway between two.
//
// The same reduction and polynomials also give the sine and cosine (within
// 1e-15 of the true ones) from which a walk of a tone starts (tone_kernels.h).
//
// The estimate is written once over GCC vector extensions of any width, so
// that the same code runs two phases at a time with SSE2 and four with AVX2.
#pragma once

namespace kelvora {

namespace sine_constants {
constexpr double two_over_pi = 6.36619772367581382433e-01;
constexpr double pio2_hi = 1.57079632673412561417e+00;  // first 33 bits of pi/2
constexpr double pio2_lo = 6.07710050650619224932e-11;  // pi/2 - pio2_hi
constexpr double range = 1.6e6;                         // |x| below 2^20 pi/2
constexpr double round_shift = 0x1.8p52;                // adding it rounds to an integer
constexpr double near_peak = 0x1p-40;                   // h below this: near a peak
constexpr double ulps_per_unit = 0x1p53;                // doubles below 1 are 2^-53 apart
constexpr double settled_fraction = 0.45;               // library error 0.55 ulp leaves no choice
constexpr double s1 = -1.66666666666666324348e-01, s2 = 8.33333333332248946124e-03,
                 s3 = -1.98412698298579493134e-04, s4 = 2.75573137070700676789e-06,
                 s5 = -2.50507602534068634195e-08, s6 = 1.58969099521155010221e-10;
constexpr double c1 = 4.16666666666666019037e-02, c2 = -1.38888888888741095749e-03,
                 c3 = 2.48015872894767294178e-05, c4 = -2.75573143513906633035e-07,
                 c5 = 2.08757232129817482790e-09, c6 = -1.13596475577881948265e-11;
}  // namespace sine_constants

template <int width>
struct sine_lanes {
  typedef double real __attribute__((vector_size(8 * width)));
  typedef long long mask __attribute__((vector_size(8 * width)));
  typedef int whole __attribute__((vector_size(4 * width)));
};

// The lane numbers 0, 1, ..., width - 1.
template <int width>
inline constexpr typename sine_lanes<width>::real lane_numbers{0, 1, 2, 3};

template <>
inline constexpr typename sine_lanes<2>::real lane_numbers<2>{0, 1};

// Whether every lane of a mask is set.
template <int width>
[[gnu::always_inline]] inline bool all_lanes(const typename sine_lanes<width>::mask& m) {
  bool all = true;
  for (int lane = 0; lane < width; ++lane) all = all && m[lane] == -1;
  return all;
}

// h = 1 - cos(r) from z = r * r on the reduced range, for one double or
// lanes alike (the same operations in the same order, so the same bits).
template <class real>
[[gnu::always_inline]] inline void cosine_complement(const real& z, real& h) {
  using namespace sine_constants;
  const real z2 = z * z;
  const real z4 = z2 * z2;
  h = 0.5 * z - z2 * ((c1 + z * c2) + z2 * (c3 + z * c4) + z4 * (c5 + z * c6));
}

// The reduction x = n pi/2 + r of lanes with |x| below range, and the
// polynomials sin(r) and h = 1 - cos(r) there.
template <int width>
struct reduced_lanes {
  typename sine_lanes<width>::mask quarter_turns;  // n in the low bits
  typename sine_lanes<width>::real sine, h;
};

template <int width>
[[gnu::always_inline]] inline reduced_lanes<width> reduce_lanes(const typename sine_lanes<width>::real& xr) {
  using namespace sine_constants;
  using real = typename sine_lanes<width>::real;
  using mask = typename sine_lanes<width>::mask;
  // n = nearest integer to x / (pi/2); its low bits land in the mantissa.
  const real shifted = xr * two_over_pi + round_shift;
  const real n = shifted - round_shift;
  const real r = (xr - n * pio2_hi) - n * pio2_lo;  // n * pio2_hi is exact
  const real z = r * r;
  // Estrin's scheme: the polynomials' terms in pairs, for a short dependency chain.
  const real z2 = z * z;
  const real z4 = z2 * z2;
  const real sine = r + r * z * ((s1 + z * s2) + z2 * (s3 + z * s4) + z4 * (s5 + z * s6));
  real h;
  cosine_complement(z, h);
  return {(mask)shifted, sine, h};
}

// The estimate of sine_estimate from a reduction; usable is narrowed.
template <int width>
[[gnu::always_inline]] inline void sine_estimate_reduced(const reduced_lanes<width>& q,
                                                         typename sine_lanes<width>::real& v,
                                                         typename sine_lanes<width>::real& bound,
                                                         typename sine_lanes<width>::mask& usable) {
  using namespace sine_constants;
  using real = typename sine_lanes<width>::real;
  using mask = typename sine_lanes<width>::mask;
  const mask magnitude_bits = mask{} + 0x7FFFFFFFFFFFFFFFLL;
  const real cosine = 1.0 - q.h;
  const mask odd = (q.quarter_turns & 1) != 0;
  const mask negative = (q.quarter_turns & 2) != 0;
  // Near a peak: the library's exact result, or no estimate at all.
  const mask near = odd & (q.h < near_peak);
  const real k = q.h * ulps_per_unit;
  const real j = (k + round_shift) - round_shift;
  const mask settled = (real)((mask)(k - j) & magnitude_bits) < settled_fraction;
  const real peak_value = 1.0 - j / ulps_per_unit;

  const mask curve = ((mask)cosine & odd) | ((mask)q.sine & ~odd);
  const real magnitude = (real)(((mask)peak_value & near) | (curve & ~near));
  v = (real)((mask)magnitude ^ (negative & (mask{} + static_cast<long long>(0x8000000000000000ULL))));
  const real sine_bound = 1e-15 * (real)((mask)v & magnitude_bits) + 1e-19;
  bound = (real)((((mask)(real{} + 1e-15) & odd) | ((mask)sine_bound & ~odd)) & ~near);
  usable &= ~near | settled;
}

// Reduces x lane by lane; usable is all ones where |x| is within the range reduced exactly.
template <int width>
[[gnu::always_inline]] inline reduced_lanes<width> reduce_in_range(const typename sine_lanes<width>::real& x,
                                                                   typename sine_lanes<width>::mask& usable) {
  using real = typename sine_lanes<width>::real;
  using mask = typename sine_lanes<width>::mask;
  const mask magnitude_bits = mask{} + 0x7FFFFFFFFFFFFFFFLL;
  usable = (real)((mask)x & magnitude_bits) < sine_constants::range;
  return reduce_lanes<width>((real)((mask)x & usable));
}

// Estimates sin(x) lane by lane into v; bound receives the largest distance
// from std::sin(x), and usable is all ones where the estimate may be used.
template <int width>
[[gnu::always_inline]] inline void sine_estimate(const typename sine_lanes<width>::real& x,
                                                 typename sine_lanes<width>::real& v,
                                                 typename sine_lanes<width>::real& bound,
                                                 typename sine_lanes<width>::mask& usable) {
  sine_estimate_reduced<width>(reduce_in_range<width>(x, usable), v, bound, usable);
}

// As sine_estimate, and c within 1e-15 of cos(x) where usable (the same reduction).
template <int width>
[[gnu::always_inline]] inline void sine_estimate(const typename sine_lanes<width>::real& x,
                                                 typename sine_lanes<width>::real& v,
                                                 typename sine_lanes<width>::real& bound,
                                                 typename sine_lanes<width>::mask& usable,
                                                 typename sine_lanes<width>::real& c) {
  using real = typename sine_lanes<width>::real;
  using mask = typename sine_lanes<width>::mask;
  const reduced_lanes<width> q = reduce_in_range<width>(x, usable);
  sine_estimate_reduced<width>(q, v, bound, usable);
  // cos x is sin(x + pi/2), a quarter on.
  const mask odd = (q.quarter_turns & 1) != 0;
  const mask sign_bit = mask{} + static_cast<long long>(0x8000000000000000ULL);
  const mask cosine_magnitude = ((mask)q.sine & odd) | ((mask)(1.0 - q.h) & ~odd);
  c = (real)(cosine_magnitude ^ ((((q.quarter_turns + 1) & 2) != 0) & sign_bit));
}


// Estimates sin(x) into s and cos(x) into c lane by lane, each within 1e-15
// of the true value, for |x| below range: where a walk of the tone starts.
template <int width>
[[gnu::always_inline]] inline void sine_cosine_estimate(const typename sine_lanes<width>::real& x,
                                                        typename sine_lanes<width>::real& s,
                                                        typename sine_lanes<width>::real& c) {
  using real = typename sine_lanes<width>::real;
  using mask = typename sine_lanes<width>::mask;
  const reduced_lanes<width> q = reduce_lanes<width>(x);
  const real cosine = 1.0 - q.h;
  const mask odd = (q.quarter_turns & 1) != 0;
  const mask sign_bit = mask{} + static_cast<long long>(0x8000000000000000ULL);
  // sin x is +-sin r or +-cos r by the quarter n; cos x is sin(x + pi/2), a quarter on.
  const mask sine_magnitude = ((mask)cosine & odd) | ((mask)q.sine & ~odd);
  const mask cosine_magnitude = ((mask)q.sine & odd) | ((mask)cosine & ~odd);
  s = (real)(sine_magnitude ^ (((q.quarter_turns & 2) != 0) & sign_bit));
  c = (real)(cosine_magnitude ^ ((((q.quarter_turns + 1) & 2) != 0) & sign_bit));
}

}  // namespace kelvora
