// The tone ring. Samples are decimated to keep at least 16 a cycle of the
// upper tone, through a triangular filter whose double nulls fall on the
// aliases of the tones, so that noise above does not fold onto them, then
// pass a one-pole DC blocker. The running sums are kept in
// double precision; the tone phasors advance by complex multiplication and
// are set afresh every 4096 samples.
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

// Adds the samples x[0..n) from index ring.end on to the running sums. The
// state lives in locals through the loop. Samples go in groups of four: the
// four phasors come from the group's first times a small table, and the sums
// within a group are formed apart from the running ones, so that each chain
// of dependent operations advances once a group. The phasors are set afresh
// at every multiple of 4096.
void add_samples(tone_ring& ring, const float* x, int64_t n) {
  const int64_t mask = ring.capacity - 1;
  running_sums* sums = ring.sums.data();
  float* samples = ring.sample.data();
  int64_t i = 0;
  // Single samples up to a multiple of four.
  auto add_one = [&](double v) {
    running_sums& t = ring.total;
    samples[ring.end & mask] = static_cast<float>(v);
    t.zero_re += v * ring.phase0_re;
    t.zero_im += v * ring.phase0_im;
    t.one_re += v * ring.phase1_re;
    t.one_im += v * ring.phase1_im;
    t.power += v * v;
    ++ring.end;
    sums[ring.end & mask] = t;
    if ((ring.end & 4095) == 0) {
      set_phasors(ring, ring.end);
      return;
    }
    const double r0 = ring.phase0_re * ring.turn0_re - ring.phase0_im * ring.turn0_im;
    ring.phase0_im = ring.phase0_re * ring.turn0_im + ring.phase0_im * ring.turn0_re;
    ring.phase0_re = r0;
    const double r1 = ring.phase1_re * ring.turn1_re - ring.phase1_im * ring.turn1_im;
    ring.phase1_im = ring.phase1_re * ring.turn1_im + ring.phase1_im * ring.turn1_re;
    ring.phase1_re = r1;
  };
  for (; i < n && (ring.end & 3) != 0; ++i) add_one(x[i]);
  // e^{-i w k} for k = 0..3, and e^{-i 4 w}.
  double t0r[4], t0i[4], t1r[4], t1i[4];
  for (int k = 0; k < 4; ++k) {
    t0r[k] = std::cos(ring.w0 * k), t0i[k] = -std::sin(ring.w0 * k);
    t1r[k] = std::cos(ring.w1 * k), t1i[k] = -std::sin(ring.w1 * k);
  }
  const double g0r = std::cos(4 * ring.w0), g0i = -std::sin(4 * ring.w0);
  const double g1r = std::cos(4 * ring.w1), g1i = -std::sin(4 * ring.w1);
  running_sums t = ring.total;
  double p0r = ring.phase0_re, p0i = ring.phase0_im, p1r = ring.phase1_re, p1i = ring.phase1_im;
  int64_t end = ring.end;
  for (; i + 4 <= n; i += 4) {
    double a[5][4];
    for (int k = 0; k < 4; ++k) {
      const double v = x[i + k];
      samples[(end + k) & mask] = x[i + k];
      a[0][k] = v * (p0r * t0r[k] - p0i * t0i[k]);
      a[1][k] = v * (p0r * t0i[k] + p0i * t0r[k]);
      a[2][k] = v * (p1r * t1r[k] - p1i * t1i[k]);
      a[3][k] = v * (p1r * t1i[k] + p1i * t1r[k]);
      a[4][k] = v * v;
    }
    for (int c = 0; c < 5; ++c) {
      a[c][1] += a[c][0];
      a[c][2] += a[c][1];
      a[c][3] += a[c][2];
    }
    for (int k = 0; k < 4; ++k) {
      sums[(end + k + 1) & mask] = running_sums{t.zero_re + a[0][k], t.zero_im + a[1][k],
                                                t.one_re + a[2][k], t.one_im + a[3][k], t.power + a[4][k]};
    }
    t = sums[(end + 4) & mask];
    end += 4;
    if ((end & 4095) == 0) {
      ring.end = end;
      set_phasors(ring, end);
      p0r = ring.phase0_re, p0i = ring.phase0_im, p1r = ring.phase1_re, p1i = ring.phase1_im;
      continue;
    }
    const double r0 = p0r * g0r - p0i * g0i;
    p0i = p0r * g0i + p0i * g0r;
    p0r = r0;
    const double r1 = p1r * g1r - p1i * g1i;
    p1i = p1r * g1i + p1i * g1r;
    p1r = r1;
  }
  ring.end = end;
  ring.total = t;
  ring.phase0_re = p0r, ring.phase0_im = p0i, ring.phase1_re = p1r, ring.phase1_im = p1i;
  for (; i < n; ++i) add_one(x[i]);
}

