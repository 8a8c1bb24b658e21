// The nominal framing: what a user would have typed for the rate detection
// measured (a standard baud rate near it, else a round one it hits, else two
// significant digits; the carrier a whole multiple of it), the tape's speed
// apart, and the line that says what was heard where no framing was found.
#include "read/detect.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

namespace kelvora {

namespace {

// A standard rate this near the measurement takes it whatever else it hits.
constexpr double standard_near = 0.06;

// The round rate (1, 1.2, 1.5, 2, 2.5, 3, 4, 5, 6 or 8 times a power of ten)
// within 0.3 % of a measured baud rate, or `otherwise`.
int32_t round_rate_at(double baud, int32_t otherwise) {
  static constexpr std::array<double, 10> mantissas = {1, 1.2, 1.5, 2, 2.5, 3, 4, 5, 6, 8};
  const double unit = std::pow(10.0, std::floor(std::log10(baud)));
  for (double m : mantissas) {
    for (double round : {m * unit, 10 * m * unit}) {
      if (std::fabs(baud / round - 1) <= 0.003 && round <= std::numeric_limits<int32_t>::max()) {
        return static_cast<int32_t>(round);
      }
    }
  }
  return otherwise;
}

}  // namespace

nominal_framing nominal_of(const framing_heard& heard, int32_t told_baud, int32_t told_lower) {
  static constexpr std::array<int32_t, 16> standard = {50,   75,   110,  150,  200,  300,  600,  1200,
                                                       1800, 2400, 3600, 4800, 7200, 9600, 14400, 19200};
  nominal_framing nominal;
  const int32_t k = heard.cycles_per_cell;
  const double lower = heard.upper_hz / 2, baud = lower / k;
  if (told_baud > 0) {
    nominal.baud_rate = told_baud;
  } else if (told_lower > 0 && told_lower % k == 0) {
    nominal.baud_rate = told_lower / k;
  } else {
    double best = 0.12;
    for (int32_t b : standard) {
      const double off = std::fabs(baud / b - 1);
      if (off < best) {
        best = off;
        nominal.baud_rate = b;
      }
    }
    // A round rate the measurement hits where no standard one lies near
    // (100 baud is 100, not 110 at 0.909 of its speed).
    if (best > standard_near) nominal.baud_rate = round_rate_at(baud, nominal.baud_rate);
    if (nominal.baud_rate == 0) {  // two significant digits
      const double unit = std::pow(10.0, std::floor(std::log10(baud)) - 1);
      nominal.baud_rate = static_cast<int32_t>(std::max(1.0, std::round(baud / unit) * unit));
    }
  }
  // The carrier in 64 bits: a header may claim a rate whose tones pass 32 bits at 16 cycles a cell.
  const int64_t carrier = told_lower > 0 ? told_lower : int64_t{k} * nominal.baud_rate;
  if (carrier > std::numeric_limits<int32_t>::max()) return nominal_framing{};
  nominal.lower_carrier = static_cast<int32_t>(carrier);
  nominal.speed = lower / nominal.lower_carrier;
  return nominal;
}

std::string heard_text(const framing_heard& heard) {
  if (heard.upper_hz <= 0) return "";
  // Three significant digits: what the tone was meant to be, not how it was measured.
  const double unit = std::pow(10.0, std::floor(std::log10(heard.upper_hz)) - 2);
  char text[64];
  std::snprintf(text, sizeof text, "a tone of %.0f Hz but no data", std::round(heard.upper_hz / unit) * unit);
  return text;
}

}  // namespace kelvora
