// The recording as a stream of mono samples, from a file through libsndfile
// (recording_file.cc) or from any other supplier of frames: a sound card, a
// buffer, samples a browser decoded. Samples arrive as floats, full scale 1,
// whatever the source's width (8- and 16-bit integer samples are supplied as
// 16-bit and scaled by 1/32768, as libsndfile scales them to float; a float
// recording may hold any value, which the sample feed makes sane); the
// channels of a frame are averaged. Reading goes in bounded blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "read/channel_mix.h"

namespace kelvora {

// Where frames come from: fills `out` with up to `most` interleaved frames and
// returns how many (0 at the end); fails (cli/failure.h) with its reason.
struct frame_source {
  std::function<int64_t(float* out, int64_t most)> read_floats;  // when not as_short
  std::function<int64_t(short* out, int64_t most)> read_shorts;  // when as_short
  std::function<void()> close;                                    // may be empty
};

// What a stop signal (signals/stop_signals.h) does to the reading: a file is
// read no further, and the run ends with 128 + the signal once the image and
// summary are out; a live source ends by itself, and is read to that end.
enum class at_stop_signal { read_to_end, cut_short };

// The opening of a recording, read ahead and given again before the rest.
struct held_frames;

struct recording {
  std::string name;            // as given on the command line, for messages
  int32_t channels = 0;
  int32_t sampling_rate = 0;   // frames per second, as the source says
  bool as_short = false;       // samples of at most 16 bits: supplied as 16-bit integers
  bool eight_bit = false;      // samples of 8 bits
  std::vector<float> buffer;   // one block of interleaved frames (float samples)
  std::vector<short> shorts;   // one block of interleaved frames (16-bit samples)
  frame_source source;
  std::shared_ptr<held_frames> held;  // the opening read ahead, if any
  channel_mix mix;             // how the channels are made one
  std::vector<float> mixing;   // a block of 16-bit frames as floats, for the mix
  at_stop_signal at_stop = at_stop_signal::read_to_end;
};

// The stop signal that cuts the reading of `r` short, or 0.
int stop_cutting(const recording& r);

// Opens the named recording ("-": standard input); fails with "cannot read NAME: reason".
void open_recording(recording& r, const char* name);

// Opens a recording file held in memory (the fuzz target's way in); same failures.
void open_recording_in_memory(recording& r, const unsigned char* data, size_t size);

// Opens a recording whose frames come from `source` (its read_shorts when
// as_short); fails when the rate or channel count is not positive.
void open_recording_from_source(recording& r, const std::string& name, int32_t rate, int32_t channels,
                                bool as_short, frame_source source);

// Frames read at once at most.
int64_t block_frames(const recording& r);

// Reads up to `most` frames as mono samples into out; returns how many (0 at the end).
int64_t read_mono(recording& r, float* out, int64_t most);

// Reads up to `most` frames of a one-channel recording of at most 16 bits
// (as_short) into out as 16-bit samples; returns how many (0 at the end).
int64_t read_shorts(recording& r, short* out, int64_t most);

// Reads on until `mono` holds up to `most` frames from the start, as mono
// samples, and has the recording give those frames again before the rest
// (a pipe cannot seek back); `mono` is empty or holds the last call's frames.
void hold_opening(recording& r, std::vector<float>& mono, int64_t most);

// Closes the recording's source (once; later calls do nothing).
void close_recording(recording& r);

}  // namespace kelvora
