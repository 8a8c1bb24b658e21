// Frames: cells to a frame. A frame's cells are read in a row and each
// decided by its tone (see reads_one); a frame of a block teaches the noise
// floor and the tones' levels as it is read. Where the line rests at 1 past
// the stop cells, the next start cell is found where windows a quarter cell
// apart turn to the lower tone.
#include "read/frames.h"

#include <algorithm>
#include <cmath>

#include "read/cells.h"
#include "read/clock.h"
#include "read/doubt.h"
#include "read/order_stats.h"

namespace kelvora::rx {

// Reads the frame starting at s (stop cells too when with_stops; phases when
// with_phase); a frame of a block (learn) teaches the noise floor and levels.
frame_reading read_frame(reader& r, double s, bool with_stops, bool with_phase, bool learn) {
  frame_reading f;
  double evidence[9];
  double strength[9];
  double sum_re[2] = {0, 0}, sum_im[2] = {0, 0};
  cell_reading cells[9];
  read_cells(r, s, 9, cells, with_phase);
  bool bits[9];
  // Learning moves the floor from one cell to the next: each cell's
  // evidence is against the floor as the cells before it left it. The
  // floors are kept and the divisions made after the loop, apart from it.
  double floor[9];
  for (int i = 0; i <= 8; ++i) {
    cell_reading& c = cells[i];
    floor[i] = learn ? floor_of(r.levels) : 0;
    const bool one = reads_one(r.levels, c);
    bits[i] = one;
    sum_re[one] += c.phase_re;
    sum_im[one] += c.phase_im;
    f.complete = f.complete && c.complete;
    strength[i] = tone_strength(r.levels, c);
    if (learn && c.complete) learn_noise(r.levels, c, false);
    f.all_ones = f.all_ones && one;
    if (i == 0) {
      f.start_zero = !one;
      f.start_soft = tone_balance(r.levels, c);
    } else {
      f.value |= static_cast<int>(one) << (i - 1);
    }
  }
  cell_doubt suspect[9];
  double inverse_floors[9];
  bool suspects = false;
  for (int i = 0; i <= 8; ++i) {
    const double inverse_floor = learn ? 1 / floor[i] : r.levels.inverse_floor;
    evidence[i] = strength[i] * inverse_floor;
    f.weakest = std::min(f.weakest, evidence[i]);
    inverse_floors[i] = inverse_floor;
    // Only a frame of a block tells its doubts: the others are probes.
    const cell_doubt doubt = learn ? doubt_of(r.levels, cells[i], inverse_floor) : cell_doubt::sure;
    f.doubtful_cells += doubt == cell_doubt::doubtful;
    suspect[i] = doubt;
    suspects = suspects || doubt == cell_doubt::check_phase || doubt == cell_doubt::check_both;
  }
  if (suspects) {
    // (Rare: the phases are read for such frames only.)
    cell_reading phased[9];
    read_cells_with_both_phases(r, s, 9, phased);
    for (int i = 0; i <= 8; ++i) {
      if (suspect[i] != cell_doubt::check_phase && suspect[i] != cell_doubt::check_both) continue;
      f.doubtful_cells += phase_doubtful(r.levels, phased, bits, 9, i, suspect[i], inverse_floors[i]);
    }
  }
  f.start_evidence = evidence[0];
  if (learn) {
    // Once the tones are weighed, a tone's level, and the noise in the
    // other's window, are learnt from cells between two of the same bit
    // only: a window a little off the cell takes in some of a neighbour,
    // which in a far weaker tone's window outweighs the tone itself.
    const bool weighed = r.levels.weighed;
    for (int i = 0; i <= 8; ++i) {
      const bool tone = cells[i].complete && strength[i] >= tone_evidence * floor[i];
      const bool clear = i > 0 && i < 8 && bits[i - 1] == bits[i] && bits[i + 1] == bits[i];
      if (tone && !weighed) learn_level(r.levels, cells[i], bits[i]);
      if (tone && weighed && clear) {
        learn_level(r.levels, cells[i], bits[i]);
        learn_tone_noise(r.levels, cells[i], bits[i]);
      }
    }
    set_floor(r.levels);
    weigh_tones(r.levels);
  }
  // Medians: one odd cell (a click, a half-silent window) does not decide.
  f.evidence = median_of_nine(evidence);
  // As strong as the data cells: at least the fifth of their eight strengths
  // is at most twice the start cell's.
  f.full_start = count_at_most(strength + 1, 8, 2 * strength[0]) >= 5;
  if (!with_stops) return f;
  for (int32_t i = 0; i < r.format.stop_bits; i += most_cells) {
    const int count = static_cast<int>(std::min<int32_t>(most_cells, r.format.stop_bits - i));
    cell_reading stops[most_cells];
    read_cells(r, s + (9.0 + i) * r.cell, count, stops, with_phase);
    for (int k = 0; k < count; ++k) {
      const cell_reading& c = stops[k];
      const bool one = reads_one(r.levels, c);
      // A block whose first frames hold no 1 data cell (bytes 0x00) learns
      // the upper tone's level from a stop cell: the balance would take it
      // at no level learnt, and misplace every boundary of the next frame.
      if (learn && one && r.levels.one_samples == 0 && !r.levels.weighed && c.complete &&
          c.evidence >= tone_evidence) {
        learn_level(r.levels, c, true);
        weigh_tones(r.levels);
      }
      f.complete = f.complete && c.complete;
      if (!one) ++f.bad_stops;
      if (c.evidence < tone_evidence) ++f.weak_stops;
      f.weakest = std::min(f.weakest, c.evidence);
      sum_re[one] += c.phase_re;
      sum_im[one] += c.phase_im;
    }
  }
  if (with_phase) {
    f.coherence = (std::hypot(sum_re[0], sum_im[0]) + std::hypot(sum_re[1], sum_im[1])) /
                  (9.0 + r.format.stop_bits);
  }
  return f;
}


// Where the next frame starts when the line rests at 1 from p on (the
// stop cells told are over): the first place within most_idle_cells where
// windows a quarter cell apart read the lower tone twice running, its
// falling edge found and aligned as after a leader; NaN when the line stays
// at 1 (or falls silent) that long, or the recording ends.
double idle_start(reader& r, double p) {
  int zero_windows = 0;
  int silent_windows = 0;
  // A far weaker upper tone's idle cells dip under tone evidence in noise:
  // silence there is a window with hardly any tone at all.
  const bool upper_weaker = r.levels.weighed && r.levels.one_level < r.levels.zero_level;
  const double silent_under = upper_weaker ? no_tone_evidence : tone_evidence;
  for (double u = p; u <= p + most_idle_cells * r.cell; u += r.cell / 4) {
    const cell_reading c = read_cell(r, u);
    if (!c.complete) return NAN;
    silent_windows = c.evidence < silent_under ? silent_windows + 1 : 0;
    if (silent_windows >= 4) return NAN;
    zero_windows = c.evidence >= tone_evidence && !reads_one(r.levels, c) ? zero_windows + 1 : 0;
    if (zero_windows < 2) continue;
    zero_windows = 0;
    double guess = u - r.cell / 4 + 0.6 * r.cell;
    const double edge = first_falling_edge(r, guess - 0.75 * r.cell, guess + 0.75 * r.cell);
    if (!std::isnan(edge)) guess = edge;
    const double start = align(r, guess, 3, false);
    const frame_reading f = read_frame(r, start, false);
    if (f.complete && f.start_zero && f.evidence >= frame_evidence) return start;
  }
  return NAN;
}

}  // namespace kelvora::rx
