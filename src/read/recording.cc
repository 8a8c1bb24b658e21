// The recording through libsndfile. Any format libsndfile reads (WAV of any
// width, float, FLAC, AIFF, OGG, ...) comes out as float samples; a frame's
// channels are averaged into one mono sample. Samples of 8 or 16 bits are
// read as 16-bit integers (libsndfile then copies rather than converts) and
// scaled by 1/32768 here, which gives the very floats libsndfile would.
// Frames are read in blocks of at most block_samples samples, so memory does
// not grow with the recording.
#include "read/recording.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "cli/failure.h"

namespace kelvora {

namespace {

// Interleaved samples read from the file at once.
constexpr int64_t block_samples = 1 << 16;
// Full scale of a 16-bit sample.
constexpr float short_scale = 1.0f / 32768.0f;

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

void take_file(recording& r, SNDFILE* file, const SF_INFO& info) {
  if (file == nullptr) fail("cannot read " + printable_name(r.name) + ": " + sf_strerror(nullptr));
  r.file = file;
  if (info.channels < 1 || info.samplerate < 1) {
    close_recording(r);
    fail("cannot read " + printable_name(r.name) + ": no audio channels or no sampling rate");
  }
  r.channels = info.channels;
  r.sampling_rate = info.samplerate;
  const int subformat = info.format & SF_FORMAT_SUBMASK;
  r.as_short = subformat == SF_FORMAT_PCM_S8 || subformat == SF_FORMAT_PCM_U8 || subformat == SF_FORMAT_PCM_16;
  const int64_t frames = std::max<int64_t>(1, block_samples / r.channels);
  if (r.as_short) {
    r.shorts.assign(static_cast<size_t>(frames * r.channels), 0);
  } else {
    r.buffer.assign(static_cast<size_t>(frames * r.channels), 0.0f);
  }
}

}  // namespace

void open_recording(recording& r, const char* name) {
  r.name = name;
  SF_INFO info{};
  SNDFILE* file = std::strcmp(name, "-") == 0 ? sf_open_fd(STDIN_FILENO, SFM_READ, &info, 0)
                                             : sf_open(name, SFM_READ, &info);
  take_file(r, file, info);
}

void open_recording_in_memory(recording& r, const unsigned char* data, size_t size) {
  r.name = "memory";
  r.memory = memory_file{data, static_cast<int64_t>(size), 0};
  SF_INFO info{};
  take_file(r, sf_open_virtual(&memory_io, SFM_READ, &info, &r.memory), info);
}

int64_t block_frames(const recording& r) {
  const size_t samples = r.as_short ? r.shorts.size() : r.buffer.size();
  return std::max<int64_t>(1, static_cast<int64_t>(samples) / r.channels);
}

int64_t read_mono(recording& r, float* out, int64_t most) {
  const int64_t channels = r.channels;
  const int64_t frames = std::min(most, block_frames(r));
  const sf_count_t got = r.as_short ? sf_readf_short(r.file, r.shorts.data(), frames)
                                    : sf_readf_float(r.file, r.buffer.data(), frames);
  if (got <= 0) {
    if (sf_error(r.file) != SF_ERR_NO_ERROR) {
      fail("cannot read " + printable_name(r.name) + ": " + sf_strerror(r.file));
    }
    return 0;
  }
  const float share = 1.0f / static_cast<float>(channels);
  if (r.as_short) {
    const short* in = r.shorts.data();
    if (channels == 1) {
      for (sf_count_t i = 0; i < got; ++i) out[i] = static_cast<float>(in[i]) * short_scale;
      return got;
    }
    for (sf_count_t i = 0; i < got; ++i) {
      float sum = 0.0f;
      for (int64_t c = 0; c < channels; ++c) sum += static_cast<float>(in[i * channels + c]) * short_scale;
      out[i] = sum * share;
    }
    return got;
  }
  const float* in = r.buffer.data();
  if (channels == 1) {
    std::copy(in, in + got, out);
    return got;
  }
  for (sf_count_t i = 0; i < got; ++i) {
    float sum = 0.0f;
    for (int64_t c = 0; c < channels; ++c) sum += in[i * channels + c];
    out[i] = sum * share;
  }
  return got;
}

int64_t read_shorts(recording& r, short* out, int64_t most) {
  const sf_count_t got = sf_readf_short(r.file, out, most);
  if (got <= 0) {
    if (sf_error(r.file) != SF_ERR_NO_ERROR) {
      fail("cannot read " + printable_name(r.name) + ": " + sf_strerror(r.file));
    }
    return 0;
  }
  return got;
}

void close_recording(recording& r) {
  if (r.file != nullptr) sf_close(r.file);
  r.file = nullptr;
}

}  // namespace kelvora
