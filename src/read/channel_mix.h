// The channels of a recording made into one: weighted by how much of the
// tone each carries (the principal axis of their covariances a few samples
// apart, where white noise has none), so that
// channels alike are averaged, a channel in opposite polarity is subtracted
// rather than cancelling the other, and a silent or much weaker noisy
// channel adds next to nothing.
#pragma once

#include <cstdint>
#include <vector>

namespace kelvora {

struct channel_mix {
  std::vector<double> covariance;  // channels x channels at each lag, running over the recent blocks
  std::vector<double> weights;     // the weights now (their magnitudes sum to 1)
  bool found = false;              // whether a block has given weights yet (until then they are even)
  std::vector<double> block;       // scratch: this block's covariance
  std::vector<double> means;       // scratch: this block's channel means
};

// Mixes `frames` interleaved frames of `channels` (2 or more) into out, the
// weights moving smoothly from the last block's to this block's.
void mix_channels(channel_mix& mix, const float* in, int64_t frames, int64_t channels, float* out);

}  // namespace kelvora
