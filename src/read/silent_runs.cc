// Runs of exact zeros, found a block of 16 samples at a time: a mask of the
// block's zeros (made in vector lanes) tells a block of silence, one of
// sound, and one whose only zeros are those of a tone's crossings, where
// just the zeros at its two ends can belong to a run.
#include "read/silent_runs.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kelvora {

namespace {

constexpr int64_t block = 16;  // samples tested at once
constexpr uint32_t all_zero = (1u << block) - 1;

void close_run(silent_runs& s, int64_t end) {
  if (s.zeros_from >= 0 && end - s.zeros_from >= shortest_silent_run && s.runs.size() < most_silent_runs) {
    s.runs.push_back({s.zeros_from, end});
  }
  s.zeros_from = -1;
}

// A sample's magnitude as an unsigned number that orders as the magnitude
// does: a float's bits without the sign (the samples are finite), a short's
// absolute value. Integers, so that the loops below run in vector lanes.
// (Copied: the web build's library lacks std::bit_cast.)
inline uint32_t magnitude(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits & 0x7FFFFFFFu;
}
inline uint32_t magnitude(short v) { return static_cast<uint32_t>(std::abs(static_cast<int>(v))); }
inline double full_scale_of(uint32_t m, float) {
  float v;
  std::memcpy(&v, &m, sizeof v);
  return v;
}
inline double full_scale_of(uint32_t m, short) { return m / 32768.0; }

// Notes x[i, end) sample by sample.
template <typename T>
void note_each(silent_runs& s, const T* x, int64_t i, int64_t end, int64_t base) {
  for (; i < end; ++i) {
    if (magnitude(x[i]) == 0) {
      if (s.zeros_from < 0) s.zeros_from = base + i;
    } else {
      close_run(s, base + i);
    }
  }
}

template <typename T>
void note(silent_runs& s, const T* x, int64_t n) {
  const int64_t base = s.frames;
  uint32_t top = 0;
  int64_t i = 0;
  for (; i + block <= n; i += block) {
    // Bit j: sample i + j is 0.
    uint32_t zero = 0, most = 0;
    for (int64_t j = 0; j < block; ++j) {
      const uint32_t m = magnitude(x[i + j]);
      zero |= (m == 0 ? 1u : 0u) << j;
      most = std::max(most, m);
    }
    top = std::max(top, most);
    if (zero == all_zero) {
      if (s.zeros_from < 0) s.zeros_from = base + i;
      continue;
    }
    if ((zero & (zero >> 1) & (zero >> 2) & (zero >> 3)) != 0) {
      note_each(s, x, i, i + block, base);  // a run long enough to count lies within: rare
      continue;
    }
    // Else only zeros at the block's ends can be part of a run: those that
    // end one going on, and those that may begin one.
    // (Builtins: the web build's library lacks std::countr_one.)
    if (s.zeros_from >= 0) close_run(s, base + i + __builtin_ctz(~zero));
    const int last = __builtin_clz(~(zero << (32 - block)));
    if (last > 0) s.zeros_from = base + i + block - last;
  }
  for (; i < n; ++i) top = std::max(top, magnitude(x[i]));
  note_each(s, x, n - (n % block), n, base);
  s.frames = base + n;
  s.peak = std::max(s.peak, full_scale_of(top, T{}));
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
