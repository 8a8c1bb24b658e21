// The tone search. Frames of the opening (about 20 ms each) are
// transformed; a frame is steady when half its power lies within two bins of
// one peak, whose frequency lies between bins where a parabola through the
// log powers of its neighbours peaks. A leader is the first run of steady
// frames of at least 0.1 s whose tones stay within 2 % of each other (a
// tape's speed may drift); its tone is their mean, close enough to tell
// cells apart.
#include "read/tone_search.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "cli/settings.h"

namespace kelvora {

namespace {

// A frame of the spectrum is steady when this share of its power is in one peak.
constexpr double steady_share = 0.5;
constexpr double least_leader_seconds = 0.1;
// How far a steady stretch's tone moves from one frame to the next: a
// drifting tone's little, flutter's (+-3 % at 10 Hz) more but about its mean.
constexpr double drift_step = 0.02;
constexpr double swing_step = 0.05, swing_from_mean = 0.035;
// Samples in a frame of the spectrum at most (a header may claim any rate).
constexpr size_t most_spectrum = size_t{1} << 14;


// A radix-2 transform of a power-of-two length, real and imaginary parts
// apart; cos_of[k], sin_of[k] give e^{-2 pi i k / n} for k < n / 2.
struct spectrum_work {
  std::vector<double> re, im, cos_of, sin_of, window;
};

void transform(spectrum_work& w) {
  double* re = w.re.data();
  double* im = w.im.data();
  const size_t n = w.re.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; (j & bit) != 0; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const size_t stride = n / len, half = len / 2;
    for (size_t i = 0; i < n; i += len) {
      for (size_t k = 0; k < half; ++k) {
        const double c = w.cos_of[k * stride], s = w.sin_of[k * stride];
        const size_t p = i + k, q = p + half;
        const double vr = re[q] * c - im[q] * s, vi = re[q] * s + im[q] * c;
        re[q] = re[p] - vr;
        im[q] = im[p] - vi;
        re[p] += vr;
        im[p] += vi;
      }
    }
  }
}

// The powers of a frame's bins below n / 2 (into w.im); returns their sum.
double frame_spectrum(const float* x, spectrum_work& w) {
  const size_t n = w.re.size();
  double mean = 0;
  for (size_t i = 0; i < n; ++i) mean += sane_sample(x[i]);
  mean /= static_cast<double>(n);
  for (size_t i = 0; i < n; ++i) {
    w.re[i] = (sane_sample(x[i]) - mean) * w.window[i];
    w.im[i] = 0;
  }
  transform(w);
  double total = 0;
  w.im[0] = 0;
  for (size_t k = 1; k < n / 2; ++k) {
    w.im[k] = w.re[k] * w.re[k] + w.im[k] * w.im[k];
    total += w.im[k];
  }
  return total;
}

// The strongest bin of a spectrum's bins in [from, to) that have two neighbours each side, or 0.
size_t strongest(const std::vector<double>& power, size_t from, size_t to) {
  size_t peak = 0;
  for (size_t k = std::max<size_t>(from, 2); k < std::min(to, power.size() - 2); ++k) {
    if (peak == 0 || power[k] > power[peak]) peak = k;
  }
  return peak;
}

// The share of the power within two bins of a peak.
double peak_share(const std::vector<double>& power, size_t peak, double total) {
  double near = 0;
  for (size_t k = peak - 2; k <= peak + 2; ++k) near += power[k];
  return near / total;
}

// The peak's frequency between bins, from a parabola through the log powers.
double peak_hz(const std::vector<double>& power, size_t peak, double rate, size_t n) {
  const double a = std::log(power[peak - 1] + 1e-30), b = std::log(power[peak] + 1e-30),
               c = std::log(power[peak + 1] + 1e-30);
  const double shift = std::clamp(0.5 * (a - c) / (a - 2 * b + c), -0.5, 0.5);
  return (static_cast<double>(peak) + shift) * rate / static_cast<double>(n);
}

}  // namespace

