// The progress line. Times are whole seconds of sample frames (frames /
// sampling rate, rounded down), so the elapsed time reaches the total exactly
// when the last frame is heard. Sections without frames are never audible
// and are passed over; data blocks are counted among the sections that hold
// bytes.
#include "play/progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "cli/settings.h"

namespace kelvora {

namespace {

// The playback whose line is shown, and when the line was last drawn.
bool shown = false;
std::vector<played_section> shown_sections;
std::chrono::steady_clock::time_point last_drawn;

constexpr std::chrono::milliseconds redraw_interval{250};

std::string minutes_and_seconds(uint64_t frames) {
  const uint64_t seconds = frames / static_cast<uint64_t>(settings.sampling_rate);
  const uint64_t s = seconds % 60;
  return std::to_string(seconds / 60) + (s < 10 ? ":0" : ":") + std::to_string(s);
}

// What is heard at the sample byte `position` of the recording.
std::string section_label(const std::vector<played_section>& sections, uint64_t position) {
  uint64_t blocks = 0;
  for (const played_section& section : sections) {
    if (section.letter == 'd' && section.data_bytes > 0) ++blocks;
  }
  uint64_t start = 0;
  uint64_t block = 0;
  for (const played_section& section : sections) {
    if (section.data_bytes == 0) continue;
    if (section.letter == 'd') ++block;
    if (position < start + section.data_bytes) {
      if (section.letter == 'b') return "silence";
      if (section.letter == 'h') return "leader";
      return "data block " + std::to_string(block) + " of " + std::to_string(blocks);
    }
    start += section.data_bytes;
  }
  return "done";
}

void draw(uint64_t audible_frame) {
  const std::string line = "\r\x1b[K" + progress_text(shown_sections, audible_frame);
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  last_drawn = std::chrono::steady_clock::now();
}

}  // namespace

std::string progress_text(const std::vector<played_section>& sections, uint64_t audible_frame) {
  const auto frame_bytes = static_cast<uint64_t>(bytes_per_frame());
  uint64_t data_bytes = 0;
  for (const played_section& section : sections) data_bytes += section.data_bytes;
  const uint64_t total = data_bytes / frame_bytes;
  const uint64_t frame = audible_frame < total ? audible_frame : total;
  return minutes_and_seconds(frame) + " / " + minutes_and_seconds(total) + "  " +
         section_label(sections, frame * frame_bytes);
}

void begin_progress(const std::vector<played_section>& sections) {
  shown = isatty(STDERR_FILENO) == 1;
  if (!shown) return;
  shown_sections = sections;
  draw(0);
}

bool progress_shown() { return shown; }

void update_progress(uint64_t audible_frame) {
  if (!shown || std::chrono::steady_clock::now() - last_drawn < redraw_interval) return;
  draw(audible_frame);
}

void end_progress(uint64_t audible_frame) {
  if (!shown) return;
  draw(audible_frame);
  std::fputs("\n", stderr);
  std::fflush(stderr);
  shown = false;
}

}  // namespace kelvora
