// The settings line. Silence is written as ceil(seconds x rate) frames and
// moves the clock by whole seconds only; a leader is whole cells from the
// grid point at or before the clock, while the clock is below its end. The
// layout is walked with the writer's own counts from the clock at 0, and
// each duration is the roundest decimal (0.1, 0.01, 0.001 s) that gives the
// silence frames within the measurement's reach (a cell, or half of one for
// thousandths), or exactly the leader cells read; failing that, the exact
// frames or cells. Where the recording's silence is digital (exact zeros),
// its frames are known exactly and only a duration that writes them all is
// taken. Where frames or cells are exact, 0.0001 s is tried too.
#include "read/settings_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "cli/settings.h"
#include "synth/bit_cell.h"
#include "synth/frame_times.h"
#include "synth/sample_format.h"
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

// The writer's clock and the frames written so far, as the layout is walked.
struct walk {
  double t = 0;
  uint64_t frame = 0;
};

// Cells a leader of `seconds` writes from clock t; t and the frames move on.
uint64_t leader_cells(walk& w, double seconds) {
  const double end = cell_start(w.t) + seconds;
  uint64_t cells = 0;
  if (end > w.t) w.frame += count_cell_frames_run(w.t, std::numeric_limits<uint64_t>::max(), end, budget, cells);
  return cells;
}

// Whether the first frame a section of `kind` writes from clock t is the
// silent code: a cell that starts at the frame (or ends a hair after it)
// begins with a sine value that rounds to the middle.
bool first_frame_silent(double t, section_kind kind) {
  const double tone = two_pi * settings.lower_carrier * (kind == section_kind::leader ? 2.0 : 1.0);
  const double v = std::sin(tone * (t - cell_start(t)));
  const sample_code code{settings.quantization_bits, sample_scale()};
  return encode_sample(v, code) == encode_sample(0.0, code);
}

// Where digital silence begins within `reach` frames of frame `estimate`, or -1.
int64_t silence_start_near(const silent_runs* silent, double estimate, double reach) {
  if (silent == nullptr) return -1;
  const auto run = std::lower_bound(silent->runs.begin(), silent->runs.end(), estimate - reach,
                                    [](const frame_run& r, double f) { return static_cast<double>(r.start) < f; });
  return run != silent->runs.end() && static_cast<double>(run->start) <= estimate + reach ? run->start : -1;
}

// The leader cells, near `cells`, after which digital silence begins at frame
// `start` (the leader's last frame may be silent too); 0 when none fits.
uint64_t cells_to_silence(const walk& w, uint64_t cells, int64_t start) {
  for (const int64_t off : {0, -1, 1, -2, 2}) {
    const int64_t c = static_cast<int64_t>(cells) + off;
    if (c < 1) continue;
    double t = w.t;
    uint64_t done = 0;
    const auto end = static_cast<int64_t>(w.frame + count_cell_frames_run(t, static_cast<uint64_t>(c), INFINITY, budget, done));
    if (end == start || end == start + 1) return static_cast<uint64_t>(c);
  }
  return 0;
}

// The frames of silence from frame f on where the recording's silence there
// is digital and ends within `reach` frames of `estimate`, the next section
// (`next`, silence for none) beginning at clock t; 0 when unknown.
uint64_t exact_silence(const silent_runs* silent, uint64_t f, double estimate, double reach, double t,
                       section_kind next) {
  if (silent == nullptr) return 0;
  const frame_run* run = silent_run_at(*silent, static_cast<int64_t>(f));
  if (run == nullptr) return 0;
  int64_t frames = run->end - static_cast<int64_t>(f);
  if (next != section_kind::silence && first_frame_silent(t, next)) --frames;
  if (frames <= 0 || std::fabs(static_cast<double>(frames) - estimate) > reach) return 0;
  return static_cast<uint64_t>(frames);
}

// The text of a silence of about `frames` frames, measured to within `cell`
// frames (a tenth or hundredth of a second is taken within a cell, a
// thousandth within half of one), or of exactly `frames` when `exact`; the
// walk moves on.
std::string silence_text(walk& w, double frames, double cell, bool exact) {
  const double rate = settings.sampling_rate;
  for (int places = 1; places <= (exact ? 4 : 3); ++places) {
    const double scale = std::pow(10.0, places);
    const double seconds = std::round(frames / rate * scale) / scale;
    const double reach = exact ? 0.0 : std::max(2.0, places < 3 ? cell : cell / 2);
    double at = w.t;
    const uint64_t written = count_silence_frames(at, seconds, budget);
    if (seconds > 0 && std::fabs(static_cast<double>(written) - frames) <= reach) {
      w.t = at;
      w.frame += written;
      return decimal(seconds, places);
    }
  }
  // Exactly: a whole number of seconds as itself, otherwise half a frame short of the frames.
  const auto whole = std::max<int64_t>(1, std::llround(frames));
  const bool even = whole % settings.sampling_rate == 0;
  char text[64];
  std::snprintf(text, sizeof text, "%.12g", even ? static_cast<double>(whole / settings.sampling_rate)
                                                 : (static_cast<double>(whole) - 0.5) / rate);
  w.frame += count_silence_frames(w.t, std::strtod(text, nullptr), budget);
  return text;
}

