// Recordings from files through libsndfile. Any format libsndfile reads
// (WAV of any width, float, FLAC, AIFF, OGG, ...) comes out as float frames;
// samples of 8 or 16 bits are read as 16-bit integers (libsndfile then copies
// rather than converts). A recording held in memory is read through
// libsndfile's virtual I/O, and so is a pipe carrying FLAC (libsndfile reads
// its first bytes twice, which a pipe cannot give): the pipe's bytes are kept
// in an unlinked temporary file as they arrive, so that it reads exactly as
// from the file, while the rest still streams. Other formats stream from a
// pipe through libsndfile's own handling.
//
// A recording that cannot be read to its end fails, saying where it stopped:
// libsndfile reports an error (lost sync in a damaged FLAC) on the short read
// itself and clears it at the next call, so every read is checked; a file
// whose data ends before its header says is found at the end.
#include <fcntl.h>
#include <poll.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/failure.h"
#include "read/recording.h"

namespace kelvora {

namespace {

// Bytes of a recording held in memory.
struct memory_file {
  const unsigned char* data = nullptr;
  int64_t size = 0;
  int64_t position = 0;
};

sf_count_t memory_length(void* user) { return static_cast<memory_file*>(user)->size; }

sf_count_t memory_seek(sf_count_t offset, int whence, void* user) {
  memory_file& m = *static_cast<memory_file*>(user);
  int64_t base = 0;
  if (whence == SEEK_CUR) base = m.position;
  if (whence == SEEK_END) base = m.size;
  // Offsets come from the file's own header fields: keep the sum in range.
  if (offset > m.size || offset < -m.size) return -1;
  const int64_t target = base + offset;
  if (target < 0) return -1;
  m.position = std::min(target, m.size);
  return m.position;
}

sf_count_t memory_read(void* out, sf_count_t count, void* user) {
  memory_file& m = *static_cast<memory_file*>(user);
  if (count <= 0) return 0;
  const int64_t n = std::min<int64_t>(count, m.size - m.position);
  if (n <= 0) return 0;
  std::memcpy(out, m.data + m.position, static_cast<size_t>(n));
  m.position += n;
  return n;
}

sf_count_t memory_write(const void*, sf_count_t, void*) { return 0; }

sf_count_t memory_tell(void* user) { return static_cast<memory_file*>(user)->position; }

SF_VIRTUAL_IO memory_io = {memory_length, memory_seek, memory_read, memory_write, memory_tell};

// A pipe on standard input, every byte read so far kept in `spool`. The
// callbacks run inside libsndfile and never throw: a failure is kept in
// `error` and reported after the call.
struct pipe_spool {
  int spool = -1;        // the temporary file
  int64_t have = 0;      // bytes read from the pipe (and kept)
  int64_t position = 0;  // where the decoder reads
  bool ended = false;    // the pipe reached its end
  int error = 0;         // errno of a failed read or write
  std::string doing;     // what failed: "reading it" or "keeping it in a temporary file"
};

// The length a pipe claims: larger than any recording, so that no header is cut to it.
constexpr int64_t pipe_length = int64_t{1} << 60;

// Reads from the pipe until `want` bytes are kept, it ends or fails.
void pull_to(pipe_spool& p, int64_t want) {
  char block[1 << 16];
  while (p.have < want && !p.ended && p.error == 0) {
    const size_t size = static_cast<size_t>(std::min<int64_t>(sizeof block, want - p.have));
    const ssize_t got = read(STDIN_FILENO, block, size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      p.error = errno;
      p.doing = "reading it";
      return;
    }
    if (got == 0) {
      p.ended = true;
      return;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = pwrite(p.spool, block + done, static_cast<size_t>(got - done), p.have + done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        p.error = put < 0 ? errno : ENOSPC;
        p.doing = "keeping it in a temporary file";
        return;
      }
      done += put;
    }
    p.have += got;
  }
}

sf_count_t pipe_length_of(void*) { return pipe_length; }

sf_count_t pipe_seek(sf_count_t offset, int whence, void* user) {
  pipe_spool& p = *static_cast<pipe_spool*>(user);
  if (whence == SEEK_END) pull_to(p, pipe_length);  // the end is where the pipe ends
  const int64_t base = whence == SEEK_CUR ? p.position : whence == SEEK_END ? p.have : 0;
  if (offset > pipe_length || offset < -pipe_length || base + offset < 0) return -1;
  p.position = base + offset;
  return p.position;
}

sf_count_t pipe_read(void* out, sf_count_t count, void* user) {
  pipe_spool& p = *static_cast<pipe_spool*>(user);
  if (count <= 0) return 0;
  pull_to(p, std::min(p.position + count, pipe_length));
  const int64_t n = std::min<int64_t>(count, p.have - p.position);
  if (n <= 0) return 0;
  for (int64_t done = 0; done < n;) {
    const ssize_t got = pread(p.spool, static_cast<char*>(out) + done, static_cast<size_t>(n - done),
                              p.position + done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      p.error = got < 0 ? errno : EIO;
      p.doing = "keeping it in a temporary file";
      return done;
    }
    done += got;
  }
  p.position += n;
  return n;
}

sf_count_t pipe_tell(void* user) { return static_cast<pipe_spool*>(user)->position; }

SF_VIRTUAL_IO pipe_io = {pipe_length_of, pipe_seek, pipe_read, memory_write, pipe_tell};

// An open libsndfile handle and what it reads from.
struct sound_file {
  SNDFILE* file = nullptr;
  std::string name;
  memory_file memory;
  std::unique_ptr<pipe_spool> pipe;
  bool stream = false;        // read from a pipe: its header may hold a placeholder length
  int32_t rate = 1;
  int64_t frames_read = 0;
  int64_t header_frames = 0;  // frames the header promises (0: not known)
};

// libsndfile's wording made kelvora's: no "Error : " before it, no full stop after.
std::string library_reason(const char* text) {
  std::string reason = text;
  if (reason.rfind("Error : ", 0) == 0) reason.erase(0, 8);
  while (!reason.empty() && (reason.back() == '.' || reason.back() == '\n')) reason.pop_back();
  return reason;
}

// "after 12.34 s": how far into the recording reading got.
std::string where(const sound_file& f) {
  char text[64];
  std::snprintf(text, sizeof text, "after %.2f s", static_cast<double>(f.frames_read) / f.rate);
  return text;
}

// Fails when a read failed (even one that returned frames); at the end, when
// fewer frames came than the header promised.
int64_t checked(sound_file& f, sf_count_t got) {
  const std::string name = printable_name(f.name);
  if (f.pipe != nullptr && f.pipe->error != 0) {
    fail("cannot read " + name + " " + where(f) + ": " + std::strerror(f.pipe->error) + " (" + f.pipe->doing + ")");
  }
  if (sf_error(f.file) != SF_ERR_NO_ERROR) {
    fail("cannot read " + name + " " + where(f) + ": " + library_reason(sf_strerror(f.file)));
  }
  if (got > 0) {
    f.frames_read += got;
    return got;
  }
  if (f.frames_read < f.header_frames) {
    char promised[64];
    std::snprintf(promised, sizeof promised, "%.2f s", static_cast<double>(f.header_frames) / f.rate);
    fail("cannot read " + name + ": it ends " + where(f) + ", before the " + promised + " its header gives");
  }
  return 0;
}

// Bytes of one sample of a plain (uncompressed) subformat, 0 for any other.
int64_t plain_sample_bytes(int subformat) {
  switch (subformat) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
      return 1;
    case SF_FORMAT_PCM_16:
      return 2;
    case SF_FORMAT_PCM_24:
      return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
      return 4;
    case SF_FORMAT_DOUBLE:
      return 8;
    default:
      return 0;
  }
}

// A data size a recorder writes when it cannot know the length (a stream).
bool placeholder_size(int64_t bytes) { return bytes == 0 || bytes >= 0x7FFF0000; }

// The frames the header promises. libsndfile cuts a file's frame count to
// what the file holds and notes the header's own figure in its log
// ("data : 4952430 (should be 2476193)"); a stream's header is taken as it is.
int64_t promised_frames(const sound_file& f, const SF_INFO& info) {
  if (info.frames <= 0 || info.frames >= pipe_length / 2) return 0;
  const int64_t sample_bytes = plain_sample_bytes(info.format & SF_FORMAT_SUBMASK);
  if (f.stream) {
    const bool placeholder = sample_bytes > 0 && placeholder_size(info.frames * info.channels * sample_bytes);
    return placeholder ? 0 : info.frames;
  }
  char log[8192] = {};
  sf_command(f.file, SFC_GET_LOG_INFO, log, sizeof log - 1);
  for (const char* line = log; *line != '\0';) {
    long long said = 0, holds = 0;
    if ((std::sscanf(line, "data : %lld (should be %lld)", &said, &holds) == 2 ||
         std::sscanf(line, "SSND : %lld (should be %lld)", &said, &holds) == 2) &&
        said > holds && holds > 0 && !placeholder_size(said)) {
      return static_cast<int64_t>(static_cast<double>(info.frames) * static_cast<double>(said) /
                                  static_cast<double>(holds));
    }
    const char* next = std::strchr(line, '\n');
    if (next == nullptr) break;
    line = next + 1;
  }
  return info.frames;
}

void take_file(recording& r, const std::shared_ptr<sound_file>& f, const SF_INFO& info) {
  if (f->file == nullptr) {
    if (f->pipe != nullptr && f->pipe->error != 0) {
      fail("cannot read " + printable_name(f->name) + ": " + std::strerror(f->pipe->error) + " (" +
           f->pipe->doing + ")");
    }
    fail("cannot read " + printable_name(f->name) + ": " + library_reason(sf_strerror(nullptr)));
  }
  f->rate = std::max(1, info.samplerate);
  f->header_frames = promised_frames(*f, info);
  const int subformat = info.format & SF_FORMAT_SUBMASK;
  const bool as_short =
      subformat == SF_FORMAT_PCM_S8 || subformat == SF_FORMAT_PCM_U8 || subformat == SF_FORMAT_PCM_16;
  frame_source source;
  source.read_floats = [f](float* out, int64_t most) { return checked(*f, sf_readf_float(f->file, out, most)); };
  source.read_shorts = [f](short* out, int64_t most) { return checked(*f, sf_readf_short(f->file, out, most)); };
  source.close = [f] {
    if (f->file != nullptr) sf_close(f->file);
    f->file = nullptr;
    if (f->pipe != nullptr && f->pipe->spool >= 0) close(f->pipe->spool);
    if (f->pipe != nullptr) f->pipe->spool = -1;
  };
  open_recording_from_source(r, f->name, info.samplerate, info.channels, as_short, std::move(source));
  r.eight_bit = subformat == SF_FORMAT_PCM_S8 || subformat == SF_FORMAT_PCM_U8;
}

// The first `want` bytes waiting in a pipe on standard input, left in it
// (tee copies without consuming); fewer when it ends first, none when
// standard input is not a pipe.
std::string peek_pipe(size_t want) {
  int copy[2];
  if (pipe(copy) != 0) return "";
  std::string seen;
  for (;;) {
    const ssize_t n = tee(STDIN_FILENO, copy[1], want, 0);
    if (n <= 0) break;  // not a pipe, or its writer closed it empty
    seen.assign(static_cast<size_t>(n), '\0');
    if (read(copy[0], seen.data(), static_cast<size_t>(n)) != n) seen.clear();
    if (seen.size() >= want) break;
    // Only part of the beginning has arrived: look again in a moment, unless
    // the writer has gone (the pipe then holds all there will be).
    pollfd writer{STDIN_FILENO, POLLIN, 0};
    if (poll(&writer, 1, 10) > 0 && (writer.revents & POLLHUP) != 0) break;
    usleep(10000);
  }
  close(copy[0]);
  close(copy[1]);
  return seen;
}

// True when a pipe carries a format that libsndfile cannot read from a pipe
// (FLAC, whose first bytes it reads twice).
bool pipe_needs_spool() {
  const std::string start = peek_pipe(4);
  return start == "fLaC" || start.rfind("ID3", 0) == 0;
}

// Opens standard input: through libsndfile's own handling of a file or a
// pipe, or through a spool for a pipe in a format that needs one.
SNDFILE* open_standard_input(sound_file& f, SF_INFO& info) {
  if (lseek(STDIN_FILENO, 0, SEEK_CUR) >= 0) return sf_open_fd(STDIN_FILENO, SFM_READ, &info, 0);
  f.stream = true;
  if (!pipe_needs_spool()) return sf_open_fd(STDIN_FILENO, SFM_READ, &info, 0);
  f.pipe = std::make_unique<pipe_spool>();
  std::FILE* spool = std::tmpfile();
  if (spool == nullptr) fail_because("cannot read", "- (a temporary file for the pipe)", errno);
  f.pipe->spool = dup(fileno(spool));
  std::fclose(spool);  // the file is unlinked already; the duplicate keeps it open
  if (f.pipe->spool < 0) fail_because("cannot read", "- (a temporary file for the pipe)", errno);
  SNDFILE* file = sf_open_virtual(&pipe_io, SFM_READ, &info, f.pipe.get());
  if (file == nullptr) close(f.pipe->spool);
  return file;
}

}  // namespace

void open_recording(recording& r, const char* name) {
  auto f = std::make_shared<sound_file>();
  f->name = name;
  SF_INFO info{};
  f->file = std::strcmp(name, "-") == 0 ? open_standard_input(*f, info) : sf_open(name, SFM_READ, &info);
  take_file(r, f, info);
}

void open_recording_in_memory(recording& r, const unsigned char* data, size_t size) {
  auto f = std::make_shared<sound_file>();
  f->name = "memory";
  f->memory = memory_file{data, static_cast<int64_t>(size), 0};
  SF_INFO info{};
  f->file = sf_open_virtual(&memory_io, SFM_READ, &info, &f->memory);
  take_file(r, f, info);
}

}  // namespace kelvora
