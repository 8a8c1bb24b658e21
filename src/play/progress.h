// The progress line of a playback: one line on standard error, only when
// standard error is a terminal, redrawn in place (carriage return, then erase
// to the end of the line) a few times a second: elapsed and total time as
// m:ss and the section now audible.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvora {

// One section of the recording played, in order.
struct played_section {
  char letter;          // 'b' silence, 'h' leader, 'd' data
  uint64_t data_bytes;  // sample bytes of the section
};

// Starts the line for the recording's sections, if standard error is a terminal.
void begin_progress(const std::vector<played_section>& sections);

// True while a progress line is shown.
bool progress_shown();

// Redraws the line for the frame now audible, at most a few times a second.
void update_progress(uint64_t audible_frame);

// Draws the line once more for the frame now audible and ends it.
void end_progress(uint64_t audible_frame);

// The line as drawn for a frame: "0:03 / 0:09  data block 2 of 2".
std::string progress_text(const std::vector<played_section>& sections, uint64_t audible_frame);

}  // namespace kelvora
