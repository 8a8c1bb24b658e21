// The synthesis takes shortcuts (frame times in closed form, cell templates,
// a walk of the tone and a fast sine that defer to the library only where a
// sample is in doubt). This test keeps the plain computation — one frame at
// a time, the library sine for every frame — and checks that whole
// recordings agree with it byte for byte.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/settings.h"
#include "driver/conversion.h"
#include "synth/code_segments.h"
#include "synth/frame_proof.h"
#include "synth/frame_times.h"
#include "run_binary.h"

namespace {

using kelvora::settings;

// The straightforward recording, written from the description of the signal
// and compared as it is made with the samples read from `actual`, so that
// recordings of hundreds of megabytes need no memory. With count_only set
// it counts frames one by one and writes nothing.
struct reference {
  std::FILE* actual = nullptr;
  std::string made;  // bytes made and not yet compared
  uint64_t compared = 0;
  uint64_t first_difference = UINT64_MAX;
  double clock = 0.0;
  bool count_only = false;
  uint64_t frames = 0;

  void compare() {
    std::string read(made.size(), '\0');
    const size_t n = std::fread(read.data(), 1, read.size(), actual);
    for (size_t i = 0; i < made.size() && first_difference == UINT64_MAX; ++i) {
      if (i >= n || read[i] != made[i]) first_difference = compared + i;
    }
    compared += made.size();
    made.clear();
  }

  void put(int byte) {
    made.push_back(static_cast<char>(byte));
    if (made.size() >= (size_t{1} << 20)) compare();
  }

  void frame(int sample) {
    ++frames;
    if (count_only) return;
    for (int c = 0; c < settings.channels; ++c) {
      if (settings.quantization_bits == 8) {
        put(sample & 0xFF);
      } else {
        put(sample & 0xFF);
        put((sample >> 8) & 0xFF);
      }
    }
  }

  double grid_point() const {
    return std::floor(settings.lower_carrier * clock + 1e-6) / settings.lower_carrier;
  }

  void cell(double frequency) {
    double t = clock;
    const double s = grid_point();
    const double e = s + 1.0 / settings.baud_rate;
    if (!(t < e)) return;
    const double full = settings.quantization_bits == 8 ? 127.0 : 32767.0;
    const double scale = (settings.invert ? -1 : 1) * (full * settings.level_percent / 100.0);
    do {
      if (count_only) {
        frame(0);
      } else {
        const double v = std::sin(6.283185307179586 * frequency * (t - s));
        frame(settings.quantization_bits == 8 ? static_cast<int>(128.0 - scale * v)
                                              : static_cast<int>(-scale * v));
      }
      t += 1.0 / settings.sampling_rate;
    } while (t < e);
    clock = t;
  }

  void silence(double seconds) {
    const double x = seconds * settings.sampling_rate;
    for (long n = 0; x > n; ++n) frame(settings.quantization_bits == 8 ? 128 : 0);
    if (x == x) clock = std::max(0.0, clock + static_cast<double>(static_cast<long>(x) / settings.sampling_rate));
  }

  void leader(double seconds) {
    const double end = grid_point() + seconds;
    while (end > clock) cell(2.0 * settings.lower_carrier);
  }

  void byte(int value) {
    cell(settings.lower_carrier);
    for (int bit = 0; bit < 8; ++bit) cell((value >> bit & 1) ? 2.0 * settings.lower_carrier : settings.lower_carrier);
    for (int i = 0; i < settings.stop_bits; ++i) cell(2.0 * settings.lower_carrier);
  }

  void lay_out(const std::string& input) {
    const char* format = settings.format_string;
    size_t next_byte = 0;
    double duration = 0.0;
    for (const char* p = std::strpbrk(format, "bhd"); p != nullptr; p = std::strpbrk(p + 1, "bhd")) {
      char* end = nullptr;
      if (*p == 'd') {
        const long count = std::strtol(p + 1, &end, 10);
        if (count < 0) continue;
        for (long n = 0; next_byte < input.size() && (count == 0 || n < count); ++n) {
          byte(static_cast<unsigned char>(input[next_byte++]));
        }
      } else {
        const double value = std::strtod(p + 1, &end);
        if (end != p + 1) duration = value;
        *p == 'h' ? leader(duration) : silence(duration);
      }
    }
  }
};

// The recording kelvora writes for the input with the current settings, at
// its first sample.
std::FILE* converted_recording(const std::string& input) {
  std::FILE* in_file = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), in_file);
  std::rewind(in_file);
  kelvora::input_source in;
  in.file = in_file;
  kelvora::output_stream out;
  std::FILE* out_file = std::tmpfile();
  kelvora::attach_output(out, out_file, "tmp");
  const kelvora::recording_plan plan = kelvora::prepare_recording(in);
  kelvora::write_recording(plan, in, out, true);
  kelvora::flush_output(out);
  std::fclose(in_file);
  std::fseek(out_file, 44, SEEK_SET);
  return out_file;
}

