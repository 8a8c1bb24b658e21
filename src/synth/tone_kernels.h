// The vector kernels that turn the phases of frames into samples, two frames
// at a time (SSE2) or four (AVX2, where the processor has it). Samples are
// the truncating 8-bit or 16-bit codes of sample_format.h of the library's sine
// of each phase, always: an estimate is used only where its bound leaves a
// single code, and the library decides the rest (doc/exactness.md).
#pragma once

#include <cstdint>

#include "synth/sample_format.h"

namespace kelvora {

// Whether the processor runs the four-wide kernels.
bool has_avx2();

// Samples of count phases by the polynomial sine, the library's where that
// leaves one in doubt; every array has room for count rounded up to 4.
void settle_phases(double* phase, uint64_t count, const sample_code& code, int* sample, int* doubt);

// The turn that walks a tone by one kernel width of frames.
struct walk_rotation {
  double cosine, sine;  // of the angle between frames, times the width
  double step_error;    // what one turn adds to the distance from the true tone
};

// The turn for a tone at angular frequency w whose frames lie D apart.
walk_rotation walk_rotation_for(double w, double D);

// What a walk left: every sample sure, some in doubt, or nothing (phases too large).
enum class walk_result { sure, in_doubt, not_walked };

// Samples of frames k < frames at phases w * (x0 + k * D) (x0 + k * D exact),
// walked by the turn; doubt is nonzero for those left in doubt. Arrays have room for frames + 3.
walk_result walk_tone(double w, double x0, double D, uint64_t frames, const walk_rotation& turn,
                      const sample_code& code, int* sample, int* doubt);

}  // namespace kelvora
