// The proof of a cell template's interval (doc/exactness.md, "Cell templates").
// Frame i of a cell with offset d0 has the phase p_i = fl(w * x_i), where
// x_i = (d0 + i * increment) * unit is exact, and the sample
// code(sin(p_i)), with code the truncating 8-bit or 16-bit encoding.
// Assumed: IEEE double arithmetic rounding to nearest, no contraction, and a
// library sine within 0.55 ulp of the true sine (glibc), never beyond [-1, 1].
// A template of d0 in [low, high] rests on three facts: x_i and hence p_i are
// monotone in d0; where [p_a, p_b] holds no extremum of the sine, the true
// sine lies between its values at the ends, so the library's sine of any
// phase there lies between the library's values at the ends widened by twice
// its error bound; near a peak the sine is 1 - h with h known to full
// relative precision, so the library's result is one of the few doubles
// 1 - j 2^-53 with j within 0.55 of h 2^53. The code is monotone in the
// sine, so equal codes at the two ends of such a range hold for all of it.
#include "synth/template_proof.h"

#include <algorithm>
#include <cmath>

#include "synth/fast_sine.h"
#include "synth/sample_format.h"
#include "synth/tone_kernels.h"

namespace kelvora {

namespace {

// Twice 0.55 ulp is below 2^-51 of the larger end value; 2^-50 also covers
// the rounding of the widened bounds themselves.
constexpr double margin_relative = 0x1p-50;
// Subnormal sines carry an absolute error of at most an ulp of 2^-1074.
constexpr double margin_absolute = 0x1p-1060;
// Near a peak: 0.55 ulp of the library, plus far more than the error of h 2^53.
constexpr double peak_slack = 0.56;
// A reduced phase farther than this from a peak is certainly on its side.
constexpr double beside_peak = 0x1p-20;
// Intervals reach at most this many units either side.
constexpr int64_t widest_reach = int64_t{1} << 50;

// What the proof knows of one frame of the template's own cell.
struct frame_fact {
  double phase;
  double value;  // the library's sine of phase
  int code;      // the stored sample
};

frame_fact facts[most_template_bytes];

int code_of(double v, const template_key& key) {
  return encode_sample(v, sample_code{key.quantization_bits, key.scale});
}

// The sample of frame i as stored in bytes.
int stored_code(const unsigned char* bytes, int64_t i, const template_key& key) {
  return stored_sample(bytes, i, key.quantization_bits, key.frame_bytes);
}

// A phase as quarter * pi/2 + r, with h = 1 - cos(r); false beyond the
// range where the two-part reduction is exact.
struct reduced_phase {
  int64_t quarter;
  double r, h;
};

bool reduce(double p, reduced_phase& out) {
  using namespace sine_constants;
  if (!(std::fabs(p) < range)) return false;
  const double n = std::nearbyint(p * two_over_pi);
  const double r = (p - n * pio2_hi) - n * pio2_lo;  // n * pio2_hi and the difference are exact
  double h;
  cosine_complement(r * r, h);
  out = {static_cast<int64_t>(n), r, h};
  return true;
}

// Bounds [lo, hi] on the library's sine of every phase in [pa, pb], from its
// values va and vb at the ends; false when the phases cannot be bounded.
bool sine_range(double pa, double pb, double va, double vb, double& lo, double& hi) {
  if (pa == pb) {  // one phase, one value
    lo = hi = va;
    return true;
  }
  reduced_phase a{};
  reduced_phase b{};
  if (!reduce(pa, a) || !reduce(pb, b) || a.quarter != b.quarter) return false;
  const double margin = std::max(std::fabs(va), std::fabs(vb)) * margin_relative + margin_absolute;
  lo = std::min(va, vb) - margin;
  hi = std::max(va, vb) + margin;
  if (a.quarter % 2 != 0) {  // a peak at r = 0: +1 in quarters 1 mod 4, -1 in 3 mod 4
    const bool up = (a.quarter & 3) == 1;
    if (a.h < sine_constants::near_peak && b.h < sine_constants::near_peak) {
      // The magnitude is 1 - h; over [pa, pb] h runs between the ends' values,
      // down to 0 when the peak lies between them (r rises with the phase).
      const double k_low = a.r <= 0 && b.r >= 0 ? 0.0 : std::min(a.h, b.h) * sine_constants::ulps_per_unit;
      const double k_high = std::max(a.h, b.h) * sine_constants::ulps_per_unit;
      const double top = 1.0 - std::max(0.0, std::ceil(k_low - peak_slack)) / sine_constants::ulps_per_unit;
      const double bottom = 1.0 - std::floor(k_high + peak_slack) / sine_constants::ulps_per_unit;
      lo = up ? bottom : -top;
      hi = up ? top : -bottom;
      return true;
    }
    const bool one_side = (a.r > beside_peak && b.r > beside_peak) || (a.r < -beside_peak && b.r < -beside_peak);
    if (!one_side) (up ? hi : lo) = up ? 1.0 : -1.0;  // the peak may lie between
  }
  lo = std::max(lo, -1.0);
  hi = std::min(hi, 1.0);
  return true;
}

// The sines whose code is `code`, roughly (for guesses only).
void code_range(int code, const template_key& key, double& v_low, double& v_high) {
  sample_range(code, sample_code{key.quantization_bits, key.scale}, v_low, v_high);
}

// The phase from the peak (r = 0) at which 1 - h reaches h, roughly.
double peak_distance(double h) { return h < 0x1p-26 ? std::sqrt(2 * h) : std::acos(1 - h); }

// Units of d0 the frame may move (direction +1 or -1) before its code is
// expected to change: the starting guess of the search, never trusted.
double expected_reach(const frame_fact& f, int direction, const template_key& key) {
  constexpr double half_pi = 1.5707963267948966;
  reduced_phase q{};
  if (!reduce(f.phase, q)) return 0;
  double v_low = 0;
  double v_high = 0;
  code_range(f.code, key, v_low, v_high);
  double phase = 0;
  if (q.quarter % 2 != 0) {
    // Near a peak the code holds while h lies in [h_low, h_high]; the library
    // rounds 1 - h to the doubles 1 - j 2^-53.
    const double sign = (q.quarter & 3) == 1 ? 1.0 : -1.0;
    const double h_low = 1 - std::max(sign * v_low, sign * v_high);
    const double h_high = std::max(0.0, 1 - std::min(sign * v_low, sign * v_high)) + 0x1p-54;
    const double r = std::fabs(q.r);
    if (q.r * direction >= 0) {
      phase = peak_distance(h_high) - r;  // away from the peak
    } else if (h_low > 0) {
      phase = r - peak_distance(h_low);  // towards the peak, not reaching it
    } else {
      phase = r + peak_distance(h_high);  // over the peak
    }
  } else {
    const bool rising = (std::cos(f.phase) > 0) == (direction > 0);
    const double target = rising ? v_high : v_low;
    if (std::fabs(target) < 1) {
      phase = std::fabs(std::asin(target) - std::asin(f.value));
    } else {  // over the peak and down to the other end of the code's range
      const double other = rising ? v_low : v_high;
      if (std::fabs(other) >= 1) return static_cast<double>(widest_reach);
      const double sign = target > 0 ? 1.0 : -1.0;
      phase = (half_pi - sign * std::asin(f.value)) + (half_pi - sign * std::asin(other));
    }
  }
  return std::max(0.0, phase) / (key.angular_frequency * key.unit);
}

// Proves that every cell with d0 between d and d + direction * delta has the
// codes of the facts; the frame `first` is tried first.
bool codes_hold(const template_key& key, int64_t d, int64_t frames, int direction, int64_t delta, int64_t first,
                int64_t& sines) {
  for (int64_t n = 0; n < frames; ++n) {
    const int64_t i = (first + n) % frames;
    const frame_fact& f = facts[i];
    const int64_t units = d + direction * delta + i * key.increment;
    const double p = key.angular_frequency * (static_cast<double>(units) * key.unit);
    const double v = std::sin(p);
    ++sines;
    double lo = 0;
    double hi = 0;
    const bool bounded = direction > 0 ? sine_range(f.phase, p, f.value, v, lo, hi)
                                       : sine_range(p, f.phase, v, f.value, lo, hi);
    if (!bounded || code_of(lo, key) != f.code || code_of(hi, key) != f.code) return false;
  }
  return true;
}

// The largest delta for which codes_hold, searched from the guess outwards.
int64_t widest(const template_key& key, int64_t d, int64_t frames, int direction, double guess,
               int64_t first, int64_t& sines) {
  const auto holds = [&](int64_t delta) { return codes_hold(key, d, frames, direction, delta, first, sines); };
  int64_t good = 0;
  int64_t bad = -1;  // unknown
  const int64_t g = guess >= 1 ? static_cast<int64_t>(std::min(guess, static_cast<double>(widest_reach))) : 0;
  if (g > 0) (holds(g) ? good : bad) = g;
  // Steps out from the guess start at a 64th of it, and the search ends
  // within a 64th of the widest reach: a little narrower than it, for a
  // third of the sines.
  const int64_t first_step = std::max<int64_t>(1, g / 64);
  if (bad < 0) {
    for (int64_t step = first_step;; step *= 2) {
      if (good + step > widest_reach) return good;
      if (!holds(good + step)) {
        bad = good + step;
        break;
      }
      good += step;
    }
  } else {
    for (int64_t step = first_step; bad - step > 0; step *= 2) {
      if (holds(bad - step)) {
        good = bad - step;
        break;
      }
      bad -= step;
    }
  }
  while (bad - good > std::max<int64_t>(1, good / 64)) {
    const int64_t middle = good + (bad - good) / 2;
    (holds(middle) ? good : bad) = middle;
  }
  return good;
}

// The library's sine of the same phase twice, each within 0.55 ulp of a value
// at most 1 (ulp at most 2^-52): together below 2^-51.
constexpr double library_spread = 0x1p-51;
// Relative slack for the handful of roundings in a bound computed in doubles.
constexpr double bound_slack = 1 + 0x1p-50;

// The widest reach r (in units, at most the increment) such that every cell
// with an offset in [d0 - r, d0 + r] has the codes in bytes, from the
// polynomial sine of the cell's own phases and the sine's slope of at most 1;
// -1 where that proves nothing (a frame whose code changes right at its value,
// as at a peak that only the exact value reaches).
int64_t slope_reach_one_by_one(const template_key& key, int64_t d0, int64_t frames, const unsigned char* bytes) {
  const double w = key.angular_frequency;
  // Above every phase of every cell the interval may hold.
  const double x_most = static_cast<double>(std::abs(d0) + (frames + 1) * key.increment) * key.unit;
  const double phase_most = 1.01 * w * x_most;
  const double slope = w * key.unit * bound_slack;  // phase per unit of d0, rounded up
  int64_t reach = key.increment;
  const double offset = key.quantization_bits == 8 ? 128.0 : 0.0;
  const double inverse_scale = 1 / std::fabs(key.scale);
  for (int64_t i = 0; i < frames; i += 2) {
    sine_lanes<2>::real x;
    for (int lane = 0; lane < 2; ++lane) {
      x[lane] = w * (static_cast<double>(d0 + (i + lane) * key.increment) * key.unit);
    }
    sine_lanes<2>::real v;
    sine_lanes<2>::real bound;
    sine_lanes<2>::mask usable;
    sine_estimate<2>(x, v, bound, usable);
    for (int lane = 0; lane < 2 && i + lane < frames; ++lane) {
      double value = v[lane];
      double error = bound[lane];
      if (usable[lane] == 0) {
        value = std::sin(x[lane]);
        error = 0;
      }
      const int code = stored_code(bytes, i + lane, key);
      // The library's sine of a phase moved by delta from x lies within
      // delta + library_spread of its sine of x, which lies within error of
      // value; each phase is its exact product rounded, within 2^-53 of it.
      const double fixed = error + library_spread + 0x1p-52 * phase_most;
      // The distance to the nearest end of the code's range, roughly: the
      // code is offset - scale v truncated, its ends whole numbers.
      const double y = std::fabs(offset - key.scale * value);
      const double fraction = y - std::trunc(y);
      const double room = std::min(fraction, 1 - fraction) * inverse_scale - fixed;
      double r = room > 0 ? room * (1 - 0x1p-30) / slope : 0;
      r = std::min(r, static_cast<double>(reach));
      auto units = static_cast<int64_t>(r);
      // The proof: the codes at both ends of every value the interval allows,
      // each end rounded outwards, are the stored code (the code is monotone).
      const double spread = (fixed + slope * static_cast<double>(units)) * bound_slack + 0x1p-52;
      const double lo = std::max(-1.0, value - spread);
      const double hi = std::min(1.0, value + spread);
      if (code_of(lo, key) != code || code_of(hi, key) != code) return -1;
      reach = std::min(reach, units);
    }
  }
  return reach;
}

// The same proof, `width` frames at a time; -2 where a frame has no
// polynomial estimate (the proof one by one then asks the library).
template <int width>
[[gnu::always_inline]] inline int64_t slope_reach_lanes(const template_key& key, int64_t d0, int64_t frames,
                                                        const int* codes) {
  using real = typename sine_lanes<width>::real;
  using mask = typename sine_lanes<width>::mask;
  using whole = typename sine_lanes<width>::whole;
  const double w = key.angular_frequency;
  const double x_most = static_cast<double>(std::abs(d0) + (frames + 1) * key.increment) * key.unit;
  const double phase_most = 1.01 * w * x_most;
  const double slope = w * key.unit * bound_slack;
  const double offset = key.quantization_bits == 8 ? 128.0 : 0.0;
  const double inverse_scale = 1 / std::fabs(key.scale);
  const double increment = static_cast<double>(key.increment);
  const real lane = lane_numbers<width>;
  real reach = real{} + increment;
  for (int64_t i = 0; i < frames; i += width) {
    const real units = static_cast<double>(d0) + (lane + static_cast<double>(i)) * increment;  // whole, exact
    const real x = w * (units * key.unit);
    real v;
    real bound;
    mask usable;
    sine_estimate<width>(x, v, bound, usable);
    const mask inside = lane < static_cast<double>(frames - i);
    if (!all_lanes<width>(usable | ~inside)) return -2;
    const real fixed = bound + (library_spread + 0x1p-52 * phase_most);
    real y = offset - key.scale * v;
    y = (real)((mask)y & (mask{} + 0x7FFFFFFFFFFFFFFFLL));
    const real fraction = y - __builtin_convertvector(__builtin_convertvector(y, mask), real);
    const real nearest = fraction < 1 - fraction ? fraction : 1 - fraction;
    const real room = nearest * inverse_scale - fixed;
    real r = (real)((mask)(room * (1 - 0x1p-30) / slope) & (room > 0));
    r = r < increment ? r : real{} + increment;
    r = __builtin_convertvector(__builtin_convertvector(r, mask), real);  // whole units, rounded down
    const real spread = (fixed + slope * r) * bound_slack + 0x1p-52;
    real lo = v - spread;
    real hi = v + spread;
    lo = lo > -1.0 ? lo : real{} - 1.0;
    hi = hi < 1.0 ? hi : real{} + 1.0;
    whole stored;
    __builtin_memcpy(&stored, codes + i, sizeof stored);
    whole low_code;
    whole high_code;
    if (key.quantization_bits == 8) {
      low_code = __builtin_convertvector(128.0 - key.scale * lo, whole);
      high_code = __builtin_convertvector(128.0 - key.scale * hi, whole);
    } else {
      low_code = __builtin_convertvector(-key.scale * lo, whole);
      high_code = __builtin_convertvector(-key.scale * hi, whole);
    }
    const mask wrong = __builtin_convertvector((low_code != stored) | (high_code != stored), mask) & inside;
    if (!all_lanes<width>(~wrong)) return -1;
    reach = (real)(((mask)(r < reach ? r : reach) & inside) | ((mask)reach & ~inside));
  }
  double least = increment;
  for (int l = 0; l < width; ++l) least = std::min(least, reach[l]);
  return static_cast<int64_t>(least);
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] int64_t slope_reach_avx2(const template_key& key, int64_t d0, int64_t frames,
                                                 const int* codes) {
  return slope_reach_lanes<4>(key, d0, frames, codes);
}
#endif

}  // namespace

// Lanes at a time where every frame has a polynomial estimate, else one by one.
int64_t slope_reach(const template_key& key, int64_t d0, int64_t frames, const unsigned char* bytes) {
  static int codes[most_template_bytes + 8];
  for (int64_t i = 0; i < frames; ++i) codes[i] = stored_code(bytes, i, key);
  for (int64_t i = frames; i < frames + 8; ++i) codes[i] = 0;
  int64_t reach = -2;
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) {
    reach = slope_reach_avx2(key, d0, frames, codes);
  } else {
    reach = slope_reach_lanes<2>(key, d0, frames, codes);
  }
#else
  reach = slope_reach_lanes<2>(key, d0, frames, codes);
#endif
  return reach == -2 ? slope_reach_one_by_one(key, d0, frames, bytes) : reach;
}

