// The receiver's parts in-process: its order statistics against sorting,
// cell windows and the bit clock on a frame synthesised here (a phase-
// continuous FSK frame starting between samples, and one of long cells off
// the tuning), and the clock's filter
// learning a cell length from frames that keep coming late; the nominal
// framing given for what detection heard; runs of digital silence found in
// pieces of any size as a plain scan finds them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "read/cells.h"
#include "read/clock.h"
#include "read/detect.h"
#include "read/frames.h"
#include "read/order_stats.h"
#include "read/recording.h"
#include "read/silent_runs.h"
#include "read/tone_ring.h"

namespace {

using namespace kelvora;

TEST(OrderStatistics, AgreeWithSorting) {
  std::mt19937 random(5);
  std::uniform_int_distribution<int> value(0, 6);  // small values: many ties
  for (int trial = 0; trial < 300; ++trial) {
    double v[11];
    for (double& x : v) x = value(random);
    std::vector<double> sorted(v, v + 11);
    std::sort(sorted.begin(), sorted.begin() + 9);
    EXPECT_EQ(rx::median_of_nine(v), sorted[4]);
    const int n = 1 + trial % 11, k = trial % n;
    sorted.assign(v, v + n);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(rx::count_at_most(v, n, 3), std::upper_bound(sorted.begin(), sorted.end(), 3.0) - sorted.begin());
    EXPECT_EQ(rx::kth_smallest(v, n, k), sorted[static_cast<size_t>(k)]);
  }
}

// A recording of 1200 baud, 1200/2400 Hz at 44100 Hz: 0.2 s of 1 cells, a
// frame of 0x35 with two stop cells starting `start` input samples in
// (between samples), 0.2 s of 1 cells; or of cells of `cycles` lower
// cycles, the tape running at `speed` (the frame's start where it is).
constexpr double rate = 44100, baud = 1200, lower = 1200;
constexpr int frame_value = 0x35;

std::vector<float> frame_recording(double start, double cycles = 1, double speed = 1) {
  const double cell = rate / (lower / cycles) / speed;
  std::vector<int> bits(static_cast<size_t>(start / cell) + 1, 1);
  const double first = start - static_cast<double>(bits.size()) * cell;  // the first cell's start (negative)
  bits.push_back(0);
  for (int i = 0; i < 8; ++i) bits.push_back((frame_value >> i) & 1);
  for (int i = 0; i < 2 + 240; ++i) bits.push_back(1);
  std::vector<float> x(static_cast<size_t>(start + 250 * cell));
  double phase = 0;
  for (size_t n = 0; n < x.size(); ++n) {
    const auto at = static_cast<size_t>((static_cast<double>(n) + 0.5 - first) / cell);
    phase += 6.283185307179586 * lower * speed * (1 + bits[std::min(at, bits.size() - 1)]) / rate;
    x[n] = static_cast<float>(0.5 * std::sin(phase));
  }
  return x;
}

// A tone ring over samples held here, and a receiver reading it (tuned to
// cells of `cycles` lower cycles at nominal speed).
struct receiver_on {
  std::vector<float> samples;
  size_t next = 0;
  recording rec;
  tone_ring ring;
  frame_format format;
  read_observer events;
  rx::reader r;

  explicit receiver_on(std::vector<float> x, double cycles = 1)
      : samples(std::move(x)), format{lower, lower / cycles, 2}, r{ring, format, events, 0, 0, 1, 1, 0, {}, {}} {
    frame_source source;
    source.read_floats = [this](float* out, int64_t most) {
      const size_t n = std::min(samples.size() - next, static_cast<size_t>(most));
      std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(next), n, out);
      next += n;
      return static_cast<int64_t>(n);
    };
    open_recording_from_source(rec, "frame", static_cast<int32_t>(rate), 1, false, std::move(source));
    open_tone_ring(ring, rec, lower, format.baud_rate, 11);
    r.nominal_cell = r.cell = ring.rate / format.baud_rate;
  }
  ~receiver_on() { close_recording(rec); }
};

class CellWindows : public testing::TestWithParam<double> {};

