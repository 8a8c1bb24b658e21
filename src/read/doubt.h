// Doubtful cells: whether the signal tells a cell's bit with confidence, or
// a click, a smeared cell or noise may have decided it; a thin margin is
// checked against the phase the frame's other cells hold their tone at.
#pragma once

#include "read/levels.h"

namespace kelvora::rx {

// What the signal tells of a cell's bit: sure; doubtful; or told by a
// margin thin enough that noise may have decided it, so that its tone's
// phase is to be checked (see out_of_phase).
enum class cell_doubt { sure, doubtful, check_phase };

// How sure a cell's bit is, its evidence measured against 1 / inverse_floor.
cell_doubt doubt_of(const signal_levels& l, const cell_reading& c, double inverse_floor);

// Whether cell k of `count` read with phases (bits: what each reads) holds its tone out of phase with the others of that tone.
bool out_of_phase(const cell_reading* cells, const bool* bits, int count, int k);

}  // namespace kelvora::rx
