// A sound card device for playing or recording: opened for exactly one
// sample format (8-bit unsigned or 16-bit signed little-endian, interleaved
// frames), rate and channel count, and moved a period at a time. Once asked
// to, the first SIGINT, SIGTERM or SIGHUP cuts short the transfer under way
// and is remembered (signals/stop_signals.h); what the run does then is its
// own affair. A second signal of the same kind kills.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct _snd_pcm;  // ALSA's device handle, known only to audio_device.cc

namespace kelvora {

enum class audio_direction { playback, capture };

// What goes through the device: samples of `bits` (8 or 16), frames a second, samples a frame.
struct audio_format {
  int32_t bits = 16;
  int32_t rate = 48000;
  int32_t channels = 1;
};

struct audio_device {
  _snd_pcm* pcm = nullptr;
  std::string name;           // as given on the command line, for messages
  audio_direction direction = audio_direction::playback;
  audio_format format;
  size_t chunk_frames = 0;    // frames moved in one transfer at most
  uint64_t frames_moved = 0;  // written to or read from the device so far
  uint64_t gaps = 0;          // underruns (playing) or overruns (recording) recovered from
};

// Opens the named device; fails with one line naming it (and what to try instead).
void open_audio_device(audio_device& device, const std::string& name, audio_direction direction,
                       const audio_format& format);

// From here on SIGINT, SIGTERM and SIGHUP stop the transfers on the device
// (signals/stop_signals.h says which one came).
void catch_audio_stop_signals(audio_device& device);

// Plays whole frames, returning once the device holds them, or early once a
// signal stops it; returns the frames written. Fails when it cannot play.
size_t write_audio(audio_device& device, const unsigned char* data, size_t frames);

// Records up to `most` frames (at least one chunk's worth unless stopped);
// returns how many, 0 once a signal stopped it. Fails when it cannot record.
size_t read_audio(audio_device& device, unsigned char* data, size_t most);

// Frames written that have been heard (playing).
uint64_t frames_heard(audio_device& device);

// Waits until every frame written has been heard, calling `waiting` with the
// frames heard a few times a second; returns early once a signal stops it.
// Fails when the device reports an error.
void drain_audio(audio_device& device, const std::function<void(uint64_t)>& waiting);

// Silences the device at once (what it holds is dropped) and closes it, if open.
void close_audio_device(audio_device& device);

}  // namespace kelvora
