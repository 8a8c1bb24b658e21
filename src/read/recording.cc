// The recording as mono samples, whatever supplies its frames. A frame's
// channels are mixed (channel_mix.h), the opening held for the framing's
// detection too; 16-bit samples are scaled by 1/32768, which gives
// the very floats libsndfile would. Frames are read in blocks of at most
// block_samples samples, so memory does not grow with the recording.
#include "read/recording.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "cli/failure.h"
#include "signals/stop_signals.h"

namespace kelvora {

namespace {

// Interleaved samples read from the source at once.
constexpr int64_t block_samples = 1 << 16;
// Full scale of a 16-bit sample.
constexpr float short_scale = 1.0f / 32768.0f;

// Serves held samples first, then a failure met while holding them, then
// the source's own frames; returns frames.
template <typename T>
int64_t serve_held(std::vector<T>& held, size_t& next, std::exception_ptr& failure, int64_t channels, T* out,
                   int64_t most, const std::function<int64_t(T*, int64_t)>& source) {
  if (next < held.size()) {
    const auto frames = std::min<int64_t>(most, static_cast<int64_t>(held.size() - next) / channels);
    const auto samples = static_cast<size_t>(frames * channels);
    std::copy_n(held.begin() + static_cast<std::ptrdiff_t>(next), samples, out);
    next += samples;
    if (next == held.size()) std::vector<T>().swap(held);  // given again: not needed any more
    return frames;
  }
  if (failure) std::rethrow_exception(std::exchange(failure, nullptr));
  return source(out, most);
}

// The mono samples of `frames` interleaved frames, 16-bit ones scaled (by
// way of `scratch` where there are channels to mix), the channels mixed by `mix`.
template <typename T>
void mono_of(const T* in, int64_t frames, int64_t channels, channel_mix& mix, std::vector<float>& scratch, float* out) {
  if constexpr (std::is_same_v<T, short>) {
    float* to = out;
    if (channels > 1) {
      scratch.resize(static_cast<size_t>(frames * channels));
      to = scratch.data();
    }
    for (int64_t i = 0; i < frames * channels; ++i) to[i] = static_cast<float>(in[i]) * short_scale;
    if (channels > 1) mix_channels(mix, to, frames, channels, out);
  } else {
    if (channels == 1) {
      std::copy(in, in + frames, out);
    } else {
      mix_channels(mix, in, frames, channels, out);
    }
  }
}

// Appends up to `want` frames from the source to `held` and their mono
// samples to `mono`, the channels mixed as the reading mixes them (by
// `mix`, its own: a pair in opposite polarity would cancel in a plain sum).
template <typename T>
int64_t hold_more(std::vector<T>& held, std::vector<float>& mono, channel_mix& mix, int64_t channels, int64_t want,
                  const std::function<int64_t(T*, int64_t)>& source) {
  const size_t at = held.size();
  held.resize(at + static_cast<size_t>(want * channels));
  const int64_t got = std::max<int64_t>(0, source(held.data() + at, want));
  held.resize(at + static_cast<size_t>(got * channels));
  const size_t from = mono.size();
  mono.resize(from + static_cast<size_t>(got));
  std::vector<float> scratch;
  if (got > 0) mono_of(held.data() + at, got, channels, mix, scratch, mono.data() + from);
  return got;
}

}  // namespace

struct held_frames {
  std::vector<float> floats;   // interleaved, when not as_short
  std::vector<short> shorts;   // interleaved, when as_short
  size_t next = 0;             // samples given again so far
  std::exception_ptr failure;  // met while holding: given where the frames held end
  frame_source original;
  channel_mix mix;             // how the opening's channels are made one
};

void hold_opening(recording& r, std::vector<float>& mono, int64_t most) {
  if (!r.held) {
    auto held = std::make_shared<held_frames>();
    held->original = std::move(r.source);
    const int64_t channels = r.channels;
    r.source.read_floats = [held, channels](float* out, int64_t n) {
      return serve_held(held->floats, held->next, held->failure, channels, out, n, held->original.read_floats);
    };
    r.source.read_shorts = [held, channels](short* out, int64_t n) {
      return serve_held(held->shorts, held->next, held->failure, channels, out, n, held->original.read_shorts);
    };
    r.source.close = [held] {
      if (held->original.close) held->original.close();
    };
    r.held = held;
  }
  held_frames& h = *r.held;
  while (static_cast<int64_t>(mono.size()) < most && !h.failure) {
    const int64_t want = std::min(most - static_cast<int64_t>(mono.size()), block_frames(r));
    try {
      const int64_t got = r.as_short ? hold_more(h.shorts, mono, h.mix, r.channels, want, h.original.read_shorts)
                                     : hold_more(h.floats, mono, h.mix, r.channels, want, h.original.read_floats);
      if (got == 0) break;
    } catch (const failure&) {
      // The frames before it are read first, as they would have been.
      h.failure = std::current_exception();
    }
  }
}

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
  if (r.as_short) {
    mono_of(r.shorts.data(), got, channels, r.mix, r.mixing, out);
  } else {
    mono_of(r.buffer.data(), got, channels, r.mix, r.mixing, out);
  }
  return got;
}

int64_t read_shorts(recording& r, short* out, int64_t most) {
  const int64_t got = r.source.read_shorts(out, most);
  return got <= 0 ? 0 : got;
}

int stop_cutting(const recording& r) { return r.at_stop == at_stop_signal::cut_short ? stop_signal() : 0; }

void close_recording(recording& r) {
  if (r.source.close) {
    auto close = std::move(r.source.close);
    r.source.close = nullptr;
    close();
  }
}

}  // namespace kelvora
