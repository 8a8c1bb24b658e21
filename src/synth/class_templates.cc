// Class templates (class_templates.h). Frame i of a cell with offset d has
// the phase fl(w (d + i D) unit), its sample the code of the library's sine
// there; each frame's sample is proven for an interval of d (frame_proof.h).
// A template holds for d0 where every frame's interval holds it; the store
// keeps a bound on the greatest of the frames' lower ends and the least of
// their upper ends, and the frames in a heap by where their intervals end
// the way d0 moves, so that a patch makes only the frames that ran out;
// 16-bit frames keep the next few codes proven ahead.
#include "synth/class_templates.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>

#include "synth/code_segments.h"
#include "synth/frame_proof.h"
#include "synth/sample_format.h"
#include "synth/tone_kernels.h"

namespace kelvora {

namespace {

// The room all class templates may take, intervals included.
constexpr size_t class_room = size_t{1} << 20;

// The codes a frame has proven ahead the way d0 moves, from its last proof:
// code k holds from the end before it (the frame's interval's for the first)
// to end[k]; those before `at` are used up.
constexpr int onward_codes = 4;
struct codes_ahead {
  int64_t end[onward_codes];
  int16_t code[onward_codes];
  int8_t at, count;
};

struct class_template {
  double low, high;  // d0 every frame holds (empty while frames is 0)
  double span;       // frames times the increment, in units
  int64_t frames;
  int32_t size;      // bytes
  unsigned char* bytes;
  double* frame_low;  // per frame: the interval of d0 its sample holds for
  double* frame_high;
  frame_expansion* expansion;  // per frame, where codes are carried on: what its last proof knew
  codes_ahead* ahead;          // and the codes proven from it, not yet used
  // The frames by where their intervals end the way d0 moves (a heap, the
  // nearest end on top): the upper end, or the lower end negated; past the
  // last frame an end mark, infinity.
  double* expiry;
  int32_t* expiring;
};

struct class_store {
  std::unique_ptr<unsigned char[]> bytes;
  std::unique_ptr<double[]> bounds;
  std::unique_ptr<int32_t[]> frames;
  std::unique_ptr<frame_expansion[]> expansions;
  std::unique_ptr<codes_ahead[]> codes;
  std::unique_ptr<class_template[]> slot;  // tone * classes + class
  uint64_t slots = 0, classes = 0, most_frames = 0, bytes_per_slot = 0;
  template_key key[2];  // per tone, in the clock's binade
  int direction = 0;    // the way a class's d0 moves in the binade: +1, -1 or 0
  bool carry_on = false;  // whether a frame's next codes are proven from its last proof
  uint64_t changes = 0;   // templates patched or emptied so far
  uint64_t proven = 0;    // frames proven so far
  code_segments segments;  // for 8-bit samples: codes proven by phase, no sine needed
  std::unique_ptr<uint64_t[]> stamps;  // per slot, the count of changes when it last changed
  // Per position i of a call's cells from class 0 (class i mod classes, up
  // to classes + 64), the templates of a 0 cell and of a 1 cell there.
  std::unique_ptr<class_template*[]> by_position;
  int32_t move = 0;  // bytes each cell's copy moves: 32 or 64 (cells at most that long); 0: longer cells
};

class_store store;

// Bytes of one slot: the longest cell, rounded up for copies in 32-byte moves.
size_t slot_bytes(const cell_plan& plan) { return ((plan.max_frames * plan.frame_bytes + 63) & ~size_t{63}) + 64; }

void empty_slots() {
  ++store.changes;
  for (uint64_t n = 0; n < store.slots; ++n) {
    store.stamps[n] = store.changes;
    class_template& c = store.slot[n];
    c.low = INFINITY;
    c.high = -INFINITY;
    c.span = 0;
    c.frames = 0;
    c.size = 0;
  }
}

// Moves the heap's entry at `at` down to its place: the hole goes down to a
// leaf by the nearer child alone (the end mark past the last frame stands in
// for a missing child: no branch to mispredict), and the entry comes up from
// there, no higher than `at`. A new interval mostly ends far ahead and rises
// little: one comparison a level where a plain sift makes two.
void sift_down(double* expiry, int32_t* expiring, int64_t n, int64_t at) {
  const double key = expiry[at];
  const int32_t frame = expiring[at];
  const int64_t top = at;
  for (int64_t child = 2 * at + 1; child < n; child = 2 * at + 1) {
    child += expiry[child + 1] < expiry[child] ? 1 : 0;
    expiry[at] = expiry[child];
    expiring[at] = expiring[child];
    at = child;
  }
  while (at > top) {
    const int64_t parent = (at - 1) / 2;
    if (!(key < expiry[parent])) break;
    expiry[at] = expiry[parent];
    expiring[at] = expiring[parent];
    at = parent;
  }
  expiry[at] = key;
  expiring[at] = frame;
}

// Keeps frame i's sample and the interval it is proven for.
void keep(class_template& c, const template_key& key, int32_t channels, int64_t i, const frame_proof& f) {
  store_sample(f.code, key.quantization_bits, channels, c.bytes + i * key.frame_bytes);
  c.frame_low[i] = static_cast<double>(f.low);
  c.frame_high[i] = static_cast<double>(f.high);
}

// Makes frame i anew at d0 and proves its interval (inline in the patches,
// whose proofs are the hot path).
[[gnu::always_inline]] inline void remake(class_template& c, const template_key& key, int32_t channels, int64_t d0,
                                          int64_t i, int64_t frames) {
  // (Segments serve 8-bit samples, carrying a proof on 16-bit ones only: a
  // frame proven by a segment leaves no expansion behind, and needs none.)
  frame_expansion* expansion = nullptr;
  if (store.carry_on) {
    expansion = &c.expansion[i];
    c.ahead[i].at = c.ahead[i].count = 0;  // they were proven from the expansion this replaces
    expansion->offset = NAN;                // and that is gone too (a segment's proof leaves none)
  }
  frame_proof f{0, 0, 0};
  if (prove_frame_by_segments(store.segments, key, d0, i, f)) {
    keep(c, key, channels, i, f);
    return;
  }
  keep(c, key, channels, i, prove_frame(key, d0, i, frames, store.direction, expansion));
}

// Frame i once d0 has moved past its interval the way d0 moves: its next
// codes proven from what its last proof knew, a few at a time and kept for
// the visits to come, until one holds d0; else made anew at d0.
void move_on(class_template& c, const template_key& key, int32_t channels, int64_t d0, int64_t i, int64_t frames) {
  const int direction = store.direction;
  if (store.carry_on) {
    codes_ahead& next = c.ahead[i];
    for (int codes = 0; codes < 2 * onward_codes; ++codes) {
      // The interval's end the way d0 moves, and the next code's first offset past it.
      double& behind = direction > 0 ? c.frame_low[i] : c.frame_high[i];
      double& end = direction > 0 ? c.frame_high[i] : c.frame_low[i];
      const int64_t edge = static_cast<int64_t>(end) + direction;
      if (next.at == next.count) {
        frame_proof proofs[onward_codes];
        next.at = 0;
        next.count = static_cast<int8_t>(
            prove_frame_onward(key, frames, direction, c.expansion[i], edge, proofs, onward_codes));
        if (next.count == 0) break;
        for (int k = 0; k < next.count; ++k) {
          next.end[k] = direction > 0 ? proofs[k].high : proofs[k].low;
          next.code[k] = static_cast<int16_t>(proofs[k].code);
        }
      }
      const int64_t last = next.end[next.at];
      const int code = next.code[next.at];
      ++next.at;
      behind = static_cast<double>(edge);
      end = static_cast<double>(last);
      if (direction > 0 ? d0 <= last : d0 >= last) {
        store_sample(code, key.quantization_bits, channels, c.bytes + i * key.frame_bytes);
        return;
      }
    }
  }
  remake(c, key, channels, d0, i, frames);
}

// Makes the frames of the template that do not hold d0 anew at d0 and proves
// them; frames past the template's old count are new. Where d0 has only
// moved on the way it moves, the frames whose intervals end before it come
// off the heap one by one; otherwise every frame is looked at.
void patch(class_template& c, const template_key& key, int32_t channels, int64_t d0, int64_t frames) {
  const int direction = store.direction;
  const auto d = static_cast<double>(d0);
  const double ahead = direction * d;
  if (direction != 0 && frames == c.frames && (direction > 0 ? d >= c.low : d <= c.high)) {
    while (c.expiry[0] < ahead) {
      const int32_t i = c.expiring[0];
      move_on(c, key, channels, d0, i, frames);
      ++store.proven;
      // The side behind d0 keeps a bound at least the frames' own.
      if (direction > 0) {
        c.low = std::max(c.low, c.frame_low[i]);
        c.expiry[0] = c.frame_high[i];
      } else {
        c.high = std::min(c.high, c.frame_high[i]);
        c.expiry[0] = -c.frame_low[i];
      }
      sift_down(c.expiry, c.expiring, frames, 0);
    }
    (direction > 0 ? c.high : c.low) = direction * c.expiry[0];
    return;
  }
  double low = -INFINITY;
  double high = INFINITY;
  for (int64_t i = 0; i < frames; ++i) {
    if (i >= c.frames || !(d >= c.frame_low[i] && d <= c.frame_high[i])) {
      remake(c, key, channels, d0, i, frames);
      ++store.proven;
    }
    low = std::max(low, c.frame_low[i]);
    high = std::min(high, c.frame_high[i]);
    c.expiry[i] = direction >= 0 ? c.frame_high[i] : -c.frame_low[i];
    c.expiring[i] = static_cast<int32_t>(i);
  }
  c.expiry[frames] = INFINITY;
  for (int64_t at = frames / 2 - 1; at >= 0; --at) sift_down(c.expiry, c.expiring, frames, at);
  c.low = low;
  c.high = high;
  c.frames = frames;
  c.span = static_cast<double>(frames * key.increment);
  c.size = static_cast<int32_t>(frames * key.frame_bytes);
}

// Whether a frame's next codes are proven from its last proof: for 16-bit
// samples, whose codes are so narrow that one proof's polynomial reaches
// over hundreds of them (8-bit codes outgrow its reach after a few), and
// where what the proofs knew and the codes proven ahead (80 bytes a frame)
// stay near the cache beside the templates: 8192 frames at most.
bool carry_on_pays(const cell_plan& plan) {
  return plan.quantization_bits == 16 && 2 * plan.classes * plan.max_frames <= 8192;
}

}  // namespace

bool use_class_templates(const cell_plan& plan) {
  const uint64_t slots = 2 * plan.classes;
  const uint64_t per_slot = slot_bytes(plan) + (3 * sizeof(double) + sizeof(int32_t)) * plan.max_frames +
                            sizeof(double) + sizeof(class_template);
  if (plan.max_frames * plan.frame_bytes > most_template_bytes || slots * per_slot > class_room) return false;
  if (slots != store.slots || plan.max_frames != store.most_frames || slot_bytes(plan) != store.bytes_per_slot) {
    store.slots = slots;
    store.most_frames = plan.max_frames;
    store.bytes_per_slot = slot_bytes(plan);
    store.bytes.reset(new unsigned char[slots * slot_bytes(plan)]);
    // Per slot the frames' lower and upper ends and the heap, with room for
    // the heap's end mark.
    const uint64_t bounds_per_slot = 3 * plan.max_frames + 1;
    store.bounds.reset(new double[slots * bounds_per_slot]);
    store.frames.reset(new int32_t[slots * plan.max_frames]);
    store.slot.reset(new class_template[slots]);
    store.stamps.reset(new uint64_t[slots]);
    for (uint64_t n = 0; n < slots; ++n) {
      class_template& c = store.slot[n];
      c.bytes = store.bytes.get() + n * slot_bytes(plan);
      c.frame_low = store.bounds.get() + n * bounds_per_slot;
      c.frame_high = c.frame_low + plan.max_frames;
      c.expiry = c.frame_high + plan.max_frames;
      c.expiring = store.frames.get() + n * plan.max_frames;
    }
    store.by_position.reset(new class_template*[2 * (plan.classes + 65)]);
    for (uint64_t i = 0; i < plan.classes + 65; ++i) {
      store.by_position[2 * i] = &store.slot[i % plan.classes];
      store.by_position[2 * i + 1] = &store.slot[plan.classes + i % plan.classes];
    }
  }
  const uint64_t most_bytes = plan.max_frames * plan.frame_bytes;
  store.move = most_bytes <= 32 ? 32 : most_bytes <= 64 ? 64 : 0;
  store.carry_on = carry_on_pays(plan);
  if (plan.quantization_bits != store.segments.bits || plan.scale != store.segments.scale) {
    make_code_segments(plan.quantization_bits, plan.scale, store.segments);
  }
  if (store.carry_on) {
    store.expansions.reset(new frame_expansion[slots * plan.max_frames]);
    store.codes.reset(new codes_ahead[slots * plan.max_frames]);
    for (uint64_t n = 0; n < slots; ++n) {
      store.slot[n].expansion = store.expansions.get() + n * plan.max_frames;
      store.slot[n].ahead = store.codes.get() + n * plan.max_frames;
    }
  }
  store.classes = plan.classes;
  empty_slots();
  return true;
}

bool enter_class_binade(const cell_plan& plan, const binade_grid& z) {
  empty_slots();
  // A class comes back after round_frames frames of D units each, its cell's
  // start after round_frames steps (rounded to a unit): d0 moves by about
  // round_frames (D - step / unit) each time.
  const double step_units = plan.step * z.per_unit;  // exact: a power-of-two scaling
  const auto increment = static_cast<double>(z.increment);
  store.direction = increment > step_units ? 1 : increment < step_units ? -1 : 0;
  for (int tone = 0; tone < 2; ++tone) {
    store.key[tone] = {plan.angular[tone], z.increment, z.unit, plan.scale, plan.quantization_bits,
                       static_cast<int32_t>(plan.frame_bytes)};
  }
  // Codes a frame of the faster tone crosses, at most, from one visit of its
  // class to the next. Proving a frame anew costs some fifty times making it
  // by the walk, so a frame must keep its code for about as many visits
  // (measured: 16-bit cells of 20 frames at 22050 Hz gain at 1/90 of a code
  // a visit, cells of 292 frames at 32000 Hz lose at 1/30). For the same
  // reason the templates of both tones, proven whole on entering the
  // binade, cost about a hundred visits of each class made by the walk:
  // the binade must hold at least as many (the short ones near the start of
  // the clock do not: 8-bit cells of 160 frames at 8001 Hz come back once a
  // second).
  const double drift = static_cast<double>(plan.round_frames) * std::fabs(increment - step_units);
  const double visits = (z.limit - z.low) / (static_cast<double>(plan.round_frames) * plan.step);
  return std::fabs(plan.scale) * plan.angular[1] * z.unit * drift < 0.02 && visits >= 100;
}

namespace {

// Whether a cell whose first frame is at T and which ends at E has the
// template's frame count: the frame after its last is the first at or past E.
inline bool same_frame_count(const class_template& c, double T, double E, double increment) {
  const double next = T + c.span;
  return next - increment < E && next >= E;
}

// Makes the template hold a cell at T ending at E anew, with d0 = T - S;
// returns why the run stops there, or none. Kept out of line: the copy loop
// rarely comes here, and keeps its registers for itself.
[[gnu::noinline]] class_stop refit(class_template& c, const template_key& key, int32_t channels, int64_t most_frames,
                                   double T, double E, double d0, bool same_frames) {
  store.stamps[&c - store.slot.get()] = ++store.changes;  // a run proven ahead may have counted on it
  if (!(T < E)) return class_stop::empty_cell;  // the run stops
  // The least n with T + n * increment >= E: the template's where it passed
  // the test in the copy loop, else the quotient is within one of it and
  // exact comparisons settle it.
  const auto increment = static_cast<double>(key.increment);
  int64_t frames = c.frames;
  if (!same_frames) {
    frames = static_cast<int64_t>((E - T) / increment);
    while (T + static_cast<double>(frames) * increment < E) ++frames;
    while (frames > 1 && T + static_cast<double>(frames - 1) * increment >= E) --frames;
  }
  if (frames > most_frames) return class_stop::long_cell;
  patch(c, key, channels, static_cast<int64_t>(d0), frames);
  return class_stop::none;
}

}  // namespace

namespace {

// The cells of a class run, each copied in a move of `move` bytes (0: its
// own size) from the template of its position and tone; see copy_class_cells.
template <int move, bool wide>
[[gnu::always_inline]] inline int32_t copy_class_lanes(const cell_plan& plan, const class_run& run, copy_position& at,
                                                      class_stop& stop) {
  const double increment = static_cast<double>(store.key[0].increment);
  const auto channels = static_cast<int32_t>(plan.channels);
  const auto most_frames = static_cast<int64_t>(plan.max_frames);
  // The run's fields in locals: stores through p may alias any memory.
  class_template* const* const slot = store.by_position.get() + 2 * run.first_class;
  const double* const start = run.start;
  const double* const finish = run.finish;
  const int32_t cells = run.cells;
  const double until = run.until;
  double T = at.T;
  unsigned char* p = at.p;
  uint64_t tones = run.tones;
  stop = class_stop::none;
  uint64_t j = 0;
  for (; j < static_cast<uint64_t>(cells); ++j, tones >>= 1) {
    class_template& c = *slot[2 * j + (tones & 1)];
    const double E = finish[j];
    const double d0 = T - start[j];
    // same_frame_count spelled out: through the helper the loop took 5 % more
    // instructions (16-bit cells of 20 frames at 22050 Hz).
    const double next = T + c.span;
    if (!(T < until && next - increment < E && next >= E && d0 >= c.low && d0 <= c.high)) [[unlikely]] {
      if (!(T < until)) {
        stop = class_stop::until;
        break;
      }
      const bool same_frames = same_frame_count(c, T, E, increment);
      stop = refit(c, store.key[tones & 1], channels, most_frames, T, E, d0, same_frames);
      if (stop != class_stop::none) break;
    }
    move_cell<move, wide>(p, c.bytes, c.size);
    p += c.size;
    T += c.span;
  }
  at.T = T;
  at.p = p;
  return static_cast<int32_t>(j);
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] int32_t copy_class_avx2(const cell_plan& plan, const class_run& run, copy_position& at,
                                                class_stop& stop) {
  if (store.move == 32) return copy_class_lanes<32, true>(plan, run, at, stop);
  if (store.move == 64) return copy_class_lanes<64, true>(plan, run, at, stop);
  return copy_class_lanes<0, true>(plan, run, at, stop);
}
#endif

}  // namespace

int32_t copy_class_cells(const cell_plan& plan, const class_run& run, copy_position& at, class_stop& stop) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) return copy_class_avx2(plan, run, at, stop);
#endif
  if (store.move == 32) return copy_class_lanes<32, false>(plan, run, at, stop);
  if (store.move == 64) return copy_class_lanes<64, false>(plan, run, at, stop);
  return copy_class_lanes<0, false>(plan, run, at, stop);
}

class_view class_template_of(int tone, uint64_t k) {
  const uint64_t n = static_cast<uint64_t>(tone) * store.classes + k;
  const class_template& c = store.slot[n];
  return {c.low, c.high, c.span, c.size, c.bytes, store.stamps[n]};
}

bool hold_class_cell(const cell_plan& plan, int tone, uint64_t k, double T, double E, double d0) {
  class_template& c = store.slot[static_cast<uint64_t>(tone) * store.classes + k];
  const double increment = static_cast<double>(store.key[0].increment);
  const bool same_frames = same_frame_count(c, T, E, increment);
  return (same_frames && d0 >= c.low && d0 <= c.high) ||
         refit(c, store.key[tone], static_cast<int32_t>(plan.channels), static_cast<int64_t>(plan.max_frames), T, E,
               d0, same_frames) == class_stop::none;
}

uint64_t class_template_changes() { return store.changes; }

uint64_t class_frames_proven() { return store.proven; }

}  // namespace kelvora
