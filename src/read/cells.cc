// Cell windows. A cell is read by correlating its window with both tones in
// quadrature: the stronger tone is the bit, whatever the level, polarity or
// phase. Window edges fall between samples, so a window moves smoothly with
// the bit clock; neighbours share the running sums at their common edge.
#include "read/cells.h"

#include <algorithm>
#include <cmath>

namespace kelvora::rx {

namespace {

// Which tones' phases a row of windows is read with.
enum class phases { none, stronger, both };

// What the windows read in one go share.
struct window_bounds {
  double oldest, end;  // the ring's bounds: windows are cut to them
  double first, last;  // a window from first to last at most lies within the recording
  double scale;        // 2 / r.cell: what turns a whole window's squared correlation into energy
};

window_bounds bounds_of(const reader& r) {
  const tone_ring& ring = r.ring;
  // A window may reach a quarter of a cell past either end of the recording:
  // a recording may begin with the first cell and end with the last, give
  // or take rounding.
  const double slack = std::max(1.0, r.cell / 4);
  return window_bounds{static_cast<double>(std::max(ring.tuned_from, oldest_sum(ring))),
                       static_cast<double>(ring.end), static_cast<double>(ring.tuned_from) - slack,
                       static_cast<double>(ring.end) + slack, 2 / r.cell};
}

// Fills in a cell from the local sums p and q at its edges from and to
// (held: the edges within the ring).
inline void finish_cell(const reader& r, const window_bounds& b, const local_sums& p, const local_sums& q,
                        double from, double to, double held_from, double held_to, phases wanted, cell_reading& c) {
  const tone_ring& ring = r.ring;
  c.complete = from >= b.first && to <= b.last;
  c.length = held_to - held_from;
  const local_sums w = window_between(ring, p, q);
  // A window cut short by an end of the ring has a scale of its own; an
  // empty one reads nothing.
  const double scale = held_from == from && held_to == to ? b.scale : c.length > 0 ? 2 / c.length : 0.0;
  double zero_squared, one_squared;
  squared_correlations(w, zero_squared, one_squared);
  c.zero = zero_squared * scale;
  c.one = one_squared * scale;
  c.power = std::max(0.0, static_cast<double>(w.power));
  c.evidence = tone_strength(r.levels, c) * r.levels.inverse_floor;
  c.phase_re = 0;
  c.phase_im = 0;
  c.weaker_re = 0;
  c.weaker_im = 0;
  if (wanted != phases::none && c.length > 0) {
    // The correlation is against the phase at the start of the window's
    // block; turning it on by w times the window's start in the block
    // refers it to that start.
    const bool one = c.one > c.zero;
    const double into = held_from - static_cast<double>(p.block * block_length);
    for (const bool tone : {one, !one}) {
      if (tone != one && wanted != phases::both) break;
      const double angle = (tone ? ring.w1 : ring.w0) * into;
      const double t_re = std::cos(angle), t_im = std::sin(angle);
      const double re = w.tones.v[tone ? 2 : 0], im = w.tones.v[tone ? 3 : 1];
      const double turned_re = re * t_re - im * t_im;
      const double turned_im = re * t_im + im * t_re;
      const double size = std::sqrt(turned_re * turned_re + turned_im * turned_im);
      if (size == 0) continue;
      (tone == one ? c.phase_re : c.weaker_re) = turned_re / size;
      (tone == one ? c.phase_im : c.weaker_im) = turned_im / size;
    }
  }
}

// How many cells from the start of a row from a can be taken from the kept
// row: those whose edges lie within half a sample of its cells' edges.
int kept_cells(const reader& r, double a, int count) {
  const kept_row& k = r.kept;
  if (k.tuning != r.ring.tuning || k.count == 0) return 0;
  const double place = (a - k.start) / k.cell;
  const int first = static_cast<int>(std::floor(place + 0.5));
  if (first < 0 || first >= k.count) return 0;
  const int n = std::min(count, k.count - first);
  // The edges drift apart linearly: the first and last tell.
  const double offset = a - (k.start + first * k.cell);
  const double drift = n * (r.cell - k.cell);
  return std::abs(offset) <= 0.5 && std::abs(offset + drift) <= 0.5 ? n : 0;
}

// Reads `count` (at most most_cells) cells in a row from a: cell i is the
// window [a + i cell, a + (i + 1) cell), its edges between samples, so that
// neighbours share the running sums at their common edge; the phase of the
// stronger tone, or of both, as wanted. Evidence is against the noise floor
// as it stands. Cells the kept row holds are taken from it; a row read to be kept
// (keep) becomes the kept row.
void read_row(reader& r, double a, int count, cell_reading* out, phases wanted, bool keep) {
  tone_ring& ring = r.ring;
  if (wanted == phases::none && !keep) {
    const int taken = kept_cells(r, a, count);
    if (taken > 0) {
      const int first = static_cast<int>(std::floor((a - r.kept.start) / r.kept.cell + 0.5));
      for (int i = 0; i < taken; ++i) {
        out[i] = r.kept.cells[first + i];
        out[i].evidence = tone_strength(r.levels, out[i]) * r.levels.inverse_floor;
      }
      if (taken == count) return;
      a += taken * r.cell;
      count -= taken;
      out += taken;
    }
  }
  double edge[most_cells + 1];
  for (int i = 0; i <= count; ++i) edge[i] = a + i * r.cell;
  ensure_samples(ring, static_cast<int64_t>(a + count * r.cell) + 1);
  const window_bounds bounds = bounds_of(r);
  double held[most_cells + 1];
  local_sums sums[most_cells + 1];
  for (int i = 0; i <= count; ++i) {
    held[i] = std::clamp(edge[i], bounds.oldest, bounds.end);
    sums[i] = local_at(ring, held[i]);
  }
  for (int i = 0; i < count; ++i) {
    finish_cell(r, bounds, sums[i], sums[i + 1], edge[i], edge[i + 1], held[i], held[i + 1], wanted, out[i]);
  }
  if (keep && count <= row_cells) {
    r.kept.start = a;
    r.kept.cell = r.cell;
    r.kept.tuning = ring.tuning;
    r.kept.count = count;
    std::copy(out, out + count, r.kept.cells);
  }
}

}  // namespace

void read_cells(reader& r, double a, int count, cell_reading* out, bool with_phase, bool keep) {
  read_row(r, a, count, out, with_phase ? phases::stronger : phases::none, keep);
}

// Reads `count` cells in a row from a with both tones' phases.
void read_cells_with_both_phases(reader& r, double a, int count, cell_reading* out) {
  read_row(r, a, count, out, phases::both, false);
}

// The balances (see balance) of `count` (at least one) cell windows
// [from[i], from[i] + cell), each read on its own. A window is a whole cell
// long unless cut at an end of the recording, where its balance tells
// little anyway (its scale cancels from the balance unless the tones are
// weighed).
void read_balances(reader& r, const double* from, int count, double* out) {
  tone_ring& ring = r.ring;
  double furthest = from[0];
  for (int i = 1; i < count; ++i) furthest = std::max(furthest, from[i]);
  ensure_samples(ring, static_cast<int64_t>(furthest + r.cell) + 1);
  const double oldest = static_cast<double>(std::max(ring.tuned_from, oldest_sum(ring)));
  const double end = static_cast<double>(ring.end);
  const double scale = 2 / r.cell;
  for (int i = 0; i < count; ++i) {
    const local_sums p = local_at(ring, std::clamp(from[i], oldest, end));
    const local_sums q = local_at(ring, std::clamp(from[i] + r.cell, oldest, end));
    const local_sums w = window_between(ring, p, q);
    double zero, one;
    squared_correlations(w, zero, one);
    out[i] = level_balance(r.levels, zero * scale, one * scale);
  }
}

// Reads the cell window from a (its stronger tone's phase too when with_phase).
cell_reading read_cell(reader& r, double a, bool with_phase) {
  cell_reading c;
  read_cells(r, a, 1, &c, with_phase);
  return c;
}

// The balance of the two tones, each against its own level (see
// level_balance). Weighed tones take the weighed balance: the weaker tone's
// window holds what leaks in from a strong neighbour, which its score counts
// by the weaker amplitude only.
double balance(const reader& r, const cell_reading& c) { return level_balance(r.levels, c.zero, c.one); }

}  // namespace kelvora::rx
