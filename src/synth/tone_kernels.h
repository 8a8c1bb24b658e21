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

// The turn that walks a row of lanes on by the frames of both rows (8, or 4 without AVX2).
struct walk_rotation {
  double cosine, sine;  // of the angle between frames, times the frames a turn moves
  double step_error;    // what one turn adds to the distance from the true tone
};

// The turn for a tone at angular frequency w whose frames lie D apart.
walk_rotation walk_rotation_for(double w, double D);

// What a walk left: every sample sure, some in doubt, or nothing (phases too large).
enum class walk_result { sure, in_doubt, not_walked };

// Where a walk starts: the estimated sine and cosine of its first frames,
// two rows of lanes (frames 0 to 3 and 4 to 7; 0, 1 and 2, 3 without AVX2).
struct walk_start {
  alignas(32) double sine[8];
  alignas(32) double cosine[8];
};

// The starts of n walks, walk i from frame x0[i] at angular frequency w[i],
// frames D apart: taken together, one start need not wait for the last.
void start_walks(const double* w, const double* x0, double D, uint64_t n, walk_start* start);

// Samples of frames k < frames at phases w * (x0 + k * D) (x0 + k * D exact),
// walked by the turn from its start; doubt is nonzero for those left in
// doubt. Arrays have room for frames + 3. Where `packed` is not null the
// samples go there as one-channel frames when the walk is sure of them all
// (with room for 8 bytes past the last frame, left as they were), and to the
// arrays only when it is not.
walk_result walk_tone(double w, double x0, double D, uint64_t frames, const walk_rotation& turn,
                      const walk_start& start, const sample_code& code, int* sample, int* doubt,
                      unsigned char* packed);

}  // namespace kelvora
