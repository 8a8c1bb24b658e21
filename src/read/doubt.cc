// Doubtful cells. A cell's bit is the stronger (or likelier) tone whatever
// the margin; these tests tell where that margin is too thin to trust, from
// what 4096-byte tapes of clicks, lossy codecs, noise and square waves
// measured (the figures beside each constant).
#include "read/doubt.h"

#include <algorithm>
#include <cmath>

namespace kelvora::rx {

namespace {

// A cell is doubtful where the signal does not tell its bit with
// confidence: where the weaker tone is as strong as a cell of its own tone
// would be (a click that flipped the bit leaves the right tone there) and
// clearly above the noise; where the two tones, each against its own level,
// come near a tie (a smeared cell, or noise posing as one), or their
// amplitudes lie too near against the noise (see doubt_margin and
// doubt_phase_margin); or where the
// window holds far more power outside both tones than noise does, half as
// much as in its stronger tone or more (a click, which may as well have
// cancelled the right tone). Measured on 4096-byte tapes: a lossy codec's
// weaker tone reaches 0.47 of its level and 0.6 of the stronger, white
// noise at 1 dB SNR 0.5 and 0.83; power outside the tones reaches 1.8 times
// the floor under noise, 3.8 on an 8-bit square wave, 17 in a click.
constexpr double doubt_level = 0.6;
constexpr double doubt_evidence = 12;
constexpr double doubt_tie = 0.85;
constexpr double doubt_rest = 8;
constexpr double doubt_rest_share = 0.5;

// Where one tone is far weaker, a window of the stronger holds what leaks
// into the weaker's from a neighbour, as strong as the weaker tone itself:
// a cell is doubtful where the two tones' scores come near a tie, or where
// the power outside both tones is half what the stronger tone's level holds
// or more.
constexpr double doubt_weighed_tie = 0.2;

// Under noise, a cell's bit is told by how far apart the two tones'
// amplitudes lie against the noise: with tone of amplitude a (the tones'
// level) and noise of energy n in each tone's window (the floor), the
// log-likelihood ratio of the two bits is about 2 a |r1 - r0| / n, r the
// amplitudes measured. Under this margin a cell's bit is wrong one time in
// 1 + e^margin or more: 1 in 13 at 2.5. On 4096-byte tapes under white
// noise at 1 dB SNR, about half a cell a tape lies under it, and 26 of the
// 31 wrong bits of 200 noise draws (a tie of the levels caught 16).
constexpr double doubt_margin = 2.5;

// Whether the log-likelihood ratio of a cell's two bits (see doubt_margin)
// lies under `bound`, its noise 1 / inverse_floor; the tones' level is their
// learnt levels' mean, or before a block has taught them, the cell's
// stronger tone. (Most cells are far clear of it: where the weaker tone
// holds a quarter of the stronger's energy or less, the margin is at least
// a sqrt(max) / n, which is tried without a square root.)
bool margin_under(const signal_levels& l, const cell_reading& c, double inverse_floor, double bound) {
  const bool learnt = l.zero_samples > 0 && l.one_samples > 0;
  const double stronger = std::max(c.zero, c.one), weaker = std::min(c.zero, c.one);
  const double f2 = inverse_floor * inverse_floor;
  const double level_squared = learnt ? l.zero_level * l.one_level : stronger * stronger;
  if (4 * weaker <= stronger && level_squared * stronger * stronger * f2 * f2 >= bound * bound * bound * bound) {
    return false;
  }
  const double level = learnt ? std::sqrt(level_squared) : stronger;
  return 2 * std::sqrt(level) * (std::sqrt(stronger) - std::sqrt(weaker)) * inverse_floor < bound;
}

// A tone of whole cycles in a cell is read at the same phase in every cell
// of a frame (give or take the clock's error of a sample or so), while
// noise that outweighs the right tone comes at any phase. A bit told by a
// margin under doubt_phase_margin is checked: its tone more than 60
// degrees from where the frame's other cells hold it makes it doubtful.
// On 4096-byte tapes at 1 dB SNR, 4200 right cells of 200 noise draws
// lay under the margin, one of them out of phase; of the 26 wrong, 15.
constexpr double doubt_phase_margin = 10;
constexpr double doubt_phase_cosine = 0.5;

// Under doubt_margin, or at a tie of the levels, a cell read where both
// tones' phases are known from the frame's other cells is told by each
// tone's part at its phase: the log-likelihood ratio of the two bits is
// then about 4 a (p1 - p0) / n (p the parts, the noise at a phase holding
// half the window's). Over doubt_coherent for the bit read, the cell is
// sure; under doubt_phase_margin, a cell whose parts favour the other bit
// is doubtful. At 1 dB SNR it was under 10 at all 26 wrong bits of 200
// noise draws (under 0 at the 5 over doubt_margin), and over 10 at most of
// the right cells under doubt_margin.
constexpr double doubt_coherent = 10;

// The unit phase of a tone (one: the upper) in a cell read with both phases.
void phase_of(const cell_reading& c, bool one, double& re, double& im) {
  const bool stronger = (c.one > c.zero) == one;
  re = stronger ? c.phase_re : c.weaker_re;
  im = stronger ? c.phase_im : c.weaker_im;
}

// The sum of the unit phases of `tone` in the cells other than k read as
// it: where the frame holds that tone (size 0: nowhere).
void frame_phase(const cell_reading* cells, const bool* bits, int count, int k, bool tone, double& re,
                 double& im) {
  re = im = 0;
  for (int i = 0; i < count; ++i) {
    if (i == k || bits[i] != tone) continue;
    double cell_re, cell_im;
    phase_of(cells[i], tone, cell_re, cell_im);
    re += cell_re;
    im += cell_im;
  }
}

// Whether the power a window holds outside both tones is a click's: far
// more than noise in as many shares, and at least doubt_rest_share of
// `tone` (the energy of tone it is weighed against).
bool click_in(const cell_reading& c, double inverse_floor, double tone) {
  const double rest = std::max(0.0, c.power - c.zero - c.one);
  return rest / other_shares(c.length) * inverse_floor >= doubt_rest && rest >= doubt_rest_share * tone;
}

}  // namespace

cell_doubt doubt_of(const signal_levels& l, const cell_reading& c, double inverse_floor) {
  if (l.weighed) {
    return std::abs(weighed_balance(l, c.zero, c.one)) < doubt_weighed_tie ||
                   click_in(c, inverse_floor, std::max(l.zero_level, l.one_level))
               ? cell_doubt::doubtful
               : cell_doubt::sure;
  }
  const double zero = c.zero * l.one_level, one = c.one * l.zero_level;
  const double weaker_share = one > zero ? c.zero / l.zero_level : c.one / l.one_level;
  const double weaker = std::min(c.zero, c.one), stronger = std::max(c.zero, c.one);
  if ((weaker_share >= doubt_level && weaker * inverse_floor >= doubt_evidence) || click_in(c, inverse_floor, stronger)) {
    return cell_doubt::doubtful;
  }
  // A tie of the levels is doubtful unless noise rather than a smeared
  // cell makes it (the margin against the noise thin), which the phases tell.
  const bool tie = std::min(zero, one) >= doubt_tie * std::max(zero, one);
  if (!tie && !margin_under(l, c, inverse_floor, doubt_phase_margin)) return cell_doubt::sure;
  if (margin_under(l, c, inverse_floor, doubt_margin)) return cell_doubt::check_both;
  return tie ? cell_doubt::doubtful : cell_doubt::check_phase;
}

bool phase_doubtful(const signal_levels& l, const cell_reading* cells, const bool* bits, int count, int k,
                    cell_doubt how, double inverse_floor) {
  const cell_reading& c = cells[k];
  const bool one = bits[k];
  double re, im;
  frame_phase(cells, bits, count, k, one, re, im);
  const double size = std::hypot(re, im);
  // (The bits are as first read; a cell read again for its phases may
  // find its tones the other way round by a hair.)
  double read_re, read_im, other_tone_re, other_tone_im;
  phase_of(c, one, read_re, read_im);
  phase_of(c, !one, other_tone_re, other_tone_im);
  const bool thin = how == cell_doubt::check_both;
  if (!thin && size > 0 && read_re * re + read_im * im < doubt_phase_cosine * size) return true;
  // Both tones' parts at the frame's phases; without both phases known, the
  // margin stands (doubtful if thin).
  double other_re, other_im;
  frame_phase(cells, bits, count, k, !one, other_re, other_im);
  const double other_size = std::hypot(other_re, other_im);
  if (size == 0 || other_size == 0) return thin;
  const double read_part = std::sqrt(one ? c.one : c.zero) * (read_re * re + read_im * im) / size;
  const double other_part =
      std::sqrt(one ? c.zero : c.one) * (other_tone_re * other_re + other_tone_im * other_im) / other_size;
  const double level = l.zero_samples > 0 && l.one_samples > 0 ? std::sqrt(l.zero_level * l.one_level)
                                                                : std::max(c.zero, c.one);
  const double coherent = 4 * std::sqrt(level) * (read_part - other_part) * inverse_floor;
  return coherent <= (thin ? doubt_coherent : 0);
}

}  // namespace kelvora::rx