// Cells read where the frame lies hold its bits clearly; a window straddling
// the start cell's edge holds both tones alike; align finds the start from
// a guess a fifth of a cell off either way, the same start from each (the
// tone's phase at the edge may pull it a little off the true edge).
TEST_P(CellWindows, ReadTheFrameAndFindItsStart) {
  const double start_input = GetParam();
  receiver_on rx_on(frame_recording(start_input));
  rx::reader& r = rx_on.r;
  const double decimation = rate / rx_on.ring.rate;
  // The decimating filter is centred (decimation - 1) / 2 input samples late.
  const double start = (start_input - (decimation - 1) / 2) / decimation;
  rx::cell_reading cells[12];
  rx::read_cells(r, start - r.cell, 12, cells);
  for (int i = 0; i < 12; ++i) {
    const int bit = i == 1 ? 0 : i >= 2 && i < 10 ? (frame_value >> (i - 2)) & 1 : 1;
    EXPECT_GT(rx::soft_bit(cells[i]) * (bit ? 1 : -1), 0.8) << "cell " << i;
  }
  EXPECT_LT(std::abs(rx::balance(r, rx::read_cell(r, start - r.cell / 2))), 0.25);
  const double settled = rx::align(r, start, 3, false);
  EXPECT_NEAR(settled, start, 0.15 * r.cell);
  for (double off : {-0.2, -0.1, 0.1, 0.2}) {
    const double found = rx::align(r, start + off * r.cell, 3, false);
    EXPECT_NEAR(found, settled, 0.08 * r.cell) << "guess " << off << " cell off";
    const rx::frame_reading f = rx::read_frame(r, found, true);
    EXPECT_EQ(f.value, frame_value);
    EXPECT_TRUE(f.start_zero);
    EXPECT_EQ(f.bad_stops, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Starts, CellWindows, testing::Values(8820.0, 8840.3, 9001.75));

class LongCells : public testing::TestWithParam<double> {};

// Cells of 8 and 16 lower cycles on a tape running 4 % off the speed the
// tones are tuned to (a swinging speed measured where it stood elsewhere):
// a whole window's correlation of the upper tone would all but cancel; read
// in parts that follow the tone, each cell holds its bit clearly and ends at
// the phase the next cell of its tone begins at, and a window straddling the
// start cell's edge holds both tones alike.
TEST_P(LongCells, HoldTheirBitsOffTheTuning) {
  const double cycles = GetParam();
  for (const double speed : {1.04, 0.96}) {
    receiver_on rx_on(frame_recording(44100.3, cycles, speed), cycles);
    rx::reader& r = rx_on.r;
    const double decimation = rate / rx_on.ring.rate;
    const double start = (44100.3 - (decimation - 1) / 2) / decimation;
    r.cell = r.nominal_cell / speed;  // the clock knows the cell; the tones stay tuned to nominal
    rx::cell_reading cells[12];
    rx::read_cells(r, start - r.cell, 12, cells, true);
    int last_bit = -1;
    for (int i = 0; i < 12; ++i) {
      const int bit = i == 1 ? 0 : i >= 2 && i < 10 ? (frame_value >> (i - 2)) & 1 : 1;
      EXPECT_GT(rx::soft_bit(cells[i]) * (bit ? 1 : -1), 0.8) << "speed " << speed << ", cell " << i;
      EXPECT_GT(std::max(cells[i].zero, cells[i].one), 0.8 * cells[i].power) << "speed " << speed << ", cell " << i;
      // A cell of the same tone as the last begins where the last left it.
      if (bit == last_bit) {
        const rx::cell_reading& b = cells[i - 1];
        EXPECT_GT(b.end_re * cells[i].phase_re + b.end_im * cells[i].phase_im, 0.9) << "speed " << speed << ", cell " << i;
      }
      last_bit = bit;
    }
    EXPECT_LT(std::abs(rx::balance(r, rx::read_cell(r, start - r.cell / 2))), 0.25) << "speed " << speed;
  }
}

INSTANTIATE_TEST_SUITE_P(Cycles, LongCells, testing::Values(8.0, 16.0));

// Runs of zeros and the peak, noted in pieces of any size, as a plain scan
// of the whole finds them.
TEST(SilentRuns, AgreeWithAPlainScan) {
  std::mt19937 random(9);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<short> x;
    while (x.size() < 400) {  // runs of zeros and of sound, short and long
      const auto length = std::uniform_int_distribution<size_t>(1, trial % 2 ? 40 : 6)(random);
      const bool zero = random() % 2;
      // Sound of either sign, up to full scale (-32768) now and then.
      const int most = trial % 4 == 0 ? 32768 : 9;
      for (size_t i = 0; i < length; ++i) {
        const int v = 1 + static_cast<int>(random() % static_cast<unsigned>(most));
        x.push_back(zero ? 0 : static_cast<short>(random() % 2 ? -v : std::min(v, 32767)));
      }
    }
    std::vector<frame_run> plain;
    for (size_t i = 0; i < x.size();) {
      size_t j = i;
      while (j < x.size() && x[j] == 0) ++j;
      if (j - i >= shortest_silent_run) plain.push_back({static_cast<int64_t>(i), static_cast<int64_t>(j)});
      i = j == i ? i + 1 : j;
    }
    silent_runs found;
    double float_peak = 0;
    for (size_t at = 0; at < x.size();) {
      const size_t n = std::min(x.size() - at, std::uniform_int_distribution<size_t>(1, 70)(random));
      if (trial % 3 == 0) {
        // As floats of full scale 1: a zero of either sign, and now and then
        // a sample that is not a number (sound, and no peak).
        std::vector<float> f;
        for (size_t k = at; k < at + n; ++k) {
          f.push_back(x[k] == 0 ? (random() % 2 ? -0.0f : 0.0f) : static_cast<float>(x[k]) / 32768.0f);
          if (x[k] != 0 && random() % 8 == 0) f.back() = NAN;
          if (!std::isnan(f.back())) float_peak = std::max(float_peak, std::fabs(static_cast<double>(f.back())));
        }
        note_silence(found, f.data(), static_cast<int64_t>(n));
      } else {
        note_silence(found, x.data() + at, static_cast<int64_t>(n));
      }
      at += n;
    }
    end_silence(found);
    int peak = 0;
    for (const short v : x) peak = std::max(peak, std::abs(static_cast<int>(v)));
    EXPECT_EQ(found.peak, trial % 3 == 0 ? float_peak : peak / 32768.0) << "trial " << trial;
    ASSERT_EQ(found.runs.size(), plain.size()) << "trial " << trial;
    for (size_t k = 0; k < plain.size(); ++k) {
      EXPECT_EQ(found.runs[k].start, plain[k].start) << "trial " << trial;
      EXPECT_EQ(found.runs[k].end, plain[k].end) << "trial " << trial;
      EXPECT_EQ(silent_run_at(found, plain[k].end - 1), &found.runs[k]);
    }
  }
}

// Frames keep arriving later than a clock running 2 % fast expects: the
// filter learns the longer cell, and the prediction error dies away.
TEST(BitClock, FilterLearnsTheCellFromLateFrames) {
  tone_ring ring;
  const frame_format format{lower, baud, 1};
  read_observer events;
  rx::reader r{ring, format, events, 20, 20, 1, 1, 0, {}, {}};
  const double true_cell = 20.4, cells = 10;
  rx::clock_filter clock = rx::start_clock(r.cell);
  double s = 0, truth = 0, error = 0;
  for (int frame = 0; frame < 60; ++frame) {
    rx::predict(clock, cells, r.cell);
    s += cells * r.cell;
    truth += cells * true_cell;
    rx::timing t;
    t.variance = 0.2;
    t.place = 4.5;
    t.transitions = 4;
    error = truth - s;
    rx::correct_start(clock, r, s, t, error);
  }
  EXPECT_NEAR(r.cell, true_cell, 0.01);
  EXPECT_LT(std::abs(error), 0.5);
}

struct heard_rate {
  double upper_hz;
  int32_t cycles, told_baud;
  int32_t baud, lower;  // expected
  double speed;
};

void PrintTo(const heard_rate& h, std::ostream* os) { *os << h.upper_hz << " Hz, " << h.cycles << " cycles a cell"; }

class NominalFraming : public testing::TestWithParam<heard_rate> {};

// A standard rate within 12 % is taken with the tape's speed apart, unless
// the measurement hits a round rate and no standard one lies near.
TEST_P(NominalFraming, IsWhatAUserTyped) {
  const heard_rate& h = GetParam();
  framing_heard heard;
  heard.upper_hz = h.upper_hz;
  heard.cycles_per_cell = h.cycles;
  const nominal_framing n = nominal_of(heard, h.told_baud, 0);
  EXPECT_EQ(n.baud_rate, h.baud);
  EXPECT_EQ(n.lower_carrier, h.lower);
  EXPECT_NEAR(n.speed, h.speed, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Rates, NominalFraming,
                         testing::Values(heard_rate{2496, 1, 0, 1200, 1200, 1.04}, heard_rate{2208, 1, 0, 1200, 1200, 0.92},
                                         heard_rate{9984, 1, 0, 4800, 4800, 1.04}, heard_rate{2592, 16, 0, 75, 1200, 1.08},
                                         heard_rate{2400, 12, 0, 100, 1200, 1}, heard_rate{2400, 10, 0, 120, 1200, 1},
                                         heard_rate{2400, 12, 110, 110, 1320, 1200.0 / 1320}));

}  // namespace
