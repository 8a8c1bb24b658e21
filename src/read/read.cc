// The --read run: recording in, image out, summary on standard error. The
// exit status is 0 only when every byte framed correctly. A recording that
// fails part way leaves the image holding what was read before; Ctrl-C,
// SIGTERM or SIGHUP stop the reading where it is, with the image and the summary as
// at the end, and status 128 + the signal (SIGHUP too).
#include "read/read.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/failure.h"
#include "cli/settings.h"
#include "read/framing.h"
#include "read/image_sink.h"
#include "read/recording.h"
#include "read/stop_signals.h"
#include "read/summary.h"
#include "read/tone_ring.h"

namespace kelvora {

namespace {

// The file a name stands for ("-": the standard stream at fd); false when there is none.
bool identify(const char* name, int fd, struct stat& info) {
  return std::strcmp(name, "-") == 0 ? fstat(fd, &info) == 0 : stat(name, &info) == 0;
}

// True when the image would be the very regular file the recording is read
// from (a terminal or /dev/null on both sides is harmless).
bool same_regular_file(const char* recording_name, const char* image_name) {
  struct stat in {};
  struct stat out {};
  return identify(recording_name, STDIN_FILENO, in) && S_ISREG(in.st_mode) &&
         identify(image_name, STDOUT_FILENO, out) && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

// A named recording that is missing, unreadable or a directory is refused
// with the system's reason (libsndfile would only say it knows no such format).
void check_readable(const char* name) {
  if (std::strcmp(name, "-") == 0) return;
  struct stat info {};
  if (stat(name, &info) != 0 || access(name, R_OK) != 0) fail_because("cannot read", name, errno);
  if (S_ISDIR(info.st_mode)) fail_because("cannot read", name, EISDIR);
}

// After a failure to read the recording the image keeps what was read before it.
void keep_what_was_read(image_sink& image) {
  try {
    close_image(image);
  } catch (const failure&) {
    // The recording's failure is the one reported; the image's own left no file behind.
  }
}

// Reads the open recording into the image; returns the exit status.
int read_open_recording(recording& rec, image_sink& image, read_observer* also) {
  const double lower = settings.lower_carrier;
  if (static_cast<double>(rec.sampling_rate) <= 4 * lower) {
    fail("cannot read " + printable_name(rec.name) + ": a sampling rate of " +
         std::to_string(rec.sampling_rate) + " Hz cannot carry a " +
         std::to_string(2 * int64_t{settings.lower_carrier}) + " Hz tone");
  }
  tone_ring ring;
  open_tone_ring(ring, rec, lower, settings.baud_rate, 9.0 + settings.stop_bits);
  read_summary summary;
  summary_observer summing(summary);
  image_observer writing(image);
  read_observers events;
  events.list = {&writing, &summing};
  if (also != nullptr) events.list.push_back(also);
  events.on_begin(ring.rate, ring.rate / settings.baud_rate);
  try {
    read_frames(ring, frame_format{lower, static_cast<double>(settings.baud_rate), settings.stop_bits}, events);
  } catch (const failure&) {
    keep_what_was_read(image);
    throw;
  }
  events.on_end();
  close_image(image);
  const int stopped_by = stop_signal();
  if (summary.bytes == 0 && stopped_by == 0) fail("no data found in " + printable_name(rec.name));
  if (!image.discard) {
    std::fputs(summary_text(summary, ring.rate / settings.baud_rate, ring.rate).c_str(), stderr);
  }
  // The reading thread may wait on a pipe that has stopped: it is not waited for.
  if (stopped_by != 0) end_at_once(128 + stopped_by);
  return read_status(summary);
}

}  // namespace

int read_and_close(recording& rec, image_sink& image, read_observer* also) {
  try {
    const int status = read_open_recording(rec, image, also);
    close_recording(rec);
    return status;
  } catch (...) {
    close_recording(rec);
    if (image.file != nullptr && image.file != stdout) std::fclose(image.file);
    image.file = nullptr;
    if (!image.temporary.empty()) unlink(image.temporary.c_str());
    throw;
  }
}

int run_read(const char* recording_name, const char* image_name) {
  if (std::strcmp(image_name, "-") == 0) refuse_terminal(stdout, "a tape image");
  if (same_regular_file(recording_name, image_name)) fail("input and output are the same file");
  check_readable(recording_name);
  recording rec;
  open_recording(rec, recording_name);
  image_sink image;
  image.name = image_name;
  catch_stop_signals();
  return read_and_close(rec, image);
}

int read_recording_in_memory(const unsigned char* data, size_t size) {
  recording rec;
  open_recording_in_memory(rec, data, size);
  image_sink image;
  image.name = "image";
  image.discard = true;
  return read_and_close(rec, image);
}

}  // namespace kelvora
