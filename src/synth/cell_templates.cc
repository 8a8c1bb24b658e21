// The store of cell templates (doc/exactness.md, "Cell templates"): slots of
// bytes, buckets by d0 that name where to look, and the credit that decides
// whether the searched proof (template_proof.h) still pays for its sines.
#include "synth/cell_templates.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "synth/template_proof.h"

namespace kelvora {

namespace {

// Templates kept, of both tones together, and the room for their bytes; the
// oldest gives way.
constexpr size_t most_templates = 4096;
constexpr size_t template_room = size_t{1} << 20;
// The span of d0 a cell falls in, [0, increment], cut in this many buckets;
// each bucket names the last template of a tone whose interval reaches into it.
constexpr int32_t buckets = 8192;
// A library sine in a proof, with its share of the search, costs about as
// much as this many frames of synthesis; credit is counted in 32nds of a frame.
constexpr int64_t sine_cost = 64 * 32;
// What proofs may cost before templates have paid anything back, and what
// they may run ahead at most: a few milliseconds of synthesis.
constexpr int64_t credit_start = (int64_t{1} << 21) * 32;
constexpr int64_t credit_most = (int64_t{1} << 21) * 32;

// The kept templates and their bytes, each in a slot of `stride` bytes.
struct template_store {
  std::vector<cell_template> kept;            // at most `slots`, the next one replaces kept[next]
  std::unique_ptr<unsigned char[]> bytes;     // slots * stride, touched as slots fill
  size_t stride = 0, slots = 0, next = 0;
  double per_bucket = 0;                      // buckets per unit of d0
  std::vector<int16_t> bucket[2];             // per tone: an index into kept, or -1
};

template_store store;
int64_t credit = credit_start;
// The serial of the last template kept.
uint64_t kept_serial = 0;

size_t bucket_of(double d0) {
  const double b = d0 * store.per_bucket;
  return b > 0 ? static_cast<size_t>(std::min(b, static_cast<double>(buckets - 1))) : 0;
}

}  // namespace

void clear_templates(int64_t cell_bytes) {
  const auto longest = static_cast<size_t>(std::clamp<int64_t>(cell_bytes, 0, most_template_bytes));
  const size_t stride = (std::max<size_t>(longest, 64) + 31) & ~size_t{31};
  if (stride != store.stride) {
    store.stride = stride;
    store.slots = std::min(most_templates, template_room / stride);
    store.bytes.reset(new unsigned char[store.slots * stride + 64]);  // pages are touched as slots fill
    store.kept.clear();
    store.kept.shrink_to_fit();
    store.kept.reserve(store.slots);  // never moves: cells point at their templates
  }
  for (auto& b : store.bucket) b.assign(buckets, -1);
  forget_templates(0);
  credit = credit_start;
}

void forget_templates(int64_t increment) {
  store.kept.clear();
  store.next = 0;
  store.per_bucket = increment > 0 ? buckets / static_cast<double>(increment) : 0;
  for (auto& b : store.bucket) std::fill(b.begin(), b.end(), -1);
}

bool templates_fit(uint64_t classes) { return classes <= store.slots / 4; }

template_index index_of_templates() {
  return {{store.bucket[0].data(), store.bucket[1].data()}, store.kept.data(), store.per_bucket, buckets - 1};
}

size_t templates_kept() { return store.kept.size(); }

const cell_template* template_near(int32_t tone, double d0) {
  const int16_t n = store.bucket[tone][bucket_of(d0)];
  return n >= 0 ? &store.kept[static_cast<size_t>(n)] : nullptr;
}

const cell_template* find_template(int32_t tone, int64_t frames, double d0) {
  const cell_template* c = template_near(tone, d0);
  return c != nullptr && c->frames == frames && c->tone == tone && d0 >= c->low && d0 <= c->high ? c : nullptr;
}

void count_template_miss(int64_t frames) { credit += frames; }

void count_template_frames(int64_t frames) { credit = std::min(credit_most, credit + 32 * frames); }

const cell_template* keep_template(const template_key& key, int32_t tone, int64_t d0, int64_t frames,
                                   const unsigned char* bytes) {
  const int64_t size = frames * key.frame_bytes;
  if (frames < 1 || size > static_cast<int64_t>(store.stride) || store.slots == 0) return nullptr;
  // The search finds wider intervals (one side at a time, the sine's true
  // slope) while its library sines are paid for; the slope proof costs about
  // as much as making the cell once.
  int64_t low = 0;
  int64_t high = 0;
  bool searched = false;
  if (credit > 0) {
    int64_t sines = 0;
    searched = search_interval(key, d0, frames, bytes, low, high, sines);
    if (searched) credit -= sines * sine_cost;
  }
  if (!searched) {
    const int64_t reach = slope_reach(key, d0, frames, bytes);
    if (reach < 0) return nullptr;
    low = d0 - reach;
    high = d0 + reach;
  }

  const size_t n = store.next;
  store.next = (store.next + 1) % store.slots;
  if (n == store.kept.size()) store.kept.emplace_back();
  cell_template& c = store.kept[n];
  unsigned char* slot = store.bytes.get() + n * store.stride;
  std::memcpy(slot, bytes, static_cast<size_t>(size));
  c = {static_cast<double>(low), static_cast<double>(high), static_cast<double>(frames * key.increment),
       frames, tone, static_cast<int32_t>(size), slot, ++kept_serial};
  // The buckets the interval reaches into, within those a cell's d0 falls in.
  const size_t first = bucket_of(c.low);
  const size_t last = bucket_of(c.high);
  for (size_t b = first; b <= last; ++b) store.bucket[tone][b] = static_cast<int16_t>(n);
  return &c;
}

}  // namespace kelvora
