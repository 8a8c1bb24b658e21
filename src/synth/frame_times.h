// Frame times in closed form. The clock advances by repeated addition of the
// frame step; within one binade of the clock every sum rounds by the same
// amount, so frame times form an exact arithmetic progression there and a run
// of frames or cells can be counted without visiting every frame. Counts are
// exactly those of the frame-by-frame loop (see doc/exactness.md).
#pragma once

#include <cstdint>

namespace kelvora {

// Grid indices below this keep the cell chain exact: the cell after the one
// with grid index m has index m + lower_carrier / baud_rate.
constexpr double chain_grid_limit = 0x1p31;

// The progression t + i*D that repeated addition of step follows from t.
struct frame_progression {
  double increment;  // D, exact; 0 when the closed form does not apply at t
  double limit;      // frames below this time are exact (the binade's end)
};

// The progression from time t; increment 0 at t = 0, at a rounding tie, or where t + step == t.
frame_progression progression_at(double t, double step);

// The binade [low, limit) holding t, in whole units of its spacing: every
// time there is T * unit for an integer T below 2^53, and a frame adds increment.
struct binade_grid {
  double low, limit;      // 2^k and 2^(k+1)
  double unit, per_unit;  // 2^(k-52) and 2^(52-k)
  int64_t increment;      // D / unit; 0 when the closed form does not apply at t
};

// The grid of t's binade for the given step (increment 0 as in progression_at).
binade_grid binade_at(double t, double step);

// Least i with t + i*D >= bound, for a progression that applies at t.
uint64_t steps_to_reach(double t, double increment, double bound);

// Frames at t, t + step, ... below end (at most budget + 1 of them); t moves past them.
uint64_t frames_until(double& t, double end, double step, uint64_t budget);

// Frames of up to `cells` bit cells from the clock t, stopping before a cell
// once t has reached `until` or when a cell would be empty (at most budget + 1
// frames); t moves on and cells_done counts the cells.
uint64_t count_cell_frames_run(double& t, uint64_t cells, double until, uint64_t budget,
                               uint64_t& cells_done);

}  // namespace kelvora
