// The tape image as a byte source. Bytes are read one at a time as the layout
// asks; when the recording has to be measured before it is written, the bytes
// read in the measuring pass are kept and played back in the writing pass.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace kelvora {

struct input_source {
  std::FILE* file = nullptr;
  std::string name;                // as given on the command line, for messages
  bool keep = false;               // remember every byte read
  bool replay = false;             // read the remembered bytes instead of the file
  std::vector<unsigned char> kept;
  size_t replay_position = 0;
};

// Next byte of the input, or -1 at its end; a read error ends the run.
int read_input_byte(input_source& in);

// Starts playing back the kept bytes from the first.
void start_replay(input_source& in);

}  // namespace kelvora
