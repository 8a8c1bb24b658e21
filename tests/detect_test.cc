// Reading not told finds the framing: kelvora's own recordings come back as
// settings that write them again byte for byte; tapes kelvora did not
// write, read told and not told their framing, come back exactly: square
// or sine waves of whole cycles from tests/tools/foreign_tape.py (jitter,
// duty skew, RC and AC coupling, speed, noise, other rates and widths) and
// minimodem --tx. Skipped where the reader, numpy or minimodem is missing
// (CI installs them all).
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "run_binary.h"

namespace {

bool have(const std::string& check) { return run_shell(check + " >/dev/null 2>&1") == 0; }

struct foreign_tape {
  std::string name;
  std::string writer;  // foreign_tape.py options, or a minimodem --tx command line
  std::vector<std::string> framing;  // -b, -w and -s as the tape was made
  std::string speed;                 // the speed line expected when not told ("" : 1.000)
};

void PrintTo(const foreign_tape& t, std::ostream* os) { *os << t.name; }

// What the reader is told: nothing, the whole framing, or the carrier alone.
enum class telling { nothing, all, carrier };

class ForeignTape : public testing::TestWithParam<std::tuple<foreign_tape, telling>> {};

TEST_P(ForeignTape, ReadsExactlyToldOrNot) {
  const auto& [tape, told] = GetParam();
  if (!have("$K --read /dev/null /dev/null 2>&1 | grep -qv 'not available'")) GTEST_SKIP() << "no libsndfile";
  const bool minimodem = tape.writer.rfind("minimodem", 0) == 0;
  if (minimodem && !have("command -v minimodem")) GTEST_SKIP() << "minimodem is not installed";
  if (!minimodem && !have("/usr/bin/python3 -c 'import numpy'")) GTEST_SKIP() << "numpy is not installed";
  const std::string dir = make_temp_dir();
  if (minimodem) {
    write_file(dir + "/sent.bin", random_bytes(150, 21));
    ASSERT_EQ(run_shell("cd " + dir + " && " + tape.writer + " -f tape.wav < sent.bin"), 0);
  } else {
    ASSERT_EQ(run_shell("cd " + dir + " && /usr/bin/python3 " + std::string(KELVORA_TOOLS) +
                        "/foreign_tape.py tape.wav --bytes-out sent.bin " + tape.writer),
              0);
  }
  std::vector<std::string> read = {"--read"};
  if (told == telling::all) read.insert(read.end(), tape.framing.begin(), tape.framing.end());
  if (told == telling::carrier) read.insert(read.end(), tape.framing.begin() + 2, tape.framing.begin() + 4);
  read.insert(read.end(), {"tape.wav", "back.img"});
  const run_result result = run_kelvora(read, "/dev/null", dir);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_TRUE(read_file(dir + "/back.img") == read_file(dir + "/sent.bin")) << result.err;
  const std::string speed = "speed: " + (tape.speed.empty() ? "1.000" : tape.speed) + " of nominal\n";
  if (told != telling::all) {
    EXPECT_NE(result.err.find(speed), std::string::npos) << result.err;
    std::string framing = "settings:";
    for (const std::string& word : tape.framing) framing += " " + word;
    EXPECT_NE(result.err.find(framing + " "), std::string::npos) << result.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tapes, ForeignTape,
    testing::Combine(
        testing::Values(
            foreign_tape{"square_1200_one_stop_idle_0_to_5", "--stop 1 --idle 0-5 --jitter 0.02 --duty 0.45",
                         {"-b", "1200", "-w", "1200", "-s", "1"}, ""},
            foreign_tape{"sine_300_on_600_two_stops_8bit_22k",
                         "--sine --baud 300 --lower 600 --stop 2 --rate 22050 --bits 8 --bytes 80",
                         {"-b", "300", "-w", "600", "-s", "2"}, ""},
            foreign_tape{"fast_2400_jitter_48k", "--baud 2400 --lower 2400 --rate 48000 --jitter 0.01 --speed 1.04",
                         {"-b", "2400", "-w", "2400", "-s", "1"}, "1.040"},
            foreign_tape{"rc_ac_duty_600_eight_cycles", "--baud 600 --lower 4800 --stop 2 --rc 6000 --ac 30 --duty 0.4",
                         {"-b", "600", "-w", "4800", "-s", "2"}, ""},
            foreign_tape{"slow_110_stereo_11k", "--baud 110 --lower 880 --stop 2 --speed 0.95 --channels 2 --rate 11025 --bytes 40",
                         {"-b", "110", "-w", "880", "-s", "2"}, "0.950"},
            foreign_tape{"9600_baud_96k_no_stop", "--baud 9600 --lower 9600 --stop 0 --rate 96000",
                         {"-b", "9600", "-w", "9600", "-s", "0"}, ""},
            // Cells of many cycles hear a tone only within a fraction of a percent of their tuning.
            foreign_tape{"slow_75_sixteen_cycles", "--baud 75 --lower 1200 --speed 0.92 --rate 22050 --bytes 30",
                         {"-b", "75", "-w", "1200", "-s", "1"}, "0.920"},
            foreign_tape{"fast_150_sixteen_cycles",
                         "--baud 150 --lower 2400 --stop 2 --speed 1.08 --rate 22050 --bytes 40",
                         {"-b", "150", "-w", "2400", "-s", "2"}, "1.080"},
            // Noise flips stop cells as often as frames count: the stop bits are still found.
            foreign_tape{"noisy_150_eight_cycles", "--baud 150 --lower 1200 --snr 3 --seed 2 --rate 22050 --bytes 60",
                         {"-b", "150", "-w", "1200", "-s", "1"}, ""},
            // Data first, then a leader: the leader frames nothing, the data before it does.
            foreign_tape{"data_then_a_leader_300_on_600", "--baud 300 --lower 600 --bytes 20 --silence 0 --leader 0 --trailer 0.1",
                         {"-b", "300", "-w", "600", "-s", "1"}, ""},
            foreign_tape{"minimodem_1200_two_stops", "minimodem --tx --mark 2400 --space 1200 --stopbits 2 1200",
                         {"-b", "1200", "-w", "1200", "-s", "2"}, ""},
            foreign_tape{"minimodem_300_on_600", "minimodem --tx --mark 1200 --space 600 --stopbits 1 300",
                         {"-b", "300", "-w", "600", "-s", "1"}, ""}),
        testing::Values(telling::nothing, telling::all, telling::carrier)),
    [](const testing::TestParamInfo<std::tuple<foreign_tape, telling>>& info) {
      const telling t = std::get<1>(info.param);
      return std::get<0>(info.param).name + (t == telling::all ? "_told" : t == telling::carrier ? "_carrier_told" : "_not_told");
    });

struct remaster {
  std::string name;
  std::string write;  // the writer's options, as a shell would take them
};

void PrintTo(const remaster& r, std::ostream* os) { *os << r.name; }

class Remaster : public testing::TestWithParam<remaster> {};

TEST_P(Remaster, SettingsLineWritesTheRecordingAgain) {
  if (!have("$K --read /dev/null /dev/null 2>&1 | grep -qv 'not available'")) GTEST_SKIP() << "no libsndfile";
  const std::string dir = make_temp_dir();
  write_file(dir + "/tape.img", random_bytes(120, 33));
  ASSERT_EQ(run_shell("cd " + dir + " && $K " + GetParam().write + " tape.img tape.wav"), 0);
  const run_result read = run_kelvora({"--read", "tape.wav", "back.img"}, "/dev/null", dir);
  ASSERT_EQ(read.status, 0) << read.err;
  const size_t at = read.err.find("settings: ");
  ASSERT_NE(at, std::string::npos) << read.err;
  write_file(dir + "/settings", read.err.substr(at + 10, read.err.find('\n', at) - at - 10));
  ASSERT_EQ(run_shell("cd " + dir + " && eval \"$K $(cat settings) back.img again.wav\""), 0);
  EXPECT_TRUE(read_file(dir + "/again.wav") == read_file(dir + "/tape.wav")) << read.err;
}

// Rates, widths, channels, framings from 50 to 9600 baud and 1 to 8 cycles a
// cell, 0 to 5 stop bits, both polarities, the presets and layouts that
// begin with tone or data, end in it, or hold odd durations.
INSTANTIATE_TEST_SUITE_P(
    Recordings, Remaster,
    testing::Values(remaster{"defaults", ""}, remaster{"io_16bit_44k_inverted", "-f io -q 16 -r 44100 --invert"},
                    remaster{"bin_300_on_600_stereo", "-f bin -b 300 -w 600 -s 1 -c 2"},
                    remaster{"odd_durations", "-f 'b1.234 h0.777 d20 b0.013 h0.2 d h0.01'"},
                    remaster{"leader_first_eight_cycles", "-b 600 -w 4800 -s 4 -r 44100 --invert -f 'h1 d'"},
                    remaster{"data_at_the_end_no_stop", "-b 4800 -w 4800 -s 0 -r 48000 -q 16 -f 'b0.5 h1 d'"},
                    remaster{"slow_50_baud", "-b 50 -w 300 -s 2 -f 'b0.3 h1 d20 b0.2'"},
                    // Silences of odd frame counts, one before a leader whose first frame is silent too; one after a leader of one cell.
                    remaster{"odd_silences", "-b 300 -w 600 -s 2 -r 22050 -f 'b0.069 h0.5 d20 b0.313 h0.4 d h0.05 b0.0417'"},
                    // Below full scale the level is the one written, to the percent.
                    remaster{"level_70_11k", "--level=70 -r 11025 -f 'b0.5 h1 d b0.1'"},
                    // A leader with nothing after it (an aborted start) before the tape.
                    remaster{"aborted_leader_first", "-b 1200 -w 4800 -r 44100 -s 2 -q 16 -f 'h0.9 b0.4 h1.5 d b0.2'"},
                    remaster{"one_leader_cell_before_silence", "-b 150 -w 600 -s 4 -f 'h1 d10 h0.0067 b0.3 h0.5 d'"},
                    remaster{"odd_silences_16bit_inverted",
                             "-q 16 --invert -r 44100 -w 2400 -f 'b0.0123 h0.31 d7 b1.037 h0.2 d b0.33'"},
                    remaster{"fast_9600_stereo_16bit", "-b 9600 -w 9600 -r 96000 -s 5 -q 16 -c 2 -f 'h0.5 d60 h0.1 d b0.1'"}),
    [](const testing::TestParamInfo<remaster>& info) { return info.param.name; });

}  // namespace