// The text of a leader of `cells` cells; the walk moves on.
std::string leader_text(walk& w, uint64_t cells) {
  const double baud = settings.baud_rate;
  for (int places = 1; places <= 4; ++places) {
    const double scale = std::pow(10.0, places);
    const double seconds = std::round(static_cast<double>(cells) / baud * scale) / scale;
    walk at = w;
    if (seconds > 0 && leader_cells(at, seconds) == cells) {
      w = at;
      return decimal(seconds, places);
    }
  }
  char text[64];
  for (const double short_by : {0.5, 0.25, 0.75, 0.0}) {
    std::snprintf(text, sizeof text, "%.12g", (static_cast<double>(cells) - short_by) / baud);
    walk at = w;
    if (leader_cells(at, std::strtod(text, nullptr)) == cells) break;
  }
  leader_cells(w, std::strtod(text, nullptr));
  return text;
}

// A word quoted for a POSIX shell.
std::string shell_quoted(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

double level_percent(const recording_facts& facts) {
  // Full scale is 127/128 of it for 8-bit samples; a tone clearly below it is given its level.
  const double full = facts.bits == 8 ? 127.0 / 128.0 : 32767.0 / 32768.0;
  if (!(facts.peak > 0 && facts.peak < 0.9 * full)) return 100;
  const auto heard = std::max<int64_t>(1, std::llround(100 * facts.peak / full));
  // A recording written digitally at level P peaks where its sine does, at
  // s = P x full scale in codes: 16-bit samples truncate s v toward 0, so the
  // peak is floor(s); 8-bit ones are 128 - s v rounded down, so ceil(s) on
  // the side where v is positive. The level within three percent of the
  // tone's that peaks there (or a hair under, where no frame fell on the
  // sine's crest) is the level written.
  if (facts.silence != nullptr && facts.silence->peak > 0) {
    const double unit = facts.bits == 8 ? 128.0 : 32768.0;
    const double top = std::round(facts.silence->peak * unit);
    for (const bool crest : {true, false}) {
      for (const int64_t off : {0, 1, -1, 2, -2, 3, -3}) {
        const int64_t level = heard + off;
        if (level < 1 || level > 99) continue;
        const double code = (unit - 1) * static_cast<double>(level) / 100.0;
        const double at_crest = facts.bits == 8 ? std::ceil(code) : std::floor(code);
        if (crest ? top == at_crest : top <= at_crest && top >= 0.998 * code - 1) return static_cast<double>(level);
      }
    }
  }
  return static_cast<double>(heard);
}

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
  settings.quantization_bits = facts.bits;
  settings.invert = facts.polarity < 0;
  settings.level_percent = level_percent(facts);
  // Frames of the recording at nominal speed in a sample of the reading, and in a cell.
  const double frames = facts.frames_per_sample * facts.speed;
  const double cell_frames = facts.cell * frames;
  std::string text;
  walk w;
  for (size_t i = 0; i < parts.size(); ++i) {
    const layout_observer::part& p = parts[i];
    if (!text.empty()) text += ' ';
    if (p.kind == section_kind::block) {
      const auto bytes = static_cast<uint64_t>(p.amount);
      text += 'd' + std::to_string(bytes);
      w.frame += count_byte_frames(w.t, bytes, budget);
      // A leader too short to be heard as one (a cell or two) before digital silence.
      const bool silence_next = i + 1 < parts.size() && parts[i + 1].kind == section_kind::silence;
      const int64_t start = silence_next ? silence_start_near(facts.silence, static_cast<double>(w.frame) + cell_frames,
                                                              2 * cell_frames) : -1;
      if (start > static_cast<int64_t>(w.frame) + 1) {
        const auto cells = static_cast<uint64_t>(std::max(1.0, std::round(static_cast<double>(start - static_cast<int64_t>(w.frame)) / cell_frames)));
        if (const uint64_t exact = cells_to_silence(w, cells, start); exact > 0) text += " h" + leader_text(w, exact);
      }
    } else if (p.kind == section_kind::silence) {
      const section_kind next = i + 1 < parts.size() ? parts[i + 1].kind : section_kind::silence;
      const double estimate = p.amount * frames;
      const uint64_t exact = exact_silence(facts.silence, w.frame, estimate, cell_frames + 2, w.t, next);
      text += 'b' + silence_text(w, exact > 0 ? static_cast<double>(exact) : estimate, cell_frames, exact > 0);
    } else {
      auto cells = static_cast<uint64_t>(std::max(1.0, std::round(p.amount / facts.cell)));
      // Where digital silence follows, the leader ends where it begins.
      if (i + 1 < parts.size() && parts[i + 1].kind == section_kind::silence) {
        const double end = static_cast<double>(w.frame) + static_cast<double>(cells) * cell_frames;
        const int64_t start = silence_start_near(facts.silence, end, 1.5 * cell_frames);
        if (const uint64_t exact = start >= 0 ? cells_to_silence(w, cells, start) : 0; exact > 0) cells = exact;
      }
      text += 'h' + leader_text(w, cells);
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
  const double level = level_percent(facts);
  if (level < 100) line += " --level=" + std::to_string(std::llround(level));
  return line + "\n";
}

}  // namespace kelvora