struct setting_case {
  int32_t baud, carrier, rate, bits, channels, stops;
  double level = 100.0;
  bool invert = false;
};

// Settings with a layout and the number of input bytes.
struct layout_case {
  setting_case settings;
  const char* layout;
  size_t input;
};

void apply(const setting_case& c, const char* layout) {
  kelvora::init_settings();
  settings.baud_rate = c.baud;
  settings.lower_carrier = c.carrier;
  settings.sampling_rate = c.rate;
  settings.quantization_bits = c.bits;
  settings.channels = c.channels;
  settings.stop_bits = c.stops;
  settings.level_percent = c.level;
  settings.invert = c.invert;
  settings.format_string = layout == nullptr ? kelvora::default_format_text
                           : std::strcmp(layout, "io") == 0
                               ? "b2.0 h3.5 d17 h0.05 b3.5 h3.5 d h0.05 b0.6"
                           : std::strcmp(layout, "bin") == 0 ? "b2.0 h3.5 d h0.05 b0.6"
                                                             : layout;
}

// Converts input_size random bytes with the current settings and compares
// the samples with the plain computation's.
void expect_plain_recording(const std::string& what, size_t input_size, unsigned seed) {
  const std::string input = random_bytes(input_size, seed);
  reference expected;
  expected.actual = converted_recording(input);
  expected.lay_out(input);
  expected.compare();
  const bool longer = std::fgetc(expected.actual) != EOF;
  std::fclose(expected.actual);
  EXPECT_FALSE(longer) << "more samples than the plain computation's " << expected.compared << ", " << what;
  EXPECT_EQ(expected.first_difference, UINT64_MAX) << "a different byte (of " << expected.compared << "), "
                                                   << what;
}

void expect_plain_recording(const setting_case& c, const char* layout, size_t input_size, unsigned seed) {
  apply(c, layout);
  expect_plain_recording("-b " + std::to_string(c.baud) + " -w " + std::to_string(c.carrier) + " -r " +
                             std::to_string(c.rate) + " -q " + std::to_string(c.bits) + " -c " +
                             std::to_string(c.channels) + " -s " + std::to_string(c.stops) +
                             " --level=" + std::to_string(c.level) + (c.invert ? " --invert" : "") + " -f '" +
                             settings.format_string + "'",
                         input_size, seed);
}

