// The values every bit cell needs, worked out from the settings once: the
// cell's length, the frame step, the tones' angular frequencies, the sample
// format, and how the cells' first frames fall (in classes of offsets, baud
// rate / gcd(sampling rate, baud rate) of them).
#pragma once

#include <cstdint>

#include "synth/sample_format.h"

namespace kelvora {

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
  uint64_t max_frames = 0;     // frames a cell holds at most
  uint64_t classes = 0;        // offsets of a cell's first frame from its start
  uint64_t round_frames = 0;   // frames before the offsets come round again: rate / gcd(rate, baud)
  bool templates_pay = false;  // whether the recording comes back to each class often enough
  bool class_templates = false;  // whether cells are copied from class templates (class_templates.h)
};

// Tells the length of the recording about to be written, in frames, which
// decides whether proving cell templates pays.
void expect_recording(uint64_t frames);

// Works the plan out anew when the settings changed since; true when it did.
bool update_cell_plan(cell_plan& plan);

// Start and end, in units of the binade (per_unit a power of two), of the cells with grid indices m, m + chain, ...
void cell_bounds(const cell_plan& plan, double m, int32_t cells, double per_unit, double* start, double* finish);

}  // namespace kelvora
