// The audio device that --play sends the recording to: one device, opened
// for exactly the recording's sample format (8-bit unsigned or 16-bit signed
// little-endian), rate and channel count, written a period at a time. While
// it plays, Ctrl-C (SIGINT) stops the sound at once and the run ends with
// status 130.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvora {

// Opens the named device for the current settings; fails with one line naming it.
void open_audio_device(const char* name);

// From here on the first Ctrl-C stops the playback; a second one kills.
void catch_interrupt();

// Plays whole frames, returning once the device holds them; fails when it cannot.
void play_samples(const unsigned char* data, size_t n);

// Waits until every sample written has been heard and closes the device;
// returns the frames heard. Fails when the sound had gaps.
uint64_t finish_audio_device();

// Silences the device at once and closes it, if it is open; returns the frames heard.
uint64_t stop_audio_device();

}  // namespace kelvora
