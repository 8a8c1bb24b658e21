// Recording files in a build without libsndfile: only other sources read.
#include "cli/failure.h"
#include "read/recording.h"

namespace kelvora {

void open_recording(recording&, const char*) { fail("--read is not available in this build"); }

void open_recording_in_memory(recording&, const unsigned char*, size_t) {
  fail("--read is not available in this build");
}

}  // namespace kelvora
