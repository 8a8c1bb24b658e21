// Sections. Silence frames are the middle level (0x80 per 8-bit sample, 0x0000
// per 16-bit sample) and advance the clock by whole seconds only, dropping the
// fraction. A leader is a whole number of 1 cells; a byte is a 0 start cell,
// eight data cells least significant bit first, then the stop cells (1 cells).
// Before a section writes anything, its size is checked against what a WAV
// header can describe, so a recording that is far too long fails at once.
#include "synth/sections.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "cli/settings.h"
#include "synth/bit_cell.h"

namespace kelvora {

namespace {

// Cells handed to the tone generator at once.
constexpr int64_t cells_per_call = 64;

// Frame counts of a run of cells are bounded by its duration in frames; the
// bounds allow for the rounding that the summed frame steps accumulate.
constexpr double count_slack = 1e-5;

// Fails unless the frames of the coming section fit, judging by cheap bounds
// first and counting exactly only when the bounds cannot decide.
template <typename exact_count>
void check_room(output_stream& out, double lower_frames, double upper_frames,
                exact_count count_frames) {
  const double frame_bytes = bytes_per_frame();
  const double room = static_cast<double>(data_room(out));
  if (!(lower_frames * frame_bytes <= room)) fail_too_large();
  if (upper_frames * frame_bytes <= room) return;
  if (count_frames() * static_cast<uint64_t>(bytes_per_frame()) > data_room(out)) fail_too_large();
}

// Frames the cells from the clock up to time end will take, without writing.
uint64_t count_frames_until(double end) {
  double t = clock;
  uint64_t frames = 0;
  while (end > t) {
    const uint64_t n = count_cell_frames(t);
    if (n == 0) break;
    frames += n;
  }
  return frames;
}

// Frames the next `cells` cells will take, without writing.
uint64_t count_frames_of_cells(int64_t cells) {
  double t = clock;
  uint64_t frames = 0;
  for (int64_t i = 0; i < cells; ++i) frames += count_cell_frames(t);
  return frames;
}

void write_silent_frames(uint64_t frames, output_stream& out) {
  if (out.measuring) return;
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
  uint64_t frames = 0;
  if (x > 0) {
    // ceil(x) frames; x beyond any possible data size fails before conversion.
    if (!(x * bytes_per_frame() <= static_cast<double>(data_room(out)))) fail_too_large();
    frames = static_cast<uint64_t>(std::ceil(x));
  }
  const uint64_t bytes = frames * static_cast<uint64_t>(bytes_per_frame());
  claim_data_bytes(out, bytes);
  write_silent_frames(frames, out);

  // Whole seconds only: trunc(x) / sampling_rate in integer arithmetic. A
  // silence that would take the clock below 0 stops it at 0; NaN moves nothing.
  if (x >= 0) {
    clock += static_cast<double>(static_cast<int64_t>(x) / settings.sampling_rate);
  } else if (x < 0) {
    const double whole = x > -0x1p62 ? static_cast<double>(static_cast<int64_t>(x) /
                                                           settings.sampling_rate)
                                     : -INFINITY;
    clock = std::max(0.0, clock + whole);
  }
  return static_cast<int64_t>(bytes);
}

int64_t emit_leader(double seconds, output_stream& out) {
  const double s = cell_start(clock);
  const double end = s + seconds;
  if (!(end > clock)) return 0;  // also a NaN duration
  const double rate = settings.sampling_rate;
  check_room(out, (end - clock) * rate * (1 - count_slack) - 2,
             (end - s) * rate * (1 + count_slack) + static_cast<double>(max_cell_frames()) + 2,
             [end] { return count_frames_until(end); });
  double ones[cells_per_call];
  std::fill(ones, ones + cells_per_call, 2.0 * settings.lower_carrier);
  int64_t total = 0;
  while (end > clock) {
    const int64_t n = emit_cells(ones, cells_per_call, end, out);
    if (n == 0) break;  // the grid tolerance rules this out; never spin
    total += n;
  }
  return total;
}

int64_t emit_byte(int value, output_stream& out) {
  const int64_t cells = 9 + int64_t{settings.stop_bits};
  const double cell_frames = static_cast<double>(settings.sampling_rate) / settings.baud_rate;
  check_room(out, static_cast<double>(cells - 1) * cell_frames * (1 - count_slack) - 2,
             static_cast<double>(cells) * static_cast<double>(max_cell_frames()),
             [cells] { return count_frames_of_cells(cells); });
  const double zero = settings.lower_carrier;
  const double one = 2.0 * settings.lower_carrier;
  // Start bit, eight data bits lowest first, then the stop bits.
  double frequency[cells_per_call];
  frequency[0] = zero;
  for (int bit = 0; bit < 8; ++bit) frequency[1 + bit] = (value >> bit) & 1 ? one : zero;
  int64_t done = std::min(cells, cells_per_call);
  std::fill(frequency + 9, frequency + done, one);  // all 64 when more calls follow
  int64_t total = emit_cells(frequency, done, INFINITY, out);
  while (done < cells) {  // more stop bits than one call takes
    const int64_t more = std::min(cells - done, cells_per_call - 9);
    total += emit_cells(frequency + 9, more, INFINITY, out);
    done += more;
  }
  return total;
}

}  // namespace kelvora
