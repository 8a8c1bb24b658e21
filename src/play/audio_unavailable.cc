// The audio device in a build without ALSA: --play is refused before anything
// is read, so nothing else here is ever reached.
#include "cli/failure.h"
#include "play/audio_device.h"

namespace kelvora {

void open_audio_device(const char*) { fail("--play is not available in this build"); }

void catch_interrupt() {}

void play_samples(const unsigned char*, size_t) { fail("--play is not available in this build"); }

uint64_t finish_audio_device() { return 0; }

uint64_t stop_audio_device() { return 0; }

}  // namespace kelvora
