// The three kinds of section a recording is made of: silence, leader tone
// (a run of 1 cells) and data bytes framed as asynchronous serial characters.
// Each can be written, or counted in frames without writing.
#pragma once

#include <cstdint>

#include "wav/output_stream.h"

namespace kelvora {

// Appends silence of the given duration; the clock moves by whole seconds only.
int64_t emit_silence(double seconds, output_stream& out);

// Appends 1 cells covering the duration from the grid point before the clock.
int64_t emit_leader(double seconds, output_stream& out);

// Appends bytes, each a start cell, eight data cells (lowest bit first), stop cells.
int64_t emit_bytes(const unsigned char* values, int64_t count, output_stream& out);

// Frames of a silence (more than budget when there are more); t moves as the clock would.
uint64_t count_silence_frames(double& t, double seconds, uint64_t budget);

// Frames of a leader from clock t (more than budget when there are more); t moves on.
uint64_t count_leader_frames(double& t, double seconds, uint64_t budget);

// Frames of `bytes` data bytes from clock t (more than budget when there are more); t moves on.
uint64_t count_byte_frames(double& t, uint64_t bytes, uint64_t budget);

}  // namespace kelvora
