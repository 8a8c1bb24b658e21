// The recording kept beside the image (--keep): exactly the 16-bit frames
// heard, as WAV, or FLAC or Ogg Vorbis when the file's name ends so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct sf_private_tag;  // libsndfile's file handle, known only to keep_file.cc

namespace kelvora {

struct keep_file {
  sf_private_tag* file = nullptr;
  std::string name;  // as given on the command line, for messages
};

// Creates the named file for 16-bit frames; fails with "cannot write NAME: reason".
void open_keep_file(keep_file& keep, const std::string& name, int32_t rate, int32_t channels);

// Appends interleaved frames; fails with "cannot write NAME: reason".
void keep_frames(keep_file& keep, const short* frames, size_t count);

// Finishes and closes the file, if open; fails with "cannot write NAME: reason".
void close_keep_file(keep_file& keep);

}  // namespace kelvora