TEST(Reference, WholeRecordingsMatchThePlainComputation) {
  const std::vector<setting_case> cases = {
      {1200, 1200, 9600, 8, 1, 3},   {1200, 1200, 9600, 16, 1, 3},  {1200, 1200, 9600, 8, 2, 3},
      {1200, 1200, 9600, 16, 2, 1},  {100, 100, 850, 8, 1, 2},      {100, 100, 850, 16, 2, 0},
      {300, 600, 44100, 16, 1, 2},   {2400, 2400, 22050, 8, 1, 3},  {600, 600, 9600, 16, 1, 3},
      {1200, 2400, 48000, 16, 2, 3}, {1, 1, 100000, 16, 1, 1},      {1200, 1200, 9600, 8, 1, 130},
      // Lower levels and the inverted polarity.
      {1200, 1200, 9600, 8, 1, 3, 50.0},  {1200, 1200, 9600, 16, 2, 3, 3.0},
      {1200, 1200, 9600, 8, 1, 3, 100.0, true}, {300, 600, 44100, 16, 1, 2, 71.3, true},
      // Power-of-two rates: frames fall exactly on cell ends and grid points.
      {1024, 1024, 8192, 8, 1, 3}, {1024, 2048, 16384, 16, 1, 2}, {2048, 2048, 65536, 16, 2, 1},
      // A fractional number of frames per cell: every cell starts elsewhere.
      {1000, 1000, 8001, 8, 1, 3}, {50, 1000, 8001, 16, 1, 1}, {1200, 2400, 22050, 16, 1, 3},
      // 16-bit peaks (-32767 only at exactly 1), no stop bits, and inverted;
      // bytes of exactly 64 cells, the most the tone generator takes at once.
      {1200, 1200, 9600, 16, 1, 0}, {1200, 1200, 9600, 16, 2, 3, 100.0, true}, {1200, 1200, 9600, 8, 1, 55},
      // Cells that repeat only in classes of their first frame's offset (16,
      // 50 and 4 classes), and the regular geometries of other speeds.
      {1200, 1200, 11025, 8, 1, 3}, {50, 1000, 8001, 8, 1, 3}, {1200, 1200, 44100, 8, 1, 3},
      {2400, 2400, 19200, 8, 1, 3}, {1000, 2000, 16000, 8, 1, 1}, {300, 600, 9600, 8, 1, 3},
      {1500, 1500, 48000, 16, 2, 0}, {1200, 1200, 9600, 16, 1, 3},
      // Classes whose cells end within a few units of a frame: their frame
      // count hangs on the rounding of each cell's end.
      {1200, 3600, 44100, 16, 1, 3},
  };
  const std::vector<const char*> layouts = {nullptr, "io", "bin", "d3 b0.37 h0.11 d5 b-1 h0.013 d"};
  unsigned seed = 20;
  for (const setting_case& c : cases) {
    for (const char* layout : layouts) {
      expect_plain_recording(c, layout, c.baud == 1 ? 2 : c.baud <= 300 ? 300 : 3000, seed++);
    }
  }
}

TEST(Reference, ClocksAcrossManyBinades) {
  // Long silences first: every binade of the clock has its own frame
  // increment, its own templates, and a cell or two that straddle its end.
  const std::vector<layout_case> cases = {
      {{1200, 1200, 9600, 8, 1, 3}, "b3000 h1 d", 2000},
      {{1200, 1200, 9600, 16, 1, 3}, "b700 h1 d b1500 d", 2000},
      {{1, 1, 8, 8, 1, 3}, "b1000000 h2 d", 3},
      {{300, 600, 8000, 8, 1, 3}, "b20000 d", 300},
      {{1200, 2400, 48000, 16, 2, 3}, "b100 h0.5 d b300 d", 1000},
      {{1024, 1024, 65536, 16, 1, 3}, "b2000 h0.3 d", 300},
  };
  unsigned seed = 90;
  for (const layout_case& c : cases) expect_plain_recording(c.settings, c.layout, c.input, seed++);
}

TEST(Reference, LongRunsFarFromTheStartOfTheClock) {
  // Late in a long recording the clock carries more rounding, which moves
  // frames off the exact peaks and zero crossings of the tone.
  for (const int bits : {8, 16}) {
    kelvora::init_settings();
    settings.baud_rate = 300;  // the default geometry (8 frames a cell) at a quarter of the rate
    settings.lower_carrier = 300;
    settings.sampling_rate = 2400;
    settings.quantization_bits = bits;
    settings.format_string = "b2000 h0.5 d b6000 h0.2 d";
    expect_plain_recording(std::to_string(bits) + "-bit", 6000, static_cast<unsigned>(bits));
  }
}

TEST(Reference, LongRecordingsInClassesOfOffsets) {
  // Late in a recording a class of offsets comes back a few units further
  // each time: its template's frames are made and proven again one by one.
  // A silence within the data moves every class elsewhere at once.
  const std::vector<layout_case> cases = {
      {{1200, 1200, 11025, 8, 1, 3}, "b1500 h0.5 d", 3000},
      {{1200, 2400, 22050, 16, 1, 3}, "b1000 h0.5 d400 b0.37 d", 2000},
      {{1200, 2400, 22050, 16, 2, 3, 61.0, true}, "b700 h0.2 d", 1000},
      {{50, 1000, 8001, 8, 1, 3}, "b3000 d", 40},
      {{50, 1000, 8001, 16, 1, 1, 100.0, true}, "b1500 d", 20},
      {{1200, 1200, 44100, 8, 1, 3}, "b600 h0.1 d", 1500},
      // Runs of cells proven ahead that meet the ends of the clock's binades.
      {{1200, 1200, 11025, 8, 1, 3}, nullptr, 16000},
      // One class, late in the clock: whole cells no longer repeat, most of
      // their frames still do.
      {{75, 1200, 11025, 8, 1, 3}, "b20000 d", 1500},
  };
  unsigned seed = 120;
  for (const layout_case& c : cases) expect_plain_recording(c.settings, c.layout, c.input, seed++);
}

