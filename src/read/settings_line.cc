// The settings line. Silence is written as ceil(seconds x rate) frames and
// moves the clock by whole seconds only; a leader is whole cells from the
// grid point at or before the clock, while the clock is below its end. The
// layout is walked with the writer's own counts from the clock at 0, and
// each duration is the roundest decimal (0.1, 0.01, 0.001 s) that gives
// the silence frames within the measurement's reach (a cell, or half of one
// for thousandths), or exactly the leader cells read; failing that, the
// exact frames or cells.
#include "read/settings_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "cli/settings.h"
#include "synth/bit_cell.h"
#include "synth/frame_times.h"
#include "synth/sections.h"

namespace kelvora {

namespace {

// Layout parts kept at most; later blocks join the last.
constexpr size_t most_parts = 4096;
constexpr uint64_t budget = std::numeric_limits<uint64_t>::max() / 4;

// A decimal without trailing zeros ("2", "0.05", "1.234").
std::string decimal(double value, int places) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", places, value);
  std::string t = text;
  if (t.find('.') != std::string::npos) {
    while (t.back() == '0') t.pop_back();
    if (t.back() == '.') t.pop_back();
  }
  return t;
}

// Cells a leader of `seconds` writes from clock t; t moves on.
uint64_t leader_cells(double& t, double seconds) {
  const double end = cell_start(t) + seconds;
  uint64_t cells = 0;
  if (end > t) count_cell_frames_run(t, std::numeric_limits<uint64_t>::max(), end, budget, cells);
  return cells;
}

// The text of a silence of about `frames` frames, measured to within `cell`
// frames (a tenth or hundredth of a second is taken within a cell, a
// thousandth within half of one); t moves on.
std::string silence_text(double& t, double frames, double cell) {
  const double rate = settings.sampling_rate;
  for (int places = 1; places <= 3; ++places) {
    const double scale = std::pow(10.0, places);
    const double seconds = std::round(frames / rate * scale) / scale;
    const double reach = std::max(2.0, places < 3 ? cell : cell / 2);
    double at = t;
    const auto written = static_cast<double>(count_silence_frames(at, seconds, budget));
    if (seconds > 0 && std::fabs(written - frames) <= reach) {
      t = at;
      return decimal(seconds, places);
    }
  }
  // Exactly: a whole number of seconds as itself, otherwise half a frame short of the frames.
  const auto whole = std::max<int64_t>(1, std::llround(frames));
  const bool even = whole % settings.sampling_rate == 0;
  char text[64];
  std::snprintf(text, sizeof text, "%.12g", even ? static_cast<double>(whole / settings.sampling_rate)
                                                 : (static_cast<double>(whole) - 0.5) / rate);
  count_silence_frames(t, std::strtod(text, nullptr), budget);
  return text;
}

// The text of a leader of `cells` cells; t moves on.
std::string leader_text(double& t, uint64_t cells) {
  const double baud = settings.baud_rate;
  for (int places = 1; places <= 3; ++places) {
    const double scale = std::pow(10.0, places);
    const double seconds = std::round(static_cast<double>(cells) / baud * scale) / scale;
    double at = t;
    if (seconds > 0 && leader_cells(at, seconds) == cells) {
      t = at;
      return decimal(seconds, places);
    }
  }
  char text[64];
  for (const double short_by : {0.5, 0.25, 0.75, 0.0}) {
    std::snprintf(text, sizeof text, "%.12g", (static_cast<double>(cells) - short_by) / baud);
    double at = t;
    if (leader_cells(at, std::strtod(text, nullptr)) == cells) break;
  }
  leader_cells(t, std::strtod(text, nullptr));
  return text;
}

// A word quoted for a POSIX shell.
std::string shell_quoted(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

void layout_observer::on_span(const span_event& e) {
  // What lies before the first span is of its kind: the reading took it in to find it.
  if (parts.empty()) {
    parts.push_back({e.kind, e.start + e.samples});
  } else if (parts.back().kind == e.kind) {
    parts.back().amount += e.samples;
  } else if (parts.size() < most_parts) {
    parts.push_back({e.kind, e.samples});
  }
}

void layout_observer::on_block_end(const block_event& e) {
  if (parts.size() < most_parts) {
    parts.push_back({section_kind::block, static_cast<double>(e.bytes)});
    return;
  }
  ++dropped_blocks;
  for (auto p = parts.rbegin(); p != parts.rend(); ++p) {
    if (p->kind == section_kind::block) {
      p->amount += static_cast<double>(e.bytes);
      break;
    }
  }
}

std::string layout_text(const std::vector<layout_observer::part>& parts, const recording_facts& facts) {
  const settings_record kept = settings;
  settings.baud_rate = facts.baud_rate;
  settings.lower_carrier = facts.lower_carrier;
  settings.stop_bits = facts.stop_bits;
  settings.sampling_rate = facts.rate;
  // Frames of the recording at nominal speed in a sample of the reading, and in a cell.
  const double frames = facts.frames_per_sample * facts.speed;
  const double cell_frames = facts.cell * frames;
  std::string text;
  double t = 0;
  for (const layout_observer::part& p : parts) {
    if (!text.empty()) text += ' ';
    if (p.kind == section_kind::block) {
      const auto bytes = static_cast<uint64_t>(p.amount);
      text += 'd' + std::to_string(bytes);
      count_byte_frames(t, bytes, budget);
    } else if (p.kind == section_kind::silence) {
      text += 'b' + silence_text(t, p.amount * frames, cell_frames);
    } else {
      const auto cells = static_cast<uint64_t>(std::max(1.0, std::round(p.amount / facts.cell)));
      text += 'h' + leader_text(t, cells);
    }
  }
  settings = kept;
  return text;
}

std::string settings_line(const std::vector<layout_observer::part>& parts, const recording_facts& facts) {
  std::string line = "settings: -b " + std::to_string(facts.baud_rate) + " -w " + std::to_string(facts.lower_carrier) +
                     " -s " + std::to_string(facts.stop_bits) + " -q " + std::to_string(facts.bits) + " -r " +
                     std::to_string(facts.rate) + " -c " + std::to_string(facts.channels) + " -f " +
                     shell_quoted(layout_text(parts, facts));
  if (facts.polarity < 0) line += " --invert";
  // Full scale is 127/128 of it for 8-bit samples; a tone clearly below it is given its level.
  const double full = facts.bits == 8 ? 127.0 / 128.0 : 32767.0 / 32768.0;
  if (facts.peak > 0 && facts.peak < 0.9 * full) {
    line += " --level=" + std::to_string(std::max<int64_t>(1, std::llround(100 * facts.peak / full)));
  }
  return line + "\n";
}

}  // namespace kelvora
