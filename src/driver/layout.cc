// The layout language. The format string is scanned for the letters b, h and
// d; each starts an element whose number follows it (a real for b and h, read
// like "%lf"; a decimal integer for d, read like "%d") and the scan resumes
// right after the letter, so the digits of a number are simply passed over.
#include "driver/layout.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "cli/settings.h"
#include "synth/bit_cell.h"
#include "synth/sections.h"

namespace kelvora {

namespace {

// Reads a decimal integer the way "%d" does; false when there is none.
// Counts beyond 32 bits are held at the 32-bit limits.
bool read_count(const char* text, int32_t& count) {
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text) return false;
  count = value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : static_cast<int32_t>(value);
  return true;
}

// Reads a real the way "%lf" does; false when there is none.
bool read_duration(const char* text, double& duration) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text) return false;
  duration = value;
  return true;
}

// Bytes a d element takes when `left` input bytes remain.
uint64_t block_bytes(int32_t count, uint64_t left) {
  if (count < 0) return 0;
  if (count == 0) return left;
  return std::min<uint64_t>(static_cast<uint64_t>(count), left);
}

}  // namespace

std::vector<layout_element> parse_layout(const char* format) {
  std::vector<layout_element> layout;
  double duration = 0.0;  // carried between b and h elements that lack a number
  for (const char* letter = std::strpbrk(format, "bhd"); letter != nullptr;
       letter = std::strpbrk(letter + 1, "bhd")) {
    layout_element element{*letter, 0.0, 0};
    if (*letter == 'd') {
      read_count(letter + 1, element.count);
    } else {
      read_duration(letter + 1, duration);
      element.duration = duration;
    }
    layout.push_back(element);
  }
  return layout;
}

uint64_t bytes_wanted(const std::vector<layout_element>& layout) {
  uint64_t wanted = 0;
  for (const layout_element& element : layout) {
    if (element.letter != 'd' || element.count < 0) continue;
    if (element.count == 0) return std::numeric_limits<uint64_t>::max();
    wanted += static_cast<uint64_t>(element.count);  // at most 2^31 an element: no overflow
    if (wanted > (uint64_t{1} << 62)) return std::numeric_limits<uint64_t>::max();
  }
  return wanted;
}

recording_plan plan_recording(const std::vector<layout_element>& layout, uint64_t input_bytes,
                              uint64_t limit) {
  recording_plan plan;
  plan.layout = layout;
  const auto frame_bytes = static_cast<uint64_t>(bytes_per_frame());
  const uint64_t budget = limit / frame_bytes;  // frames that fit
  uint64_t frames = 0;
  uint64_t left = input_bytes;
  double t = 0.0;
  for (const layout_element& element : layout) {
    const uint64_t room = budget - frames;
    uint64_t n = 0;
    if (element.letter == 'b') {
      n = count_silence_frames(t, element.duration, room);
    } else if (element.letter == 'h') {
      n = count_leader_frames(t, element.duration, room);
    } else {
      const uint64_t bytes = block_bytes(element.count, left);
      left -= bytes;
      n = count_byte_frames(t, bytes, room);
    }
    if (n > room) {
      plan.data_bytes = limit + 1;
      return plan;
    }
    frames += n;
    plan.sections.push_back({element.letter, n * frame_bytes});
  }
  plan.data_bytes = frames * frame_bytes;
  return plan;
}

uint64_t lay_out_recording(const std::vector<layout_element>& layout, input_source& in,
                           output_stream& out) {
  uint64_t data_bytes = 0;
  reset_clock();
  for (const layout_element& element : layout) {
    if (element.letter == 'b') {
      data_bytes += static_cast<uint64_t>(emit_silence(element.duration, out));
    } else if (element.letter == 'h') {
      data_bytes += static_cast<uint64_t>(emit_leader(element.duration, out));
    } else if (element.count >= 0) {
      // The bytes go to the tone generator a block at a time.
      unsigned char block[256];
      int64_t read = 0;
      for (bool more = true; more;) {
        const int64_t wanted = element.count == 0 ? 256 : std::min<int64_t>(256, element.count - read);
        const auto n = static_cast<int64_t>(read_input_bytes(in, block, static_cast<size_t>(wanted)));
        read += n;
        more = n == 256;
        data_bytes += static_cast<uint64_t>(emit_bytes(block, n, out));
      }
    }
  }
  return data_bytes;
}

}  // namespace kelvora
