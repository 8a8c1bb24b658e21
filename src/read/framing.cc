// Framing: the hunt finds a block, the frame reader reads it, and so on to
// the end of the recording. Evidence of tone is its energy over the noise
// floor (and not far under the level of tone seen so far).
#include "read/framing.h"

#include <cmath>

#include "read/frames.h"
#include "read/hunt.h"
#include "read/receiver.h"

namespace kelvora {

void read_frames(tone_ring& ring, const frame_format& format, read_observer& events) {
  const double nominal = ring.rate / format.baud_rate;
  rx::reader r{ring, format, events, nominal, nominal, 1, 1, 0, {}, {}};
  double p = 0;
  for (;;) {
    const double s = rx::hunt(r, p, p > 0);
    if (s == -INFINITY) return;
    p = rx::read_block(r, s);
  }
}

}  // namespace kelvora
