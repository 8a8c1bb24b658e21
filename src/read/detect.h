// Finding the framing of a recording nobody described: the leader's tone, the
// cell length as whole cycles of the lower tone, the least idle between
// frames, and the nominal values a user would have typed for them.
#pragma once

#include <cstdint>
#include <string>

namespace kelvora {

// What the opening of a recording showed, as recorded (the tape's speed included).
struct framing_heard {
  double upper_hz = 0;         // the leader's tone; 0 when no steady tone was heard
  int32_t cycles_per_cell = 0; // lower-tone cycles in a cell; 0 when no data was framed
  int32_t stop_bits = -1;      // least whole idle cells after a frame's data; -1 unknown
  uint64_t frames = 0;         // frames the stop bits were counted over
  bool wants_more = false;     // the samples ended before the stretch worth hearing
  // Nearly every run of 0 cells as long, at more than one cycle a cell (bytes
  // all alike): a cell a divisor as long would frame them as well.
  bool runs_alike = false;
};

// The framing as the writer was told it, and the tape's speed against it.
struct nominal_framing {
  int32_t baud_rate = 0;
  int32_t lower_carrier = 0;
  double speed = 1;            // recorded rate / nominal rate
};

// What the first `count` mono samples at `rate` frames a second show.
framing_heard hear_framing(const float* samples, int64_t count, double rate);

// Nominal values for what was heard (nominal.cc): a standard baud rate within
// 12 %, or a round one hit within 0.3 % where no standard one lies within 6 %,
// the lower carrier a whole multiple; a told baud rate or carrier (> 0) is
// kept; all 0 where the carrier would pass 32 bits.
nominal_framing nominal_of(const framing_heard& heard, int32_t told_baud, int32_t told_lower);

// One line of what was heard when no framing was found ("a tone of 2400 Hz but no data").
std::string heard_text(const framing_heard& heard);

}  // namespace kelvora
