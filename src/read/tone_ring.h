// The demodulator's front end: mono samples, decimated to a rate that keeps
// at least 16 samples in a cycle of the upper tone and freed of DC, kept in a
// ring together with running sums from which the correlation of any window
// with both tones (in quadrature) and its energy follow in constant time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "read/recording.h"

namespace kelvora {

// Running sums up to (not including) one sample: x e^{-i w0 n}, x e^{-i w1 n}, x^2.
struct running_sums {
  double zero_re, zero_im, one_re, one_im, power;
};

struct tone_ring {
  recording* source = nullptr;
  int64_t decimation = 1;          // input frames averaged into one sample
  double rate = 0;                 // samples per second after decimation
  // Decimation and the DC estimate, carried across blocks.
  double group_sum = 0, group_rising = 0, last_rising = 0;
  int64_t group_count = 0;
  double dc_pole = 0, dc_last_in = 0, dc_last_out = 0;
  std::vector<float> block;        // mono samples as read
  bool exhausted = false;          // the recording has ended
  // The ring: samples n in [end - capacity + 1, end), sums at n in the same range and end.
  int64_t capacity = 0;
  std::vector<float> sample;
  std::vector<running_sums> sums;
  int64_t end = 0;                 // samples received so far
  int64_t tuned_from = 0;          // sums hold from here; windows start no earlier
  double w0 = 0, w1 = 0;           // tone frequencies in radians per sample
  double phase0_re = 1, phase0_im = 0, phase1_re = 1, phase1_im = 0;  // e^{-i w n} at end
  double turn0_re = 1, turn0_im = 0, turn1_re = 1, turn1_im = 0;      // e^{-i w}: one sample on
  running_sums total{};            // the sums at end
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

// Reads the window [a, b) (clamped to what the ring holds).
inline window_reading read_window(const tone_ring& ring, int64_t a, int64_t b) {
  const int64_t oldest = std::max(ring.tuned_from, ring.end - ring.capacity + 1);
  a = std::clamp(a, oldest, ring.end);
  b = std::clamp(b, a, ring.end);
  const running_sums& p = ring.sums[static_cast<size_t>(a & (ring.capacity - 1))];
  const running_sums& q = ring.sums[static_cast<size_t>(b & (ring.capacity - 1))];
  window_reading w{};
  w.length = b - a;
  if (w.length == 0) return w;
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
