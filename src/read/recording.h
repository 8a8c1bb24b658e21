// The recording as a stream of mono samples: a thin layer over libsndfile.
// Samples arrive as floats in [-1, 1] whatever the file's width; the channels
// of a frame are averaged. Reading goes in bounded blocks.
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
  std::vector<float> buffer;   // one block of interleaved frames
  memory_file memory;          // the bytes behind a recording opened from memory
};

// Opens the named recording ("-": standard input); fails with "cannot read NAME: reason".
void open_recording(recording& r, const char* name);

// Opens a recording held in memory (the fuzz target's way in); same failures.
void open_recording_in_memory(recording& r, const unsigned char* data, size_t size);

// Reads up to `most` frames as mono samples into out; returns how many (0 at the end).
int64_t read_mono(recording& r, float* out, int64_t most);

// Closes the recording.
void close_recording(recording& r);

}  // namespace kelvora
