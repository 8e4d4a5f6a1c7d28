// What the engine is asked (Request) and what it gives back (Result), as
// shaped containers: each output knows its dimensions, so that the glue
// hands R arrays and R computes no offsets. Plain C++ with no R in it.
#ifndef TOLVENDRA_ENGINE_REQUEST_H
#define TOLVENDRA_ENGINE_REQUEST_H

#include <stddef.h>
#include <stdint.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "../bam/alignments.h"
#include "../kernels/runs.h"

namespace tolvendra {

// A sample: its file, and the reads of it that count.
struct Source {
    std::string path, index, reference; // empty: found beside the file
    ReadFilter filter;
    bool track = false; // a bigWig track: its depth read, no reads
};

struct Target {
    std::string seqname;
    int64_t start = 1, end = 0; // 1-based, closed
};

// Statistics over groups of spans, as bits of Request::group_stats: each
// is computed and shaped only when asked for.
enum GroupStat : unsigned {
    stat_sum = 1, stat_bases = 2, stat_min = 4, stat_max = 8,
    stat_median = 16, stat_sd = 32
};

struct Request {
    std::vector<Source> sources;
    std::vector<Target> targets;
    // Spans to sum, each within its target (0-based index)
    std::vector<int> span_target;
    std::vector<int64_t> span_start, span_end;
    // The decimals each span's mean is printed with, for the means mosdepth
    // prints (-1: no mean; none when empty)
    std::vector<int> span_digits;
    // The region search: on floor(sum of factors[s] * depth of sample s),
    // against `threshold` (no region is possible above 2^31 - 1).
    bool regions = false;
    std::vector<double> factors;
    double threshold = 0;
    int minlen = 0;
    bool keep_runs = false; // each target's runs, per sample
    // Kept runs hold depth bins instead (see quantize_runs()) when given.
    std::vector<int> quantize;
    // Statistics over groups of spans: span i belongs to group
    // span_group[i] (none when empty, -1 for a span of no group). A
    // group's spans must not overlap; its statistics are over the
    // positions of all of them, and all of them are read in one query, so
    // that a read is met once per group.
    std::vector<int> span_group;
    int groups = 0;
    unsigned group_stats = 0;       // the GroupStat bits asked for
    std::vector<int> thresholds;    // positions at least this deep
    bool group_depths = false;      // the (depth, positions) pairs
    bool group_reads = false;       // reads with a block touching a group
    int histogram = -1;             // positions at depths 0..histogram
    int threads = 1;              // stretches of a segment counted at once
    int64_t min_stretch = 262144; // no stretch is cut shorter
    int64_t chunk = 65536;        // positions counted at a time
    size_t max_blocks = 4194304;  // blocks held at most
    int64_t merge_gap = 65536;    // targets this close are read in one query
    // Called after each stretch with the share of the work done; returning
    // false stops the work (an interrupt).
    bool (*poll)(void *context, double done) = nullptr;
    void *poll_context = nullptr;
};

// An array of up to three dimensions, the first varying fastest (as R
// stores arrays).
template <class T>
struct Grid {
    std::vector<int> dim;
    std::vector<T> x;
    void shape(std::initializer_list<int> d)
    {
        dim.assign(d);
        size_t n = 1;
        for (int k : dim)
            n *= static_cast<size_t>(k);
        x.assign(n, T());
    }
    T &operator()(size_t i, size_t j, size_t k = 0)
    {
        return x[i + static_cast<size_t>(dim[0]) *
                         (j + static_cast<size_t>(dim[1]) * k)];
    }
};

// Regions of the profile across samples, and each sample's sums over them.
struct Regions {
    std::vector<int> target;
    std::vector<int64_t> start, end;
    std::vector<std::vector<double>> sums; // per sample
};

// What the engine found over groups of spans. Matrices are groups x
// samples; ge groups x samples x thresholds; histogram (histogram + 1
// depths, the last also deeper) x groups x samples; each asked for output
// has its dimensions, the others none of groups.
struct Groups {
    Grid<double> sum, bases, min, max, median, sd, ge, reads, histogram;
    // (group, sample, depth, positions) of each group's merged depths
    std::vector<int> depth_group, depth_sample;
    std::vector<double> depth_value, depth_count;
};

struct Result {
    std::vector<int64_t> reads; // per source: reads (or fragments) counted
    std::vector<double> bases;  // and the bases they cover
    Grid<double> sums;          // spans x samples
    Grid<double> means;         // spans x samples, as printed_mean(); 0 where not asked
    Grid<double> covered;       // targets x samples
    Regions regions;
    Grid<Runs> runs;            // targets x samples, or none of targets
    Groups groups;
    Status status;
    int failed = -1; // the source at fault, if a file is
};

} // namespace tolvendra

#endif
