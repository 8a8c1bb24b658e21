// Reading recordings back through the real binary: every setting the writer
// has must come back byte for byte, and every bad input, bad framing and
// unwritable image must end in one line and status 1. Skipped where the
// binary was built without libsndfile.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_binary.h"

namespace {

bool reader_available() {
  static const bool available = [] {
    const run_result probe = run_kelvora({"--read", "/nonexistent", "/nonexistent"});
    return (probe.out + probe.err).find("not available") == std::string::npos;
  }();
  return available;
}

#define SKIP_WITHOUT_READER() \
  if (!reader_available()) GTEST_SKIP() << "built without libsndfile"

struct round_trip {
  std::string name;
  std::vector<std::string> write;  // writer options (the framing ones are repeated for reading)
  size_t bytes;                    // payload size
  size_t taken;                    // bytes the layout takes (0: all)
};

void PrintTo(const round_trip& r, std::ostream* os) { *os << r.name; }

class RoundTrip : public testing::TestWithParam<round_trip> {};

// The framing options of a writer's command line: what --read needs.
std::vector<std::string> framing_of(const std::vector<std::string>& options) {
  std::vector<std::string> framing;
  for (size_t i = 0; i + 1 < options.size(); ++i) {
    if (options[i] == "-b" || options[i] == "-w" || options[i] == "-s") {
      framing.push_back(options[i]);
      framing.push_back(options[i + 1]);
    }
  }
  return framing;
}

TEST_P(RoundTrip, ReadReturnsExactlyTheBytesWritten) {
  SKIP_WITHOUT_READER();
  const round_trip& row = GetParam();
  const std::string dir = make_temp_dir();
  const std::string payload = random_bytes(row.bytes, static_cast<unsigned>(row.bytes * 7 + row.write.size()));
  write_file(dir + "/tape.img", payload);
  std::vector<std::string> write = row.write;
  write.insert(write.end(), {"tape.img", "tape.wav"});
  ASSERT_EQ(run_kelvora(write, "/dev/null", dir).status, 0);

  std::vector<std::string> read = {"--read"};
  for (const std::string& word : framing_of(row.write)) read.push_back(word);
  read.insert(read.end(), {"tape.wav", "back.img"});
  const run_result result = run_kelvora(read, "/dev/null", dir);
  const std::string expected = row.taken == 0 ? payload : payload.substr(0, row.taken);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(read_file(dir + "/back.img") == expected) << result.err;
  EXPECT_NE(result.err.find("read " + std::to_string(expected.size()) + " bytes, no framing error\n"),
            std::string::npos)
      << result.err;
}

// Sampling rates from 850 Hz to 96 kHz, 50 to 4800 baud, carriers 1 to 8
// times the baud rate, 0 to 5 stop bits, 8 and 16 bits, mono and stereo, the
// default layout, both presets and layouts of several blocks, blocks right
// at the start, after silence without leader and after short leaders.
INSTANTIATE_TEST_SUITE_P(
    Settings, RoundTrip,
    testing::Values(
        round_trip{"defaults", {}, 100, 0},
        round_trip{"io_preset_16bit_44k", {"-f", "io", "-q", "16", "-r", "44100"}, 60, 0},
        round_trip{"bin_preset_one_stop_stereo", {"-f", "bin", "-s", "1", "-c", "2"}, 60, 0},
        round_trip{"rate_850_baud_50_carrier_x2", {"-r", "850", "-b", "50", "-w", "100", "-s", "2", "-f", "d"}, 8, 0},
        round_trip{"carrier_x8_no_stop_bits", {"-r", "4000", "-b", "50", "-w", "400", "-s", "0", "-f", "b0.5 d"}, 8, 0},
        round_trip{"baud_4800_rate_38400", {"-r", "38400", "-b", "4800", "-w", "4800", "-s", "1", "-q", "16"}, 200, 0},
        round_trip{"baud_4800_96k_stereo_five_stops",
                   {"-r", "96000", "-b", "4800", "-w", "9600", "-s", "5", "-q", "16", "-c", "2", "-f", "h0.1 d"}, 200, 0},
        round_trip{"carrier_x3_stereo_8bit", {"-r", "11025", "-b", "300", "-w", "900", "-s", "4", "-c", "2", "-f", "bin"}, 40, 0},
        round_trip{"blocks_silences_short_leaders_x8",
                   {"-r", "8000", "-b", "110", "-w", "880", "-s", "2", "-f", "d3 b0.37 h0.11 d5 b-1 h0.013 d"}, 14, 0},
        round_trip{"after_silence_without_leader_x4",
                   {"-r", "96000", "-b", "2400", "-w", "9600", "-s", "0", "-q", "16", "-f", "b1 d"}, 120, 0},
        round_trip{"first_cell_at_sample_0_no_stop_bits", {"-r", "48000", "-b", "600", "-w", "600", "-s", "0", "-c", "2", "-f", "d"}, 40, 0},
        // Its first byte 0x07: the start cell and 111 once read as leader, the 00000 as silence.
        round_trip{"first_cell_at_sample_0_ten_samples_a_cell",
                   {"-r", "96000", "-b", "9600", "-w", "9600", "-s", "1", "-q", "16", "-f", "d"}, 13, 0},
        round_trip{"three_blocks_22k", {"-r", "22050", "-b", "1200", "-w", "2400", "-s", "3", "-f", "h0.2 d7 h0.3 d9 b0.5 d"}, 40, 0},
        round_trip{"tiny_leader_between_blocks", {"-r", "22050", "-b", "75", "-w", "300", "-s", "1", "-f", "d2 h0.01 d3"}, 9, 5},
        round_trip{"rate_1M_decimated_sample_by_sample",
                   {"-r", "1000000", "-b", "300", "-w", "300", "-q", "16", "-f", "h0.2 d"}, 10, 0},
        round_trip{"low_level_inverted", {"-r", "22050", "-q", "16", "--level", "5", "--invert"}, 30, 0}),
    [](const testing::TestParamInfo<round_trip>& info) { return info.param.name; });

TEST(Read, SummaryShowsTheLayoutSpeedAndBytes) {
  SKIP_WITHOUT_READER();
  const std::string dir = make_temp_dir();
  write_file(dir + "/tape.img", random_bytes(100, 3));
  ASSERT_EQ(run_kelvora({"tape.img", "tape.wav"}, "/dev/null", dir).status, 0);
  const run_result result = run_kelvora({"--read", "tape.wav", "back.img"}, "/dev/null", dir);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err,
            "layout: silence 2.0 s, leader 3.5 s, a block of 16 bytes, leader 0.5 s, a block of 84 bytes, "
            "leader 0.05 s, silence 0.6 s\n"
            "speed: 1.000 of nominal\n"
            "read 100 bytes, no framing error\n"
            "settings: -b 1200 -w 1200 -s 3 -q 8 -r 9600 -c 1 -f 'b2 h3.5 d16 h0.5 d84 h0.05 b0.6'\n");
}

