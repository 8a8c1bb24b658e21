// The meter of a tape heard live: one line on standard error, only when
// standard error is a terminal, redrawn in place (carriage return, then
// erase to the end of the line) a few times a second: time heard, the input
// level, what is heard now, bytes and framing errors so far, and the speed
// once a block began. Two threads feed it: the capture (the level, frame by
// frame) and the reading (what the framing finds, as events).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "read/events.h"

namespace kelvora {

// What the reading has found so far.
struct reading_state {
  uint64_t bytes = 0;
  uint64_t framing_errors = 0;
  uint64_t blocks = 0;     // blocks begun
  bool in_block = false;   // a block has begun and not ended
  double speed = 0;        // nominal cell / mean cell of the block under way or last; 0 before the first
};

// The input as last heard.
struct level_state {
  uint64_t frames = 0;  // frames heard since listening began
  double peak = 0;      // largest sample size since the last draw, a fraction of full scale
  bool clipped = false; // a sample at full scale since the last draw
  bool tone = false;    // the last stretch heard was tone, not silence
};

struct listen_meter final : read_observer {
  std::mutex lock;  // guards everything below: the two threads meet here
  bool shown = false;
  bool ended = false;
  int32_t rate = 0;  // frames heard a second
  double nominal_cell = 0;
  double cell_sum = 0;  // cells of the block under way, for its mean speed
  uint64_t cells = 0;
  reading_state reading;
  level_state level;
  std::chrono::steady_clock::time_point last_drawn;

  void on_begin(double rate, double nominal_cell) override;
  void on_byte(const byte_event& e) override;
  void on_block_start(const block_event& e) override;
  void on_block_end(const block_event& e) override;
  void on_end() override;  // ends the line before the summary is printed
};

// Starts the meter for frames at `rate` a second, if standard error is a terminal.
void begin_meter(listen_meter& meter, int32_t rate);

// Takes a stretch of the input as heard; redraws at most a few times a second.
void note_level(listen_meter& meter, uint64_t frames, double peak, bool clipped, bool tone);

// The reading's state, as the capture needs it to know when the tape has ended.
reading_state reading_so_far(listen_meter& meter);

// Draws the line once more and ends it (once; later calls do nothing).
void end_meter(listen_meter& meter);

// The line as drawn: "1:05  -6.0 dBFS  data block 2  1234 bytes  0 framing errors  speed 1.002".
std::string meter_text(const reading_state& reading, const level_state& level, int32_t rate);

}  // namespace kelvora
