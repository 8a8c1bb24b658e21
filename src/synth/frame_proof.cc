// One frame's proof (frame_proof.h). Frame i of a cell with offset d (whole
// units) has the phase p(d) = fl(w x) with x = (d + i D) unit exact, and the
// sample code(L(p)), L the library's sine (within 0.55 ulp of the true sine,
// never beyond [-1, 1]); code is monotone. At d0 the polynomial gives v with
// L(p(d0)) within b of it, and c within 1e-15 of cos p(d0). For d near d0,
// h = p(d) - p(d0) is w unit (d - d0) plus at most 2^-52 P (each phase is its
// exact product rounded; P above every phase), and
//   sin(p0 + h) = sin p0 + h cos p0 - (h^2 / 2) sin p0 - (h^3 / 6) cos p0 + rho
// with |rho| <= h^4 / 24, so L(p(d)) lies near v + c h - (v / 2) h^2 -
// (c / 6) h^3 within the estimates' errors, the library's and rho; the slope
// alone (|sin'| <= 1) bounds it by |h| around v, either way alike. Equal
// codes at both ends of the range every d of an interval allows prove the
// frame's sample there. The same polynomial bounds the sample over any
// stretch of offsets within its reach, so once d0 has passed an interval
// the next codes' stretches are proven from it too, a few at a time and
// under one margin where the cubic is monotone, without another sine.
#include "synth/frame_proof.h"

#include <algorithm>
#include <cmath>

#include "synth/fast_sine.h"
#include "synth/sample_format.h"

