// Framing: finds blocks of asynchronous serial frames in the tone ring and
// tells its observers each byte read, each block, and the silence and leader
// between blocks.
#pragma once

#include <cstdint>

#include "read/events.h"
#include "read/tone_ring.h"

namespace kelvora {

// The framing the recording was written with.
struct frame_format {
  double lower_hz;    // tone of a 0 cell; a 1 cell is twice this
  double baud_rate;   // cells per second
  int32_t stop_bits;  // 1 cells after the eight data cells
};

// Reads the whole recording, telling the observer what it finds.
void read_frames(tone_ring& ring, const frame_format& format, read_observer& events);

}  // namespace kelvora
