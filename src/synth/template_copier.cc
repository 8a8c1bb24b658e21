// The vector template copier (template_copier.h). Runs of cells are proven
// from their first and last cell and copied in blocks of four; a group of
// cells is tested lane by lane: each lane's first frame is the run's T plus the spans
// of the cells before it (whole units, exact), and a lane fits when its d0
// lies in its template's interval, its frame count is the template's and it
// starts before the run's end; the copies stop at the first lane that fails.
#include "synth/template_copier.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>

#include "synth/fast_sine.h"
#include "synth/tone_kernels.h"

namespace kelvora {

namespace {

// A group of four cells by its tone bits: the 1 cells before each lane, and
// 1.0 where a lane is a 1 cell.
struct tone_group {
  double ones_before[4];
  double one[4];
};

constexpr std::array<tone_group, 16> make_tone_groups() {
  std::array<tone_group, 16> groups{};
  for (unsigned bits = 0; bits < 16; ++bits) {
    double before = 0;
    for (unsigned lane = 0; lane < 4; ++lane) {
      groups[bits].ones_before[lane] = before;
      groups[bits].one[lane] = (bits >> lane) & 1;
      before += (bits >> lane) & 1;
    }
  }
  return groups;
}

constexpr std::array<tone_group, 16> tone_groups = make_tone_groups();

// How many lanes of a lane mask, from lane 0 on, are set.
template <int width>
[[gnu::always_inline]] inline int leading_lanes(const typename sine_lanes<width>::mask& m) {
  // All of them, the common case, in two comparisons of whole words.
  const typename sine_lanes<width>::whole lanes = __builtin_convertvector(m, typename sine_lanes<width>::whole);
  uint64_t words[sizeof lanes / 8];
  __builtin_memcpy(words, &lanes, sizeof lanes);
  bool all = true;
  for (const uint64_t word : words) all = all && word == ~uint64_t{0};
  if (all) return width;
  int k = 0;
  while (m[k] != 0) ++k;
  return k;
}

// Copies the cells, from the first on, that fit the current template of
// their tone (zero for 0 cells, one for 1 cells) and start before until,
// looking at `width` cells at a time; returns how many. T, p and copied
// move past them: T becomes the first frame of the first cell that does
// not fit. Each cell's T is T plus the spans of the cells before it, exactly.
template <int width>
[[gnu::always_inline]] inline int32_t copy_fitting_lanes(const double* start, const double* finish, int32_t cells,
                                                         uint64_t tones, copy_position& at,
                                                         const copy_limits& limits) {
  const cell_template& zero = *limits.zero;
  const cell_template& one = *limits.one;
  const double increment = limits.increment;
  const double until_units = limits.until;
  using real = typename sine_lanes<width>::real;
  using mask = typename sine_lanes<width>::mask;
  // The templates' fields in locals: stores through p may alias any memory.
  const double zero_span = zero.span;
  const double one_span = one.span;
  const mask zero_span_lanes = (mask)(real{} + zero_span);
  const mask one_span_lanes = (mask)(real{} + one_span);
  const mask zero_low = (mask)(real{} + zero.low);
  const mask one_low = (mask)(real{} + one.low);
  const mask zero_high = (mask)(real{} + zero.high);
  const mask one_high = (mask)(real{} + one.high);
  const unsigned char* const bytes[2] = {zero.bytes, one.bytes};
  const int64_t sizes[2] = {zero.size, one.size};
  const int64_t frames[2] = {zero.frames, one.frames};
  const bool short_cells = sizes[0] <= 32 && sizes[1] <= 32;  // copied in one 32-byte move
  const real lane = lane_numbers<width>;
  unsigned char* q = at.p;
  double T_first = at.T;
  int64_t done = 0;
  int32_t j = 0;
  for (; j < cells; j += width) {
    const unsigned bits = (tones >> j) & ((1U << width) - 1);
    real ones_before;
    real one_lane;
    __builtin_memcpy(&ones_before, tone_groups[bits].ones_before, sizeof ones_before);
    __builtin_memcpy(&one_lane, tone_groups[bits].one, sizeof one_lane);
    real S;
    real E;
    __builtin_memcpy(&S, start + j, sizeof S);
    __builtin_memcpy(&E, finish + j, sizeof E);
    const mask is_one = one_lane != 0;
    const real T_lane = T_first + (lane - ones_before) * zero_span + ones_before * one_span;
    // Each lane's template: the 1 cell's where the lane is one, else the 0 cell's.
    const real span = (real)((one_span_lanes & is_one) | (zero_span_lanes & ~is_one));
    const real low = (real)((one_low & is_one) | (zero_low & ~is_one));
    const real high = (real)((one_high & is_one) | (zero_high & ~is_one));
    const real d0 = T_lane - S;
    const real next = T_lane + span;
    const mask fits = (lane < static_cast<double>(cells - j)) & (T_lane < until_units) & (d0 >= low) &
                      (d0 <= high) & (next - increment < E) & (next >= E);
    const int k = leading_lanes<width>(fits);  // the lanes before the first that does not fit
    for (int l = 0; l < k; ++l) {
      const unsigned tone = (bits >> l) & 1;
      if (short_cells) {
        __builtin_memcpy(q, bytes[tone], 32);
      } else {
        __builtin_memcpy(q, bytes[tone], static_cast<size_t>(sizes[tone]));
      }
      q += sizes[tone];
      done += frames[tone];
    }
    if (k < width) {
      T_first = T_lane[k];
      j += k;
      break;
    }
    T_first = T_lane[width - 1] + span[width - 1];
  }
  at.T = T_first;
  at.p = q;
  at.copied += done;
  return std::min(j, cells);
}

// Cells whose bytes a run copies four at a time, and the run proven at once.
constexpr int32_t most_run_cell_bytes = 64;
constexpr int32_t run_cells = 16;

// The bytes of four cells back to back for each pattern of their tones (bit
// l: cell l is a 1 cell), made of two templates.
struct block_table {
  uint64_t zero = 0, one = 0;  // serials of the templates they are made of (0: none)
  alignas(32) unsigned char block[16][4 * most_run_cell_bytes + 64];
};

block_table blocks;

// The starts and ends of a call's cells, listed.
struct listed_bounds {
  const double* start;
  const double* finish;
};

// Copies runs of run_cells cells that all fit the templates of their tones,
// each run proven from its first and last cell alone (doc/exactness.md, "Runs
// of cells" under "Cell templates"); returns how many cells. The cells'
// bounds come listed, or from their grid indices (then the run's first cell
// must start and its last end inside the binade, as a listed cell does).
template <class bounds>
int32_t copy_runs(const bounds& cells_at, int32_t cells, uint64_t tones, copy_position& at,
                  const copy_limits& limits) {
  const cell_template& zero = *limits.zero;
  const cell_template& one = *limits.one;
  if (cells < 1 || zero.serial == 0 || one.serial == 0 || zero.frames != one.frames || zero.size != one.size ||
      zero.size > most_run_cell_bytes) {
    return 0;
  }
  const int32_t size = zero.size;
  const double span = zero.span;
  if (blocks.zero != zero.serial || blocks.one != one.serial) {
    for (unsigned bits = 0; bits < 16; ++bits) {
      for (unsigned lane = 0; lane < 4; ++lane) {
        std::memcpy(blocks.block[bits] + lane * static_cast<unsigned>(size), ((bits >> lane) & 1 ? one : zero).bytes,
                    static_cast<size_t>(size));
      }
    }
    blocks.zero = zero.serial;
    blocks.one = one.serial;
  }
  // Every offset both templates hold, a unit in from either end: a cell's
  // start is rounded by up to half a unit.
  const double low = std::max(zero.low, one.low) + 1;
  const double high = std::min(zero.high, one.high) - 1;
  const auto block_bytes = static_cast<size_t>(4 * size);
  double T = at.T;
  unsigned char* p = at.p;
  int32_t done = 0;
  // The last run may be shorter, where its last block (copied whole) reaches
  // no farther past its cells than the room past the last cell.
  const int32_t last_run = block_bytes <= 64 ? 1 : run_cells;
  while (done + last_run <= cells) {
    const int32_t n = std::min(run_cells, cells - done);
    double S_first, S_last, E_first;
    if constexpr (std::is_same_v<bounds, listed_bounds>) {
      S_first = cells_at.start[done];
      S_last = cells_at.start[done + n - 1];
      E_first = cells_at.finish[done];
    } else {
      const double s_first = cells_at.start_of(done);
      const double s_last = cells_at.start_of(done + n - 1);
      S_first = s_first * cells_at.per_unit;
      S_last = s_last * cells_at.per_unit;
      E_first = (s_first + cells_at.length) * cells_at.per_unit;
      const double top = 0x1p53;  // the binade's end, in units
      if (!(S_first >= top / 2 && (s_last + cells_at.length) * cells_at.per_unit + limits.increment < top)) break;
    }
    const double last = T + (n - 1) * span;  // whole units: exact
    const double first_d0 = T - S_first;
    const double last_d0 = last - S_last;
    const double least = std::min(first_d0, last_d0);
    const double most = std::max(first_d0, last_d0);
    const double length = E_first - S_first;  // within a unit of every cell's E - S
    if (!(last < limits.until && least >= low && most <= high && length - least + 3 <= span &&
          length - most - 3 > span - limits.increment)) {
      break;
    }
    const uint64_t bits = tones >> done;
    for (int32_t k = 0; 4 * k < n; ++k) {
      const unsigned char* from = blocks.block[(bits >> (4 * k)) & 15];
      if (block_bytes <= 32) {
        std::memcpy(p, from, 32);
      } else if (block_bytes <= 64) {
        std::memcpy(p, from, 64);
      } else {
        std::memcpy(p, from, block_bytes);
      }
      p += static_cast<size_t>(std::min(4, n - 4 * k)) * static_cast<size_t>(size);
    }
    T = last + span;
    done += n;
  }
  at.T = T;
  at.p = p;
  at.copied += done * zero.frames;
  return done;
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] int32_t copy_fitting_avx2(const double* start, const double* finish, int32_t cells,
                                                  uint64_t tones, copy_position& at, const copy_limits& limits) {
  return copy_fitting_lanes<4>(start, finish, cells, tones, at, limits);
}
#endif

}  // namespace

int32_t copy_runs_by_grid(const cell_grid& grid, int32_t cells, uint64_t tones, copy_position& at,
                          const copy_limits& limits) {
  return copy_runs(grid, cells, tones, at, limits);
}

int32_t copy_by_class(const double* start, const double* finish, int32_t cells, uint64_t tones, copy_position& at,
                      const template_index& index, double increment, double until) {
  double T = at.T;
  unsigned char* q = at.p;
  int64_t copied = 0;
  int32_t j = 0;
  for (; j < cells && T < until; ++j) {
    const double E = finish[j];
    const double d0 = T - start[j];
    const auto tone = static_cast<int32_t>((tones >> j) & 1);
    const double b = d0 * index.per_bucket;
    const int16_t n = index.bucket[tone][static_cast<size_t>(b > 0 ? std::min(b, index.last_bucket) : 0)];
    if (n < 0) break;
    const cell_template& c = index.kept[n];
    const double next = T + c.span;
    if (!(c.tone == tone && d0 >= c.low && d0 <= c.high && next - increment < E && next >= E)) break;
    copy_template(q, c);
    q += c.size;
    T = next;
    copied += c.frames;
  }
  at.T = T;
  at.p = q;
  at.copied += copied;
  return j;
}

int32_t copy_fitting(const double* start, const double* finish, int32_t cells, uint64_t tones, copy_position& at,
                     const copy_limits& limits) {
  const int32_t runs = copy_runs(listed_bounds{start, finish}, cells, tones, at, limits);
  if (runs == cells) return runs;
  start += runs;
  finish += runs;
  cells -= runs;
  tones >>= runs;
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) return runs + copy_fitting_avx2(start, finish, cells, tones, at, limits);
#endif
  return runs + copy_fitting_lanes<2>(start, finish, cells, tones, at, limits);
}

}  // namespace kelvora
