// Bit cells. A cell spans 1/baud_rate seconds from a grid point of the lower
// carrier; its frames sit at the running clock, which advances by repeated
// addition of 1/sampling_rate. Its samples are those of the sine of its tone
// (sample_format.h).
//
// Every byte is the one the plain computation makes (doc/exactness.md): a
// cell whose frames stay inside one binade of the clock is placed in whole
// units of that binade (frame_times.h) and is a copy of a proven template
// when one fits (cell_templates.h, copied by template_copier.h); otherwise it
// waits in a batch (cell_batch.h) where the tone is walked through it. Any
// other cell has its frame times from the same closed form where it applies,
// and its samples from the polynomial sine.
#include "synth/bit_cell.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "cli/settings.h"
#include "synth/cell_batch.h"
#include "synth/cell_plan.h"
#include "synth/cell_templates.h"
#include "synth/class_runs.h"
#include "synth/class_templates.h"
#include "synth/frame_times.h"
#include "synth/sample_format.h"
#include "synth/template_copier.h"
#include "synth/tone_kernels.h"

namespace kelvora {

double clock = 0.0;

namespace {

// Room past the last cell, for copying a template in whole 32-byte moves.
constexpr size_t copy_slack = 64;

batch the_batch;

cell_plan plan;

// The binade of the clock the last cells ran in (empty until a cell runs),
// and the turns that walk the tones there.
walk_frame walk{{0, 0, 0, 0, 0}, {}};
const binade_grid& binade = walk.binade;

// A template no cell fits, for a tone that has none yet.
const cell_template no_template{INFINITY, -INFINITY, 0, 0, 0, 0, nullptr, 0};

// Whether templates are proven in the clock's binade, and whether cells are
// copied from class templates there.
bool templates_pay_here = false;
bool class_templates_here = false;

// Frames of the cells proven as templates in the clock's binade, and frames
// copied there: proving goes on while copies come to ten times the proofs
// (a proof costs a few times making its cell: at three times, cells of 588
// frames at 44100 Hz were proven at a loss).
struct template_yield {
  int64_t proven = 0, copied = 0;
};
template_yield yield;

// Proofs are judged once they have covered this many cells.
constexpr int64_t yield_trial_cells = 64;

// Frames proven for class templates and frames copied from them since
// they began to serve the binade: a proof costs about fifty frames made by
// the walk, and a template of every class and tone is proven whole first.
// Where frames sit on the sine's peaks or zeros (a tone whose period is a
// whole number of frames), their proofs reach hardly past d0 and are made
// anew nearly every visit: the cells are walked instead.
struct class_yield {
  uint64_t proven_before = 0;
  uint64_t copied = 0;
};
class_yield class_trial;

// Starts class templates' trial in the binade; whether they serve it.
bool start_class_templates() {
  class_trial = {class_frames_proven(), 0};
  return enter_class_binade(plan, binade);
}

// With one class, whether whole-cell templates are tried before class
// templates: for cells of at most 8 frames of 8-bit samples, which they copy
// with less work a cell (1.3 times fewer instructions at the defaults);
// longer cells or 16-bit samples gain from class templates (1.7 times at
// the defaults' 16-bit samples, 2.3 at 32 frames a cell, 9.7 at 200).
bool whole_templates_first() { return plan.quantization_bits == 8 && plan.max_frames <= 8 + 2; }

// Per tone, the template the last copied cell came from.
const cell_template* current[2] = {&no_template, &no_template};

// Forgets the binade and every template.
void forget_state() {
  walk.binade = {0, 0, 0, 0, 0};
  current[0] = current[1] = &no_template;
  forget_templates(0);
}

// Cells longer than a batch, each written batch by batch.
int64_t emit_long_cells(uint64_t ones, int32_t count, double until, output_stream& out) {
  batch& b = the_batch;
  b.count = b.phases = b.cells = 0;  // a batch never outlives a call, not even one that failed
  uint64_t frames = 0;
  for (int32_t i = 0; i < count && until > clock; ++i) {
    const double s = cell_start(clock);
    const double e = s + plan.length;
    // A clock at or past the cell's end writes nothing, and so would every
    // cell after it: the run stops.
    if (!(clock < e)) break;
    const double w = plan.angular[(ones >> i) & 1];
    double t = clock;
    do {
      frames += add_cell_phases(b, plan, batch_frames, w, s, e, t);
      const uint64_t bytes = b.count * plan.frame_bytes;
      synthesise_batch(b, plan, walk, nullptr);
      store_samples(b.sample, b.count, plan.quantization_bits, plan.channels, reserve_space(out, bytes));
      commit_space(out, bytes);
      b.count = 0;
    } while (t < e);
    clock = t;
  }
  return static_cast<int64_t>(frames * plan.frame_bytes);
}

// The output room of one call's cells, filled from its start.
struct cell_run {
  unsigned char* base;
  size_t used;  // bytes of the cells placed so far
};

// Synthesises the waiting cells into their places, and proves templates
// for those that may have one where no template holds them yet and proofs
// pay.
void finish_batch(cell_run& run) {
  batch& b = the_batch;
  if (b.cells == 0) return;
  synthesise_batch(b, plan, walk, run.base);
  for (uint64_t n = 0; n < b.cells; ++n) {
    const pending_cell& c = b.cell[n];
    unsigned char* bytes = run.base + c.offset;
    if (!c.stored) store_samples(b.sample + c.first, c.frames, plan.quantization_bits, plan.channels, bytes);
    const auto frames = static_cast<int64_t>(c.frames);
    if (!c.keep || !templates_pay_here || find_template(c.tone, frames, static_cast<double>(c.d0)) != nullptr) {
      continue;
    }
    count_template_miss(frames);
    const template_key key{plan.angular[c.tone], binade.increment,       binade.unit,
                           plan.scale,           plan.quantization_bits, static_cast<int32_t>(plan.frame_bytes)};
    const cell_template* kept = keep_template(key, c.tone, c.d0, frames, bytes);
    yield.proven += frames;
    if (yield.proven >= yield_trial_cells * static_cast<int64_t>(plan.max_frames) && yield.copied < 10 * yield.proven) {
      templates_pay_here = false;
    }
    if (kept != nullptr) current[c.tone] = kept;
  }
  b.count = 0;
  b.cells = 0;
}

// Whether a template is likely to serve its class of d0 a few times in the
// binade. The frame increment is not the step exactly, so each class moves
// by `drift` units every time it comes back (after frames_per_round frames);
// a template reaches about as far as its frames' nearest code boundary, half
// a code over the frames of a cell, at the faster tone. What the templates
// then yield decides whether proving goes on.
bool templates_last(const binade_grid& z) {
  const double drift = static_cast<double>(plan.round_frames) * std::fabs(static_cast<double>(z.increment) - plan.step * z.per_unit);
  const double codes = std::fabs(plan.scale);
  const double reach = 1 / (2 * codes * static_cast<double>(plan.max_frames) * plan.angular[1] * z.unit);
  return reach >= 4 * drift;
}

// Makes the binade of t the current one; the cells waiting for the sine
// are finished first, since their templates belong to the old one.
void enter_binade(double t, cell_run& run) {
  finish_batch(run);
  walk.binade = binade_at(t, plan.step);
  const double D = static_cast<double>(binade.increment) * binade.unit;
  for (int tone = 0; tone < 2; ++tone) walk.rotation[tone] = walk_rotation_for(plan.angular[tone], D);
  current[0] = current[1] = &no_template;
  forget_templates(binade.increment);
  templates_pay_here = plan.templates_pay && templates_last(binade);
  yield = {};
  class_templates_here = plan.class_templates &&
                         (plan.classes > 1 || !templates_pay_here || !whole_templates_first()) &&
                         start_class_templates();
}

// Cells i, i + 1, ... before count in classes of d0, from their class
// templates: first those a run proven ahead holds, then one at a time (grid
// is the first cell's grid index, with its tolerance). As run_in_binade.
bool run_in_classes(uint64_t ones, int32_t count, double until, int32_t& i, double& t, cell_run& run,
                    double grid) {
  const binade_grid z = binade;
  const int32_t cells = count - i;
  const uint64_t tones = ones >> i;
  const double until_units = until * z.per_unit;
  const auto m = static_cast<double>(static_cast<int64_t>(grid));
  // The class of the cell with grid index m is m / chain modulo the classes.
  const auto chain = static_cast<int64_t>(plan.chain);
  const uint64_t first_class = static_cast<uint64_t>(static_cast<int64_t>(grid) / chain) % plan.classes;
  copy_position at{t * z.per_unit, run.base + run.used, 0};
  int32_t j = copy_proven_run(plan, z, {m, cells, tones, first_class, until_units}, at);
  bool going = true;
  if (j < cells && at.T < until_units) {
    double start[64 + 4];
    double finish[64 + 4];
    cell_bounds(plan, m + j * plan.chain, cells - j, z.per_unit, start, finish);
    const double binade_end = 0x1p53;  // the binade's limit in units
    if (start[0] >= binade_end / 2) {
      // The cells whose next frame still lies inside the binade.
      int32_t inside = cells - j;
      while (inside > 0 && !(finish[inside - 1] + static_cast<double>(z.increment) < binade_end)) --inside;
      class_stop stop = class_stop::none;
      const uint64_t k = (first_class + static_cast<uint64_t>(j)) % plan.classes;
      j += copy_class_cells(plan, {start, finish, inside, tones >> j, k, until_units}, at, stop);
      going = stop != class_stop::empty_cell;
    }
  }
  i += j;
  t = at.T * z.unit;
  // Judged once the copies could have paid for the first templates twice.
  class_trial.copied += static_cast<uint64_t>(at.p - (run.base + run.used)) / plan.frame_bytes;
  const uint64_t proven = class_frames_proven() - class_trial.proven_before;
  if (class_trial.copied >= 200 * plan.classes * plan.max_frames && 50 * proven > class_trial.copied) {
    class_templates_here = false;
  }
  run.used = static_cast<size_t>(at.p - run.base);
  return going;
}

// Cells i, i + 1, ... before count while each lies inside the clock's binade
// (t is in it), in whole units of the binade: the cell with grid index m
// starts at S and ends at E, its first frame is at T, d0 = T - S, and the
// cell after it has grid index m + chain. Stops before the first cell that
// leaves the binade or the chain; false when an empty cell ends the call.
bool run_in_binade(uint64_t ones, int32_t count, double until, int32_t& i, double& t, cell_run& run) {
  const double grid = plan.carrier * t + grid_tolerance;
  const int32_t cells = count - i;
  if (!(grid + cells * plan.chain < chain_grid_limit)) return true;
  if (class_templates_here) return run_in_classes(ones, count, until, i, t, run, grid);
  const binade_grid z = binade;
  const double increment = static_cast<double>(z.increment);
  const double inverse_increment = 1.0 / increment;
  const double binade_end = 0x1p53;  // the binade's limit in units
  const double until_units = until * z.per_unit;
  double T = t * z.per_unit;
  unsigned char* p = run.base + run.used;
  int64_t copied = 0;
  int32_t j = 0;
  const uint64_t tones = ones >> i;
  // First the runs of copies, which need the bounds of their first and last
  // cell only.
  const auto m = static_cast<double>(static_cast<int64_t>(grid));
  {
    copy_position at{T, p, copied};
    j = copy_runs_by_grid({m, plan.chain, plan.carrier, plan.length, z.per_unit}, cells, tones, at,
                          {current[0], current[1], increment, until_units});
    T = at.T;
    p = at.p;
    copied = at.copied;
  }
  // Start and end of every cell left, as the plain computation makes them;
  // the cells whose next frame still lies inside the binade.
  double start[64 + 4];
  double finish[64 + 4];
  int32_t inside = j;
  if (j < cells) {
    cell_bounds(plan, m + j * plan.chain, cells - j, z.per_unit, start + j, finish + j);
    if (start[j] >= binade_end / 2) {
      inside = cells;
      while (inside > j && !(finish[inside - 1] + increment < binade_end)) --inside;
    }
  }

  const template_index index = index_of_templates();
  const bool any_kept = templates_kept() > 0;
  const auto frame_bytes = static_cast<int64_t>(plan.frame_bytes);
  batch& b = the_batch;
  bool going = true;
  while (j < inside) {
    const double E = finish[j];
    const double d0 = T - start[j];
    const auto tone = static_cast<int32_t>((tones >> j) & 1);
    // The cells that fit the last template of their tone are copies; where
    // one cell does not, a look at it alone saves looking at four.
    if (!(T < until_units)) break;
    const cell_template& c = *current[tone];
    if (d0 >= c.low && d0 <= c.high && T + c.span - increment < E && T + c.span >= E) {
      copy_position at{T, p, copied};
      const int32_t fitting = copy_fitting(start + j, finish + j, inside - j, tones >> j, at,
                                           {current[0], current[1], increment, until_units});
      T = at.T;
      p = at.p;
      copied = at.copied;
      j += fitting;
      if (fitting > 0) continue;  // always: the first cell passes the same test there
    }
    // Cells in classes of d0: each from the template its d0 finds.
    if (plan.classes > 1 && any_kept) {
      copy_position at{T, p, copied};
      const int32_t fitting = copy_by_class(start + j, finish + j, inside - j, tones >> j, at, index, increment,
                                            until_units);
      if (fitting > 0) {
        T = at.T;
        p = at.p;
        copied = at.copied;
        j += fitting;
        continue;
      }
    }
    if (!(T < E)) {
      going = false;  // an empty cell: the run stops
      break;
    }
    // The least n with T + n * increment >= E: the quotient is within one
    // of it, and exact comparisons settle it.
    auto frames = static_cast<int64_t>((E - T) * inverse_increment);
    while (T + static_cast<double>(frames) * increment < E) ++frames;
    while (frames > 1 && T + static_cast<double>(frames - 1) * increment >= E) --frames;
    if (frames > static_cast<int64_t>(plan.max_frames)) break;
    // (Cells in classes were looked up just above, with the same tests.)
    const cell_template* found = plan.classes > 1 ? nullptr : find_template(tone, frames, d0);
    if (found != nullptr) {
      current[tone] = found;
      copy_template(p, *found);
      copied += frames;
    } else {
      if (b.count + static_cast<uint64_t>(frames) > batch_frames) {
        run.used = static_cast<size_t>(p - run.base);
        finish_batch(run);
      }
      // The cell is walked when the batch is finished.
      const bool may_keep = frames * frame_bytes <= static_cast<int64_t>(most_template_bytes);
      b.cell[b.cells++] = {static_cast<size_t>(p - run.base), b.count, static_cast<uint64_t>(frames),
                           static_cast<int64_t>(d0), tone, may_keep, false};
      b.count += static_cast<uint64_t>(frames);
    }
    T += static_cast<double>(frames) * increment;
    p += frames * frame_bytes;
    ++j;
  }
  i += j;
  t = T * z.unit;
  run.used = static_cast<size_t>(p - run.base);
  count_template_frames(copied);
  yield.copied += copied;
  return going;
}

}  // namespace

void reset_clock() {
  clock = 0.0;
  forget_state();
}

double cell_start(double t) {
  const double carrier = settings.lower_carrier;
  // The clock is never negative, so truncation is the floor.
  const double grid_index = carrier * t + grid_tolerance;
  return static_cast<double>(static_cast<int64_t>(grid_index)) / carrier;
}

int64_t emit_cells(uint64_t ones, int32_t count, double until, output_stream& out) {
  if (update_cell_plan(plan)) forget_state();
  count = std::clamp(count, 0, 64);
  if (plan.max_frames > batch_frames) return emit_long_cells(ones, count, until, out);
  const size_t room = static_cast<size_t>(count) * plan.max_frames * plan.frame_bytes + copy_slack;
  cell_run run{reserve_space(out, room), 0};
  batch& b = the_batch;
  b.count = b.phases = b.cells = 0;  // a batch never outlives a call, not even one that failed
  double t = clock;
  int32_t i = 0;
  while (i < count && until > t) {
    if (!(t >= binade.low && t < binade.limit)) enter_binade(t, run);
    if (binade.increment > 0) {
      if (!run_in_binade(ones, count, until, i, t, run)) break;
      if (i >= count || !(until > t)) break;
    }
    // One cell the plain way: it crosses a binade, or the closed form does not apply.
    const double s = cell_start(t);
    const double e = s + plan.length;
    if (!(t < e)) break;  // an empty cell: the run stops
    if (b.count + plan.max_frames > batch_frames) finish_batch(run);
    const uint64_t first = b.count;
    const uint64_t frames = add_cell_phases(b, plan, plan.max_frames, plan.angular[(ones >> i) & 1], s, e, t);
    b.cell[b.cells++] = {run.used, first, frames, 0, -1, false, false};
    run.used += frames * plan.frame_bytes;
    ++i;
  }
  finish_batch(run);
  commit_space(out, run.used);
  clock = t;
  return static_cast<int64_t>(run.used);
}

}  // namespace kelvora
