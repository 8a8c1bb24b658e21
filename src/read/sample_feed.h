// The recording made into the tone ring's samples: read, made sane (a float
// recording may hold anything), decimated and freed of DC on a thread of its
// own, a few parts ahead of the framing, so that reading the file and the
// filters overlap the framing on a second processor. A part is one read of
// the recording; the thread fills the free parts in turn and the ring takes
// them in the same order (where no thread can be started, each part is made
// as it is taken). A failure to read ends the thread, and the ring
// meets it where it wants the samples that were not read. A stop signal
// (Ctrl-C) ends the samples for the ring at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "read/recording.h"
#include "read/silent_runs.h"

namespace kelvora {

// Without threads (WebAssembly built without them) each part is made when it
// is taken; that C++ library has no std::jthread either.
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
#define KELVORA_FEED_INLINE 1
constexpr bool feed_inline = true;
#else
#define KELVORA_FEED_INLINE 0
constexpr bool feed_inline = false;
#endif

// Decimations past this run without a table or kept samples, so that memory
// does not follow a sampling rate a header claims.
constexpr int64_t ramp_decimation = 64;

// Parts made ahead at most.
constexpr int feed_parts = 4;

struct sample_feed {
  recording* source = nullptr;
  int64_t decimation = 1;          // input frames averaged into one sample
  // Input: samples as read, after those kept from the last read (the last
  // whole group of `decimation` and a group begun); 16-bit ones for a
  // one-channel recording of at most 16-bit samples decimated by 2, which goes
  // without converting every sample to float first.
  std::vector<float> input;
  std::vector<short> input_shorts;
  int64_t input_kept = 0;
  std::vector<float> weights;      // the decimation filter's taps, 2 decimation - 1 (up to ramp_decimation)
  // Past ramp_decimation the same filter runs sample by sample: each group's
  // sum and index-weighted sum make its rising and its falling half.
  int64_t ramp_index = 0;          // samples of the group begun
  double ramp_sum = 0, ramp_weighted = 0;  // their sum, and the sum of index times sample
  double rising = 0;               // the last whole group's rising half

  float dc_pole = 0, dc_last_in = 0, dc_last_out = 0;  // the DC blocker
  silent_runs silent;              // digital silence in the frames read (the thread's until it ends)
  // The parts, and how many were made and taken so far (under `lock`).
  std::vector<float> parts[feed_parts];
  int64_t part_size[feed_parts] = {};
  int64_t made = 0, taken = 0;
  bool holding = false;            // the framing holds part `taken`
  bool ended = false;              // the thread made its last part (or failed)
  // No thread (none built, or the system would not start one): each part is
  // made as it is taken.
  bool alone = feed_inline;
  std::exception_ptr failure;      // why it failed, if it did
  std::mutex lock;
  std::condition_variable_any changed;
#if !KELVORA_FEED_INLINE
  // Last, so that it stops and is joined before anything it uses goes.
  std::jthread thread;
#endif
};

// Starts feeding samples of the recording, decimated by `decimation`, freed of DC by the pole.
void open_sample_feed(sample_feed& feed, recording& source, int64_t decimation, float dc_pole);

// The recording's digital silence, once every frame was read without a failure; else nullptr.
const silent_runs* silence_read(sample_feed& feed);

// The next part of samples (taking it frees the one held); false at the end
// or once a stop signal came; rethrows a failure to read.
bool next_samples(sample_feed& feed, const float*& samples, int64_t& count);

}  // namespace kelvora
