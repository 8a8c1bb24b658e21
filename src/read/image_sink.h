// Where the bytes read go: the image file, opened at the first byte so that a
// recording without data leaves an existing file untouched, written a buffer
// at a time. A regular file (or a name not yet taken) is written under a
// temporary name beside it and renamed into place once complete, so a write
// that fails (a full disk) leaves an existing image as it was.
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
  std::string temporary;      // the file written, renamed to `target` at the end; empty: written in place
  std::string target;         // the file the name stands for (a symbolic link followed)
  uint64_t written = 0;
  std::string pending;        // bytes not yet handed to the file
};

// Appends one byte to the image; fails with "cannot open NAME: reason",
// "cannot write NAME: reason" or, before a byte is written, the refusal of a
// terminal; a failed write removes the temporary file.
void put_image_byte(image_sink& image, unsigned char value);

// Writes each byte the framing reads into the image.
struct image_observer final : read_observer {
  image_sink& image;
  explicit image_observer(image_sink& into) : image(into) {}
  void on_byte(const byte_event& e) override { put_image_byte(image, e.value); }
};

// Flushes and closes the image and puts it in place; fails with "cannot write NAME: reason".
void close_image(image_sink& image);

}  // namespace kelvora
