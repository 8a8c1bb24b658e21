// What a cell window read, and the levels the receiver learns from such
// readings: the noise floor, the level of tone, and the levels of the 0 and
// 1 tones apart (a tape or filter may favour one). Evidence of tone is
// energy over the floor.
#pragma once

#include <cstdint>

namespace kelvora::rx {

struct cell_reading {
  double zero, one;  // tone energies
  double phase_re, phase_im;  // the stronger tone's phase at the window's start, as a unit vector
  double evidence;   // stronger tone over the noise floor
  bool complete;     // the window lies within the recording
  double power;      // sum of squared samples
  double length;     // samples in the window
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
};

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

// Takes a cell of a block into the level of its tone.
void learn_level(signal_levels& l, const cell_reading& c);

}  // namespace kelvora::rx
