// The receiver's state, made of small parts: the tape's speed and the cell
// length the bit clock runs at, the levels learnt, the row of cells kept
// for rereading; and the thresholds of evidence that every part shares.
#pragma once

#include <cstdint>

#include "read/events.h"
#include "read/framing.h"
#include "read/levels.h"
#include "read/tone_ring.h"

namespace kelvora::rx {

// Tone energy over the noise floor for a window to count as tone.
constexpr double tone_evidence = 4;
// Median over a frame's start and data cells for a block to go on.
constexpr double frame_evidence = 3;
// Evidence under which a cell holds no tone at all (less energy in either
// tone than the noise floor): its frame cannot be read.
constexpr double no_tone_evidence = 1;
// Median for a block to start after silence, where noise could pose as data.
constexpr double strict_evidence = 5;

// Cells read in a row at most (a frame's, with the cell before it).
constexpr int row_cells = 11;

// The last row of cells the timing was measured on, kept for readings of
// the same windows that follow (to within half a sample, the nearest-sample
// rounding windows once had).
struct kept_row {
  double start = 0, cell = 0;
  int64_t tuning = -1;  // the ring's tuning it was read with
  int count = 0;
  cell_reading cells[row_cells];
};

struct reader {
  tone_ring& ring;
  const frame_format& format;
  read_observer& events;
  double nominal_cell;     // samples in a cell at nominal speed
  double cell;             // samples in a cell now
  double speed = 1;        // the tones are tuned to this speed
  double block_speed = 1;  // the speed the last block began at (nominal before any)
  uint64_t bytes = 0;      // bytes read so far (the next byte's image offset)
  signal_levels levels;
  kept_row kept{};
};

}  // namespace kelvora::rx
