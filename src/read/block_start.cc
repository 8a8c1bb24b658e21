// Where a block starts. After a leader the terms are lenient; after silence
// (or a short leader) the frame must be complete, strong, correctly framed
// and coherent, and the frame after it must frame too or the block end
// there. Where the tones are weighed (one far weaker), the block starts at
// the first 0 cell after the leader's last run of clear 1 cells, which may
// lie a frame or two before the 0 cells the scan met; its first frame is
// read with the lower tone's level from the window lying most wholly in the
// 0 cell.
#include "read/block_start.h"

#include <algorithm>
#include <cmath>

#include "read/clock.h"
#include "read/frames.h"
#include "read/levels.h"

namespace kelvora::rx {

bool try_block_start(reader& r, double p, const start_terms& terms, double& start, bool& zero_before) {
  zero_before = false;
  const bool after_tone = terms.after_tone, after_leader = terms.after_leader, weighed_start = terms.weighed;
  // After tone (leader or stop cells) the first window to read 0 began about
  // half a cell before the start cell; after silence the tone's onset tells
  // where it starts.
  const double onset = tone_onset(r, p);
  double guess = onset;
  // Tone may have come too shortly before to count as leader (a few 1
  // cells, or the stop cells of a frame whose start was lost).
  const cell_reading before = read_cell(r, p - 0.8 * r.cell);
  if (after_tone || (before.evidence >= tone_evidence && reads_one(r.levels, before))) {
    guess = p + 0.6 * r.cell;
    const double edge = first_falling_edge(r, guess - 0.75 * r.cell, guess + 0.75 * r.cell);
    if (!std::isnan(edge)) guess = edge;
  }
  start = align(r, guess, after_tone ? 4 : 2, false);
  frame_reading f = read_frame(r, start, true, true);
  // A window cut by the recording's start holds only the first samples:
  // a start cell's may read as 1, a cell of 1 before one as either. The
  // frame starts at the tone's onset (the recording begins with it) or
  // at a falling edge (after the end of a byte it began inside): the one
  // whose start cell reads the clearer 0.
  if (!before.complete && guess != onset) {
    const double other = align(r, onset, 2, false);
    const frame_reading g = read_frame(r, other, true, true);
    if (g.complete && g.start_zero && (!f.complete || !f.start_zero || g.start_soft < f.start_soft)) {
      start = other;
      f = g;
    }
  }
  if (!f.complete || !f.start_zero) return false;
  if (!before.complete && start - onset > 0.3 * r.cell) {
    // Sound from the recording's start to a frame that begins after it: the
    // line rests at 1 between bytes, so the lower tone there is the end of
    // a byte the recording began inside (a 0 cell cut short, which the
    // frame's cells line up after).
    const cell_reading cut = read_cell(r, start - r.cell);
    zero_before = cut.evidence >= tone_evidence && balance(r, cut) < -0.3;
  }
  if (f.evidence < (after_leader ? frame_evidence : strict_evidence)) return false;
  // A 0 cell of a far weaker tone, or what leaks into its window where the
  // leader ends: the upper tone must come back within the frame (its stop
  // cells, or a 1 bit where there are none). Where the upper tone is the far
  // weaker one, its stop cells may dip under tone evidence in noise: they
  // must only not be silent.
  const bool upper_weaker = r.levels.one_level < r.levels.zero_level;
  const bool stops_lost = upper_weaker ? f.weakest < no_tone_evidence : f.weak_stops > 0;
  if (weighed_start && (f.bad_stops > 0 || stops_lost || (r.format.stop_bits == 0 && f.value == 0))) {
    return false;
  }
  if (!after_leader) {
    if (!(f.bad_stops == 0 && f.weak_stops == 0 && f.full_start && f.start_soft < -0.5 &&
          f.coherence >= 0.8)) {
      return false;
    }
    // The frame after it frames as well, or silence or leader follows: a
    // place inside the frames of a block that was lost frames only by chance.
    const double after = start + frame_cells(r) * r.cell;
    frame_reading next = read_frame(r, after, true);
    if (!next.start_zero && !next.all_ones && next.evidence >= frame_evidence) {
      // The line may rest at 1 before the next frame.
      const double idle_next = idle_start(r, after);
      if (!std::isnan(idle_next)) next = read_frame(r, idle_next, true);
    }
    const bool ends = next.evidence < frame_evidence || next.all_ones;
    if (!ends && !(next.start_zero && next.bad_stops == 0)) return false;
  }
  // A byte 0xFF differs from leader by its start cell alone: one that holds
  // no tone (a weak leader dipping under noise) starts no block.
  if (f.value == 0xFF && f.start_evidence < frame_evidence) return false;
  if (f.value == 0xFF && f.start_soft > -0.9) {
    // A weak 0 cell inside a leader that goes on is noise, not a byte 0xFF.
    const frame_reading next = read_frame(r, start + frame_cells(r) * r.cell, false);
    if (next.complete && next.all_ones) return false;
  }
  return true;
}

// Cells of clear 1 that end a leader before a block's start cell.
constexpr int leader_end_cells = 8;
// Cells before the place the hunt met a 0 that the leader's end is looked
// for in: two frames of two stop cells, with the most idle between them.
constexpr int leader_end_reach = 2 * 11 + static_cast<int>(most_idle_cells);

// The leader's end before p, once the tones are weighed: the hunt
// meets a far weaker lower tone only where its 0 cells run two or more, and
// passes lone ones by (a start cell between leader and a 1 bit). The last
// place before p where leader_end_cells cells in a row each read clearly 1
// (windows a quarter cell apart), all after `earliest` (where the leader
// began); the block's first 0 cell follows it within a cell. NaN where no
// such run lies within leader_end_reach cells.
double leader_end(reader& r, double p, double earliest) {
  constexpr int per_cell = 4;
  constexpr int most_windows = (leader_end_reach + leader_end_cells) * per_cell;
  const double from = std::max(p - (leader_end_reach + leader_end_cells) * r.cell, earliest);
  const int windows = std::min(most_windows, static_cast<int>(std::floor((p - from) / (r.cell / per_cell))));
  bool clear_one[most_windows];
  for (int i = 0; i < windows; ++i) {
    const cell_reading c = read_cell(r, from + i * r.cell / per_cell);
    clear_one[i] = c.complete && c.evidence >= tone_evidence && balance(r, c) > 0.5;
  }
  for (int last = windows - 1; last >= (leader_end_cells - 1) * per_cell; --last) {
    bool run = true;
    for (int k = 0; run && k < leader_end_cells; ++k) run = clear_one[last - k * per_cell];
    if (run) return from + (last + per_cell) * r.cell / per_cell;
  }
  return NAN;
}

// Whether a window in a leader holds a 0 cell of a lower tone too weak to
// count as tone against the leader's level: the leader's tone has fallen
// under a quarter of its level, and the lower tone holds energy well over
// the noise in its window during the leader (the floor's noise may be the
// leader's harmonics; on a clean recording, over the leader's level 60 dB
// down).
bool weak_zero_in_leader(const signal_levels& l, const cell_reading& c) {
  const double noise = l.zero_noise_samples > 0 ? l.zero_noise : l.noise;
  return c.one < l.tone / 4 && c.zero >= tone_evidence * std::max(noise, 1e-6 * l.tone);
}

// Levels differing by this ratio (10 dB) or more between the leader and the
// 0 cell after it are weighed for the block's first frame.
constexpr double weighed_start_ratio = 10;

// Where the leader's level and a 0 cell c after it differ by ten times or
// more, the block's first frame is read with the tones weighed by them (see
// start_levels): a far weaker tone is not read from what leaks into its
// window. Nearer levels are not weighed, and a weaker 0 cell that is not
// clearly one (a dip of a weak leader under noise) changes nothing; but a 0
// cell of tone sets the two levels the balance takes each tone against, so
// that the start cell's edge is found where it is.
void levels_for_start(signal_levels& l, const cell_reading& c) {
  if (l.weighed || l.tone <= 0 || c.zero <= 0) return;
  const double ratio = l.tone / c.zero;
  if ((ratio >= weighed_start_ratio && weak_zero_in_leader(l, c)) || ratio * weighed_start_ratio <= 1) {
    start_levels(l, l.tone, c.zero);
  } else if (c.evidence >= tone_evidence && !reads_one(l, c)) {
    // Unweighed, the balance still takes each tone against its own level:
    // a weaker lower tone would otherwise hold the edges half a cell late.
    l.one_level = l.tone;
    l.zero_level = c.zero;
  }
}

// The window near p, where the scan met a 0 cell, that lies most wholly in
// it. The scan's windows lie a quarter cell apart, and the one that met the
// cell may hold part of it only, which would set the lower tone's level far
// under its own (and the start cell's edge half a cell early). Of the
// windows whose upper tone is under a sixteenth of the lower, the one with
// the most lower tone (a window across the cell's edge holds some upper
// tone, and what a strong upper tone leaks into the lower's window); where
// noise leaves none so clear, the one whose tones lean furthest to the lower.
cell_reading fullest_zero(reader& r, double p) {
  cell_reading best = read_cell(r, p);
  bool clear = best.complete && 16 * best.one <= best.zero;
  for (int i = 1; i <= 8; ++i) {
    const cell_reading c = read_cell(r, p + i * r.cell / 8);
    if (!c.complete) continue;
    const bool c_clear = 16 * c.one <= c.zero;
    if (c_clear ? !clear || c.zero > best.zero : !clear && soft_bit(c) < soft_bit(best)) {
      best = c;
      clear = c_clear;
    }
  }
  return best;
}

}  // namespace kelvora::rx
