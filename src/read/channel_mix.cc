// Channel mixing. The covariances of each block a few samples apart (about
// its means, so that a DC offset does not count) join running ones that
// halve every block; the principal axis of the sum of their squares, found
// by power iteration from the last weights, gives the new weights: white
// noise in a channel, however loud, hardly moves it. Their sign follows the last weights (at first, the
// first channel that carries most keeps its polarity); within a block they
// move linearly from the old to the new, so that no step is heard.
#include "read/channel_mix.h"

#include <algorithm>
#include <cmath>

namespace kelvora {

namespace {

constexpr int iterations = 24;
// Lags, in samples, of the covariances the tone is told by.
constexpr size_t lags = 4;

// The principal axis of the c x c matrix m, from `start`, scaled so that
// the magnitudes of its components sum to 1; false when m holds nothing.
bool principal_axis(const std::vector<double>& m, size_t c, std::vector<double>& axis) {
  std::vector<double> next(c);
  for (int k = 0; k < iterations; ++k) {
    double size = 0;
    for (size_t i = 0; i < c; ++i) {
      double sum = 0;
      for (size_t j = 0; j < c; ++j) sum += m[i * c + j] * axis[j];
      next[i] = sum;
      size += std::abs(sum);
    }
    if (!(size > 0) || !std::isfinite(size)) return false;
    for (size_t i = 0; i < c; ++i) axis[i] = next[i] / size;
  }
  return true;
}

}  // namespace

void mix_channels(channel_mix& mix, const float* in, int64_t frames, int64_t channels, float* out) {
  const auto c = static_cast<size_t>(channels);
  if (mix.weights.empty()) {
    mix.covariance.assign(lags * c * c, 0.0);
    mix.weights.assign(c, 1.0 / static_cast<double>(c));
  }
  mix.means.assign(c, 0.0);
  for (int64_t f = 0; f < frames; ++f) {
    for (size_t i = 0; i < c; ++i) mix.means[i] += in[static_cast<size_t>(f) * c + i];
  }
  for (double& m : mix.means) m /= static_cast<double>(std::max<int64_t>(1, frames));
  // The covariances a few samples apart, running: white noise has next to
  // none, a tone has them at every lag but those where its cosine is 0.
  for (size_t lag = 1; lag <= lags; ++lag) {
    mix.block.assign(c * c, 0.0);
    for (int64_t f = 0; f + static_cast<int64_t>(lag) < frames; ++f) {
      const float* x = in + static_cast<size_t>(f) * c;
      const float* y = x + lag * c;
      for (size_t i = 0; i < c; ++i) {
        const double a = x[i] - mix.means[i];
        for (size_t j = 0; j < c; ++j) mix.block[i * c + j] += a * (y[j] - mix.means[j]);
      }
    }
    // (A float recording may hold anything: a block of no finite
    // covariance leaves the running ones as they were.)
    if (!std::all_of(mix.block.begin(), mix.block.end(), [](double v) { return std::isfinite(v); })) continue;
    double* running = &mix.covariance[(lag - 1) * c * c];
    for (size_t i = 0; i < c; ++i) {
      for (size_t j = 0; j < c; ++j) {
        running[i * c + j] = 0.5 * running[i * c + j] + 0.5 * (mix.block[i * c + j] + mix.block[j * c + i]);
      }
    }
  }
  // The sum of their squares: each channel's share of the tone, whatever the
  // sign of the cosine at each lag.
  std::vector<double> squares(c * c, 0.0);
  for (size_t lag = 0; lag < lags; ++lag) {
    const double* m = &mix.covariance[lag * c * c];
    for (size_t i = 0; i < c; ++i) {
      for (size_t j = 0; j < c; ++j) {
        for (size_t k = 0; k < c; ++k) squares[i * c + j] += m[i * c + k] * m[k * c + j];
      }
    }
  }
  // Until a block has given weights, start from the channel that carries
  // most, which keeps its polarity: even weights are the axis that cancels a
  // pair in opposite polarity, and the power iteration cannot leave it.
  // Afterwards start from the last weights and keep their sign; should they
  // lie where the tone has nothing, start from that channel too.
  const std::vector<double> old = mix.weights;
  size_t most = 0;
  for (size_t i = 1; i < c; ++i) {
    if (squares[i * c + i] > squares[most * c + most]) most = i;
  }
  const auto from_most = [&] {
    std::vector<double> unit(c, 0.0);
    unit[most] = 1;
    return unit;
  };
  std::vector<double> axis = mix.found ? old : from_most();
  bool found = principal_axis(squares, c, axis);
  if (!found && mix.found) {
    axis = from_most();
    found = principal_axis(squares, c, axis);
  }
  if (found) {
    double agree = 0;
    for (size_t i = 0; i < c; ++i) agree += axis[i] * old[i];
    if (mix.found ? agree < 0 : axis[most] < 0) {
      for (double& a : axis) a = -a;
    }
    mix.weights = axis;
  }
  // Weights found for the first time apply to the whole block.
  const std::vector<double>& from = mix.found ? old : mix.weights;
  mix.found = mix.found || found;
  const double step = 1.0 / static_cast<double>(std::max<int64_t>(1, frames));
  for (int64_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(f + 1) * step;
    const float* x = in + static_cast<size_t>(f) * c;
    double sum = 0;
    for (size_t i = 0; i < c; ++i) sum += (from[i] + (mix.weights[i] - from[i]) * t) * x[i];
    out[f] = static_cast<float>(sum);
  }
}

}  // namespace kelvora
