// The cell plan. Cells start on the grid of the lower carrier, a whole number
// of its periods apart, and frames fall every 1/sampling_rate: the offset of
// a cell's first frame from its start takes baud / gcd(rate, baud) values,
// coming round every rate / gcd(rate, baud) frames. A cell with grid index
// m starts at m / carrier and ends a cell length later.
#include "synth/cell_plan.h"

#include <algorithm>
#include <numeric>

#include "cli/settings.h"
#include "synth/cell_templates.h"
#include "synth/class_templates.h"
#include "synth/fast_sine.h"
#include "synth/tone_kernels.h"

namespace kelvora {

namespace {

// Frames of the recording being written; unknown (0) outside a conversion.
uint64_t recording_frames = 0;

// Set when the next update must work the plan out whatever the settings.
bool stale = true;

}  // namespace

void expect_recording(uint64_t frames) {
  recording_frames = frames;
  stale = true;
}

bool update_cell_plan(cell_plan& plan) {
  if (!stale && plan.baud_rate == settings.baud_rate && plan.sampling_rate == settings.sampling_rate &&
      plan.channels == settings.channels && plan.quantization_bits == settings.quantization_bits &&
      plan.lower_carrier == settings.lower_carrier && plan.level_percent == settings.level_percent &&
      plan.invert == settings.invert) {
    return false;
  }
  stale = false;
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
  const int32_t common = std::gcd(settings.sampling_rate, settings.baud_rate);
  plan.classes = static_cast<uint64_t>(settings.baud_rate / common);
  plan.round_frames = static_cast<uint64_t>(settings.sampling_rate / common);
  clear_templates(static_cast<int64_t>(plan.max_frames * plan.frame_bytes));
  // A template per class and tone is proven at about the cost of making its
  // cell once; it pays when the recording comes back to each class a few
  // times and the store holds them all.
  const uint64_t cells = recording_frames / std::max<uint64_t>(1, plan.max_frames - 2);
  plan.templates_pay = templates_fit(plan.classes) && (recording_frames == 0 || cells >= 8 * plan.classes);
  // A class template is made once per tone and class, about the cost of
  // making its cell, and then patched a frame at a time: it pays once the
  // recording comes back to each class a few times.
  plan.class_templates = (recording_frames == 0 || cells >= 4 * plan.classes) && use_class_templates(plan);
  return true;
}

namespace {

// The start and end of the cells with grid indices m, m + chain, ... in
// units of the binade: s = index / carrier and e = s + length, as
// cell_start makes them, times per_unit (a power of two).
template <int width>
[[gnu::always_inline]] inline void cell_bounds_lanes(const cell_plan& plan, double m, int32_t cells, double per_unit,
                                                     double* start, double* finish) {
  using real = typename sine_lanes<width>::real;
  // In locals: the stores below may alias any double.
  const double carrier = plan.carrier;
  const double length = plan.length;
  real index = m + lane_numbers<width> * plan.chain;
  const double stride = width * plan.chain;
  for (int32_t j = 0; j < cells; j += width, index += stride) {
    const real s = index / carrier;
    const real a = s * per_unit;
    const real b = (s + length) * per_unit;
    __builtin_memcpy(start + j, &a, sizeof a);
    __builtin_memcpy(finish + j, &b, sizeof b);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void cell_bounds_avx2(const cell_plan& plan, double m, int32_t cells, double per_unit,
                                              double* start, double* finish) {
  cell_bounds_lanes<4>(plan, m, cells, per_unit, start, finish);
}
#endif

}  // namespace

void cell_bounds(const cell_plan& plan, double m, int32_t cells, double per_unit, double* start, double* finish) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) {
    cell_bounds_avx2(plan, m, cells, per_unit, start, finish);
    return;
  }
#endif
  cell_bounds_lanes<2>(plan, m, cells, per_unit, start, finish);
}

}  // namespace kelvora
