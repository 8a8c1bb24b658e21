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
// come near a tie (a smeared cell, or noise posing as one); or where the
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

// Whether the power a window holds outside both tones is a click's: far
// more than noise in as many shares, and at least doubt_rest_share of
// `tone` (the energy of tone it is weighed against).
bool click_in(const cell_reading& c, double inverse_floor, double tone) {
  const double rest = std::max(0.0, c.power - c.zero - c.one);
  return rest / other_shares(c.length) * inverse_floor >= doubt_rest && rest >= doubt_rest_share * tone;
}

}  // namespace

bool doubtful(const signal_levels& l, const cell_reading& c, double inverse_floor) {
  if (l.weighed) {
    return std::abs(weighed_balance(l, c.zero, c.one)) < doubt_weighed_tie ||
           click_in(c, inverse_floor, std::max(l.zero_level, l.one_level));
  }
  const double zero = c.zero * l.one_level, one = c.one * l.zero_level;
  const double weaker_share = one > zero ? c.zero / l.zero_level : c.one / l.one_level;
  const double weaker = std::min(c.zero, c.one), stronger = std::max(c.zero, c.one);
  return (weaker_share >= doubt_level && weaker * inverse_floor >= doubt_evidence) ||
         std::min(zero, one) >= doubt_tie * std::max(zero, one) || click_in(c, inverse_floor, stronger);
}

}  // namespace kelvora::rx
