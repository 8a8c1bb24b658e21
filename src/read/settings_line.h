// The settings line of a reading's summary: the options that write the
// recording again, ready to paste (-b -w -s -q -r -c, -f with the layout,
// --invert, --level).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "read/events.h"
#include "read/silent_runs.h"

namespace kelvora {

// The layout as read: silence and leader in samples of the reading, blocks in bytes.
struct layout_observer final : read_observer {
  struct part {
    section_kind kind;
    double amount;
  };
  std::vector<part> parts;
  uint64_t dropped_blocks = 0;  // blocks past the most kept, their bytes joined to the last
  void on_span(const span_event& e) override;
  void on_block_end(const block_event& e) override;
};

// What a recording is written with, besides its layout.
struct recording_facts {
  int32_t baud_rate, lower_carrier, stop_bits;
  int32_t bits;         // sample width to write: 8 or 16
  int32_t rate;         // frames a second
  int32_t channels;     // 1 or 2
  int32_t polarity;     // -1: as --invert writes
  double peak;          // the tone's amplitude, a fraction of full scale
  double frames_per_sample;  // recording frames in a sample of the reading
  double cell;          // samples of the reading in a cell, as recorded
  double speed;         // recorded speed / nominal
  const silent_runs* silence;  // the recording's digital silence, if all of it was read
};

// The level the settings line gives (100 unless the tone is clearly below full scale).
double level_percent(const recording_facts& facts);

// The layout as a format string that writes the same silence frames, leader
// cells and blocks (from the clock at 0, with the settings of `facts`).
std::string layout_text(const std::vector<layout_observer::part>& parts, const recording_facts& facts);

// "settings: -b 1200 -w 1200 -s 3 -q 8 -r 9600 -c 1 -f '...'" and --invert, --level=P where they apply.
std::string settings_line(const std::vector<layout_observer::part>& parts, const recording_facts& facts);

}  // namespace kelvora
