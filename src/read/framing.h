// Framing: finds blocks of asynchronous serial frames in the tone ring and
// reads their bytes into the image; everything between blocks is silence or
// leader and only goes into the summary.
#pragma once

#include <cstdint>

#include "read/image_sink.h"
#include "read/summary.h"
#include "read/tone_ring.h"

namespace kelvora {

// The framing the recording was written with.
struct frame_format {
  double lower_hz;    // tone of a 0 cell; a 1 cell is twice this
  double baud_rate;   // cells per second
  int32_t stop_bits;  // 1 cells after the eight data cells
};

// Reads the whole recording: bytes into the image, the rest into the summary.
void read_frames(tone_ring& ring, const frame_format& format, image_sink& image, read_summary& summary);

}  // namespace kelvora
