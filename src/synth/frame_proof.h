// The proof of one frame's sample over an interval of a cell's offset d0
// (doc/exactness.md, "Class templates"): from the sine's slope around d0, or
// from its slope and curvature on the side d0 moves to; and, once d0 has
// passed the interval, of the next codes from the same slope and curvature.
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

// What a proof leaning the way d0 moves knew of the frame at its d0: the
// sine there (within error of the library's), and the cosine.
struct frame_expansion {
  double offset;  // d0; NaN where the proof did not lean
  double value, error, cosine;
};

// Frame i of a cell with offset d0 and the given frames (tone and binade in
// key): its sample, and an interval holding d0 that reaches mostly the way
// d0 moves (direction +1 or -1; 0 for either way alike); what it knew goes
// to expansion where one is given.
frame_proof prove_frame(const template_key& key, int64_t d0, int64_t i, int64_t frames, int direction,
                        frame_expansion* expansion = nullptr);

// The frame's next codes the way d0 moves (direction +1 or -1), each for a
// stretch of offsets, the first from `edge` (past the interval of the proof
// that left the expansion, or of one made onward from it), each after the
// one before, to just before the code is expected to change again: at most
// most_codes of them into proofs; returns how many are proven.
int prove_frame_onward(const template_key& key, int64_t frames, int direction, const frame_expansion& expansion,
                       int64_t edge, frame_proof* proofs, int most_codes);

}  // namespace kelvora
