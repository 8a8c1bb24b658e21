// The hunt. Outside a block the ring is scanned in quarter cells. Runs of
// steady tone are leader, anything else silence; the leader's tone gives the
// tape's speed, measured again right before a block. A block starts at a 0
// cell: after 8 cells of leader on lenient terms, otherwise only where the
// whole frame is strong, correctly framed and coherent (every cell of a tone
// starting at the same phase, as the writer makes them), which noise never is.
// Where the tones are weighed (one far weaker), the block starts at the
// first 0 cell after the leader, which may lie a frame or two before the
// first 0 cells the scan meets.
// A tape running a few percent off, in cells of many cycles, shows as sound
// that neither tone holds; its tone is measured and the tuning follows.
#include "read/hunt.h"

#include <algorithm>
#include <cmath>

#include "read/block_start.h"
#include "read/cells.h"
#include "read/clock.h"
#include "read/frames.h"
#include "read/tape_speed.h"

namespace kelvora::rx {

namespace {

// Leader cells before a 0 cell for it to start a block on the lenient terms.
constexpr double leader_cells = 8;
// Cells a section must last before the layout notes a change.
constexpr double settle_cells = 2;
// The speed is measured after this many cells of leader, then as often
// again, over at most the last estimate_span_cells.
constexpr double estimate_every_cells = 32;
constexpr double estimate_span_cells = 128;

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

// Cells read in one go while striding.
constexpr int stride_cells = 4;

// What the scan carries from one window to the next.
struct scan_state {
  double p = 0;  // the next window's start
  int64_t step = 0;
  layout_run run;
  int estimates = 0;
  int zero_windows = 0;
  double smoothed = 0;
  // A leader is one steady tone: a window finds it at the phase the window
  // a cell before left it at, where noise has any phase (in cells of many
  // cycles the tone turns within a window as far as the tape's speed lies
  // off the tuning; in others the phase stays). Running means of that
  // agreement (as a unit vector) and of its weight; after a block the stop
  // cells count as steady tone. The phases where the last four windows ended:
  double phase_re[4] = {0, 0, 0, 0}, phase_im[4] = {0, 0, 0, 0};
  double agree_re = 0, agree_im = 0, agree_weight = 0;
  bool was_tone = false;
  double last_rise = 0, last_fall = 0;
  double tone_from = 0;  // where the tone running now began (the hunt's start where it began there)
  double passed_zero = INFINITY;  // the first window in that tone clearly 0 that started no block
  off_tune_run off;  // sound off the tones
};

// After the tones were tuned to a steady tone measured: the phases of the
// windows before mean nothing at the new tuning, and the tone stays steady
// while they are learnt again.
void keep_steady(scan_state& s) {
  s.agree_re = s.agree_weight = 1;
  s.agree_im = 0;
  for (int i = 0; i < 4; ++i) s.phase_re[i] = s.phase_im[i] = 0;
}

// Follows sound off the tones (see follow_off_tune); where the tuning moved,
// the tone heard now began with that sound.
bool follow_off_tune(reader& r, scan_state& s, const cell_reading& c, double cells, double to) {
  if (!follow_off_tune(r, s.off, c, cells, to)) return false;
  keep_steady(s);
  s.last_rise = s.tone_from = s.off.from;
  s.was_tone = true;
  return true;
}

// Windows with sound the noise floor is learnt from before a stride may
// pass over cells it calls quiet: a recording that begins inside a byte has
// its first window across a cell's edge, whose weaker tone is no noise (the
// floor it sets would hide the tone of the cells after it). Before any
// sound (digital silence) there is no floor, and any sound is tone.
constexpr int64_t floor_windows = 16;

// Whether the next cell's windows may be taken from one read at its end: the
// section is settled silence, the last window and the smoothed evidence hold
// no tone, and the floor is learnt or none is.
bool may_stride(const reader& r, const scan_state& s) {
  const int64_t learnt = r.levels.noise_samples;
  return s.run.known && s.run.kind == section_kind::silence && !s.run.change_pending && !s.was_tone &&
         s.smoothed < tone_evidence && (learnt == 0 || learnt >= floor_windows);
}

// Takes the window read at s.p into the scan and moves on a quarter cell;
// returns a block's first frame's start, or NaN while the hunt goes on.
double take_window(reader& r, scan_state& s, const cell_reading& read, double from, bool after_block) {
  const double p = s.p;
  if (follow_off_tune(r, s, read, 0.25, p + r.cell)) {
    // Windows from here on are read at the new tuning.
    s.p += r.cell / 4;
    ++s.step;
    return NAN;
  }
  const bool floor_unknown = r.levels.noise_samples == 0;
  learn_noise(r.levels, read);
  // The first window with sound was read against no floor at all: its
  // evidence is what it holds over the floor it set (else the hiss that
  // opens a recording would count as strong tone for thousands of windows).
  cell_reading c = read;
  if (floor_unknown) c.evidence = std::max(c.zero, c.one) * r.levels.inverse_floor;
  if (c.evidence >= 2 * tone_evidence) {
    learn_tone(r.levels, c);
  } else if (c.evidence < tone_evidence) {
    forget_tone(r.levels);
  }
  // Sections by the evidence over about two cells, so that a noisy leader
  // is not cut into pieces; a 0 cell by the window alone.
  s.smoothed = p == from ? c.evidence : s.smoothed + (c.evidence - s.smoothed) / 8;
  const bool tone = c.evidence >= tone_evidence;
  // The first window to hold tone holds its start in its later part; the
  // first to hold none comes right after its end.
  if (tone && !s.was_tone) {
    s.last_rise = p + 0.75 * r.cell;
    s.tone_from = p == from ? p : s.last_rise;
    s.passed_zero = INFINITY;
  }
  if (!tone && s.was_tone) s.last_fall = p - r.cell / 8;
  s.was_tone = tone;
  const int slot = static_cast<int>(s.step & 3);
  const bool one = c.one > c.zero;
  const double agree_now_re = one ? c.phase_re * s.phase_re[slot] + c.phase_im * s.phase_im[slot] : 0;
  const double agree_now_im = one ? c.phase_im * s.phase_re[slot] - c.phase_re * s.phase_im[slot] : 0;
  s.agree_re += (agree_now_re - s.agree_re) / 16;
  s.agree_im += (agree_now_im - s.agree_im) / 16;
  s.agree_weight += ((one && s.step >= 4 ? 1.0 : 0.0) - s.agree_weight) / 16;
  s.phase_re[slot] = one ? c.end_re : 0;
  s.phase_im[slot] = one ? c.end_im : 0;
  s.p += r.cell / 4;
  ++s.step;
  // With some hysteresis, so that noise does not cut a leader into pieces.
  layout_run& run = s.run;
  const bool in_leader = run.known && run.kind == section_kind::leader;
  // The noise in the lower tone's window, for a 0 cell of a far weaker lower
  // tone: from windows that hold the leader's tone whole.
  if (in_leader && tone && c.one > c.zero && c.one >= 0.8 * r.levels.tone) learn_tone_noise(r.levels, c, true);
  const double agreement =
      std::sqrt(s.agree_re * s.agree_re + s.agree_im * s.agree_im) / std::max(s.agree_weight, 0.5);
  const bool steady = agreement >= (in_leader ? 0.3 : 0.5);
  const bool strong = s.smoothed >= (in_leader ? 0.6 : 1.0) * tone_evidence;
  const section_kind kind = strong && steady ? section_kind::leader : section_kind::silence;
  if (!run.known) {
    run = layout_run{kind, true, p, false, 0};
    s.estimates = 0;
  } else if (kind == run.kind) {
    run.change_pending = false;
  } else if (!run.change_pending) {
    // The change happened where the windows themselves last changed.
    run.change_pending = true;
    // (Where they did not change since the section began, it changes now.)
    const double changed = kind == section_kind::leader ? s.last_rise : s.last_fall;
    run.change_start = changed > run.start ? changed : p;
  } else if (p - run.change_start >= settle_cells * r.cell) {
    close_run(r, run, run.change_start);
    run = layout_run{kind, true, run.change_start, false, 0};
    s.estimates = 0;
    if (kind == section_kind::silence && r.speed != r.block_speed) {
      // A sweep or a voice before the tape can pose as leader and pull the
      // tuning far off; silence returns it to the speed the last block
      // began at, where the next leader is measured afresh.
      r.speed = r.block_speed;
      r.cell = r.nominal_cell / r.speed;
      retune(r.ring, index_at(p), r.format.lower_hz * r.speed);
    }
  }
  const bool zero = tone ? !reads_one(r.levels, c) : in_leader && weak_zero_in_leader(r.levels, c);
  s.zero_windows = zero ? s.zero_windows + 1 : 0;
  if (s.zero_windows >= 2) {
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
    double start = 0;
    const signal_levels kept = r.levels;
    if (after_tone) levels_for_start(r.levels, fullest_zero(r, p - r.cell / 4));
    const bool weighed_start = r.levels.weighed && !kept.weighed;
    bool found = false;
    bool zero_before = false;
    if (after_leader && r.levels.weighed) {
      // The block starts at the first 0 cell after the leader, which may lie
      // before the 0 cells the scan met.
      const double end = leader_end(r, p - r.cell / 4, leader_start);
      if (!std::isnan(end) && end < p - 1.5 * r.cell) {
        found = try_block_start(r, end - 0.6 * r.cell, start_terms{true, true, weighed_start}, start, zero_before);
      }
    }
    if (!found) {
      found = try_block_start(r, p - r.cell / 4, start_terms{after_tone, after_leader, weighed_start}, start, zero_before);
    }
    if (found) {
      close_run(r, run, start);
      r.block_speed = r.speed;
      // (A clear 0 window mostly before the first frame holds a 0 cell outside it.)
      r.events.on_block_start(block_event{start, r.cell, 0, std::min(s.tone_from, start),
                                          zero_before || s.passed_zero + r.cell / 2 < start});
      return start;
    }
    r.levels = kept;
    s.zero_windows = 0;
    if (16 * c.one <= c.zero) s.passed_zero = std::min(s.passed_zero, p);
  }
  if (run.kind == section_kind::leader && !run.change_pending) {
    const double cells = (p - run.start) / r.cell;
    if (cells >= (s.estimates + 1) * estimate_every_cells) {
      ++s.estimates;
      if (measure_speed(r, std::max(run.start + r.cell, p - estimate_span_cells * r.cell), p)) keep_steady(s);
    }
  }
  return NAN;
}

// Takes a cell without tone (c, read without phase) for the four windows
// ending within it, in settled silence: the levels and running means move as
// those windows would move them (as holding nothing in phase); no section
// changes and no 0 cell comes of them.
void take_quiet_cell(reader& r, scan_state& s, const cell_reading& c) {
  const bool one = c.one > c.zero;
  for (int i = 0; i < 4; ++i) {
    learn_noise(r.levels, c, false);
    forget_tone(r.levels, false);
    s.smoothed += (c.evidence - s.smoothed) / 8;
    s.agree_re -= s.agree_re / 16;
    s.agree_im -= s.agree_im / 16;
    s.agree_weight += ((one ? 1.0 : 0.0) - s.agree_weight) / 16;
    s.phase_re[i] = 0;
    s.phase_im[i] = 0;
    s.p += r.cell / 4;
  }
  // (The floor is set once for the four: nothing reads in between.)
  set_floor(r.levels);
  s.step += 4;
  // Running means falling towards 0 through long silence would end as
  // subnormal numbers, slow to compute with and no different from 0.
  for (double* v : {&s.smoothed, &s.agree_re, &s.agree_im, &s.agree_weight}) {
    if (std::abs(*v) < 1e-200) *v = 0;
  }
}

}  // namespace

// Scans from `from` (the end of a block's last frame when after_block) for
// the next block; returns its first frame's start, or -infinity when the
// recording ends first (a block may start a little before sample 0).
//
// Silence and hiss are most of a long recording, and were most of the
// hunt's time: while they last, the scan strides a cell at a time, one
// window standing for the four that end within its cell. A stride ends at
// the first cell holding tone, which is then read window by window: tone
// that lasts a cell shows in the window at its end, so no rise, 0 cell or
// block start is missed; what a stride passes over is hiss posing as tone
// for less than a cell.
double hunt(reader& r, double from, bool after_block) {
  scan_state s;
  s.p = from;
  s.agree_re = s.agree_weight = after_block ? 1 : 0;
  s.was_tone = after_block;
  s.last_rise = s.last_fall = s.tone_from = from;
  for (;;) {
    if (may_stride(r, s)) {
      // A row of cells from the last window's end, each standing for the
      // four windows that end within it.
      double edge = s.p;
      for (int i = 0; i < 3; ++i) edge += r.cell / 4;
      cell_reading row[stride_cells];
      read_cells(r, edge, stride_cells, row);
      int taken = 0;
      bool tuned = false;
      while (!tuned && taken < stride_cells && row[taken].complete && row[taken].evidence < tone_evidence) {
        take_quiet_cell(r, s, row[taken]);
        ++taken;
        tuned = follow_off_tune(r, s, row[taken - 1], 1, edge + taken * r.cell);
      }
      if (taken == stride_cells || tuned) continue;
      // Tone (or the recording's end): that cell window by window.
    }
    const cell_reading c = read_cell(r, s.p, true);
    if (!c.complete && index_at(s.p + r.cell) > r.ring.end) {
      close_run(r, s.run, static_cast<double>(r.ring.end));
      return -INFINITY;
    }
    const double start = take_window(r, s, c, from, after_block);
    if (!std::isnan(start)) return start;
  }
}

}  // namespace kelvora::rx