// An image of one byte repeated makes every run of 0 cells as long (at
// -s 1, a zero byte's nine 0 cells and one stop cell): any divisor of it
// would frame them. The runs of 1 cells rule out cells longer than they
// are, which tells the cell of zero bytes; where they do not (0x80 at -s 3:
// runs of eight 0 cells and four 1 cells), the reading says it is unsure.
TEST(Read, ImagesOfOneRepeatedByteReadWithoutTheFramingTold) {
  SKIP_WITHOUT_READER();
  const std::string dir = make_temp_dir();
  for (const char byte : {'\x00', '\x55', '\x80', '\xE0'}) {
    for (const char* stop_bits : {"1", "2", "3"}) {
      const std::string image(200, byte);
      write_file(dir + "/tape.img", image);
      ASSERT_EQ(run_kelvora({"-s", stop_bits, "tape.img", "tape.wav"}, "/dev/null", dir).status, 0);
      const run_result result = run_kelvora({"--read", "tape.wav", "back.img"}, "/dev/null", dir);
      const bool exact = read_file(dir + "/back.img") == image;
      const std::string what = std::to_string(byte & 0xFF) + " -s " + stop_bits + ": " + result.err;
      if (byte == '\x00' || byte == '\x55') {
        EXPECT_TRUE(result.status == 0 && exact) << what;
      } else {
        EXPECT_TRUE(result.status == 1 || exact) << what;
      }
    }
  }
}

