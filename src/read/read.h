// Reading a recording back into the tape image it was made from.
#pragma once

#include <cstddef>
#include <string>

#include "read/events.h"
#include "read/image_sink.h"
#include "read/recording.h"

namespace kelvora {

// Decodes the named recording ("-": standard input) into the named image
// ("-": standard output); returns the exit status.
int run_read(const char* recording_name, const char* image_name);

// Decodes a recording held in memory with the current settings, keeping no
// image (the fuzz target's way in); returns the exit status.
int read_recording_in_memory(const unsigned char* data, size_t size);

// Decodes an open recording from any source into the image, closing both,
// telling `also` (when given) what the reading finds; the summary goes to
// `summary` when given, else to standard error; returns the exit status.
int read_and_close(recording& rec, image_sink& image, read_observer* also = nullptr,
                   std::string* summary = nullptr);

}  // namespace kelvora