bool search_interval(const template_key& key, int64_t d0, int64_t frames, const unsigned char* bytes,
                     int64_t& low, int64_t& high, int64_t& sines) {
  sines = 3 * frames;  // the cell's own sines and the guesses
  // The cell itself, and where each frame's code is expected to change.
  double up_guess = static_cast<double>(widest_reach);
  double down_guess = up_guess;
  int64_t up_first = 0;
  int64_t down_first = 0;
  for (int64_t i = 0; i < frames; ++i) {
    frame_fact& f = facts[i];
    f.phase = key.angular_frequency * (static_cast<double>(d0 + i * key.increment) * key.unit);
    f.value = std::sin(f.phase);
    f.code = code_of(f.value, key);
    if (f.code != stored_code(bytes, i, key)) return false;  // never expected: keep nothing
    const double up = expected_reach(f, 1, key);
    const double down = expected_reach(f, -1, key);
    if (up < up_guess) {
      up_guess = up;
      up_first = i;
    }
    if (down < down_guess) {
      down_guess = down;
      down_first = i;
    }
  }
  const int64_t up = widest(key, d0, frames, 1, up_guess, up_first, sines);
  const int64_t down = widest(key, d0, frames, -1, down_guess, down_first, sines);
  low = d0 - down;
  high = d0 + up;
  return true;
}

}  // namespace kelvora