TEST(Read, StandardStreams) {
  SKIP_WITHOUT_READER();
  const std::string dir = make_temp_dir();
  const std::string payload = random_bytes(50, 4);
  write_file(dir + "/tape.img", payload);
  ASSERT_EQ(run_kelvora({"-q", "16", "-r", "22050", "tape.img", "tape.wav"}, "/dev/null", dir).status, 0);
  // The recording from a pipe, the image to standard output, the summary to standard error.
  const run_result piped = run_kelvora_piped({"--read", "-", "-"}, read_file(dir + "/tape.wav"), dir);
  EXPECT_EQ(piped.status, 0);
  EXPECT_TRUE(piped.out == payload);
  EXPECT_NE(piped.err.find("read 50 bytes"), std::string::npos);
}

TEST(Read, FramingErrorsKeepTheBestReadingAndExitOne) {
  SKIP_WITHOUT_READER();
  const std::string dir = make_temp_dir();
  const std::string payload = random_bytes(12, 5);
  write_file(dir + "/tape.img", payload);
  // 8 frames a cell, 12 cells a byte, the first cell at sample 0.
  ASSERT_EQ(run_kelvora({"-f", "d", "tape.img", "tape.wav"}, "/dev/null", dir).status, 0);
  std::string wav = read_file(dir + "/tape.wav");
  for (size_t byte : {5u, 9u}) {
    // The stop cells become 0 cells: copies of the byte's start cell.
    const size_t start = 44 + byte * 96;
    for (size_t cell = 9; cell < 12; ++cell) wav.replace(start + cell * 8, 8, wav.substr(start, 8));
  }
  write_file(dir + "/bad.wav", wav);
  const run_result result = run_kelvora({"--read", "bad.wav", "back.img"}, "/dev/null", dir);
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(read_file(dir + "/back.img") == payload);
  EXPECT_NE(result.err.find("read 12 bytes, 2 framing errors at image offsets 5, 9\n"), std::string::npos)
      << result.err;
}

