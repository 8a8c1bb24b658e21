// Input bytes, read through the C stream one at a time.
#include "driver/input_source.h"

#include "cli/failure.h"

namespace kelvora {

int read_input_byte(input_source& in) {
  if (in.replay) {
    if (in.replay_position >= in.kept.size()) return -1;
    return in.kept[in.replay_position++];
  }
  const int c = std::getc(in.file);
  if (c == EOF) {
    if (std::ferror(in.file)) fail("cannot read " + in.name);
    return -1;
  }
  if (in.keep) in.kept.push_back(static_cast<unsigned char>(c));
  return c;
}

void start_replay(input_source& in) {
  in.replay = true;
  in.replay_position = 0;
}

}  // namespace kelvora