// A float recording may hold anything: what is not a finite sample of sane
// size is taken as silence or held at that size.
float sane(float x) {
  return std::isfinite(x) ? static_cast<float>(std::clamp<double>(x, -largest_sample, largest_sample)) : 0.0f;
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
  // Decimated in place (the output never overtakes the input).
  float* block = ring.block.data();
  for (int64_t i = 0; i < got; ++i) block[i] = sane(block[i]);
  int64_t made = 0;
  if (ring.decimation == 1) {
    made = got;
  } else {
    // A triangular filter of 2 decimation - 1 taps (two box filters in a
    // row: double nulls on the aliases of the tones) from each group's plain
    // and rising-weight sums and the rising sum of the group before it.
    const int64_t d = ring.decimation;
    const double scale = 1.0 / static_cast<double>(d * d);
    int64_t i = 0;
    while (i < got) {
      double sum = ring.group_sum, rising = ring.group_rising;
      int64_t count = ring.group_count;
      for (; count < d && i < got; ++count, ++i) {
        sum += block[i];
        rising += static_cast<double>(count + 1) * block[i];
      }
      if (count < d) {  // the group goes on in the next block
        ring.group_sum = sum, ring.group_rising = rising, ring.group_count = count;
        break;
      }
      block[made++] = static_cast<float>((ring.last_rising + static_cast<double>(d) * sum - rising) * scale);
      ring.last_rising = rising;
      ring.group_sum = 0, ring.group_rising = 0, ring.group_count = 0;
    }
  }
  // DC: a one-pole high-pass with its corner at a sixteenth of the lower tone.
  double last_in = ring.dc_last_in, last_out = ring.dc_last_out;
  const double pole = ring.dc_pole;
  for (int64_t i = 0; i < made; ++i) {
    const double in = block[i];
    last_out = in - last_in + pole * last_out;
    last_in = in;
    block[i] = static_cast<float>(last_out);
  }
  ring.dc_last_in = last_in;
  ring.dc_last_out = last_out;
  add_samples(ring, block, made);
  return true;
}

}  // namespace

void open_tone_ring(tone_ring& ring, recording& source, double lower, double baud, double frame_cells) {
  ring.source = &source;
  const double upper = 2 * lower;
  ring.decimation = std::max<int64_t>(1, static_cast<int64_t>(source.sampling_rate / (16 * upper)));
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
  ring.w0 = two_pi * lower / ring.rate;
  ring.w1 = two_pi * upper / ring.rate;
  ring.dc_pole = 1.0 - two_pi * (lower / 16) / ring.rate;
  set_phasors(ring, 0);
}

bool pull_until(tone_ring& ring, int64_t n) {
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
  // The samples stay where they are in the ring: copied out in pieces, then added again.
  float piece[1024];
  while (ring.end < last) {
    const int64_t k = std::min<int64_t>(1024, last - ring.end);
    for (int64_t i = 0; i < k; ++i) piece[i] = ring.sample[static_cast<size_t>(slot(ring, ring.end + i))];
    add_samples(ring, piece, k);
  }
}

}  // namespace kelvora
