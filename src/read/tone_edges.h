// The tones of a stretch of recording heard sample by sample, for framing
// detection: sliding correlations with the lower tone and the one an octave
// above over a window of whole lower cycles tell where the tone changes; the
// lower tone's energy in data; how far weaker tones are weighed.
#pragma once

#include <cstdint>
#include <vector>

namespace kelvora {

// A change of tone: where, to which, and in which stretch of steady level.
struct tone_edge {
  double at;    // sample position
  bool to_one;  // the upper tone begins
  int32_t stretch;
};

struct tone_edges {
  std::vector<tone_edge> edges;
  std::vector<double> stretch_end;  // where each stretch of tone ended
};

// How the two tones are weighed against each other: as they are, or where
// one is far weaker (levels 4 dB apart or more), by their amplitudes a0, a1
// in a full window (the likelier tone, as the reader decides a cell), the
// weaker's energy counted at the stronger's level.
struct tone_weights {
  bool weighed = false;
  double a0 = 1, a1 = 1;
  double gain0 = 1, gain1 = 1;
};

// Sliding correlations `cycles` lower cycles long over x[from, to) at `rate`, counting windows of
// less than `gate` energy as no tone: where the tone changes.
tone_edges find_edges(const float* x, int64_t from, int64_t to, double rate, double lower_hz, double gate,
                      const tone_weights& weights, int32_t cycles);

// The lower tone's energy in a window one lower cycle long over data in x[from, to); 0 when none.
double lower_energy(const float* x, int64_t from, int64_t to, double rate, double lower_hz);

// The weights of the tones for a leader of energy `upper` in a full window and a lower tone of energy `lower`.
tone_weights weights_of(double upper, double lower);

}  // namespace kelvora
