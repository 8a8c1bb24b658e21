// The sound card through ALSA (libasound). The device is given exactly the
// format asked for: U8 for 8-bit, S16_LE for 16-bit samples, interleaved
// frames; kelvora converts nothing (a plug device may). Transfers go a
// twentieth of a second at a time at most, and a stop signal aborts a
// blocked one (snd_pcm_abort, which is meant for signal handlers), so it is
// seen at once. An underrun or overrun is recovered and the transfer goes
// on; the device counts it for the run to judge.
#include "audio/audio_device.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "cli/failure.h"
#include "signals/stop_signals.h"

namespace kelvora {

namespace {

// The device a stop signal aborts.
std::atomic<snd_pcm_t*> abort_target{nullptr};
static_assert(std::atomic<snd_pcm_t*>::is_always_lock_free);

// Playing keeps half a second queued; recording may fall two seconds behind.
constexpr unsigned playback_buffer_microseconds = 500000;
constexpr unsigned capture_buffer_microseconds = 2000000;
constexpr unsigned period_microseconds = 50000;

void abort_transfer() {
  snd_pcm_t* pcm = abort_target.load();
  if (pcm != nullptr) snd_pcm_abort(pcm);
}

// libasound prints its own diagnostics on standard error; kelvora says one line.
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

[[noreturn]] void fail_closed(audio_device& device, const std::string& message) {
  close_audio_device(device);
  fail(message);
}

// What to try instead of the named device.
std::string suggestion(const audio_device& device) {
  if (device.name.rfind("hw:", 0) == 0) return "try plug" + device.name + " or default";
  return "try a plughw: device or default";
}

[[noreturn]] void refuse(audio_device& device, const std::string& what) {
  fail_closed(device, "audio device " + printable_name(device.name) + " cannot take " + what + "; " +
                          suggestion(device));
}

std::string channel_words(int32_t channels) {
  return std::to_string(channels) + (channels == 1 ? " channel" : " channels");
}

void set_hardware(audio_device& device, snd_pcm_hw_params_t* hw) {
  snd_pcm_t* pcm = device.pcm;
  const audio_format& f = device.format;
  const snd_pcm_format_t format = f.bits == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
  const std::string width = std::to_string(f.bits) + "-bit samples";
  const std::string hertz = std::to_string(f.rate) + " Hz";
  if (snd_pcm_hw_params_any(pcm, hw) < 0) refuse(device, "any setting");
  if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) {
    refuse(device, "interleaved frames");
  }
  if (snd_pcm_hw_params_set_format(pcm, hw, format) < 0) refuse(device, width);
  if (snd_pcm_hw_params_set_channels(pcm, hw, static_cast<unsigned>(f.channels)) < 0) {
    refuse(device, channel_words(f.channels));
  }
  if (snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(f.rate), 0) < 0) refuse(device, hertz);
  // Buffer and period are wishes; the device's nearest values do as well.
  unsigned buffer_time = device.direction == audio_direction::playback ? playback_buffer_microseconds
                                                                       : capture_buffer_microseconds;
  unsigned period_time = period_microseconds;
  snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_time, nullptr);
  snd_pcm_hw_params_set_period_time_near(pcm, hw, &period_time, nullptr);
  const int err = snd_pcm_hw_params(pcm, hw);
  if (err < 0) {
    fail_closed(device, "audio device " + printable_name(device.name) + " cannot be set to " + width + ", " +
                            channel_words(f.channels) + ", " + hertz + ": " + snd_strerror(err) + "; " +
                            suggestion(device));
  }
}

// Playing starts once the buffer is full, so it never starts short of
// samples; recording starts at the first read.
void set_software(audio_device& device, snd_pcm_hw_params_t* hw, snd_pcm_sw_params_t* sw) {
  snd_pcm_uframes_t buffer_frames = 0;
  snd_pcm_uframes_t period_frames = 0;
  snd_pcm_hw_params_get_buffer_size(hw, &buffer_frames);
  snd_pcm_hw_params_get_period_size(hw, &period_frames, nullptr);
  const auto twentieth = std::max<snd_pcm_uframes_t>(1, static_cast<snd_pcm_uframes_t>(device.format.rate / 20));
  device.chunk_frames = period_frames > 0 ? std::min(period_frames, twentieth) : twentieth;
  if (device.direction == audio_direction::capture) return;
  int err = snd_pcm_sw_params_current(device.pcm, sw);
  if (err >= 0) err = snd_pcm_sw_params_set_start_threshold(device.pcm, sw, buffer_frames);
  if (err >= 0) err = snd_pcm_sw_params(device.pcm, sw);
  if (err < 0) {
    fail_closed(device, "cannot set up audio device " + printable_name(device.name) + ": " + snd_strerror(err));
  }
}

std::string verb(const audio_device& device) {
  return device.direction == audio_direction::playback ? "cannot play on" : "cannot record from";
}

