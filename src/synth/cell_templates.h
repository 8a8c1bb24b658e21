// Cell templates. Inside one binade of the clock a cell's bytes depend only on
// its frequency, the frame increment D, its frame count and d0, the offset of
// its first frame from its start, all in whole units of the binade. A
// template keeps the bytes of one cell together with an interval [low, high]
// of d0 on which every sample is proven unchanged; a later cell with the same
// key and a d0 in the interval is a copy. doc/exactness.md has the proof.
// The store holds the templates of one binade and one set of settings, found
// by d0: cells whose frames fall elsewhere in the cell repeat in classes of
// d0, and each class has its templates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvora {

// Longest cell, in bytes, a template keeps (and room to copy in wide moves).
constexpr size_t most_template_bytes = 1024;

struct cell_template {
  double low, high;   // d0 proven to give these bytes, in (whole) units of the binade
  double span;        // frames times the frame increment, in units
  int64_t frames;     // frames of the cell
  int32_t tone;       // 0: the lower carrier, 1: twice the lower carrier
  int32_t size;       // bytes: frames times bytes per frame
  const unsigned char* bytes;  // readable for size rounded up to 64 bytes at least
  uint64_t serial;             // a number no other template kept since has had (0: none)
};

// What a cell's samples depend on besides d0, for proving a template.
struct template_key {
  double angular_frequency;  // 2 pi times the cell's frequency
  int64_t increment;         // D in units
  double unit;               // seconds per unit
  double scale;              // sample_scale()
  int32_t quantization_bits, frame_bytes;
};

// Forgets every template and the record of what they saved (new settings or
// recording); cells hold at most cell_bytes, and d0 fall in [0, increment] mostly.
void clear_templates(int64_t cell_bytes);

// Forgets every template, keeping the record (the clock entered another binade).
void forget_templates(int64_t increment);

// Whether the store can hold a template for every class of d0 (classes per tone).
bool templates_fit(uint64_t classes);

// Where the store finds templates by d0: bucket[tone][b] names the template
// (an index into kept, or -1) for the bucket b = d0 * per_bucket, clamped to
// [0, last_bucket]. Valid until templates are cleared.
struct template_index {
  const int16_t* bucket[2];
  const cell_template* kept;
  double per_bucket, last_bucket;
};

// The store's index.
template_index index_of_templates();

// How many templates the store holds.
size_t templates_kept();

// A template of the tone whose interval may hold d0, or nullptr; the caller checks.
const cell_template* template_near(int32_t tone, double d0);

// The template of the tone with this frame count whose interval holds d0, or nullptr.
const cell_template* find_template(int32_t tone, int64_t frames, double d0);

// Counts a cell that had no template: a small allowance for searching one.
void count_template_miss(int64_t frames);

// Counts frames copied from templates: what they saved pays for more proofs.
void count_template_frames(int64_t frames);

// Proves an interval around d0 on which the cell's samples keep the given
// bytes and stores the template; nullptr when none is kept. The interval is
// proven from the polynomial sine and the slope of the sine where that holds,
// or else (while such proofs pay) searched for with the library's sine.
const cell_template* keep_template(const template_key& key, int32_t tone, int64_t d0, int64_t frames,
                                   const unsigned char* bytes);

}  // namespace kelvora
