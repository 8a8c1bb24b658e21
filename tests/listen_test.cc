// Listening (--listen) end to end without a sound card: ALSA's file plugin,
// named by an ALSA_CONFIG_PATH written here, plays a raw file into a capture
// stream over the null device. The null device is not paced, so minutes of
// tape are heard in a moment; past the end of its file the plugin repeats the
// last period, so a tape that ends in silence ends listening by itself and
// one that ends in leader goes on until it is stopped.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "run_binary.h"
#include "stop_run.h"

namespace {

// A fresh directory whose device "tapein" plays tape.raw; the variable is set while the object lives.
struct tape_deck {
  std::string dir = make_temp_dir();

  tape_deck() {
    write_file(dir + "/asound.conf", "pcm.tapein { type file slave.pcm { type null } file \"/dev/null\""
                                     " infile \"" + dir + "/tape.raw\" format \"raw\" }\n");
    setenv("ALSA_CONFIG_PATH", (dir + "/asound.conf").c_str(), 1);
  }
  ~tape_deck() { unsetenv("ALSA_CONFIG_PATH"); }

  // Writes the image with kelvora's options and puts its samples, then
  // `silence` seconds of silence, in the deck; returns the samples.
  std::string load(const std::vector<std::string>& options, const std::string& image, double silence,
                   int32_t rate, int32_t channels) {
    write_file(dir + "/in.img", image);
    std::vector<std::string> args = options;
    args.insert(args.end(), {"-q", "16", "-r", std::to_string(rate), "-c", std::to_string(channels), "in.img",
                             "tape.wav"});
    EXPECT_EQ(run_kelvora(args, "/dev/null", dir).status, 0);
    const std::string raw = read_file(dir + "/tape.wav").substr(44) +
                            std::string(static_cast<size_t>(silence * rate) * 2 * channels, '\0');
    write_file(dir + "/tape.raw", raw);
    return raw;
  }

  // Puts the image as another machine's tape routine writes it (foreign_tape.py
  // with `options`) in the deck; returns the samples, or "" when numpy is missing.
  std::string load_foreign(const std::string& options, const std::string& image, int32_t rate, int32_t channels) {
    write_file(dir + "/in.img", image);
    const std::string made = "cd " + dir + " && /usr/bin/python3 " KELVORA_TOOLS
                             "/foreign_tape.py tape.wav --image in.img --silence 3 --rate " +
                             std::to_string(rate) + " --channels " + std::to_string(channels) + " " + options;
    if (run_shell(made + " 2>/dev/null") != 0) return "";
    const std::string raw = read_file(dir + "/tape.wav").substr(44);  // Python's wave module writes 44 bytes
    write_file(dir + "/tape.raw", raw);
    return raw;
  }
};

bool can_listen(const tape_deck& deck) {
  const run_result probe = run_kelvora({"--listen=tapein", "/nonexistent/img"}, "/dev/null", deck.dir);
  if (probe.out != "--listen is not available in this build\n") return true;
  const char* ci = std::getenv("CI");
  if (ci != nullptr && std::string(ci) == "true") ADD_FAILURE() << "CI builds with ALSA (libasound2-dev)";
  return false;
}

#define REQUIRE_LISTENING(deck) \
  if (!can_listen(deck)) GTEST_SKIP() << "built without ALSA"

// The sample data of a WAV file libsndfile wrote (after its "data" chunk header).
std::string wav_samples(const std::string& wav) {
  const size_t data = wav.find("data", 12);
  return data == std::string::npos ? "" : wav.substr(data + 8, le32_at(wav, data + 4));
}

struct heard_tape {
  std::string name;
  std::vector<std::string> framing;  // written with these and told them when listening
  int32_t rate;
  int32_t channels;
  std::string foreign = "";          // foreign_tape.py's options for a tape kelvora did not write
};

void PrintTo(const heard_tape& t, std::ostream* os) { *os << t.name; }

class Listen : public testing::TestWithParam<heard_tape> {};

TEST_P(Listen, TheImageHoldsEveryByteAndTheKeptRecordingEveryFrame) {
  tape_deck deck;
  REQUIRE_LISTENING(deck);
  const heard_tape& t = GetParam();
  const std::string image = random_bytes(700, static_cast<unsigned>(t.rate + t.channels));
  std::vector<std::string> write = t.framing;
  write.insert(write.end(), {"-f", "io"});
  const std::string fed = t.foreign.empty() ? deck.load(write, image, 3, t.rate, t.channels)
                                            : deck.load_foreign(t.foreign, image, t.rate, t.channels);
  if (fed.empty()) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") FAIL() << "numpy is not installed (python3-numpy)";
    GTEST_SKIP() << "numpy is not installed";
  }

