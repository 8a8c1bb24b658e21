// Reading a recording back into the tape image it was made from.
#pragma once

namespace kelvora {

// Decodes the named recording ("-": standard input) into the named image
// ("-": standard output); returns the exit status.
int run_read(const char* recording_name, const char* image_name);

}  // namespace kelvora
