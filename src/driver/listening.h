// The listening run (--listen): a tape read live from a capture device into
// its image, as --read reads a recording.
#pragma once

namespace kelvora {

// Listens on request.device until the tape ends or a signal stops it, writing
// the named image ("-": standard output); returns the status.
int run_listen(const char* image_name);

}  // namespace kelvora
