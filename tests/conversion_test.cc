// End-to-end conversions through the real binary: recording sizes, the first
// samples of a run, the layout language and the standard streams.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/settings.h"
#include "driver/conversion.h"
#include "run_binary.h"

namespace {

struct converted {
  int status;
  std::string wav;
};

// Converts input with the given options in a fresh directory.
converted convert(const std::vector<std::string>& options, const std::string& input) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/in.img", input);
  std::vector<std::string> args = options;
  args.push_back("in.img");
  args.push_back("out.wav");
  const run_result result = run_kelvora(args, "/dev/null", dir);
  EXPECT_EQ(result.out, "");
  return {result.status, read_file(dir + "/out.wav")};
}

unsigned data_size(const converted& c) { return c.wav.size() < 44 ? 0 : le32_at(c.wav, 40); }

unsigned char sample(const converted& c, size_t i) { return static_cast<unsigned char>(c.wav.at(44 + i)); }

int16_t sample16(const converted& c, size_t frame) {
  return static_cast<int16_t>(le16_at(c.wav, 44 + 2 * frame));
}

TEST(Conversion, RecordingSizesOfTheDefaultLayoutAndPresets) {
  const std::string input = random_bytes(100, 1);
  struct row {
    std::vector<std::string> options;
    std::string input;
    unsigned data;
  };
  const std::vector<row> rows = {
      {{}, input, 73441},
      {{"-f", "io"}, input, 136321},
      {{"-f", "bin"}, input, 68641},
      {{}, "", 63841},  // 19,200 + 33,601 + 4,800 + 480 + 5,760
      // A leader whose grid point lies a rounding step above the clock still ends.
      {{"-b", "600", "-w", "600", "-f", "d2 b0.277 h2.901"}, "ab", 30901},
  };
  for (const row& r : rows) {
    const converted c = convert(r.options, r.input);
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(data_size(c), r.data) << testing::PrintToString(r.options);
    EXPECT_EQ(c.wav.size(), r.data + 44u);
    EXPECT_EQ(le32_at(c.wav, 4), r.data + 36u);
  }
}

bool zero_crossing(unsigned char value) { return value == 127 || value == 128; }

TEST(Conversion, FirstCellOfARunStartsOnTheGridAndSwingsDown) {
  // A 0 bit (start bit) at 1200 Hz: one period in 8 frames.
  const converted zero = convert({"-f", "d1"}, std::string(1, '\0'));
  const std::vector<unsigned char> expected = {128, 38, 1, 38, 0, 217, 255, 217};
  for (size_t i = 0; i < expected.size(); ++i) {
    if (i == 4) {
      EXPECT_TRUE(zero_crossing(sample(zero, i)));
    } else {
      EXPECT_EQ(sample(zero, i), expected[i]) << i;
    }
  }
  // A 1 cell at 2400 Hz: two periods.
  const converted one = convert({"-f", "h0.001"}, "");
  const std::vector<int> ones = {128, 1, -1, 255, -1, 1, -1, 255};
  for (size_t i = 0; i < ones.size(); ++i) {
    if (ones[i] < 0) {
      EXPECT_TRUE(zero_crossing(sample(one, i))) << i;
    } else {
      EXPECT_EQ(sample(one, i), ones[i]) << i;
    }
  }
  // 16-bit: full scale is 32767 either way.
  const converted wide = convert({"-q", "16", "-f", "d1"}, std::string(1, '\0'));
  EXPECT_EQ(sample16(wide, 0), 0);
  EXPECT_EQ(sample16(wide, 2), -32767);
  EXPECT_EQ(sample16(wide, 4), 0);
  EXPECT_EQ(sample16(wide, 6), 32767);
  // 16-bit stereo: four bytes a frame, both channels equal.
  const converted stereo = convert({"-q", "16", "-c", "2", "-f", "d1"}, std::string(1, '\x5A'));
  ASSERT_EQ(data_size(stereo) % 4, 0u);
  EXPECT_EQ(data_size(stereo), 4 * (data_size(wide) / 2));
  for (size_t frame = 0; frame < data_size(stereo) / 4; ++frame) {
    ASSERT_EQ(le16_at(stereo.wav, 44 + 4 * frame), le16_at(stereo.wav, 46 + 4 * frame)) << frame;
  }
}

