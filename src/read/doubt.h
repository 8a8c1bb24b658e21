// Doubtful cells: whether the signal tells a cell's bit with confidence, or
// a click, a smeared cell or noise may have decided it.
#pragma once

#include "read/levels.h"

namespace kelvora::rx {

// Whether a cell is doubtful, its evidence measured against 1 / inverse_floor.
bool doubtful(const signal_levels& l, const cell_reading& c, double inverse_floor);

}  // namespace kelvora::rx
