// The image: raw bytes in the order read, through stdio's buffer. A terminal
// gets none: the bytes are binary.
#include "read/image_sink.h"

#include "cli/failure.h"

namespace kelvora {

// Bytes gathered before they go to the file at once.
constexpr size_t pending_bytes = 1 << 16;

void write_pending(image_sink& image) {
  const size_t n = image.pending.size();
  if (n > 0 && std::fwrite(image.pending.data(), 1, n, image.file) != n) {
    fail("cannot write " + printable_name(image.name));
  }
  image.pending.clear();
}

void put_image_byte(image_sink& image, unsigned char value) {
  ++image.written;
  if (image.discard) return;
  if (image.file == nullptr) {
    std::FILE* file = image.name == "-" ? stdout : std::fopen(image.name.c_str(), "wb");
    if (file == nullptr) fail("cannot open " + printable_name(image.name));
    refuse_terminal(file, "a tape image");
    image.file = file;
  }
  image.pending.push_back(static_cast<char>(value));
  if (image.pending.size() >= pending_bytes) write_pending(image);
}

void close_image(image_sink& image) {
  if (image.file == nullptr) return;
  write_pending(image);
  std::FILE* file = image.file;
  image.file = nullptr;
  const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
  const bool closed = file == stdout ? true : std::fclose(file) == 0;
  if (!flushed || !closed) fail("cannot write " + printable_name(image.name));
}

}  // namespace kelvora