TEST(Conversion, CellsJoinOnTheGridAcrossBoundaries) {
  // Default layout, empty input: the first leader cell (clock 2.0) takes a
  // ninth frame, after which the tone runs on without a phase jump.
  const converted c = convert({}, "");
  const std::vector<int> leader = {128, 1, -1, 255, -1, 1, -1, 255, -1, 1, -1, 255};
  for (size_t i = 0; i < leader.size(); ++i) {
    if (leader[i] < 0) {
      EXPECT_TRUE(zero_crossing(sample(c, 19200 + i))) << i;
    } else {
      EXPECT_EQ(sample(c, 19200 + i), leader[i]) << i;
    }
  }
  // A sampling rate that is not a multiple of the baud rate: 8.5 frames a
  // cell, the fraction carried through the clock.
  const converted half = convert({"-b", "100", "-w", "100", "-r", "850", "-f", "h0.1"}, "");
  EXPECT_EQ(data_size(half), 86u);
  const converted byte = convert({"-b", "100", "-w", "100", "-r", "850", "-s", "0", "-f", "d1"},
                                 std::string(1, '\0'));
  EXPECT_EQ(data_size(byte), 77u);  // 9 cells of 8 or 9 frames
}

TEST(Conversion, LayoutLanguage) {
  const std::string input = random_bytes(20, 2);
  const auto size_of = [&](const std::string& layout, const std::string& in) {
    const converted c = convert({"-f", layout}, in);
    EXPECT_EQ(c.status, 0) << layout;
    return data_size(c);
  };
  struct same {
    std::string layout;
    std::string reference;
  };
  const std::vector<same> pairs = {
      {"b1 h", "b1 h1"},      {"b2h3.5", "b2 h3.5"}, {"d5h1", "d5 h1"},    {"d5.9", "d5"},
      {"d 3", "d3"},          {"d0", "d20"},         {"d", "d20"},        {"d16 d", "d20"},
      {"d30", "d20"},         {"h d", "d"},          {"h0.5 b h", "h0.5 b0.5 h0.5"},
      {"b2 h3 d5 xyz", "b2 h3 d5"},
  };
  for (const same& p : pairs) EXPECT_EQ(size_of(p.layout, input), size_of(p.reference, input)) << p.layout;
  for (const std::string empty : {"", "IO", "B2", "d-1", "h0", "h-1", "b0", "xyz 123"}) {
    const converted c = convert({"-f", empty}, input);
    EXPECT_EQ(c.wav.size(), 44u) << empty;
  }
  EXPECT_EQ(size_of("b1", input), 9600u);
  EXPECT_EQ(size_of("b0.05", input), 480u);
  EXPECT_EQ(size_of("d1", input), 96u);
}

TEST(Conversion, BytesLeftOverAreNeverRead) {
  kelvora::init_settings();
  kelvora::settings.format_string = "b2 h3 d5 h1";
  std::FILE* input = std::tmpfile();
  std::fwrite(random_bytes(20, 3).data(), 1, 20, input);
  std::rewind(input);
  kelvora::input_source in;
  in.file = input;
  kelvora::output_stream out;
  kelvora::attach_output(out, std::fopen("/dev/null", "wb"), "null");
  const kelvora::recording_plan plan = kelvora::prepare_recording(in);
  kelvora::write_recording(plan, in, out, false);
  EXPECT_EQ(std::ftell(input), 5);
  EXPECT_EQ(plan.data_bytes, 19200u + 28800 + 5 * 96 + 9600 + 1);
  kelvora::close_output(out);
  std::fclose(input);
}

