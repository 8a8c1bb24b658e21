// The tape's speed, from the tone the tones are tuned to. In cell windows
// the leader's correlation turns from one window to the next by how far its
// tone lies off the tuning; a cell of many cycles hears a tone only within a
// fraction of a percent of it, so where a tape runs a few percent off,
// shorter windows (two upper cycles, side by side) measure it: their turns
// tell a tone up to a quarter of its frequency off, and agree only for a
// steady tone. Sound neither tone holds, lasting in cells of many cycles,
// is such a tone: it is measured so and the tuning follows it.
#include "read/tape_speed.h"

#include <algorithm>
#include <cmath>

#include "cli/settings.h"
#include "read/cells.h"

namespace kelvora::rx {

namespace {

// Sound off the tones: a window (not digital silence) without tone
// evidence whose tones hold less than this share of its power, as a tone
// well off the tuning leaves it (noise too, which its measure tells apart).
constexpr double off_tune_share = 0.5;
// Upper cycles a tone off the tuning is measured over at most.
constexpr double measured_cycles = 48;
// Agreement of the turns between short windows for a steady tone.
constexpr double steady_turns = 0.6;
// Upper cycles a cell must hold for sound off the tones to be measured:
// with fewer, the tones are heard well off their tuning, and measure_speed
// follows them from the leader.
constexpr double off_tune_cycles = 4;
// Upper cycles the tone of such sound is measured over at least, and cells.
constexpr double off_tune_span_cycles = 48;
constexpr double off_tune_cells = 2;
// Speeds a tape runs at, as a share of the right one.
constexpr double slowest = 0.7, fastest = 1.4;

// How far the upper tone's correlation turns between windows `length` long
// and `step` apart from a to last: the sum of the products of each window
// with the one before, and the sum of their sizes.
struct turns {
  double re = 0, im = 0, size = 0;
};

turns turns_over(reader& r, int64_t a, int64_t last, int64_t length, int64_t step) {
  turns t;
  window_reading previous = read_window(r.ring, a, a + length);
  for (a += step; a <= last; a += step) {
    const window_reading w = read_window(r.ring, a, a + length);
    const double p_re = w.one_re * previous.one_re + w.one_im * previous.one_im;
    const double p_im = w.one_im * previous.one_re - w.one_re * previous.one_im;
    t.re += p_re;
    t.im += p_im;
    t.size += std::sqrt(p_re * p_re + p_im * p_im);
    previous = w;
  }
  return t;
}

}  // namespace

// Tunes the tones and cell to the tape's speed for windows from n on.
void tune_to(reader& r, double speed, int64_t n) {
  r.speed = speed;
  r.cell = r.nominal_cell / speed;
  retune(r.ring, n, r.format.lower_hz * speed);
}

// Measures the leader's tone over [from, to) from how far its correlation
// turns from one window to the next, and tunes the tones and cell to it;
// returns whether the tuning moved.
bool measure_speed(reader& r, double from, double to) {
  const int64_t length = index_at(r.cell);
  const int64_t step = std::max<int64_t>(1, index_at(r.cell / 4));
  int64_t a = std::max(index_at(from), r.ring.tuned_from);
  const int64_t last = index_at(to) - length - step;
  if (last - a < 4 * step) return false;
  const turns t = turns_over(r, a, last, length, step);
  if (t.re == 0 && t.im == 0) return false;
  // The correlation turns by the difference of the tone and the tuning per sample.
  const double turn = std::atan2(t.im, t.re) / static_cast<double>(step);
  const double speed = std::clamp(r.speed * (1 + turn / r.ring.w1), slowest, fastest);
  if (std::abs(speed / r.speed - 1) < 0.001) return false;
  tune_to(r, speed, index_at(to - 2 * r.cell));
  return true;
}

// Whether a window holds sound that neither tone holds: a tone well off the
// tuning. The window is taken whole: a cell read in parts follows a tone a
// few percent off, which the speed is measured from all the same.
bool off_tune(const cell_reading& c) {
  const double tones = c.zero + c.one;
  const double whole_share = tones > 0 ? c.whole / tones : 1.0;
  return c.evidence * whole_share < tone_evidence && c.power > 1e-9 * c.length && c.whole < off_tune_share * c.power;
}

// The speed the steady tone of [from, to) gives as the upper tone, from
// short windows side by side (two upper cycles at the tuning) over its last
// measured_cycles and how far their correlation turns from one to the next:
// a tone up to a quarter of its frequency off is measured; 0 when the turns
// do not agree (no steady tone) or the speed lies beyond what a tape runs at.
double speed_heard(reader& r, double from, double to) {
  const double cycle = two_pi / r.ring.w1;
  const int64_t length = std::max<int64_t>(4, std::lround(2 * cycle));
  const int64_t step = length;
  from = std::max(from, to - measured_cycles * cycle);
  int64_t a = std::max(index_at(from), r.ring.tuned_from);
  const int64_t last = index_at(to) - length;
  if (last - a < 8 * step) return 0;
  const turns t = turns_over(r, a, last, length, step);
  if (t.size == 0 || std::sqrt(t.re * t.re + t.im * t.im) < steady_turns * t.size) return 0;
  const double turn = std::atan2(t.im, t.re) / static_cast<double>(step);
  const double speed = r.speed * (1 + turn / r.ring.w1);
  return speed >= slowest && speed <= fastest ? speed : 0;
}

// Counts a window (a quarter cell) or a cell of sound off the tones; when
// it has lasted, measures its tone (ending at `to`) and tunes to it where
// it is steady.
bool follow_off_tune(reader& r, off_tune_run& run, const cell_reading& c, double cells, double to) {
  const double cycles = r.cell * r.ring.w1 / two_pi;  // upper cycles in a cell
  if (cycles < off_tune_cycles || !off_tune(c)) {
    run.cells = 0;
    run.from = NAN;
    return false;
  }
  // The first window of it holds its start in its later part.
  if (std::isnan(run.from)) run.from = to - cells * r.cell;
  run.cells += cells;
  const double span = std::max(off_tune_cells, off_tune_span_cycles / cycles);
  if (run.cells < span) return false;
  run.cells = 0;
  const double speed = speed_heard(r, to - span * r.cell, to);
  if (speed == 0 || std::abs(speed / r.speed - 1) < 0.002) return false;
  tune_to(r, speed, index_at(to - span * r.cell));
  return true;
}

}  // namespace kelvora::rx
