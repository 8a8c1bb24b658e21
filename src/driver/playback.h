// The playback run (--play): the recording goes to an audio device instead of
// a file, with the same samples a WAV file would hold.
#pragma once

namespace kelvora {

// Plays the recording of the named input ("-": standard input) on request.device; returns the status.
int run_playback(const char* input_name);

}  // namespace kelvora
