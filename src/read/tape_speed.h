// The tape's speed: measured from a tone, and the tones and cell tuned to it.
#pragma once

#include <cmath>
#include <cstdint>

#include "read/levels.h"
#include "read/receiver.h"

namespace kelvora::rx {

// Sound off the tones being followed: cells of it since it began or was last measured, and where it began.
struct off_tune_run {
  double cells = 0;
  double from = NAN;
};

// Tunes the tones and cell to the tape's speed for windows from sample n on.
void tune_to(reader& r, double speed, int64_t n);

// Measures the leader's tone over [from, to) in cell windows and tunes to it; returns whether the tuning moved.
bool measure_speed(reader& r, double from, double to);

// Whether a window holds sound that neither tone holds: a tone well off the tuning (or noise).
bool off_tune(const cell_reading& c);

// The speed a steady upper tone over [from, to) gives, from short windows; 0 when no steady tone or beyond 0.7-1.4.
double speed_heard(reader& r, double from, double to);

// Counts a window or cell (`cells` long, ending at `to`) of sound off the tones; once it lasted, tunes to its tone; returns whether the tuning moved.
bool follow_off_tune(reader& r, off_tune_run& run, const cell_reading& c, double cells, double to);

}  // namespace kelvora::rx
