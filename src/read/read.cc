// The --read run: recording in, image out, summary on standard error. The
// exit status is 0 only when every byte framed correctly. A recording that
// fails part way leaves the image holding what was read before; Ctrl-C,
// SIGTERM or SIGHUP stop the reading where it is, with the image and the summary as
// at the end, and status 128 + the signal (SIGHUP too).
#include "read/read.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/failure.h"
#include "cli/settings.h"
#include "read/detect.h"
#include "read/framing.h"
#include "read/image_sink.h"
#include "read/recording.h"
#include "read/settings_line.h"
#include "signals/stop_signals.h"
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

// Seconds of a recording's opening that framing detection hears at most, and frames.
constexpr double opening_seconds = 30;
constexpr int64_t most_opening_frames = int64_t{1} << 23;

// Sets the framing the command line did not tell from what the opening of
// the recording shows (it is read again from its start); returns what was
// heard. A tape heard live is held from its first tone, as it plays.
framing_heard find_untold_framing(recording& rec) {
  framing_heard heard;
  if (given.baud_rate && given.lower_carrier && given.stop_bits) return heard;
  const int64_t most = std::min(most_opening_frames, static_cast<int64_t>(opening_seconds * rec.sampling_rate));
  // Heard again on twice as much while the opening ends too soon.
  std::vector<float> opening;
  for (int64_t frames = std::min<int64_t>(most, 8 * int64_t{rec.sampling_rate});; frames = std::min(most, 2 * frames)) {
    hold_opening(rec, opening, frames);
    heard = hear_framing(opening.data(), static_cast<int64_t>(opening.size()), rec.sampling_rate);
    if (!heard.wants_more || static_cast<int64_t>(opening.size()) < frames || frames == most) break;
  }
  if (heard.cycles_per_cell == 0) return heard;
  const nominal_framing nominal = nominal_of(heard, given.baud_rate ? settings.baud_rate : 0,
                                             given.lower_carrier ? settings.lower_carrier : 0);
  if (nominal.baud_rate == 0) return heard;
  settings.baud_rate = nominal.baud_rate;
  settings.lower_carrier = nominal.lower_carrier;
  if (!given.stop_bits) settings.stop_bits = heard.stop_bits;
  return heard;
}

// What writes the recording again, besides its layout: the framing as told
// or found (the stop bits, when not told, the fewest idle cells read).
recording_facts facts_of(const recording& rec, const read_summary& summary, tone_ring& ring, double nominal_cell) {
  const double ring_rate = ring.rate;
  recording_facts f{};
  f.baud_rate = settings.baud_rate;
  f.lower_carrier = settings.lower_carrier;
  f.stop_bits = !given.stop_bits && summary.least_idle_cells >= 0 ? summary.least_idle_cells : settings.stop_bits;
  f.bits = rec.eight_bit ? 8 : 16;
  f.rate = rec.sampling_rate;
  f.channels = std::min(2, rec.channels);
  f.polarity = summary.polarity;
  f.peak = summary.tone_peak;
  f.frames_per_sample = rec.sampling_rate / ring_rate;
  f.cell = summary.frames > 0 ? summary.cell_sum / static_cast<double>(summary.frames) : nominal_cell;
  f.speed = nominal_cell / f.cell;
  f.silence = silence_read(ring.feed);
  // Within half a percent the tape ran at its nominal speed, as far as a layout can tell.
  if (std::fabs(f.speed - 1) < 0.005) {
    f.speed = 1;
    f.cell = nominal_cell;
  }
  return f;
}

// Reads the open recording into the image; returns the exit status.
int read_open_recording(recording& rec, image_sink& image, read_observer* also, std::string* summary_to) {
  const framing_heard heard = find_untold_framing(rec);
  // A carrier or baud rate told alone that nothing found a partner for.
  if (settings.lower_carrier % settings.baud_rate != 0) {
    const std::string what = heard_text(heard);
    fail("no framing found in " + printable_name(rec.name) + (what.empty() ? "" : ": " + what));
  }
  const double lower = settings.lower_carrier;
  if (static_cast<double>(rec.sampling_rate) <= 4 * lower) {
    fail("cannot read " + printable_name(rec.name) + ": a sampling rate of " +
         std::to_string(rec.sampling_rate) + " Hz cannot carry a " +
         std::to_string(2 * int64_t{settings.lower_carrier}) + " Hz tone");
  }
  tone_ring ring;
  open_tone_ring(ring, rec, lower, settings.baud_rate, 9.0 + settings.stop_bits);
  read_summary summary;
  summary.cell_unsure = heard.runs_alike && heard.cycles_per_cell > 0 && !given.baud_rate;
  summary_observer summing(summary);
  image_observer writing(image);
  read_observers events;
  layout_observer laying;
  events.list = {&writing, &summing, &laying};
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
  const int stopped_by = stop_cutting(rec);
  if (summary.bytes == 0 && stopped_by == 0) {
    // A tone whose frames the detection found but the reading did not is no data as well.
    const std::string what = heard.cycles_per_cell > 0 ? "" : heard_text(heard);
    if (what.empty()) fail("no data found in " + printable_name(rec.name));
    fail("no framing found in " + printable_name(rec.name) + ": " + what);
  }
  if (summary_to != nullptr || !image.discard) {
    const double nominal_cell = ring.rate / settings.baud_rate;
    const std::string text = summary_text(summary, nominal_cell, ring.rate) +
                             settings_line(laying.parts, facts_of(rec, summary, ring, nominal_cell));
    if (summary_to != nullptr) {
      *summary_to = text;
    } else {
      std::fputs(text.c_str(), stderr);
    }
  }
  // The reading thread may wait on a pipe that has stopped: it is not waited for.
  if (stopped_by != 0) end_at_once(128 + stopped_by);
  return read_status(summary);
}

}  // namespace

int read_and_close(recording& rec, image_sink& image, read_observer* also, std::string* summary) {
  try {
    const int status = read_open_recording(rec, image, also, summary);
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
  rec.at_stop = at_stop_signal::cut_short;
  catch_stop_signals({});
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
