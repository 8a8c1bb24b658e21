// Framing detection. A tape opens with a leader, the upper tone (1 cells),
// found by tone_search; the lower tone is half of it. After it, a
// sliding correlation one lower cycle long tells the tones apart (where one
// is far weaker, weighed by the levels of the leader and of the lower tone
// in the data, as the reader weighs a cell); the runs of
// 0 cells (each begins with a start bit, so they are always whole cells) are
// whole multiples of the cell, and the cell is the most lower cycles (1-16)
// that still divides nearly every run. Frames are then found from their start
// edges, and the stop bits are the fewest whole idle cells that often follow
// a frame's data. Where noise flips the tone heard in a window one cycle
// long (the stop cells of many frames read 0), windows of 2, 4 and 8 cycles
// listen again for cells at least as long. A leader with no data after it (a
// beep, an aborted start, a stretch of 0 cells at a slow baud rate) passes
// for the next steady stretch; where none frames, the data before the first
// (a tape that starts with data and ends in a leader) is heard by its two
// tones. The work stays a few operations a sample.
#include "read/detect.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "read/tone_edges.h"
#include "read/tone_search.h"

namespace kelvora {

namespace {

// The cell is looked for as 1 to most_cycles cycles of the lower tone.
constexpr int32_t most_cycles = 16;
// Share of the runs of 0 cells that must be whole cells of a candidate.
constexpr double fitting_share = 0.75;
// A run fits where it lies within a third of a cycle and this share of its
// length of whole cells: a tape's speed swings by a few percent (wow)
// between the leader the tone was measured on and the run.
constexpr double run_slack = 0.03;
constexpr int64_t least_runs = 8;
// Idle cells beyond which a frame ends a block; idle counts kept (the last: that many or more).
constexpr double block_gap_cells = 64;
constexpr int32_t idle_counts = 8;
// Frames whose first stop cell reads 0, as a share of those counted, past
// which the cell found is taken as noise's: a window one lower cycle long
// lets noise flip the tone heard, and longer windows, up to
// longest_window_cycles lower cycles, are tried.
constexpr double faulty_share = 0.25;
constexpr int32_t longest_window_cycles = 8;
// Frames whose idle cells make the stop bits sure enough.
constexpr uint64_t enough_frames = 40;

// The runs of 1 cells (ones) or of 0 cells between edges within a stretch, in lower cycles.
std::vector<double> runs_of(const tone_edges& t, bool ones, double rate, double lower_hz) {
  std::vector<double> runs;
  for (size_t i = 0; i + 1 < t.edges.size(); ++i) {
    const tone_edge& a = t.edges[i];
    const tone_edge& b = t.edges[i + 1];
    if (a.stretch == b.stretch && a.to_one == ones && b.to_one != ones) runs.push_back((b.at - a.at) * lower_hz / rate);
  }
  return runs;
}

// The most lower cycles a cell can hold so that nearly every run of 0 cells
// is whole cells, and not more than nearly every run of 1 cells between them
// (a data bit or the stop cells: idle may add any time, but never less than
// a cell); 0 when none. (Where every byte is the same, every run of 0 cells
// is as long, and any divisor of it would do.)
int32_t cycles_per_cell(const tone_edges& t, double rate, double lower_hz) {
  const std::vector<double> runs = runs_of(t, false, rate, lower_hz);
  const std::vector<double> ones = runs_of(t, true, rate, lower_hz);
  if (static_cast<int64_t>(runs.size()) < least_runs) return 0;
  for (int32_t k = most_cycles; k >= 1; --k) {
    const auto shorter = static_cast<double>(
        std::count_if(ones.begin(), ones.end(), [k](double r) { return r < 0.6 * k; }));
    if (k > 1 && shorter > (1 - fitting_share) * static_cast<double>(ones.size())) continue;
    size_t fit = 0;
    for (double r : runs) {
      const double cells = std::round(r / k);
      if (cells >= 1 && std::fabs(r - cells * k) <= 0.35 + run_slack * r) ++fit;
    }
    if (static_cast<double>(fit) >= fitting_share * static_cast<double>(runs.size())) return k;
  }
  return 0;
}

// Whether, with cells of k > 1 lower cycles, nearly every run of 0 cells
// is the same whole number of cells: nothing then tells k from its divisors.
bool runs_alike(const tone_edges& t, int32_t k, double rate, double lower_hz) {
  if (k <= 1) return false;
  std::array<uint64_t, 32> lengths{};
  const std::vector<double> runs = runs_of(t, false, rate, lower_hz);
  for (double r : runs) ++lengths[static_cast<size_t>(std::clamp(std::round(r / k), 0.0, 31.0))];
  return !runs.empty() && static_cast<double>(*std::max_element(lengths.begin(), lengths.end())) >=
                              0.9 * static_cast<double>(runs.size());
}

// The first edge after position at (in the edges' order), or the end.
size_t edge_after(const tone_edges& t, double at) {
  return static_cast<size_t>(std::upper_bound(t.edges.begin(), t.edges.end(), at,
                                              [](double p, const tone_edge& e) { return p < e.at; }) -
                             t.edges.begin());
}

// The tone heard at a position within a stretch: that of the last edge before it.
bool one_at(const tone_edges& t, double at, int32_t stretch) {
  const size_t next = edge_after(t, at);
  if (next == 0 || t.edges[next - 1].stretch != stretch) {
    return next < t.edges.size() ? !t.edges[next].to_one : true;
  }
  return t.edges[next - 1].to_one;
}

// Frames counted by the whole idle 1 cells after their data (the last: that
// many or more), and those whose first stop cell read 0.
struct idle_heard {
  std::array<uint64_t, idle_counts> counts{};
  uint64_t faults = 0;
};

// Frames by the whole idle 1 cells after their data. A 0 where a stop cell
// belongs is, back to back, the next start cell (counted as no idle);
// otherwise a fault of that frame, not counted, and the next frame starts at
// the next change to the lower tone.
idle_heard count_idle(const tone_edges& t, double cell, bool back_to_back) {
  idle_heard heard;
  std::array<uint64_t, idle_counts>& counts = heard.counts;
  size_t i = 0;
  while (i < t.edges.size()) {
    if (t.edges[i].to_one) {
      ++i;
      continue;
    }
    double start = t.edges[i].at;
    const int32_t stretch = t.edges[i].stretch;
    const double end = t.stretch_end[static_cast<size_t>(stretch)];
    for (;;) {
      const double stop = start + 9 * cell;
      if (stop + cell > end) {
        i = std::max(i + 1, edge_after(t, end));
        break;
      }
      // Back to back, the next start follows at once (on its edge where the
      // last data cell was a 1).
      if (back_to_back && !one_at(t, stop + 0.5 * cell, stretch)) {
        ++counts[0];
        const size_t next = edge_after(t, stop - 0.4 * cell);
        const bool edge_there = next < t.edges.size() && !t.edges[next].to_one &&
                                t.edges[next].at < stop + 0.4 * cell;
        start = edge_there ? t.edges[next].at : stop;
        continue;
      }
      const bool fault = !one_at(t, stop + 0.5 * cell, stretch);
      size_t next = edge_after(t, stop + 0.5 * cell);
      while (next < t.edges.size() && t.edges[next].to_one) ++next;
      if (next >= t.edges.size() || t.edges[next].stretch != stretch) {
        i = std::max(i + 1, next);
        break;
      }
      const double idle = (t.edges[next].at - stop) / cell;
      heard.faults += fault ? 1 : 0;
      if (!fault && idle <= block_gap_cells) {
        ++counts[static_cast<size_t>(std::min<int64_t>(idle_counts - 1, std::lround(idle)))];
      }
      start = t.edges[next].at;
    }
  }
  return heard;
}

// The fewest idle cells that follow a fair share of the frames: none when,
// read back to back, nearly every frame is followed at once by a start cell.
// In noise a cell may read wrong: a stop cell that reads 0 makes the idle
// look shorter about as often as a first stop cell reads 0 (a fault), and a
// frame found from it misleads the next; so a share must stand clear of
// twice the faults and be at least a sixteenth of the commonest idle.
int32_t least_idle(const tone_edges& t, double cell, uint64_t& frames) {
  const std::array<uint64_t, idle_counts> chained = count_idle(t, cell, true).counts;
  frames = 0;
  for (uint64_t c : chained) frames += c;
  if (frames > 0 && 10 * chained[0] >= 9 * frames) return 0;
  const idle_heard heard = count_idle(t, cell, false);
  const std::array<uint64_t, idle_counts>& counts = heard.counts;
  frames = 0;
  for (uint64_t c : counts) frames += c;
  const uint64_t commonest = *std::max_element(counts.begin() + 1, counts.end());
  const uint64_t share =
      std::max(std::max<uint64_t>(frames <= 3 ? 1 : 2, frames / 30) + 2 * heard.faults, commonest / 16);
  // (Where noise flips as many cells as there are frames, the commonest idle still counts.)
  const uint64_t often = std::max<uint64_t>(1, std::min(commonest, share));
  for (size_t i = 1; i < idle_counts; ++i) {
    if (counts[i] >= often) return static_cast<int32_t>(i);
  }
  return -1;
}

// The share of the frames counted whose first stop cell reads 0 with a
// cell of `cycles` lower cycles, or 1 where that cell frames nothing: the
// stop bits are not found, or are none (frames back to back, which count
// no such faults) while some are.
double fault_share(const tone_edges& t, int32_t cycles, double rate, double lower_hz) {
  if (cycles <= 0) return 1;
  const double cell = cycles * rate / lower_hz;
  uint64_t frames = 0;
  const int32_t stop_bits = least_idle(t, cell, frames);
  if (stop_bits <= 0) return stop_bits == 0 ? 0.0 : 1.0;
  const idle_heard heard = count_idle(t, cell, false);
  uint64_t counted = 0;
  for (uint64_t c : heard.counts) counted += c;
  return counted > 0 ? static_cast<double>(heard.faults) / static_cast<double>(counted) : 1.0;
}

// Mean power of x[from, to).
double mean_power(const float* x, int64_t from, int64_t to) {
  double sum = 0;
  for (int64_t i = from; i < to; ++i) sum += sane_sample(x[i]) * sane_sample(x[i]);
  return to > from ? sum / static_cast<double>(to - from) : 0;
}

// What the data after one leader shows.
framing_heard hear_after(const float* samples, int64_t count, double rate, const steady_run& leader) {
  framing_heard heard;
  heard.wants_more = leader.end + static_cast<int64_t>(rate) > count;
  if (leader.hz <= 0 || !(leader.hz < rate / 2)) return heard;
  heard.upper_hz = leader.hz;
  const double lower = leader.hz / 2;
  // The tones' energy in a window over the leader (or the first 0.1 s of
  // sound), a tenth of which counts as tone.
  const int64_t level_end = std::min(count, std::max(leader.end, leader.start + static_cast<int64_t>(0.1 * rate)));
  const double power = mean_power(samples, leader.start, level_end);
  const double width = std::max(2.0, std::round(rate / lower));
  const double seconds = std::max(1.5, 2000 / lower);
  int64_t to = std::min<int64_t>(count, leader.end + static_cast<int64_t>(seconds * rate));
  // The leader's last 50 ms are enough to begin from.
  const int64_t from = std::max(leader.start, leader.end - static_cast<int64_t>(0.05 * rate));
  // Where one tone is far weaker, the tones are weighed by their levels:
  // the leader's, and the lower tone's over the opening's data.
  const tone_weights weights =
      weights_of(power * width * width / 2, lower_energy(samples, leader.end, to, rate, lower));
  // The tone changes heard through windows of `cycles` lower cycles, and
  // the cell they make of them.
  // (Longer windows listen for as much longer: they are tried for cells of
  // many cycles, of which the span of one cycle's window holds few frames.)
  auto listen = [&](int32_t cycles, tone_edges& edges) {
    const double gate = 0.1 * power * width * width * cycles * cycles / 2;
    const double span = seconds * cycles;
    if (cycles > 1) to = std::min<int64_t>(count, leader.end + static_cast<int64_t>(span * rate));
    edges = find_edges(samples, from, to, rate, lower, gate, weights, cycles);
    // Noise may end the steady stretch before the leader ends: the data is
    // heard as long from its first start cell.
    const auto first_zero =
        std::find_if(edges.edges.begin(), edges.edges.end(), [](const tone_edge& e) { return !e.to_one; });
    if (first_zero != edges.edges.end() && first_zero->at > static_cast<double>(leader.end) + 0.1 * rate) {
      to = std::min<int64_t>(count, static_cast<int64_t>(first_zero->at) + static_cast<int64_t>(span * rate));
      edges = find_edges(samples, from, to, rate, lower, gate, weights, cycles);
    }
    return cycles_per_cell(edges, rate, lower);
  };
  tone_edges edges;
  heard.cycles_per_cell = listen(1, edges);
  const int64_t heard_to = to;
  double faults = fault_share(edges, heard.cycles_per_cell, rate, lower);
  if (faults > faulty_share) {
    // A window of one cycle may be too short for the noise (where the lower
    // tone is far weaker, most of all): longer ones hear cells at least as
    // long through it. The one that frames best is taken.
    int64_t best_to = heard_to;
    for (int32_t cycles = 2; cycles <= longest_window_cycles; cycles *= 2) {
      tone_edges longer;
      const int32_t k = listen(cycles, longer);
      const double share = k >= cycles ? fault_share(longer, k, rate, lower) : 1.0;
      if (share <= faulty_share && share < faults) {
        heard.cycles_per_cell = k;
        edges = std::move(longer);
        faults = share;
        best_to = to;
      }
    }
    to = best_to;
  }
  if (heard.cycles_per_cell > 0) {
    heard.stop_bits = least_idle(edges, heard.cycles_per_cell * rate / lower, heard.frames);
    if (heard.stop_bits < 0) heard.cycles_per_cell = 0;
    heard.runs_alike = runs_alike(edges, heard.cycles_per_cell, rate, lower);
  }
  // More of the recording helps where it was cut off before enough frames.
  heard.wants_more = to == count && (heard.cycles_per_cell == 0 || heard.frames < enough_frames);
  return heard;
}

// Leaders heard at most for one framing (a beep or an aborted start may come first).
constexpr int most_leaders = 8;

// Whether x[from, to) holds 20 ms or more at least 30 dB under `power`.
bool quiet_between(const float* x, int64_t from, int64_t to, double rate, double power) {
  const auto window = std::max<int64_t>(1, static_cast<int64_t>(0.02 * rate));
  for (int64_t at = from; at + window <= to; at += window / 2) {
    if (mean_power(x, at, at + window) < 1e-3 * power) return true;
  }
  return false;
}

// Whether a steady stretch after the first one (which framed nothing) can be
// a tape's leader: silence lies between them, or the first was a run of 0
// cells (the stretch is an octave above it). Other stretches lie in data.
bool leader_after(const float* x, const steady_run& first, const steady_run& later, double rate) {
  if (std::fabs(later.hz / first.hz - 2) < 0.1) return true;
  return quiet_between(x, first.end, later.start, rate, mean_power(x, first.start, first.end));
}

}  // namespace

framing_heard hear_framing(const float* samples, int64_t count, double rate) {
  framing_heard first;
  steady_run first_leader;
  int64_t from = 0;
  for (int tries = 0; tries < most_leaders && from < count; ++tries) {
    steady_run leader = find_leader(samples + from, count - from, rate);
    leader.start += from;
    leader.end += from;
    if (tries > 0 && leader.hz > 0 && leader.end > from && !leader_after(samples, first_leader, leader, rate)) {
      from = leader.end;
      continue;
    }
    if (tries == 0) first_leader = leader;
    const framing_heard heard = hear_after(samples, count, rate, leader);
    if (heard.cycles_per_cell > 0) return heard;
    // A leader with no data after it (silence, or another tone) passes for the next.
    if (tries == 0) {
      first = heard;
    } else {
      first.wants_more = first.wants_more || heard.wants_more;
    }
    if (heard.upper_hz <= 0 || leader.end <= from) break;
    from = leader.end;
  }
  // Data before the first steady stretch, which framed nothing (a tape that
  // starts with data and ends in a leader): its two tones an octave apart.
  if (first_leader.hz > 0 && first_leader.start > 0) {
    steady_run data = find_leader(samples, first_leader.start, rate);
    if (data.hz > 0 && data.start == data.end) {
      const framing_heard heard = hear_after(samples, count, rate, data);
      if (heard.cycles_per_cell > 0) return heard;
    }
  }
  return first;
}

}  // namespace kelvora
