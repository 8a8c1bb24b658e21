// Bit cells. A cell spans 1/baud_rate seconds from a grid point of the lower
// carrier; its frames sit at the running clock, which advances by repeated
// addition of 1/sampling_rate. Samples store the negated sine at full level:
// 8-bit as 128 - 127v (unsigned), 16-bit as -32767v (signed, low byte first);
// a lower level scales 127 and 32767, inverting negates them. Every channel of
// a frame holds the same sample.
#include "synth/bit_cell.h"

#include <algorithm>
#include <cmath>

#include "cli/settings.h"
#include "synth/fast_sine.h"

namespace kelvora {

double clock = 0.0;

namespace {

constexpr double two_pi = 6.283185307179586;

// Cells are synthesised in batches: first the phases of every frame of
// several cells (a serial chain of additions for the frame times), then every
// sample of the batch from the fast sine without a branch, and last the
// library sine for the few samples the fast one leaves in doubt. Batches are
// large enough for the processor to overlap the work of many frames.
constexpr uint64_t batch_frames = 4096;

// Settings-derived values every cell needs, worked out once per settings.
struct cell_plan {
  int32_t baud_rate = 0, sampling_rate = 0, channels = 0, quantization_bits = 0;
  double length = 0;  // 1 / baud_rate
  double step = 0;    // 1 / sampling_rate
  double scale = 0;   // sample_scale()
  uint64_t frame_bytes = 0;
  uint64_t max_frames = 0;
};

const cell_plan& current_plan() {
  static cell_plan plan;
  if (plan.baud_rate != settings.baud_rate || plan.sampling_rate != settings.sampling_rate ||
      plan.channels != settings.channels || plan.quantization_bits != settings.quantization_bits ||
      plan.scale != sample_scale()) {
    plan.baud_rate = settings.baud_rate;
    plan.sampling_rate = settings.sampling_rate;
    plan.channels = settings.channels;
    plan.quantization_bits = settings.quantization_bits;
    plan.length = 1.0 / settings.baud_rate;
    plan.step = 1.0 / settings.sampling_rate;
    plan.scale = sample_scale();
    plan.frame_bytes = static_cast<uint64_t>(bytes_per_frame());
    plan.max_frames = static_cast<uint64_t>(settings.sampling_rate / settings.baud_rate) + 2;
  }
  return plan;
}

template <int bits>
int encode_sample(double v, double scale) {
  if constexpr (bits == 8) {
    return encode_8bit(v, scale);
  } else {
    return encode_16bit(v, scale);
  }
}

// Samples of the phases; count is a multiple of width (the caller pads).
// doubt receives, per phase, whether the library sine has to settle it.
template <int bits, int width>
[[gnu::always_inline]] inline void synthesise_lanes(const double* phase, uint64_t count, double scale,
                                                    int* sample, int* doubt) {
  using real = typename sine_lanes<width>::real;
  using mask = typename sine_lanes<width>::mask;
  using whole = typename sine_lanes<width>::whole;
  whole any_doubt{};
  for (uint64_t i = 0; i < count; i += width) {
    real x;
    __builtin_memcpy(&x, phase + i, sizeof x);
    real v;
    real bound;
    mask usable;
    sine_estimate<width>(x, v, bound, usable);
    // No clamping to [-1, 1] is needed: a lane within 1e-15 of a peak is a
    // near-peak lane, whose estimate is exact (bound 0).
    const real top = v + bound;
    const real bottom = v - bound;
    whole low;
    whole high;
    if constexpr (bits == 8) {
      // The encoding is monotone in v (falling, or rising when inverted).
      low = __builtin_convertvector(128.0 - scale * top, whole);
      high = __builtin_convertvector(128.0 - scale * bottom, whole);
    } else {
      low = __builtin_convertvector(-scale * top, whole);
      high = __builtin_convertvector(-scale * bottom, whole);
    }
    const whole doubtful = (low != high) | (__builtin_convertvector(usable, whole) == 0);
    __builtin_memcpy(sample + i, &low, sizeof low);
    __builtin_memcpy(doubt + i, &doubtful, sizeof doubtful);
    any_doubt |= doubtful;
  }
  bool any = false;
  for (int lane = 0; lane < width; ++lane) any = any || any_doubt[lane] != 0;
  if (!any) return;
  for (uint64_t i = 0; i < count; ++i) {
    if (doubt[i] != 0) sample[i] = encode_sample<bits>(std::sin(phase[i]), scale);
  }
}

template <int bits>
void synthesise_default(const double* phase, uint64_t count, double scale, int* sample, int* doubt) {
  synthesise_lanes<bits, 2>(phase, count, scale, sample, doubt);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <int bits>
[[gnu::target("avx2")]] void synthesise_avx2(const double* phase, uint64_t count, double scale,
                                             int* sample, int* doubt) {
  synthesise_lanes<bits, 4>(phase, count, scale, sample, doubt);
}

bool has_avx2() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}
#endif

// The phases of one batch and the samples made from them.
struct batch {
  double phase[batch_frames + 4];
  int sample[batch_frames + 4];
  int doubt[batch_frames + 4];
  uint64_t count = 0;
};

batch& the_batch() {
  static batch b;
  return b;
}

// Turns the batch's phases into samples.
template <int bits>
void synthesise(batch& b) {
  const uint64_t padded = (b.count + 3) & ~uint64_t{3};
  for (uint64_t i = b.count; i < padded; ++i) b.phase[i] = 0.0;
  const double scale = current_plan().scale;
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) {
    synthesise_avx2<bits>(b.phase, padded, scale, b.sample, b.doubt);
    return;
  }
#endif
  synthesise_default<bits>(b.phase, padded, scale, b.sample, b.doubt);
}

// Stores the batch's samples as frames: every channel the same sample,
// 16-bit samples low byte first.
template <int bits, int channels>
void store_frames(const batch& b, unsigned char* p) {
  for (uint64_t i = 0; i < b.count; ++i) {
    if constexpr (bits == 8) {
      for (int c = 0; c < channels; ++c) *p++ = static_cast<unsigned char>(b.sample[i]);
    } else {
      const auto value = static_cast<uint16_t>(b.sample[i]);
      for (int c = 0; c < channels; ++c) {
        *p++ = static_cast<unsigned char>(value & 0xFF);
        *p++ = static_cast<unsigned char>(value >> 8);
      }
    }
  }
}

// Synthesises the batch and appends its frames.
void write_batch(batch& b, output_stream& out) {
  const cell_plan& plan = current_plan();
  const uint64_t bytes = b.count * plan.frame_bytes;
  const bool wide = plan.quantization_bits == 16;
  if (wide) {
    synthesise<16>(b);
  } else {
    synthesise<8>(b);
  }
  unsigned char* p = reserve_space(out, bytes);
  if (plan.channels == 1) {
    wide ? store_frames<16, 1>(b, p) : store_frames<8, 1>(b, p);
  } else {
    wide ? store_frames<16, 2>(b, p) : store_frames<8, 2>(b, p);
  }
  commit_space(out, bytes);
  b.count = 0;
}

// Appends the phases of the cell [s, e) at angular frequency w from time t
// on (at least one frame, at most `most`); returns how many, t moved on.
uint64_t add_cell_phases(batch& b, uint64_t most, double w, double s, double e, double& t) {
  const double step = current_plan().step;
  uint64_t frames = 0;
  do {
    b.phase[b.count + frames] = w * (t - s);
    ++frames;
    t += step;
  } while (frames < most && t < e);
  b.count += frames;
  return frames;
}

// A cell longer than a batch, written batch by batch.
uint64_t emit_long_cell(double w, double s, double e, output_stream& out) {
  double t = clock;
  batch& b = the_batch();
  uint64_t frames = 0;
  do {
    frames += add_cell_phases(b, batch_frames, w, s, e, t);
    write_batch(b, out);
  } while (t < e);
  clock = t;
  return frames;
}

}  // namespace

