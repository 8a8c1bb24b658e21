// The conversion run. The format string is scanned for the letters b, h and
// d; each starts an element whose number follows it (a real for b and h, an
// integer for d) and the scan resumes right after the letter. A seekable
// output gets a placeholder header that is rewritten at the end; any other
// output (pipe, terminal, device) is measured first so that its header is
// exact from the start.
#include "driver/conversion.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>

#include "cli/failure.h"
#include "cli/settings.h"
#include "synth/bit_cell.h"
#include "synth/sections.h"
#include "wav/wav_header.h"

namespace kelvora {

namespace {

// Reads a decimal integer the way "%d" does; false when there is none.
// Counts beyond 32 bits are held at the 32-bit limits.
bool read_count(const char* text, int32_t& count) {
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text) return false;
  count = value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : static_cast<int32_t>(value);
  return true;
}

// Reads a real the way "%lf" does; false when there is none.
bool read_duration(const char* text, double& duration) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text) return false;
  duration = value;
  return true;
}

int64_t emit_data_block(int32_t count, input_source& in, output_stream& out) {
  int64_t total = 0;
  if (count < 0) return 0;
  for (int64_t read = 0; count == 0 || read < count;) {
    const int c = read_input_byte(in);
    if (c < 0) break;
    total += emit_byte(c, out);
    ++read;
  }
  return total;
}

// A regular file at its start, not in append mode: the header can be rewritten.
bool can_rewrite_header(std::FILE* file) {
  struct stat info {};
  const int fd = fileno(file);
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_APPEND) != 0) return false;
  return std::ftell(file) == 0;
}

// True when the output name is the very regular file the input was opened
// from (a terminal or /dev/null on both sides is harmless).
bool names_input_file(std::FILE* input, const char* output_name) {
  struct stat in_info {};
  struct stat out_info {};
  if (fstat(fileno(input), &in_info) != 0 || !S_ISREG(in_info.st_mode)) return false;
  const int status = std::strcmp(output_name, "-") == 0 ? fstat(fileno(stdout), &out_info)
                                                         : stat(output_name, &out_info);
  return status == 0 && in_info.st_dev == out_info.st_dev && in_info.st_ino == out_info.st_ino;
}

}  // namespace

int64_t lay_out_recording(input_source& in, output_stream& out) {
  const char* format = settings.format_string;
  const size_t length = std::strlen(format);
  int64_t data_byte_count = 0;
  double duration = 0.0;  // carried between b and h elements that lack a number
  for (size_t p = 0; p < length;) {
    const char* letter = std::strpbrk(format + p, "bhd");
    if (letter == nullptr) break;
    const char* number = letter + 1;
    if (*letter == 'd') {
      int32_t count = 0;
      read_count(number, count);
      data_byte_count += emit_data_block(count, in, out);
    } else {
      read_duration(number, duration);
      data_byte_count += *letter == 'h' ? emit_leader(duration, out) : emit_silence(duration, out);
    }
    p = static_cast<size_t>(letter - format) + 1;
  }
  return data_byte_count;
}

void convert_streams(input_source& in, output_stream& out, bool seekable) {
  if (seekable) {
    write_header_placeholder(out);
    reset_clock();
    const int64_t data_size = lay_out_recording(in, out);
    write_wav_header(static_cast<uint32_t>(data_size), out);
    return;
  }
  // Measure first: frame counts depend on the settings, the layout and the
  // number of input bytes, never on their values.
  in.keep = true;
  out.measuring = true;
  reset_clock();
  const int64_t data_size = lay_out_recording(in, out);
  out.measuring = false;
  out.data_bytes = 0;
  start_replay(in);
  write_header_fields(static_cast<uint32_t>(data_size), out);
  reset_clock();
  lay_out_recording(in, out);
}

int run_conversion(const char* input_name, const char* output_name) {
  const bool input_is_stdin = std::strcmp(input_name, "-") == 0;
  std::FILE* input = input_is_stdin ? stdin : std::fopen(input_name, "rb");
  if (input == nullptr) fail(std::string("cannot open ") + input_name);
  // From here on a message printed on standard output would land in the audio.
  const bool output_is_stdout = std::strcmp(output_name, "-") == 0;
  if (output_is_stdout) send_messages_to_stderr(true);
  if (names_input_file(input, output_name)) fail("input and output are the same file");
  std::FILE* output = output_is_stdout ? stdout : std::fopen(output_name, "wb");
  if (output == nullptr) fail(std::string("cannot open ") + output_name);

  input_source in;
  in.file = input;
  in.name = input_name;
  output_stream out;
  attach_output(out, output, output_name);
  try {
    convert_streams(in, out, can_rewrite_header(output));
  } catch (const failure&) {
    // Leave the output as far as it got; the failure is what gets reported.
    if (out.file != nullptr && !out.measuring) {
      std::fwrite(out.buffer.data(), 1, out.used, out.file);
    }
    throw;
  }
  close_output(out);
  std::fclose(input);
  return 0;
}

int run_main(int argc, const char* const* argv) {
  init_settings();
  const int32_t i = parse_options(argc, argv);
  if (i != argc - 2) print_usage();
  return run_conversion(argv[argc - 2], argv[argc - 1]);
}

}  // namespace kelvora
