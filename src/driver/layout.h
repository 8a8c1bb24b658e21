// The layout language: the format string names sections by the letters b
// (silence), h (leader tone) and d (data bytes), each followed by its number.
// A layout is parsed once, sized before anything is written, then written.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/input_source.h"
#include "wav/output_stream.h"

namespace kelvora {

// One element of a layout, its number resolved.
struct layout_element {
  char letter;      // 'b', 'h' or 'd'
  double duration;  // seconds of a b or h element (the previous one's when it has none)
  int32_t count;    // bytes of a d element: 0 for all remaining, negative for none
};

// One section of a planned recording.
struct planned_section {
  char letter;          // 'b', 'h' or 'd'
  uint64_t data_bytes;  // sample bytes the section writes
};

// A recording before it is written: its layout, size and sections in order.
struct recording_plan {
  std::vector<layout_element> layout;
  uint64_t data_bytes = 0;  // more than the limit asked for when too large
  std::vector<planned_section> sections;
};

// The elements of a format string in order.
std::vector<layout_element> parse_layout(const char* format);

// Input bytes the layout asks for at most (UINT64_MAX when a d takes all).
uint64_t bytes_wanted(const std::vector<layout_element>& layout);

// Sizes the recording of input_bytes input bytes; counting stops past limit.
recording_plan plan_recording(const std::vector<layout_element>& layout, uint64_t input_bytes,
                              uint64_t limit);

// Writes the layout's sections from the clock at 0; returns the sample bytes.
uint64_t lay_out_recording(const std::vector<layout_element>& layout, input_source& in,
                           output_stream& out);

}  // namespace kelvora
