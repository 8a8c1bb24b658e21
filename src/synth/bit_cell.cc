// Bit cells. A cell spans 1/baud_rate seconds from a grid point of the lower
// carrier; its frames sit at the running clock, which advances by repeated
// addition of 1/sampling_rate. Samples store the negated sine at full level:
// 8-bit as 128 - 127v (unsigned), 16-bit as -32767v (signed, low byte first);
// a lower level scales 127 and 32767, inverting negates them. Every channel of
// a frame holds the same sample.
//
// Every byte is the one the plain computation makes (doc/exactness.md): a
// cell whose frames stay inside one binade of the clock is placed in whole
// units of that binade (frame_times.h) and is a copy of a proven template
// when one fits (cell_templates.h); otherwise the tone is walked through it
// (tone_kernels.h). Any other cell has its frame times from the same closed
// form where it applies, and its samples from the polynomial sine.
#include "synth/bit_cell.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>

#include "cli/settings.h"
#include "synth/cell_templates.h"
#include "synth/fast_sine.h"
#include "synth/frame_times.h"
#include "synth/tone_kernels.h"

namespace kelvora {

double clock = 0.0;

namespace {
constexpr double two_pi = 6.283185307179586;

// Cells without a template wait in a batch: then walks make their samples,
// the polynomial sine those the walks leave in doubt and those of cells
// outside the closed form, and the library the few still in doubt.
constexpr uint64_t batch_frames = 4096;

// Room past the last cell, for copying a template in whole 32-byte moves.
constexpr size_t copy_slack = 64;

// Settings-derived values every cell needs, worked out once per settings.
struct cell_plan {
  int32_t baud_rate = 0, sampling_rate = 0, channels = 0, quantization_bits = 0, lower_carrier = 0;
  double level_percent = 0;
  bool invert = false;
  double length = 0;           // 1 / baud_rate
  double step = 0;             // 1 / sampling_rate
  double scale = 0;            // sample_scale()
  sample_code code{0, 0};      // quantization_bits and scale
  double carrier = 0;          // lower_carrier
  double angular[2] = {0, 0};  // 2 pi times the frequency of a 0 cell and of a 1 cell
  double chain = 0;            // grid indices from one cell to the next: lower_carrier / baud_rate
  uint64_t frame_bytes = 0;
  uint64_t max_frames = 0;
  uint64_t classes = 0;        // offsets of a cell's first frame from its start: baud / gcd(rate, baud)
  bool templates_pay = false;  // whether the recording repeats its classes often enough
};

cell_plan plan;

// Frames of the recording being written; unknown (0) outside a conversion.
uint64_t recording_frames = 0;

// The binade of the clock the last cells ran in (empty until a cell runs).
binade_grid binade{0, 0, 0, 0, 0};

// A template no cell fits, for a tone that has none yet.
const cell_template no_template{INFINITY, -INFINITY, 0, 0, 0, 0, nullptr};

// Whether templates are proven in the clock's binade.
bool templates_pay_here = false;

// Per tone, the rotation that walks it in the clock's binade.
walk_rotation rotation[2];

// Per tone, the template the last copied cell came from.
const cell_template* current[2] = {&no_template, &no_template};

// Forgets the binade and every template.
void forget_state() {
  binade = {0, 0, 0, 0, 0};
  current[0] = current[1] = &no_template;
  forget_templates(0);
}

void update_plan() {
  if (plan.baud_rate == settings.baud_rate && plan.sampling_rate == settings.sampling_rate &&
      plan.channels == settings.channels && plan.quantization_bits == settings.quantization_bits &&
      plan.lower_carrier == settings.lower_carrier && plan.level_percent == settings.level_percent &&
      plan.invert == settings.invert) {
    return;
  }
  plan.baud_rate = settings.baud_rate;
  plan.sampling_rate = settings.sampling_rate;
  plan.channels = settings.channels;
  plan.quantization_bits = settings.quantization_bits;
  plan.lower_carrier = settings.lower_carrier;
  plan.level_percent = settings.level_percent;
  plan.invert = settings.invert;
  plan.length = 1.0 / settings.baud_rate;
  plan.step = 1.0 / settings.sampling_rate;
  plan.scale = sample_scale();
  plan.code = {plan.quantization_bits, plan.scale};
  plan.carrier = settings.lower_carrier;
  plan.angular[0] = two_pi * settings.lower_carrier;
  plan.angular[1] = two_pi * (2.0 * settings.lower_carrier);
  plan.chain = settings.lower_carrier / settings.baud_rate;
  plan.frame_bytes = static_cast<uint64_t>(bytes_per_frame());
  plan.max_frames = static_cast<uint64_t>(settings.sampling_rate / settings.baud_rate) + 2;
  plan.classes = static_cast<uint64_t>(settings.baud_rate / std::gcd(settings.sampling_rate, settings.baud_rate));
  clear_templates(static_cast<int64_t>(plan.max_frames * plan.frame_bytes));
  forget_state();
  // A template per class and tone is proven at about the cost of making its
  // cell once; it pays when the recording comes back to each class a few
  // times and the store holds them all.
  const uint64_t cells = recording_frames / std::max<uint64_t>(1, plan.max_frames - 2);
  plan.templates_pay = templates_fit(plan.classes) && (recording_frames == 0 || cells >= 8 * plan.classes);
}

// A cell waiting in the batch for its samples.
struct pending_cell {
  size_t offset;           // of its bytes in the reserved output room
  uint64_t first, frames;  // its samples in the batch
  int64_t d0;              // a walked cell: its offset from its start, in units of the binade
  int32_t tone;            // a walked cell's tone; -1 for a cell whose phases are listed
  bool keep;               // whether a template may be proven for it
};

// The samples of one batch of cells, and the phases the polynomials have to
// settle: every frame of a cell that is not walked, and the frames a walk
// leaves in doubt.
struct batch {
  int sample[batch_frames + 8];
  int doubt[batch_frames + 8];
  uint64_t count = 0;  // samples
  double phase[batch_frames + 8];
  int phase_sample[batch_frames + 8];
  int phase_doubt[batch_frames + 8];
  uint32_t phase_frame[batch_frames];  // the sample each phase belongs to
  uint64_t phases = 0;
  pending_cell cell[batch_frames];
  uint64_t cells = 0;
};

batch the_batch;

// Walks a cell of the batch; lists the phases of the frames it leaves in doubt.
void walk_cell(batch& b, const pending_cell& c) {
  const double w = plan.angular[c.tone];
  const double x0 = static_cast<double>(c.d0) * binade.unit;
  const double D = static_cast<double>(binade.increment) * binade.unit;
  const walk_result walked =
      walk_tone(w, x0, D, c.frames, rotation[c.tone], plan.code, b.sample + c.first, b.doubt + c.first);
  if (walked == walk_result::sure) return;
  for (uint64_t k = 0; k < c.frames; ++k) {
    if (walked == walk_result::in_doubt && b.doubt[c.first + k] == 0) continue;
    b.phase[b.phases] = w * (x0 + static_cast<double>(k) * D);  // w * (t_k - s), exactly
    b.phase_frame[b.phases++] = static_cast<uint32_t>(c.first + k);
  }
}

// Stores samples as frames: every channel the same sample, 16-bit samples
// low byte first.
template <int bits, int channels>
void store_frames(const int* sample, uint64_t count, unsigned char* p) {
  for (uint64_t i = 0; i < count; ++i) {
    if constexpr (bits == 8) {
      for (int c = 0; c < channels; ++c) *p++ = static_cast<unsigned char>(sample[i]);
    } else {
      const auto value = static_cast<uint16_t>(sample[i]);
      for (int c = 0; c < channels; ++c) {
        *p++ = static_cast<unsigned char>(value & 0xFF);
        *p++ = static_cast<unsigned char>(value >> 8);
      }
    }
  }
}

void store_samples(const int* sample, uint64_t count, unsigned char* p) {
  const bool wide = plan.quantization_bits == 16;
  if (plan.channels == 1) {
    wide ? store_frames<16, 1>(sample, count, p) : store_frames<8, 1>(sample, count, p);
  } else {
    wide ? store_frames<16, 2>(sample, count, p) : store_frames<8, 2>(sample, count, p);
  }
}

// Every sample of the batch: walks first, then the listed phases.
void synthesise_batch(batch& b) {
  for (uint64_t n = 0; n < b.cells; ++n) {
    if (b.cell[n].tone >= 0) walk_cell(b, b.cell[n]);
  }
  settle_phases(b.phase, b.phases, plan.code, b.phase_sample, b.phase_doubt);
  for (uint64_t i = 0; i < b.phases; ++i) b.sample[b.phase_frame[i]] = b.phase_sample[i];
  b.phases = 0;
}

// Lists the phases of the cell [s, e) at angular frequency w from time t
// on (at least one frame, at most `most`) as samples of the batch; returns
// how many, t moved on. Frame times are those of repeated addition, inside
// a binade in closed form.
uint64_t add_cell_phases(batch& b, uint64_t most, double w, double s, double e, double& t) {
  const double step = plan.step;
  double* phase = b.phase + b.phases;
  uint64_t frames = 0;
  do {
    const frame_progression p = progression_at(t, step);
    if (p.increment > 0) {
      // Frames t + i*D below the binade's end are exact, and so is the one
      // after them while it stays below; the first one past is a plain sum.
      const uint64_t j = std::min(most - frames, steps_to_reach(t, p.increment, std::min(e, p.limit)));
      for (uint64_t i = 0; i < j; ++i) phase[frames + i] = w * ((t + static_cast<double>(i) * p.increment) - s);
      frames += j;
      const double next = t + static_cast<double>(j) * p.increment;
      t = next < p.limit ? next : (t + static_cast<double>(j - 1) * p.increment) + step;
    } else {
      phase[frames++] = w * (t - s);
      t += step;
    }
  } while (frames < most && t < e);
  for (uint64_t i = 0; i < frames; ++i) b.phase_frame[b.phases + i] = static_cast<uint32_t>(b.count + i);
  b.phases += frames;
  b.count += frames;
  return frames;
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
      frames += add_cell_phases(b, batch_frames, w, s, e, t);
      const uint64_t bytes = b.count * plan.frame_bytes;
      synthesise_batch(b);
      store_samples(b.sample, b.count, reserve_space(out, bytes));
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
  synthesise_batch(b);
  for (uint64_t n = 0; n < b.cells; ++n) {
    const pending_cell& c = b.cell[n];
    unsigned char* bytes = run.base + c.offset;
    store_samples(b.sample + c.first, c.frames, bytes);
    const auto frames = static_cast<int64_t>(c.frames);
    if (!c.keep || !templates_pay_here || find_template(c.tone, frames, static_cast<double>(c.d0)) != nullptr) {
      continue;
    }
    count_template_miss(frames);
    const template_key key{plan.angular[c.tone], binade.increment,       binade.unit,
                           plan.scale,           plan.quantization_bits, static_cast<int32_t>(plan.frame_bytes)};
    const cell_template* kept = keep_template(key, c.tone, c.d0, frames, bytes);
    if (kept != nullptr) current[c.tone] = kept;
  }
  b.count = 0;
  b.cells = 0;
}

// Whether a template is likely to serve its class of d0 a few times in the
// binade. The frame increment is not the step exactly, so each class moves
// by `drift` units every time it comes back (after frames_per_round frames);
// a template reaches about as far as its frames' nearest code boundary, half
// a code over the frames of a cell, at the faster tone.
bool templates_last(const binade_grid& z) {
  const double frames_per_round = static_cast<double>(plan.sampling_rate / std::gcd(plan.sampling_rate, plan.baud_rate));
  const double drift = frames_per_round * std::fabs(static_cast<double>(z.increment) - plan.step * z.per_unit);
  const double codes = std::fabs(plan.scale);
  const double reach = 1 / (2 * codes * static_cast<double>(plan.max_frames) * plan.angular[1] * z.unit);
  return reach >= 16 * drift;
}

// Makes the binade of t the current one; the cells waiting for the sine
// are finished first, since their templates belong to the old one.
void enter_binade(double t, cell_run& run) {
  finish_batch(run);
  binade = binade_at(t, plan.step);
  const double D = static_cast<double>(binade.increment) * binade.unit;
  for (int tone = 0; tone < 2; ++tone) rotation[tone] = walk_rotation_for(plan.angular[tone], D);
  current[0] = current[1] = &no_template;
  forget_templates(binade.increment);
  templates_pay_here = plan.templates_pay && templates_last(binade);
}

// The start and end of the cells with grid indices m, m + chain, ... in
// units of the binade: s = index / carrier and e = s + length, as
// cell_start makes them, times per_unit (a power of two).
template <int width>
[[gnu::always_inline]] inline void cell_bounds_lanes(double m, int32_t cells, double per_unit, double* start,
                                                     double* finish) {
  using real = typename sine_lanes<width>::real;
  real index = m + lane_numbers<width> * plan.chain;
  const double stride = width * plan.chain;
  for (int32_t j = 0; j < cells; j += width, index += stride) {
    const real s = index / plan.carrier;
    const real a = s * per_unit;
    const real b = (s + plan.length) * per_unit;
    __builtin_memcpy(start + j, &a, sizeof a);
    __builtin_memcpy(finish + j, &b, sizeof b);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void cell_bounds_avx2(double m, int32_t cells, double per_unit, double* start,
                                              double* finish) {
  cell_bounds_lanes<4>(m, cells, per_unit, start, finish);
}
#endif

void cell_bounds(double m, int32_t cells, double per_unit, double* start, double* finish) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) {
    cell_bounds_avx2(m, cells, per_unit, start, finish);
    return;
  }
#endif
  cell_bounds_lanes<2>(m, cells, per_unit, start, finish);
}

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

// Copies a template's bytes to p, in whole 32-byte moves where it is short.
inline void copy_template(unsigned char* p, const cell_template& c) {
  if (c.size <= 32) {
    std::memcpy(p, c.bytes, 32);
  } else if (c.size <= 64) {
    std::memcpy(p, c.bytes, 64);
  } else {
    std::memcpy(p, c.bytes, static_cast<size_t>(c.size));
  }
}

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
                                                         uint64_t tones, double& T, unsigned char*& p,
                                                         int64_t& copied, const cell_template& zero,
                                                         const cell_template& one, double increment,
                                                         double until_units) {
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
  unsigned char* q = p;
  double T_first = T;
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
  T = T_first;
  p = q;
  copied += done;
  return std::min(j, cells);
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] int32_t copy_fitting_avx2(const double* start, const double* finish, int32_t cells,
                                                  uint64_t tones, double& T, unsigned char*& p, int64_t& copied,
                                                  const cell_template& zero, const cell_template& one,
                                                  double increment, double until_units) {
  return copy_fitting_lanes<4>(start, finish, cells, tones, T, p, copied, zero, one, increment, until_units);
}
#endif

int32_t copy_fitting(const double* start, const double* finish, int32_t cells, uint64_t tones, double& T,
                     unsigned char*& p, int64_t& copied, double increment, double until_units) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) {
    return copy_fitting_avx2(start, finish, cells, tones, T, p, copied, *current[0], *current[1], increment,
                             until_units);
  }
