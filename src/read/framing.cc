// Framing. A cell is read by correlating its window with both tones in
// quadrature: the stronger tone is the bit, whatever the level, polarity or
// phase. Evidence of tone is its energy over the noise floor (and not far
// under the level of tone seen so far). Window edges fall between samples,
// so a window moves smoothly with the bit clock.
//
// Outside a block the ring is scanned in quarter cells. Runs of steady tone
// are leader, anything else silence; the leader's tone gives the tape's
// speed, measured again right before a block. A block starts at a 0 cell: after 8 cells of leader on lenient
// terms, otherwise only where the whole frame is strong, correctly framed
// and coherent (every cell of a tone starting at the same phase, as the
// writer makes them), which noise never is.
//
// Inside a block the next frame is expected right after the stop cells. Its
// alignment is measured at the boundaries where the bit changes, and a
// Kalman filter over the frame start and the cell length follows it, so the
// clock keeps up with a tape whose speed is off or wobbles. A block ends
// where the expected frame is silent (twice running) or plainly leader, or
// where three frames running misframe (the hunt then finds the frames again).
// The row of cells the timing is measured on is the next frame's, and that
// frame's reading takes its cells from it.
#include "read/framing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace kelvora {

namespace {

// Tone energy over the noise floor for a window to count as tone.
constexpr double tone_evidence = 4;
// Median over a frame's start and data cells for a block to go on.
constexpr double frame_evidence = 3;
// Evidence under which a cell holds no tone at all (less energy in either
// tone than the noise floor): its frame cannot be read.
constexpr double no_tone_evidence = 1;
// Median for a block to start after silence, where noise could pose as data.
constexpr double strict_evidence = 5;
// Leader cells before a 0 cell for it to start a block on the lenient terms.
constexpr double leader_cells = 8;
// Cells a section must last before the layout notes a change.
constexpr double settle_cells = 2;
// The speed is measured after this many cells of leader, then as often
// again, over at most the last estimate_span_cells.
constexpr double estimate_every_cells = 32;
constexpr double estimate_span_cells = 128;

struct cell_reading {
  double zero, one;  // tone energies
  double phase_re, phase_im;  // the stronger tone's phase at the window's start, as a unit vector
  double evidence;   // stronger tone over the noise floor
  bool complete;     // the window lies within the recording
  double power;      // sum of squared samples
  double length;     // samples in the window
};

// Cells read in a row at most (a frame's, with the cell before it).
constexpr int row_cells = 11;

// The last row of cells the timing was measured on, kept for readings of
// the same windows that follow (to within half a sample, the nearest-sample
// rounding windows once had).
struct kept_row {
  double start = 0, cell = 0;
  int64_t tuning = -1;  // the ring's tuning it was read with
  int count = 0;
  cell_reading cells[row_cells];
};

struct reader {
  tone_ring& ring;
  const frame_format& format;
  read_observer& events;
  uint64_t bytes = 0;    // bytes read so far (the next byte's image offset)
  double nominal_cell;   // samples in a cell at nominal speed
  double speed = 1;      // the tones are tuned to this speed
  double cell;           // samples in a cell now
  double noise = 0;      // noise floor: energy of noise in a tone's share of a window
  int64_t noise_samples = 0;
  double tone = 0;       // level of tone: mean energy of the stronger tone where there is one
  int64_t tone_samples = 0;
  double zero_level = 1, one_level = 1;  // mean energy of 0 and 1 cells in blocks
  double inverse_floor = 1e12;  // 1 / what tone evidence is measured against (see set_floor)
  int64_t zero_samples = 0, one_samples = 0;  // cells each level was learnt from (to 64)
  double shares_length = 0, inverse_shares = 1;  // a window length and 1 / its other shares (see learn_noise)
  kept_row kept{};
  double block_speed = 1;  // the speed the last block began at (nominal before any)
};


struct frame_reading {
  int value = 0;
  bool start_zero = false;
  int32_t bad_stops = 0;
  int32_t weak_stops = 0;  // stop cells without tone evidence
  double start_soft = 0;
  double start_evidence = 0;  // of tone in the start cell
  double evidence = 0;  // median over start and data cells
  double weakest = INFINITY;  // least evidence of any cell read
  bool full_start = false;  // the start cell is as strong as the data cells (not half silence)
  double coherence = 0;  // 1 when every cell of a tone starts at the same phase, as written
  bool all_ones = true;  // start and data cells all read 1
  bool complete = true;
};

// The sample nearest a position (positions stay far inside 64 bits): the
// floor of position + 0.5, from the conversion's truncation towards zero.
int64_t index_at(double position) {
  const double shifted = position + 0.5;
  const int64_t truncated = static_cast<int64_t>(shifted);
  return static_cast<double>(truncated) > shifted ? truncated - 1 : truncated;
}

// 1 / n for the counts of the running means (1 to 256), from a table.
double inverse_count(int64_t n) {
  static const auto table = [] {
    std::array<double, 257> t{};
    for (size_t i = 1; i < t.size(); ++i) t[i] = 1.0 / static_cast<double>(i);
    return t;
  }();
  return table[static_cast<size_t>(n)];
}

// Tone evidence is energy over the noise floor; tone 25 dB under the level
// counts as none.
double floor_of(const reader& r) { return std::max({r.noise, 0.003 * r.tone, 1e-12}); }
void set_floor(reader& r) { r.inverse_floor = 1 / floor_of(r); }

// Orders a pair: the smaller first (no branch on the values).
void order(double& a, double& b) {
  const double low = b < a ? b : a, high = b < a ? a : b;
  a = low;
  b = high;
}

// The median of nine values: a network of 19 pairs, which
// takes no branch on the values, so that noisy readings cost no
// mispredicted branches.
double median_of_nine(const double* v) {
  double a0 = v[0], a1 = v[1], a2 = v[2], a3 = v[3], a4 = v[4], a5 = v[5], a6 = v[6], a7 = v[7], a8 = v[8];
  order(a1, a2), order(a4, a5), order(a7, a8), order(a0, a1), order(a3, a4), order(a6, a7);
  order(a1, a2), order(a4, a5), order(a7, a8), order(a0, a3), order(a5, a8), order(a4, a7);
  order(a3, a6), order(a1, a4), order(a2, a5), order(a4, a7), order(a4, a2), order(a6, a4);
  order(a4, a2);
  return a4;
}

// The k-th smallest (from 0) of v[0..n) (v is reordered): odd-even
// transposition, for the rare cases that need it.
double kth_smallest(double* v, int n, int k) {
  for (int round = 0; round < n; ++round) {
    for (int i = round & 1; i + 1 < n; i += 2) order(v[i], v[i + 1]);
  }
  return v[k];
}

// How many of v[0..n) are at most x.
int count_at_most(const double* v, int n, double x) {
  int count = 0;
  for (int i = 0; i < n; ++i) count += v[i] <= x;
  return count;
}

// The noise floor. A window tells the noise in a tone's share of it by its
// weaker tone, or by what neither tone holds spread over the window's other
// shares: the larger of the two (the first is sharp where noise crowds round
// the tones, the second steady from the first window on). The floor is the
// plain mean of the first 256 windows, then a running mean, and takes no
// window for more than three times the floor: a click or the settling of a
// DC offset does not raise it for long.
void learn_noise(reader& r, const cell_reading& c, bool settle = true) {
  // Digital silence (every sample 0) tells nothing of the noise: taken in,
  // it would hold the floor at 0, and the first hiss would read as tone.
  if (c.power == 0) return;
  // (The windows of a frame share their length, and so the division.)
  if (c.length != r.shares_length) {
    r.shares_length = c.length;
    r.inverse_shares = 1 / std::max(1.0, c.length / 2 - 2);
  }
  const double rest = std::max(0.0, c.power - c.zero - c.one) * r.inverse_shares;
  double sample = std::max(std::min(c.zero, c.one), rest);
  if (r.noise_samples < 256) ++r.noise_samples;
  if (r.noise_samples > 8) sample = std::min(sample, 3 * r.noise);
  r.noise += (sample - r.noise) * inverse_count(r.noise_samples);
  // (Unsettled, the caller sets the floor when it has learnt all it will.)
  if (settle) set_floor(r);
}

// The level of tone: a running mean of the stronger tone in windows that
// clearly hold one. Energy far below it is not tone, however quiet the
// noise (a clean recording's silence holds next to none).
void learn_tone(reader& r, const cell_reading& c) {
  if (r.tone_samples < 256) ++r.tone_samples;
  r.tone += (std::max(c.zero, c.one) - r.tone) * inverse_count(r.tone_samples);
  set_floor(r);
}

// Levels of the two tones (a tape or filter may favour one): plain means of
// the first 64 cells of each, then running means. Each tone counts its own
// cells, so that its first cell replaces the starting value whatever the
// recording's level.
void learn_level(reader& r, const cell_reading& c) {
  // The tone the cell holds moves its level (selected, not branched on).
  const bool one = c.one > c.zero;
  int64_t& samples = one ? r.one_samples : r.zero_samples;
  double& level = one ? r.one_level : r.zero_level;
  if (samples < 64) ++samples;
  level += ((one ? c.one : c.zero) - level) * inverse_count(samples);
}

// Cells read in one go at most.
constexpr int most_cells = 16;

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
                        double from, double to, double held_from, double held_to, bool with_phase, cell_reading& c) {
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
  c.evidence = std::max(c.zero, c.one) * r.inverse_floor;
  c.phase_re = 0;
  c.phase_im = 0;
  if (with_phase && c.length > 0) {
    // The correlation is against the phase at the start of the window's
    // block; turning it on by w times the window's start in the block
    // refers it to that start.
    const bool one = c.one > c.zero;
    const double into = held_from - static_cast<double>(p.block * block_length);
    const double angle = (one ? ring.w1 : ring.w0) * into;
    const double t_re = std::cos(angle), t_im = std::sin(angle);
    const double re = w.tones.v[one ? 2 : 0], im = w.tones.v[one ? 3 : 1];
    const double turned_re = re * t_re - im * t_im;
    const double turned_im = re * t_im + im * t_re;
    const double size = std::sqrt(turned_re * turned_re + turned_im * turned_im);
    if (size > 0) {
      c.phase_re = turned_re / size;
      c.phase_im = turned_im / size;
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
// neighbours share the running sums at their common edge; the stronger
// tone's phase too when with_phase. Evidence is against the noise floor as it
// stands. Cells the kept row holds are taken from it; a row read to be kept
// (keep) becomes the kept row.
void read_cells(reader& r, double a, int count, cell_reading* out, bool with_phase = false, bool keep = false) {
  tone_ring& ring = r.ring;
  if (!with_phase && !keep) {
    const int taken = kept_cells(r, a, count);
    if (taken > 0) {
      const int first = static_cast<int>(std::floor((a - r.kept.start) / r.kept.cell + 0.5));
      for (int i = 0; i < taken; ++i) {
        out[i] = r.kept.cells[first + i];
        out[i].evidence = std::max(out[i].zero, out[i].one) * r.inverse_floor;
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
    finish_cell(r, bounds, sums[i], sums[i + 1], edge[i], edge[i + 1], held[i], held[i + 1], with_phase, out[i]);
  }
  if (keep && count <= row_cells) {
    r.kept.start = a;
    r.kept.cell = r.cell;
    r.kept.tuning = ring.tuning;
    r.kept.count = count;
    std::copy(out, out + count, r.kept.cells);
  }
}

// The balances (see balance) of `count` (at least one) cell windows
// [from[i], from[i] + cell), each read on its own. A window's scale cancels
// from its balance, which is all these windows are read for.
void read_balances(reader& r, const double* from, int count, double* out) {
  tone_ring& ring = r.ring;
  double furthest = from[0];
  for (int i = 1; i < count; ++i) furthest = std::max(furthest, from[i]);
  ensure_samples(ring, static_cast<int64_t>(furthest + r.cell) + 1);
  const double oldest = static_cast<double>(std::max(ring.tuned_from, oldest_sum(ring)));
  const double end = static_cast<double>(ring.end);
  for (int i = 0; i < count; ++i) {
    const local_sums p = local_at(ring, std::clamp(from[i], oldest, end));
    const local_sums q = local_at(ring, std::clamp(from[i] + r.cell, oldest, end));
    const local_sums w = window_between(ring, p, q);
    double zero, one;
    squared_correlations(w, zero, one);
    zero *= r.one_level;
    one *= r.zero_level;
    out[i] = zero + one > 0 ? (one - zero) / (one + zero) : 0;
  }
}

// Reads the cell window from a (its stronger tone's phase too when with_phase).
cell_reading read_cell(reader& r, double a, bool with_phase = false) {
  cell_reading c;
  read_cells(r, a, 1, &c, with_phase);
  return c;
}

// (one - zero) / (one + zero) of a cell: from -1 (all lower tone) to 1, 0 for nothing.
double soft_bit(const cell_reading& c) {
  const double sum = c.zero + c.one;
  return sum > 0 ? (c.one - c.zero) / sum : 0.0;
}

// The balance of the two tones, each against its own level: from -1 (all
// lower tone) to 1 (all upper tone); the levels scale the other side alike,
// so that one division does.
double balance(const reader& r, const cell_reading& c) {
  const double zero = c.zero * r.one_level, one = c.one * r.zero_level;
  return zero + one > 0 ? (one - zero) / (one + zero) : 0;
}

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

// How late a frame expected at s is (in samples), and how sure.
struct timing {
  double late = 0;      // samples the expectation lies after the frame's start
  double variance = 0;  // of that figure
  int transitions = 0;  // bit changes it was measured at
  double place = 0;     // their mean distance from the frame's start, in cells
  double slope = 0;     // how much later the expectation lies a cell further on
  double slope_variance = INFINITY;  // of that figure
};

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
    bit[i] = c.one > c.zero ? 1 : 0;
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
double align(reader& r, double guess, int rounds, bool from_afar, timing* last = nullptr) {
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

// Reads the frame starting at s (stop cells too when with_stops; phases when
// with_phase); a frame of a block (learn) teaches the noise floor and levels.
frame_reading read_frame(reader& r, double s, bool with_stops, bool with_phase = false, bool learn = false) {
  frame_reading f;
  double evidence[9];
  double strength[9];
  double sum_re[2] = {0, 0}, sum_im[2] = {0, 0};
  cell_reading cells[9];
  read_cells(r, s, 9, cells, with_phase);
  // Learning moves the floor from one cell to the next: each cell's
  // evidence is against the floor as the cells before it left it. The
  // floors are kept and the divisions made after the loop, apart from it.
  double floor[9];
  for (int i = 0; i <= 8; ++i) {
    cell_reading& c = cells[i];
    floor[i] = learn ? floor_of(r) : 0;
    sum_re[c.one > c.zero] += c.phase_re;
    sum_im[c.one > c.zero] += c.phase_im;
    f.complete = f.complete && c.complete;
    strength[i] = std::max(c.zero, c.one);
    const bool one = c.one > c.zero;
    if (learn && c.complete) {
      const bool tone = strength[i] >= tone_evidence * floor[i];
      learn_noise(r, c, false);
      if (tone) learn_level(r, c);
    }
    f.all_ones = f.all_ones && one;
    if (i == 0) {
      f.start_zero = !one;
      f.start_soft = soft_bit(c);
    } else {
      f.value |= static_cast<int>(one) << (i - 1);
    }
  }
  for (int i = 0; i <= 8; ++i) {
    evidence[i] = learn ? strength[i] * (1 / floor[i]) : cells[i].evidence;
    f.weakest = std::min(f.weakest, evidence[i]);
  }
  f.start_evidence = evidence[0];
  if (learn) set_floor(r);
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
      f.complete = f.complete && c.complete;
      if (c.one <= c.zero) ++f.bad_stops;
      if (c.evidence < tone_evidence) ++f.weak_stops;
      f.weakest = std::min(f.weakest, c.evidence);
      sum_re[c.one > c.zero] += c.phase_re;
      sum_im[c.one > c.zero] += c.phase_im;
    }
  }
  if (with_phase) {
    f.coherence = (std::hypot(sum_re[0], sum_im[0]) + std::hypot(sum_re[1], sum_im[1])) /
                  (9.0 + r.format.stop_bits);
  }
  return f;
}

double frame_cells(const reader& r) { return 9.0 + r.format.stop_bits; }

// Measures the leader's tone over [from, to) from how far its correlation
// turns from one window to the next, and tunes the tones and cell to it.
void measure_speed(reader& r, double from, double to) {
  const int64_t length = index_at(r.cell);
  const int64_t step = std::max<int64_t>(1, index_at(r.cell / 4));
  int64_t a = std::max(index_at(from), r.ring.tuned_from);
  const int64_t last = index_at(to) - length - step;
  if (last - a < 4 * step) return;
  double re = 0, im = 0;
  window_reading previous = read_window(r.ring, a, a + length);
  for (a += step; a <= last; a += step) {
    const window_reading w = read_window(r.ring, a, a + length);
    re += w.one_re * previous.one_re + w.one_im * previous.one_im;
    im += w.one_im * previous.one_re - w.one_re * previous.one_im;
    previous = w;
  }
  if (re == 0 && im == 0) return;
  // The correlation turns by the difference of the tone and the tuning per sample.
  const double turn = std::atan2(im, re) / static_cast<double>(step);
  const double speed = std::clamp(r.speed * (1 + turn / r.ring.w1), 0.7, 1.4);
  if (std::abs(speed / r.speed - 1) < 0.001) return;
  r.speed = speed;
  r.cell = r.nominal_cell / speed;
  retune(r.ring, index_at(to - 2 * r.cell), r.format.lower_hz * speed);
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

// Idle 1 cells the line may rest between two frames of a block, past the
// stop cells; longer, the block has ended (the tone that goes on is leader).
constexpr double most_idle_cells = 16;

// Where the next frame starts when the line rests at 1 from p on (the
// stop cells told are over): the first place within most_idle_cells where
// windows a quarter cell apart read the lower tone twice running, its
// falling edge found and aligned as after a leader; NaN when the line stays
// at 1 (or falls silent) that long, or the recording ends.
double idle_start(reader& r, double p) {
  int zero_windows = 0;
  int silent_windows = 0;
  for (double u = p; u <= p + most_idle_cells * r.cell; u += r.cell / 4) {
    const cell_reading c = read_cell(r, u);
    if (!c.complete) return NAN;
    silent_windows = c.evidence < tone_evidence ? silent_windows + 1 : 0;
    if (silent_windows >= 4) return NAN;
    zero_windows = c.evidence >= tone_evidence && c.one < c.zero ? zero_windows + 1 : 0;
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

// Whether a block starts near p, where the scan met a 0 cell; its first
// frame's start goes to start. After a leader the terms are lenient; after
// silence (or a short leader) the frame must be complete, strong, correctly
// framed and coherent.
bool try_block_start(reader& r, double p, bool after_tone, bool after_leader, double& start) {
  // After tone (leader or stop cells) the first window to read 0 began about
  // half a cell before the start cell; after silence the tone's onset tells
  // where it starts.
  double guess = tone_onset(r, p);
  // Tone may have come too shortly before to count as leader (a few 1
  // cells, or the stop cells of a frame whose start was lost).
  const cell_reading before = read_cell(r, p - 0.8 * r.cell);
  if (after_tone || (before.evidence >= tone_evidence && before.one > before.zero)) {
    guess = p + 0.6 * r.cell;
    const double edge = first_falling_edge(r, guess - 0.75 * r.cell, guess + 0.75 * r.cell);
    if (!std::isnan(edge)) guess = edge;
  }
  start = align(r, guess, after_tone ? 4 : 2, false);
  const frame_reading f = read_frame(r, start, true, true);
  if (!f.complete || !f.start_zero) return false;
  if (f.evidence < (after_leader ? frame_evidence : strict_evidence)) return false;
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
  if (f.value == 0xFF && f.start_soft > -0.9) {
    // A weak 0 cell inside a leader that goes on is noise, not a byte 0xFF.
    const frame_reading next = read_frame(r, start + frame_cells(r) * r.cell, false);
    if (next.complete && next.all_ones) return false;
  }
  return true;
}

// Layout bookkeeping while hunting: the section running now and a change
// that must last settle_cells before it counts.
struct layout_run {
  section_kind kind = section_kind::silence;
  bool known = false;
  double start = 0;
  bool change_pending = false;
  double change_start = 0;
};

void close_run(reader& r, layout_run& run, double end) {
  if (run.known && end - run.start >= r.cell) {
    r.events.on_span(span_event{run.kind, run.start, end - run.start});
  }
}

// Scans from `from` (the end of a block's last frame when after_block) for
// the next block; returns its first frame's start, or -infinity when the
// recording ends first (a block may start a little before sample 0).
double hunt(reader& r, double from, bool after_block) {
  layout_run run;
  int estimates = 0;
  int zero_windows = 0;
  double smoothed = 0;
  // A leader is one steady tone: windows a cell apart find it at the same
  // phase, where noise has any phase. Running means of that agreement (as a
  // unit vector) and of its weight; after a block the stop cells count as
  // steady tone.
  double phase_re[4] = {0, 0, 0, 0}, phase_im[4] = {0, 0, 0, 0};
  double agree_re = after_block ? 1 : 0, agree_im = 0, agree_weight = after_block ? 1 : 0;
  int64_t step = 0;
  bool was_tone = after_block;
  double last_rise = from, last_fall = from;
  for (double p = from;; p += r.cell / 4, ++step) {
    const cell_reading c = read_cell(r, p, true);
    if (!c.complete && index_at(p + r.cell) > r.ring.end) {
      close_run(r, run, static_cast<double>(r.ring.end));
      return -INFINITY;
    }
    learn_noise(r, c);
    if (c.evidence >= 2 * tone_evidence) learn_tone(r, c);
    // Sections by the evidence over about two cells, so that a noisy leader
    // is not cut into pieces; a 0 cell by the window alone.
    smoothed = p == from ? c.evidence : smoothed + (c.evidence - smoothed) / 8;
    const bool tone = c.evidence >= tone_evidence;
    // The first window to hold tone holds its start in its later part; the
    // first to hold none comes right after its end.
    if (tone && !was_tone) last_rise = p + 0.75 * r.cell;
    if (!tone && was_tone) last_fall = p - r.cell / 8;
    was_tone = tone;
    const int slot = static_cast<int>(step & 3);
    const bool one = c.one > c.zero;
    const double agree_now_re = one ? c.phase_re * phase_re[slot] + c.phase_im * phase_im[slot] : 0;
    const double agree_now_im = one ? c.phase_im * phase_re[slot] - c.phase_re * phase_im[slot] : 0;
    agree_re += (agree_now_re - agree_re) / 16;
    agree_im += (agree_now_im - agree_im) / 16;
    agree_weight += ((one && step >= 4 ? 1.0 : 0.0) - agree_weight) / 16;
    phase_re[slot] = one ? c.phase_re : 0;
    phase_im[slot] = one ? c.phase_im : 0;
    // With some hysteresis, so that noise does not cut a leader into pieces.
    const bool in_leader = run.known && run.kind == section_kind::leader;
    const double agreement = std::sqrt(agree_re * agree_re + agree_im * agree_im) / std::max(agree_weight, 0.5);
    const bool steady = agreement >= (in_leader ? 0.3 : 0.5);
    const bool strong = smoothed >= (in_leader ? 0.6 : 1.0) * tone_evidence;
    const section_kind kind = strong && steady ? section_kind::leader : section_kind::silence;
    if (!run.known) {
      run = layout_run{kind, true, p, false, 0};
      estimates = 0;
    } else if (kind == run.kind) {
      run.change_pending = false;
    } else if (!run.change_pending) {
      // The change happened where the windows themselves last changed.
      run.change_pending = true;
      run.change_start = kind == section_kind::leader ? last_rise : last_fall;
    } else if (p - run.change_start >= settle_cells * r.cell) {
      close_run(r, run, run.change_start);
      run = layout_run{kind, true, run.change_start, false, 0};
      estimates = 0;
      if (kind == section_kind::silence && r.speed != r.block_speed) {
        // A sweep or a voice before the tape can pose as leader and pull the
        // tuning far off; silence returns it to the speed the last block
        // began at, where the next leader is measured afresh.
        r.speed = r.block_speed;
        r.cell = r.nominal_cell / r.speed;
        retune(r.ring, index_at(p), r.format.lower_hz * r.speed);
      }
    }
    zero_windows = tone && c.one < c.zero ? zero_windows + 1 : 0;
    if (zero_windows >= 2) {
      const double leader_start = run.change_pending ? run.change_start : run.start;
      const bool after_leader = run.kind == section_kind::leader && !run.change_pending &&
                                p - leader_start >= leader_cells * r.cell;
      // Tone before the 0 cell: the leader, or the stop cells of the block
      // the hunt began after.
      const bool after_tone = run.kind == section_kind::leader && !run.change_pending &&
                              (p - leader_start >= r.cell || (after_block && run.start == from));
      // The speed as it is right before the block: a worn deck's speed may
      // have moved since the last estimate.
      if (after_leader) measure_speed(r, std::max(leader_start + r.cell, p - estimate_span_cells * r.cell), p - r.cell);
      double s = 0;
      if (try_block_start(r, p - r.cell / 4, after_tone, after_leader, s)) {
        close_run(r, run, s);
        r.block_speed = r.speed;
        r.events.on_block_start(block_event{s, r.cell, 0});
        return s;
      }
      zero_windows = 0;
    }
    if (run.kind == section_kind::leader && !run.change_pending) {
      const double cells = (p - run.start) / r.cell;
      if (cells >= (estimates + 1) * estimate_every_cells) {
        ++estimates;
        measure_speed(r, std::max(run.start + r.cell, p - estimate_span_cells * r.cell), p);
      }
    }
  }
}

// Whether a frame whose start cell reads 1 still belongs to the block (its
// start cell misread under noise) rather than ending it: not if the block
// went over into leader (every cell 1) or the 1 is clean; if the 1 is
// doubtful, the next frame decides.
bool start_misread(reader& r, const frame_reading& f, double next) {
  if (f.all_ones || f.start_soft > 0.99) return false;
  if (f.start_soft <= 0.5) return true;
  const frame_reading after = read_frame(r, next, false);
  return after.complete && after.start_soft < -0.3 && after.start_evidence >= frame_evidence &&
         after.evidence >= frame_evidence;
}

// Frames a dropout may swallow before the block is taken to have ended.
constexpr int most_dropout_frames = 8;

// Whether the frames of a block go on after the frame at s, silent or
// silent from its start: a frame with tone from its start cell on, that
// starts with a 0 cell, follows on the same grid within most_dropout_frames
// (beyond the next one, correctly framed too); tone that is not such a
// frame (leader) ends the block.
bool frames_resume(reader& r, double s) {
  const double frame = frame_cells(r) * r.cell;
  for (int k = 1; k <= most_dropout_frames; ++k) {
    const frame_reading f = read_frame(r, s + k * frame, k > 1);
    if (!f.complete) return false;
    // Silent, or the tone comes back within it.
    if (f.evidence < frame_evidence || f.start_evidence < frame_evidence) continue;
    return f.start_soft < -0.3 && (k == 1 || f.bad_stops == 0);
  }
  return false;
}

// Whole idle cells between the end of the data cells of a frame at s and a
// start cell at next (a fraction of a cell more or less is timing).
int32_t idle_cells_between(const reader& r, double s, double next) {
  const double cells = (next - s) / r.cell - 9;
  return static_cast<int32_t>(std::clamp(std::floor(cells + 0.3), 0.0, most_idle_cells + 1));
}

// Reads the block whose first frame starts at s; returns where the frame
// after its last would have started. Frames follow each other after at
// least the stop cells told: where the line rests longer, the next start
// cell's edge times the clock afresh (the cell length it knows stays).
double read_block(reader& r, double s) {
  uint64_t count = 0;
  const double cells = frame_cells(r);
  // The bit clock: a Kalman filter over the frame start and the cell length,
  // fed with each frame's measured alignment and its variance. A clean tape
  // that wobbles is followed frame by frame; a noisy one is smoothed.
  const double q_start = 0.01 * r.cell * 0.01 * r.cell;
  const double q_cell = 0.008 * r.cell * 0.008 * r.cell;
  double p_ss = 0.05 * r.cell * 0.05 * r.cell, p_sc = 0, p_cc = 0.02 * r.cell * 0.02 * r.cell;
  // Where the measurements keep landing farther from the prediction than the
  // filter expects (wow and flutter), the expected wander grows, and shrinks
  // back where they agree.
  double wander = 1, surprise = 1;
  // Frames in a row that framed wrongly: the clock has slipped off the frames
  // (or the tape is too worn here); the hunt finds them again.
  int misframed = 0;
  // Corrects the clock by the cell length that a row's boundary spacing
  // tells (the cell it was read with, less the slope), against the cell as
  // it stands.
  auto correct_cell = [&](const timing& t, double read_with) {
    const double cell_error = read_with - t.slope - r.cell;
    const double total = p_cc + t.slope_variance;
    const double k_s = p_sc / total, k_c = p_cc / total;
    s += k_s * cell_error;
    r.cell = std::clamp(r.cell + k_c * cell_error, 0.75 * r.nominal_cell, 1.33 * r.nominal_cell);
    const double sc = p_sc, cc = p_cc;
    p_ss -= k_s * sc;
    p_sc -= k_s * cc;
    p_cc -= k_c * cc;
  };
  int32_t idle = -1;  // whole idle cells before the frame at s (-1: the block's first)
  // A start cell found after idle: the frame starts there, as sure as its
  // own alignment; the cell length stays as the clock knew it.
  auto retime = [&](double start) {
    idle = idle_cells_between(r, s, start);
    s = start;
    p_ss = 0.05 * r.cell * 0.05 * r.cell;
    p_sc = 0;
  };
  {
    // The first frame's own boundaries correct the cell length the leader
    // gave (a wobbling tape's speed has moved since it was measured).
    timing row;
    const double found = align(r, s, 2, false, &row);
    if (row.slope_variance < INFINITY) {
      correct_cell(row, r.cell);
      s = align(r, found, 2, false);
    }
  }
  // For the mean speed: spans between frames that followed each other
  // without idle, and the clock's cell at every frame.
  double steady_span = 0, clock_cells = 0, last_start = s;
  uint64_t steady_frames = 0;
  bool steady = false;  // the frame at s followed the last without idle
  double next = s;
  for (;;) {
    const frame_reading f = read_frame(r, s, true, false, true);
    if (!f.complete) {
      r.events.on_cut_short();
      next = static_cast<double>(r.ring.end);
      break;
    }
    // A frame with a cell without tone (in a dropout) is not read, whatever
    // its bits say; nor does it tell that the clock slipped off the frames.
    const bool toneless = f.weakest < no_tone_evidence;
    const bool framed = f.start_zero && f.bad_stops == 0 && !toneless;
    byte_event e;
    e.offset = r.bytes++;
    e.value = static_cast<unsigned char>(f.value);
    e.framing_error = !framed;
    e.position = s;
    e.cell = r.cell;
    e.idle_cells = idle;
    r.events.on_byte(e);
    ++count;
    clock_cells += r.cell;
    if (steady) {
      steady_span += s - last_start;
      ++steady_frames;
    }
    last_start = s;
    steady = false;
    next = s + cells * r.cell;
    misframed = framed ? 0 : toneless ? misframed : misframed + 1;
    if (misframed >= 3 && r.format.stop_bits > 0) break;
    // Predict ...
    p_ss += 2 * cells * p_sc + cells * cells * p_cc + wander * q_start;
    p_sc += cells * p_cc;
    p_cc += wander * q_cell;
    // The line may rest at 1 past the stop cells told: then the next start
    // cell times the clock afresh; none within reach ends the block.
    // (A start cell misread under noise is told by its weak 1, or by the
    // frames that follow on the grid when no start cell follows idle.)
    const frame_reading probe = read_frame(r, next, false);
    if (probe.evidence >= frame_evidence && !probe.start_zero && probe.start_soft > 0.5) {
      const double start = idle_start(r, next);
      if (std::isnan(start)) {
        if (!start_misread(r, probe, next + cells * r.cell)) break;
      } else if (start - next > r.cell / 4) {
        retime(start);
        continue;
      }
    }
    // ... measure (from afar on a wobbling tape) ...
    timing measured;
    const double read_cell_length = r.cell;
    const double found = align(r, next, 3, wander >= 2, &measured);
    const frame_reading ahead = read_frame(r, found, false);
    if (ahead.evidence < frame_evidence) {
      // Silence ends the block; a dip of the tone under noise, or a dropout
      // of the tape, does not: the frames go on where they left off.
      if (!frames_resume(r, found)) break;
    } else if (!ahead.start_zero && !start_misread(r, ahead, found + cells * r.cell)) {
      break;
    }
    if (measured.transitions > 0 && found - next > std::max(r.cell / 4, 3 * std::sqrt(p_ss + measured.variance))) {
      // The start cell came later than the clock allows: idle of less
      // than a cell.
      retime(align(r, found, 3, false));
      continue;
    }
    steady = true;
    idle = r.format.stop_bits;
    s = next;
    if (measured.transitions > 0) {
      // ... and correct by it. What was measured is the place of the
      // boundaries' mean, c cells into the frame: the start plus c cells.
      const double c = measured.place;
      const double error = found - next;
      const double ps = p_ss + c * p_sc, pc = p_sc + c * p_cc;
      double total = ps + c * pc + measured.variance;
      surprise += (std::min(error * error / total, 9.0) - surprise) * 0.2;
      // A measurement beyond three standard deviations counts as that far only.
      total = std::max(total, error * error / 9);
      if (surprise > 2) wander = std::min(wander * 1.5, 100.0);
      if (surprise < 0.7) wander = std::max(wander / 1.5, 1.0);
      const double gain_s = ps / total, gain_c = pc / total;
      s += gain_s * error;
      r.cell = std::clamp(r.cell + gain_c * error, 0.75 * r.nominal_cell, 1.33 * r.nominal_cell);
      p_ss -= gain_s * ps;
      p_sc -= gain_s * pc;
      p_cc -= gain_c * pc;
      if (measured.slope_variance < INFINITY) correct_cell(measured, read_cell_length);
    }
  }
  // The mean cell over the block: from where its frames were found, not from
  // the clock's running estimate of the cell (which wanders with the noise).
  // Where most frames followed without idle, from where they were found, not
  // from the clock's running estimate of the cell (which wanders with the
  // noise); otherwise the clock's mean.
  const double mean_cell = steady_frames > 0 && 2 * steady_frames >= count - 1
                               ? steady_span / (cells * static_cast<double>(steady_frames))
                           : count > 0 ? clock_cells / static_cast<double>(count)
                                       : r.cell;
  r.events.on_block_end(block_event{next, mean_cell, count});
  return next;
}

}  // namespace

void read_frames(tone_ring& ring, const frame_format& format, read_observer& events) {
  const double nominal = ring.rate / format.baud_rate;
  reader r{ring, format, events, 0, nominal, 1, nominal, 0, 0, 0, 0, 1, 1, 1e12, 0};
  double p = 0;
  for (;;) {
    const double s = hunt(r, p, p > 0);
    if (s == -INFINITY) return;
    p = read_block(r, s);
  }
}

}  // namespace kelvora
