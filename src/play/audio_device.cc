// The audio device through ALSA (libasound). The device is given exactly the
// recording's format: U8 for 8-bit, S16_LE for 16-bit samples, interleaved
// frames, the sampling rate and channel count of the settings; kelvora
// converts nothing (a plug device may). Writes go a twentieth of a second at
// a time at most, and Ctrl-C aborts a blocked write (snd_pcm_abort, which is
// meant for signal handlers), so it is seen at once; then the sound is
// dropped, not drained. An underrun is recovered and playing goes on, but the
// gap it left fails the run at the end.
#include "play/audio_device.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <string>
#include <thread>

#include "cli/failure.h"
#include "cli/settings.h"
#include "play/progress.h"

namespace kelvora {

namespace {

// The open device and what has been written to it.
snd_pcm_t* pcm = nullptr;
std::string device_name;
snd_pcm_uframes_t write_frames = 0;  // frames handed over in one write
uint64_t frames_written = 0;
uint64_t gaps = 0;  // underruns and suspends recovered from

volatile std::sig_atomic_t interrupted = 0;
std::atomic<snd_pcm_t*> abort_target{nullptr};  // the open device, for the signal handler
static_assert(std::atomic<snd_pcm_t*>::is_always_lock_free);

constexpr unsigned buffer_microseconds = 500000;
constexpr unsigned period_microseconds = 50000;

void note_interrupt(int) {
  interrupted = 1;
  snd_pcm_t* device = abort_target.load();
  if (device != nullptr) snd_pcm_abort(device);
}

// libasound prints its own diagnostics on standard error; kelvora says one line.
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

void close_device() {
  if (pcm == nullptr) return;
  abort_target.store(nullptr);  // the handler never sees a closed device
  snd_pcm_close(pcm);
  pcm = nullptr;
  snd_config_update_free_global();
}

[[noreturn]] void fail_closed(const std::string& message) {
  close_device();
  fail(message);
}

// What to try instead of the named device.
std::string suggestion() {
  if (device_name.rfind("hw:", 0) == 0) return "try plug" + device_name + " or default";
  return "try a plughw: device or default";
}

[[noreturn]] void refuse(const std::string& what) {
  fail_closed("audio device " + printable_name(device_name) + " cannot take " + what + "; " +
              suggestion());
}

[[noreturn]] void interrupt_run() { throw failure{"", 130}; }

std::string channel_words(int32_t channels) {
  return std::to_string(channels) + (channels == 1 ? " channel" : " channels");
}

void set_hardware(snd_pcm_hw_params_t* hw) {
  const snd_pcm_format_t format =
      settings.quantization_bits == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
  const std::string width = std::to_string(settings.quantization_bits) + "-bit samples";
  const auto channels = static_cast<unsigned>(settings.channels);
  const auto rate = static_cast<unsigned>(settings.sampling_rate);
  const std::string hertz = std::to_string(settings.sampling_rate) + " Hz";
  if (snd_pcm_hw_params_any(pcm, hw) < 0) refuse("any setting");
  if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) {
    refuse("interleaved frames");
  }
  if (snd_pcm_hw_params_set_format(pcm, hw, format) < 0) refuse(width);
  if (snd_pcm_hw_params_set_channels(pcm, hw, channels) < 0) refuse(channel_words(settings.channels));
  if (snd_pcm_hw_params_set_rate(pcm, hw, rate, 0) < 0) refuse(hertz);
  // Buffer and period are wishes; the device's nearest values do as well.
  unsigned buffer_time = buffer_microseconds;
  unsigned period_time = period_microseconds;
  snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_time, nullptr);
  snd_pcm_hw_params_set_period_time_near(pcm, hw, &period_time, nullptr);
  const int err = snd_pcm_hw_params(pcm, hw);
  if (err < 0) {
    fail_closed("audio device " + printable_name(device_name) + " cannot be set to " + width + ", " +
                channel_words(settings.channels) + ", " + hertz + ": " + snd_strerror(err) + "; " +
                suggestion());
  }
}

