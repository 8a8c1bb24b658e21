// The listening run. The device (and the file that keeps the recording) are
// opened before anything is heard, so a missing device fails at once. The
// card records 16-bit frames at 48000 Hz, mono, unless -r and -c say
// otherwise; the framing not told is found from the opening of the tape, as
// --read finds it. The stop signals are caught from the first frame: stopping is
// the normal end of listening, so the status follows what was read (0, or 1
// for framing errors, doubtful bytes, a block begun as after a dropout, a
// recording cut inside a byte, or frames the card lost to an overrun).
#include "driver/listening.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "audio/audio_device.h"
#include "cli/failure.h"
#include "cli/settings.h"
#include "listen/capture.h"
#include "listen/keep_file.h"
#include "listen/meter.h"
#include "read/read.h"
#include "read/recording.h"

namespace kelvora {

namespace {

// What the summary says of overruns.
std::string overrun_line(uint64_t gaps) {
  return "the sound card lost samples " + std::to_string(gaps) + (gaps == 1 ? " time" : " times") +
         " (it was not read in time); listen again\n";
}

}  // namespace

int run_listen(const char* image_name) {
  if (std::strcmp(image_name, "-") == 0) refuse_terminal(stdout, "a tape image");
  const audio_format format{16, settings.sampling_rate, settings.channels};
  audio_device device;
  open_audio_device(device, request.device, audio_direction::capture, format);
  keep_file keep;
  listen_meter meter;
  capture_run capture{device, meter, keep, {}};
  recording rec;
  image_sink image;
  image.name = image_name;
  int status = 0;
  try {
    if (request.keep != nullptr) open_keep_file(keep, request.keep, format.rate, format.channels);
    open_recording_from_source(rec, "audio device " + device.name, format.rate, format.channels, true,
                               capture_source(capture));
    catch_audio_stop_signals(device);
    begin_meter(meter, format.rate);
    status = read_and_close(rec, image, &meter);
  } catch (const failure&) {
    end_meter(meter);
    close_audio_device(device);
    try {
      close_keep_file(keep);
    } catch (const failure&) {
      // The first failure is the one reported.
    }
    throw;
  }
  close_audio_device(device);
  close_keep_file(keep);
  if (device.gaps > 0) {
    std::fputs(overrun_line(device.gaps).c_str(), stderr);
    status = 1;
  }
  return status;
}

}  // namespace kelvora
