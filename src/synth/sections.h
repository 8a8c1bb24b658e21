// The three kinds of section a recording is made of: silence, leader tone
// (a run of 1 cells) and data bytes framed as asynchronous serial characters.
#pragma once

#include <cstdint>

#include "wav/output_stream.h"

namespace kelvora {

// Appends silence of the given duration; the clock moves by whole seconds only.
int64_t emit_silence(double seconds, output_stream& out);

// Appends 1 cells covering the duration from the grid point before the clock.
int64_t emit_leader(double seconds, output_stream& out);

// Appends one byte: a start cell, eight data cells (lowest bit first), stop cells.
int64_t emit_byte(int value, output_stream& out);

}  // namespace kelvora
