// The fuzzing input is split at NUL bytes: every piece but the last is a word
// of the command line (option words and layouts alike), the last piece is the
// tape image. Two file names are appended so that a well-formed command line
// converts; the recording is sized, and written into /dev/null when it is at
// most 1 MB. A written size that differs from the planned one is a finding.
// With --read among the words the last piece is a recording instead, read
// from memory with the framing the words give. A run that ends other than
// with status 0 or 1 and one line (or the usage text), or with an internal
// error, is a finding.
#include "fuzz_harness.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "cli/failure.h"
#include "cli/settings.h"
#include "driver/conversion.h"
#include "read/read.h"
#include "wav/output_stream.h"

namespace kelvora {

fuzz_outcome fuzz_one(const uint8_t* data, size_t size) {
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
  const uint64_t cap = 1000000;
  fuzz_outcome outcome;
  try {
    init_settings();
    const int32_t first = parse_options(static_cast<int32_t>(argv.size()), argv.data());
    if (first == static_cast<int32_t>(argv.size()) - 2 && request.mode == run_mode::read) {
      outcome.status = read_recording_in_memory(reinterpret_cast<const unsigned char*>(tape.data()), tape.size());
    } else if (first == static_cast<int32_t>(argv.size()) - 2 && request.mode == run_mode::convert) {
      const std::vector<layout_element> layout = parse_layout(settings.format_string);
      settle_input(in, bytes_wanted(layout), most_input_bytes());
      const recording_plan plan = plan_recording(layout, in.available, cap);
      if (plan.data_bytes <= cap) write_recording(plan, in, out, false);
    }
  } catch (const failure& f) {
    outcome.text = f.text;
    outcome.status = f.status;
  } catch (const std::bad_alloc&) {
    outcome.out_of_memory = true;
  }
  std::fclose(input);
  return outcome;
}

std::string fuzz_fault(const fuzz_outcome& outcome) {
  if (outcome.out_of_memory) return "";
  const std::string& text = outcome.text;
  if (text.rfind("internal error", 0) == 0) return "an internal error: " + text;
  if (outcome.status != 0 && outcome.status != 1) return "status " + std::to_string(outcome.status);
  // Finished (a read with framing errors has status 1 and only its summary),
  // the usage text or the version.
  if (text.empty() || text.rfind("usage: ", 0) == 0 || text.rfind("kelvora ", 0) == 0) return "";
  if (text.back() != '\n' || text.find('\n') != text.size() - 1) return "not one line: " + text;
  return "";
}

}  // namespace kelvora
