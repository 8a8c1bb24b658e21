// The worker's way into the core: plain numbers and pointers that JavaScript
// passes easily (sizes as doubles, exact below 2^53), the WAV and the image
// handed over a buffer at a time to the worker's script. A recording to read
// lies whole in memory, its frames interleaved as the browser decoded them.
#include <emscripten.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "api/kelvora_api.h"

EM_JS(void, take_wav_bytes, (const unsigned char* bytes, size_t count), {
  Module.takeWavBytes(bytes, count);
});

EM_JS(void, take_image_bytes, (const unsigned char* bytes, size_t count), {
  Module.takeImageBytes(bytes, count);
});

namespace {

void to_script(void*, const unsigned char* bytes, size_t count) { take_wav_bytes(bytes, count); }

void image_to_script(void*, const unsigned char* bytes, size_t count) { take_image_bytes(bytes, count); }

// The decoded recording in memory and how far the reader has taken it.
struct held_frames {
  const unsigned char* data;
  size_t frame_bytes;
  size_t frames;
  size_t taken;
};

int64_t hand_out(void* context, void* out, int64_t most) {
  auto& held = *static_cast<held_frames*>(context);
  const size_t n = std::min(held.frames - held.taken, static_cast<size_t>(most));
  std::memcpy(out, held.data + held.taken * held.frame_bytes, n * held.frame_bytes);
  held.taken += n;
  return static_cast<int64_t>(n);
}

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

// Reads frame_count interleaved frames (16-bit when as_short, else float) of a
// recording stored with sample_bits bits a sample back into the image through
// Module.takeImageBytes; returns the exit status.
EMSCRIPTEN_KEEPALIVE int web_read(int word_count, const char* const* words, const char* name, int rate,
                                  int channels, int sample_bits, int as_short, const unsigned char* frames,
                                  double frame_count) {
  held_frames held{frames, static_cast<size_t>(channels) * (as_short ? 2 : 4), static_cast<size_t>(frame_count), 0};
  const kelvora_recording tape{name, rate, channels, sample_bits, as_short, hand_out, &held};
  return kelvora_read(word_count, words, &tape, image_to_script, nullptr);
}

// The last read's summary, as the command line prints it.
EMSCRIPTEN_KEEPALIVE const char* web_summary() { return kelvora_summary(); }

// The last call's message, as the command line prints it.
EMSCRIPTEN_KEEPALIVE const char* web_message() { return kelvora_message(); }

// The playback progress text of the last planned WAV at a sample frame.
EMSCRIPTEN_KEEPALIVE const char* web_progress(double frame) {
  return kelvora_progress(static_cast<uint64_t>(frame));
}
}
