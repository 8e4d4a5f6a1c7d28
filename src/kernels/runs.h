// Coverage held as runs of equal depth, and what the package computes from
// it: sums and covered positions over spans, the profile summed across
// samples, the regions whose mean reaches a threshold, depth bins. Plain C++ with
// no R in it; the alignment engine fills the runs.
#ifndef TOLVENDRA_KERNELS_RUNS_H
#define TOLVENDRA_KERNELS_RUNS_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "column.h"

namespace tolvendra {

// Depths of the coordinates first .. first + length - 1. Run r starts at
// first + at[r] and ends where run r + 1 starts (the last at the end). At
// most 8 bytes a run: a stretch of n positions takes at most 8n bytes, and
// a read adds at most two runs. Counted depths are whole numbers (`value`);
// a track's may not be, and then its runs hold them in `real` instead, and
// `value` stays empty.
struct Runs {
    int64_t first = 1;
    int64_t length = 0;
    Column<uint32_t> at;
    Column<int32_t> value;
    Column<double> real;

    void reset(int64_t first_coordinate);
    // n more positions of depth v
    void append(int32_t v, int64_t n)
    {
        if (n <= 0)
            return;
        if (value.empty() || value.back() != v) {
            at.push_back(static_cast<uint32_t>(length));
            value.push_back(v);
        }
        length += n;
    }
    // n more positions, their depths in d (as the coverage kernel leaves
    // them: 32-bit counts that wrap as R's integers hold them)
    void append_depths(const uint32_t *d, int64_t n);
    // n more positions of depth v, in `real`
    void append_real(double v, int64_t n);
    // Moves `real` to `value` where every depth is a whole number that 32
    // bits hold: whole depths take the exact integer paths, whatever
    // their source.
    void settle();
    bool is_real() const { return !real.empty(); }
    double depth(size_t r) const { return real.empty() ? value[r] : real[r]; }
    int64_t last() const { return first + length - 1; }
    size_t run_at(int64_t coordinate) const;
    // The same for a coordinate at or after the start of run `from`: a
    // few steps forward, as spans visited in order need, else a search.
    size_t run_at(int64_t coordinate, size_t from) const;
    int64_t run_end(size_t r) const
    {
        return r + 1 < at.size() ? first + at[r + 1] - 1 : last();
    }
    // The runs of coordinates a..b, which must lie within these.
    Runs slice(int64_t a, int64_t b) const;
};

// Calls visit(depth, positions) for each run of coordinates a..b, clipped
// to the runs, in order: every walk over a span goes through here. The
// depth is an int32_t, or a double for real runs, so `visit` takes either.
// `cursor` (may be null) carries the run where one walk ended to the next,
// which then needs no search when its span starts there or after.
template <class Visit>
void each_run(const Runs &runs, int64_t a, int64_t b, Visit visit,
              size_t *cursor = nullptr)
{
    if (a < runs.first)
        a = runs.first;
    if (b > runs.last())
        b = runs.last();
    if (a > b)
        return;
    // one search, for a's run; b <= last() ends the walk at the last run
    auto walk = [&](const auto &depths) {
        const size_t n = runs.at.size();
        int64_t from = a;
        const bool onward = cursor && *cursor < n && runs.first + runs.at[*cursor] <= a;
        for (size_t r = onward ? runs.run_at(a, *cursor) : runs.run_at(a);; ++r) {
            const int64_t end = r + 1 < n ? runs.first + runs.at[r + 1] - 1 : runs.last();
            if (end >= b) {
                visit(depths[r], b - from + 1);
                if (cursor)
                    *cursor = r;
                return;
            }
            visit(depths[r], end - from + 1);
            from = end + 1;
        }
    };
    if (runs.is_real())
        walk(runs.real);
    else
        walk(runs.value);
}

// Adds 1 to the depth of every coordinate of each block (first, last;
// closed), clipped to the runs.
void add_blocks(Runs *runs, const std::vector<int64_t> &blocks);

// Appends `part`, whose first coordinate follows the runs' last, with 1
// added over each block's part within it: runs counted apart, joined.
void append_runs(Runs *runs, const Runs &part, const std::vector<int64_t> &blocks);

struct SpanStats {
    // Whole depths are summed in 64 bits, which no sum of 32-bit depths
    // over an R vector wraps; real ones in long double.
    double sum = 0;
    int64_t covered = 0; // positions of depth above 0
};

// Over coordinates a..b, clipped to the runs; `cursor` as each_run()'s.
SpanStats span_stats(const Runs &runs, int64_t a, int64_t b, size_t *cursor = nullptr);

// The mean depth of coordinates a..b (within the runs), whose depths sum to
// `sum`, as mosdepth prints it with `digits` decimals: sum / width, except
// where that lies halfway between two printed values (or two whole depths,
// by which mosdepth's distributions count), where the depths are summed
// position by position, depth / width, in doubles, as mosdepth sums them,
// so that the mean rounds the way mosdepth's does.
double printed_mean(const Runs &runs, int64_t a, int64_t b, int64_t sum, int digits);

// The profile across samples of coordinates a..b: floor(sum of factors[s]
// times the depth of sample s), the terms added in the samples' order in
// double precision. Returns false, with `overflow` set to the first
// coordinate whose value does not fit a 32-bit integer.
bool profile_runs(const Runs *const *samples, size_t n_samples,
                  const double *factors, int64_t a, int64_t b, Runs *out,
                  int64_t *overflow);

// The regions of a profile, by the region search of kernels/regions.h
// that regionmining() runs on the same values expanded: the first and last
// coordinate of each, appended to `out`. Stretches below the threshold are
// skipped a run at a time.
void runs_regions(const Runs &profile, int threshold, int minlen,
                  std::vector<int64_t> *out);


// The runs with each depth replaced by its bin: k where cuts[k] <= depth <
// cuts[k + 1] (cuts ascending; the last bin open-ended), -1 below cuts[0].
// Neighbouring runs of one bin merge.
Runs quantize_runs(const Runs &runs, const std::vector<int> &cuts);

} // namespace tolvendra

#endif
