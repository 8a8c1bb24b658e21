// The sample feed. Parts go round the feed_parts buffers: part k in buffer
// k % feed_parts. The thread waits while every buffer holds a part not yet
// taken and the framing waits while none does; the lock guards only the
// counts, never a read or a filter.
#include "read/sample_feed.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "read/float_quad.h"
#include "signals/stop_signals.h"

namespace kelvora {

namespace {

// Largest sample magnitude taken (full scale is 1).
constexpr double largest_sample = 1e6;

// The DC blocker y[n] = x[n] - x[n-1] + pole y[n-1], in place. Samples go in
// groups of eight: each group's response from rest runs apart from the
// others, and only the response to what came before (pole^k times the last
// output) chains from group to group.
void block_dc(sample_feed& feed, float* x, int64_t n) {
  const float pole = feed.dc_pole;
  const float p2 = pole * pole, p3 = p2 * pole, p4 = p3 * pole;
  const float_quad carry_low = {pole, p2, p3, p4}, carry_high = carry_low * p4;
  float last_in = feed.dc_last_in, last_out = feed.dc_last_out;
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    float_quad low, high;
    float response = 0;
    for (int k = 0; k < 4; ++k) {
      response = (x[i + k] - last_in) + pole * response;
      last_in = x[i + k];
      low[k] = response;
    }
    for (int k = 0; k < 4; ++k) {
      response = (x[i + 4 + k] - last_in) + pole * response;
      last_in = x[i + 4 + k];
      high[k] = response;
    }
    low += carry_low * last_out;
    high += carry_high * last_out;
    std::memcpy(x + i, &low, sizeof low);
    std::memcpy(x + i + 4, &high, sizeof high);
    last_out = high[3];
  }
  for (; i < n; ++i) {
    last_out = (x[i] - last_in) + pole * last_out;
    last_in = x[i];
    x[i] = last_out;
  }
  feed.dc_last_in = last_in;
  feed.dc_last_out = last_out;
}

// A float recording may hold anything: what is not a finite sample of sane
// size is taken as silence or held at that size.
void make_sane(float* x, int64_t n) {
  const float largest = static_cast<float>(largest_sample);
  for (int64_t i = 0; i < n; ++i) {
    const float size = std::fabs(x[i]);
    // NaN fails both comparisons; infinity only the second.
    if (!(size <= largest)) x[i] = size <= std::numeric_limits<float>::max() ? std::copysign(largest, x[i]) : 0.0f;
  }
}

// Decimates x[0..n) (after the `decimation` samples kept before it) into
// out through the triangular filter: output m weighs x[m d - d .. m d + d - 2]
// by 1, 2, .., d, .., 2, 1 over d^2 (two box filters in a row: double nulls on
// the aliases of the tones); returns the outputs made. By 2, the common case,
// it goes without the table so that it vectorises.
int64_t decimate(const float* x, int64_t n, int64_t d, const float* weights, float* out) {
  const int64_t outputs = (n - d) / d;
  if (d == 2) {
    for (int64_t m = 0; m < outputs; ++m) out[m] = 0.25f * (x[2 * m] + 2.0f * x[2 * m + 1] + x[2 * m + 2]);
    return outputs;
  }
  for (int64_t m = 0; m < outputs; ++m) {
    float sum = 0;
    for (int64_t j = 0; j < 2 * d - 1; ++j) sum += weights[j] * x[m * d + j];
    out[m] = sum;
  }
  return outputs;
}

// The same filter for a decimation d past ramp_decimation, sample by sample:
// output m is (rising half of group m - 1 + falling half of group m) / d^2,
// where group k is input samples k d .. k d + d - 1 (before the first, the
// group of silence), its rising half weighs them by 1 .. d and its falling
// half by d - 1 .. 0; returns the outputs made.
int64_t decimate_by_ramps(sample_feed& feed, const float* x, int64_t n, float* out) {
  const int64_t d = feed.decimation;
  const double scale = 1.0 / (static_cast<double>(d) * static_cast<double>(d));
  int64_t count = 0;
  for (int64_t i = 0; i < n; ++i) {
    feed.ramp_sum += x[i];
    feed.ramp_weighted += static_cast<double>(feed.ramp_index) * x[i];
    if (++feed.ramp_index < d) continue;
    const double falling = static_cast<double>(d - 1) * feed.ramp_sum - feed.ramp_weighted;
    out[count++] = static_cast<float>((feed.rising + falling) * scale);
    feed.rising = feed.ramp_weighted + feed.ramp_sum;
    feed.ramp_index = 0;
    feed.ramp_sum = feed.ramp_weighted = 0;
  }
  return count;
}

// Decimates 16-bit samples x[0..n) (after the 2 kept before it) by 2 into
// out, scaled to full scale 1: the very floats the float path makes (the
// integer sums are exact, and so is the float of each).
int64_t decimate_shorts(const short* x, int64_t n, float* out) {
  const int64_t outputs = (n - 2) / 2;
  constexpr float scale = 0.25f / 32768.0f;
  for (int64_t m = 0; m < outputs; ++m) {
    out[m] = static_cast<float>(x[2 * m] + 2 * x[2 * m + 1] + x[2 * m + 2]) * scale;
  }
  return outputs;
}

// Reads the next part of the recording into out and makes its samples: sane,
// decimated and free of DC; returns how many (0 at the end).
int64_t make_part(sample_feed& feed, float* out) {
  const int64_t d = feed.decimation;
  int64_t count = 0;
  if (!feed.input_shorts.empty()) {
    short* input = feed.input_shorts.data();
    const int64_t kept = feed.input_kept;
    const int64_t got = read_shorts(*feed.source, input + kept, static_cast<int64_t>(feed.input_shorts.size()) - kept);
    if (got == 0) {
      end_silence(feed.silent);
      return 0;
    }
    note_silence(feed.silent, input + kept, got);
    const int64_t total = kept + got;
    count = decimate_shorts(input, total, out);
    feed.input_kept = total - count * 2;
    std::memmove(input, input + count * 2, static_cast<size_t>(feed.input_kept) * sizeof(short));
  } else {
    float* input = feed.input.data();
    const int64_t kept = feed.input_kept;
    const int64_t got = read_mono(*feed.source, input + kept, static_cast<int64_t>(feed.input.size()) - kept);
    if (got == 0) {
      end_silence(feed.silent);
      return 0;
    }
    if (!feed.source->as_short) make_sane(input + kept, got);
    note_silence(feed.silent, input + kept, got);
    if (d == 1) {
      std::memcpy(out, input, static_cast<size_t>(got) * sizeof(float));
      count = got;
    } else if (d > ramp_decimation) {
      count = decimate_by_ramps(feed, input, got, out);
    } else {
      const int64_t total = kept + got;
      count = decimate(input, total, d, feed.weights.data(), out);
      // The last whole group and the group begun are kept for the next read.
      feed.input_kept = total - count * d;
      std::memmove(input, input + count * d, static_cast<size_t>(feed.input_kept) * sizeof(float));
    }
  }
  // DC: a one-pole high-pass with its corner at a sixteenth of the lower tone.
  block_dc(feed, out, count);
  return count;
}

#if !KELVORA_FEED_INLINE
// The thread: parts made until the recording ends, it fails, or the feed is stopped.
void feed_parts_until_done(std::stop_token stop, sample_feed* feed_pointer) {
  sample_feed& feed = *feed_pointer;
  try {
    for (int64_t part = 0;; ++part) {
      {
        std::unique_lock<std::mutex> held(feed.lock);
        if (!feed.changed.wait(held, stop, [&] { return part - feed.taken < feed_parts; })) return;
      }
      const size_t buffer = static_cast<size_t>(part % feed_parts);
      const int64_t count = stop_cutting(*feed.source) != 0 ? 0 : make_part(feed, feed.parts[buffer].data());
      std::lock_guard<std::mutex> held(feed.lock);
      if (count == 0) {
        feed.ended = true;
        feed.changed.notify_all();
        return;
      }
      feed.part_size[buffer] = count;
      ++feed.made;
      feed.changed.notify_all();
    }
  } catch (...) {
    std::lock_guard<std::mutex> held(feed.lock);
    feed.failure = std::current_exception();
    feed.ended = true;
    feed.changed.notify_all();
  }
}
#endif

}  // namespace

