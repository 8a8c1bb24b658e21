// Bit cells. A cell spans 1/baud_rate seconds from a grid point of the lower
// carrier; its frames sit at the running clock, which advances by repeated
// addition of 1/sampling_rate. Samples store the negated sine: 8-bit as
// 128 - 127v (unsigned), 16-bit as -32767v (signed, low byte first); every
// channel of a frame holds the same sample.
#include "synth/bit_cell.h"

#include <algorithm>
#include <cmath>

#include "cli/settings.h"

namespace kelvora {

double clock = 0.0;

namespace {

constexpr double two_pi = 6.283185307179586;

// A clock resting one rounding step below a grid point must still count as
// having reached it, or a cell could come out empty and a leader never end.
constexpr double grid_tolerance = 1e-6;

void store_frame(unsigned char* p, double v) {
  const int channels = settings.channels;
  if (settings.quantization_bits == 8) {
    const unsigned char sample = encode_8bit(v);
    for (int c = 0; c < channels; ++c) p[c] = sample;
  } else {
    const uint16_t sample = static_cast<uint16_t>(encode_16bit(v));
    for (int c = 0; c < channels; ++c) {
      p[2 * c] = static_cast<unsigned char>(sample & 0xFF);
      p[2 * c + 1] = static_cast<unsigned char>(sample >> 8);
    }
  }
}

// Writes at most max_frames frames of the cell [s, e) from time t on, and at
// least one; returns how many, t moved past the last.
uint64_t fill_frames(unsigned char* p, uint64_t max_frames, double w, double s, double e,
                     double& t) {
  const double step = 1.0 / settings.sampling_rate;
  const size_t frame_bytes = static_cast<size_t>(bytes_per_frame());
  uint64_t frames = 0;
  do {
    store_frame(p + frames * frame_bytes, std::sin(w * (t - s)));
    ++frames;
    t += step;
  } while (frames < max_frames && t < e);
  return frames;
}

}  // namespace

void reset_clock() { clock = 0.0; }

double cell_start(double t) {
  const double carrier = settings.lower_carrier;
  return std::floor(carrier * t + grid_tolerance) / carrier;
}

uint64_t max_cell_frames() {
  return static_cast<uint64_t>(settings.sampling_rate / settings.baud_rate) + 2;
}

uint64_t count_cell_frames(double& t) {
  const double s = cell_start(t);
  const double e = s + 1.0 / settings.baud_rate;
  if (!(t < e)) return 0;
  const double step = 1.0 / settings.sampling_rate;
  uint64_t frames = 0;
  do {
    ++frames;
    t += step;
  } while (t < e);
  return frames;
}

unsigned char encode_8bit(double v) { return static_cast<unsigned char>(static_cast<int>(128.0 - 127.0 * v)); }

int16_t encode_16bit(double v) { return static_cast<int16_t>(static_cast<int>(-32767.0 * v)); }

int64_t emit_bit_cell(double frequency, output_stream& out) {
  const uint64_t frame_bytes = static_cast<uint64_t>(bytes_per_frame());
  if (out.measuring) {
    const uint64_t frames = count_cell_frames(clock);
    claim_data_bytes(out, frames * frame_bytes);
    return static_cast<int64_t>(frames * frame_bytes);
  }
  double t = clock;
  const double s = cell_start(t);
  const double e = s + 1.0 / settings.baud_rate;
  if (!(t < e)) return 0;
  const double w = two_pi * frequency;
  const uint64_t piece_frames = 65536;
  uint64_t frames = 0;
  if (max_cell_frames() <= piece_frames) {
    // An ordinary cell: synthesise it whole, then claim and keep it.
    unsigned char* p = reserve_space(out, max_cell_frames() * frame_bytes);
    frames = fill_frames(p, max_cell_frames(), w, s, e, t);
    claim_data_bytes(out, frames * frame_bytes);
    commit_space(out, frames * frame_bytes);
  } else {
    // A cell too long for memory: count it first, then write it piece by piece.
    double end_time = t;
    const uint64_t total = count_cell_frames(end_time);
    claim_data_bytes(out, total * frame_bytes);
    while (frames < total) {
      const uint64_t piece = std::min(piece_frames, total - frames);
      unsigned char* p = reserve_space(out, piece * frame_bytes);
      const uint64_t n = fill_frames(p, piece, w, s, e, t);
      commit_space(out, n * frame_bytes);
      frames += n;
    }
  }
  clock = t;
  return static_cast<int64_t>(frames * frame_bytes);
}

}  // namespace kelvora