TEST(Conversion, StandardStreams) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/in.img", random_bytes(50, 4));
  ASSERT_EQ(run_kelvora({"in.img", "file.wav"}, "/dev/null", dir).status, 0);
  const std::string expected = read_file(dir + "/file.wav");

  const run_result piped = run_kelvora({"in.img", "-"}, "/dev/null", dir);
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out, expected);
  const run_result both = run_kelvora({"-", "-"}, dir + "/in.img", dir);
  EXPECT_EQ(both.out, expected);
  ASSERT_EQ(run_kelvora({"-", "stdin.wav"}, dir + "/in.img", dir).status, 0);
  EXPECT_EQ(read_file(dir + "/stdin.wav"), expected);
  // A regular file behind standard output gets the finished header.
  ASSERT_EQ(run_shell("cd " + dir + " && $K in.img - > redirected.wav"), 0);
  EXPECT_EQ(read_file(dir + "/redirected.wav"), expected);
  // Appending after other bytes: the header is exact where the recording starts.
  ASSERT_EQ(run_shell("cd " + dir + " && printf abc > appended && $K in.img - >> appended"), 0);
  EXPECT_EQ(read_file(dir + "/appended"), "abc" + expected);
  // A file is read in blocks, a pipe read ahead: an image of a few blocks,
  // taken in two parts that end inside a block, gives the same recording.
  const std::string image = random_bytes(140000, 5);
  write_file(dir + "/long.img", image);
  const std::vector<std::string> parts = {"-b", "2400", "-w", "2400", "-r", "19200", "-f", "d70001 b0.01 d"};
  std::vector<std::string> from_file = parts;
  from_file.insert(from_file.end(), {"long.img", "-"});
  std::vector<std::string> from_pipe = parts;
  from_pipe.insert(from_pipe.end(), {"-", "-"});
  const run_result file_run = run_kelvora(from_file, "/dev/null", dir);
  EXPECT_EQ(file_run.status, 0);
  EXPECT_EQ(file_run.out, run_kelvora_piped(from_pipe, image, dir).out);
  // A file whose size says it is empty and which is not (its own command
  // line, under /proc) is read as a pipe is.
  const std::vector<std::string> args = {"-f", "bin", "/proc/self/cmdline", "-"};
  std::string command_line = KELVORA_BINARY + std::string(1, '\0');
  for (const std::string& arg : args) command_line += arg + '\0';
  EXPECT_EQ(run_kelvora(args, "/dev/null", dir).out, run_kelvora_piped({"-f", "bin", "-", "-"}, command_line, dir).out);
}

TEST(Conversion, FilesThatCannotBeOpened) {
  const std::string dir = make_temp_dir();
  const run_result both_bad = run_kelvora({"missing.img", "no/such/dir/out.wav"}, "/dev/null", dir);
  EXPECT_EQ(both_bad.out, "cannot open missing.img: No such file or directory\n");
  EXPECT_EQ(both_bad.status, 1);
  const run_result not_created = run_kelvora({"missing.img", "out.wav"}, "/dev/null", dir);
  EXPECT_EQ(not_created.out, "cannot open missing.img: No such file or directory\n");
  EXPECT_EQ(read_file(dir + "/out.wav"), "");
  write_file(dir + "/in.img", "x");
  const run_result bad_output = run_kelvora({"in.img", "no/such/dir/out.wav"}, "/dev/null", dir);
  EXPECT_EQ(bad_output.out, "cannot open no/such/dir/out.wav: No such file or directory\n");
  EXPECT_EQ(bad_output.status, 1);
  // The input is opened even when the layout reads nothing of it.
  EXPECT_EQ(run_kelvora({"-f", "IO", "missing.img", "out.wav"}, "/dev/null", dir).out,
            "cannot open missing.img: No such file or directory\n");
}

}  // namespace
