// The fuzzing input is split at NUL bytes: every piece but the last is a word
// of the command line (option words and layouts alike), the last piece is the
// tape image. Two file names are appended so that a well-formed command line
// converts; the conversion goes through the measuring pass and the writing
// pass into /dev/null with the recording capped at 1 MB.
#include "fuzz_harness.h"

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "cli/failure.h"
#include "cli/settings.h"
#include "driver/conversion.h"
#include "wav/output_stream.h"

namespace kelvora {

int fuzz_one(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"kelvora"};
  std::string piece;
  size_t i = 0;
  for (; i < size && words.size() < 16; ++i) {
    if (data[i] == 0) {
      words.push_back(piece);
      piece.clear();
    } else {
      piece.push_back(static_cast<char>(data[i]));
    }
  }
  const std::string tape = piece + std::string(reinterpret_cast<const char*>(data) + i, size - i);
  words.push_back("in");
  words.push_back("out");
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());

  static std::FILE* sink = std::fopen("/dev/null", "wb");
  std::FILE* input = fmemopen(const_cast<char*>(tape.data()), tape.size(), "rb");
  if (input == nullptr) input = std::fopen("/dev/null", "rb");
  output_stream out;
  attach_output(out, sink, "out");
  input_source in;
  in.file = input;
  in.name = "in";
  max_data_bytes = 1000000;
  try {
    init_settings();
    const int32_t first = parse_options(static_cast<int32_t>(argv.size()), argv.data());
    if (first == static_cast<int32_t>(argv.size()) - 2) convert_streams(in, out, false);
  } catch (const failure&) {
  } catch (const std::bad_alloc&) {
  }
  std::fclose(input);
  max_data_bytes = wav_data_limit;
  return 0;
}

}  // namespace kelvora
