// The summary. Durations are printed to the millisecond with at least one
// decimal (2.0 s, 0.05 s, 0.013 s); at most 64 sections and 100 offsets of
// framing errors (and of doubtful bytes, and of blocks as after a dropout)
// are listed, the rest counted.
#include "read/summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cli/settings.h"

namespace kelvora {

namespace {

constexpr size_t listed_sections = 64;
constexpr size_t listed_offsets = 100;
// Cells at the recording's start within which tone begins with the recording.
constexpr double opening_cells = 4;
// Frames of silence, at most, after which a block with less than a frame of
// leader after the silence, and less than two since the last block (stop
// cells may read as a little leader on either side of it), may follow a
// dropout rather than a gap the tape was written with: no machine starts a
// block without a leader after a pause this short, while the tape losing
// contact for longer than the framing bridges (block.cc's
// most_dropout_frames) looks just like it. A dip inside a leader leaves more
// leader than that before it.
constexpr double most_dropout_gap_frames = 32;

std::string seconds_text(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", std::round(seconds * 1000) / 1000);
  std::string t = text;
  while (t.size() > 3 && t.back() == '0' && t[t.size() - 2] != '.') t.pop_back();
  return t;
}

std::string plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "N things at image offset(s) a, b and k more".
std::string offsets_text(uint64_t n, const char* one, const char* many, const std::vector<uint64_t>& offsets) {
  std::string text = plural(n, one, many) + " at image offset";
  text += n == 1 ? " " : "s ";
  for (size_t i = 0; i < offsets.size(); ++i) text += (i == 0 ? "" : ", ") + std::to_string(offsets[i]);
  if (n > offsets.size()) text += " and " + std::to_string(n - offsets.size()) + " more";
  return text;
}

// Counts one more at an image offset, listing the first offsets.
void count_at(uint64_t& count, std::vector<uint64_t>& offsets, uint64_t offset) {
  ++count;
  if (offsets.size() < listed_offsets) offsets.push_back(offset);
}

}  // namespace

void note_span(read_summary& s, section_kind kind, double samples) {
  if (!s.sections.empty() && s.unlisted_sections == 0 && s.sections.back().kind == kind) {
    s.sections.back().amount += samples;
    return;
  }
  if (s.sections.size() < listed_sections) {
    s.sections.push_back({kind, samples});
  } else {
    ++s.unlisted_sections;
  }
}

void note_block(read_summary& s, uint64_t bytes) {
  if (s.sections.size() < listed_sections) {
    s.sections.push_back({section_kind::block, static_cast<double>(bytes)});
  } else {
    ++s.unlisted_sections;
  }
}

void note_framing_error(read_summary& s, uint64_t offset) { count_at(s.framing_errors, s.error_offsets, offset); }

void note_doubtful(read_summary& s, uint64_t offset) { count_at(s.doubtful, s.doubtful_offsets, offset); }

int read_status(const read_summary& s) {
  return s.framing_errors > 0 || s.doubtful > 0 || s.gaps > 0 || s.cell_unsure || s.cut_short || s.begins_inside
             ? 1
             : 0;
}

void summary_observer::on_block_start(const block_event& e) {
  const double frame = (9.0 + settings.stop_bits) * e.cell;
  if (s.after_block && s.gap_silence > 0 && s.gap_silence < most_dropout_gap_frames * frame &&
      s.gap_last_leader < frame && s.gap_leader < 2 * frame) {
    count_at(s.gaps, s.gap_offsets, s.bytes);
  }
  s.after_block = false;
  if (s.block_seen) return;
  s.block_seen = true;
  // Sound before the first frame, after any silence, longer than the stop
  // cells and not a leader of a frame's length, is the end of a byte the
  // recording did not begin with (or one the reading could not find there).
  const double sound = e.position - (s.opening_quiet ? s.opening_end : 0.0);
  s.begins_inside = s.opening_leader < frame && sound > std::max(1.0, settings.stop_bits + 0.5) * e.cell;
  // So is a clear 0 cell passed over in tone that ran from the recording's
  // first cells on into the first frame (the windows that learn the floor
  // first may not count as tone): a byte's start cell or data that was not
  // framed (the layout shows such cells as silence).
  if (e.passed_zero && e.tone_from < opening_cells * e.cell) s.begins_inside = true;
}

void summary_observer::on_byte(const byte_event& e) {
  ++s.bytes;
  if (e.framing_error) {
    note_framing_error(s, e.offset);
  } else if (e.doubtful) {
    note_doubtful(s, e.offset);
  }
  if (e.idle_cells >= 0 && !e.framing_error) {
    ++s.idle_counts[std::min(e.idle_cells, 7)];
    if (s.least_idle_cells < 0 || e.idle_cells < s.least_idle_cells) s.least_idle_cells = e.idle_cells;
  }
}

void summary_observer::on_block_end(const block_event& e) {
  // The mean speed weighs each block's mean cell by the frames it spans.
  const uint64_t spanned = e.bytes > 1 ? e.bytes - 1 : e.bytes;
  s.cell_sum += e.cell * static_cast<double>(spanned);
  s.frames += spanned;
  note_block(s, e.bytes);
  s.after_block = true;
  s.gap_silence = 0;
  s.gap_leader = 0;
}

void summary_observer::on_span(const span_event& e) {
  note_span(s, e.kind, e.samples);
  if (e.kind == section_kind::silence) {
    s.gap_silence += e.samples;
    s.gap_last_leader = 0;
  } else if (e.kind == section_kind::leader) {
    s.gap_leader += e.samples;
    s.gap_last_leader += e.samples;
  }
  if (s.block_seen) return;
  if (e.kind == section_kind::silence) s.opening_quiet = true;
  if (e.kind == section_kind::leader) s.opening_leader += e.samples;
  s.opening_end = e.start + e.samples;
}

void summary_observer::on_tone(const tone_event& e) {
  s.polarity = e.polarity;
  s.tone_peak = e.peak;
}

std::string summary_text(const read_summary& s, double nominal_cell, double rate) {
  const double speed = s.frames > 0 ? nominal_cell / (s.cell_sum / static_cast<double>(s.frames)) : 1.0;
  std::string text = "layout:";
  const char* separator = " ";
  for (const section& part : s.sections) {
    text += separator;
    separator = ", ";
    if (part.kind == section_kind::block) {
      text += "a block of " + plural(static_cast<uint64_t>(part.amount), "byte", "bytes");
    } else {
      text += (part.kind == section_kind::silence ? "silence " : "leader ") +
              seconds_text(part.amount / rate * speed) + " s";
    }
  }
  if (s.unlisted_sections > 0) text += ", and " + plural(s.unlisted_sections, "more section", "more sections");
  text += "\n";
  if (s.frames > 0) {
    char line[64];
    std::snprintf(line, sizeof line, "speed: %.3f of nominal\n", speed);
    text += line;
  }
  text += "read " + plural(s.bytes, "byte", "bytes") + ", ";
  if (s.framing_errors == 0) {
    text += "no framing error";
  } else {
    text += offsets_text(s.framing_errors, "framing error", "framing errors", s.error_offsets);
  }
  text += "\n";
  if (s.doubtful > 0) {
    text += offsets_text(s.doubtful, "doubtful byte", "doubtful bytes", s.doubtful_offsets) + "\n";
  }
  if (s.gaps > 0) {
    text += offsets_text(s.gaps, "block", "blocks", s.gap_offsets) +
            " began after a short silence without leader, as after a dropout: bytes may be missing before " +
            (s.gaps == 1 ? "it\n" : "each\n");
  }
  if (s.cell_unsure) {
    text += "the baud rate was found from bytes that all look alike, and a multiple of it would read them too: "
            "give -b, -w and -s to be sure\n";
  }
  if (s.begins_inside) text += "the recording begins inside a byte\n";
  if (s.cut_short) text += "the recording ends inside a byte\n";
  return text;
}

}  // namespace kelvora
