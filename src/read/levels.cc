// The receiver's levels: the noise floor as the larger of two estimates from
// every window read outside and inside blocks, the level of tone, and the
// levels of the two tones, each a plain mean of its first windows and then a
// running mean; where the two levels differ clearly, the weights that decide
// a cell between the tones and the gain of the weaker tone's evidence.
#include "read/levels.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace kelvora::rx {

namespace {

// 1 / n for the counts of the running means (1 to 256), from a table.
double inverse_count(int64_t n) {
  static const auto table = [] {
    std::array<double, 257> t{};
    for (size_t i = 1; i < t.size(); ++i) t[i] = 1.0 / static_cast<double>(i);
    return t;
  }();
  return table[static_cast<size_t>(n)];
}

// Tone 25 dB under the level of tone counts as none.
constexpr double least_tone_share = 0.003;

}  // namespace

// Tone evidence is energy over the noise floor, or over the level of tone
// 25 dB down.
double floor_of(const signal_levels& l) { return std::max({l.noise, least_tone_share * l.tone, 1e-12}); }
void set_floor(signal_levels& l) { l.inverse_floor = 1 / floor_of(l); }

// The noise floor. A window tells the noise in a tone's share of it by its
// weaker tone, or by what neither tone holds spread over the window's other
// shares: the larger of the two (the first is sharp where noise crowds round
// the tones, the second steady from the first window on). The floor is the
// plain mean of the first 256 windows, then a running mean, and takes no
// window for more than three times the floor: a click or the settling of a
// DC offset does not raise it for long.
void learn_noise(signal_levels& l, const cell_reading& c, bool settle) {
  // Digital silence (every sample 0) tells nothing of the noise: taken in,
  // it would hold the floor at 0, and the first hiss would read as tone.
  if (c.power == 0) return;
  // (The windows of a frame share their length, and so the division.)
  if (c.length != l.shares_length) {
    l.shares_length = c.length;
    l.inverse_shares = 1 / other_shares(c.length);
  }
  const double rest = std::max(0.0, c.power - c.zero - c.one) * l.inverse_shares;
  double sample = std::max(std::min(c.zero, c.one), rest);
  if (l.noise_samples < 256) ++l.noise_samples;
  if (l.noise_samples > 8) sample = std::min(sample, 3 * l.noise);
  l.noise += (sample - l.noise) * inverse_count(l.noise_samples);
  // (Unsettled, the caller sets the floor when it has learnt all it will.)
  if (settle) set_floor(l);
}

// The level of tone: a running mean of the stronger tone in windows that
// clearly hold one. Energy far below it is not tone, however quiet the
// noise (a clean recording's silence holds next to none).
void learn_tone(signal_levels& l, const cell_reading& c) {
  if (l.tone_samples < 256) ++l.tone_samples;
  l.tone += (std::max(c.zero, c.one) - l.tone) * inverse_count(l.tone_samples);
  set_floor(l);
}

// Without tone, the level falls by 30 dB over 100 cells (400 windows):
// a tape 30 dB under an earlier passage counts as tone again by then.
constexpr double forget_factor = 0.98288;

void forget_tone(signal_levels& l, bool settle) {
  // (Through long silence it would end as a subnormal number, slow to
  // compute with and no different from none.)
  l.tone = l.tone > 1e-200 ? l.tone * forget_factor : 0;
  if (settle) set_floor(l);
}

// Levels of the two tones (a tape or filter may favour one): plain means of
// the first 64 cells of each, then running means. Each tone counts its own
// cells, so that its first cell replaces the starting value whatever the
// recording's level.
void learn_level(signal_levels& l, const cell_reading& c, bool one) {
  // The tone the cell holds moves its level (selected, not branched on).
  int64_t& samples = one ? l.one_samples : l.zero_samples;
  double& level = one ? l.one_level : l.zero_level;
  if (samples < 64) ++samples;
  level += ((one ? c.one : c.zero) - level) * inverse_count(samples);
}

// Levels within equal_ratio are taken as equal: a level learnt from a few
// noisy cells is off by up to that much, and equal levels decide by the
// stronger tone, which is right whatever the noise. Beyond it the decision
// takes the ratio less this much.

// A cell of tone amplitude a among noise is likelier to hold that tone the
// larger a (2 r - a) is, r the amplitude measured in it (the logarithm of
// the Rice density's ratio to the Rayleigh density, for r well above the
// noise): the bit is the tone with the larger score. With equal amplitudes
// that is the stronger tone; with one tone far weaker it is whether the
// stronger holds half its amplitude, so that what leaks into the weaker
// tone's window from a strong neighbour does not pose as that tone.
void weigh_tones(signal_levels& l) {
  l.weighed = false;
  l.zero_gain = l.one_gain = 1;
  if (l.zero_samples == 0 || l.one_samples == 0 || l.zero_level <= 0 || l.one_level <= 0) return;
  const double ratio = l.one_level / l.zero_level;
  if (ratio < equal_ratio && ratio * equal_ratio > 1) return;
  const double taken = ratio > 1 ? ratio / equal_ratio : ratio * equal_ratio;
  // The amplitudes keep their product and take the ratio as reduced.
  const double mean = std::sqrt(l.zero_level * l.one_level);
  const double root = std::sqrt(taken);
  l.zero_weight = std::sqrt(mean / root);
  l.one_weight = std::sqrt(mean * root);
  l.weighed = true;
  // The weaker tone's evidence is against the noise in its own window where
  // that lies under the floor (which a square wave's harmonics of the
  // stronger tone raise), at most as much as makes it the stronger's equal.
  const bool one_weaker = ratio < 1;
  const double noise = one_weaker ? l.one_noise : l.zero_noise;
  const int64_t samples = one_weaker ? l.one_noise_samples : l.zero_noise_samples;
  const double level_ratio = one_weaker ? 1 / ratio : ratio;
  // (Until the block has taught it, the noise in its window is the floor's;
  // and tone 25 dB under the weaker tone's level counts as none.)
  const double floor = std::max({samples > 0 ? noise : l.noise, least_tone_share * l.tone / level_ratio, 1e-12});
  (one_weaker ? l.one_gain : l.zero_gain) = std::clamp(floor_of(l) / floor, 1.0, level_ratio);
}

// The noise in a tone's window: a plain mean of the first 64 cells of the
// other tone, then a running mean that takes no window for more than three
// times the mean (what leaks in from a neighbour does not raise it for long).
void learn_tone_noise(signal_levels& l, const cell_reading& c, bool one) {
  int64_t& samples = one ? l.zero_noise_samples : l.one_noise_samples;
  double& noise = one ? l.zero_noise : l.one_noise;
  double sample = one ? c.zero : c.one;
  if (samples < 64) ++samples;
  if (samples > 8) sample = std::min(sample, 3 * noise);
  noise += (sample - noise) * inverse_count(samples);
}

// A block after a leader learns its levels afresh: the leader's cells give
// the upper tone's level, the start cell the lower's (counted as one cell
// each, so that the block's cells take over at once). The noise in each
// tone's window goes on as learnt.
void start_levels(signal_levels& l, double one_level, double zero_level) {
  l.one_level = one_level;
  l.zero_level = zero_level;
  l.one_samples = 1;
  l.zero_samples = 1;
  weigh_tones(l);
}

}  // namespace kelvora::rx
