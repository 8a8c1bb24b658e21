// Doubtful cells: whether the signal tells a cell's bit with confidence, or
// a click, a smeared cell or noise may have decided it; a thin margin is
// checked against the phase the frame's other cells hold their tone at.
#pragma once

#include "read/levels.h"

namespace kelvora::rx {

// What the signal tells of a cell's bit: sure; doubtful; or told by a
// margin thin enough that noise may have decided it, so that the phases of
// the tones are to be checked against the frame's other cells: the tone it
// reads (check_phase), or where the margin is thinner still, both
// (check_both; see phase_doubtful).
enum class cell_doubt { sure, doubtful, check_phase, check_both };

// How sure a cell's bit is, its evidence measured against 1 / inverse_floor.
cell_doubt doubt_of(const signal_levels& l, const cell_reading& c, double inverse_floor);

// Whether cell k of `count` read with both tones' phases (bits: what each
// reads), found to check its phases (how), is doubtful by them.
bool phase_doubtful(const signal_levels& l, const cell_reading* cells, const bool* bits, int count, int k,
                    cell_doubt how, double inverse_floor);

}  // namespace kelvora::rx
