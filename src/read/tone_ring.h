// The demodulator's front end: mono samples, decimated to a rate that keeps
// at least 8 samples in a cycle of the upper tone and freed of DC, kept in a
// ring together with running sums from which the correlation of any window
// with both tones (in quadrature) and its energy follow in constant time,
// for windows whose edges fall between samples too.
//
// The running sums go in blocks of block_length samples. A block keeps its
// sums from its own start in single precision, against the tones' phase at
// its start (e^{-i w k}, k samples into the block); the block's anchor holds,
// in double precision, the sums of everything before it and the tones'
// phasors at its start (e^{-i w n}), which turn its sums into absolute ones.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "read/float_quad.h"
#include "read/recording.h"
#include "read/sample_feed.h"

namespace kelvora {

// Samples a block of running sums covers (a power of two).
constexpr int64_t block_length = 256;

// Running sums up to (not including) one sample: x e^{-i w0 n}, x e^{-i w1 n}, x^2.
struct running_sums {
  double zero_re, zero_im, one_re, one_im, power;
};

// One sample's sums within its block: x e^{-i w0 k} and x e^{-i w1 k} (re, im).
struct tone_quad {
  float_quad v;
};

// What turns a block's sums into absolute ones.
struct block_anchor {
  running_sums before;                     // the sums at the block's first sample
  double turn0_re, turn0_im, turn1_re, turn1_im;  // e^{-i w n} at the block's first sample
};

struct tone_ring {
  double rate = 0;                 // samples per second after decimation
  sample_feed feed;                // the samples made of the recording, a few parts ahead
  const float* part = nullptr;     // the part of them being taken into the ring
  int64_t part_count = 0, part_next = 0;
  bool exhausted = false;          // the recording has ended
  // The ring: samples n in [end - capacity, end); sums from the first sample
  // of the oldest block held (see oldest_sum) to end.
  int64_t capacity = 0;            // samples held, a multiple of block_length
  int64_t blocks = 0;              // blocks of sums held (capacity / block_length)
  std::vector<float> sample;
  std::vector<tone_quad> tone_sums;  // block_length + 1 a block: sums before sample k, k = 0..block_length
  std::vector<float> power_sums;     // alike, of x^2
  std::vector<block_anchor> anchors;
  int64_t end = 0;                 // samples received so far
  int64_t tuned_from = 0;          // sums hold from here; windows start no earlier
  int64_t tuning = 0;              // how often the tones were re-tuned
  double w0 = 0, w1 = 0;           // tone frequencies in radians per sample
  std::vector<tone_quad> turns;    // e^{-i w0 k}, e^{-i w1 k} for k = 0..block_length-1
  double block_turn0_re = 1, block_turn0_im = 0, block_turn1_re = 1, block_turn1_im = 0;  // e^{-i w block_length}
  tone_quad block_turns{{1, 0, 1, 0}};  // the same, in single precision
};

// The correlations of one window with both tones and its energy.
struct window_reading {
  double zero_energy;  // energy in the lower tone: |correlation|^2 2/length (a pure tone: its whole energy)
  double one_energy;   // energy in the upper tone, alike
  double power;        // sum of squared samples
  double zero_re, zero_im;  // the lower tone's correlation (phase against sample 0)
  double one_re, one_im;    // the upper tone's correlation, alike
  int64_t length;      // samples in the window
};

// Sets the ring up for tones at lower and 2 lower Hz, `baud` cells a second, frames of frame_cells.
void open_tone_ring(tone_ring& ring, recording& source, double lower, double baud, double frame_cells);

// Reads blocks until samples up to index n are available (false when the recording ends first).
bool pull_until(tone_ring& ring, int64_t n);

// Makes samples up to index n available (false when the recording ends before n).
inline bool ensure_samples(tone_ring& ring, int64_t n) { return ring.end >= n || pull_until(ring, n); }

// Re-tunes both tones to lower and 2 lower Hz (speed-corrected) for windows from n on.
void retune(tone_ring& ring, int64_t n, double lower_hz);

// The first sample whose running sums the ring still holds.
inline int64_t oldest_sum(const tone_ring& ring) {
  return std::max<int64_t>(0, (ring.end / block_length - ring.blocks + 1) * block_length);
}

// The running sums at sample n (oldest_sum <= n <= end).
inline running_sums sums_at(const tone_ring& ring, int64_t n) {
  const uint64_t index = static_cast<uint64_t>(n);  // never negative
  const size_t slot = static_cast<size_t>((index / block_length) & static_cast<uint64_t>(ring.blocks - 1));
  const size_t at = slot * (block_length + 1) + static_cast<size_t>(index & (block_length - 1));
  const block_anchor& a = ring.anchors[slot];
  const tone_quad& t = ring.tone_sums[at];
  const double z_re = t.v[0], z_im = t.v[1], o_re = t.v[2], o_im = t.v[3];
  return running_sums{a.before.zero_re + (a.turn0_re * z_re - a.turn0_im * z_im),
                      a.before.zero_im + (a.turn0_re * z_im + a.turn0_im * z_re),
                      a.before.one_re + (a.turn1_re * o_re - a.turn1_im * o_im),
                      a.before.one_im + (a.turn1_re * o_im + a.turn1_im * o_re),
                      a.before.power + static_cast<double>(ring.power_sums[at])};
}

// The running sums at a position between samples, within its block: those
// at the sample before, and the share the position's fraction of a sample
// takes of that sample's terms, so that windows move smoothly with their
// edges, not in whole samples. In single precision, as the block keeps them.
struct local_sums {
  int64_t block;     // the position's block
  tone_quad tones;   // x e^{-i w0 k}, x e^{-i w1 k} from the block's start, against its phase
  float power;
};

// The local sums at position x (oldest_sum <= x <= end).
inline local_sums local_at(const tone_ring& ring, double x) {
  int64_t n = static_cast<int64_t>(x);  // x is never negative
  float f = static_cast<float>(x - static_cast<double>(n));
  if (n >= ring.end) {
    n = ring.end;
    f = 0;
  }
  const uint64_t index = static_cast<uint64_t>(n);
  const int64_t block = static_cast<int64_t>(index / block_length);
  const size_t at = static_cast<size_t>(block & (ring.blocks - 1)) * (block_length + 1) +
                    static_cast<size_t>(index & (block_length - 1));
  // The sums after sample n are in the same block's row (it holds block_length + 1).
  const tone_quad& t = ring.tone_sums[at];
  const tone_quad& u = ring.tone_sums[at + 1];
  return local_sums{block, {t.v + f * (u.v - t.v)},
                    ring.power_sums[at] + f * (ring.power_sums[at + 1] - ring.power_sums[at])};
}

// The window between two positions' local sums p and q (p's at most q's):
// its correlations against the phase at the start of p's block, and its
// power. Within one block they are differences; into the next block, q's
// sums are turned back by a block and the rest of p's block added; farther,
// the anchors make both absolute (in double precision).
inline local_sums window_between(const tone_ring& ring, const local_sums& p, const local_sums& q) {
  local_sums w{p.block, {}, 0};
  if (q.block == p.block) {
    w.tones.v = q.tones.v - p.tones.v;
    w.power = q.power - p.power;
  } else if (q.block == p.block + 1) {
    const size_t full = static_cast<size_t>(p.block & (ring.blocks - 1)) * (block_length + 1) + block_length;
    const tone_quad& t = ring.tone_sums[full];
    const float_quad turn = ring.block_turns.v, v = q.tones.v;
    const float_quad turned = {turn[0] * v[0] - turn[1] * v[1], turn[0] * v[1] + turn[1] * v[0],
                               turn[2] * v[2] - turn[3] * v[3], turn[2] * v[3] + turn[3] * v[2]};
    w.tones.v = (t.v - p.tones.v) + turned;
    w.power = (ring.power_sums[full] - p.power) + q.power;
  } else {
    const block_anchor& a = ring.anchors[static_cast<size_t>(p.block & (ring.blocks - 1))];
    const block_anchor& b = ring.anchors[static_cast<size_t>(q.block & (ring.blocks - 1))];
    const double p0 = p.tones.v[0], p1 = p.tones.v[1], p2 = p.tones.v[2], p3 = p.tones.v[3];
    const double q0 = q.tones.v[0], q1 = q.tones.v[1], q2 = q.tones.v[2], q3 = q.tones.v[3];
    // Absolute sums at both ends; their difference turned back by p's block.
    const double z_re = (b.before.zero_re + (b.turn0_re * q0 - b.turn0_im * q1)) -
                        (a.before.zero_re + (a.turn0_re * p0 - a.turn0_im * p1));
    const double z_im = (b.before.zero_im + (b.turn0_re * q1 + b.turn0_im * q0)) -
                        (a.before.zero_im + (a.turn0_re * p1 + a.turn0_im * p0));
    const double o_re = (b.before.one_re + (b.turn1_re * q2 - b.turn1_im * q3)) -
                        (a.before.one_re + (a.turn1_re * p2 - a.turn1_im * p3));
    const double o_im = (b.before.one_im + (b.turn1_re * q3 + b.turn1_im * q2)) -
                        (a.before.one_im + (a.turn1_re * p3 + a.turn1_im * p2));
    w.tones.v[0] = static_cast<float>(z_re * a.turn0_re + z_im * a.turn0_im);
    w.tones.v[1] = static_cast<float>(z_im * a.turn0_re - z_re * a.turn0_im);
    w.tones.v[2] = static_cast<float>(o_re * a.turn1_re + o_im * a.turn1_im);
    w.tones.v[3] = static_cast<float>(o_im * a.turn1_re - o_re * a.turn1_im);
    w.power = static_cast<float>((b.before.power + q.power) - (a.before.power + p.power));
  }
  return w;
}

// |correlation|^2 of the lower and of the upper tone in a window's sums.
inline void squared_correlations(const local_sums& w, double& zero, double& one) {
  const float_quad squares = w.tones.v * w.tones.v;
  zero = static_cast<double>(squares[0] + squares[1]);
  one = static_cast<double>(squares[2] + squares[3]);
}

// Reads the window [a, b) (clamped to what the ring holds).
inline window_reading read_window(const tone_ring& ring, int64_t a, int64_t b) {
  const int64_t oldest = std::max(ring.tuned_from, oldest_sum(ring));
  a = std::clamp(a, oldest, ring.end);
  b = std::clamp(b, a, ring.end);
  window_reading w{};
  w.length = b - a;
  if (w.length == 0) return w;
  const running_sums p = sums_at(ring, a);
  const running_sums q = sums_at(ring, b);
  w.zero_re = q.zero_re - p.zero_re;
  w.zero_im = q.zero_im - p.zero_im;
  w.one_re = q.one_re - p.one_re;
  w.one_im = q.one_im - p.one_im;
  const double scale = 2.0 / static_cast<double>(w.length);
  w.zero_energy = (w.zero_re * w.zero_re + w.zero_im * w.zero_im) * scale;
  w.one_energy = (w.one_re * w.one_re + w.one_im * w.one_im) * scale;
  w.power = std::max(0.0, q.power - p.power);
  return w;
}

}  // namespace kelvora
