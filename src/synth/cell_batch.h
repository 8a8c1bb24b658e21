// The batch synthesis of cells that have no template: their phases wait in a
// batch, walks of the tone make most samples, the polynomial sine those the
// walks leave in doubt and those of cells outside the closed form, and the
// library's sine the few still in doubt.
#pragma once

#include <cstddef>
#include <cstdint>

#include "synth/cell_plan.h"
#include "synth/frame_times.h"
#include "synth/tone_kernels.h"

namespace kelvora {

// Samples a batch holds at most.
constexpr uint64_t batch_frames = 4096;

// A cell waiting in the batch for its samples.
struct pending_cell {
  size_t offset;           // of its bytes in the reserved output room
  uint64_t first, frames;  // its samples in the batch
  int64_t d0;              // a walked cell: its offset from its start, in units of the binade
  int32_t tone;            // a walked cell's tone; -1 for a cell whose phases are listed
  bool keep;               // whether a template may be proven for it
  bool stored;             // whether its samples are in their place already
};
// (No member has a default: the batch's 4096 cells would be written at
// start-up, 200 KB of pages touched by every run however short.)

// The samples of one batch of cells, and the phases the polynomials have to
// settle: every frame of a cell that is not walked, and the frames a walk
// leaves in doubt.
struct batch {
  int sample[batch_frames + 8];
  int doubt[batch_frames + 8];
  uint64_t count = 0;  // samples
  double phase[batch_frames + 8];
  int phase_sample[batch_frames + 8];
  int phase_doubt[batch_frames + 8];
  uint32_t phase_frame[batch_frames];  // the sample each phase belongs to
  uint64_t phases = 0;
  pending_cell cell[batch_frames];
  uint64_t cells = 0;
};

// How the walked cells of a batch lie: the clock's binade and, per tone, its turn.
struct walk_frame {
  binade_grid binade;
  walk_rotation rotation[2];
};

// Every sample of the batch: walks first, then the listed phases. Where
// base is not null and frames have one channel, a walk sure of every sample
// stores its cell at base + offset itself (with room for 8 bytes past it).
void synthesise_batch(batch& b, const cell_plan& plan, const walk_frame& walk, unsigned char* base);

// Lists the phases of the cell [s, e) at angular frequency w from time t on
// (at least one frame, at most `most`) as samples of the batch; returns how
// many, t moved on. Frame times are those of repeated addition, inside a
// binade in closed form.
uint64_t add_cell_phases(batch& b, const cell_plan& plan, uint64_t most, double w, double s, double e, double& t);

}  // namespace kelvora
