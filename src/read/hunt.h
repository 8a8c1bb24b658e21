// The hunt: between blocks, silence and leader for the layout, the tape's
// speed from the leader, and where the next block starts.
#pragma once

#include "read/receiver.h"

namespace kelvora::rx {

// Scans from `from` (the end of a block's last frame when after_block) for
// the next block; returns its first frame's start, or -infinity when the
// recording ends first.
double hunt(reader& r, double from, bool after_block);

}  // namespace kelvora::rx