// The plain computation's sample of the sine value v.
int plain_code(int32_t bits, double scale, double v) {
  return bits == 8 ? static_cast<unsigned char>(static_cast<int>(128.0 - scale * v))
                   : static_cast<int16_t>(static_cast<int>(-scale * v));
}

// The stretches of a frame's codes carried on from its proof `first` (and
// the expansion it left), as many at a time as asked (at random where
// `asked` is 0), each starting right after the one before; a call that
// proves fewer than asked ends the chain.
std::vector<kelvora::frame_proof> carry_on(const kelvora::template_key& key, int64_t frames, int direction,
                                           const kelvora::frame_expansion& expansion, kelvora::frame_proof first,
                                           std::mt19937_64& random, int asked = 0) {
  std::vector<kelvora::frame_proof> stretches{first};
  for (int call = 0; call < 12; ++call) {
    const kelvora::frame_proof& before = stretches.back();
    const int64_t edge = direction > 0 ? before.high + 1 : before.low - 1;
    kelvora::frame_proof ahead[4];
    const int wanted = asked > 0 ? asked : 1 + static_cast<int>(random() % 4);
    const int proven = kelvora::prove_frame_onward(key, frames, direction, expansion, edge, ahead, wanted);
    EXPECT_LE(proven, wanted);
    for (int n = 0; n < proven; ++n) {
      const int64_t start = n == 0 ? edge : (direction > 0 ? ahead[n - 1].high + 1 : ahead[n - 1].low - 1);
      EXPECT_EQ(direction > 0 ? ahead[n].low : ahead[n].high, start) << "code " << n << " of " << proven;
      EXPECT_LE(ahead[n].low, ahead[n].high);
      stretches.push_back(ahead[n]);
    }
    if (proven < wanted) break;
  }
  return stretches;
}

