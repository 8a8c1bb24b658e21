// Cell windows: a window of a cell's length read off the tone ring, its
// edges between samples, as the energies of both tones, its power, and the
// stronger tone's phase; balances of the two tones for timing. A cell of
// many cycles is read in parts that follow the tape's speed within it.
#pragma once

#include "read/levels.h"
#include "read/receiver.h"

namespace kelvora::rx {

// Cells read in one go at most.
constexpr int most_cells = 16;
// Parts a long cell is read in at most.
constexpr int most_parts = 8;

// The sample nearest a position (positions stay far inside 64 bits): the
// floor of position + 0.5, from the conversion's truncation towards zero.
inline int64_t index_at(double position) {
  const double shifted = position + 0.5;
  const int64_t truncated = static_cast<int64_t>(shifted);
  return static_cast<double>(truncated) > shifted ? truncated - 1 : truncated;
}


// The parts a cell is read in: 1, or for a cell of many cycles, parts of two lower cycles.
int parts_of(const reader& r);

// Reads `count` (at most most_cells) cells in a row from a: cell i is the
// window [a + i cell, a + (i + 1) cell); the stronger tone's phase too when
// with_phase. Cells the kept row holds are taken from it; a row read to be
// kept (keep) becomes the kept row.
void read_cells(reader& r, double a, int count, cell_reading* out, bool with_phase = false, bool keep = false);

// Reads `count` (at most most_cells) cells in a row from a with both tones' phases (never from the kept row).
void read_cells_with_both_phases(reader& r, double a, int count, cell_reading* out);

// The balances of `count` cell windows [from[i], from[i] + cell), each read on its own.
void read_balances(reader& r, const double* from, int count, double* out);

// Reads the cell window from a (its stronger tone's phase too when with_phase).
cell_reading read_cell(reader& r, double a, bool with_phase = false);

// The balance of the two tones, each against its own level (or weighed): from -1 (all lower tone) to 1.
double balance(const reader& r, const cell_reading& c);

}  // namespace kelvora::rx
