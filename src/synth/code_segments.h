// Code segments. The 8-bit sample of the library's sine changes only where
// the sine crosses one of the 255 values between codes: over a turn of phase
// some 500 crossings, the same for every tone. Between two crossings, a
// short margin in from each, a segment's code is proven once for every phase
// in it, so a frame whose phase falls inside one needs no sine: its code is
// the segment's, and the offsets d0 it holds for are those whose phase stays
// inside. doc/exactness.md, "Code segments", has the proof.
#pragma once

#include <cstdint>
#include <vector>

#include "synth/cell_templates.h"
#include "synth/frame_proof.h"

namespace kelvora {

// The proven segments of one turn of phase (and a little either side), by
// phase, for one scale; empty where they do not apply.
struct code_segments {
  std::vector<double> low, high;  // every phase in [low, high] has the code; apart, rising
  std::vector<int> code;
  std::vector<int32_t> first;  // per stretch of phase: the first segment whose high reaches it
  double scale = 0;
  int32_t bits = 0;
};

// Makes the segments for samples of the given width and scale (8-bit only).
void make_code_segments(int32_t bits, double scale, code_segments& segments);

// Frame i of a cell with offset d0 from the segments: its code and the
// offsets its phase stays in the segment for; false where its phase falls in
// none (near a crossing), or there are none.
bool prove_frame_by_segments(const code_segments& segments, const template_key& key, int64_t d0, int64_t i,
                             frame_proof& proof);

}  // namespace kelvora