TEST(Reference, FrameProofsHoldAtBothEndsOfTheirIntervals) {
  // A frame's sample is proven for an interval of offsets; the library's
  // sine gives that sample at both ends. The intervals that lean the way d0
  // moves end a hair short of where the code is expected to change, so a
  // margin too thin shows here; the 16-bit ones are carried on code by code
  // from what the first proof knew, each stretch ending right where its code
  // changes, so a step put a unit late shows here too.
  // 8-bit frames are proven from the segments of phase with one code too,
  // each ending a margin short of where the sine crosses into the next.
  std::mt19937_64 random(21);
  int leaning = 0;
  int carried = 0;
  int by_segments = 0;
  const double levels[] = {100, 61, -100, -3};  // negative: inverted
  kelvora::code_segments segments[4];
  for (int n = 0; n < 4; ++n) {
    const double scale = 127.0 * levels[n] / 100;
    kelvora::make_code_segments(8, scale, segments[n]);
    const kelvora::code_segments& s = segments[n];
    ASSERT_GT(s.code.size(), 10u);
    for (size_t j = 0; j + 1 < s.code.size(); ++j) {  // the last is an end mark
      for (const double p : {s.low[j], s.high[j], s.low[j] + (s.high[j] - s.low[j]) / 2}) {
        ASSERT_EQ(plain_code(8, scale, std::sin(p)), s.code[j])
            << "segment " << j << " [" << s.low[j] << ", " << s.high[j] << "] at " << p << ", scale " << scale;
      }
    }
  }
  for (int round = 0; round < 20000; ++round) {
    const int32_t bits = round % 2 ? 16 : 8;
    const double frequencies[] = {1000, 1200, 2000, 2400, 4800};
    const int32_t rates[] = {8001, 11025, 22050, 44100};
    const int level_index = static_cast<int>(random() % 4);
    const double level = levels[level_index];
    const double scale = (bits == 8 ? 127.0 : 32767.0) * level / 100;
    const double w = 6.283185307179586 * frequencies[random() % 5];
    const int k = static_cast<int>(random() % 13);  // the clock's binade [2^k, 2^(k+1)) seconds
    const double unit = std::ldexp(1.0, k - 52);
    const auto increment = static_cast<int64_t>(std::nearbyint(1.0 / rates[random() % 4] / unit));
    const kelvora::template_key key{w, increment, unit, scale, bits, bits / 8};
    // Now and then the first frame right at its cell's start: phase 0, on a
    // crossing (code 128), which no segment may claim.
    const bool at_start = round % 20 == 0;
    const auto d0 = at_start ? 0 : static_cast<int64_t>(random() % static_cast<uint64_t>(increment));
    const int64_t frames = 8 + static_cast<int64_t>(random() % 160);
    const int64_t i = at_start ? 0 : static_cast<int64_t>(random() % static_cast<uint64_t>(frames));
    const int direction = static_cast<int>(random() % 3) - 1;
    kelvora::frame_expansion expansion{};
    kelvora::frame_proof f = kelvora::prove_frame(key, d0, i, frames, direction, &expansion);
    kelvora::frame_proof by_phase{0, 0, 0};
    const bool proven_by_phase =
        bits == 8 && kelvora::prove_frame_by_segments(segments[level_index], key, d0, i, by_phase);
    ASSERT_FALSE(at_start && proven_by_phase) << "a phase right on a crossing, binade 2^" << k;
    if (proven_by_phase) {
      ++by_segments;
      ASSERT_LE(by_phase.low, d0);
      ASSERT_GE(by_phase.high, d0);
      for (const int64_t d : {by_phase.low, by_phase.high, d0}) {
        const double v = std::sin(w * (static_cast<double>(d + i * increment) * unit));
        ASSERT_EQ(plain_code(8, scale, v), by_phase.code)
            << "frame " << i << " at " << d << " of [" << by_phase.low << ", " << by_phase.high << "] by phase, d0 "
            << d0 << ", binade 2^" << k;
      }
    }
    ASSERT_LE(f.low, d0);
    ASSERT_GE(f.high, d0);
    leaning += direction != 0 && f.high - f.low > 64;
    // 16-bit codes carried on, a few at a time.
    const std::vector<kelvora::frame_proof> stretches =
        bits == 16 ? carry_on(key, frames, direction, expansion, f, random) : std::vector<kelvora::frame_proof>{f};
    carried += static_cast<int>(stretches.size()) - 1;
    for (size_t n = 0; n < stretches.size(); ++n) {
      const kelvora::frame_proof& p = stretches[n];
      for (const int64_t d : {p.low, p.high, p.low + (p.high - p.low) / 2, n == 0 ? d0 : p.low}) {
        const double v = std::sin(w * (static_cast<double>(d + i * increment) * unit));
        ASSERT_EQ(plain_code(bits, scale, v), p.code)
            << "frame " << i << " at " << d << " of [" << p.low << ", " << p.high << "], d0 " << d0 << ", binade 2^"
            << k << ", " << bits << "-bit, direction " << direction << ", code " << n << " on";
      }
    }
  }
  EXPECT_GT(leaning, 5000);   // the proofs that lean do reach out
  EXPECT_GT(carried, 80000);  // and are carried on, several codes a call
  EXPECT_GT(by_segments, 8500);  // nearly every 8-bit frame off a crossing lies in a segment
}

