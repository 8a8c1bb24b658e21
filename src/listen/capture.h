// The tape as heard from a capture device, made into a source of frames for
// the reader from its first tone on: each read records a stretch, keeps it
// (--keep), measures it for the meter and judges whether the tape has ended:
// once bytes were read and then ten seconds passed without tone. A stop
// signal ends it at once.
#pragma once

#include <cstdint>

#include "audio/audio_device.h"
#include "listen/keep_file.h"
#include "listen/meter.h"
#include "read/recording.h"

namespace kelvora {

// How a tape's end is told from the gap between two of its blocks.
struct tone_watch {
  double tone_rms = 0;          // the tone's level inside blocks (root mean square), 0 before one
  uint64_t quiet_frames = 0;    // frames since tone was last heard, once bytes were read
  bool tone_heard = false;      // tone was heard: the tape has begun
  bool ended = false;           // the tape has ended or a signal stopped it
};

struct capture_run {
  audio_device& device;
  listen_meter& meter;
  keep_file& keep;
  tone_watch watch;
};

// The seconds without tone after data that end listening.
constexpr uint64_t seconds_to_end = 10;

// A source of 16-bit frames recorded from the run's open device.
frame_source capture_source(capture_run& run);

}  // namespace kelvora
