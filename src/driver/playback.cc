// The playback run. The device is opened first, so a missing device (or a
// build without ALSA) is reported before the input is read; then the
// recording is sized as for a file and synthesised straight into the device,
// never more than the output buffer ahead of it. The stop signals are caught
// only once the input has been settled, so reading a slow pipe is never cut
// short; one ends the sound at once (what the device holds is dropped), the
// progress line is ended, and the status is 128 + the signal.
#include "driver/playback.h"

#include <vector>

#include "audio/audio_device.h"
#include "cli/failure.h"
#include "cli/settings.h"
#include "driver/conversion.h"
#include "play/progress.h"
#include "signals/stop_signals.h"

namespace kelvora {

namespace {

// The sections the progress line names.
std::vector<played_section> played_sections(const recording_plan& plan) {
  std::vector<played_section> sections;
  for (const planned_section& section : plan.sections) sections.push_back({section.letter, section.data_bytes});
  return sections;
}

[[noreturn]] void stopped() { throw failure{"", stop_status()}; }

// Frames heard, also once a failure closed the device.
uint64_t heard_so_far(audio_device& device) {
  return device.pcm != nullptr ? frames_heard(device) : device.frames_moved;
}

void play_buffer(audio_device& device, const unsigned char* data, size_t n) {
  const size_t frames = n / static_cast<size_t>(bytes_per_frame());
  if (write_audio(device, data, frames) < frames) stopped();
  if (progress_shown()) update_progress(frames_heard(device));
}

// Ends the run when the sound had gaps.
void check_gaps(const audio_device& device) {
  if (device.gaps == 0) return;
  fail("the sound stopped " + std::to_string(device.gaps) + (device.gaps == 1 ? " time" : " times") +
       " while playing (the device ran out of samples); play it again");
}

}  // namespace

int run_playback(const char* input_name) {
  audio_device device;
  open_audio_device(device, request.device, audio_direction::playback,
                    audio_format{settings.quantization_bits, settings.sampling_rate, settings.channels});
  input_source in;
  recording_plan plan;
  try {
    open_input(in, input_name);
    plan = prepare_recording(in);
  } catch (const failure&) {
    close_audio_device(device);
    throw;
  }
  catch_audio_stop_signals(device);
  begin_progress(played_sections(plan));
  output_stream out;
  attach_sink_output(out, request.device,
                     [&device](const unsigned char* data, size_t n) { play_buffer(device, data, n); });
  try {
    lay_out_planned(plan, in, out);
    flush_output(out);
    drain_audio(device, [](uint64_t heard) { update_progress(heard); });
    if (stop_signal() != 0) stopped();
  } catch (const failure&) {
    end_progress(heard_so_far(device));
    close_audio_device(device);
    throw;
  }
  end_progress(frames_heard(device));
  close_audio_device(device);
  check_gaps(device);
  close_input(in);
  return 0;
}

}  // namespace kelvora
