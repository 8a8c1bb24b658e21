// Runs of class cells (class_runs.h). A run is proven from a cell on: the
// first cell of each class is made a copy of both its templates, and then
// every class's d0 lies within a unit of the line through its first and last
// cell's, whose tests decide for all; the copies take the bytes of the tones
// from tables laid out per position in the round of classes.
#include "synth/class_runs.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "synth/class_templates.h"
#include "synth/tone_kernels.h"

namespace kelvora {

namespace {

// Cells proven ahead of the clock (doc/exactness.md, "Runs of class
// cells"): from the cell whose first frame is at T, of class k, `cells`
// cells are copies of the templates of their class, whichever their tones.
// Position i of the tables stands for class i mod classes, up to
// classes + 64, so that a call's cells (64 at most) read them from their
// first class on without coming round.
struct proven_run {
  uint64_t changes = 0;  // of the class templates when it was proven
  double T = 0;
  int64_t cells = 0;
  uint64_t k = 0;
  int32_t move = 0;  // bytes each cell's copy moves: 32 or 64, or 0 for the cell's own
  // Cells to pass before a run is tried again, and how many after the next
  // try that fails: where the templates hold only a few rounds at a time,
  // runs are tried seldom.
  int64_t wait = 0, backoff = 0;
  uint64_t positions = 0;
  std::vector<const unsigned char*> from;  // per position, a 0 cell's bytes and a 1 cell's
  std::vector<int64_t> size;               // per position, a cell's bytes
  std::vector<int64_t> offset;             // per position, bytes of the positions before it
  std::vector<double> before;              // per position, units of the positions before it
  // Four cells back to back from each class, for each pattern of their
  // tones (bit l: cell l is a 1 cell), block_move bytes apart (0: the run
  // is copied cell by cell); the bytes of the four cells from each class;
  // the class of each position.
  int32_t block_move = 0;
  std::vector<unsigned char> blocks;
  std::vector<int64_t> block_size;
  std::vector<uint64_t> class_at;
  std::vector<double> span;     // per class, the span of its cells
  std::vector<uint64_t> stamp;  // per class, the latest stamp of its templates
  int32_t built_move = 0;       // the block_move the blocks were laid out for
  std::vector<uint64_t> block_stamp;  // per class, the latest stamp of the templates of its block
  // Per class, while a run is proven: its first cell's T and d0, and the
  // offsets every cell of the class must keep to.
  std::vector<double> first_T, first_d0, least, most;
};

proven_run run;

// Whether the cells from grid index m on, the first of class k0 with its
// first frame at T, start a run proven ahead; lays its tables out where they
// do. The first cell of each class is made a copy of both its templates (a
// template that does not hold it is made to, as the cell alone would make
// it); every later cell of the class has a d0 within a unit of the line
// through its first and last cell's (doc/exactness.md, "Runs of class
// cells"), so those two decide for all.
bool prove_run(const cell_plan& plan, const binade_grid& z, double m, double T, uint64_t k0) {
  run.cells = 0;
  const uint64_t classes = plan.classes;
  if (run.positions != classes + 65) {
    run.positions = classes + 65;
    run.from.resize(2 * run.positions);
    run.size.resize(run.positions);
    run.offset.resize(run.positions);
    run.before.resize(run.positions);
    run.block_size.resize(classes);
    run.block_stamp.assign(classes, 0);
    run.span.resize(classes);
    run.stamp.resize(classes);
    run.built_move = 0;
    run.class_at.resize(run.positions);
    for (uint64_t i = 0; i < run.positions; ++i) run.class_at[i] = i % classes;
    run.first_T.resize(classes);
    run.first_d0.resize(classes);
    run.least.resize(classes);
    run.most.resize(classes);
  }
  const double increment = static_cast<double>(z.increment);
  const double top = 0x1p53;  // the binade's end, in units
  double t = T;
  double length = 0;  // E - S of the first cell: every cell's is within a unit of it
  double first_E = 0;
  for (uint64_t j = 0; j < classes; ++j) {
    const uint64_t k = k0 + j < classes ? k0 + j : k0 + j - classes;
    const double s = (m + static_cast<double>(j) * plan.chain) / plan.carrier;
    const double S = s * z.per_unit;
    const double E = (s + plan.length) * z.per_unit;
    if (!(S >= top / 2 && E + increment < top)) return false;
    if (j == 0) {
      length = E - S;
      first_E = E;
    }
    const double d0 = t - S;
    if (!hold_class_cell(plan, 0, k, t, E, d0) || !hold_class_cell(plan, 1, k, t, E, d0)) return false;
    // Every cell of the class: d0 a unit inside both templates' intervals,
    // and E - T, within two units of length - d0, in the span's frames.
    const class_view zero = class_template_of(0, k);
    const class_view one = class_template_of(1, k);
    const double span = zero.span;
    run.least[k] = std::max({zero.low + 1, one.low + 1, length - span + 2});
    run.most[k] = std::min({zero.high - 1, one.high - 1, length - span + increment - 3});
    if (!(d0 >= run.least[k] && d0 <= run.most[k])) return false;
    run.first_T[k] = t;
    run.first_d0[k] = d0;
    t += span;
  }
  const double round = t - T;  // units of a round of classes, exact
  // How many cells to try: a class's d0 moves by about `drift` a round, and
  // the run is first tried a round past where the first class would leave
  // its interval, and a cell past the binade's end (the estimates decide
  // only how long a run is tried; the proof below, whether it holds).
  const double per_cell = plan.chain / plan.carrier * z.per_unit;
  const double drift = std::fabs(round - static_cast<double>(classes) * per_cell);
  const bool rising = round > static_cast<double>(classes) * per_cell;
  double cells = std::floor(std::min({0x1p20, (top - first_E) / per_cell + 1, (chain_grid_limit - m) / plan.chain}));
  for (uint64_t k = 0; k < classes && drift > 0; ++k) {
    const double room = rising ? run.most[k] - run.first_d0[k] : run.first_d0[k] - run.least[k];
    const double first = static_cast<double>(k >= k0 ? k - k0 : k + classes - k0);
    cells = std::min(cells, first + (std::floor(room / drift) + 1) * static_cast<double>(classes) + 1);
  }
  // The proof: the chain stays below its limit and the last cell ends
  // inside the binade (a cell less at a time), and the last cell of each
  // class holds: a class whose last cell fails ends the run before it.
  const double fewest = std::max(64.0, 4.0 * static_cast<double>(classes));
  const auto last_ends_inside = [&](double n) {
    const double s = (m + (n - 1) * plan.chain) / plan.carrier;
    return m + n * plan.chain < chain_grid_limit && (s + plan.length) * z.per_unit + increment < top;
  };
  for (int tries = 0;; ++tries) {
    for (int less = 0; less < 4 && cells >= fewest && !last_ends_inside(cells); ++less) --cells;
    if (tries == 4 || !(cells >= fewest && last_ends_inside(cells))) return false;
    const auto n = static_cast<uint64_t>(cells);
    for (uint64_t k = 0; k < classes; ++k) {
      const uint64_t first = k >= k0 ? k - k0 : k + classes - k0;
      const uint64_t last = first + (n - 1 - first) / classes * classes;
      const double last_T = run.first_T[k] + static_cast<double>((last - first) / classes) * round;
      const double s = (m + static_cast<double>(last) * plan.chain) / plan.carrier;
      const double d0 = last_T - s * z.per_unit;
      if (!(d0 >= run.least[k] && d0 <= run.most[k])) cells = std::min(cells, static_cast<double>(last));
    }
    if (cells == static_cast<double>(n)) break;
  }
  int64_t bytes = 0;
  double units = 0;
  int32_t largest = 0;
  for (uint64_t i = 0; i < run.positions; ++i) {
    if (i < classes) {
      const class_view zero = class_template_of(0, i);
      const class_view one = class_template_of(1, i);
      run.from[2 * i] = zero.bytes;
      run.from[2 * i + 1] = one.bytes;
      run.size[i] = zero.size;
      run.span[i] = zero.span;
      run.stamp[i] = std::max(zero.stamp, one.stamp);
      largest = std::max(largest, zero.size);
    } else {
      run.from[2 * i] = run.from[2 * (i - classes)];
      run.from[2 * i + 1] = run.from[2 * (i - classes) + 1];
      run.size[i] = run.size[i - classes];
    }
    run.offset[i] = bytes;
    run.before[i] = units;
    bytes += run.size[i];
    units += run.span[run.class_at[i]];
  }
  run.move = largest <= 32 ? 32 : largest <= 64 ? 64 : 0;
  // Blocks of four cells pay where they serve many cells: laying them out
  // costs some sixty copies of a cell per class.
  run.block_move = 4 * largest <= 64 ? 64 : 4 * largest <= 128 ? 128 : 0;
  if (!(cells >= 80.0 * static_cast<double>(classes) && has_avx2())) run.block_move = 0;
  if (run.block_move != 0) {
    // The blocks of classes whose templates changed since they were laid
    // out; all of them for another size of block.
    const auto block_move = static_cast<uint64_t>(run.block_move);
    if (run.built_move != run.block_move) {
      run.blocks.resize(classes * 16 * block_move + 32);
      std::fill(run.block_stamp.begin(), run.block_stamp.end(), 0);
      run.built_move = run.block_move;
    }
    for (uint64_t k = 0; k < classes; ++k) {
      uint64_t latest = 0;
      for (uint64_t lane = 0; lane < 4; ++lane) latest = std::max(latest, run.stamp[run.class_at[k + lane]]);
      if (latest == run.block_stamp[k]) continue;
      run.block_stamp[k] = latest;
      for (uint64_t bits = 0; bits < 16; ++bits) {
        unsigned char* to = run.blocks.data() + (k * 16 + bits) * block_move;
        for (uint64_t lane = 0; lane < 4; ++lane) {
          std::memcpy(to, run.from[2 * (k + lane) + ((bits >> lane) & 1)], 32);  // cells of at most 32 bytes
          to += run.size[k + lane];
        }
      }
      run.block_size[k] = run.offset[k + 4] - run.offset[k];
    }
  }
  run.changes = class_template_changes();
  run.T = T;
  run.cells = static_cast<int64_t>(cells);
  run.k = k0;
  return true;
}

// Copies n cells of the proven run from position k on to p, tone j bit j of
// tones, each in a move of `move` bytes (0: its own size).
template <int move, bool wide>
[[gnu::always_inline]] inline void copy_run_lanes(const proven_run& run, uint64_t k, int32_t n, uint64_t tones,
                                                  unsigned char* p) {
  const unsigned char* const* const from = run.from.data() + 2 * k;
  const int64_t* const size = run.size.data() + k;
#pragma GCC unroll 4
  for (int32_t j = 0; j < n; ++j) {
    const unsigned char* bytes = from[2 * j + (tones & 1)];
    tones >>= 1;
    move_cell<move, wide>(p, bytes, size[j]);
    p += size[j];
  }
}

// Copies the first n - n mod 4 cells of the proven run from position k on
// to p, four cells at a time in a move of `block_move` bytes from the block
// of their class and tones; returns p moved past them.
template <int block_move>
[[gnu::always_inline]] inline unsigned char* copy_run_blocks(const proven_run& run, uint64_t k, int32_t n,
                                                             uint64_t tones, unsigned char* p) {
  const unsigned char* const blocks = run.blocks.data();
  const uint64_t* const class_at = run.class_at.data() + k;
  const int64_t* const block_size = run.block_size.data();
  for (int32_t j = 0; j + 4 <= n; j += 4) {
    const uint64_t at_class = class_at[j];
    move_bytes<block_move, true>(p, blocks + (at_class * 16 + ((tones >> j) & 15)) * block_move);
    p += block_size[at_class];
  }
  return p;
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void copy_run_avx2(const proven_run& run, uint64_t k, int32_t n, uint64_t tones,
                                           unsigned char* p) {
  if (run.block_move != 0) {
    p = run.block_move == 64 ? copy_run_blocks<64>(run, k, n, tones, p) : copy_run_blocks<128>(run, k, n, tones, p);
    const int32_t blocked = n - n % 4;
    k += static_cast<uint64_t>(blocked);
    n -= blocked;
    tones = blocked == 64 ? 0 : tones >> blocked;
  }
  if (run.move == 32) {
    copy_run_lanes<32, true>(run, k, n, tones, p);
  } else {
    copy_run_lanes<64, true>(run, k, n, tones, p);
  }
}
#endif

void copy_run_cells(const proven_run& run, uint64_t k, int32_t n, uint64_t tones, unsigned char* p) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (run.move != 0 && has_avx2()) {
    copy_run_avx2(run, k, n, tones, p);
    return;
  }
#endif
  if (run.move == 32) {
    copy_run_lanes<32, false>(run, k, n, tones, p);
  } else if (run.move == 64) {
    copy_run_lanes<64, false>(run, k, n, tones, p);
  } else {
    copy_run_lanes<0, false>(run, k, n, tones, p);
  }
}

}  // namespace

int32_t copy_proven_run(const cell_plan& plan, const binade_grid& z, const class_call& call, copy_position& at) {
  const uint64_t classes = plan.classes;
  uint64_t k = call.first_class;
  int32_t done = 0;
  while (done < call.cells) {
    if (!(run.cells > 0 && run.T == at.T && run.k == k && run.changes == class_template_changes())) {
      if (run.wait > 0) {
        run.wait -= call.cells - done;
        break;
      }
      if (!prove_run(plan, z, call.m + done * plan.chain, at.T, k)) {
        run.wait = run.backoff;
        run.backoff = std::min<int64_t>(2 * run.backoff + 64, 4096);
        break;
      }
      run.backoff = 0;
    }
    const double* before = run.before.data() + k;
    auto n = static_cast<int32_t>(std::min<int64_t>(call.cells - done, run.cells));
    const bool all = at.T + (before[n - 1] - before[0]) < call.until;
    if (!all) {  // the cells before the first that starts at or past until
      n = 0;
      while (at.T + (before[n] - before[0]) < call.until) ++n;
    }
    copy_run_cells(run, k, n, call.tones >> done, at.p);
    at.p += run.offset[k + static_cast<uint64_t>(n)] - run.offset[k];
    at.T += before[n] - before[0];
    done += n;
    k = (k + static_cast<uint64_t>(n)) % classes;
    run.T = at.T;
    run.cells -= n;
    run.k = k;
    if (!all) break;
  }
  return done;
}

}  // namespace kelvora
