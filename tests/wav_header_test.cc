// The 44-byte header, byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/settings.h"
#include "run_binary.h"
#include "wav/wav_header.h"

namespace {

// The finished file after a placeholder, `data` sample bytes and the rewrite.
std::string header_file(uint32_t data_size, const std::string& samples = "") {
  std::FILE* file = std::tmpfile();
  kelvora::output_stream out;
  kelvora::attach_output(out, file, "tmp");
  kelvora::write_header_placeholder(out);
  kelvora::put_bytes(out, reinterpret_cast<const unsigned char*>(samples.data()), samples.size());
  kelvora::write_wav_header(data_size, out);
  std::string bytes;
  std::rewind(file);
  for (int c = 0; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<char>(c));
  kelvora::close_output(out);
  return bytes;
}

TEST(WavHeader, DefaultsWithNoData) {
  kelvora::init_settings();
  const std::string expected(
      "RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x80\x25\0\0\x80\x25\0\0\x01\0\x08\0data\0\0\0\0", 44);
  EXPECT_EQ(header_file(0), expected);
}

TEST(WavHeader, StereoSixteenBitAndLargeSizes) {
  kelvora::init_settings();
  kelvora::settings.channels = 2;
  kelvora::settings.quantization_bits = 16;
  const std::string bytes = header_file(1000000);
  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_EQ(bytes.substr(4, 4), std::string("\x64\x42\x0F\x00", 4));
  EXPECT_EQ(bytes.substr(40, 4), std::string("\x40\x42\x0F\x00", 4));
  EXPECT_EQ(le16_at(bytes, 22), 2u);
  EXPECT_EQ(le32_at(bytes, 24), 9600u);
  EXPECT_EQ(le32_at(bytes, 28), 38400u);
  EXPECT_EQ(le16_at(bytes, 32), 4u);
  EXPECT_EQ(le16_at(bytes, 34), 16u);
}

TEST(WavHeader, OddDataSizeHasNoPadByte) {
  kelvora::init_settings();
  const std::string bytes = header_file(3, "\x80\x80\x80");
  EXPECT_EQ(bytes.size(), 47u);
  EXPECT_EQ(le32_at(bytes, 4), 39u);
  EXPECT_EQ(le32_at(bytes, 40), 3u);
}

TEST(WavHeader, LargestDescribableRecording) {
  kelvora::init_settings();
  const std::string bytes = header_file(0xFFFFFFFFu - 36);
  EXPECT_EQ(le32_at(bytes, 4), 0xFFFFFFFFu);
}

}  // namespace
