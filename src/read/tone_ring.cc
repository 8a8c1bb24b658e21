// The tone ring. Its samples come from the sample feed, decimated to keep at
// least 8 a cycle of the upper tone (windows with edges between samples keep
// the timing fine) and freed of DC there. A block's running sums are kept in single
// precision from its own start (at most block_length samples of at most
// 1e6 each: no cancellation to speak of); what came before it, and the tones'
// phase at its start, in double precision.
#include "read/tone_ring.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "cli/failure.h"
#include "cli/settings.h"

namespace kelvora {

namespace {

// Cells a ring must reach beyond four frames, or the frames are too long.
constexpr int64_t ring_cells = 64;
// Cells a ring holds beyond four frames where it can: the leader's speed is
// measured over up to 128 cells back.
constexpr int64_t history_cells = 136;
constexpr int64_t least_capacity = int64_t{1} << 12;
// Longest cell and longest reach the reader handles, in samples after decimation.
constexpr double longest_cell = double(int64_t{1} << 16);
constexpr double longest_reach = double(int64_t{1} << 20);
// Blocks whose phasors come from the block before, between two set afresh.
constexpr int64_t exact_every = 64;

// e^{-i w n}, the angle reduced before the sine is taken: n can reach billions.
void phasor_at(double w, int64_t n, double& re, double& im) {
  const double angle = std::fmod(w * static_cast<double>(n), two_pi);
  re = std::cos(angle);
  im = -std::sin(angle);
}

// e^{-i w0 k} and e^{-i w1 k} for the k samples into a block, and for a whole block.
void set_turns(tone_ring& ring) {
  phasor_at(ring.w0, block_length, ring.block_turn0_re, ring.block_turn0_im);
  phasor_at(ring.w1, block_length, ring.block_turn1_re, ring.block_turn1_im);
  ring.block_turns = tone_quad{{static_cast<float>(ring.block_turn0_re), static_cast<float>(ring.block_turn0_im),
                                static_cast<float>(ring.block_turn1_re), static_cast<float>(ring.block_turn1_im)}};
  ring.turns.resize(static_cast<size_t>(block_length));
  for (int64_t k = 0; k < block_length; ++k) {
    const double a0 = ring.w0 * static_cast<double>(k), a1 = ring.w1 * static_cast<double>(k);
    ring.turns[static_cast<size_t>(k)] = tone_quad{{static_cast<float>(std::cos(a0)), static_cast<float>(-std::sin(a0)),
                                                    static_cast<float>(std::cos(a1)), static_cast<float>(-std::sin(a1))}};
  }
}

size_t block_slot(const tone_ring& ring, int64_t n) {
  return static_cast<size_t>((n / block_length) & (ring.blocks - 1));
}

// Starts the block at ring.end (a multiple of block_length) after the sums
// `before`. Its phasors are the last block's turned on by a block, or set
// afresh (where `afresh`, and every exact_every blocks).
void start_block(tone_ring& ring, const running_sums& before, bool afresh) {
  const size_t slot = block_slot(ring, ring.end);
  block_anchor& a = ring.anchors[slot];
  a.before = before;
  if (afresh || (ring.end / block_length) % exact_every == 0) {
    phasor_at(ring.w0, ring.end, a.turn0_re, a.turn0_im);
    phasor_at(ring.w1, ring.end, a.turn1_re, a.turn1_im);
  } else {
    const block_anchor& last = ring.anchors[block_slot(ring, ring.end - block_length)];
    a.turn0_re = last.turn0_re * ring.block_turn0_re - last.turn0_im * ring.block_turn0_im;
    a.turn0_im = last.turn0_re * ring.block_turn0_im + last.turn0_im * ring.block_turn0_re;
    a.turn1_re = last.turn1_re * ring.block_turn1_re - last.turn1_im * ring.block_turn1_im;
    a.turn1_im = last.turn1_re * ring.block_turn1_im + last.turn1_im * ring.block_turn1_re;
  }
  const size_t at = slot * static_cast<size_t>(block_length + 1);
  ring.tone_sums[at] = tone_quad{{0, 0, 0, 0}};
  ring.power_sums[at] = 0;
}

// Adds x[0..m) to the sums in a block: sums[0] and powers[0] hold them before
// x[0], sums[j] and powers[j] receive them before x[j]; turn[j] is x[j]'s
// e^{-i w k}. Samples go in groups of four, whose own sums are formed apart
// from the running ones, so that the chain of dependent additions advances
// once a group.
void accumulate(const float* x, int64_t m, const tone_quad* turn, tone_quad* sums, float* powers) {
  float_quad run = sums[0].v;
  float power = powers[0];
  int64_t i = 0;
  for (; i + 4 <= m; i += 4) {
    const float_quad q0 = x[i] * turn[i].v;
    const float_quad q1 = q0 + x[i + 1] * turn[i + 1].v;
    const float_quad q2 = q1 + x[i + 2] * turn[i + 2].v;
    const float_quad q3 = q2 + x[i + 3] * turn[i + 3].v;
    sums[i + 1].v = run + q0;
    sums[i + 2].v = run + q1;
    sums[i + 3].v = run + q2;
    sums[i + 4].v = run + q3;
    run += q3;
    const float s0 = x[i] * x[i];
    const float s1 = s0 + x[i + 1] * x[i + 1];
    const float s2 = s1 + x[i + 2] * x[i + 2];
    const float s3 = s2 + x[i + 3] * x[i + 3];
    powers[i + 1] = power + s0;
    powers[i + 2] = power + s1;
    powers[i + 3] = power + s2;
    powers[i + 4] = power + s3;
    power += s3;
  }
  for (; i < m; ++i) {
    run += x[i] * turn[i].v;
    power += x[i] * x[i];
    sums[i + 1].v = run;
    powers[i + 1] = power;
  }
}

// Adds the samples x[0..n) from index ring.end on to the running sums (not
// to the samples kept), block by block.
void add_sums(tone_ring& ring, const float* x, int64_t n) {
  while (n > 0) {
    const int64_t k = ring.end & (block_length - 1);
    const int64_t m = std::min(n, block_length - k);
    const size_t slot = block_slot(ring, ring.end);
    const size_t at = slot * static_cast<size_t>(block_length + 1) + static_cast<size_t>(k);
    accumulate(x, m, &ring.turns[static_cast<size_t>(k)], &ring.tone_sums[at], &ring.power_sums[at]);
    ring.end += m;
    x += m;
    n -= m;
    if (k + m == block_length) {
      // The block is full: its last sums start the next one.
      const block_anchor& a = ring.anchors[slot];
      const tone_quad& t = ring.tone_sums[at + static_cast<size_t>(m)];
      const double z_re = t.v[0], z_im = t.v[1], o_re = t.v[2], o_im = t.v[3];
      const running_sums total{a.before.zero_re + (a.turn0_re * z_re - a.turn0_im * z_im),
                               a.before.zero_im + (a.turn0_re * z_im + a.turn0_im * z_re),
                               a.before.one_re + (a.turn1_re * o_re - a.turn1_im * o_im),
                               a.before.one_im + (a.turn1_re * o_im + a.turn1_im * o_re),
                               a.before.power + static_cast<double>(ring.power_sums[at + static_cast<size_t>(m)])};
      start_block(ring, total, false);
    }
  }
}

// Keeps the samples x[0..n) from index ring.end on and adds them to the sums.
void add_samples(tone_ring& ring, const float* x, int64_t n) {
  for (int64_t done = 0; done < n;) {
    const int64_t at = (ring.end + done) & (ring.capacity - 1);
    const int64_t m = std::min(n - done, ring.capacity - at);
    std::memcpy(&ring.sample[static_cast<size_t>(at)], x + done, static_cast<size_t>(m) * sizeof(float));
    done += m;
  }
  add_sums(ring, x, n);
}

// Adds the next piece of the samples made to the ring, reading on when they
// are used up; false at the end.
bool pull_piece(tone_ring& ring) {
  if (ring.exhausted) return false;
  if (ring.part_next == ring.part_count) {
    if (!next_samples(ring.feed, ring.part, ring.part_count)) {
      ring.exhausted = true;
      return false;
    }
    ring.part_next = 0;
  }
  // Never take more than a quarter of the ring at once.
  const int64_t n = std::min(ring.part_count - ring.part_next, ring.capacity / 4);
  add_samples(ring, ring.part + ring.part_next, n);
  ring.part_next += n;
  return true;
}

}  // namespace

void open_tone_ring(tone_ring& ring, recording& source, double lower, double baud, double frame_cells) {
  const double upper = 2 * lower;
  // Input frames averaged into one sample: at least 8 samples to a cycle of the upper tone.
  const int64_t decimation = std::max<int64_t>(1, static_cast<int64_t>(source.sampling_rate / (8 * upper)));
  ring.rate = static_cast<double>(source.sampling_rate) / static_cast<double>(decimation);
  const double cell = ring.rate / baud;
  // The framing looks a few cells back and up to two frames and a few cells
  // ahead.
  const double reach = (ring_cells + 4 * frame_cells) * cell;
  if (cell > longest_cell || reach > longest_reach) {
    fail("cannot read " + printable_name(source.name) + ": its frames are too long to read");
  }
  // Beyond that, the history a speed measurement looks back over, the
  // oldest block of sums (partly overwritten) and a quarter of the ring
  // taken at once; no more, so that the ring stays in the processor's cache.
  const double wanted = std::clamp((history_cells + 4 * frame_cells) * cell + block_length, reach, longest_reach);
  ring.capacity = least_capacity;
  while (static_cast<double>(ring.capacity) * 3 / 4 < wanted) ring.capacity *= 2;
  ring.blocks = ring.capacity / block_length;
  ring.sample.assign(static_cast<size_t>(ring.capacity), 0.0f);
  ring.tone_sums.assign(static_cast<size_t>(ring.blocks * (block_length + 1)), tone_quad{});
  ring.power_sums.assign(static_cast<size_t>(ring.blocks * (block_length + 1)), 0.0f);
  ring.anchors.assign(static_cast<size_t>(ring.blocks), block_anchor{});
  ring.w0 = two_pi * lower / ring.rate;
  ring.w1 = two_pi * upper / ring.rate;
  set_turns(ring);
  start_block(ring, running_sums{}, true);
  // DC: a one-pole high-pass with its corner at a sixteenth of the lower tone.
  open_sample_feed(ring.feed, source, decimation, static_cast<float>(1.0 - two_pi * (lower / 16) / ring.rate));
}

bool pull_until(tone_ring& ring, int64_t n) {
  while (ring.end < n) {
    if (!pull_piece(ring)) return false;
  }
  return true;
}

void retune(tone_ring& ring, int64_t n, double lower_hz) {
  n = std::clamp(n, oldest_sum(ring), ring.end);
  ring.w0 = two_pi * lower_hz / ring.rate;
  ring.w1 = 2 * ring.w0;
  set_turns(ring);
  // The sums start afresh at the start of n's block; what they hold before
  // n cancels from every window read.
  const int64_t last = ring.end;
  ring.end = n / block_length * block_length;
  ring.tuned_from = n;
  ++ring.tuning;
  start_block(ring, running_sums{}, true);
  // The samples stay where they are in the ring (a block never wraps round it).
  while (ring.end < last) {
    const int64_t m = std::min(last - ring.end, block_length - (ring.end & (block_length - 1)));
    add_sums(ring, &ring.sample[static_cast<size_t>(ring.end & (ring.capacity - 1))], m);
  }
}

}  // namespace kelvora