// The first steady stretch of at least least_leader_seconds, and its mean
// tone. Without one, a tape that begins with data has both tones as lines of
// its spectrum (a cell holds whole cycles of each): the strongest line with
// another at half or twice its frequency gives the upper tone, from the first
// frame with sound on.
steady_run find_leader(const float* x, int64_t count, double rate) {
  size_t n = 256;
  while (static_cast<double>(n) < rate * 0.02 && n < most_spectrum) n *= 2;
  spectrum_work work{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n / 2),
                     std::vector<double>(n / 2), std::vector<double>(n)};
  for (size_t i = 0; i < n; ++i) {
    const double angle = two_pi * static_cast<double>(i) / static_cast<double>(n);
    work.window[i] = 0.5 - 0.5 * std::cos(angle);
    if (i < n / 2) {
      work.cos_of[i] = std::cos(angle);
      work.sin_of[i] = -std::sin(angle);
    }
  }
  const auto frame = static_cast<int64_t>(n);
  const int64_t least_frames = std::max<int64_t>(3, static_cast<int64_t>(std::ceil(least_leader_seconds * rate / static_cast<double>(frame))));
  steady_run run;
  double sum = 0, last = 0;  // the tones of the stretch's frames, and of its last (a tape's tone may drift)
  int64_t frames = 0;
  std::vector<double> spectrum(n / 2);  // summed over frames with sound, each as shares of its power
  int64_t first_sound = -1;
  for (int64_t at = 0; at + frame <= count; at += frame) {
    // Digital silence needs no transform.
    bool quiet = true;
    for (int64_t i = 0; i < frame && quiet; ++i) quiet = x[at + i] == 0.0f;
    const double total = quiet ? 0.0 : frame_spectrum(x + at, work);
    double hz = 0;
    if (total > 1e-12 * static_cast<double>(n)) {
      if (first_sound < 0) first_sound = at;
      for (size_t k = 0; k < n / 2; ++k) spectrum[k] += work.im[k] / total;
      const size_t peak = strongest(work.im, 0, n / 2);
      if (peak > 0 && peak_share(work.im, peak, total) >= steady_share) hz = peak_hz(work.im, peak, rate, n);
    }
    // A frame goes on the stretch where its tone lies near the last frame's
    // (a tape's tone may drift), or a little farther but near the stretch's
    // mean (flutter swings it about the mean, a sweep moves it away).
    const double step = frames > 0 ? std::fabs(hz / last - 1) : 1.0;
    const double from_mean = frames > 0 ? std::fabs(hz * static_cast<double>(frames) / sum - 1) : 1.0;
    if (hz > 0 && frames > 0 && (step < drift_step || (step < swing_step && from_mean < swing_from_mean))) {
      last = hz;
      sum += hz;
      ++frames;
      run.end = at + frame;
      continue;
    }
    if (frames >= least_frames) break;
    frames = hz > 0 ? 1 : 0;
    sum = hz;
    last = hz;
    run = steady_run{at, at + frame, 0};
  }
  if (frames >= least_frames) {
    run.hz = sum / static_cast<double>(frames);
    return run;
  }
  const size_t peak = strongest(spectrum, 0, n / 2);
  if (first_sound < 0 || peak == 0) return steady_run{};
  // The other line: at twice or at half the frequency, at least a tenth as strong.
  const size_t above = strongest(spectrum, 2 * peak - 2, 2 * peak + 3);
  const size_t below = peak >= 6 ? strongest(spectrum, peak / 2 - 1, peak / 2 + 2) : 0;
  // Both stand well clear of the spectrum's floor (noise has no lines).
  std::vector<double> sorted(spectrum);
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n / 4), sorted.end());
  const double least = std::max(0.1 * spectrum[peak], 10 * sorted[n / 4]);
  size_t upper = 0;
  if (above > 0 && spectrum[above] >= least) {
    upper = above;
  } else if (below > 0 && spectrum[below] >= least) {
    upper = peak;
  }
  if (upper == 0) return steady_run{};
  return steady_run{first_sound, first_sound, peak_hz(spectrum, upper, rate, n)};
}

}  // namespace kelvora