void open_sample_feed(sample_feed& feed, recording& source, int64_t decimation, float dc_pole) {
  feed.source = &source;
  feed.decimation = decimation;
  feed.dc_pole = dc_pole;
  // Room for a read after the samples kept (less than two groups, none past ramp_decimation).
  const bool ramps = decimation > ramp_decimation;
  const size_t room = static_cast<size_t>(block_frames(source) + 2 * (ramps ? 1 : decimation));
  if (source.as_short && source.channels == 1 && decimation == 2) {
    feed.input_shorts.assign(room, 0);
  } else {
    feed.input.assign(room, 0.0f);
  }
  feed.input_kept = decimation == 1 || ramps ? 0 : decimation;  // a group of silence before the recording
  for (int64_t j = 0; j < 2 * decimation - 1 && !ramps; ++j) {
    feed.weights.push_back(static_cast<float>(static_cast<double>(std::min(j + 1, 2 * decimation - 1 - j)) /
                                              static_cast<double>(decimation * decimation)));
  }
  for (auto& part : feed.parts) part.assign(room, 0.0f);
#if !KELVORA_FEED_INLINE
  // Signals that stop the reading go to the framing's thread, never to this one.
  block_stop_signals_here();
  try {
    feed.thread = std::jthread(feed_parts_until_done, &feed);
    unblock_stop_signals_here();
  } catch (const std::system_error&) {
    // A limit on processes: the parts are made on this thread instead.
    unblock_stop_signals_here();
    feed.alone = true;
  }
#endif  // without threads, parts are made as they are taken
}

const silent_runs* silence_read(sample_feed& feed) {
  if (feed.alone) return feed.silent.ended ? &feed.silent : nullptr;
  std::lock_guard<std::mutex> held(feed.lock);
  return feed.ended && !feed.failure && feed.silent.ended ? &feed.silent : nullptr;
}

bool next_samples(sample_feed& feed, const float*& samples, int64_t& count) {
  if (feed.alone) {
    if (feed.ended || stop_cutting(*feed.source) != 0) return false;
    count = make_part(feed, feed.parts[0].data());
    samples = feed.parts[0].data();
    feed.ended = count == 0;
    return count > 0;
  }
  std::unique_lock<std::mutex> held(feed.lock);
  if (feed.holding) {
    // Done with: its buffer is free again.
    ++feed.taken;
    feed.holding = false;
    feed.changed.notify_all();
  }
  // After a stop signal the parts made are still taken, but none is waited
  // for: the thread may wait on a pipe that has stopped.
  while (feed.made == feed.taken && !feed.ended) {
    if (stop_cutting(*feed.source) != 0) return false;
    feed.changed.wait_for(held, std::chrono::milliseconds(50));
  }
  if (feed.made == feed.taken) {
    if (feed.failure) std::rethrow_exception(feed.failure);
    return false;
  }
  const size_t buffer = static_cast<size_t>(feed.taken % feed_parts);
  samples = feed.parts[buffer].data();
  count = feed.part_size[buffer];
  feed.holding = true;
  return true;
}

}  // namespace kelvora