// Cells the reading cannot count never read as success. The tape losing
// contact for longer than the framing bridges (80 and 160 ms, from every
// twelfth of a frame): the bytes in the dropout are lost. Without stop
// cells, a long run of zero bytes is one unbroken tone whose cells the clock
// counts on its own: past a few dozen bytes they are doubtful.
TEST(Read, UncountedCellsNeverReadAsSuccess) {
  SKIP_WITHOUT_READER();
  const std::string dir = make_temp_dir();
  const std::string payload = random_bytes(400, 21);
  write_file(dir + "/tape.img", payload);
  // 8-bit 9600 Hz: 96 samples a frame; 5.5 s of silence and leader first.
  ASSERT_EQ(run_kelvora({"-f", "bin", "tape.img", "tape.wav"}, "/dev/null", dir).status, 0);
  const std::string wav = read_file(dir + "/tape.wav");
  int flagged = 0;
  for (const size_t frames : {8u, 16u}) {
    for (size_t from = 0; from < 96; from += 8) {
      std::string dropped = wav;
      dropped.replace(44 + 52800 + 200 * 96 + from, frames * 96, frames * 96, '\x80');
      write_file(dir + "/dropped.wav", dropped);
      const run_result result = run_kelvora({"--read", "dropped.wav", "back.img"}, "/dev/null", dir);
      const bool exact = read_file(dir + "/back.img") == payload;
      EXPECT_TRUE(result.status == 1 && !exact) << frames << " frames from sample " << from << ": " << result.err;
      if (result.err.find("as after a dropout") != std::string::npos) ++flagged;
    }
  }
  EXPECT_GT(flagged, 0);  // some of them only as a block after a short silence
  // A dip of eight cells inside the leader between two blocks, thirteen
  // cells before the second, is no dropout: nothing is lost.
  write_file(dir + "/short.img", payload.substr(0, 100));
  ASSERT_EQ(run_kelvora({"short.img", "short.wav"}, "/dev/null", dir).status, 0);
  std::string dipped = read_file(dir + "/short.wav");
  dipped.replace(44 + 59136 - 13 * 8, 64, 64, '\x80');
  write_file(dir + "/dipped.wav", dipped);
  const run_result dip = run_kelvora({"--read", "dipped.wav", "back.img"}, "/dev/null", dir);
  EXPECT_EQ(dip.status, 0) << dip.err;
  EXPECT_TRUE(read_file(dir + "/back.img") == payload.substr(0, 100));

  for (const size_t zeros : {24u, 300u}) {
    const std::string image = random_bytes(16, 22) + std::string(zeros, '\0') + random_bytes(100, 23);
    write_file(dir + "/zeros.img", image);
    ASSERT_EQ(run_kelvora({"-s", "0", "-f", "bin", "zeros.img", "zeros.wav"}, "/dev/null", dir).status, 0);
    const run_result result = run_kelvora({"--read", "-s", "0", "zeros.wav", "back.img"}, "/dev/null", dir);
    if (zeros < 32) {
      EXPECT_EQ(result.status, 0) << result.err;
      EXPECT_TRUE(read_file(dir + "/back.img") == image);
    } else {
      EXPECT_EQ(result.status, 1) << result.err;
      EXPECT_NE(result.err.find("doubtful bytes at image offsets 49, 50,"), std::string::npos) << result.err;
    }
  }
}

