// Playback (--play) end to end without a sound card: an ALSA configuration
// written here and named by ALSA_CONFIG_PATH defines devices whose last stage
// is ALSA's null device. The file plugin keeps the bytes the device got; the
// multi and plug plugins refuse what kelvora asks for. The null device does
// not play in real time, so a long playback is a long layout.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/settings.h"
#include "play/progress.h"
#include "run_binary.h"
#include "stop_run.h"

namespace {

// A fresh directory with an ALSA configuration; the variable is set while the object lives.
struct alsa_setup {
  std::string dir = make_temp_dir();

  alsa_setup() {
    const std::string tap = "{ type file slave.pcm { type null } format \"raw\" file \"" + dir;
    write_file(dir + "/asound.conf",
               "pcm.default " + tap + "/default.raw\" }\n"
               "pcm.tap " + tap + "/tap.raw\" }\n"
               "pcm.silent { type null }\n"
               // One channel only.
               "pcm.mono { type multi slaves.a { pcm { type null } channels 1 }"
               " bindings.0 { slave a channel 0 } }\n"
               // Accepts every rate, then cannot convert any but its own.
               "pcm.fixed { type plug slave { pcm { type null } rate 44100 format S16_LE channels 2 }"
               " rate_converter \"none-such\" }\n");
    setenv("ALSA_CONFIG_PATH", (dir + "/asound.conf").c_str(), 1);
  }
  ~alsa_setup() { unsetenv("ALSA_CONFIG_PATH"); }
};

// True when the binary can play; otherwise the test is skipped, or fails in CI.
bool can_play(const alsa_setup& alsa) {
  const run_result probe = run_kelvora({"--play=silent", "missing.img"}, "/dev/null", alsa.dir);
  if (probe.out != "--play is not available in this build\n") return true;
  const char* ci = std::getenv("CI");
  if (ci != nullptr && std::string(ci) == "true") ADD_FAILURE() << "CI builds with ALSA (libasound2-dev)";
  return false;
}

#define REQUIRE_PLAYBACK(alsa) \
  if (!can_play(alsa)) GTEST_SKIP() << "built without ALSA"

TEST(Playback, TheDeviceGetsExactlyTheWavFilesSampleData) {
  alsa_setup alsa;
  REQUIRE_PLAYBACK(alsa);
  write_file(alsa.dir + "/in.img", random_bytes(300, 40));
  struct row {
    std::vector<std::string> options;
    std::string device;  // "" for --play without a name: the default device
    bool from_stdin;
  };
  const std::vector<row> rows = {
      {{}, "tap", false},
      {{"-q", "16", "-c", "2", "-r", "44100"}, "tap", false},
      {{"-f", "io"}, "", true},
      {{"-b", "600", "-w", "600", "-s", "1", "--level=40", "--invert", "-q", "16"}, "tap", false},
  };
  for (const row& r : rows) {
    std::vector<std::string> convert_args = r.options;
    convert_args.insert(convert_args.end(), {"in.img", "out.wav"});
    ASSERT_EQ(run_kelvora(convert_args, "/dev/null", alsa.dir).status, 0);
    const std::string wav = read_file(alsa.dir + "/out.wav");
    ASSERT_GT(wav.size(), 44u);

    std::vector<std::string> play_args = {r.device.empty() ? "--play" : "--play=" + r.device};
    play_args.insert(play_args.end(), r.options.begin(), r.options.end());
    play_args.push_back(r.from_stdin ? "-" : "in.img");
    const std::string input = r.from_stdin ? alsa.dir + "/in.img" : "/dev/null";
    const run_result played = run_kelvora(play_args, input, alsa.dir);
    const std::string words = testing::PrintToString(play_args);
    EXPECT_EQ(played.status, 0) << words << played.out;
    EXPECT_EQ(played.out, "") << words;
    EXPECT_EQ(played.err, "") << words;  // no progress when standard error is not a terminal
    const std::string raw = read_file(alsa.dir + (r.device.empty() ? "/default.raw" : "/tap.raw"));
    EXPECT_EQ(raw.size(), wav.size() - 44) << words;
    EXPECT_TRUE(raw == wav.substr(44)) << words;
  }
}

TEST(Playback, FailuresAreOneLineAndStatusOne) {
  alsa_setup alsa;
  REQUIRE_PLAYBACK(alsa);
  write_file(alsa.dir + "/in.img", "abc");
  struct row {
    std::vector<std::string> args;
    std::string start;  // the message starts so (the reason after it is ALSA's)
    std::string end;
  };
  const std::vector<row> rows = {
      {{"--play=no-such-device", "in.img"}, "cannot open audio device no-such-device: ", "\n"},
      {{"-c", "2", "--play=mono", "in.img"},
       "audio device mono cannot take 2 channels; try a plughw: device or default\n", ""},
      {{"--play=fixed", "in.img"}, "audio device fixed cannot be set to 8-bit samples, 1 channel, 9600 Hz: ",
       "; try a plughw: device or default\n"},
      {{"--play=tap", "missing.img"}, "cannot open missing.img: No such file or directory\n", ""},
      {{"--play=tap", "-f", "h1e9", "in.img"}, "recording too large for a WAV file\n", ""},
  };
  for (const row& r : rows) {
    const run_result result = run_kelvora(r.args, "/dev/null", alsa.dir);
    const std::string words = testing::PrintToString(r.args);
    EXPECT_EQ(result.status, 1) << words;
    EXPECT_EQ(result.err, "") << words;
    EXPECT_EQ(result.out.rfind(r.start, 0), 0u) << words << ": " << result.out;
    EXPECT_TRUE(result.out.ends_with(r.end)) << words << ": " << result.out;
    EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << words << ": " << result.out;
  }
}

TEST(Playback, ProgressOnATerminalEndsWithTheTotalTime) {
  alsa_setup alsa;
  REQUIRE_PLAYBACK(alsa);
  if (run_shell("command -v script >/dev/null") != 0) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") FAIL() << "script is not installed (bsdutils)";
    GTEST_SKIP() << "script is not installed";
  }
  write_file(alsa.dir + "/in.img", random_bytes(1000, 41));
  // 19,200 + 33,601 + 16 x 96 + 4,800 + 984 x 96 + 480 + 5,760 frames at 9600 Hz: 16.65 s.
  const int status =
      run_shell("cd " + alsa.dir + " && script -qec \"$K --play=tap in.img\" /dev/null"
                " < /dev/null > typescript");
  ASSERT_EQ(status, 0);
  const std::string shown = read_file(alsa.dir + "/typescript");
  EXPECT_EQ(shown.rfind("\r\x1b[K0:00 / 0:16  silence", 0), 0u) << shown;
  EXPECT_TRUE(shown.ends_with("\r\x1b[K0:16 / 0:16  done\r\n")) << shown;
}

