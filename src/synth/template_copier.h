// The vector template copier: runs of cells that fit the last template of
// their tone are copied four cells (AVX2) or two at a time, each cell's tests
// exactly those a cell alone passes (cell_templates.h).
#pragma once

#include <cstdint>
#include <cstring>

#include "synth/cell_templates.h"

namespace kelvora {

// Where a run of copies stands: the next cell's first frame (in units of the
// binade), where its bytes go, and the frames copied so far.
struct copy_position {
  double T;
  unsigned char* p;
  int64_t copied;
};

// The templates a run copies from, per tone, and the limits every cell meets.
struct copy_limits {
  const cell_template* zero;  // for 0 cells
  const cell_template* one;   // for 1 cells
  double increment;           // the frame increment, in units
  double until;               // no cell starts at or past this, in units
};

// Copies the cells from the first on that fit the template of their tone
// (tone i is bit i of tones), cell j starting at start[j] and ending at
// finish[j]; returns how many, at moves past them.
int32_t copy_fitting(const double* start, const double* finish, int32_t cells, uint64_t tones, copy_position& at,
                     const copy_limits& limits);

// The cells of a call by their grid indices: cell j has grid index
// m + j chain, starts at s = index / carrier and ends at s + length (as
// the plain computation makes them), times per_unit in units of the binade.
struct cell_grid {
  double m, chain, carrier, length, per_unit;
  double start_of(int32_t j) const { return (m + j * chain) / carrier; }
};

// Copies runs of cells from the first on, as copy_fitting does, with the
// bounds of only the first and last cell of each run made from the grid;
// returns how many cells, at moves past them.
int32_t copy_runs_by_grid(const cell_grid& grid, int32_t cells, uint64_t tones, copy_position& at,
                          const copy_limits& limits);

// Copies the cells from the first on that fit the template the index finds
// for their d0 (cells in classes of d0); returns how many, at moves past them.
int32_t copy_by_class(const double* start, const double* finish, int32_t cells, uint64_t tones, copy_position& at,
                      const template_index& index, double increment, double until);

// Copies size bytes to p, in whole 32-byte moves where they are short (p
// and bytes have room for that).
inline void copy_cell_bytes(unsigned char* p, const unsigned char* bytes, int32_t size) {
  if (size <= 32) {
    std::memcpy(p, bytes, 32);
  } else if (size <= 64) {
    std::memcpy(p, bytes, 64);
  } else {
    std::memcpy(p, bytes, static_cast<size_t>(size));
  }
}

// Moves `size` bytes (a multiple of 32) from `from` to `to`: in whole 32-byte
// vector moves where `wide` (code built for AVX2 only), else as memcpy
// makes them (which splits them in 16-byte halves).
template <int size, bool wide>
[[gnu::always_inline]] inline void move_bytes(unsigned char* to, const unsigned char* from) {
  if constexpr (wide) {
    typedef unsigned char block __attribute__((vector_size(32), aligned(1), may_alias));
    for (int k = 0; k < size; k += 32) *reinterpret_cast<block*>(to + k) = *reinterpret_cast<const block*>(from + k);
  } else {
    std::memcpy(to, from, size);
  }
}

// Copies a cell of `size` bytes to p: in one move of `move` bytes (32 or 64,
// the cell at most that long), or with move 0 as long as it is, in 32-byte
// moves where `wide` (the last reaching less than 32 bytes past: p and bytes
// have room for that).
template <int move, bool wide>
[[gnu::always_inline]] inline void move_cell(unsigned char* p, const unsigned char* bytes, int64_t size) {
  if constexpr (move != 0) {
    move_bytes<move, wide>(p, bytes);
  } else if constexpr (wide) {
    for (int64_t k = 0; k < size; k += 32) move_bytes<32, true>(p + k, bytes + k);
  } else {
    std::memcpy(p, bytes, static_cast<size_t>(size));
  }
}

// Copies a template's bytes to p, as copy_cell_bytes.
inline void copy_template(unsigned char* p, const cell_template& c) { copy_cell_bytes(p, c.bytes, c.size); }

}  // namespace kelvora
