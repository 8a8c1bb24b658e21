// Where the tone changes in a stretch of recording: a window of whole lower
// cycles slides a sample at a time, its correlations with both tones kept as
// running sums of phasor products (renewed every 4096 samples so that they
// stay exact); a change counts where the difference of the tones' energies
// crosses 0 within a stretch of tone above the gate. Where one tone is far
// weaker, each is weighed by its level as the reader weighs a cell.
#include "read/tone_edges.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "cli/settings.h"
#include "read/levels.h"
#include "read/tone_search.h"

namespace kelvora {

// Sliding correlations `cycles` lower cycles long over [from, to): where the tone changes.
tone_edges find_edges(const float* x, int64_t from, int64_t to, double rate, double lower_hz, double gate,
                      const tone_weights& weights, int32_t cycles) {
  const auto width = std::max<int64_t>(2, std::lround(cycles * rate / lower_hz));
  const double w0 = two_pi * lower_hz / rate, w1 = 2 * w0;
  // Per slot of the window: the products x e^{-i w0 n}, x e^{-i w1 n} (re, im) it holds.
  std::vector<std::array<double, 4>> ring(static_cast<size_t>(width));
  std::array<double, 4> sums{};
  double c0 = 1, s0 = 0, c1 = 1, s1 = 0;  // e^{-i w0 n}, e^{-i w1 n}
  const double step_c0 = std::cos(w0), step_s0 = -std::sin(w0), step_c1 = std::cos(w1), step_s1 = -std::sin(w1);
  tone_edges found;
  int state = -1;  // -1: no tone, 0 or 1: the tone heard
  double last_cross = 0, tone_from = -1;  // where the tone changed last, and where it began
  bool last_sign = false;
  const double half = 0.5 * static_cast<double>(width);
  for (int64_t n = from; n < to; ++n) {
    if ((n - from) % 4096 == 0) {  // keep the phasors exact
      c0 = std::cos(w0 * static_cast<double>(n - from));
      s0 = -std::sin(w0 * static_cast<double>(n - from));
      c1 = std::cos(w1 * static_cast<double>(n - from));
      s1 = -std::sin(w1 * static_cast<double>(n - from));
    }
    std::array<double, 4>& slot = ring[static_cast<size_t>((n - from) % width)];
    const double v = sane_sample(x[n]);
    const std::array<double, 4> now = {v * c0, v * s0, v * c1, v * s1};
    for (size_t j = 0; j < 4; ++j) sums[j] += now[j] - slot[j];
    slot = now;
    const double next_c0 = c0 * step_c0 - s0 * step_s0, next_c1 = c1 * step_c1 - s1 * step_s1;
    s0 = c0 * step_s0 + s0 * step_c0;
    s1 = c1 * step_s1 + s1 * step_c1;
    c0 = next_c0;
    c1 = next_c1;
    if (n - from < width) continue;
    const double e0 = sums[0] * sums[0] + sums[1] * sums[1], e1 = sums[2] * sums[2] + sums[3] * sums[3];
    double energy = e0 + e1, d = e1 - e0;
    if (weights.weighed) {
      // The difference of the tones' scores, as a share of the energy (what
      // a strong neighbour leaks into the weaker tone's window counts by the
      // weaker amplitude only).
      // (Amplitudes grow with the window, energies with its square.)
      const double a0 = weights.a0 * cycles, a1 = weights.a1 * cycles;
      energy = e0 * weights.gain0 + e1 * weights.gain1;
      d = energy * rx::weighed_difference(a0, a1, e0, e1) / (a0 * a0 + a1 * a1);
    }
    const auto at = static_cast<double>(n) - half;
    if (energy < gate) {
      if (state >= 0) found.stretch_end.back() = at;
      state = -1;
      tone_from = -1;
      continue;
    }
    if ((d > 0) != last_sign) {
      last_sign = d > 0;
      last_cross = at;
    }
    if (state < 0) {
      if (energy >= gate && tone_from < 0) {
        // A tenth of the energy is about a third of the window filled.
        tone_from = n - from == width ? static_cast<double>(from) : static_cast<double>(n) - 0.32 * static_cast<double>(width);
      }
      if (std::fabs(d) > 0.3 * energy) {
        state = d > 0 ? 1 : 0;
        found.stretch_end.push_back(INFINITY);
        // Tone that begins with a 0 cell begins with a start cell.
        if (state == 0) found.edges.push_back({tone_from, false, static_cast<int32_t>(found.stretch_end.size()) - 1});
      }
    } else if ((state == 1 && d < -0.3 * energy) || (state == 0 && d > 0.3 * energy)) {
      state = 1 - state;
      found.edges.push_back({last_cross, state == 1, static_cast<int32_t>(found.stretch_end.size()) - 1});
    }
  }
  if (state >= 0) found.stretch_end.back() = static_cast<double>(to);
  for (double& end : found.stretch_end) end = std::min(end, static_cast<double>(to));
  return found;
}

// The lower tone's energy in a window one lower cycle long: what windows a
// quarter cycle apart over [from, to) that hold far more of the lower tone
// than of the upper (12 dB) reach or pass one time in ten: those that lie
// within runs of 0 cells (a window reaching a little into a 1 cell holds
// some of the upper tone, and as much of it in the lower tone's
// correlation); 0 when there are none.
double lower_energy(const float* x, int64_t from, int64_t to, double rate, double lower_hz) {
  const auto width = std::max<int64_t>(2, std::lround(rate / lower_hz));
  const int64_t step = std::max<int64_t>(1, width / 4);
  const double w0 = two_pi * lower_hz / rate;
  // The tones over a window: e^{-i w0 n} and e^{-i 2 w0 n}.
  std::vector<std::array<double, 4>> tones(static_cast<size_t>(width));
  for (size_t n = 0; n < tones.size(); ++n) {
    const double angle = w0 * static_cast<double>(n);
    tones[n] = {std::cos(angle), -std::sin(angle), std::cos(2 * angle), -std::sin(2 * angle)};
  }
  std::vector<double> energies;
  for (int64_t a = from; a + width <= to; a += step) {
    double re0 = 0, im0 = 0, re1 = 0, im1 = 0;
    for (int64_t n = 0; n < width; ++n) {
      const double v = sane_sample(x[a + n]);
      const std::array<double, 4>& t = tones[static_cast<size_t>(n)];
      re0 += v * t[0];
      im0 += v * t[1];
      re1 += v * t[2];
      im1 += v * t[3];
    }
    const double e0 = re0 * re0 + im0 * im0, e1 = re1 * re1 + im1 * im1;
    if (e0 > 16 * e1) energies.push_back(e0);
  }
  if (energies.empty()) return 0;
  const auto tenth = energies.begin() + static_cast<std::ptrdiff_t>(energies.size() * 9 / 10);
  std::nth_element(energies.begin(), tenth, energies.end());
  return *tenth;
}

// The weights of the tones for a leader of energy `upper` in a full window
// and a lower tone of energy `lower` (see tone_weights).
tone_weights weights_of(double upper, double lower) {
  tone_weights w;
  using rx::equal_ratio;
  if (upper <= 0 || lower <= 0 || (upper < equal_ratio * lower && lower < equal_ratio * upper)) return w;
  w.weighed = true;
  w.a0 = std::sqrt(lower);
  w.a1 = std::sqrt(upper);
  w.gain0 = std::max(1.0, upper / lower);
  w.gain1 = std::max(1.0, lower / upper);
  return w;
}

}  // namespace kelvora
