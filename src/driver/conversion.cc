// The conversion run. The recording's size is a function of the settings,
// the layout and the number of input bytes, so it is known before the output
// is opened: a recording too large for a WAV header, or an input that cannot
// be read, fails while an existing output file is still untouched. A seekable
// output gets a placeholder header that is rewritten at the end (a file left
// unfinished keeps its zero header); any other output (pipe, terminal,
// device) gets the exact header first.
#include "driver/conversion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/failure.h"
#include "cli/settings.h"
#include "driver/listening.h"
#include "driver/playback.h"
#include "synth/cell_plan.h"
#include "read/read.h"
#include "wav/wav_header.h"

namespace kelvora {

namespace {

// Standard streams that were closed when the process started.
bool stdin_was_closed = false;
bool stdout_was_closed = false;

// A closed standard descriptor gets /dev/null, so that no file opened later
// lands on it and is taken for a standard stream.
void reserve_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    if (fd == 0) stdin_was_closed = true;
    if (fd == 1) stdout_was_closed = true;
    const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null_fd >= 0 && null_fd != fd) close(null_fd);
  }
}

// True when the name is "-" or the very file that standard output is open on.
bool names_standard_output(const char* name) {
  if (std::strcmp(name, "-") == 0) return true;
  struct stat named {};
  struct stat out {};
  return !stdout_was_closed && stat(name, &named) == 0 && fstat(1, &out) == 0 &&
         named.st_dev == out.st_dev && named.st_ino == out.st_ino;
}

// With standard output closed at start, "-" and the names of descriptor 1
// lead to the /dev/null that stands in for it: what was written would be lost.
void refuse_closed_standard_output(const char* name) {
  if (!stdout_was_closed) return;
  for (const char* alias : {"-", "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
    if (std::strcmp(name, alias) == 0) fail_because("cannot write", name, EBADF);
  }
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

bool standard_input_was_closed() { return stdin_was_closed; }

void fail_too_large() { fail("recording too large for a WAV file"); }

uint64_t most_input_bytes() {
  // Every cell of a byte but the first holds at least sampling_rate /
  // baud_rate - 1 frames (at least 7, since the rate is at least 8 carriers).
  const uint64_t cell_frames = static_cast<uint64_t>(settings.sampling_rate / settings.baud_rate) - 1;
  const uint64_t byte_bytes = (8 + static_cast<uint64_t>(settings.stop_bits)) * cell_frames *
                              static_cast<uint64_t>(bytes_per_frame());
  return wav_data_limit / byte_bytes + 1;
}

recording_plan prepare_recording(input_source& in) {
  const std::vector<layout_element> layout = parse_layout(settings.format_string);
  settle_input(in, bytes_wanted(layout), most_input_bytes());
  recording_plan plan = plan_recording(layout, in.available, wav_data_limit);
  if (plan.data_bytes > wav_data_limit) fail_too_large();
  return plan;
}

void lay_out_planned(const recording_plan& plan, input_source& in, output_stream& out) {
  expect_recording(plan.data_bytes / static_cast<uint64_t>(bytes_per_frame()));
  const uint64_t written = lay_out_recording(plan.layout, in, out);
  if (written != plan.data_bytes) {
    fail("internal error: the recording came out " + std::to_string(written) + " bytes, not " +
         std::to_string(plan.data_bytes));
  }
}

void write_recording(const recording_plan& plan, input_source& in, output_stream& out, bool seekable) {
  if (seekable) {
    write_header_placeholder(out);
  } else {
    write_header_fields(static_cast<uint32_t>(plan.data_bytes), out);
  }
  lay_out_planned(plan, in, out);
  if (seekable) write_wav_header(static_cast<uint32_t>(plan.data_bytes), out);
}

int run_conversion(const char* input_name, const char* output_name) {
  const bool output_is_stdout = std::strcmp(output_name, "-") == 0;
  if (output_is_stdout) refuse_terminal(stdout, "audio");

  input_source in;
  open_input(in, input_name);
  const recording_plan plan = prepare_recording(in);
  if (names_input_file(in.file, output_name)) fail("input and output are the same file");

  std::FILE* output = output_is_stdout ? stdout : std::fopen(output_name, "wb");
  if (output == nullptr) fail_because("cannot open", output_name, errno);
  refuse_terminal(output, "audio");
  output_stream out;
  attach_output(out, output, output_name);
  write_in_background(out);
  try {
    write_recording(plan, in, out, can_rewrite_header(output));
  } catch (const failure&) {
    // Leave the output as far as it got; the failure is what gets reported.
    abandon_output(out);
    throw;
  }
  close_output(out);
  close_input(in);
  return 0;
}

int run_main(int argc, const char* const* argv) {
  reserve_standard_descriptors();
  // Where the audio (or the image read back) may go to standard output, every
  // message goes to standard error, from the first word of the command line
  // on; so it does where standard output was closed and would lose them.
  if (stdout_was_closed || (argc > 1 && names_standard_output(argv[argc - 1]))) send_messages_to_stderr(true);
  init_settings();
  const int32_t i = parse_options(argc, argv);
  if (i != argc - file_count()) print_usage();
  if (request.mode != run_mode::play) refuse_closed_standard_output(argv[argc - 1]);
  switch (request.mode) {
    case run_mode::read:
      if (std::strcmp(argv[argc - 2], "-") == 0 && stdin_was_closed) fail_because("cannot read", "-", EBADF);
      return run_read(argv[argc - 2], argv[argc - 1]);
    case run_mode::play:
      return run_playback(argv[argc - 1]);
    case run_mode::listen:
      return run_listen(argv[argc - 1]);
    case run_mode::convert:
      break;
  }
  return run_conversion(argv[argc - 2], argv[argc - 1]);
}

}  // namespace kelvora
