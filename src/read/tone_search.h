// Finding a recording's tone: the first steady stretch of the opening (a
// leader), or the upper of two spectral lines an octave apart where data
// comes first.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace kelvora {

// A stretch of the recording and its tone (hz 0: none found).
struct steady_run {
  int64_t start = 0, end = 0;  // samples
  double hz = 0;
};

// A sample as the detection takes it: within full scale, 0 where not a number.
inline double sane_sample(float v) { return std::isfinite(v) ? std::clamp(static_cast<double>(v), -1.0, 1.0) : 0.0; }

// The first steady stretch of at least 0.1 s in x[0, count) at `rate` and its
// mean tone; without one, the upper of two lines an octave apart from the
// first frame with sound on (start == end); hz 0 when neither.
steady_run find_leader(const float* x, int64_t count, double rate);

}  // namespace kelvora
