// The image: raw bytes in the order read, through stdio's buffer.
#include "read/image_sink.h"

#include "cli/failure.h"

namespace kelvora {

void put_image_byte(image_sink& image, unsigned char value) {
  ++image.written;
  if (image.discard) return;
  if (image.file == nullptr) {
    image.file = image.name == "-" ? stdout : std::fopen(image.name.c_str(), "wb");
    if (image.file == nullptr) fail("cannot open " + printable_name(image.name));
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
