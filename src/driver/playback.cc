// The playback run. The device is opened first, so a missing device (or a
// build without ALSA) is reported before the input is read; then the
// recording is sized as for a file and synthesised straight into the device,
// never more than the output buffer ahead of it. Ctrl-C is caught only once
// the input has been settled, so reading a slow pipe is never cut short.
#include "driver/playback.h"

#include "cli/failure.h"
#include "cli/settings.h"
#include "driver/conversion.h"
#include "play/audio_device.h"
#include "play/progress.h"

namespace kelvora {

int run_playback(const char* input_name) {
  open_audio_device(request.device);
  input_source in;
  recording_plan plan;
  try {
    open_input(in, input_name);
    plan = prepare_recording(in);
  } catch (const failure&) {
    stop_audio_device();
    throw;
  }
  catch_interrupt();
  begin_progress(plan);
  output_stream out;
  attach_device_output(out, request.device);
  uint64_t heard = 0;
  try {
    lay_out_planned(plan, in, out);
    flush_output(out);
    heard = finish_audio_device();
  } catch (const failure&) {
    end_progress(stop_audio_device());
    throw;
  }
  end_progress(heard);
  close_input(in);
  return 0;
}

}  // namespace kelvora