TEST(Read, ARecordingBegunOrEndedInsideAByteSaysSo) {
  SKIP_WITHOUT_READER();
  const std::string dir = make_temp_dir();
  const std::string payload = random_bytes(40, 8);
  write_file(dir + "/tape.img", payload);
  ASSERT_EQ(run_kelvora({"-f", "h1 d", "tape.img", "tape.wav"}, "/dev/null", dir).status, 0);
  // A second of leader, then 96 frames a byte: begun in byte 5's fourth cell, ended in byte 30's fifth.
  const std::string wav = read_file(dir + "/tape.wav");
  const std::string data = wav.substr(44 + 9600 + 5 * 96 + 4 * 8, 25 * 96 + 8);
  // The tape's header with the sizes of the samples kept, and those samples.
  const auto with_header = [&wav](const std::string& samples) {
    std::string header = wav.substr(0, 44);
    for (int i = 0; i < 4; ++i) {
      header[static_cast<size_t>(4 + i)] = static_cast<char>(((36 + samples.size()) >> (8 * i)) & 0xFF);
      header[static_cast<size_t>(40 + i)] = static_cast<char>((samples.size() >> (8 * i)) & 0xFF);
    }
    return header + samples;
  };
  write_file(dir + "/cut.wav", with_header(data));
  const run_result result = run_kelvora({"--read", "cut.wav", "back.img"}, "/dev/null", dir);
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(read_file(dir + "/back.img") == payload.substr(6, 24));
  EXPECT_NE(result.err.find("the recording begins inside a byte\nthe recording ends inside a byte\n"), std::string::npos)
      << result.err;

  // Begun at any sample of byte 3 (0x69) of a tape without leader: with
  // status 0, every byte after it comes back (the byte too, where enough of
  // its start cell is left); begun before its 0 cells 2 and 3, either the
  // byte comes back or the summary says the recording begins inside it.
  // Bytes whole in the recording were once lost there.
  ASSERT_EQ(run_kelvora({"-f", "d", "tape.img", "plain.wav"}, "/dev/null", dir).status, 0);
  const std::string plain = read_file(dir + "/plain.wav");
  for (size_t sample = 1; sample < 96; ++sample) {
    write_file(dir + "/begun.wav", with_header(plain.substr(44 + 3 * 96 + sample, 27 * 96 - sample)));
    const run_result begun =
        run_kelvora({"--read", "-b", "1200", "-w", "1200", "-s", "3", "begun.wav", "back.img"}, "/dev/null", dir);
    if (begun.status != 0) continue;
    const std::string image = read_file(dir + "/back.img");
    EXPECT_TRUE(image == payload.substr(3, 27) || (sample > 16 && image == payload.substr(4, 26)))
        << "begun at sample " << sample << " of byte 3: " << begun.err;
  }

  // Two stop cells, read told one: begun in the middle of a 0 cell that a 0
  // cell follows, the frame lines up one cell late and reads as a byte. Its
  // lower tone before the first frame tells: either the byte comes back or
  // the summary says so (a wrong first byte once came with status 0).
  ASSERT_EQ(run_kelvora({"-f", "d", "-s", "2", "tape.img", "two.wav"}, "/dev/null", dir).status, 0);
  const std::string two = read_file(dir + "/two.wav");
  int cut_zeros = 0;
  for (size_t byte = 2; byte < 6; ++byte) {
    const int value = static_cast<unsigned char>(payload[byte]);
    for (int cell = 0; cell < 8; ++cell) {  // cells 0 (start) to 8 (data bit 7) of an 11-cell frame
      const bool zero = cell == 0 || ((value >> (cell - 1)) & 1) == 0;
      if (!zero || ((value >> cell) & 1) != 0) continue;
      for (const size_t into : {3, 4, 5}) {
        const size_t from = 44 + byte * 88 + static_cast<size_t>(cell) * 8 + into;
        write_file(dir + "/begun.wav", with_header(two.substr(from, 20 * 88)));
        const run_result begun = run_kelvora({"--read", "-s", "1", "begun.wav", "back.img"}, "/dev/null", dir);
        ++cut_zeros;
        if (begun.status != 0) continue;
        EXPECT_TRUE(read_file(dir + "/back.img").substr(0, 10) == payload.substr(byte, 10))
            << "begun " << into << " samples into cell " << cell << " of byte " << byte << ": " << begun.err;
      }
    }
  }
  EXPECT_GT(cut_zeros, 6);
}

TEST(Read, BadRecordingsFailWithOneLineAndLeaveNoImage) {
  SKIP_WITHOUT_READER();
  const std::string dir = make_temp_dir();
  write_file(dir + "/empty.wav", "");
  write_file(dir + "/text.wav", "this is not a recording\n");
  write_file(dir + "/tape.img", random_bytes(20, 6));
  ASSERT_EQ(run_kelvora({"-f", "bin", "tape.img", "tape.wav"}, "/dev/null", dir).status, 0);
  write_file(dir + "/truncated.wav", read_file(dir + "/tape.wav").substr(0, 30));
  ASSERT_EQ(run_kelvora({"-f", "b3", "tape.img", "silent.wav"}, "/dev/null", dir).status, 0);
  ASSERT_EQ(run_kelvora({"-b", "300", "-w", "300", "-r", "4000", "tape.img", "slow.wav"}, "/dev/null", dir).status, 0);
  ASSERT_EQ(run_kelvora({"-f", "b1 h2 b1", "tape.img", "tone.wav"}, "/dev/null", dir).status, 0);
  struct bad {
    std::vector<std::string> args;
    std::string message_start;
  };
  const std::vector<bad> cases = {
      {{"empty.wav"}, "cannot read empty.wav: "},
      {{"text.wav"}, "cannot read text.wav: "},
      {{"truncated.wav"}, "cannot read truncated.wav: "},
      {{"missing.wav"}, "cannot read missing.wav: No such file or directory"},
      {{"."}, "cannot read .: Is a directory"},
      {{"silent.wav"}, "no data found in silent.wav"},
      {{"tone.wav"}, "no framing found in tone.wav: a tone of 2400 Hz but no data"},
      {{"-b", "1200", "-w", "1200", "slow.wav"}, "cannot read slow.wav: a sampling rate of 4000 Hz cannot carry a 2400 Hz tone"},
  };
  for (const bad& c : cases) {
    std::vector<std::string> args = {"--read"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("image.img");
    const run_result result = run_kelvora(args, "/dev/null", dir);
    SCOPED_TRACE(c.args.back());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.rfind(c.message_start, 0), 0u) << result.out;
    EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << result.out;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(read_file(dir + "/image.img"), "");
  }
}

