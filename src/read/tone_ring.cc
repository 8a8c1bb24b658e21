// The tone ring. Samples are averaged in groups of `decimation` input frames
// (a box filter: its nulls fall on the aliases of low frequencies), then pass
// a one-pole DC blocker with its corner at a sixteenth of the lower tone. The
// running sums are kept in double precision; the tone phasors advance by
// complex multiplication and are renormalised every 4096 samples.
#include "read/tone_ring.h"

#include <algorithm>
#include <cmath>

#include "cli/failure.h"

namespace kelvora {

namespace {

constexpr double two_pi = 6.283185307179586;

// Cells a ring holds beyond four frames.
constexpr int64_t ring_cells = 64;
constexpr int64_t least_capacity = int64_t{1} << 16;
// Longest cell and longest reach the reader handles, in samples after decimation.
constexpr double longest_cell = double(int64_t{1} << 16);
constexpr double longest_reach = double(int64_t{1} << 20);
// Largest sample magnitude taken (full scale is 1).
constexpr double largest_sample = 1e6;

int64_t slot(const tone_ring& ring, int64_t n) { return n & (ring.capacity - 1); }

void set_phasors(tone_ring& ring, int64_t n) {
  // The angle is reduced before the sine is taken: n can reach billions.
  const double a0 = std::fmod(ring.w0 * static_cast<double>(n), two_pi);
  const double a1 = std::fmod(ring.w1 * static_cast<double>(n), two_pi);
  ring.phase0_re = std::cos(a0);
  ring.phase0_im = -std::sin(a0);
  ring.phase1_re = std::cos(a1);
  ring.phase1_im = -std::sin(a1);
  ring.turn0_re = std::cos(ring.w0);
  ring.turn0_im = -std::sin(ring.w0);
  ring.turn1_re = std::cos(ring.w1);
  ring.turn1_im = -std::sin(ring.w1);
}

// Adds sample x at index ring.end to the running sums.
void add_sample(tone_ring& ring, double x) {
  running_sums& t = ring.total;
  t.zero_re += x * ring.phase0_re;
  t.zero_im += x * ring.phase0_im;
  t.one_re += x * ring.phase1_re;
  t.one_im += x * ring.phase1_im;
  t.power += x * x;
  ++ring.end;
  ring.sums[static_cast<size_t>(slot(ring, ring.end))] = t;
  const double c0 = ring.turn0_re, s0 = ring.turn0_im;
  const double c1 = ring.turn1_re, s1 = ring.turn1_im;
  if ((ring.end & 4095) == 0) {
    set_phasors(ring, ring.end);
    return;
  }
  const double r0 = ring.phase0_re * c0 - ring.phase0_im * s0;
  ring.phase0_im = ring.phase0_re * s0 + ring.phase0_im * c0;
  ring.phase0_re = r0;
  const double r1 = ring.phase1_re * c1 - ring.phase1_im * s1;
  ring.phase1_im = ring.phase1_re * s1 + ring.phase1_im * c1;
  ring.phase1_re = r1;
}

// Reads one block from the recording into the ring; false at the end.
bool pull_block(tone_ring& ring) {
  if (ring.exhausted) return false;
  // Never take more than a quarter of the ring at once.
  const int64_t most = std::min<int64_t>(static_cast<int64_t>(ring.block.size()),
                                         (ring.capacity / 4) * ring.decimation);
  const int64_t got = read_mono(*ring.source, ring.block.data(), most);
  if (got == 0) {
    ring.exhausted = true;
    return false;
  }
  for (int64_t i = 0; i < got; ++i) {
    // A float recording may hold anything: what is not a finite sample of
    // sane size is taken as silence or held at that size.
    const double x = ring.block[static_cast<size_t>(i)];
    ring.boxcar_sum += std::isfinite(x) ? std::clamp(x, -largest_sample, largest_sample) : 0.0;
    if (++ring.boxcar_count < ring.decimation) continue;
    const double in = ring.boxcar_sum / static_cast<double>(ring.decimation);
    ring.boxcar_sum = 0;
    ring.boxcar_count = 0;
    const double out = in - ring.dc_last_in + ring.dc_pole * ring.dc_last_out;
    ring.dc_last_in = in;
    ring.dc_last_out = out;
    ring.sample[static_cast<size_t>(slot(ring, ring.end))] = static_cast<float>(out);
    add_sample(ring, out);
  }
  return true;
}

}  // namespace

void open_tone_ring(tone_ring& ring, recording& source, double lower, double baud, double frame_cells) {
  ring.source = &source;
  const double upper = 2 * lower;
  ring.decimation = std::max<int64_t>(1, static_cast<int64_t>(source.sampling_rate / (32 * upper)));
  ring.rate = static_cast<double>(source.sampling_rate) / static_cast<double>(ring.decimation);
  const double cell = ring.rate / baud;
  // The framing looks a few cells back and up to two frames and a few cells
  // ahead.
  const double reach = (ring_cells + 4 * frame_cells) * cell;
  if (cell > longest_cell || reach > longest_reach) {
    fail("cannot read " + printable_name(source.name) + ": its frames are too long to read");
  }
  ring.capacity = least_capacity;
  while (static_cast<double>(ring.capacity) < reach) ring.capacity *= 2;
  ring.sample.assign(static_cast<size_t>(ring.capacity), 0.0f);
  ring.sums.assign(static_cast<size_t>(ring.capacity), running_sums{});
  ring.block.assign(static_cast<size_t>(std::max<int64_t>(1, source.buffer.size() / source.channels)), 0.0f);
  ring.dc_pole = 1.0 - two_pi * (lower / 16) / ring.rate;
  ring.w0 = two_pi * lower / ring.rate;
  ring.w1 = two_pi * upper / ring.rate;
  set_phasors(ring, 0);
}

bool ensure_samples(tone_ring& ring, int64_t n) {
  while (ring.end < n) {
    if (!pull_block(ring)) return false;
  }
  return true;
}

void retune(tone_ring& ring, int64_t n, double lower_hz) {
  n = std::clamp(n, std::max<int64_t>(0, ring.end - ring.capacity + 1), ring.end);
  ring.w0 = two_pi * lower_hz / ring.rate;
  ring.w1 = 2 * ring.w0;
  const int64_t last = ring.end;
  ring.end = n;
  ring.tuned_from = n;
  ring.total = running_sums{};
  ring.sums[static_cast<size_t>(slot(ring, n))] = ring.total;
  set_phasors(ring, n);
  while (ring.end < last) add_sample(ring, ring.sample[static_cast<size_t>(slot(ring, ring.end))]);
}

window_reading read_window(const tone_ring& ring, int64_t a, int64_t b) {
  const int64_t oldest = std::max(ring.tuned_from, ring.end - ring.capacity + 1);
  a = std::clamp(a, oldest, ring.end);
  b = std::clamp(b, a, ring.end);
  const running_sums& p = ring.sums[static_cast<size_t>(slot(ring, a))];
  const running_sums& q = ring.sums[static_cast<size_t>(slot(ring, b))];
  window_reading w{};
  w.length = b - a;
  if (w.length == 0) return w;
  const double zr = q.zero_re - p.zero_re, zi = q.zero_im - p.zero_im;
  const double orr = q.one_re - p.one_re, oi = q.one_im - p.one_im;
  const double scale = 2.0 / static_cast<double>(w.length);
  w.zero_energy = (zr * zr + zi * zi) * scale;
  w.one_energy = (orr * orr + oi * oi) * scale;
  w.power = std::max(0.0, q.power - p.power);
  w.zero_re = zr;
  w.zero_im = zi;
  w.one_re = orr;
  w.one_im = oi;
  return w;
}

}  // namespace kelvora
