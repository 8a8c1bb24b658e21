// The bit clock: where frames start, measured at the boundaries between
// cells of different bits, and the edges a start cell or a tone begins at.
#pragma once

#include <cmath>

#include "read/receiver.h"

namespace kelvora::rx {

// How late a frame expected at s is (in samples), and how sure.
struct timing {
  double late = 0;      // samples the expectation lies after the frame's start
  double variance = 0;  // of that figure
  int transitions = 0;  // bit changes it was measured at
  double place = 0;     // their mean distance from the frame's start, in cells
  double slope = 0;     // how much later the expectation lies a cell further on
  double slope_variance = INFINITY;  // of that figure
};

// How late a frame expected at s is, measured at its boundaries where the bit changes.
timing measure_timing(reader& r, double s);

// The frame start near `guess`, from a few rounds of measure_timing (from afar: the stop-to-start edge first).
double align(reader& r, double guess, int rounds, bool from_afar, timing* last = nullptr);

// The first edge from a 1 cell to a 0 cell between from and to; NaN when there is none.
double first_falling_edge(reader& r, double from, double to);

// The clock over a block: a Kalman filter over the frame start and the cell
// length (variances p_ss, p_cc, covariance p_sc, in samples), fed with each
// frame's measured alignment and its variance. A clean tape that wobbles is
// followed frame by frame; a noisy one is smoothed.
struct clock_filter {
  double p_ss = 0, p_sc = 0, p_cc = 0;
  // Where the measurements keep landing farther from the prediction than
  // the filter expects (wow and flutter), the expected wander grows, and
  // shrinks back where they agree.
  double wander = 1, surprise = 1;
};

// The clock at a block's first frame, for cells of the given length.
clock_filter start_clock(double cell);

// Carries the clock over a frame of `cells` cells.
void predict(clock_filter& k, double cells, double cell);

// A start found after idle: as sure as its own alignment; the cell length stays.
void retime_clock(clock_filter& k, double cell);

// Corrects the frame start s and r.cell by a frame found `error` samples
// after the prediction, as measured by t.
void correct_start(clock_filter& k, reader& r, double& s, const timing& t, double error);

// Corrects s and r.cell by the cell length t's boundary spacing tells (the
// cell the row was read with, less the slope).
void correct_cell(clock_filter& k, reader& r, double& s, const timing& t, double read_with);

// Where a tone that follows silence begins, near p (the first window that held tone).
double tone_onset(reader& r, double p);

}  // namespace kelvora::rx
