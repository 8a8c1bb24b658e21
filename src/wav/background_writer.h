// A second thread that hands a full buffer to the file while the next one
// fills, so that computing samples and the system's copying of them overlap.
// It only writes: every failure is kept for the stream to report.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <vector>

#include "wav/byte_buffer.h"

namespace kelvora {

struct background_writer;

// Starts a writer for file with a spare buffer of the given size; null where
// this build or the process can have no thread (the stream then writes itself).
std::shared_ptr<background_writer> start_background_writer(std::FILE* file, size_t buffer_size);

// Waits for the write in flight, then swaps buffer with the spare and writes
// its first n bytes in the background. Returns the error number of the write
// that finished (0 when it succeeded); on an error nothing new is written.
int hand_over(background_writer& writer, byte_buffer& buffer, size_t n);

// Waits until nothing is in flight; returns the error number of the last write (0: none).
int wait_for_writes(background_writer& writer);

}  // namespace kelvora
