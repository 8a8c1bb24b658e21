// What a cell window read, and the levels the receiver learns from such
// readings: the noise floor, the level of tone, and the levels of the 0 and
// 1 tones apart (a tape or filter may favour one), and the weights that
// decide a cell's bit from them. Evidence of tone is energy over the floor.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace kelvora::rx {

struct cell_reading {
  double zero, one;  // tone energies
  double phase_re, phase_im;  // the stronger tone's phase at the window's start, as a unit vector
  double weaker_re, weaker_im;  // the weaker tone's likewise
  double end_re, end_im;  // the stronger tone's phase where the window ends (a short cell's: its start's)
  double evidence;   // stronger tone over the noise floor
  bool complete;     // the window lies within the recording
  double power;      // sum of squared samples
  double length;     // samples in the window
  double whole;      // both tones' energies in the window taken whole (zero and one of a long cell are read in parts)
};

struct signal_levels {
  double noise = 0;      // noise floor: energy of noise in a tone's share of a window
  int64_t noise_samples = 0;
  double tone = 0;       // level of tone: mean energy of the stronger tone where there is one
  int64_t tone_samples = 0;
  double zero_level = 1, one_level = 1;  // mean energy of 0 and 1 cells in blocks
  double inverse_floor = 1e12;  // 1 / what tone evidence is measured against (see set_floor)
  int64_t zero_samples = 0, one_samples = 0;  // cells each level was learnt from (to 64)
  double shares_length = 0, inverse_shares = 1;  // a window length and 1 / its other shares (see learn_noise)
  bool weighed = false;  // the levels differ clearly: a cell's bit is weighed by them (see weigh_tones)
  double zero_weight = 1, one_weight = 1;  // the amplitudes the decision takes for each tone
  // Noise in each tone's window, learnt in blocks from cells of the other
  // tone, and what a tone's energy is multiplied by for evidence (1 but for
  // a far weaker tone whose window holds less noise than the floor).
  double zero_noise = 0, one_noise = 0;
  int64_t zero_noise_samples = 0, one_noise_samples = 0;
  double zero_gain = 1, one_gain = 1;
};

// The shares of a window of `length` samples besides its two tones': what
// neither tone holds is spread over them.
inline double other_shares(double length) { return std::max(1.0, length / 2 - 2); }

// Tone levels within this ratio (4 dB) of each other are taken as equal (see weigh_tones).
constexpr double equal_ratio = 2.5;

// The energy a cell's evidence of tone is measured by: its stronger tone, each tone times its gain.
inline double tone_strength(const signal_levels& l, const cell_reading& c) {
  return std::max(c.zero * l.zero_gain, c.one * l.one_gain);
}

// What tone evidence is measured against: the noise floor, or the tone level 25 dB down.
double floor_of(const signal_levels& l);

// Sets inverse_floor from the floor as it stands.
void set_floor(signal_levels& l);

// Takes a window into the noise floor (settle: sets the floor at once).
void learn_noise(signal_levels& l, const cell_reading& c, bool settle = true);

// Takes a window that clearly holds tone into the level of tone.
void learn_tone(signal_levels& l, const cell_reading& c);

// Lowers the level of tone for a window a quarter cell long without tone, so
// that a loud passage does not set it for what follows (settle: sets the floor at once).
void forget_tone(signal_levels& l, bool settle = true);

// Takes a cell of a block that reads `one` into the level of its tone.
void learn_level(signal_levels& l, const cell_reading& c, bool one);

// Takes the window of the tone a cell does not hold (one: it holds the upper) into that tone's noise.
void learn_tone_noise(signal_levels& l, const cell_reading& c, bool one);

// Sets the decision's weights and the tones' gains from the levels as they stand.
void weigh_tones(signal_levels& l);

// Leaves a block: outside blocks a tone's evidence is against the floor alone
// (the gains were set against the block's). A block that ended in silence or
// leader leaves the decision unweighed, so that another tape after it is
// heard by its own tones until its own leader and start cell weigh them;
// one that lost its frames (frames_lost) keeps it for the hunt that finds them again.
inline void leave_block(signal_levels& l, bool frames_lost) {
  l.zero_gain = l.one_gain = 1;
  if (frames_lost) return;
  l.weighed = false;
  l.zero_weight = l.one_weight = 1;
}

// Starts the levels of a block: the upper tone's from the leader before it, the lower's from its start cell.
void start_levels(signal_levels& l, double one_level, double zero_level);

// The 1 tone's score less the 0 tone's for energies zero and one, heard at amplitudes a0 and a1 (see weigh_tones).
inline double weighed_difference(double a0, double a1, double zero, double one) {
  return a1 * (2 * std::sqrt(one) - a1) - a0 * (2 * std::sqrt(zero) - a0);
}

// Whether a cell reads 1: the stronger tone, or where the levels differ clearly, the likelier one.
inline bool reads_one(const signal_levels& l, const cell_reading& c) {
  if (!l.weighed) return c.one > c.zero;
  return weighed_difference(l.zero_weight, l.one_weight, c.zero, c.one) > 0;
}

// The balance of weighed tones of energies zero and one: the difference of
// their scores over the largest it takes, -1 in a clean 0 cell, 1 in a
// clean 1 cell and 0 in a window half in each (see weigh_tones).
inline double weighed_balance(const signal_levels& l, double zero, double one) {
  const double a0 = l.zero_weight, a1 = l.one_weight;
  return weighed_difference(a0, a1, zero, one) / (a0 * a0 + a1 * a1);
}

// (one - zero) / (one + zero) of a cell: from -1 (all lower tone) to 1, 0 for nothing.
inline double soft_bit(const cell_reading& c) {
  const double sum = c.zero + c.one;
  return sum > 0 ? (c.one - c.zero) / sum : 0.0;
}

// The balance of the two tones in a cell, from -1 (all lower tone) to 1:
// (one - zero) / (one + zero), or once weighed the weighed balance.
inline double tone_balance(const signal_levels& l, const cell_reading& c) {
  return l.weighed ? weighed_balance(l, c.zero, c.one) : soft_bit(c);
}

// The balance of tones of energies zero and one, each against its own level
// (the levels scale the other side alike, so that one division does), or
// once weighed the weighed balance: from -1 (all lower tone) to 1.
inline double level_balance(const signal_levels& l, double zero, double one) {
  if (l.weighed) return weighed_balance(l, zero, one);
  zero *= l.one_level;
  one *= l.zero_level;
  return zero + one > 0 ? (one - zero) / (one + zero) : 0.0;
}

}  // namespace kelvora::rx
