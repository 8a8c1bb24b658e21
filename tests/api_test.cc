// The library entry against the real binary: the same option words give the
// same WAV bytes, the same size before writing, and the same refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/kelvora_api.h"
#include "run_binary.h"

namespace {

void append(void* context, const unsigned char* bytes, size_t count) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(bytes), count);
}

struct api_result {
  int status;
  std::string wav;
  uint64_t planned;
  std::string message;
};

api_result through_api(const std::vector<std::string>& words, const std::string& image) {
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  const int n = static_cast<int>(argv.size());
  api_result r{};
  const int plan_status = kelvora_plan_wav(n, argv.data(), image.size(), &r.planned);
  const std::string plan_message = kelvora_message();
  r.status = kelvora_write_wav(n, argv.data(), reinterpret_cast<const unsigned char*>(image.data()),
                               image.size(), append, &r.wav);
  r.message = kelvora_message();
  EXPECT_EQ(plan_status, r.status);
  EXPECT_EQ(plan_message, r.message);
  return r;
}

run_result through_cli(const std::vector<std::string>& words, const std::string& image, const std::string& dir) {
  write_file(dir + "/in.img", image);
  std::vector<std::string> args = words;
  args.push_back("in.img");
  args.push_back("out.wav");
  return run_kelvora(args, "/dev/null", dir);
}

TEST(Api, WritesTheCommandLinesBytes) {
  const std::vector<std::vector<std::string>> matrix = {
      {},
      {"-f", "io", "-q", "16", "-r", "44100"},
      {"-b", "300", "-w", "600", "-c", "2", "--level=55.5", "--invert"},
      {"-f", "bin", "-s", "0", "-r", "22050", "-q", "16", "-c", "2"},
      {"-f", "b0.3 h0.2 d5 b0.1 d-1 h0.1 d", "-b", "2400", "-w", "2400", "-r", "48000"},
  };
  const std::string image = random_bytes(3000, 7);
  for (const auto& words : matrix) {
    const std::string dir = make_temp_dir();
    const run_result cli = through_cli(words, image, dir);
    const api_result api = through_api(words, image);
    const std::string expected = read_file(dir + "/out.wav");
    ASSERT_EQ(cli.status, 0) << cli.out;
    ASSERT_EQ(api.status, 0) << api.message;
    EXPECT_EQ(api.planned, expected.size()) << testing::PrintToString(words);
    EXPECT_TRUE(api.wav == expected) << testing::PrintToString(words) << ": " << api.wav.size()
                                     << " bytes, not " << expected.size();
  }
  // Progress of the last run, as the playback line shows it.
  EXPECT_STREQ(kelvora_progress(0), "0:00 / 0:15  silence");
}

TEST(Api, RefusesInTheCommandLinesWords) {
  const std::vector<std::vector<std::string>> matrix = {
      {"-b", "0"},
      {"-q", "12"},
      {"-w", "1000"},
      {"-r", "9599"},
      {"-c", "3", "-b", "300"},
      {"--level=0"},
      {"--level=101"},
      {"--bogus"},
      {"-r", "2000000000", "-c", "2", "-q", "16"},
      {"-f", "h500000"},  // too long for a WAV header at the default rate
  };
  for (const auto& words : matrix) {
    const std::string dir = make_temp_dir();
    const run_result cli = through_cli(words, "ab", dir);
    const api_result api = through_api(words, "ab");
    EXPECT_EQ(cli.status, 1) << testing::PrintToString(words);
    EXPECT_EQ(api.status, cli.status) << testing::PrintToString(words);
    EXPECT_EQ(api.message, cli.out) << testing::PrintToString(words);
    EXPECT_EQ(api.wav, "") << testing::PrintToString(words);
  }
}

// Frames held in memory, handed out as the reader asks for them.
struct held_frames {
  std::string bytes;
  size_t frame_bytes;
  size_t at = 0;
};

int64_t hand_out(void* context, void* out, int64_t most) {
  auto& held = *static_cast<held_frames*>(context);
  const size_t n = std::min(static_cast<size_t>(most) * held.frame_bytes, held.bytes.size() - held.at);
  std::memcpy(out, held.bytes.data() + held.at, n);
  held.at += n;
  return static_cast<int64_t>(n / held.frame_bytes);
}