  std::vector<std::string> listen = {"--listen=tapein", "--keep=kept.wav"};
  listen.insert(listen.end(), t.framing.begin(), t.framing.end());
  if (t.rate != 48000) listen.insert(listen.end(), {"-r", std::to_string(t.rate)});
  if (t.channels != 1) listen.insert(listen.end(), {"-c", std::to_string(t.channels)});
  listen.push_back("out.img");
  // A tape whose bytes are never found would be listened to until stopped:
  // stopped after a minute, it fails here instead of at the test's timeout.
  const stopped_run run = run_kelvora_stopped(listen, deck.dir, {SIGTERM, std::chrono::seconds(60)});
  EXPECT_EQ(run.ms_to_exit, -1) << "listening did not end by itself";
  const run_result& heard = run.result;
  EXPECT_EQ(heard.status, 0) << heard.out << heard.err;
  EXPECT_EQ(heard.out, "");
  EXPECT_TRUE(read_file(deck.dir + "/out.img") == image);
  // No meter when standard error is not a terminal: the summary alone, from
  // the first tone (the wait before it is no part of the tape), with the
  // gaps of the io layout and ten seconds without tone at the end.
  if (t.foreign.empty()) {
    EXPECT_EQ(heard.err.rfind("layout: leader 3.", 0), 0u) << heard.err;
    EXPECT_NE(heard.err.find(", a block of 17 bytes, leader 0.05 s, silence 3.5 s, leader 3.5 s, a block of 683 bytes"),
              std::string::npos)
        << heard.err;
  }
  EXPECT_EQ(heard.err.rfind("layout: ", 0), 0u) << heard.err;
  EXPECT_NE(heard.err.find("read 700 bytes, no framing error\n"), std::string::npos) << heard.err;

  // The kept recording: the frames fed, then the silence the plugin repeats until listening ends.
  const std::string kept = wav_samples(read_file(deck.dir + "/kept.wav"));
  ASSERT_GE(kept.size(), fed.size());
  EXPECT_TRUE(kept.substr(0, fed.size()) == fed);
  EXPECT_EQ(kept.find_first_not_of('\0', fed.size()), std::string::npos);
  const size_t tail_seconds = (kept.size() - fed.size()) / (2u * t.channels * t.rate);
  EXPECT_LE(tail_seconds, 11u);
  EXPECT_GE(tail_seconds, 6u);  // the 3 s of silence fed count towards the ten
}

INSTANTIATE_TEST_SUITE_P(
    FramingsRatesAndChannels, Listen,
    testing::Values(heard_tape{"defaults", {}, 48000, 1},
                    heard_tape{"slow_one_stop_bit_stereo_44100", {"-b", "600", "-w", "600", "-s", "1"}, 44100, 2},
                    heard_tape{"fast_96000", {"-b", "2400", "-w", "2400", "-s", "2"}, 96000, 1},
                    heard_tape{"foreign_square_waves_2_percent_fast",
                               {"-s", "2"},
                               48000,
                               1,
                               "--stop 2 --idle 0-3 --jitter 0.02 --duty 0.55 --rc 6000 --ac 20 --speed 1.02"},
                    // Framing not told: found from the tape's opening, after a wait of 3 s.
                    heard_tape{"foreign_sines_300_on_600_found", {}, 44100, 2, "--baud 300 --lower 600 --stop 1 --sine"}),
    [](const testing::TestParamInfo<heard_tape>& info) { return info.param.name; });