TEST(Read, UnwritableImagesAndSameFileFail) {
  SKIP_WITHOUT_READER();
  const std::string dir = make_temp_dir();
  write_file(dir + "/tape.img", random_bytes(20, 7));
  ASSERT_EQ(run_kelvora({"-f", "bin", "tape.img", "tape.wav"}, "/dev/null", dir).status, 0);
  const std::string wav = read_file(dir + "/tape.wav");
  // Failures are reported where the writer reports them: standard output,
  // unless the image goes there.
  EXPECT_EQ(run_kelvora({"--read", "tape.wav", "/dev/full"}, "/dev/null", dir).out, "cannot write /dev/full: No space left on device\n");
  EXPECT_EQ(run_kelvora({"--read", "tape.wav", "no/such/dir/x.img"}, "/dev/null", dir).out,
            "cannot open no/such/dir/x.img: No such file or directory\n");
  EXPECT_EQ(run_kelvora({"--read", "tape.wav", "."}, "/dev/null", dir).out, "cannot open .: Is a directory\n");
  EXPECT_EQ(run_shell("cd " + dir + " && $K --read - x.img <&- > said"), 1);
  EXPECT_EQ(read_file(dir + "/said"), "cannot read -: Bad file descriptor\n");
  const run_result same = run_kelvora({"--read", "tape.wav", "tape.wav"}, "/dev/null", dir);
  EXPECT_EQ(same.status, 1);
  EXPECT_EQ(same.out, "input and output are the same file\n");
  const run_result same_stdin = run_kelvora({"--read", "-", "tape.wav"}, dir + "/tape.wav", dir);
  EXPECT_EQ(same_stdin.out, "input and output are the same file\n");
  EXPECT_TRUE(read_file(dir + "/tape.wav") == wav);
}

TEST(Read, ImagesAreNeverWrittenToATerminal) {
  SKIP_WITHOUT_READER();
  const std::string dir = make_temp_dir();
  write_file(dir + "/tape.img", "PAYLOAD-BYTES");
  ASSERT_EQ(run_kelvora({"-f", "bin", "tape.img", "tape.wav"}, "/dev/null", dir).status, 0);
  // script(1) gives the command a terminal for its standard streams.
  for (const std::string image : {"-", "/dev/tty"}) {
    const int status = run_shell("cd " + dir + " && script -qec \"$K --read tape.wav " + image +
                                 "\" /dev/null > seen");
    EXPECT_EQ(status, 1) << image;
    const std::string seen = read_file(dir + "/seen");
    EXPECT_NE(seen.find("will not write a tape image to a terminal"), std::string::npos) << image << seen;
    EXPECT_EQ(seen.find("PAYLOAD"), std::string::npos) << image << seen;
    EXPECT_EQ(seen.find("read 13 bytes"), std::string::npos) << image << seen;
  }
}

}  // namespace

