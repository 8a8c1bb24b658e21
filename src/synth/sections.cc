// Sections. Silence frames are the middle level (0x80 per 8-bit sample, 0x0000
// per 16-bit sample) and advance the clock by whole seconds only, dropping the
// fraction. A leader is a whole number of 1 cells; a byte is a 0 start cell,
// eight data cells least significant bit first, then the stop cells (1 cells).
// The recording's size is known and checked before anything is written.
#include "synth/sections.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "cli/failure.h"
#include "cli/settings.h"
#include "synth/bit_cell.h"
#include "synth/frame_times.h"

namespace kelvora {

namespace {

// Cells handed to the tone generator at once (the most it takes).
constexpr int64_t cells_per_call = 64;

// Frames of a silence of x = seconds * sampling_rate: ceil(x) when positive.
uint64_t silent_frames(double x, uint64_t budget) {
  if (!(x > 0)) return 0;  // also NaN
  if (!(x <= static_cast<double>(budget))) return budget + 1;
  return static_cast<uint64_t>(std::ceil(x));
}

// The clock after a silence: whole seconds only, trunc(x) / sampling_rate in
// integer arithmetic; a silence that would take the clock below 0 stops it
// at 0, and NaN moves nothing.
double clock_after_silence(double t, double x) {
  if (x >= 0) {
    if (!(x < 0x1p62)) return INFINITY;
    return t + static_cast<double>(static_cast<int64_t>(x) / settings.sampling_rate);
  }
  if (x < 0) {
    const double whole = x > -0x1p62 ? static_cast<double>(static_cast<int64_t>(x) /
                                                           settings.sampling_rate)
                                     : -INFINITY;
    return std::max(0.0, t + whole);
  }
  return t;
}

void write_silent_frames(uint64_t frames, output_stream& out) {
  const unsigned char level = settings.quantization_bits == 8 ? 0x80 : 0x00;
  const uint64_t frame_bytes = static_cast<uint64_t>(bytes_per_frame());
  const uint64_t piece_frames = 65536;
  while (frames > 0) {
    const uint64_t piece = std::min(piece_frames, frames);
    std::memset(reserve_space(out, piece * frame_bytes), level, piece * frame_bytes);
    commit_space(out, piece * frame_bytes);
    frames -= piece;
  }
}

}  // namespace

int64_t emit_silence(double seconds, output_stream& out) {
  const double x = seconds * settings.sampling_rate;
  // The run checked the recording's size before writing it.
  const uint64_t frames = silent_frames(x, std::numeric_limits<uint32_t>::max());
  write_silent_frames(frames, out);
  clock = clock_after_silence(clock, x);
  return static_cast<int64_t>(frames * static_cast<uint64_t>(bytes_per_frame()));
}

int64_t emit_leader(double seconds, output_stream& out) {
  const double end = cell_start(clock) + seconds;
  int64_t total = 0;
  while (end > clock) {  // false at once for a duration of 0 or less, or NaN
    const int64_t n = emit_cells(~uint64_t{0}, static_cast<int32_t>(cells_per_call), end, out);
    if (n == 0) break;  // the grid tolerance rules this out; never spin
    total += n;
  }
  return total;
}

int64_t emit_bytes(const unsigned char* values, int64_t count, output_stream& out) {
  // A 0 start cell, eight data cells lowest bit first, then 1 stop cells.
  const int64_t cells = 9 + int64_t{settings.stop_bits};
  int64_t total = 0;
  if (cells <= cells_per_call) {
    // As many whole bytes as one call takes, their cells back to back: an
    // empty cell leaves the clock where it is, so every later cell would be
    // empty too, and stopping the call there is stopping every byte.
    const int64_t per_call = cells_per_call / cells;
    const uint64_t byte_cells = cells == 64 ? ~uint64_t{0} : (uint64_t{1} << cells) - 1;
    const uint64_t stops = byte_cells & (~uint64_t{0} << 9);
    for (int64_t first = 0; first < count; first += per_call) {
      const int64_t n = std::min(per_call, count - first);
      uint64_t ones = 0;
      for (int64_t k = 0; k < n; ++k) {
        ones |= ((static_cast<uint64_t>(values[first + k]) << 1) | stops) << (k * cells);
      }
      total += emit_cells(ones, static_cast<int32_t>(n * cells), INFINITY, out);
    }
    return total;
  }
  for (int64_t k = 0; k < count; ++k) {
    total += emit_cells((static_cast<uint64_t>(values[k]) << 1) | (~uint64_t{0} << 9),
                        static_cast<int32_t>(cells_per_call), INFINITY, out);
    for (int64_t done = cells_per_call; done < cells; done += cells_per_call) {  // more stop bits
      const auto more = static_cast<int32_t>(std::min(cells - done, cells_per_call));
      total += emit_cells(~uint64_t{0}, more, INFINITY, out);
    }
  }
  return total;
}

uint64_t count_silence_frames(double& t, double seconds, uint64_t budget) {
  const double x = seconds * settings.sampling_rate;
  t = clock_after_silence(t, x);
  return silent_frames(x, budget);
}

uint64_t count_leader_frames(double& t, double seconds, uint64_t budget) {
  const double end = cell_start(t) + seconds;
  if (!(end > t)) return 0;
  uint64_t cells = 0;
  return count_cell_frames_run(t, std::numeric_limits<uint64_t>::max(), end, budget, cells);
}

uint64_t count_byte_frames(double& t, uint64_t bytes, uint64_t budget) {
  const uint64_t per_byte = 9 + static_cast<uint64_t>(settings.stop_bits);
  const uint64_t most = std::numeric_limits<uint64_t>::max();
  const uint64_t cells = bytes > most / per_byte ? most : bytes * per_byte;
  uint64_t done = 0;
  return count_cell_frames_run(t, cells, INFINITY, budget, done);
}

}  // namespace kelvora
