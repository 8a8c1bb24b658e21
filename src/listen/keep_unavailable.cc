// The kept recording in a build without libsndfile: --keep is refused
// before listening begins, so nothing else here is ever reached.
#include "cli/failure.h"
#include "listen/keep_file.h"

namespace kelvora {

void open_keep_file(keep_file&, const std::string&, int32_t, int32_t) {
  fail("--keep is not available in this build");
}

void keep_frames(keep_file&, const short*, size_t) {}

void close_keep_file(keep_file&) {}

}  // namespace kelvora