namespace {

// Ctrl-C, SIGTERM and SIGHUP while reading a recording that stalls in a pipe: the
// image holds every byte decoded so far (an existing one is replaced by
// them), the summary counts them, and the status tells the signal.
TEST(Read, AnInterruptedReadKeepsWhatWasDecoded) {
  SKIP_WITHOUT_READER();
  const std::string dir = make_temp_dir();
  const std::string payload = random_bytes(5000, 11);
  write_file(dir + "/tape.img", payload);
  ASSERT_EQ(run_kelvora({"-f", "bin", "tape.img", "tape.wav"}, "/dev/null", dir).status, 0);
  for (const auto& [signal, status] : {std::pair{"INT", 130}, std::pair{"TERM", 143}, std::pair{"HUP", 129}}) {
    write_file(dir + "/back.img", "an older image");
    // The shell holds the FIFO open, so the recording stalls after its last byte.
    const int got = run_shell("cd " + dir + " && rm -f fifo && mkfifo fifo && { $K --read - back.img <fifo 2>err & " +
                              "exec 3>fifo; cat tape.wav >&3; sleep 1; kill -" + signal +
                              " $!; wait $!; status=$?; exec 3>&-; exit $status; }");
    EXPECT_EQ(got, status) << signal;
    const std::string image = read_file(dir + "/back.img");
    EXPECT_GT(image.size(), 4000u) << signal;
    EXPECT_TRUE(payload.starts_with(image)) << signal;
    EXPECT_NE(read_file(dir + "/err").find("read " + std::to_string(image.size()) + " bytes"), std::string::npos)
        << signal << ": " << read_file(dir + "/err");
  }
  EXPECT_EQ(run_shell("cd " + dir + " && test \"$(ls -A | tr '\\n' ' ')\" = 'back.img err fifo tape.img tape.wav '"), 0);
}

// A disk that fills while the image is written leaves an existing image as
// it was and no temporary file behind. Needs root to mount a small tmpfs.
TEST(Read, AFullDiskLeavesTheOldImage) {
  SKIP_WITHOUT_READER();
  const std::string dir = make_temp_dir();
  if (run_shell("mkdir " + dir + "/small && mount -t tmpfs -o size=16k none " + dir + "/small 2>/dev/null") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs (not root)";
  }
  write_file(dir + "/tape.img", random_bytes(20000, 12));
  ASSERT_EQ(run_kelvora({"-b", "4800", "-w", "4800", "-r", "38400", "-f", "bin", "tape.img", "tape.wav"},
                        "/dev/null", dir).status, 0);
  const std::string old_image = random_bytes(8192, 13);
  write_file(dir + "/small/game.img", old_image);
  const run_result result =
      run_kelvora({"--read", "-b", "4800", "-w", "4800", "tape.wav", "small/game.img"}, "/dev/null", dir);
  const bool intact = read_file(dir + "/small/game.img") == old_image;
  const int others = run_shell("cd " + dir + "/small && test \"$(ls -A)\" = game.img");
  run_shell("umount " + dir + "/small");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "cannot write small/game.img: No space left on device\n");
  EXPECT_TRUE(intact);
  EXPECT_EQ(others, 0) << "a temporary file was left";
}

}  // namespace

namespace {

// A header may claim any sampling rate: memory and time stay those of the
// samples the file holds.
TEST(Read, HeaderClaimsDoNotSetMemory) {
  SKIP_WITHOUT_READER();
#ifdef KELVORA_SANITIZED
  GTEST_SKIP() << "sanitizer shadow memory inflates the resident set";
#endif
  if (!peak_measurable()) GTEST_SKIP() << "needs GNU time (/usr/bin/time)";
  const std::string dir = make_temp_dir();
  write_file(dir + "/tape.img", random_bytes(20, 14));
  ASSERT_EQ(run_kelvora({"-f", "bin", "tape.img", "tape.wav"}, "/dev/null", dir).status, 0);
  std::string wav = read_file(dir + "/tape.wav");
  for (const size_t field : {24u, 28u}) wav.replace(field, 4, std::string("\x00\x94\x35\x77", 4));  // 2e9
  write_file(dir + "/fast.wav", wav);
  const run_result result = run_kelvora_measured({"--read", "-b", "1", "-w", "1", "fast.wav", "x.img"}, "", dir);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "no data found in fast.wav\n");
  EXPECT_GT(result.peak_kib, 0);
  EXPECT_LT(result.peak_kib, 64 * 1024);
}

}  // namespace