TEST(Reference, CarriedOnCodesHoldAcrossPeaks) {
  // 16-bit codes carried on several at a time share one margin where the
  // tone is monotone on the way; a stretch reaching over a peak, or a margin
  // taken too near, shows only next to a peak or a code's end. Every
  // stretch is checked at its ends and a few units either side of each peak
  // inside it (between peaks the sine is monotone, so that is every offset);
  // most chains start just short of a peak of their frame, moving towards it.
  std::mt19937_64 random(22);
  const double quarter = 1.5707963267948966;
  int64_t stretches_checked = 0;
  int64_t near_peaks = 0;
  for (int round = 0; round < 60000; ++round) {
    const double levels[] = {100, 61, -100, -3};
    const double scale = 32767.0 * levels[random() % 4] / 100;
    const double frequencies[] = {1000, 1200, 2000, 2400, 4800};
    const double w = 6.283185307179586 * frequencies[random() % 5];
    const int32_t rates[] = {8001, 11025, 22050, 44100};
    const double unit = std::ldexp(1.0, static_cast<int>(random() % 13) - 52);
    const auto increment = static_cast<int64_t>(std::nearbyint(1.0 / rates[random() % 4] / unit));
    const kelvora::template_key key{w, increment, unit, scale, 16, 2};
    const int64_t frames = 8 + static_cast<int64_t>(random() % 160);
    const int64_t i = static_cast<int64_t>(random() % static_cast<uint64_t>(frames));
    const int direction = random() % 2 ? 1 : -1;
    const double per_unit = w * unit;
    const auto phase_at = [&](int64_t d) { return w * (static_cast<double>(d + i * increment) * unit); };
    auto d0 = static_cast<int64_t>(random() % static_cast<uint64_t>(increment));
    if (round % 2 != 0) {
      // A little short of the next peak the way d0 moves, within the reach
      // of one expansion (its fourth power below the phase of a unit).
      const double p = phase_at(d0);
      const double peak = direction > 0 ? (std::floor((p - quarter) / (2 * quarter)) + 1) * 2 * quarter + quarter
                                        : (std::ceil((p - quarter) / (2 * quarter)) - 1) * 2 * quarter + quarter;
      const double short_of = std::uniform_real_distribution<double>(0, 0.004)(random);
      d0 += static_cast<int64_t>((peak - direction * short_of - p) / per_unit);
    }
    kelvora::frame_expansion expansion{};
    const kelvora::frame_proof first = kelvora::prove_frame(key, d0, i, frames, direction, &expansion);
    const std::vector<kelvora::frame_proof> stretches = carry_on(key, frames, direction, expansion, first, random, 4);
    for (size_t n = 1; n < stretches.size(); ++n) {
      const kelvora::frame_proof& s = stretches[n];
      std::vector<int64_t> offsets = {s.low, s.high};
      // The peaks whose phases lie in the stretch's, each as the offset nearest it.
      const double low_phase = phase_at(s.low);
      const double high_phase = phase_at(s.high);
      for (double m = std::ceil((std::min(low_phase, high_phase) - quarter) / (2 * quarter));
           m * 2 * quarter + quarter <= std::max(low_phase, high_phase); ++m) {
        const auto at = static_cast<int64_t>(std::nearbyint((m * 2 * quarter + quarter) / per_unit)) - i * increment;
        for (int64_t d = at - 3; d <= at + 3; ++d) {
          if (d >= s.low && d <= s.high) offsets.push_back(d);
        }
      }
      // Within a thousandth of a turn of a peak: where the codes turn back.
      near_peaks += std::fabs(std::remainder(high_phase - quarter, 2 * quarter)) < 0.006;
      for (const int64_t d : offsets) {
        ASSERT_EQ(plain_code(16, scale, std::sin(phase_at(d))), s.code)
            << "frame " << i << " at " << d << " of [" << s.low << ", " << s.high << "], d0 " << d0 << ", unit " << unit
            << ", increment " << increment << ", direction " << direction << ", code " << n << " on";
      }
      ++stretches_checked;
    }
  }
  EXPECT_GT(stretches_checked, 200000);
  EXPECT_GT(near_peaks, 2000);  // the chains do come to their peaks
}

