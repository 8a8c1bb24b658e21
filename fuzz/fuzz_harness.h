// One fuzzing run: bytes become a command line, a layout and a small tape.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvora {

// Runs option parsing, then a capped conversion into /dev/null or (--read) a reading from memory; never exits.
int fuzz_one(const uint8_t* data, size_t size);

}  // namespace kelvora