// Sound starts once the buffer is full, so it never starts short of samples.
void set_software(snd_pcm_hw_params_t* hw, snd_pcm_sw_params_t* sw) {
  snd_pcm_uframes_t buffer_frames = 0;
  snd_pcm_uframes_t period_frames = 0;
  snd_pcm_hw_params_get_buffer_size(hw, &buffer_frames);
  snd_pcm_hw_params_get_period_size(hw, &period_frames, nullptr);
  const auto twentieth =
      std::max<snd_pcm_uframes_t>(1, static_cast<snd_pcm_uframes_t>(settings.sampling_rate / 20));
  write_frames = period_frames > 0 ? std::min(period_frames, twentieth) : twentieth;
  int err = snd_pcm_sw_params_current(pcm, sw);
  if (err >= 0) err = snd_pcm_sw_params_set_start_threshold(pcm, sw, buffer_frames);
  if (err >= 0) err = snd_pcm_sw_params(pcm, sw);
  if (err < 0) {
    fail_closed("cannot set up audio device " + printable_name(device_name) + ": " + snd_strerror(err));
  }
}

// Frames written but not yet heard (all of them before the sound starts).
uint64_t frames_queued() {
  snd_pcm_sframes_t delay = 0;
  if (snd_pcm_delay(pcm, &delay) < 0 || delay < 0) return 0;
  return std::min(static_cast<uint64_t>(delay), frames_written);
}

uint64_t frames_heard() { return frames_written - frames_queued(); }

// Recovers from an underrun or a suspend; fails on any other error.
void recover(snd_pcm_sframes_t error) {
  const int code = static_cast<int>(error);
  if (code == -EPIPE || code == -ESTRPIPE) ++gaps;
  if (snd_pcm_recover(pcm, code, 1) < 0) {
    fail_closed("cannot play on audio device " + printable_name(device_name) + ": " + snd_strerror(code));
  }
}

}  // namespace

void open_audio_device(const char* name) {
  snd_lib_error_set_handler(quiet_alsa);
  device_name = name;
  frames_written = 0;
  gaps = 0;
  const int err = snd_pcm_open(&pcm, name, SND_PCM_STREAM_PLAYBACK, 0);
  if (err < 0) {
    pcm = nullptr;
    snd_config_update_free_global();
    fail("cannot open audio device " + printable_name(name) + ": " + snd_strerror(err));
  }
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_sw_params_t* sw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  snd_pcm_sw_params_alloca(&sw);
  set_hardware(hw);
  set_software(hw, sw);
}

void catch_interrupt() {
  interrupted = 0;
  abort_target.store(pcm);
  struct sigaction action {};
  action.sa_handler = note_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // no SA_RESTART: a blocked write returns at once
  sigaction(SIGINT, &action, nullptr);
}

void play_samples(const unsigned char* data, size_t n) {
  const auto frame_bytes = static_cast<size_t>(bytes_per_frame());
  size_t frames = n / frame_bytes;
  while (frames > 0) {
    if (interrupted != 0) interrupt_run();
    const auto chunk = static_cast<snd_pcm_uframes_t>(std::min<size_t>(frames, write_frames));
    const snd_pcm_sframes_t done = snd_pcm_writei(pcm, data, chunk);
    if (done == -EINTR || done == -EAGAIN) continue;
    if (done < 0) {
      recover(done);
      continue;
    }
    data += static_cast<size_t>(done) * frame_bytes;
    frames -= static_cast<size_t>(done);
    frames_written += static_cast<uint64_t>(done);
    if (progress_shown()) update_progress(frames_heard());
  }
}

uint64_t finish_audio_device() {
  if (frames_written > 0 && snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) snd_pcm_start(pcm);
  // Wait while more than a short tail is queued, watching for Ctrl-C; a
  // device whose clock stands still is waited for no longer than it should take.
  const auto rate = static_cast<uint64_t>(settings.sampling_rate);
  const auto step = std::chrono::milliseconds(20);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(frames_queued() * 1000 / rate + 2000);
  while (snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING && frames_queued() > rate / 20 &&
         std::chrono::steady_clock::now() < deadline) {
    if (interrupted != 0) interrupt_run();
    update_progress(frames_heard());
    std::this_thread::sleep_for(step);
  }
  if (interrupted != 0) interrupt_run();
  const int err = snd_pcm_drain(pcm);
  if (interrupted != 0) interrupt_run();
  if (err < 0 && err != -EPIPE) {
    fail_closed("cannot play on audio device " + printable_name(device_name) + ": " + snd_strerror(err));
  }
  close_device();
  if (gaps > 0) {
    fail("the sound stopped " + std::to_string(gaps) +
         (gaps == 1 ? " time" : " times") + " while playing (the device ran out of samples); play it again");
  }
  return frames_written;
}

uint64_t stop_audio_device() {
  if (pcm == nullptr) return frames_written;
  const uint64_t heard = frames_heard();
  snd_pcm_drop(pcm);
  close_device();
  return heard;
}

}  // namespace kelvora
