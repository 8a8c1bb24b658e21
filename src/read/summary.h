// What a reading found: the layout (silence, leader, blocks), the speed, the
// bytes, the framing errors and doubtful bytes, the idle between frames, the
// tone's polarity and level, and the summary text made of them. The summary
// is filled by observing the framing's events.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "read/events.h"

namespace kelvora {

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
  bool cell_unsure = false;           // the baud rate was found from runs of 0 cells all alike
  bool begins_inside = false;         // the recording begins inside a byte (sound, not a leader, before the first)
  bool opening_quiet = false;         // silence came before the first block
  double opening_leader = 0;          // samples of leader before the first block
  double opening_end = 0;             // where the silence and leader before the first block end
  bool block_seen = false;
  uint64_t doubtful = 0;              // bytes with a cell the signal does not decide with confidence
  std::vector<uint64_t> doubtful_offsets;  // image offsets of the first of them
  // Least whole idle 1 cells between a frame's data cells and the next start
  // cell within a block (-1: no frame followed another).
  int32_t least_idle_cells = -1;
  uint64_t idle_counts[8] = {};       // frames by whole idle cells before them, the last 7 or more
  // Blocks that began after a short silence with less than a frame of leader
  // after it and two since the last block (a dropout longer than the
  // framing bridges): their image offsets.
  uint64_t gaps = 0;
  std::vector<uint64_t> gap_offsets;
  bool after_block = false;           // a block has ended and no block has begun since
  double gap_silence = 0;             // samples of silence since it ended
  double gap_leader = 0;              // samples of leader since it ended
  double gap_last_leader = 0;         // samples of leader since the last of that silence
  int32_t polarity = 0;               // +1: kelvora's default phase, -1: as with --invert, 0: unknown
  double tone_peak = 0;               // the tone's amplitude, a fraction of full scale as recorded
};

// Fills a summary from the framing's events.
struct summary_observer final : read_observer {
  read_summary& s;
  explicit summary_observer(read_summary& into) : s(into) {}
  void on_byte(const byte_event& e) override;
  void on_block_start(const block_event& e) override;
  void on_block_end(const block_event& e) override;
  void on_span(const span_event& e) override;
  void on_tone(const tone_event& e) override;
  void on_cut_short() override { s.cut_short = true; }
};

// Adds a silence or leader of the given samples (joined to one just before of the same kind).
void note_span(read_summary& s, section_kind kind, double samples);

// Adds a block of the given bytes.
void note_block(read_summary& s, uint64_t bytes);

// Records a framing error at the given image offset.
void note_framing_error(read_summary& s, uint64_t offset);

// Records a doubtful byte at the given image offset.
void note_doubtful(read_summary& s, uint64_t offset);

// The exit status a reading earns: 0 only when every byte framed and was
// decided with confidence, no block began as after a dropout, the baud rate
// found was sure, and the recording did not end inside a byte.
int read_status(const read_summary& s);

// The summary: layout (durations at the speed found), speed (nominal cell /
// mean cell, both in samples) and bytes, one fact a line; rate in samples a second.
std::string summary_text(const read_summary& s, double nominal_cell, double rate);

}  // namespace kelvora
