// Runs of class cells proven ahead of the clock. Where class templates serve
// the cells, a run of cells is proven for both tones at once from the first
// and the last cell of each class, and then copied without a test per cell;
// doc/exactness.md, "Runs of class cells", has the proof.
#pragma once

#include <cstdint>

#include "synth/cell_plan.h"
#include "synth/frame_times.h"
#include "synth/template_copier.h"

namespace kelvora {

// The cells of one call from grid index m on, in the clock's binade: tone j
// bit j of tones, class j (first_class + j) mod classes.
struct class_call {
  double m;
  int32_t cells;
  uint64_t tones;
  uint64_t first_class;
  double until;  // no cell starts at or past this, in units
};

// Copies the call's cells, from the first on, that a run proven ahead holds
// (whatever their tones), proving a new run where none holds the next cell;
// returns how many, at (but its count of copied frames) moved past them.
int32_t copy_proven_run(const cell_plan& plan, const binade_grid& z, const class_call& call, copy_position& at);

}  // namespace kelvora
