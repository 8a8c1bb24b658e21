// The summary. Durations are printed to the millisecond with at least one
// decimal (2.0 s, 0.05 s, 0.013 s); at most 64 sections and 100 framing error
// offsets are listed, the rest counted.
#include "read/summary.h"

#include <cmath>
#include <cstdio>

namespace kelvora {

namespace {

constexpr size_t listed_sections = 64;
constexpr size_t listed_offsets = 100;

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

void note_framing_error(read_summary& s, uint64_t offset) {
  ++s.framing_errors;
  if (s.error_offsets.size() < listed_offsets) s.error_offsets.push_back(offset);
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
    text += plural(s.framing_errors, "framing error", "framing errors") + " at image offset";
    text += s.framing_errors == 1 ? " " : "s ";
    for (size_t i = 0; i < s.error_offsets.size(); ++i) {
      text += (i == 0 ? "" : ", ") + std::to_string(s.error_offsets[i]);
    }
    if (s.framing_errors > s.error_offsets.size()) {
      text += " and " + std::to_string(s.framing_errors - s.error_offsets.size()) + " more";
    }
  }
  text += "\n";
  if (s.cut_short) text += "the recording ends inside a byte\n";
  return text;
}

}  // namespace kelvora
