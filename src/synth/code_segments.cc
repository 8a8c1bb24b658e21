// Code segments (code_segments.h). A segment runs between two crossings of
// the sine with the values between codes, a margin in from each; the
// library's sine at its two ends, widened by twice its error, bounds the
// sine inside (it is monotone there, or rises to a peak that the bounds then
// take in), and both bounds having the one code proves it for every phase
// inside. A frame's phase p is reduced by a whole number k of turns, K = k
// 2 pi as a double: a little off the true turns, which the room kept inside
// each segment's ends takes up. The phase rises with d, so the offsets a
// frame holds for are settled by the phases at their two ends.
#include "synth/code_segments.h"

#include <algorithm>
#include <cmath>

#include "cli/settings.h"
#include "synth/sample_format.h"

namespace kelvora {

namespace {

// two_pi (settings.h) lies below 2 pi by less than 2.5e-16; its half is the
// double nearest pi.
constexpr double pi = two_pi / 2;
// The phases the table covers: a turn and a little either side.
constexpr double table_low = -1.0;
constexpr double table_high = two_pi + 1.0;
// How far a segment's ends stay from the crossings they are guessed at: the
// first that proves its code. Next to a crossing at a peak the sine is flat,
// and 2^-26 moves it by less than its error.
constexpr double crossing_margins[] = {0x1p-26, 0x1p-22, 0x1p-18};
// How far inside its ends a reduced phase must fall: above the error of the
// reduction of a phase of at most most_phase (2^-40, doc/exactness.md).
constexpr double reduction_room = 0x1p-36;
constexpr double most_phase = 0x1p12;
// Twice the library's error at a value of at most 1, and room for the
// rounding of the sum that widens by it.
constexpr double value_room = 0x1p-50;
constexpr int32_t stretches = 4096;
constexpr double per_stretch = stretches / (table_high - table_low);

// Whether every phase in [a, b] has one code, and which: the library's sine
// at both ends, widened by its error twice over, bounds it there, together
// with a peak or trough inside (pi/2 + m pi, the doubles within far less
// than the tolerance here).
bool proven_code(double a, double b, const sample_code& format, int& code) {
  const double sine_a = std::sin(a);
  const double sine_b = std::sin(b);
  double lo = std::min(sine_a, sine_b) - value_room;
  double hi = std::max(sine_a, sine_b) + value_room;
  for (int m = -1; m <= 2; ++m) {
    const double extremum = pi / 2 + m * pi;
    if (!(extremum >= a - 1e-12 && extremum <= b + 1e-12)) continue;
    if (m % 2 == 0) {
      hi = 1.0;
    } else {
      lo = -1.0;
    }
  }
  code = encode_sample(std::max(lo, -1.0), format);
  return encode_sample(std::min(hi, 1.0), format) == code;
}

}  // namespace

void make_code_segments(int32_t bits, double scale, code_segments& s) {
  s.low.clear();
  s.high.clear();
  s.code.clear();
  s.first.clear();
  s.bits = bits;
  s.scale = scale;
  // Wider codes would need hundreds of thousands of segments; a scale past
  // 127 would wrap the 8-bit code and break its order.
  if (bits != 8 || !(std::fabs(scale) >= 1 && std::fabs(scale) <= 127)) return;
  const sample_code format{bits, scale};
  // The crossings: 128 - scale v = n for the values v in [-1, 1], at asin v
  // and pi - asin v, a turn either way too (guesses: every segment is proven).
  std::vector<double> crossings = {table_low, table_high};
  for (int n = 0; n <= 256; ++n) {
    const double v = (128.0 - n) / scale;
    if (!(std::fabs(v) <= 1)) continue;
    const double a = std::asin(v);
    for (const double base : {a, pi - a}) {
      for (int turn = -1; turn <= 1; ++turn) {
        const double q = base + turn * two_pi;
        if (q > table_low && q < table_high) crossings.push_back(q);
      }
    }
  }
  std::sort(crossings.begin(), crossings.end());
  for (size_t n = 0; n + 1 < crossings.size(); ++n) {
    for (const double margin : crossing_margins) {
      const double a = crossings[n] + margin;
      const double b = crossings[n + 1] - margin;
      int code = 0;
      if (a + 2 * reduction_room < b && proven_code(a, b, format, code)) {
        s.low.push_back(a + reduction_room);
        s.high.push_back(b - reduction_room);
        s.code.push_back(code);
        break;
      }
    }
  }
  // An end mark that no phase reaches.
  s.low.push_back(INFINITY);
  s.high.push_back(INFINITY);
  s.code.push_back(0);
  s.first.resize(stretches);
  size_t j = 0;
  for (int32_t n = 0; n < stretches; ++n) {
    const double from = table_low + n / per_stretch;
    while (s.high[j] < from) ++j;
    s.first[n] = static_cast<int32_t>(j);
  }
}

bool prove_frame_by_segments(const code_segments& s, const template_key& key, int64_t d0, int64_t i,
                             frame_proof& proof) {
  if (s.first.empty() || key.scale != s.scale || key.quantization_bits != s.bits) return false;
  const double w = key.angular_frequency;
  const double unit = key.unit;
  const int64_t base = i * key.increment;
  // The frame's phase, as every path of the synthesis takes it.
  const auto phase = [&](int64_t d) { return w * (static_cast<double>(d + base) * unit); };
  const double p0 = phase(d0);
  if (!(std::fabs(p0) <= most_phase)) return false;
  // Whole turns below the phase: floor by a conversion (|p0| / 2 pi < 2^10).
  const double q = p0 * (1 / two_pi);
  double turns = static_cast<double>(static_cast<int64_t>(q));
  if (turns > q) turns -= 1;
  const double k = turns * two_pi;
  const double r0 = p0 - k;
  const double at = (r0 - table_low) * per_stretch;
  if (!(at >= 0 && at < stretches)) return false;
  auto j = static_cast<size_t>(s.first[static_cast<int32_t>(at)]);
  while (s.high[j] < r0) ++j;
  const double low = s.low[j];
  const double high = s.high[j];
  if (!(r0 >= low)) return false;
  // The offsets whose reduced phase stays in [low, high], at most an
  // increment either way of d0 (as the class templates' other proofs):
  // guessed from the phase per unit (the conversions round toward d0, or one
  // past it), then each end checked, and moved in where it misses.
  const double units_per_phase = 1 / (w * unit);
  const auto from = static_cast<double>(base);
  const auto reach = static_cast<double>(key.increment);
  int64_t d_high = d0;
  const double above = std::min((high + k) * units_per_phase - from, static_cast<double>(d0) + reach);
  if (above > static_cast<double>(d0) && above < 0x1p62) {
    for (auto d = static_cast<int64_t>(above); d > d0; --d) {
      if (phase(d) - k <= high) {
        d_high = d;
        break;
      }
      if (d < static_cast<int64_t>(above) - 2) break;
    }
  }
  int64_t d_low = d0;
  const double below = std::max((low + k) * units_per_phase - from, static_cast<double>(d0) - reach);
  if (below < static_cast<double>(d0) && below > -0x1p62) {
    for (auto d = static_cast<int64_t>(below) + 1; d < d0; ++d) {
      if (phase(d) - k >= low) {
        d_low = d;
        break;
      }
      if (d > static_cast<int64_t>(below) + 3) break;
    }
  }
  proof = {s.code[j], d_low, d_high};
  return true;
}

}  // namespace kelvora
