// The image: raw bytes in the order read, through stdio's buffer. A terminal
// gets none: the bytes are binary.
#include "read/image_sink.h"

#include <unistd.h>

#include "cli/failure.h"

namespace kelvora {

void refuse_terminal(std::FILE* file) {
  if (!isatty(fileno(file))) return;
  if (file != stdout) std::fclose(file);
  fail("will not write a tape image to a terminal");
}

void put_image_byte(image_sink& image, unsigned char value) {
  ++image.written;
  if (image.discard) return;
  if (image.file == nullptr) {
    std::FILE* file = image.name == "-" ? stdout : std::fopen(image.name.c_str(), "wb");
    if (file == nullptr) fail("cannot open " + printable_name(image.name));
    refuse_terminal(file);
    image.file = file;
  }
  if (std::fputc(value, image.file) == EOF) fail("cannot write " + printable_name(image.name));
}

void close_image(image_sink& image) {
  if (image.file == nullptr) return;
  std::FILE* file = image.file;
  image.file = nullptr;
  const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
  const bool closed = file == stdout ? true : std::fclose(file) == 0;
  if (!flushed || !closed) fail("cannot write " + printable_name(image.name));
}

}  // namespace kelvora
