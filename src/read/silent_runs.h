// Digital silence in a recording: runs of samples that are exactly 0 (the
// middle code of 8- and 16-bit samples), in frames of the recording, and the
// largest sample. Where a recording was written digitally, these give its
// silences to the frame and its level to the code, which the tone ring's
// windows cannot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvora {

// Frames [start, end) of the recording.
struct frame_run {
  int64_t start = 0, end = 0;
};

struct silent_runs {
  std::vector<frame_run> runs;  // in order, each at least shortest_silent_run frames
  int64_t frames = 0;           // frames seen so far
  int64_t zeros_from = -1;      // where the zeros going on began, or -1
  bool ended = false;           // the recording ended (a run reaching it is in runs)
  double peak = 0;              // the largest magnitude of a sample, full scale 1
};

// Runs shorter than this are the zero crossings of a tone, not silence.
constexpr int64_t shortest_silent_run = 4;

// Runs kept at most (a quiet 8-bit recording of noise has a great many).
constexpr size_t most_silent_runs = 16384;

// Notes the next n frames' mono samples.
void note_silence(silent_runs& s, const float* x, int64_t n);
void note_silence(silent_runs& s, const short* x, int64_t n);

// The recording ended after the frames noted.
void end_silence(silent_runs& s);

// The run holding frame f, or nullptr.
const frame_run* silent_run_at(const silent_runs& s, int64_t f);

}  // namespace kelvora
