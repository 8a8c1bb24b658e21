// Where the bytes read go: the image file, opened at the first byte so that a
// recording without data leaves an existing file untouched, written a
// buffer at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "read/events.h"

namespace kelvora {

struct image_sink {
  std::string name;           // "-": standard output
  bool discard = false;       // count the bytes only (the fuzz target)
  std::FILE* file = nullptr;  // open once the first byte arrived
  uint64_t written = 0;
  std::string pending;        // bytes not yet handed to the file
};

// Appends one byte to the image; fails with "cannot open NAME", "cannot write
// NAME" or, before a byte is written, the refusal of a terminal.
void put_image_byte(image_sink& image, unsigned char value);

// Writes each byte the framing reads into the image.
struct image_observer final : read_observer {
  image_sink& image;
  explicit image_observer(image_sink& into) : image(into) {}
  void on_byte(const byte_event& e) override { put_image_byte(image, e.value); }
};

// Flushes and closes the image; fails with "cannot write NAME".
void close_image(image_sink& image);

}  // namespace kelvora
