// The worker's way into the core: plain numbers and pointers that JavaScript
// passes easily (sizes as doubles, exact below 2^53), the WAV handed over a
// buffer at a time to the worker's script.
#include <emscripten.h>

#include <cstdint>

#include "api/kelvora_api.h"

EM_JS(void, take_wav_bytes, (const unsigned char* bytes, size_t count), {
  Module.takeWavBytes(bytes, count);
});

namespace {

void to_script(void*, const unsigned char* bytes, size_t count) { take_wav_bytes(bytes, count); }

}  // namespace

extern "C" {

// Bytes of the WAV for an image of image_size bytes, or -1 (see web_message).
EMSCRIPTEN_KEEPALIVE double web_plan(int word_count, const char* const* words, double image_size) {
  uint64_t size = 0;
  const int status = kelvora_plan_wav(word_count, words, static_cast<uint64_t>(image_size), &size);
  return status == 0 ? static_cast<double>(size) : -1.0;
}

// Writes the WAV of the image through Module.takeWavBytes; returns the exit status.
EMSCRIPTEN_KEEPALIVE int web_write(int word_count, const char* const* words, const unsigned char* image,
                                   size_t image_size) {
  return kelvora_write_wav(word_count, words, image, image_size, to_script, nullptr);
}

// The last call's message, as the command line prints it.
EMSCRIPTEN_KEEPALIVE const char* web_message() { return kelvora_message(); }

// The playback progress text of the last planned WAV at a sample frame.
EMSCRIPTEN_KEEPALIVE const char* web_progress(double frame) {
  return kelvora_progress(static_cast<uint64_t>(frame));
}
}
