// One fuzzing run: bytes become a command line, a layout and a small tape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvora {

// How a run ended: what it would print and its status.
struct fuzz_outcome {
  std::string text;  // the failure's text ("" when the run finished)
  int status = 0;
  bool out_of_memory = false;
};

// Runs option parsing, then a capped conversion into /dev/null or (--read) a reading from memory; never exits.
fuzz_outcome fuzz_one(const uint8_t* data, size_t size);

// Empty when the outcome is one a user may see: status 0, or 1 with one
// message line (or the usage text); otherwise what is wrong with it.
std::string fuzz_fault(const fuzz_outcome& outcome);

}  // namespace kelvora
