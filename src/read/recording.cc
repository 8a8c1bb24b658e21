// The recording as mono samples, whatever supplies its frames. A frame's
// channels are averaged; 16-bit samples are scaled by 1/32768, which gives
// the very floats libsndfile would. Frames are read in blocks of at most
// block_samples samples, so memory does not grow with the recording.
#include "read/recording.h"

#include <algorithm>
#include <utility>

#include "cli/failure.h"

namespace kelvora {

namespace {

// Interleaved samples read from the source at once.
constexpr int64_t block_samples = 1 << 16;
// Full scale of a 16-bit sample.
constexpr float short_scale = 1.0f / 32768.0f;

}  // namespace

void open_recording_from_source(recording& r, const std::string& name, int32_t rate, int32_t channels,
                                bool as_short, frame_source source) {
  r.name = name;
  r.source = std::move(source);
  if (channels < 1 || rate < 1) {
    close_recording(r);
    fail("cannot read " + printable_name(r.name) + ": no audio channels or no sampling rate");
  }
  r.channels = channels;
  r.sampling_rate = rate;
  r.as_short = as_short;
  const int64_t frames = std::max<int64_t>(1, block_samples / r.channels);
  if (r.as_short) {
    r.shorts.assign(static_cast<size_t>(frames * r.channels), 0);
  } else {
    r.buffer.assign(static_cast<size_t>(frames * r.channels), 0.0f);
  }
}

int64_t block_frames(const recording& r) {
  const size_t samples = r.as_short ? r.shorts.size() : r.buffer.size();
  return std::max<int64_t>(1, static_cast<int64_t>(samples) / r.channels);
}

int64_t read_mono(recording& r, float* out, int64_t most) {
  const int64_t channels = r.channels;
  const int64_t frames = std::min(most, block_frames(r));
  const int64_t got = r.as_short ? r.source.read_shorts(r.shorts.data(), frames)
                                 : r.source.read_floats(r.buffer.data(), frames);
  if (got <= 0) return 0;
  const float share = 1.0f / static_cast<float>(channels);
  if (r.as_short) {
    const short* in = r.shorts.data();
    if (channels == 1) {
      for (int64_t i = 0; i < got; ++i) out[i] = static_cast<float>(in[i]) * short_scale;
      return got;
    }
    for (int64_t i = 0; i < got; ++i) {
      float sum = 0.0f;
      for (int64_t c = 0; c < channels; ++c) sum += static_cast<float>(in[i * channels + c]) * short_scale;
      out[i] = sum * share;
    }
    return got;
  }
  const float* in = r.buffer.data();
  if (channels == 1) {
    std::copy(in, in + got, out);
    return got;
  }
  for (int64_t i = 0; i < got; ++i) {
    float sum = 0.0f;
    for (int64_t c = 0; c < channels; ++c) sum += in[i * channels + c];
    out[i] = sum * share;
  }
  return got;
}

int64_t read_shorts(recording& r, short* out, int64_t most) {
  const int64_t got = r.source.read_shorts(out, most);
  return got <= 0 ? 0 : got;
}

void close_recording(recording& r) {
  if (r.source.close) {
    auto close = std::move(r.source.close);
    r.source.close = nullptr;
    close();
  }
}

}  // namespace kelvora
