// The recording as a stream of mono samples: a thin layer over libsndfile.
// Samples arrive as floats in [-1, 1] whatever the file's width (8- and 16-bit
// integer samples are read as 16-bit and scaled by 1/32768, as libsndfile
// scales them to float); the channels of a frame are averaged. Reading goes
// in bounded blocks.
#pragma once

#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvora {

// Bytes of a recording held in memory, read through libsndfile's virtual I/O.
struct memory_file {
  const unsigned char* data = nullptr;
  int64_t size = 0;
  int64_t position = 0;
};

struct recording {
  SNDFILE* file = nullptr;
  std::string name;            // as given on the command line, for messages
  int32_t channels = 0;
  int32_t sampling_rate = 0;   // frames per second, as the file says
  bool as_short = false;       // samples of at most 16 bits: read as 16-bit integers
  std::vector<float> buffer;   // one block of interleaved frames (float samples)
  std::vector<short> shorts;   // one block of interleaved frames (16-bit samples)
  memory_file memory;          // the bytes behind a recording opened from memory
};

// Opens the named recording ("-": standard input); fails with "cannot read NAME: reason".
void open_recording(recording& r, const char* name);

// Opens a recording held in memory (the fuzz target's way in); same failures.
void open_recording_in_memory(recording& r, const unsigned char* data, size_t size);

// Frames read at once at most.
int64_t block_frames(const recording& r);

// Reads up to `most` frames as mono samples into out; returns how many (0 at the end).
int64_t read_mono(recording& r, float* out, int64_t most);

// Reads up to `most` frames of a one-channel recording of at most 16 bits
// (as_short) into out as 16-bit samples; returns how many (0 at the end).
int64_t read_shorts(recording& r, short* out, int64_t most);

// Closes the recording.
void close_recording(recording& r);

}  // namespace kelvora