#endif
  return copy_fitting_lanes<2>(start, finish, cells, tones, T, p, copied, *current[0], *current[1], increment,
                               until_units);
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
  const binade_grid z = binade;
  const double increment = static_cast<double>(z.increment);
  const double inverse_increment = 1.0 / increment;
  const double binade_end = 0x1p53;  // the binade's limit in units
  // Start and end of every cell, as the plain computation makes them; the
  // cells whose next frame still lies inside the binade.
  double start[64 + 4];
  double finish[64 + 4];
  cell_bounds(static_cast<double>(static_cast<int64_t>(grid)), cells, z.per_unit, start, finish);
  if (!(start[0] >= binade_end / 2)) return true;
  int32_t inside = cells;
  while (inside > 0 && !(finish[inside - 1] + increment < binade_end)) --inside;

  const double until_units = until * z.per_unit;
  const auto frame_bytes = static_cast<int64_t>(plan.frame_bytes);
  batch& b = the_batch;
  double T = t * z.per_unit;
  unsigned char* p = run.base + run.used;
  int64_t copied = 0;
  bool going = true;
  int32_t j = 0;
  const uint64_t tones = ones >> i;
  while (j < inside) {
    const double E = finish[j];
    const double d0 = T - start[j];
    const auto tone = static_cast<int32_t>((tones >> j) & 1);
    // The cells that fit the last template of their tone are copies; where
    // one cell does not, a look at it alone saves looking at four.
    if (!(T < until_units)) break;
    const cell_template& c = *current[tone];
    if (d0 >= c.low && d0 <= c.high && T + c.span - increment < E && T + c.span >= E) {
      const int32_t fitting = copy_fitting(start + j, finish + j, inside - j, tones >> j, T, p, copied, increment,
                                           until_units);
      j += fitting;
      if (fitting > 0) continue;  // always: the first cell passes the same test there
    }
    // Cells in classes of d0: the template kept nearest d0, when it fits.
    const cell_template* near = template_near(tone, d0);
    if (near != nullptr && near->tone == tone && d0 >= near->low && d0 <= near->high &&
        T + near->span - increment < E && T + near->span >= E) {
      current[tone] = near;
      copy_template(p, *near);
      copied += near->frames;
      T += near->span;
      p += near->size;
      ++j;
      continue;
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
    const cell_template* found = find_template(tone, frames, d0);
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
                           static_cast<int64_t>(d0), tone, may_keep};
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
  return going;
}

}  // namespace

void reset_clock() {
  clock = 0.0;
  forget_state();
}

void expect_recording(uint64_t frames) {
  recording_frames = frames;
  plan.baud_rate = 0;  // the plan is worked out anew for this recording
}

double cell_start(double t) {
  const double carrier = settings.lower_carrier;
  // The clock is never negative, so truncation is the floor.
  const double grid_index = carrier * t + grid_tolerance;
  return static_cast<double>(static_cast<int64_t>(grid_index)) / carrier;
}

int64_t emit_cells(uint64_t ones, int32_t count, double until, output_stream& out) {
  update_plan();
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
    const uint64_t frames = add_cell_phases(b, plan.max_frames, plan.angular[(ones >> i) & 1], s, e, t);
    b.cell[b.cells++] = {run.used, first, frames, 0, -1, false};
    run.used += frames * plan.frame_bytes;
    ++i;
  }
  finish_batch(run);
  commit_space(out, run.used);
  clock = t;
  return static_cast<int64_t>(run.used);
}

}  // namespace kelvora
