// Cell windows. A cell is read by correlating its window with both tones in
// quadrature: the stronger tone is the bit, whatever the level, polarity or
// phase. Window edges fall between samples, so a window moves smoothly with
// the bit clock; neighbours share the running sums at their common edge.
// A cell of many cycles is read in parts that follow the tape's speed
// within the cell (see part_cycles).
#include "read/cells.h"

#include <algorithm>
#include <cmath>

namespace kelvora::rx {

namespace {

// Which tones' phases a row of windows is read with.
enum class phases { none, stronger, both };

// Lower cycles a part of a long cell holds: a tape whose speed swings by a
// few percent turns a tone's phase within a cell of many cycles far enough
// to cancel much of a whole window's correlation (+-3 % over the 32 upper
// cycles of a 16-cycle cell: all of it). So a long cell is read in parts of
// two lower cycles, within which the tone hardly turns, and each tone's
// parts are summed turned back by how far the tone turns from part to part.
// Parts of whole cycles keep the two tones apart.
constexpr double part_cycles = 2;

// How far a tone may lie off the tuning within a long cell: a tape's speed
// swinging by a few percent, the tuning measured where it stood elsewhere.
constexpr double most_off_tune = 0.1;
// The weight of the tuning against a turn measured in noise (see parted_correlations).
constexpr double prior_weight = 3;

// The correlations of a cell read in `parts` parts (the local sums
// at their edges, sums[0..parts]) with both tones, each tone's parts summed
// after turning each back by how far the tone turned from one part to the
// next: the tones follow the tape's speed within the cell. Both tones turn
// alike (the lower half as far), so the turn is measured on both, each
// weighed by its strength, and held within most_off_tune of the tuning.
// The sums are against the tones' phase at the start of the first part's
// block, as a whole window's are.
// The upper tone's turn from one part to the next goes to *turn.
float_quad parted_correlations(const reader& r, const local_sums* sums, int parts, double* turn_out) {
  const tone_ring& ring = r.ring;
  double z_re[most_parts], z_im[most_parts], o_re[most_parts], o_im[most_parts];
  // Each part's correlations are against the phase at the start of its own
  // block: turned on to the first part's block by the block's turn.
  double t0_re = 1, t0_im = 0, t1_re = 1, t1_im = 0;
  int64_t block = sums[0].block;
  for (int j = 0; j < parts; ++j) {
    for (; block < sums[j].block; ++block) {
      const double a0 = t0_re * ring.block_turn0_re - t0_im * ring.block_turn0_im;
      t0_im = t0_re * ring.block_turn0_im + t0_im * ring.block_turn0_re;
      t0_re = a0;
      const double a1 = t1_re * ring.block_turn1_re - t1_im * ring.block_turn1_im;
      t1_im = t1_re * ring.block_turn1_im + t1_im * ring.block_turn1_re;
      t1_re = a1;
    }
    const local_sums w = window_between(ring, sums[j], sums[j + 1]);
    const double v0 = w.tones.v[0], v1 = w.tones.v[1], v2 = w.tones.v[2], v3 = w.tones.v[3];
    z_re[j] = v0 * t0_re - v1 * t0_im;
    z_im[j] = v0 * t0_im + v1 * t0_re;
    o_re[j] = v2 * t1_re - v3 * t1_im;
    o_im[j] = v2 * t1_im + v3 * t1_re;
  }
  // The upper tone's turn from part to part: its own, and the lower's doubled.
  double l_re = 0, l_im = 0, u_re = 0, u_im = 0;
  for (int j = 0; j + 1 < parts; ++j) {
    l_re += z_re[j + 1] * z_re[j] + z_im[j + 1] * z_im[j];
    l_im += z_im[j + 1] * z_re[j] - z_re[j + 1] * z_im[j];
    u_re += o_re[j + 1] * o_re[j] + o_im[j + 1] * o_im[j];
    u_im += o_im[j + 1] * o_re[j] - o_re[j + 1] * o_im[j];
  }
  const double l_size = std::hypot(l_re, l_im);
  if (l_size > 0) {
    u_re += (l_re * l_re - l_im * l_im) / l_size;
    u_im += 2 * l_re * l_im / l_size;
  }
  // Noise makes a turn of its own: the tuning weighs in as a turn of 0,
  // prior_weight times as heavy as the products of noise of the floor's
  // energy in every pair of parts, so that a weak tone in noise is summed
  // as one whole window sums it.
  const double part_noise = r.cell / parts / 2 / r.levels.inverse_floor;
  u_re += prior_weight * (parts - 1) * part_noise;
  const double most = most_off_tune * ring.w1 * r.cell / parts;
  const double turn = u_re == 0 && u_im == 0 ? 0.0 : std::clamp(std::atan2(u_im, u_re), -most, most);
  *turn_out = turn;
  // Summed turned back: part j by j times the turn.
  const double s0_re = std::cos(turn / 2), s0_im = -std::sin(turn / 2);
  const double s1_re = s0_re * s0_re - s0_im * s0_im, s1_im = 2 * s0_re * s0_im;
  double b0_re = 1, b0_im = 0, b1_re = 1, b1_im = 0;
  double zs_re = 0, zs_im = 0, os_re = 0, os_im = 0;
  for (int j = 0; j < parts; ++j) {
    zs_re += z_re[j] * b0_re - z_im[j] * b0_im;
    zs_im += z_re[j] * b0_im + z_im[j] * b0_re;
    os_re += o_re[j] * b1_re - o_im[j] * b1_im;
    os_im += o_re[j] * b1_im + o_im[j] * b1_re;
    const double n0 = b0_re * s0_re - b0_im * s0_im;
    b0_im = b0_re * s0_im + b0_im * s0_re;
    b0_re = n0;
    const double n1 = b1_re * s1_re - b1_im * s1_im;
    b1_im = b1_re * s1_im + b1_im * s1_re;
    b1_re = n1;
  }
  return float_quad{static_cast<float>(zs_re), static_cast<float>(zs_im), static_cast<float>(os_re),
                    static_cast<float>(os_im)};
}

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

// Fills in a cell from the local sums at its parts' edges, sums[0..parts]
// (held[]: those edges within the ring), from and to its own edges.
inline void finish_cell(const reader& r, const window_bounds& b, const local_sums* sums, const double* held,
                        int parts, double from, double to, phases wanted, cell_reading& c) {
  const tone_ring& ring = r.ring;
  const double held_from = held[0], held_to = held[parts];
  const local_sums& p = sums[0];
  c.complete = from >= b.first && to <= b.last;
  c.length = held_to - held_from;
  local_sums w = window_between(ring, p, sums[parts]);
  double turn = 0;  // the upper tone's from part to part
  if (parts == 1) {
    // A window cut short by an end of the ring has a scale of its own; an
    // empty one reads nothing.
    const double scale = held_from == from && held_to == to ? b.scale : c.length > 0 ? 2 / c.length : 0.0;
    double zero_squared, one_squared;
    squared_correlations(w, zero_squared, one_squared);
    c.zero = zero_squared * scale;
    c.one = one_squared * scale;
    c.whole = c.zero + c.one;
  } else {
    const double scale = c.length > 0 ? 2 / c.length : 0.0;
    double zero_squared, one_squared;
    squared_correlations(w, zero_squared, one_squared);
    c.whole = (zero_squared + one_squared) * scale;
    // The tones as they follow the tape's speed, their phases too.
    w.tones.v = parted_correlations(r, sums, parts, &turn);
    squared_correlations(w, zero_squared, one_squared);
    c.zero = zero_squared * scale;
    c.one = one_squared * scale;
  }
  c.power = std::max(0.0, static_cast<double>(w.power));
  c.evidence = tone_strength(r.levels, c) * r.levels.inverse_floor;
  c.phase_re = 0;
  c.phase_im = 0;
  c.weaker_re = 0;
  c.weaker_im = 0;
  c.end_re = 0;
  c.end_im = 0;
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
    // Where the window ends, the stronger tone has gone on by the window's
    // length at its tuning and by its turn in each part (the lower's half
    // the upper's). A short cell's is taken as its start's: a cell holds
    // whole cycles of either tone.
    const double on = (one ? ring.w1 : ring.w0) * c.length + parts * (one ? turn : turn / 2);
    const double on_re = parts > 1 ? std::cos(on) : 1.0, on_im = parts > 1 ? std::sin(on) : 0.0;
    c.end_re = c.phase_re * on_re - c.phase_im * on_im;
    c.end_im = c.phase_re * on_im + c.phase_im * on_re;
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
  const int parts = parts_of(r);
  const int edges = count * parts + 1;
  const double part = r.cell / parts;
  ensure_samples(ring, static_cast<int64_t>(a + count * r.cell) + 1);
  const window_bounds bounds = bounds_of(r);
  double held[most_cells * most_parts + 1];
  local_sums sums[most_cells * most_parts + 1];
  for (int i = 0; i < edges; ++i) {
    held[i] = std::clamp(a + i * part, bounds.oldest, bounds.end);
    sums[i] = local_at(ring, held[i]);
  }
  for (int i = 0; i < count; ++i) {
    const int k = i * parts;
    finish_cell(r, bounds, sums + k, held + k, parts, a + i * r.cell, a + (i + 1) * r.cell, wanted, out[i]);
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

// The parts a cell is read in (see part_cycles).
int parts_of(const reader& r) {
  const double cycles = r.format.lower_hz / r.format.baud_rate;
  return std::clamp(static_cast<int>(cycles / part_cycles), 1, most_parts);
}

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
  const int parts = parts_of(r);
  const double part = r.cell / parts;
  const double scale = 2 / r.cell;
  for (int i = 0; i < count; ++i) {
    double zero = 0, one = 0;
    const local_sums p = local_at(ring, std::clamp(from[i], oldest, end));
    if (parts == 1) {
      const local_sums q = local_at(ring, std::clamp(from[i] + r.cell, oldest, end));
      squared_correlations(window_between(ring, p, q), zero, one);
      out[i] = level_balance(r.levels, zero * scale, one * scale);
      continue;
    }
    // A long cell's parts, as read_cells reads them.
    local_sums edges[most_parts + 1];
    edges[0] = p;
    for (int j = 1; j <= parts; ++j) edges[j] = local_at(ring, std::clamp(from[i] + j * part, oldest, end));
    double turn;
    const local_sums followed{p.block, {parted_correlations(r, edges, parts, &turn)}, 0};
    squared_correlations(followed, zero, one);
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