TEST(Reference, RecordingSizesMatchTheFrameByFrameCount) {
  // The size is counted in closed form before anything is written; the frame
  // by frame count is the plain loop. Long silences take the clock across
  // many binades; power-of-two rates put frames exactly on cell ends.
  const std::vector<layout_case> cases = {
      {{1200, 1200, 9600, 8, 1, 3}, nullptr, 100},
      {{1200, 1200, 9600, 8, 1, 3}, "b3000 h1 d", 200},
      {{1, 1, 8, 8, 1, 3}, "b1000000 h2 d", 3},
      {{300, 600, 8000, 8, 1, 3}, "b20000 d", 300},
      {{1200, 1200, 8192, 8, 1, 3}, "h1 b1500 h0.3 d b1 d7 h2", 300},
      {{1024, 1024, 16384, 8, 1, 2}, "io", 300},
      {{1024, 2048, 65536, 16, 2, 1}, "b1100 h1 d", 100},
      {{100, 100, 850, 8, 1, 2}, "b2000 h3.3 d b-7 h0.01 d", 50},
      {{1200, 1200, 9601, 8, 1, 3}, "b5000 h0.5 d", 200},
      {{50, 1000, 8001, 16, 1, 1}, "bin", 40},
      {{1200, 2400, 22050, 16, 1, 3}, "b1100 h0.7 d", 200},
      {{1200, 1200, 9600, 8, 1, 0}, "b1025 d", 300},
      {{1200, 1200, 9600, 8, 1, 1000}, "b3 d", 5},
      {{1, 1, 2000000, 8, 1, 0}, "d b30 d1 h2", 2},  // cells longer than a batch
      {{600, 600, 9600, 8, 1, 3}, "d2 b0.277 h2.901", 2},
      {{1200, 1200, 9600, 8, 1, 3}, "h1e-300 b1e-5 h0 hnan bnan b-inf h0.5 b1e-9 d", 10},
  };
  for (const layout_case& c : cases) {
    apply(c.settings, c.layout);
    reference expected;
    expected.count_only = true;
    expected.lay_out(std::string(c.input, 'x'));
    const auto layout = kelvora::parse_layout(settings.format_string);
    const kelvora::recording_plan plan = kelvora::plan_recording(layout, c.input, kelvora::wav_data_limit);
    EXPECT_EQ(plan.data_bytes, expected.frames * static_cast<uint64_t>(kelvora::bytes_per_frame()))
        << "-b " << c.settings.baud << " -w " << c.settings.carrier << " -r " << c.settings.rate
        << " -s " << c.settings.stops << " -f '" << settings.format_string << "'";
    // One frame less of room and the same recording no longer fits.
    const uint64_t frames = plan.data_bytes / static_cast<uint64_t>(kelvora::bytes_per_frame());
    if (frames > 0) {
      EXPECT_GT(kelvora::plan_recording(layout, c.input, plan.data_bytes - 1).data_bytes,
                plan.data_bytes - 1);
    }
  }
}

}  // namespace

namespace {

TEST(Reference, ClosedFormFrameTimesEqualRepeatedAdditionToTheBit) {
  // The clock after a closed-form count must be the very double that repeated
  // addition reaches: an ulp off would move a frame across a cell's end.
  std::mt19937_64 random(14);
  const std::vector<int32_t> rates = {8, 850, 8001, 8192, 9600, 22050, 44100, 48000, 65536, 96000, 11025, 7};
  for (int round = 0; round < 2000; ++round) {
    const int32_t rate = rates[round % rates.size()];
    const double step = 1.0 / rate;
    // Starts at 0 (rounding ties sit in the binades just above the step) or
    // spread over many binades; runs long enough to cross several.
    const double t0 = round % 4 == 0 ? 0.0
                                     : std::ldexp(static_cast<double>(random() % 1000000) / 1000000.0 + 1.0,
                                                  static_cast<int>(random() % 24) - 12);
    const double end = t0 + step * static_cast<double>(random() % 200000);
    double plain = t0;
    uint64_t plain_frames = 0;
    while (plain < end) {
      plain += step;
      ++plain_frames;
    }
    double t = t0;
    const uint64_t frames = kelvora::frames_until(t, end, step, UINT64_MAX - 1);
    ASSERT_EQ(frames, plain_frames) << rate << " " << t0 << " " << end;
    ASSERT_EQ(t, plain) << rate << " " << t0 << " " << end;
  }
  // Runs of cells: the clock after them equals the cell-by-cell clock.
  for (int round = 0; round < 200; ++round) {
    const setting_case c = round % 2 ? setting_case{1200, 1200, 9600, 8, 1, 3}
                                     : setting_case{300, 600, 8001 + round, 8, 1, 3};
    apply(c, "");
    const double t0 = std::ldexp(static_cast<double>(random() % 1000000) / 1000000.0 + 1.0,
                                 static_cast<int>(random() % 20) - 8);
    const uint64_t cells = random() % 40000;
    reference plain;
    plain.count_only = true;
    plain.clock = t0;
    for (uint64_t i = 0; i < cells; ++i) plain.cell(settings.lower_carrier);
    double t = t0;
    uint64_t done = 0;
    const uint64_t frames = kelvora::count_cell_frames_run(t, cells, INFINITY, UINT64_MAX - 1, done);
    ASSERT_EQ(frames, plain.frames) << round;
    ASSERT_EQ(t, plain.clock) << round;
  }
}

}  // namespace
