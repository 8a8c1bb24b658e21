// Blocks. Inside a block the next frame is expected right after the stop
// cells. Its alignment is measured at the boundaries where the bit changes,
// and a Kalman filter over the frame start and the cell length follows it, so
// the clock keeps up with a tape whose speed is off or wobbles. Where the
// line rests at 1 past the stop cells, the next start cell's edge times the
// clock afresh, keeping the cell length. A block ends where the expected
// frame is silent and no frame comes back on its grid within
// most_dropout_frames, where the line stays at 1 past most_idle_cells, or
// (with stop cells) where three frames running misframe (the hunt then
// finds the frames again). The row of cells the timing is measured on is the
// next frame's, and that frame's reading takes its cells from it.
#include <algorithm>
#include <cmath>

#include "read/cells.h"
#include "read/clock.h"
#include "read/frames.h"  // read_block is declared with the frame reader

namespace kelvora::rx {

namespace {

// Frames at the start of a block whose start cells tell the polarity.
constexpr uint64_t polarity_frames = 16;

// The decimating filter's gain at a tone of w radians a sample (after
// decimation): a triangle of 2 d - 1 taps, two boxes of d in a row.
double decimation_gain(const tone_ring& ring, double w) {
  const double d = static_cast<double>(ring.feed.decimation);
  const double half = w / d / 2;  // half the tone's angle a sample before decimation
  const double box = d > 1 ? std::sin(half * d) / (d * std::sin(half)) : 1.0;
  return box * box;
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

// Leader cells before a block's start cell that give the upper tone's level.
constexpr int leader_level_cells = 8;

// A block after a leader learns its levels afresh (see start_levels): the
// upper tone's from the last leader cells before its start cell at s (one
// cell clear of it), the lower's from the start cell; a block without a
// leader before it keeps the levels it finds.
void levels_from_leader(reader& r, double s) {
  cell_reading leader[leader_level_cells];
  read_cells(r, s - (leader_level_cells + 1) * r.cell, leader_level_cells, leader);
  double one = 0;
  for (const cell_reading& c : leader) {
    if (!c.complete || c.evidence < tone_evidence || c.one <= c.zero) return;
    one += c.one / leader_level_cells;
  }
  const cell_reading start = read_cell(r, s);
  // (Against the noise alone, not the floor: a far weaker lower tone lies
  // under the level of tone; and a start cell of no energy gives no level.)
  if (start.complete && start.zero > 0 && start.zero >= tone_evidence * r.levels.noise) {
    start_levels(r.levels, one, start.zero);
  }
}

// Frames a dropout may swallow before the block is taken to have ended.
constexpr int most_dropout_frames = 8;

// Frames in a row without a bit change (without stop cells, a run of zero
// bytes is one unbroken lower tone) whose cells the clock counts on its own
// before their bytes are doubtful: on an exact tape it slips a cell in
// some 1800 cells, on a wobbling one far sooner.
constexpr int64_t most_edgeless_frames = 32;

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

// Whether the idle line between the stop cells of a frame at s and a start
// cell found at next holds a whole cell clearly of the lower tone (its
// balance under -0.5), however weak, or the cell right before next reads 0
// at all: a start cell missed there (a weaker tone's, under noise, whose
// windows hold too little tone to count), so that the frame at next may be
// a later cell of the byte that began there.
bool idle_holds_zero(reader& r, double s, double next) {
  const double idle = (next - s) / r.cell - 9 - r.format.stop_bits;
  const int whole = static_cast<int>(std::clamp(std::floor(idle), 0.0, most_idle_cells + 1));
  for (int j = 1; j <= whole; ++j) {
    const cell_reading c = read_cell(r, next - j * r.cell);
    if (c.evidence < no_tone_evidence) continue;
    if (tone_balance(r.levels, c) < -0.5 || (j == 1 && !reads_one(r.levels, c))) return true;
  }
  return false;
}

// Cells of 1 before a 0 that make it a start cell: no data bit follows eight.
constexpr int leader_run_cells = 8;

// Where a block's first frame starts when the hunt found it at s: the hunt
// may pass a far weaker lower tone's lone start cell by and take a run of 0
// bits after it for the start (or its alignment may land a cell into such
// a run). A clear 0 cell one to eight cells before s, after
// leader_run_cells clear 1 cells and followed by clear cells up to s, is the
// start cell (more than two cells back, only where its frame's first stop
// cell is a clear 1); else s.
double first_start(reader& r, double s) {
  constexpr int before = 2 * leader_run_cells;  // (at most most_cells)
  cell_reading c[before];
  read_cells(r, s - before * r.cell, before, c);
  auto clear = [&](const cell_reading& cell, int bit) {  // bit -1: either
    const double b = tone_balance(r.levels, cell);
    const bool reads = (bit != 0 && b > 0.5) || (bit != 1 && b < -0.5);
    return cell.complete && cell.evidence >= tone_evidence && reads;
  };
  for (int j = 1; j <= leader_run_cells; ++j) {
    const int at = before - j;
    bool start = clear(c[at], 0);
    for (int i = at - leader_run_cells; start && i < at; ++i) start = clear(c[i], 1);
    for (int i = at + 1; start && i < before; ++i) start = clear(c[i], -1);
    if (start && j > 2 && r.format.stop_bits > 0) {
      start = clear(read_cell(r, s + (9 - j) * r.cell), 1);
    }
    if (start) return s - j * r.cell;
  }
  return s;
}

// Where a whole frame before the block's first frame at s starts, all of
// whose 0 cells the hunt passed by (lone cells of a far weaker lower tone,
// each filling a window only where it is aligned): a clear 0 cell, after
// leader_run_cells clear 1 cells, whose data cells are each clear and whose
// stop cells and any idle up to s clear 1s; NaN where there is none (or the
// frames have no stop cells to tell them apart).
double frame_before(reader& r, double s) {
  if (r.format.stop_bits <= 0) return NAN;
  auto clear = [&](double at, int bit) {  // bit -1: either
    const cell_reading cell = read_cell(r, at);
    const double b = tone_balance(r.levels, cell);
    const bool reads = (bit != 0 && b > 0.5) || (bit != 1 && b < -0.5);
    return cell.complete && cell.evidence >= tone_evidence && reads;
  };
  const int64_t least = 9 + static_cast<int64_t>(r.format.stop_bits);
  for (int64_t j = least; j <= least + static_cast<int64_t>(most_idle_cells); ++j) {
    const double a = s - static_cast<double>(j) * r.cell;
    bool start = clear(a, 0);
    for (int i = 1; start && i <= leader_run_cells; ++i) start = clear(a - i * r.cell, 1);
    for (int i = 1; start && i <= 8; ++i) start = clear(a + i * r.cell, -1);
    for (int64_t i = 9; start && i < j; ++i) start = clear(a + static_cast<double>(i) * r.cell, 1);
    if (start) return a;
  }
  return NAN;
}

}  // namespace

// Reads the block whose first frame starts at s; returns where the frame
// after its last would have started. Frames follow each other after at
// least the stop cells told: where the line rests longer, the next start
// cell's edge times the clock afresh (the cell length it knows stays).
double read_block(reader& r, double s) {
  uint64_t count = 0;
  const double cells = frame_cells(r);
  clock_filter clock = start_clock(r.cell);
  // Frames in a row that framed wrongly: the clock has slipped off the frames
  // (or the tape is too worn here); the hunt finds them again.
  int misframed = 0;
  bool frames_lost = false;  // the block ended there
  int32_t idle = -1;  // whole idle cells before the frame at s (-1: the block's first)
  // A start cell found after idle: the frame starts there, as sure as its
  // own alignment; the cell length stays as the clock knew it.
  bool missed_start = false;  // the idle line before the frame at s held a 0 (see idle_holds_zero)
  int64_t edgeless = 0;       // frames in a row up to s with no bit change to time them by
  auto retime = [&](double start) {
    idle = idle_cells_between(r, s, start);
    missed_start = idle_holds_zero(r, s, start);
    s = start;
    retime_clock(clock, r.cell);
  };
  // (Learnt before the first frame is aligned, so that its boundaries are
  // measured with them, and again once it is.)
  levels_from_leader(r, s);
  s = first_start(r, s);
  // (A few frames at most: each holds a 0 cell the hunt would meet twice.)
  for (int k = 0; k < 4; ++k) {
    const double earlier = frame_before(r, s);
    if (std::isnan(earlier)) break;
    s = earlier;
  }
  {
    // The first frame's own boundaries correct the cell length the leader
    // gave (a wobbling tape's speed has moved since it was measured).
    timing row;
    const double found = align(r, s, 2, false, &row);
    if (row.slope_variance < INFINITY) {
      correct_cell(clock, r, s, row, r.cell);
      s = align(r, found, 2, false);
    }
  }
  levels_from_leader(r, s);
  // For the mean speed: spans between frames that followed each other
  // without idle, and the clock's cell at every frame.
  double steady_span = 0, clock_cells = 0, last_start = s;
  uint64_t steady_frames = 0;
  bool steady = false;  // the frame at s followed the last without idle
  // The start cells' phase at their leading edge, over the block's first frames.
  double phase_sum = 0;
  double next = s;
  for (;;) {
    const frame_reading f = read_frame(r, s, true, false, true);
    if (count < polarity_frames && f.start_zero) {
      // The start cell's phase at its leading edge (the correlation's
      // imaginary part is positive where kelvora wrote it without --invert,
      // whatever the rate).
      const cell_reading start = read_cell(r, s, true);
      phase_sum += start.phase_im;
    }
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
    e.doubtful = framed && (f.doubtful_cells > 0 || missed_start || edgeless > most_edgeless_frames);
    missed_start = false;
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
    if (misframed >= 3 && r.format.stop_bits > 0) {
      frames_lost = true;
      break;
    }
    predict(clock, cells, r.cell);
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
    // Measure (from afar on a wobbling tape) ...
    timing measured;
    const double read_cell_length = r.cell;
    const double found = align(r, next, 3, clock.wander >= 2, &measured);
    const frame_reading ahead = read_frame(r, found, false);
    if (ahead.evidence < frame_evidence) {
      // Silence ends the block; a dip of the tone under noise, or a dropout
      // of the tape, does not: the frames go on where they left off.
      if (!frames_resume(r, found)) break;
    } else if (!ahead.start_zero && !start_misread(r, ahead, found + cells * r.cell)) {
      // The line may rest at 1 where the probe read the start cell as a 0
      // (a weak tone's cell, timing off by a jittery writer); leader ends
      // the block.
      const double start = idle_start(r, next);
      if (std::isnan(start) || start - next <= r.cell / 4) break;
      retime(start);
      continue;
    }
    if (measured.transitions > 0 && found - next > std::max(r.cell / 4, 3 * std::sqrt(clock.p_ss + measured.variance))) {
      // The start cell came later than the clock allows: idle of less
      // than a cell.
      retime(align(r, found, 3, false));
      continue;
    }
    steady = true;
    idle = r.format.stop_bits;
    s = next;
    if (measured.transitions > 0) {
      // ... and correct by it.
      correct_start(clock, r, s, measured, found - next);
      if (measured.slope_variance < INFINITY) correct_cell(clock, r, s, measured, read_cell_length);
      edgeless = 0;
    } else {
      ++edgeless;
    }
  }
  // The mean cell over the block. Where most frames followed without idle:
  // from where they were found, not from the clock's running estimate of the
  // cell (which wanders with the noise); otherwise the clock's mean.
  const double mean_cell = steady_frames > 0 && 2 * steady_frames >= count - 1
                               ? steady_span / (cells * static_cast<double>(steady_frames))
                           : count > 0 ? clock_cells / static_cast<double>(count)
                                       : r.cell;
  leave_block(r.levels, frames_lost);
  r.events.on_block_end(block_event{next, mean_cell, count});
  if (count > 0) {
    // A tone of peak amplitude a holds a^2 / 2 of energy a sample.
    const double energy = std::max(r.levels.zero_level, r.levels.one_level) / r.cell;
    tone_event tone;
    tone.polarity = phase_sum > 0.5 ? 1 : phase_sum < -0.5 ? -1 : 0;
    const bool upper = r.levels.one_level > r.levels.zero_level;
    tone.peak = std::sqrt(2 * energy) / decimation_gain(r.ring, upper ? r.ring.w1 : r.ring.w0);
    r.events.on_tone(tone);
  }
  return next;
}



}  // namespace kelvora::rx
