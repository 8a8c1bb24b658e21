// The synthesis takes shortcuts (batched cells, a fast sine that defers to the
// library only where a sample is in doubt). This test keeps the plain
// computation — one cell at a time, the library sine for every frame — and
// checks that whole recordings agree with it byte for byte.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/settings.h"
#include "driver/conversion.h"
#include "run_binary.h"

namespace {

using kelvora::settings;

// The straightforward recording, written from the description of the signal.
struct reference {
  std::string bytes;
  double clock = 0.0;

  void frame(int sample) {
    for (int c = 0; c < settings.channels; ++c) {
      if (settings.quantization_bits == 8) {
        bytes.push_back(static_cast<char>(sample));
      } else {
        bytes.push_back(static_cast<char>(sample & 0xFF));
        bytes.push_back(static_cast<char>((sample >> 8) & 0xFF));
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
    do {
      const double v = std::sin(6.283185307179586 * frequency * (t - s));
      frame(settings.quantization_bits == 8 ? static_cast<int>(128.0 - 127.0 * v)
                                            : static_cast<int>(-32767.0 * v));
      t += 1.0 / settings.sampling_rate;
    } while (t < e);
    clock = t;
  }

  void silence(double seconds) {
    const double x = seconds * settings.sampling_rate;
    for (long frames = 0; x > frames; ++frames) frame(settings.quantization_bits == 8 ? 128 : 0);
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

// The samples kelvora writes for the input with the current settings.
std::string converted_samples(const std::string& input) {
  std::FILE* in_file = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), in_file);
  std::rewind(in_file);
  kelvora::input_source in;
  in.file = in_file;
  kelvora::output_stream out;
  std::FILE* out_file = std::tmpfile();
  kelvora::attach_output(out, out_file, "tmp");
  kelvora::convert_streams(in, out, true);
  kelvora::flush_output(out);
  std::rewind(out_file);
  std::string bytes;
  char chunk[65536];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, out_file)) > 0) bytes.append(chunk, n);
  std::fclose(out_file);
  std::fclose(in_file);
  return bytes.substr(44);
}

struct setting_case {
  int32_t baud, carrier, rate, bits, channels, stops;
};

TEST(Reference, WholeRecordingsMatchThePlainComputation) {
  const std::vector<setting_case> cases = {
      {1200, 1200, 9600, 8, 1, 3},   {1200, 1200, 9600, 16, 1, 3},  {1200, 1200, 9600, 8, 2, 3},
      {1200, 1200, 9600, 16, 2, 1},  {100, 100, 850, 8, 1, 2},      {100, 100, 850, 16, 2, 0},
      {300, 600, 44100, 16, 1, 2},   {2400, 2400, 22050, 8, 1, 3},  {600, 600, 9600, 16, 1, 3},
      {1200, 2400, 48000, 16, 2, 3}, {1, 1, 100000, 16, 1, 1},      {1200, 1200, 9600, 8, 1, 130},
  };
  const std::vector<const char*> layouts = {nullptr, "io", "bin", "d3 b0.37 h0.11 d5 b-1 h0.013 d"};
  unsigned seed = 20;
  for (const setting_case& c : cases) {
    for (const char* layout : layouts) {
      kelvora::init_settings();
      settings.baud_rate = c.baud;
      settings.lower_carrier = c.carrier;
      settings.sampling_rate = c.rate;
      settings.quantization_bits = c.bits;
      settings.channels = c.channels;
      settings.stop_bits = c.stops;
      settings.format_string = layout == nullptr ? kelvora::default_format_text
                               : std::strcmp(layout, "io") == 0
                                   ? "b2.0 h3.5 d17 h0.05 b3.5 h3.5 d h0.05 b0.6"
                               : std::strcmp(layout, "bin") == 0 ? "b2.0 h3.5 d h0.05 b0.6"
                                                                 : layout;
      const size_t size = c.baud == 1 ? 2 : c.baud <= 300 ? 300 : 3000;
      const std::string input = random_bytes(size, seed++);
      reference expected;
      expected.lay_out(input);
      const std::string actual = converted_samples(input);
      ASSERT_EQ(actual.size(), expected.bytes.size()) << c.baud << " " << c.rate << " " << settings.format_string;
      size_t first = 0;
      while (first < actual.size() && actual[first] == expected.bytes[first]) ++first;
      EXPECT_EQ(first, actual.size()) << "first different byte, -b " << c.baud << " -w " << c.carrier
                                      << " -r " << c.rate << " -q " << c.bits << " -c " << c.channels
                                      << " -f '" << settings.format_string << "'";
    }
  }
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
    const std::string input = random_bytes(6000, static_cast<unsigned>(bits));
    reference expected;
    expected.lay_out(input);
    const std::string actual = converted_samples(input);
    ASSERT_EQ(actual.size(), expected.bytes.size());
    EXPECT_TRUE(actual == expected.bytes) << bits << "-bit";
  }
}

}  // namespace
