// Batch synthesis (cell_batch.h). A walked cell lies inside one binade of
// the clock, its phases w * (d0 + k * increment) * unit exact products; any
// other cell lists its phases as repeated addition makes its frame times.
#include "synth/cell_batch.h"

#include <algorithm>

namespace kelvora {

namespace {

// Walks a cell of the batch from its start; lists the phases of the frames
// it leaves in doubt.
void walk_cell(batch& b, pending_cell& c, const cell_plan& plan, const walk_frame& walk, const walk_start& start,
               unsigned char* packed) {
  const double w = plan.angular[c.tone];
  const double x0 = static_cast<double>(c.d0) * walk.binade.unit;
  const double D = static_cast<double>(walk.binade.increment) * walk.binade.unit;
  const walk_result walked =
      walk_tone(w, x0, D, c.frames, walk.rotation[c.tone], start, plan.code, b.sample + c.first, b.doubt + c.first,
                packed);
  if (walked == walk_result::sure) {
    c.stored = packed != nullptr;
    return;
  }
  for (uint64_t k = 0; k < c.frames; ++k) {
    if (walked == walk_result::in_doubt && b.doubt[c.first + k] == 0) continue;
    b.phase[b.phases] = w * (x0 + static_cast<double>(k) * D);  // w * (t_k - s), exactly
    b.phase_frame[b.phases++] = static_cast<uint32_t>(c.first + k);
  }
}

// Walked cells whose starts are taken together.
constexpr uint64_t start_group = 8;

}  // namespace

void synthesise_batch(batch& b, const cell_plan& plan, const walk_frame& walk, unsigned char* base) {
  if (plan.channels != 1) base = nullptr;
  const double D = static_cast<double>(walk.binade.increment) * walk.binade.unit;
  uint64_t n = 0;
  while (n < b.cells) {
    // The next group of walked cells: their starts first, then their walks.
    uint64_t group[start_group];
    double w[start_group];
    double x0[start_group];
    uint64_t count = 0;
    for (; n < b.cells && count < start_group; ++n) {
      const pending_cell& c = b.cell[n];
      if (c.tone < 0) continue;
      group[count] = n;
      w[count] = plan.angular[c.tone];
      x0[count++] = static_cast<double>(c.d0) * walk.binade.unit;
    }
    walk_start start[start_group];
    start_walks(w, x0, D, count, start);
    for (uint64_t k = 0; k < count; ++k) {
      pending_cell& c = b.cell[group[k]];
      walk_cell(b, c, plan, walk, start[k], base != nullptr ? base + c.offset : nullptr);
    }
  }
  settle_phases(b.phase, b.phases, plan.code, b.phase_sample, b.phase_doubt);
  for (uint64_t i = 0; i < b.phases; ++i) b.sample[b.phase_frame[i]] = b.phase_sample[i];
  b.phases = 0;
}

uint64_t add_cell_phases(batch& b, const cell_plan& plan, uint64_t most, double w, double s, double e, double& t) {
  const double step = plan.step;
  double* phase = b.phase + b.phases;
  uint64_t frames = 0;
  do {
    const frame_progression p = progression_at(t, step);
    if (p.increment > 0) {
      // Frames t + i*D below the binade's end are exact, and so is the one
      // after them while it stays below; the first one past is a plain sum.
      const uint64_t j = std::min(most - frames, steps_to_reach(t, p.increment, std::min(e, p.limit)));
      for (uint64_t i = 0; i < j; ++i) phase[frames + i] = w * ((t + static_cast<double>(i) * p.increment) - s);
      frames += j;
      const double next = t + static_cast<double>(j) * p.increment;
      t = next < p.limit ? next : (t + static_cast<double>(j - 1) * p.increment) + step;
    } else {
      phase[frames++] = w * (t - s);
      t += step;
    }
  } while (frames < most && t < e);
  for (uint64_t i = 0; i < frames; ++i) b.phase_frame[b.phases + i] = static_cast<uint32_t>(b.count + i);
  b.phases += frames;
  b.count += frames;
  return frames;
}

}  // namespace kelvora