namespace kelvora {

namespace {

// The library's sine of two phases, each within 0.55 ulp of a value at most
// 1 (ulp at most 2^-52): together below 2^-51.
constexpr double library_spread = 0x1p-51;
// Relative slack for the handful of roundings in a bound computed in doubles.
constexpr double bound_slack = 1 + 0x1p-50;
// 1/6 and 1/24, each rounded up to a double.
constexpr double sixth_up = 0x1.5555555555556p-3;
constexpr double twenty_fourth_up = 0x1.5555555555556p-5;
// Below 1 / bound_slack, exactly: a product by it is a product by a little
// less than a division by bound_slack, without the division's wait.
constexpr double below_slack = 1 - 0x1p-50;
// The polynomial cosine's distance from the true cosine (fast_sine.h).
constexpr double cosine_error = 1e-15;
// Units an interval reaches back against the way d0 moves.
constexpr double back_units = 16;

// What the proof knows of the frame at d0.
struct frame_at {
  int code;
  double value, error;  // L(p(d0)) lies within error of value
  double cosine;        // within cosine_error of cos p(d0)
  double phase_error;   // above |h - w unit (d - d0)|: 2^-52 P
  double per_unit;      // above w unit: the phase per unit of d
};

// Above |h - w unit (d - d0)| for every offset d an interval from d0 may
// hold: 2^-52 P, with P above every phase there (intervals reach at most an
// increment from d0).
double phase_error_at(const template_key& key, int64_t d0, int64_t frames) {
  const double x_most = static_cast<double>(std::abs(d0) + (frames + 1) * key.increment) * key.unit;
  return 0x1p-52 * (1.01 * key.angular_frequency * x_most);
}

frame_at frame_facts(const template_key& key, int64_t d0, int64_t i, int64_t frames) {
  const double w = key.angular_frequency;
  const sample_code format{key.quantization_bits, key.scale};
  const double x = w * (static_cast<double>(d0 + i * key.increment) * key.unit);
  const sine_lanes<1>::real lanes = {x};
  sine_lanes<1>::real v;
  sine_lanes<1>::real bound;
  sine_lanes<1>::mask usable;
  sine_lanes<1>::real c;
  sine_estimate<1>(lanes, v, bound, usable, c);
  double value = v[0];
  double error = bound[0];
  int code = encode_sample(value + error, format);
  if (usable[0] == 0 || code != encode_sample(value - error, format)) {
    value = std::sin(x);  // the library decides
    error = 0;
    code = encode_sample(value, format);
  }
  const double cosine = std::fabs(x) < sine_constants::range ? c[0] : NAN;  // unknown beyond the reduction
  return {code, value, error, cosine, phase_error_at(key, d0, frames), w * key.unit * bound_slack};
}

// The values at the ends of the code's range, roughly (for guesses): the
// code is offset - scale v truncated, for offset - scale v in
// [code, code + 1), or in (-1, 1) for the 16-bit code 0.
void code_ends(int code, int32_t bits, double inverse_scale, double& v_low, double& v_high) {
  const double offset = bits == 8 ? 128.0 : 0.0;
  double y_low = code;
  double y_high = code + 1.0;
  if (bits == 16 && code <= 0) {
    y_low = code - 1.0;
    y_high = code == 0 ? 1.0 : code;
  }
  const double a = (offset - y_low) * inverse_scale;
  const double b = (offset - y_high) * inverse_scale;
  v_low = std::min(a, b);
  v_high = std::max(a, b);
}

// Whether every value in [lo, hi], each end rounded outwards, has the code.
bool codes_agree(double lo, double hi, int code, const template_key& key) {
  const sample_code format{key.quantization_bits, key.scale};
  lo = std::max(-1.0, lo);
  hi = std::min(1.0, hi);
  return encode_sample(lo, format) == code && encode_sample(hi, format) == code;
}

// The widest reach r (at most the increment) with the sample proven for
// every d in [d0 - r, d0 + r] from the slope alone; -1 if not even d0 alone.
int64_t reach_either_way(const frame_at& f, const template_key& key) {
  const double fixed = f.error + library_spread + f.phase_error;
  // The distance to the nearest end of the code's range, roughly (a guess
  // the proof checks): the code is offset - scale v truncated.
  const double offset = key.quantization_bits == 8 ? 128.0 : 0.0;
  const double y = std::fabs(offset - key.scale * f.value);
  const double fraction = y - std::trunc(y);
  const double room = std::min(fraction, 1 - fraction) / std::fabs(key.scale) - fixed;
  double r = room > 0 ? room * (1 - 0x1p-30) / f.per_unit : 0;
  r = std::min(r, static_cast<double>(key.increment));
  const auto units = static_cast<int64_t>(r);
  const double spread = (fixed + f.per_unit * static_cast<double>(units)) * bound_slack + 0x1p-52;
  return codes_agree(f.value - spread, f.value + spread, f.code, key) ? units : -1;
}

// What the sample may lie beyond v + g(h) for |h| <= h_most: the remainder
// h^4 / 24 and the estimates' errors, the roundings of g, and the two sums'
// rounding; it grows with h_most. The sums are taken in pairs, and the sixth
// and the twenty-fourth by products with 1/6 and 1/24 rounded up (one
// rounding, as a division's, and never below): none of it waits long on the
// rest.
double taylor_margin(const frame_at& f, double h_most) {
  const double h = h_most;
  const double h2 = h * h;
  const double reach = h + h2 * h * sixth_up;  // h + h^3 / 6
  return (((f.error + library_spread) + cosine_error * reach) +
          (((f.error + 0x1p-52) * (h2 * 0.5) + h2 * h2 * twenty_fourth_up) +
           0x1p-50 * (std::fabs(f.cosine) * reach + h2 * 0.5))) *
             bound_slack +
         0x1p-51;
}

// Whether g(h) = c h - (v / 2) h^2 - (c / 6) h^3 is monotone on [-back, h]
// (back <= h; c the cosine the way the phase moves, s its sign; back = h
// for either way alike): s g'(x) = |c| (1 - x^2 / 2) - s v x, whose
// last term is greatest at an end, so at least
// |c| (1 - h^2 / 2) - max(s v h, -s v back): moving away from a peak
// (s v <= 0) only the little way back counts (the factor 2 again for
// roundings).
bool monotone_ahead(double c, double v, double back, double h) {
  const double sv = c > 0 ? v : -v;
  return std::fabs(c) * (1 - h * h / 2) > 2 * std::max({0.0, sv * h, -sv * back});
}

// Whether the sample `code` is proven for every d with d - d0 in [from, to]
// (units) from the sine's Taylor polynomial of third degree at p(d0).
bool holds_on(const frame_at& f, const template_key& key, int code, double from, double to) {
  // h runs over [h_low, h_high]; g(h) = c h - (v / 2) h^2 - (c / 6) h^3 is
  // bounded by its values at the ends and at its turning points, the roots
  // of g'(h) = c - v h - (c / 2) h^2, where they lie between. Past d0 the
  // nearer end of h is w unit rounded down (twice over its roundings).
  const double per_unit_down = f.per_unit * below_slack * below_slack;
  const double h_low = from <= 0 ? -(f.per_unit * -from * bound_slack + f.phase_error)
                                 : per_unit_down * from * below_slack - f.phase_error;
  const double h_high = to >= 0 ? f.per_unit * to * bound_slack + f.phase_error
                                : -(per_unit_down * -to * below_slack - f.phase_error);
  const double h = std::max(-h_low, h_high);
  const double c = f.cosine;
  const double v = f.value;
  const auto g = [&](double x) { return x * (c - x * (v / 2 + x * (c / 6))); };
  double g_low = std::min(g(h_low), g(h_high));
  double g_high = std::max(g(h_low), g(h_high));
  const auto turn = [&](double x) {
    // Near an end g hardly differs from its value there (far below the
    // margin for g's roundings), so a root a rounding off does not matter.
    if (x > h_low && x < h_high) {
      g_low = std::min(g_low, g(x));
      g_high = std::max(g_high, g(x));
    }
  };
  if (monotone_ahead(c, v, h, h)) {
    // g is monotone on [-h, h]: its ends bound it.
  } else if (c == 0) {
    turn(0);
  } else {
    const double root = std::sqrt(v * v + 2 * c * c);
    turn((-v - root) / c);
    turn((-v + root) / c);
  }
  const double margin = taylor_margin(f, h);
  return codes_agree(v + g_low - margin, v + g_high + margin, code, key);
}

// Whether the sample is proven for every d with d - d0 in [-below, above].
bool holds_between(const frame_at& f, const template_key& key, double below, double above) {
  return holds_on(f, key, f.code, -below, above);
}

// The least h > 0 with c h - (v / 2) h^2 - (c / 6) h^3 = delta (h the phase
// moved the way d0 moves, c the cosine that way), or infinity: a guess, from
// the parabola's root and a Newton step.
double phase_to(double c, double v, double delta) {
  // Where the cubic hardly bends on the way, h = line + h^2 (a + h / 6) with
  // a = v / (2 c) is a fixed point a few steps from the line reach, each
  // gaining three digits at least.
  const double line = delta / c;
  if (line > 0 && std::fabs(v * line) < 1e-3 * std::fabs(c) && line < 1e-2) {
    const double a = v / (2 * c);
    double h = line;
    for (int k = 0; k < 3; ++k) h = line + h * h * (a + h / 6);
    return h;
  }
  double least = INFINITY;
  if (std::fabs(v) < 1e-9) {
    if (delta / c > 0) least = delta / c;
  } else {
    // (v / 2) h^2 - c h + delta = 0.
    const double discriminant = c * c - 2 * v * delta;
    if (discriminant < 0) return INFINITY;
    const double root = std::sqrt(discriminant);
    const double a = (c - root) / v;
    const double b = (c + root) / v;
    if (a > 0) least = a;
    if (b > 0) least = std::min(least, b);
  }
  if (!std::isfinite(least)) return least;
  const double h = least;
  const double slope = c - v * h - c / 2 * (h * h);
  if (std::fabs(slope) < 1e-3 * std::fabs(c) + 1e-12) return least;
  const double step = (c * h - v / 2 * (h * h) - c / 6 * (h * h * h) - delta) / slope;
  return std::fabs(step) < h / 2 ? h - step : least;
}

// As phase_to, from the inverse of the cubic's series where it bends little
// on the way (|v h / c| below 1/10, h below 1/10): with L = delta / c and
// t = v L / (2 c), h = L (1 + t + 2 t^2 + 5 t^3 + L^2 (1 + 5 t) / 6), its
// error of the order of L t^4 and L^5; phase_to elsewhere. The terms are
// products of L and t, not a chain of steps.
double phase_ahead(double c, double v, double delta) {
  const double inverse = 1 / c;
  const double line = delta * inverse;
  const double t = v * line * (0.5 * inverse);
  if (!(line > 0 && line < 0.1 && std::fabs(t) < 0.05)) return phase_to(c, v, delta);
  const double l2 = line * line;
  return line * ((1 + t * (1 + t * (2 + 5 * t))) + l2 * ((1 + 5 * t) * (1.0 / 6)));
}

}  // namespace

int prove_frame_onward(const template_key& key, int64_t frames, int direction, const frame_expansion& expansion,
                       int64_t edge, frame_proof* proofs, int most_codes) {
  if (direction == 0 || !std::isfinite(expansion.offset) || most_codes < 1) return 0;
  const auto d0 = static_cast<int64_t>(expansion.offset);
  const frame_at f{0,
                   expansion.value,
                   expansion.error,
                   expansion.cosine,
                   phase_error_at(key, d0, frames),
                   key.angular_frequency * key.unit * bound_slack};
  // Units from d0 the way it moves: the first stretch starts `from` there.
  const auto from = static_cast<double>(direction * (edge - d0));
  const double most = static_cast<double>(key.increment) / 4;
  if (!(from >= 1 && from <= most)) return 0;
  // The codes at the edge and where each ends, as the polynomial has them
  // (guesses; the proof checks): q(h) = v + c h - (v / 2) h^2 - (c / 6) h^3
  // with h the phase ahead, met by steps along its slope at the edge.
  const double c = f.cosine * direction;
  const double v = f.value;
  const double per_phase = key.angular_frequency * key.unit;
  // Reciprocals apart from the chain of steps below, so that the divisions overlap it.
  const double units_per_phase = 1 / per_phase;
  const double inverse_scale = 1 / key.scale;
  const double h_edge = from * per_phase;
  // Far from d0 the polynomial's remainder h^4 / 24 outgrows the phase of a
  // unit, and the proof would fail next to where the code changes.
  const auto near_enough = [&](double units) {
    const double h = units * per_phase;
    return h * h * h * h < per_phase;
  };
  if (!near_enough(from)) return 0;
  const double g_edge = h_edge * (c - h_edge * (v / 2 + h_edge * (c / 6)));
  const int code = encode_sample(v + g_edge, sample_code{key.quantization_bits, key.scale});
  const double slope_edge = c - h_edge * (v + h_edge * (c / 2));
  // offset - scale v truncates to the code for offset - scale v in
  // [code, code + 1), or in (-1, 1) for the 16-bit code 0; it falls as v
  // rises where scale > 0. The codes after the edge's follow one a step.
  const int code_step = (slope_edge > 0) == (key.scale > 0) ? -1 : 1;
  // The phase from the edge to where the cubic meets a target, from its
  // slope s and curvature k = -v - c h at the edge: the root of
  // s x + (k / 2) x^2 = target - g_edge nearest 0, x = D - (k / (2 s)) D^2
  // with D = (target - g_edge) / s, within a term in D^3 (a few codes' width
  // of phase cubed: far below a unit wherever the cubic bends little). Each
  // code's end is met from the edge alone, apart from the others'.
  const double inverse_slope = 1 / slope_edge;
  const double bend = (-v - c * h_edge) * (0.5 * inverse_slope);
  int n = 0;
  double start = from;
  for (; n < most_codes; ++n) {
    const int code_n = code + n * code_step;
    double v_low = 0;
    double v_high = 0;
    code_ends(code_n, key.quantization_bits, inverse_scale, v_low, v_high);
    const double target = (slope_edge > 0 ? v_high : v_low) - v;  // the end the cubic moves to
    const double line = (target - g_edge) * inverse_slope;
    const double to_end = std::min((h_edge + line - bend * (line * line)) * units_per_phase, most + 1);
    if (!(to_end > start) || (n > 0 && !near_enough(start))) break;  // (and not a number)
    // The last whole unit before the guessed end.
    const auto whole = static_cast<int64_t>(to_end);
    const double to = static_cast<double>(static_cast<double>(whole) == to_end ? whole - 1 : whole);
    if (!(to >= start)) break;
    const auto a = static_cast<int64_t>(start);
    const auto b = static_cast<int64_t>(to);
    proofs[n] = direction > 0 ? frame_proof{code_n, d0 + a, d0 + b} : frame_proof{code_n, d0 - b, d0 - a};
    start = to + 1;
  }
  if (n == 0) return 0;
  // One bound serves the stretches out to the farthest where the cubic is
  // still monotone ahead (up to a peak, when d0 moves towards one): its
  // ends bound it on each stretch, and the margin for the farthest phase
  // covers the nearer ones. Where not even the first is (right at a peak),
  // the first alone, with the turning points inside.
  // A stretch's units from d0 the way it moves: from first to final.
  const auto first_of = [&](const frame_proof& p) { return static_cast<double>(direction > 0 ? p.low - d0 : d0 - p.high); };
  const auto final_of = [&](const frame_proof& p) { return static_cast<double>(direction > 0 ? p.high - d0 : d0 - p.low); };
  const auto far_phase = [&](const frame_proof& p) { return f.per_unit * final_of(p) * bound_slack + f.phase_error; };
  // The phases of the stretches lie in [-2^-52 P, H]: the near end of the
  // first is w unit rounded down, less 2^-52 P.
  while (n > 0 && !monotone_ahead(c, v, f.phase_error, far_phase(proofs[n - 1]))) --n;
  if (n == 0) {
    const frame_proof& p = proofs[0];
    return holds_on(f, key, p.code, static_cast<double>(p.low - d0), static_cast<double>(p.high - d0)) ? 1 : 0;
  }
  const double margin = taylor_margin(f, far_phase(proofs[n - 1]));
  // Past d0 the nearer end of h is w unit rounded down (twice over its roundings).
  const double per_unit_down = f.per_unit * below_slack * below_slack;
  const auto g = [&](double x) { return x * (c - x * (v / 2 + x * (c / 6))); };
  for (int k = 0; k < n; ++k) {
    const frame_proof& p = proofs[k];
    const double g_first = g(per_unit_down * first_of(p) * below_slack - f.phase_error);
    const double g_final = g(f.per_unit * final_of(p) * bound_slack + f.phase_error);
    if (!codes_agree(v + std::min(g_first, g_final) - margin, v + std::max(g_first, g_final) + margin, p.code, key)) {
      return k;
    }
  }
  return n;
}

frame_proof prove_frame(const template_key& key, int64_t d0, int64_t i, int64_t frames, int direction,
                        frame_expansion* expansion) {
  const frame_at f = frame_facts(key, d0, i, frames);
  if (expansion != nullptr) *expansion = {NAN, 0, 0, 0};
  if (direction != 0 && std::isfinite(f.cosine)) {
    // Units to the end of the code's range the way d0 moves, and back,
    // guessed from the cubic v + c h - (v / 2) h^2 - (c / 6) h^3; the proof
    // checks. Reciprocals taken apart, so that their divisions overlap the
    // sine's polynomial rather than follow it.
    const double units_per_phase = 1 / f.per_unit;
    double v_low = 0;
    double v_high = 0;
    code_ends(f.code, key.quantization_bits, 1 / key.scale, v_low, v_high);
    const double c = f.cosine * direction;
    // The end v moves towards first, or the other one past a peak.
    double to_end = phase_ahead(c, f.value, (c > 0 ? v_high : v_low) - f.value);
    if (!std::isfinite(to_end)) to_end = phase_to(c, f.value, (c > 0 ? v_low : v_high) - f.value);
    to_end *= units_per_phase;
    // Back along the line is enough for the few units looked at.
    const double to_start = (c > 0 ? f.value - v_low : v_high - f.value) / std::fabs(c) * units_per_phase;
    const double most = static_cast<double>(key.increment) / 4;
    // A little the other way too: d0 moves by whole rounds of frames, but
    // the grid point of its cell is rounded.
    const double back = std::min(std::max(0.0, std::floor(to_start / 2)), back_units);
    // Up to the guessed end, a hair short of it, and shorter where the guess
    // was wrong.
    static constexpr double shares[] = {1 - 1e-6, 0.999, 0.9, 0.5, 0.1};
    for (const double share : shares) {
      const double ahead = std::min(std::floor(to_end * share), most);
      if (!(ahead >= 1)) break;
      if (holds_between(f, key, direction > 0 ? back : ahead, direction > 0 ? ahead : back)) {
        if (expansion != nullptr) *expansion = {static_cast<double>(d0), f.value, f.error, f.cosine};
        const auto a = static_cast<int64_t>(ahead);
        const auto b = static_cast<int64_t>(back);
        return direction > 0 ? frame_proof{f.code, d0 - b, d0 + a} : frame_proof{f.code, d0 - a, d0 + b};
      }
    }
  }
  const int64_t r = reach_either_way(f, key);
  return r >= 0 ? frame_proof{f.code, d0 - r, d0 + r} : frame_proof{f.code, d0, d0};
}

}  // namespace kelvora
