// The kept recording through libsndfile. The file is opened here, so that a
// name that cannot be created says the system's reason; libsndfile then
// writes the header and the frames (FLAC and Vorbis encode as they go) and
// completes the header when the file is closed.
#include "listen/keep_file.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "cli/failure.h"
#include "loader/library_loader.h"

namespace kelvora {

namespace {

bool ends_with_extension(const std::string& name, const std::string& extension) {
  if (name.size() < extension.size()) return false;
  return std::equal(extension.rbegin(), extension.rend(), name.rbegin(),
                    [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

int format_for(const std::string& name) {
  if (ends_with_extension(name, ".flac")) return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  if (ends_with_extension(name, ".ogg") || ends_with_extension(name, ".oga")) {
    return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
  }
  return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
}

[[noreturn]] void write_failed(const keep_file& keep, const std::string& reason) {
  fail("cannot write " + printable_name(keep.name) + ": " + reason);
}

}  // namespace

void open_keep_file(keep_file& keep, const std::string& name, int32_t rate, int32_t channels) {
  keep.name = name;
  load_sound_file_library();  // a library that cannot be loaded leaves the file as it was
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) write_failed(keep, std::strerror(errno));
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format_for(name);
  SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
  if (file == nullptr) {
    const std::string reason = sf_strerror(nullptr);
    close(fd);
    write_failed(keep, reason);
  }
  keep.file = file;
}

void keep_frames(keep_file& keep, const short* frames, size_t count) {
  if (keep.file == nullptr || count == 0) return;
  if (sf_writef_short(keep.file, frames, static_cast<sf_count_t>(count)) != static_cast<sf_count_t>(count)) {
    write_failed(keep, sf_strerror(keep.file));
  }
}

void close_keep_file(keep_file& keep) {
  if (keep.file == nullptr) return;
  SNDFILE* file = keep.file;
  keep.file = nullptr;
  if (sf_close(file) != 0) write_failed(keep, sf_strerror(nullptr));
}

}  // namespace kelvora