TEST(ListenFailures, DevicesAndFilesThatCannotBeUsedAreOneLineAndLeaveNoImage) {
  tape_deck deck;
  REQUIRE_LISTENING(deck);
  deck.load({"-f", "bin"}, "abc", 3, 48000, 1);
  struct row {
    std::vector<std::string> args;
    std::string start;  // the message starts so (the reason after it is the system's)
  };
  const std::vector<row> rows = {
      {{"--listen=no-such-device", "out.img"}, "cannot open audio device no-such-device: "},
      {{"--listen=tapein", "--keep=missing/kept.wav", "out.img"},
       "cannot write missing/kept.wav: No such file or directory"},
      {{"--listen=tapein", "-r", "4000", "out.img"},
       "cannot read audio device tapein: a sampling rate of 4000 Hz cannot carry a 2400 Hz tone\n"},
  };
  for (const row& r : rows) {
    const run_result result = run_kelvora(r.args, "/dev/null", deck.dir);
    const std::string words = testing::PrintToString(r.args);
    EXPECT_EQ(result.status, 1) << words;
    EXPECT_EQ(result.out.rfind(r.start, 0), 0u) << words << ": " << result.out;
    EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << words << ": " << result.out;
    EXPECT_EQ(read_file(deck.dir + "/out.img"), "") << words;
  }
}

TEST(ListenMeter, OnATerminalOneLineTellsWhatIsHeardAndEndsBeforeTheSummary) {
  tape_deck deck;
  REQUIRE_LISTENING(deck);
  if (run_shell("command -v script >/dev/null") != 0) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") FAIL() << "script is not installed (bsdutils)";
    GTEST_SKIP() << "script is not installed";
  }
  deck.load({}, random_bytes(300, 7), 3, 48000, 1);
  // The same tape clipped: every sample doubled and held at full scale.
  std::string clipped = read_file(deck.dir + "/tape.raw");
  for (size_t i = 0; i + 1 < clipped.size(); i += 2) {
    const int s = static_cast<int16_t>(le16_at(clipped, i)) * 2;
    const int held = s > 32767 ? 32767 : (s < -32768 ? -32768 : s);
    clipped[i] = static_cast<char>(held & 0xFF);
    clipped[i + 1] = static_cast<char>((held >> 8) & 0xFF);
  }
  for (const bool clip : {false, true}) {
    if (clip) write_file(deck.dir + "/tape.raw", clipped);
    ASSERT_EQ(run_shell("cd " + deck.dir + " && timeout 60 script -qec \"$K --listen=tapein out.img\" /dev/null"
                        " < /dev/null > typescript"),
              0);
    const std::string shown = read_file(deck.dir + "/typescript");
    EXPECT_EQ(shown.rfind("\r\x1b[K0:00   -inf dBFS  silence  0 bytes  0 framing errors\r\x1b[K", 0), 0u) << shown;
    // Ten seconds without tone after the blocks end it. A redraw on the way
    // (a slow machine) starts a new stretch of the level, so the warning is
    // looked for in every line drawn.
    const std::string last = "  silence  300 bytes  0 framing errors  speed 1.000\r\nlayout: ";
    EXPECT_NE(shown.find(last), std::string::npos) << shown;
    const std::string meter = shown.substr(0, shown.find("layout: "));
    if (!clip) {
      EXPECT_NE(meter.find(" -0.0 dBFS  "), std::string::npos) << shown;  // kelvora's full scale
    }
    EXPECT_EQ(meter.find("dBFS CLIPPING") != std::string::npos, clip) << shown;
  }
}

TEST(ListenStop, ASignalEndsListeningWithEveryByteReadAndTheStatusOfWhatWasRead) {
  tape_deck deck;
  REQUIRE_LISTENING(deck);
  // The tape ends in leader, which the plugin repeats: it never ends by itself.
  const std::string image = random_bytes(2000, 9);
  deck.load({"-f", "b1 h1 d h2"}, image, 0, 48000, 1);
  for (const int signal : {SIGINT, SIGTERM}) {
    const stopped_run run = run_kelvora_stopped({"--listen=tapein", "out.img"}, deck.dir,
                                                {signal, std::chrono::milliseconds(300)});
    ASSERT_TRUE(run.caught) << signal;
    EXPECT_FALSE(run.killed) << signal;
    EXPECT_EQ(run.result.status, 0) << signal << ": " << run.result.out;
    EXPECT_LT(run.ms_to_exit, 1000) << signal;
    EXPECT_TRUE(read_file(deck.dir + "/out.img") == image) << signal;
    EXPECT_NE(run.result.err.find("read 2000 bytes, no framing error\n"), std::string::npos) << run.result.err;
  }
}

}  // namespace
