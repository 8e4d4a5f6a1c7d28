// The depths of spans of runs as a multiset, and the statistics of it
// that feature groups report. Plain C++ with no R in it.
#ifndef TOLVENDRA_KERNELS_DEPTHS_H
#define TOLVENDRA_KERNELS_DEPTHS_H

#include <stdint.h>

#include <vector>

#include "runs.h"

namespace tolvendra {

// Positions of one depth: the depths of spans of runs as a multiset. A
// double holds every counted depth exactly, and a track's as it is.
struct DepthCount {
    double depth;
    int64_t n;
};

// Appends the depths of coordinates a..b (clipped to the runs) as pairs,
// unsorted and not all merged: a long span's whole depths a pair per
// depth, others a pair per run, merged (merge_depths()) whenever they
// double past 65,536 pairs, so that a long span holds about a pair per
// distinct depth.
void span_depths(const Runs &runs, int64_t a, int64_t b,
                 std::vector<DepthCount> *out);

// Sorts pairs by depth and merges those of equal depth, in place.
void merge_depths(std::vector<DepthCount> *pairs);

// Statistics of merged pairs, as R computes them on the expanded depths:
// median() (the mean of the two middle depths for an even count) and sd()
// (NaN for fewer than two positions). For whole depths the sum is exact
// and the variance is taken from exact 128-bit sums, so that it is off by
// rounding only; other depths are summed in long double, and their
// variance taken about the mean in a second pass. The median and sd are
// computed only when asked for (0 otherwise).
struct DepthStatistics {
    int64_t bases = 0;
    double sum = 0;
    double min = 0, max = 0;
    double median = 0, sd = 0;
};
DepthStatistics depth_statistics(const std::vector<DepthCount> &merged,
                                 bool median, bool sd);

// Positions of merged pairs at least t deep.
int64_t depths_at_least(const std::vector<DepthCount> &merged, double t);

} // namespace tolvendra

#endif
