// Frame times in closed form. Inside the binade [2^k, 2^(k+1)) every double
// is a multiple of u = 2^(k-52), so t + step rounds to t + D with
// D = round(step / u) * u for every t there, unless step / u lies exactly
// halfway between two integers (then the rounding depends on t). Frames
// t + i*D that stay below 2^(k+1) are exact; the frame that leaves the binade
// is made by the plain addition. Cells chain on the lower-carrier grid: while
// the grid index stays below 2^31, the cell after the one with index m has
// index m + lower_carrier / baud_rate, so a run of cells inside one binade is
// counted by locating its last cell's end alone. doc/exactness.md has the
// argument.
#include "synth/frame_times.h"

#include <algorithm>
#include <cmath>

#include "cli/settings.h"
#include "synth/bit_cell.h"

namespace kelvora {

namespace {

// The end of the cell with grid index m, as the tone generator computes it.
double cell_end(int64_t m) {
  return static_cast<double>(m) / settings.lower_carrier + 1.0 / settings.baud_rate;
}

// How many cells j = 0, 1, ... from grid index m (every r) end at or before x.
uint64_t cells_ending_by(int64_t m, int64_t r, double x) {
  const double estimate = std::floor((settings.lower_carrier * x - static_cast<double>(m)) / r);
  uint64_t n = estimate > 0 ? static_cast<uint64_t>(std::min(estimate, chain_grid_limit)) : 0;
  while (n > 0 && cell_end(m + static_cast<int64_t>(n - 1) * r) > x) --n;
  while (cell_end(m + static_cast<int64_t>(n) * r) <= x) ++n;
  return n;
}

}  // namespace

frame_progression progression_at(double t, double step) {
  if (!(t > 0) || !std::isnormal(t) || !std::isfinite(t)) return {0, 0};
  const int k = std::ilogb(t);
  const double u = std::ldexp(1.0, k - 52);
  const double q = step / u;  // exact: a power-of-two scaling
  if (!(q < 0x1p52)) return {0, 0};  // one step leaves the binade
  const double whole = std::floor(q);
  const double fraction = q - whole;
  if (fraction == 0.5) return {0, 0};  // a tie: rounding depends on t
  const double increment = (fraction < 0.5 ? whole : whole + 1) * u;
  if (increment == 0) return {0, 0};  // t + step == t
  return {increment, std::ldexp(1.0, k + 1)};
}

binade_grid binade_at(double t, double step) {
  const frame_progression p = progression_at(t, step);
  if (p.increment == 0) return {0, 0, 0, 0, 0};
  const double per_unit = std::ldexp(1.0, 53) / p.limit;  // a power of two: exact
  return {p.limit / 2, p.limit, p.limit / std::ldexp(1.0, 53), per_unit,
          static_cast<int64_t>(p.increment * per_unit)};
}

uint64_t steps_to_reach(double t, double increment, double bound) {
  if (t >= bound) return 0;
  const double q = std::ceil((bound - t) / increment);
  uint64_t i = q < 0x1p53 ? static_cast<uint64_t>(q) : uint64_t{1} << 53;
  while (i > 0 && t + static_cast<double>(i - 1) * increment >= bound) --i;
  while (t + static_cast<double>(i) * increment < bound) ++i;
  return i;
}

uint64_t frames_until(double& t, double end, double step, uint64_t budget) {
  uint64_t n = 0;
  while (t < end && n <= budget) {
    const frame_progression p = progression_at(t, step);
    if (p.increment > 0) {
      const uint64_t inside = steps_to_reach(t, p.increment, p.limit) - 1;  // exact frames after t
      if (end <= p.limit) {
        const uint64_t i = steps_to_reach(t, p.increment, end);
        if (i <= inside) {
          t += static_cast<double>(i) * p.increment;
          return n + i;
        }
      }
      t += static_cast<double>(inside) * p.increment;
      n += inside;
    }
    t += step;  // the plain addition: at 0, at a tie, or out of the binade
    ++n;
  }
  return n;
}

uint64_t count_cell_frames_run(double& t, uint64_t cells, double until, uint64_t budget,
                               uint64_t& cells_done) {
  const double carrier = settings.lower_carrier;
  const double step = 1.0 / settings.sampling_rate;
  const int64_t r = settings.lower_carrier / settings.baud_rate;
  uint64_t frames = 0;
  uint64_t done = 0;
  while (done < cells && until > t && frames <= budget) {
    const double grid = carrier * t + grid_tolerance;
    const frame_progression p = progression_at(t, step);
    if (grid < chain_grid_limit && p.increment > 0) {
      const auto m = static_cast<int64_t>(grid);
      const uint64_t exact = steps_to_reach(t, p.increment, p.limit);  // frames i < exact are exact
      const double last = t + static_cast<double>(exact - 1) * p.increment;
      uint64_t k = std::min(cells - done, cells_ending_by(m, r, last));
      if (until <= last) {
        // The run stops after the first cell whose end lies past the last frame before until.
        const uint64_t i = steps_to_reach(t, p.increment, until);
        const double before = t + static_cast<double>(i - 1) * p.increment;
        k = std::min(k, cells_ending_by(m, r, before) + 1);
      }
      if (k >= 1 && t < cell_end(m) &&
          static_cast<double>(m) + static_cast<double>(k) * r < chain_grid_limit) {
        const uint64_t i = steps_to_reach(t, p.increment, cell_end(m + static_cast<int64_t>(k - 1) * r));
        t += static_cast<double>(i) * p.increment;
        frames += i;
        done += k;
        continue;
      }
    }
    // One cell the plain way: it crosses a binade, or the chain does not apply.
    const double e = cell_start(t) + 1.0 / settings.baud_rate;
    if (!(t < e)) break;  // an empty cell: the tone generator stops here too
    frames += frames_until(t, e, step, budget - frames);
    ++done;
  }
  cells_done = done;
  return frames;
}

}  // namespace kelvora
