// The bit clock's measurements. The balance of the two tones (each against
// its own level) of a window straddling a boundary between cells of
// different bits crosses 0 where the boundary lies: the tones join without a
// phase jump, so energy hardly tells the alignment; the balance does.
#include "read/clock.h"

#include <algorithm>
#include <cmath>

#include "read/cells.h"
#include "read/order_stats.h"

namespace kelvora::rx {

namespace {

// Boundaries measured in one go at most (those of a frame's cells).
constexpr int most_boundaries = 10;

// Where the boundaries expected at boundary[k] (k < n, at most most_boundaries)
// between cells of different bits (direction[k] +1: 0 to 1, -1: 1 to 0) lie,
// relative to the expectation and within +-reach, into crossing[k]. The
// balance of the two tones (each against its own level) of a window centred
// there, signed to rise through the boundary, crosses 0 at the boundary; it
// is steep near the crossing and flat away from it, so the crossing is found
// by a step of false position within a bracket. The brackets of all
// boundaries are read in one go, then the steps.
void boundary_crossings(reader& r, const double* boundary, const int* direction, int n, double reach,
                        double* crossing) {
  if (n == 0) return;
  double from[2 * most_boundaries] = {};
  double balances[2 * most_boundaries] = {};
  for (int k = 0; k < n; ++k) {
    from[2 * k] = boundary[k] - reach - r.cell / 2;
    from[2 * k + 1] = boundary[k] + reach - r.cell / 2;
  }
  read_balances(r, from, 2 * n, balances);
  double b_lo[most_boundaries] = {}, b_hi[most_boundaries] = {}, step[most_boundaries] = {};
  int stepping[most_boundaries] = {};
  int steps = 0;
  for (int k = 0; k < n; ++k) {
    b_lo[k] = balances[2 * k] * direction[k];
    b_hi[k] = balances[2 * k + 1] * direction[k];
    if (b_lo[k] >= 0) {
      crossing[k] = -reach;
    } else if (b_hi[k] <= 0) {
      crossing[k] = reach;
    } else {
      step[k] = -reach - b_lo[k] * (2 * reach) / (b_hi[k] - b_lo[k]);
      from[steps] = boundary[k] + step[k] - r.cell / 2;
      stepping[steps++] = k;
    }
  }
  if (steps == 0) return;
  read_balances(r, from, steps, balances);
  for (int j = 0; j < steps; ++j) {
    const int k = stepping[j];
    // The step replaces the end of the bracket of its sign (selected, not
    // branched on: the signs are noise's to decide).
    const double m = step[k];
    const double b_m = balances[j] * direction[k];
    const bool below = b_m < 0;
    const double lo = below ? m : -reach, hi = below ? reach : m;
    const double low = below ? b_m : b_lo[k], high = below ? b_hi[k] : b_m;
    crossing[k] = lo - low * (hi - lo) / (high - low);
  }
}

// The crossing near one boundary (see boundary_crossings).
double boundary_crossing(reader& r, double boundary, int direction, double reach) {
  double crossing = 0;
  boundary_crossings(r, &boundary, &direction, 1, reach, &crossing);
  return crossing;
}

}  // namespace

// The timing is measured at the cell boundaries where the bit changes: a
// window straddling such a boundary holds both tones alike (each measured
// against its own level) when the boundary is where it is expected, and more
// of the second tone the later the expectation. The tones join without a
// phase jump, so the energy of aligned windows hardly tells the alignment;
// the balance at the boundary does.
timing measure_timing(reader& r, double s) {
  int bit[11];
  bool tone[11];
  double evidence[11];
  cell_reading cells[11];
  read_cells(r, s - r.cell, 11, cells, false, true);
  for (int i = 0; i < 11; ++i) {
    const cell_reading& c = cells[i];
    bit[i] = reads_one(r.levels, c) ? 1 : 0;
    tone[i] = c.evidence >= tone_evidence;
    evidence[i] = c.evidence;
  }
  double late[10];
  double place[10];  // the boundary's distance from the frame's start, in cells
  double boundary[10];
  int direction[10];
  int n = 0;
  for (int i = 1; i < 11; ++i) {
    // Every boundary is written; only those where the bit changes between
    // tones are counted (no branch on the bits).
    boundary[n] = s + (i - 1) * r.cell;
    direction[n] = bit[i] - bit[i - 1];
    place[n] = i - 1;
    n += bit[i] != bit[i - 1] && tone[i] && tone[i - 1];
  }
  boundary_crossings(r, boundary, direction, n, r.cell / 4, late);
  for (int i = 0; i < n; ++i) late[i] = -late[i];
  timing t;
  t.transitions = n;
  if (n == 0) return t;
  // The mean lateness belongs to the boundaries' mean place: where the cell
  // length is off (the tape's speed moves within a frame) it differs from
  // the lateness at the start.
  double mean_late = 0;
  for (int i = 0; i < n; ++i) {
    t.place += place[i] / n;
    mean_late += late[i] / n;
  }
  t.late = mean_late;
  double residual = 0;
  for (int i = 0; i < n; ++i) residual += (late[i] - mean_late) * (late[i] - mean_late);
  // One boundary alone, or boundaries that agree too well, are not trusted
  // beyond what the noise allows: the boundary's place wanders about as the
  // noise's share of the tone's amplitude.
  // (The median needs finding only where it lies under 225, where the
  // second term takes over.)
  const double median = count_at_most(evidence, 11, 225) < 6 ? 225 : kth_smallest(evidence, 11, 5);
  const double floor = r.cell * std::max(0.02, 0.3 / std::sqrt(std::max(median, 1.0)));
  const double scatter = n > 1 ? residual / (n - 1) : 0.15 * r.cell * 0.15 * r.cell;
  t.variance = std::max(scatter / n, floor * floor);
  // Boundaries at different places tell the cell length: a line through the
  // lateness against the place (where the speed moves, the cell the frame
  // was read with is off, and each cell adds to the lateness).
  double spread = 0, moment = 0;
  for (int i = 0; i < n; ++i) {
    spread += (place[i] - t.place) * (place[i] - t.place);
    moment += (place[i] - t.place) * (late[i] - mean_late);
  }
  if (n > 1 && spread >= 1) {
    t.slope = moment / spread;
    double off_line = 0;
    for (int i = 0; i < n; ++i) {
      const double d = late[i] - mean_late - t.slope * (place[i] - t.place);
      off_line += d * d;
    }
    const double each = std::max(n > 2 ? off_line / (n - 2) : 0.0, n * floor * floor);
    t.slope_variance = 4 * each / spread;
  }
  return t;
}

// The frame start near `guess`, from a few rounds of measure_timing; the
// last round's variance goes with it.
double align(reader& r, double guess, int rounds, bool from_afar, timing* last) {
  double s = guess;
  if (from_afar && r.format.stop_bits > 0) {
    // First the edge from the last stop cell to the start cell, from afar.
    const double edge = boundary_crossing(r, s, -1, 0.6 * r.cell);
    if (std::abs(edge) < 0.6 * r.cell) s += edge;
  }
  for (int i = 0; i < rounds; ++i) {
    const timing t = measure_timing(r, s);
    s -= std::clamp(t.late, -r.cell / 4, r.cell / 4);
    if (last != nullptr) *last = t;
    if (std::abs(t.late) < r.cell / 64) break;  // settled
  }
  return s;
}

// The first edge from a 1 cell to a 0 cell between from and to: where the
// balance of a window centred there first turns from the upper tone to the
// lower, refined by false position; NaN when there is none.
double first_falling_edge(reader& r, double from, double to) {
  auto balance_at = [&](double u) {
    return -balance(r, read_cell(r, u - r.cell / 2));
  };
  const double step = r.cell / 8;
  double lo = from, b_lo = balance_at(lo);
  for (double hi = from + step; hi <= to; hi += step) {
    double b_hi = balance_at(hi);
    if (b_lo < 0 && b_hi >= 0) {
      for (int k = 0; k < 3; ++k) {
        const double m = lo - b_lo * (hi - lo) / (b_hi - b_lo);
        const double b_m = balance_at(m);
        (b_m < 0 ? lo : hi) = m;
        (b_m < 0 ? b_lo : b_hi) = b_m;
      }
      return lo - b_lo * (hi - lo) / (b_hi - b_lo);
    }
    lo = hi;
    b_lo = b_hi;
  }
  return NAN;
}

// Where a tone that follows silence begins, near p (the first window that
// held tone): a window's power grows in proportion to the tone it holds, so
// the window half in the tone holds half the power of one wholly in it.
double tone_onset(reader& r, double p) {
  auto power_at = [&](double u) { return read_cell(r, u).power; };
  const double half = 0.5 * (power_at(p - 1.5 * r.cell) + power_at(p + r.cell));
  double lo = p - r.cell, hi = p + r.cell;
  for (int i = 0; i < 12; ++i) {
    const double m = 0.5 * (lo + hi);
    (power_at(m) < half ? lo : hi) = m;
  }
  return 0.5 * (lo + hi) + r.cell / 2;
}

clock_filter start_clock(double cell) {
  return clock_filter{0.05 * cell * 0.05 * cell, 0, 0.02 * cell * 0.02 * cell, 1, 1};
}

void predict(clock_filter& k, double cells, double cell) {
  const double q_start = 0.01 * cell * 0.01 * cell;
  const double q_cell = 0.008 * cell * 0.008 * cell;
  k.p_ss += 2 * cells * k.p_sc + cells * cells * k.p_cc + k.wander * q_start;
  k.p_sc += cells * k.p_cc;
  k.p_cc += k.wander * q_cell;
}

void retime_clock(clock_filter& k, double cell) {
  k.p_ss = 0.05 * cell * 0.05 * cell;
  k.p_sc = 0;
}

void correct_start(clock_filter& k, reader& r, double& s, const timing& t, double error) {
  // What was measured is the place of the boundaries' mean, c cells into the
  // frame: the start plus c cells.
  const double c = t.place;
  const double ps = k.p_ss + c * k.p_sc, pc = k.p_sc + c * k.p_cc;
  double total = ps + c * pc + t.variance;
  k.surprise += (std::min(error * error / total, 9.0) - k.surprise) * 0.2;
  // A measurement beyond three standard deviations counts as that far only.
  total = std::max(total, error * error / 9);
  if (k.surprise > 2) k.wander = std::min(k.wander * 1.5, 100.0);
  if (k.surprise < 0.7) k.wander = std::max(k.wander / 1.5, 1.0);
  const double gain_s = ps / total, gain_c = pc / total;
  s += gain_s * error;
  r.cell = std::clamp(r.cell + gain_c * error, 0.75 * r.nominal_cell, 1.33 * r.nominal_cell);
  k.p_ss -= gain_s * ps;
  k.p_sc -= gain_s * pc;
  k.p_cc -= gain_c * pc;
}

void correct_cell(clock_filter& k, reader& r, double& s, const timing& t, double read_with) {
  const double cell_error = read_with - t.slope - r.cell;
  const double total = k.p_cc + t.slope_variance;
  const double k_s = k.p_sc / total, k_c = k.p_cc / total;
  s += k_s * cell_error;
  r.cell = std::clamp(r.cell + k_c * cell_error, 0.75 * r.nominal_cell, 1.33 * r.nominal_cell);
  const double sc = k.p_sc, cc = k.p_cc;
  k.p_ss -= k_s * sc;
  k.p_sc -= k_s * cc;
  k.p_cc -= k_c * cc;
}

}  // namespace kelvora::rx
