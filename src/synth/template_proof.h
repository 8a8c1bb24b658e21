// Proofs that a cell's bytes hold for every d0 in an interval around its own
// (doc/exactness.md, "Cell templates"): from the polynomial sine and the
// sine's slope, or searched for with the library's sine.
#pragma once

#include <cstdint>

#include "synth/cell_templates.h"

namespace kelvora {

// The widest reach r (units, at most the increment) with every d0 in [d0 - r, d0 + r] keeping bytes; -1 if none.
int64_t slope_reach(const template_key& key, int64_t d0, int64_t frames, const unsigned char* bytes);

// The widest [low, high] around d0 the library's sine proves, and the sines it took; false if the bytes disagree.
bool search_interval(const template_key& key, int64_t d0, int64_t frames, const unsigned char* bytes,
                     int64_t& low, int64_t& high, int64_t& sines);

}  // namespace kelvora
