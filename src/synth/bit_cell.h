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

// The grid point of the lower carrier at or just before time t.
double cell_start(double t);

// Most frames one cell can hold: sampling_rate / baud_rate + 2.
uint64_t max_cell_frames();

// Frames of the cell that begins at time t; moves t to the first frame after it.
uint64_t count_cell_frames(double& t);

// Appends one cell of a sine tone at frequency; returns the bytes appended.
int64_t emit_bit_cell(double frequency, output_stream& out);

// Appends up to count cells back to back, cell i at frequency[i], stopping
// before a cell once the clock has reached until; returns the bytes appended.
int64_t emit_cells(const double* frequency, int64_t count, double until, output_stream& out);

// One sample of the sine value v as stored (negated, truncated): 8-bit unsigned.
inline unsigned char encode_8bit(double v) {
  return static_cast<unsigned char>(static_cast<int>(128.0 - 127.0 * v));
}

// One sample of the sine value v as stored (negated, truncated): 16-bit signed.
inline int16_t encode_16bit(double v) { return static_cast<int16_t>(static_cast<int>(-32767.0 * v)); }

}  // namespace kelvora
