// What a reading found: the layout (silence, leader, blocks), the speed, the
// bytes and the framing errors, and the summary text made of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvora {

enum class section_kind { silence, leader, block };

struct section {
  section_kind kind;
  double amount;  // samples of silence or leader as recorded, or bytes of a block
};

struct read_summary {
  std::vector<section> sections;      // the first sections, in order
  uint64_t unlisted_sections = 0;     // sections past the listed ones
  uint64_t bytes = 0;                 // bytes read into the image
  uint64_t framing_errors = 0;
  std::vector<uint64_t> error_offsets;  // image offsets of the first framing errors
  double cell_sum = 0;                // mean cell lengths times the frames they span, for the mean speed
  uint64_t frames = 0;                // frames spanned
  bool cut_short = false;             // the recording ends inside a byte
};

// Adds a silence or leader of the given samples (joined to one just before of the same kind).
void note_span(read_summary& s, section_kind kind, double samples);

// Adds a block of the given bytes.
void note_block(read_summary& s, uint64_t bytes);

// Records a framing error at the given image offset.
void note_framing_error(read_summary& s, uint64_t offset);

// The summary: layout (durations at the speed found), speed (nominal cell /
// mean cell, both in samples) and bytes, one fact a line; rate in samples a second.
std::string summary_text(const read_summary& s, double nominal_cell, double rate);

}  // namespace kelvora
