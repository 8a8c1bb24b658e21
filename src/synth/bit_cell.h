// The bit-cell tone generator and the clock that keeps every cell on the grid
// of the lower carrier, so that successive tones join without phase jumps.
#pragma once

#include <cstdint>

#include "wav/output_stream.h"

namespace kelvora {

// Time in seconds of the next sample frame to be written; never below 0.
extern double clock;

// Sets the clock to 0 before the first section of a run.
void reset_clock();


// A clock resting one rounding step below a grid point must still count as
// having reached it, or a cell could come out empty and a leader never end.
constexpr double grid_tolerance = 1e-6;

// The grid point of the lower carrier at or just before time t.
double cell_start(double t);

// Appends up to count (at most 64) cells back to back, cell i a 1 cell when
// bit i of ones is set and a 0 cell otherwise, stopping before a cell once
// the clock has reached until; returns the bytes appended.
int64_t emit_cells(uint64_t ones, int32_t count, double until, output_stream& out);

}  // namespace kelvora
