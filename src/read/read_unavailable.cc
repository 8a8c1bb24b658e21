// The reader in a build without libsndfile.
#include "cli/failure.h"
#include "read/read.h"

namespace kelvora {

int run_read(const char*, const char*) { fail("--read is not available in this build"); }

int read_recording_in_memory(const unsigned char*, size_t) { fail("--read is not available in this build"); }

}  // namespace kelvora
