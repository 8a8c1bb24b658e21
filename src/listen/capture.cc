// Capturing. A stretch is one transfer from the device (a twentieth of a
// second at most). Tone is a stretch whose level (root mean square) reaches
// a quarter of the tone's level inside blocks, or, before any block, -50
// dBFS: tape hiss and the gaps between blocks stay below either. The
// stretches before the first tone are kept (--keep) and shown on the meter
// but not read: the wait before the tape starts is no part of it, and the
// framing not told is found from the opening of what is read.
#include "listen/capture.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace kelvora {

namespace {

constexpr double full_scale = 32768.0;
constexpr double tone_share = 0.25;       // of the tone's level inside blocks
constexpr double first_tone_rms = 0.00316;  // -50 dBFS, before a block was heard

struct stretch_level {
  double peak = 0;
  double rms = 0;
  bool clipped = false;
};

// A clipped tone stays at full scale for two samples in a row; a tone at full
// scale only touches it.
stretch_level measure(const short* samples, size_t count, size_t channels) {
  stretch_level level;
  double power = 0;
  int peak = 0;
  for (size_t i = 0; i < count; ++i) {
    const int s = samples[i];
    peak = std::max(peak, std::abs(s));
    power += static_cast<double>(s) * s;
    if (i >= channels && std::abs(s) >= 32767 && std::abs(samples[i - channels]) >= 32767) level.clipped = true;
  }
  level.peak = peak / full_scale;
  level.rms = count > 0 ? std::sqrt(power / static_cast<double>(count)) / full_scale : 0;
  return level;
}

// Takes a stretch of `frames` into the watch; true when it was tone.
bool watch_stretch(tone_watch& watch, const stretch_level& level, const reading_state& reading,
                   uint64_t frames, int32_t rate) {
  if (reading.in_block) {
    watch.tone_rms = watch.tone_rms == 0 ? level.rms : 0.9 * watch.tone_rms + 0.1 * level.rms;
  }
  const double threshold = watch.tone_rms > 0 ? tone_share * watch.tone_rms : first_tone_rms;
  const bool tone = reading.in_block || level.rms >= threshold;
  if (tone || reading.bytes == 0) {
    watch.quiet_frames = 0;
  } else {
    watch.quiet_frames += frames;
    if (watch.quiet_frames >= seconds_to_end * static_cast<uint64_t>(rate)) watch.ended = true;
  }
  return tone;
}

int64_t capture_frames(capture_run& run, short* out, int64_t most) {
  if (run.watch.ended || most <= 0) return 0;
  for (;;) {
    const size_t got = read_audio(run.device, reinterpret_cast<unsigned char*>(out), static_cast<size_t>(most));
    if (got == 0) {
      run.watch.ended = true;
      return 0;
    }
    keep_frames(run.keep, out, got);
    const auto channels = static_cast<size_t>(run.device.format.channels);
    const stretch_level level = measure(out, got * channels, channels);
    const bool tone = watch_stretch(run.watch, level, reading_so_far(run.meter), got, run.device.format.rate);
    note_level(run.meter, got, level.peak, level.clipped, tone);
    if (!tone && !run.watch.tone_heard) continue;
    run.watch.tone_heard = true;
    return static_cast<int64_t>(got);
  }
}

}  // namespace

frame_source capture_source(capture_run& run) {
  frame_source source;
  source.read_shorts = [&run](short* out, int64_t most) { return capture_frames(run, out, most); };
  return source;
}

}  // namespace kelvora
