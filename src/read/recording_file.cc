// Recordings from files through libsndfile. Any format libsndfile reads
// (WAV of any width, float, FLAC, AIFF, OGG, ...) comes out as float frames;
// samples of 8 or 16 bits are read as 16-bit integers (libsndfile then copies
// rather than converts). A recording held in memory is read through
// libsndfile's virtual I/O.
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

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

// An open libsndfile handle and what it reads from.
struct sound_file {
  SNDFILE* file = nullptr;
  std::string name;
  memory_file memory;
};

// Fails with libsndfile's reason when a read came back empty because of an error.
int64_t checked(const sound_file& f, sf_count_t got) {
  if (got <= 0) {
    if (sf_error(f.file) != SF_ERR_NO_ERROR) {
      fail("cannot read " + printable_name(f.name) + ": " + sf_strerror(f.file));
    }
    return 0;
  }
  return got;
}

void take_file(recording& r, const std::shared_ptr<sound_file>& f, const SF_INFO& info) {
  if (f->file == nullptr) fail("cannot read " + printable_name(f->name) + ": " + sf_strerror(nullptr));
  const int subformat = info.format & SF_FORMAT_SUBMASK;
  const bool as_short =
      subformat == SF_FORMAT_PCM_S8 || subformat == SF_FORMAT_PCM_U8 || subformat == SF_FORMAT_PCM_16;
  frame_source source;
  source.read_floats = [f](float* out, int64_t most) { return checked(*f, sf_readf_float(f->file, out, most)); };
  source.read_shorts = [f](short* out, int64_t most) { return checked(*f, sf_readf_short(f->file, out, most)); };
  source.close = [f] {
    if (f->file != nullptr) sf_close(f->file);
    f->file = nullptr;
  };
  open_recording_from_source(r, f->name, info.samplerate, info.channels, as_short, std::move(source));
}

}  // namespace

void open_recording(recording& r, const char* name) {
  auto f = std::make_shared<sound_file>();
  f->name = name;
  SF_INFO info{};
  f->file = std::strcmp(name, "-") == 0 ? sf_open_fd(STDIN_FILENO, SFM_READ, &info, 0)
                                        : sf_open(name, SFM_READ, &info);
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