// A kelvora WAV's samples as the reader's supplier gives them: 16-bit (8-bit
// shifted up), or as floats in a float WAV written beside it for the binary.
held_frames frames_of(const std::string& wav, bool as_float, std::string& float_wav) {
  const unsigned channels = le16_at(wav, 22), bits = le16_at(wav, 34);
  held_frames held{"", as_float ? 4u * channels : 2u * channels};
  for (size_t at = 44; at < wav.size(); at += bits / 8) {
    const int v = bits == 8 ? (static_cast<unsigned char>(wav[at]) - 128) * 256 : static_cast<int16_t>(le16_at(wav, at));
    if (as_float) {
      const float f = static_cast<float>(v) / 32768.0f;
      held.bytes.append(reinterpret_cast<const char*>(&f), 4);
    } else {
      const auto s = static_cast<int16_t>(v);
      held.bytes.append(reinterpret_cast<const char*>(&s), 2);
    }
  }
  if (as_float) {
    float_wav = wav.substr(0, 44);
    const auto put32 = [&](size_t at, uint32_t x) { for (int i = 0; i < 4; ++i) float_wav[at + i] = static_cast<char>(x >> (8 * i)); };
    const auto put16 = [&](size_t at, uint32_t x) { for (int i = 0; i < 2; ++i) float_wav[at + i] = static_cast<char>(x >> (8 * i)); };
    put32(4, static_cast<uint32_t>(36 + held.bytes.size()));
    put16(20, 3);  // IEEE float
    put32(28, le32_at(wav, 24) * 4 * channels);
    put16(32, 4 * channels);
    put16(34, 32);
    put32(40, static_cast<uint32_t>(held.bytes.size()));
    float_wav += held.bytes;
  }
  return held;
}

TEST(Api, ReadsAsTheCommandLineReads) {
  struct row {
    std::vector<std::string> write_words;
    bool as_float;
    std::vector<std::string> read_words;
  };
  const std::vector<row> rows = {
      {{}, false, {}},
      {{"-b", "600", "-w", "1200", "-s", "1", "-q", "16", "-c", "2", "-r", "22050"}, true, {"-b", "600", "-s", "1"}},
      {{"-f", "b0.5 h0.5 d20 b0.2 h0.3 d", "--invert", "--level=40"}, false, {"-s", "2"}},
  };
  const std::string image = random_bytes(400, 11);
  for (const row& r : rows) {
    const std::string dir = make_temp_dir();
    write_file(dir + "/in.img", image);
    std::vector<std::string> write_args = r.write_words;
    write_args.insert(write_args.end(), {"in.img", "tape.wav"});
    ASSERT_EQ(run_kelvora(write_args, "/dev/null", dir).status, 0);
    std::string float_wav;
    held_frames held = frames_of(read_file(dir + "/tape.wav"), r.as_float, float_wav);
    if (r.as_float) write_file(dir + "/tape.wav", float_wav);
    std::vector<std::string> read_args{"--read"};
    read_args.insert(read_args.end(), r.read_words.begin(), r.read_words.end());
    read_args.insert(read_args.end(), {"tape.wav", "out.img"});
    const run_result cli = run_kelvora(read_args, "/dev/null", dir);

    std::vector<const char*> words;
    for (const std::string& w : r.read_words) words.push_back(w.c_str());
    const kelvora_recording tape{"tape.wav", static_cast<int32_t>(le32_at(float_wav.empty() ? read_file(dir + "/tape.wav") : float_wav, 24)),
                                 static_cast<int32_t>(held.frame_bytes / (r.as_float ? 4 : 2)),
                                 static_cast<int32_t>(r.as_float ? 32 : le16_at(read_file(dir + "/tape.wav"), 34)),
                                 r.as_float ? 0 : 1, hand_out, &held};
    std::string read_back;
    const int status = kelvora_read(static_cast<int>(words.size()), words.data(), &tape, append, &read_back);
    EXPECT_EQ(status, cli.status) << testing::PrintToString(r.write_words);
    EXPECT_EQ(kelvora_summary(), cli.err) << testing::PrintToString(r.write_words);
    EXPECT_TRUE(read_back == read_file(dir + "/out.img")) << testing::PrintToString(r.write_words);
    EXPECT_TRUE(read_back == image) << testing::PrintToString(r.write_words);
  }
}

}  // namespace
