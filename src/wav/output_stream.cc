// Buffered output over a C stream whose own buffering is switched off, so
// every failed write is seen here and reported with the output's name. A
// stream with a sink hands its buffer to the sink instead.
// A pipe is asked for room for a whole buffer, so that a write does not wait
// on the reader sixteen times. With a background writer every wait for it
// comes before the file is touched here, so the two never meet on the file.
#include "wav/output_stream.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "cli/failure.h"
#include "wav/background_writer.h"

namespace kelvora {

namespace {

constexpr size_t buffer_size = size_t{1} << 19;

// Called right after the failed call, while errno still tells why (or with
// the error number the background writer kept).
[[noreturn]] void write_failed(const output_stream& out, int error = errno) {
  fail_because("cannot write", out.name, error);
}

void write_buffer(output_stream& out) {
  if (out.used == 0) return;
  const size_t n = out.used;
  out.used = 0;
  if (out.sink) {
    out.sink(out.buffer.data(), n);
    return;
  }
  if (out.writer) {
    if (const int error = hand_over(*out.writer, out.buffer, n); error != 0) write_failed(out, error);
    return;
  }
  if (std::fwrite(out.buffer.data(), 1, n, out.file) != n) write_failed(out);
}

// Waits for the background writer, if any, and fails with its error.
void settle_writes(const output_stream& out) {
  if (!out.writer) return;
  if (const int error = wait_for_writes(*out.writer); error != 0) write_failed(out, error);
}

}  // namespace

void attach_output(output_stream& out, std::FILE* file, const std::string& name) {
  out.file = file;
  out.name = name;
  out.buffer.resize(buffer_size);
  out.used = 0;
  if (file == nullptr) return;
  std::setvbuf(file, nullptr, _IONBF, 0);
  struct stat info {};
  if (fstat(fileno(file), &info) == 0 && S_ISFIFO(info.st_mode)) {
    fcntl(fileno(file), F_SETPIPE_SZ, static_cast<int>(buffer_size));  // a smaller pipe still works
  }
}

void write_in_background(output_stream& out) {
  if (out.file != nullptr && !out.sink) out.writer = start_background_writer(out.file, buffer_size);
}

void attach_sink_output(output_stream& out, const std::string& name,
                        std::function<void(const unsigned char* data, size_t n)> sink) {
  attach_output(out, nullptr, name);
  out.sink = std::move(sink);
}

unsigned char* reserve_space(output_stream& out, size_t n) {
  if (out.buffer.size() - out.used < n) {
    write_buffer(out);
    if (out.buffer.size() < n) out.buffer.resize(n);
  }
  return out.buffer.data() + out.used;
}

void commit_space(output_stream& out, size_t n) { out.used += n; }

void put_bytes(output_stream& out, const unsigned char* data, size_t n) {
  if (n == 0) return;
  std::memcpy(reserve_space(out, n), data, n);
  out.used += n;
}

void put_byte(output_stream& out, unsigned char value) { put_bytes(out, &value, 1); }

void flush_output(output_stream& out) {
  write_buffer(out);
  settle_writes(out);
  if (out.file != nullptr && std::fflush(out.file) != 0) write_failed(out);
}

void rewind_output(output_stream& out) {
  flush_output(out);
  if (std::fseek(out.file, 0, SEEK_SET) != 0) write_failed(out);
}

void close_output(output_stream& out) {
  write_buffer(out);
  settle_writes(out);
  out.writer.reset();
  std::FILE* file = out.file;
  out.file = nullptr;
  if (file != nullptr && std::fclose(file) != 0) write_failed(out);
}

void abandon_output(output_stream& out) {
  // After a failed write the rest would leave a gap: what was written stays a prefix.
  const bool intact = !out.writer || wait_for_writes(*out.writer) == 0;
  out.writer.reset();
  if (intact && out.file != nullptr) std::fwrite(out.buffer.data(), 1, out.used, out.file);
  out.used = 0;
}

}  // namespace kelvora
