// Where a block starts, once the hunt has met a 0 cell: the terms a first
// frame must meet, the leader's end before it, and the levels its first frame
// is read with where one tone is far weaker.
#pragma once

#include "read/cells.h"
#include "read/receiver.h"

namespace kelvora::rx {

// The terms a block's first frame is found on.
struct start_terms {
  bool after_tone = false;    // tone (leader or stop cells) came right before
  bool after_leader = false;  // a leader of enough cells came before: lenient terms
  bool weighed = false;       // the tones are weighed (one far weaker)
};

// Whether a block starts near p, where the scan met a 0 cell; its first frame's start goes to start,
// and to zero_before whether the lower tone lies between the recording's start and that frame.
bool try_block_start(reader& r, double p, const start_terms& terms, double& start, bool& zero_before);

// Where the leader before p (begun at `earliest`) ends, the tones weighed; NaN where no run of clear 1 cells is near.
double leader_end(reader& r, double p, double earliest);

// Whether a window in a leader holds a 0 cell of a lower tone too weak to count as tone against the leader.
bool weak_zero_in_leader(const signal_levels& l, const cell_reading& c);

// Sets the levels a block's first frame is read with from the leader's and a 0 cell c after it.
void levels_for_start(signal_levels& l, const cell_reading& c);

// The window near p, where the scan met a 0 cell, that lies most wholly in it.
cell_reading fullest_zero(reader& r, double p);

}  // namespace kelvora::rx
