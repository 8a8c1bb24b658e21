// The frame reader: cells to a frame, frames to a block. A block's frames
// follow each other after at least the stop cells told; the line may rest at
// 1 longer, and the next start cell's edge then times the clock afresh.
#pragma once

#include <cmath>
#include <cstdint>

#include "read/receiver.h"

namespace kelvora::rx {

struct frame_reading {
  int value = 0;
  bool start_zero = false;
  int32_t bad_stops = 0;
  int32_t weak_stops = 0;  // stop cells without tone evidence
  double start_soft = 0;  // the start cell's balance of the tones (see tone_balance): -1 a clean 0
  double start_evidence = 0;  // of tone in the start cell
  double evidence = 0;  // median over start and data cells
  double weakest = INFINITY;  // least evidence of any cell read
  int doubtful_cells = 0;     // start and data cells whose bit the signal does not tell with confidence
  bool full_start = false;  // the start cell is as strong as the data cells (not half silence)
  double coherence = 0;  // 1 when every cell of a tone starts at the same phase, as written
  bool all_ones = true;  // start and data cells all read 1
  bool complete = true;
};

// Idle 1 cells the line may rest between two frames of a block, past the
// stop cells; longer, the block has ended (the tone that goes on is leader).
constexpr double most_idle_cells = 16;

// Cells of a frame: start, eight data cells, the stop cells told.
inline double frame_cells(const reader& r) { return 9.0 + r.format.stop_bits; }

// Reads the frame starting at s (stop cells too when with_stops; phases when
// with_phase); a frame of a block (learn) teaches the noise floor and levels
// and counts its doubtful cells (the others count none).
frame_reading read_frame(reader& r, double s, bool with_stops, bool with_phase = false, bool learn = false);

// Where the next frame starts when the line rests at 1 from p on; NaN when none does within most_idle_cells.
double idle_start(reader& r, double p);

// Reads the block whose first frame starts at s, telling each byte (block.cc); returns
// where the frame after its last would have started.
double read_block(reader& r, double s);

}  // namespace kelvora::rx
