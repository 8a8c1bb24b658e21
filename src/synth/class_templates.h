// Class templates. Where the cells' first frames fall at several offsets
// (classes of d0, cell_plan.h; or at one, where whole cells stop repeating
// late in the clock), the cells of one class come back every
// round_frames frames with a d0 moved by a few units only (the frame
// increment is not the step exactly). Each tone and class keeps one template
// whose every frame carries its own proven interval of d0: a cell whose d0
// lies in all of them is a copy; otherwise only the frames whose interval
// misses it are made anew (and proven around the new d0), the rest stay.
// doc/exactness.md, "Class templates", has the proof.
#pragma once

#include <cstdint>

#include "synth/cell_plan.h"
#include "synth/frame_times.h"
#include "synth/template_copier.h"

namespace kelvora {

// Whether class templates may serve the plan's cells: a recording long
// enough to come back to each class, and room for them all.
bool use_class_templates(const cell_plan& plan);

// Empties every class template: the clock entered the binade z. Returns
// whether they pay there: a frame's code must last many of its class's
// visits, or the proofs cost more than making every cell anew.
bool enter_class_binade(const cell_plan& plan, const binade_grid& z);

// A run of cells in classes, cell j starting at start[j] and ending at
// finish[j] (units of the binade), tone j bit j of tones, class j
// (first_class + j) mod classes.
struct class_run {
  const double* start;
  const double* finish;
  int32_t cells;
  uint64_t tones;
  uint64_t first_class;
  double until;  // no cell starts at or past this, in units
};

// Why a run of class cells stopped before its end.
enum class class_stop { none, until, empty_cell, long_cell };

// Copies the run's cells from their class templates, patching those that do
// not hold a cell's d0; returns how many cells, at (but its count of
// copied frames) moved past them.
int32_t copy_class_cells(const cell_plan& plan, const class_run& run, copy_position& at, class_stop& stop);

// What a class template holds: the offsets d0 of every frame's interval,
// its span in units, its bytes.
struct class_view {
  double low, high, span;
  int32_t size;
  const unsigned char* bytes;
  uint64_t stamp;  // the count of changes (class_template_changes) when it last changed
};

// The template of the tone (0 or 1) and class k.
class_view class_template_of(int tone, uint64_t k);

// Makes the template of the tone and class k hold the cell at T ending at E
// (units of the binade, d0 = T - S) where it does not; false where the cell
// is empty or longer than a template.
bool hold_class_cell(const cell_plan& plan, int tone, uint64_t k, double T, double E, double d0);

// How often the class templates have been patched or emptied so far.
uint64_t class_template_changes();

// How many frames the class templates have had proven so far.
uint64_t class_frames_proven();

}  // namespace kelvora
