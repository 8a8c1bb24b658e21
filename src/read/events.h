// What the framing finds, as it finds it: each byte, a block's start and
// end, spans of silence and leader. The image, the summary and anything
// else that follows a reading (a live meter, a trace) observe these events;
// the framing writes into none of them. Positions are in samples of the
// tone ring (after decimation).
#pragma once

#include <cstdint>
#include <vector>

namespace kelvora {

enum class section_kind { silence, leader, block };

// One frame read.
struct byte_event {
  uint64_t offset = 0;         // its place in the image
  unsigned char value = 0;
  bool framing_error = false;  // start cell not 0, a stop cell not 1, or a cell of no tone
  bool doubtful = false;       // a cell the signal does not decide with confidence, a 0 in the idle line
                               // before it, or deep in a run of frames without a bit change
  double position = 0;         // the start cell's leading edge
  double cell = 0;             // the cell length the frame was read with
  int32_t idle_cells = -1;     // whole 1 cells since the last frame's data cells (-1: a block's first)
};

// A block's start (bytes 0, cell as found) or end (bytes in it, cell its mean).
struct block_event {
  double position = 0;  // the first frame's start, or where the frame after the last would start
  double cell = 0;      // samples in a cell
  uint64_t bytes = 0;
  // A start's: where the tone running on into its first frame began (at
  // most position), and whether a clear 0 cell in that tone, before the
  // first frame, was passed over (or the end of one the recording cut).
  double tone_from = 0;
  bool passed_zero = false;
};

// Silence or leader between blocks.
struct span_event {
  section_kind kind = section_kind::silence;
  double start = 0;
  double samples = 0;
};

// The tone as the framing hears it, once it has heard enough to tell.
struct tone_event {
  int32_t polarity = 0;  // +1: the phase kelvora writes by default, -1: as with --invert, 0: unknown
  double peak = 0;       // the tone's amplitude, a fraction of full scale as recorded
};

// An observer of a reading; each event does nothing unless overridden.
struct read_observer {
  virtual ~read_observer() = default;
  // The reading begins: positions and cells count samples at `rate` a second;
  // a cell at the nominal baud rate is nominal_cell of them.
  virtual void on_begin(double /*rate*/, double /*nominal_cell*/) {}
  virtual void on_byte(const byte_event&) {}
  virtual void on_block_start(const block_event&) {}
  virtual void on_block_end(const block_event&) {}
  virtual void on_span(const span_event&) {}
  virtual void on_tone(const tone_event&) {}
  virtual void on_cut_short() {}  // the recording ends inside a frame
  virtual void on_end() {}        // the recording has ended and every event was told
};

// Hands every event to each of several observers, in order.
struct read_observers final : read_observer {
  std::vector<read_observer*> list;
  void on_begin(double rate, double nominal_cell) override {
    for (read_observer* o : list) o->on_begin(rate, nominal_cell);
  }
  void on_byte(const byte_event& e) override { for (read_observer* o : list) o->on_byte(e); }
  void on_block_start(const block_event& e) override { for (read_observer* o : list) o->on_block_start(e); }
  void on_block_end(const block_event& e) override { for (read_observer* o : list) o->on_block_end(e); }
  void on_span(const span_event& e) override { for (read_observer* o : list) o->on_span(e); }
  void on_tone(const tone_event& e) override { for (read_observer* o : list) o->on_tone(e); }
  void on_cut_short() override { for (read_observer* o : list) o->on_cut_short(); }
  void on_end() override { for (read_observer* o : list) o->on_end(); }
};

}  // namespace kelvora
