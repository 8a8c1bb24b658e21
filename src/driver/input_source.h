// The tape image as a byte source. How many bytes a run can take is settled
// before the output is opened: a regular file tells its size; any other input
// (a pipe, a terminal, a device, a file under /proc that says it is empty) is
// read ahead into memory, as far as the layout asks and no further than a WAV
// file could hold.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kelvora {

struct input_source {
  std::FILE* file = nullptr;
  std::string name;                  // as given on the command line, for messages
  bool in_memory = false;            // the bytes were read ahead into held
  std::vector<unsigned char> held;
  uint64_t available = 0;            // bytes the run may take
  uint64_t taken = 0;                // bytes the run has taken
  std::vector<unsigned char> block;  // bytes of a file read and not yet taken: [next, end)
  size_t next = 0, end = 0;
};

// Opens the named input ("-": standard input); fails with "cannot open NAME: reason".
void open_input(input_source& in, const char* name);

// Takes the input from bytes already in memory (a page or a library caller's buffer).
void hold_input(input_source& in, const unsigned char* data, size_t size, const char* name);

// Settles how many bytes the run can take: at most wanted, and for an input
// read ahead at most `most` (more cannot fit a WAV file); fails with "cannot read NAME: reason".
void settle_input(input_source& in, uint64_t wanted, uint64_t most);

// Up to count next bytes of the input into `to`; returns how many (fewer
// only once the available bytes are taken).
size_t read_input_bytes(input_source& in, unsigned char* to, size_t count);

// Closes the input (standard input too).
void close_input(input_source& in);

}  // namespace kelvora
