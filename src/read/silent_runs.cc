// Runs of exact zeros, found a block of samples at a time: a block without a
// zero (most of a tone) or without anything else (silence) is passed in one
// test, which the compiler makes a few vector instructions.
#include "read/silent_runs.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace kelvora {

namespace {

constexpr int64_t block = 16;

void close_run(silent_runs& s, int64_t end) {
  if (s.zeros_from >= 0 && end - s.zeros_from >= shortest_silent_run && s.runs.size() < most_silent_runs) {
    s.runs.push_back({s.zeros_from, end});
  }
  s.zeros_from = -1;
}

// The largest magnitude in x[0, n), full scale 1.
double largest(const float* x, int64_t n) {
  float m = 0;
  for (int64_t i = 0; i < n; ++i) m = std::max(m, std::fabs(x[i]));
  return m;
}

double largest(const short* x, int64_t n) {
  int m = 0;
  for (int64_t i = 0; i < n; ++i) m = std::max(m, std::abs(static_cast<int>(x[i])));
  return m / 32768.0;
}

template <typename T>
void note(silent_runs& s, const T* x, int64_t n) {
  s.peak = std::max(s.peak, largest(x, n));
  const int64_t base = s.frames;
  int64_t i = 0;
  while (i < n) {
    if (i + block <= n) {
      int zeros = 0;
      for (int64_t j = 0; j < block; ++j) zeros += x[i + j] == T{0} ? 1 : 0;
      if (zeros == 0) {
        close_run(s, base + i);
        i += block;
        continue;
      }
      if (zeros == block) {
        if (s.zeros_from < 0) s.zeros_from = base + i;
        i += block;
        continue;
      }
    }
    const int64_t end = std::min(n, i + block);
    for (; i < end; ++i) {
      if (x[i] == T{0}) {
        if (s.zeros_from < 0) s.zeros_from = base + i;
      } else {
        close_run(s, base + i);
      }
    }
  }
  s.frames = base + n;
}

}  // namespace

void note_silence(silent_runs& s, const float* x, int64_t n) { note(s, x, n); }

void note_silence(silent_runs& s, const short* x, int64_t n) { note(s, x, n); }

void end_silence(silent_runs& s) {
  close_run(s, s.frames);
  s.ended = true;
}

const frame_run* silent_run_at(const silent_runs& s, int64_t f) {
  const auto after = std::upper_bound(s.runs.begin(), s.runs.end(), f,
                                      [](int64_t v, const frame_run& r) { return v < r.start; });
  if (after == s.runs.begin()) return nullptr;
  const frame_run& r = *(after - 1);
  return f < r.end ? &r : nullptr;
}

}  // namespace kelvora
