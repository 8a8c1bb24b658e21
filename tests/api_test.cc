// The library entry against the real binary: the same option words give the
// same WAV bytes, the same size before writing, and the same refusals.
#include <gtest/gtest.h>

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

}  // namespace