void reset_clock() { clock = 0.0; }

double cell_start(double t) {
  const double carrier = settings.lower_carrier;
  // The clock is never negative, so truncation is the floor.
  const double grid_index = carrier * t + grid_tolerance;
  return static_cast<double>(static_cast<int64_t>(grid_index)) / carrier;
}

int64_t emit_cells(const double* frequency, int64_t count, double until, output_stream& out) {
  const cell_plan& plan = current_plan();
  uint64_t frames = 0;
  batch& b = the_batch();
  b.count = 0;  // a batch never outlives a call, not even one that failed
  double t = clock;
  for (int64_t i = 0; i < count && until > t; ++i) {
    const double s = cell_start(t);
    const double e = s + plan.length;
    // A clock at or past the cell's end writes nothing, and so would every
    // cell after it: the run stops.
    if (!(t < e)) break;
    const double w = two_pi * frequency[i];
    if (plan.max_frames > batch_frames) {
      clock = t;
      frames += emit_long_cell(w, s, e, out);
      t = clock;
      continue;
    }
    if (b.count + plan.max_frames > batch_frames) {
      write_batch(b, out);
      clock = t;
    }
    frames += add_cell_phases(b, plan.max_frames, w, s, e, t);
  }
  if (b.count > 0) write_batch(b, out);
  clock = t;
  return static_cast<int64_t>(frames * plan.frame_bytes);
}

int64_t emit_bit_cell(double frequency, output_stream& out) {
  return emit_cells(&frequency, 1, INFINITY, out);
}

}  // namespace kelvora
