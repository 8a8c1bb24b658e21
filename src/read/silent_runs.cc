// Runs of exact zeros, found a block of 16 samples at a time: a mask of the
// block's zeros (made in vector lanes, with the samples' extremes) tells a
// block of silence, one of sound, and one whose only zeros are those of a
// tone's crossings, where just the zeros at its two ends can belong to a run.
#include "read/silent_runs.h"

#include <algorithm>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Notes x[i, end) sample by sample.
template <typename T>
void note_each(silent_runs& s, const T* x, int64_t i, int64_t end, int64_t base) {
  for (; i < end; ++i) {
    if (x[i] == 0) {
      if (s.zeros_from < 0) s.zeros_from = base + i;
    } else {
      close_run(s, base + i);
    }
  }
}

// The largest magnitude of samples between low and high, full scale 1.
inline double full_scale(short high, short low) { return std::max(static_cast<int>(high), -static_cast<int>(low)) / 32768.0; }
inline double full_scale(float high, float low) { return std::max(static_cast<double>(high), -static_cast<double>(low)); }

// The samples' extremes so far (a float 0 is either sign of zero, and a
// sample that is not a number is passed over), and the blocks' masks of
// zeros: in vector lanes where the processor has them.
template <typename T>
struct block_scan {
  T high = 0, low = 0;
  // Bit j: x[j] is 0, for the block of 16 at x; its extremes taken in.
  uint32_t zeros(const T* x) {
    uint32_t mask = 0;
    for (int64_t j = 0; j < block; ++j) {
      take(x[j]);
      mask |= (x[j] == 0 ? 1u : 0u) << j;
    }
    return mask;
  }
  void take(T v) {
    high = v > high ? v : high;
    low = v < low ? v : low;
  }
  double peak() const { return full_scale(high, low); }
};

#if defined(__SSE2__)
template <>
struct block_scan<short> {
  __m128i high = _mm_setzero_si128(), low = _mm_setzero_si128();
  uint32_t zeros(const short* x) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + 8));
    high = _mm_max_epi16(high, _mm_max_epi16(a, b));
    low = _mm_min_epi16(low, _mm_min_epi16(a, b));
    const __m128i zero = _mm_setzero_si128();
    // Each lane's 0 or -1 packed to a byte, and the bytes' top bits gathered.
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero))));
  }
  void take(short v) {
    high = _mm_max_epi16(high, _mm_set1_epi16(v));
    low = _mm_min_epi16(low, _mm_set1_epi16(v));
  }
  double peak() const {
    alignas(16) short h[8];
    alignas(16) short l[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(h), high);
    _mm_store_si128(reinterpret_cast<__m128i*>(l), low);
    return full_scale(*std::max_element(h, h + 8), *std::min_element(l, l + 8));
  }
};

template <>
struct block_scan<float> {
  __m128 high = _mm_setzero_ps(), low = _mm_setzero_ps();
  uint32_t zeros(const float* x) {
    uint32_t mask = 0;
    for (int k = 0; k < 4; ++k) {
      const __m128 v = _mm_loadu_ps(x + 4 * k);
      // maxps and minps return their second operand where either is not a number.
      high = _mm_max_ps(v, high);
      low = _mm_min_ps(v, low);
      mask |= static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpeq_ps(v, _mm_setzero_ps()))) << (4 * k);
    }
    return mask;
  }
  void take(float v) {
    high = _mm_max_ps(_mm_set1_ps(v), high);
    low = _mm_min_ps(_mm_set1_ps(v), low);
  }
  double peak() const {
    alignas(16) float h[4];
    alignas(16) float l[4];
    _mm_store_ps(h, high);
    _mm_store_ps(l, low);
    return full_scale(*std::max_element(h, h + 4), *std::min_element(l, l + 4));
  }
};
#endif

template <typename T>
void note(silent_runs& s, const T* x, int64_t n) {
  const int64_t base = s.frames;
  block_scan<T> scan;
  int64_t i = 0;
  for (; i + block <= n; i += block) {
    const uint32_t zero = scan.zeros(x + i);  // bit j: sample i + j is 0
    if (zero == all_zero) {
      if (s.zeros_from < 0) s.zeros_from = base + i;
      continue;
    }
    if (zero == 0) {
      if (s.zeros_from >= 0) close_run(s, base + i);
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
  for (int64_t j = i; j < n; ++j) scan.take(x[j]);
  note_each(s, x, i, n, base);
  s.frames = base + n;
  s.peak = std::max(s.peak, scan.peak());
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
