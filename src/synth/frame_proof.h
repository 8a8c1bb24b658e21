// The proof of one frame's sample over an interval of a cell's offset d0
// (doc/exactness.md, "Class templates"): from the sine's slope around d0, or
// from its slope and curvature on the side d0 moves to.
#pragma once

#include <cstdint>

#include "synth/cell_templates.h"

namespace kelvora {

// The sample of a frame and the interval [low, high] of offsets (units of
// the binade) on which it is proven unchanged.
struct frame_proof {
  int code;
  int64_t low, high;
};

// Frame i of a cell with offset d0 and the given frames (tone and binade in
// key): its sample, and an interval holding d0 that reaches mostly the way
// d0 moves (direction +1 or -1; 0 for either way alike).
frame_proof prove_frame(const template_key& key, int64_t d0, int64_t i, int64_t frames, int direction);

}  // namespace kelvora
