// Order statistics of a few values for the receiver: a median of nine and
// the k-th smallest, by networks of compare-exchange pairs that take no
// branch on the values (noisy readings would mispredict them).
#pragma once

namespace kelvora::rx {

// Orders a pair: the smaller first (no branch on the values).
inline void order(double& a, double& b) {
  const double low = b < a ? b : a, high = b < a ? a : b;
  a = low;
  b = high;
}

// The median of nine values: a network of 19 pairs, which
// takes no branch on the values, so that noisy readings cost no
// mispredicted branches.
inline double median_of_nine(const double* v) {
  double a0 = v[0], a1 = v[1], a2 = v[2], a3 = v[3], a4 = v[4], a5 = v[5], a6 = v[6], a7 = v[7], a8 = v[8];
  order(a1, a2), order(a4, a5), order(a7, a8), order(a0, a1), order(a3, a4), order(a6, a7);
  order(a1, a2), order(a4, a5), order(a7, a8), order(a0, a3), order(a5, a8), order(a4, a7);
  order(a3, a6), order(a1, a4), order(a2, a5), order(a4, a7), order(a4, a2), order(a6, a4);
  order(a4, a2);
  return a4;
}

// The k-th smallest (from 0) of v[0..n) (v is reordered): odd-even
// transposition, for the rare cases that need it.
inline double kth_smallest(double* v, int n, int k) {
  for (int round = 0; round < n; ++round) {
    for (int i = round & 1; i + 1 < n; i += 2) order(v[i], v[i + 1]);
  }
  return v[k];
}

// How many of v[0..n) are at most x.
inline int count_at_most(const double* v, int n, double x) {
  int count = 0;
  for (int i = 0; i < n; ++i) count += v[i] <= x;
  return count;
}

}  // namespace kelvora::rx