// Recovers from an underrun, overrun or suspend; fails on any other error.
void recover(audio_device& device, snd_pcm_sframes_t error) {
  const int code = static_cast<int>(error);
  if (code == -EPIPE || code == -ESTRPIPE) ++device.gaps;
  if (snd_pcm_recover(device.pcm, code, 1) < 0) {
    fail_closed(device, verb(device) + " audio device " + printable_name(device.name) + ": " + snd_strerror(code));
  }
}

size_t frame_bytes(const audio_device& device) {
  return static_cast<size_t>(device.format.channels) * static_cast<size_t>(device.format.bits / 8);
}

// Frames written but not yet heard (all of them before the sound starts).
uint64_t frames_queued(audio_device& device) {
  snd_pcm_sframes_t delay = 0;
  if (snd_pcm_delay(device.pcm, &delay) < 0 || delay < 0) return 0;
  return std::min(static_cast<uint64_t>(delay), device.frames_moved);
}

}  // namespace

void open_audio_device(audio_device& device, const std::string& name, audio_direction direction,
                       const audio_format& format) {
  snd_lib_error_set_handler(quiet_alsa);
  device = audio_device{};
  device.name = name;
  device.direction = direction;
  device.format = format;
  const snd_pcm_stream_t stream =
      direction == audio_direction::playback ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE;
  snd_pcm_t* pcm = nullptr;
  const int err = snd_pcm_open(&pcm, name.c_str(), stream, 0);
  if (err < 0) {
    snd_config_update_free_global();
    fail("cannot open audio device " + printable_name(name) + ": " + snd_strerror(err));
  }
  device.pcm = pcm;
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_sw_params_t* sw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  snd_pcm_sw_params_alloca(&sw);
  set_hardware(device, hw);
  set_software(device, hw, sw);
}

void catch_audio_stop_signals(audio_device& device) {
  abort_target.store(device.pcm);
  // Calls are not restarted: a blocked transfer returns at once.
  catch_stop_signals(stop_catching{.restart_calls = false, .on_stop = abort_transfer});
}

size_t write_audio(audio_device& device, const unsigned char* data, size_t frames) {
  const size_t bytes = frame_bytes(device);
  size_t written = 0;
  while (written < frames && stop_signal() == 0) {
    const auto chunk = static_cast<snd_pcm_uframes_t>(std::min(frames - written, device.chunk_frames));
    const snd_pcm_sframes_t done = snd_pcm_writei(device.pcm, data + written * bytes, chunk);
    if (done == -EINTR || done == -EAGAIN) continue;
    if (done < 0) {
      recover(device, done);
      continue;
    }
    written += static_cast<size_t>(done);
    device.frames_moved += static_cast<uint64_t>(done);
  }
  return written;
}

size_t read_audio(audio_device& device, unsigned char* data, size_t most) {
  const size_t bytes = frame_bytes(device);
  const size_t wanted = std::min(most, device.chunk_frames);
  size_t got = 0;
  while (got < wanted && stop_signal() == 0) {
    const auto chunk = static_cast<snd_pcm_uframes_t>(wanted - got);
    const snd_pcm_sframes_t done = snd_pcm_readi(device.pcm, data + got * bytes, chunk);
    if (done == -EINTR || done == -EAGAIN) continue;
    if (done < 0) {
      recover(device, done);
      continue;
    }
    got += static_cast<size_t>(done);
    device.frames_moved += static_cast<uint64_t>(done);
  }
  return stop_signal() == 0 ? got : 0;
}

uint64_t frames_heard(audio_device& device) { return device.frames_moved - frames_queued(device); }

void drain_audio(audio_device& device, const std::function<void(uint64_t)>& waiting) {
  if (device.frames_moved > 0 && snd_pcm_state(device.pcm) == SND_PCM_STATE_PREPARED) snd_pcm_start(device.pcm);
  // Wait while more than a short tail is queued, watching for a stop signal;
  // a device whose clock stands still is waited for no longer than it should take.
  const auto rate = static_cast<uint64_t>(device.format.rate);
  const auto step = std::chrono::milliseconds(20);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(frames_queued(device) * 1000 / rate + 2000);
  while (snd_pcm_state(device.pcm) == SND_PCM_STATE_RUNNING && frames_queued(device) > rate / 20 &&
         std::chrono::steady_clock::now() < deadline) {
    if (stop_signal() != 0) return;
    waiting(frames_heard(device));
    std::this_thread::sleep_for(step);
  }
  if (stop_signal() != 0) return;
  const int err = snd_pcm_drain(device.pcm);
  if (stop_signal() != 0) return;
  if (err < 0 && err != -EPIPE) {
    fail_closed(device, verb(device) + " audio device " + printable_name(device.name) + ": " + snd_strerror(err));
  }
}

void close_audio_device(audio_device& device) {
  if (device.pcm == nullptr) return;
  abort_target.store(nullptr);  // the handler never sees a closed device
  if (device.direction == audio_direction::playback) snd_pcm_drop(device.pcm);
  snd_pcm_close(device.pcm);
  device.pcm = nullptr;
  snd_config_update_free_global();
}

}  // namespace kelvora