TEST(Playback, ProgressNamesWhatIsHeard) {
  kelvora::init_settings();
  kelvora::settings.sampling_rate = 10;
  // An empty data block (no input left) is never heard and not counted.
  const std::vector<kelvora::played_section> plan = {{'b', 100}, {'h', 50}, {'d', 0}, {'d', 30},
                                                     {'h', 0},   {'d', 620}, {'b', 10}};
  const std::vector<std::pair<uint64_t, std::string>> expected = {
      {0, "0:00 / 1:21  silence"},
      {99, "0:09 / 1:21  silence"},
      {100, "0:10 / 1:21  leader"},
      {150, "0:15 / 1:21  data block 1 of 2"},
      {180, "0:18 / 1:21  data block 2 of 2"},
      {799, "1:19 / 1:21  data block 2 of 2"},
      {800, "1:20 / 1:21  silence"},
      {810, "1:21 / 1:21  done"},
      {900, "1:21 / 1:21  done"},
  };
  for (const auto& [frame, text] : expected) EXPECT_EQ(kelvora::progress_text(plan, frame), text) << frame;
}

TEST(Playback, AStopSignalEndsTheSoundAtOnceAndTheProgressLine) {
  alsa_setup alsa;
  REQUIRE_PLAYBACK(alsa);
  // A leader of 110 hours: 3.8 GB of samples, far longer than the test.
  for (const auto& [signal, status] : {std::pair{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
    const stopped_run run = run_kelvora_stopped({"--play=silent", "-f", "h400000", "/dev/null"}, alsa.dir,
                                                {signal, std::chrono::milliseconds(200), true});
    ASSERT_TRUE(run.caught) << signal;
    EXPECT_FALSE(run.killed) << signal;  // not the default action
    EXPECT_EQ(run.result.status, status) << signal;
    EXPECT_LT(run.ms_to_exit, 1000) << signal << ": ms from the signal to the end";
    EXPECT_EQ(run.result.err.rfind("\r\x1b[K0:00 / 6666:39  leader", 0), 0u) << run.result.err;
    EXPECT_TRUE(run.result.err.ends_with("  leader\r\n")) << signal << ": " << run.result.err;
    EXPECT_EQ(run.result.out, "") << signal;
  }
}

}  // namespace
