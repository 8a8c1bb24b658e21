// Input bytes: a regular file is read through its C stream in blocks, as
// far as the run may take; any other input, and a file whose size says it is
// empty when it is not, was read ahead in blocks, or handed over in memory.
#include "driver/input_source.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/failure.h"
#include "driver/conversion.h"

namespace kelvora {

namespace {

// A stream that failed says why; one that merely ended early (a file that
// shrank while it was read) says so.
[[noreturn]] void read_failed(const input_source& in) {
  const int error = errno;
  if (!std::ferror(in.file)) fail("cannot read " + printable_name(in.name) + ": it ended before its size said");
  fail_because("cannot read", in.name, error);
}

// Reads up to `most` bytes of a stream that cannot be read twice.
void read_ahead(input_source& in, uint64_t most) {
  in.in_memory = true;
  unsigned char block[65536];
  while (in.held.size() < most) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof block, most - in.held.size()));
    const size_t got = std::fread(block, 1, want, in.file);
    in.held.insert(in.held.end(), block, block + got);
    if (got < want) {
      if (std::ferror(in.file)) read_failed(in);
      break;
    }
  }
  in.available = in.held.size();
}

// Reads the next block of the file, no further than the run may take.
void read_block(input_source& in) {
  constexpr size_t block_size = 65536;
  if (in.block.size() != block_size) in.block.resize(block_size);
  const size_t want = static_cast<size_t>(std::min<uint64_t>(block_size, in.available - in.taken));
  in.next = 0;
  in.end = std::fread(in.block.data(), 1, want, in.file);
  // The file shrank, or failed, while it was being read (a short block is
  // taken first, and the next read tells why it ended).
  if (in.end == 0) read_failed(in);
}

}  // namespace

void open_input(input_source& in, const char* name) {
  if (std::strcmp(name, "-") == 0 && standard_input_was_closed()) fail_because("cannot read", name, EBADF);
  in.name = name;
  in.file = std::strcmp(name, "-") == 0 ? stdin : std::fopen(name, "rb");
  if (in.file == nullptr) fail_because("cannot open", name, errno);
}

void hold_input(input_source& in, const unsigned char* data, size_t size, const char* name) {
  in.name = name;
  in.in_memory = true;
  in.held.assign(data, data + size);
}

void settle_input(input_source& in, uint64_t wanted, uint64_t most) {
  if (wanted == 0) return;
  if (in.file == nullptr && in.in_memory) {
    in.available = std::min<uint64_t>(wanted, in.held.size());
    return;
  }
  struct stat info {};
  const int fd = fileno(in.file);
  const bool regular = fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  const off_t position = regular ? lseek(fd, 0, SEEK_CUR) : -1;
  if (position < 0) {
    read_ahead(in, std::min(wanted, most));
    return;
  }
  const uint64_t size = info.st_size > position ? static_cast<uint64_t>(info.st_size - position) : 0;
  // A first byte that cannot be read is reported before the output is touched.
  const int first = std::getc(in.file);
  if (size == 0) {
    // A file that says it is empty may still hold bytes (the kernel's files
    // under /proc): those are read ahead, as from a pipe.
    if (first == EOF) {
      if (std::ferror(in.file)) read_failed(in);
      return;
    }
    std::ungetc(first, in.file);
    read_ahead(in, std::min(wanted, most));
    return;
  }
  if (first == EOF) read_failed(in);
  std::ungetc(first, in.file);
  in.available = std::min(wanted, size);
}

size_t read_input_bytes(input_source& in, unsigned char* to, size_t count) {
  size_t done = 0;
  while (done < count && in.taken < in.available) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(count - done, in.available - in.taken));
    if (in.in_memory) {
      std::memcpy(to + done, in.held.data() + in.taken, n);
    } else {
      if (in.next == in.end) read_block(in);
      n = std::min(n, in.end - in.next);
      std::memcpy(to + done, in.block.data() + in.next, n);
      in.next += n;
    }
    in.taken += n;
    done += n;
  }
  return done;
}

void close_input(input_source& in) {
  if (in.file != nullptr) std::fclose(in.file);
  in.file = nullptr;
}

}  // namespace kelvora
