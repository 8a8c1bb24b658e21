// The meter line. The level is the largest sample since the last draw in
// dBFS (0 dBFS: a sample at full scale; below a sixteen-bit step it shows as
// -inf). A sample at full scale means the card clipped the tone; a tone whose
// peaks stay below -30 dBFS is too low to read well (tape hiss and hum
// come close). What is heard: a data block from its first frame to its end,
// otherwise leader while tone is heard, otherwise silence.
#include "listen/meter.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace kelvora {

namespace {

constexpr std::chrono::milliseconds redraw_interval{250};
constexpr double too_low_peak = 0.0316;  // -30 dBFS

std::string minutes_and_seconds(uint64_t frames, int32_t rate) {
  const uint64_t seconds = frames / static_cast<uint64_t>(rate);
  const uint64_t s = seconds % 60;
  return std::to_string(seconds / 60) + (s < 10 ? ":0" : ":") + std::to_string(s);
}

std::string level_text(const level_state& level) {
  char text[48];
  if (level.peak < 1.0 / 32768) {
    std::snprintf(text, sizeof text, " -inf dBFS");
  } else {
    std::snprintf(text, sizeof text, "%5.1f dBFS", 20 * std::log10(level.peak));
  }
  std::string shown = text;
  if (level.clipped) {
    shown += " CLIPPING";
  } else if (level.tone && level.peak < too_low_peak) {
    shown += " too low";
  }
  return shown;
}

std::string plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Draws the line (the lock held) and starts a new stretch of the level.
void draw(listen_meter& meter) {
  const std::string line = "\r\x1b[K" + meter_text(meter.reading, meter.level, meter.rate);
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  meter.last_drawn = std::chrono::steady_clock::now();
  meter.level.peak = 0;
  meter.level.clipped = false;
}

}  // namespace

std::string meter_text(const reading_state& reading, const level_state& level, int32_t rate) {
  std::string heard = "silence";
  if (reading.in_block) {
    heard = "data block " + std::to_string(reading.blocks);
  } else if (level.tone) {
    heard = "leader";
  }
  std::string text = minutes_and_seconds(level.frames, rate) + "  " + level_text(level) + "  " + heard + "  " +
                     plural(reading.bytes, "byte", "bytes") + "  " +
                     plural(reading.framing_errors, "framing error", "framing errors");
  if (reading.speed > 0) {
    char speed[32];
    std::snprintf(speed, sizeof speed, "  speed %.3f", reading.speed);
    text += speed;
  }
  return text;
}

void listen_meter::on_end() { end_meter(*this); }

void listen_meter::on_begin(double, double cell) {
  std::lock_guard<std::mutex> held(lock);
  nominal_cell = cell;
}

void listen_meter::on_byte(const byte_event& e) {
  std::lock_guard<std::mutex> held(lock);
  ++reading.bytes;
  if (e.framing_error) ++reading.framing_errors;
  if (e.cell <= 0) return;
  cell_sum += e.cell;
  ++cells;
  reading.speed = nominal_cell / (cell_sum / static_cast<double>(cells));
}

void listen_meter::on_block_start(const block_event& e) {
  std::lock_guard<std::mutex> held(lock);
  ++reading.blocks;
  reading.in_block = true;
  cell_sum = 0;
  cells = 0;
  if (e.cell > 0) reading.speed = nominal_cell / e.cell;
}

void listen_meter::on_block_end(const block_event& e) {
  std::lock_guard<std::mutex> held(lock);
  reading.in_block = false;
  if (e.cell > 0) reading.speed = nominal_cell / e.cell;
}

void begin_meter(listen_meter& meter, int32_t rate) {
  std::lock_guard<std::mutex> held(meter.lock);
  meter.rate = rate;
  meter.shown = isatty(STDERR_FILENO) == 1;
  if (meter.shown) draw(meter);
}

void note_level(listen_meter& meter, uint64_t frames, double peak, bool clipped, bool tone) {
  std::lock_guard<std::mutex> held(meter.lock);
  level_state& level = meter.level;
  level.frames += frames;
  level.peak = std::max(level.peak, peak);
  level.clipped = level.clipped || clipped;
  level.tone = tone;
  if (meter.shown && !meter.ended && std::chrono::steady_clock::now() - meter.last_drawn >= redraw_interval) {
    draw(meter);
  }
}

reading_state reading_so_far(listen_meter& meter) {
  std::lock_guard<std::mutex> held(meter.lock);
  return meter.reading;
}

void end_meter(listen_meter& meter) {
  std::lock_guard<std::mutex> held(meter.lock);
  if (!meter.shown || meter.ended) return;
  meter.ended = true;
  draw(meter);
  std::fputs("\n", stderr);
  std::fflush(stderr);
}

}  // namespace kelvora
