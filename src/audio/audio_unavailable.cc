// The sound card in a build without ALSA: --play and --listen are refused
// when they open their device, before anything is read, so nothing else here
// is ever reached.
#include "audio/audio_device.h"
#include "cli/failure.h"

namespace kelvora {

void open_audio_device(audio_device&, const std::string&, audio_direction direction, const audio_format&) {
  fail(direction == audio_direction::playback ? "--play is not available in this build"
                                              : "--listen is not available in this build");
}

void catch_audio_stop_signals(audio_device&) {}

size_t write_audio(audio_device&, const unsigned char*, size_t) { return 0; }

size_t read_audio(audio_device&, unsigned char*, size_t) { return 0; }

uint64_t frames_heard(audio_device&) { return 0; }

void drain_audio(audio_device&, const std::function<void(uint64_t)>&) {}

void close_audio_device(audio_device&) {}

}  // namespace kelvora
