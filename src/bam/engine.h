// The alignment engine: one pass over each file for a group of targets,
// from index queries to what each job needs (sums over spans, covered
// positions, regions of the profile across samples, runs of depth). Plain
// C++ with no R in it; glue.cpp calls it.
#ifndef TOLVENDRA_ENGINE_H
#define TOLVENDRA_ENGINE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "alignments.h"
#include "../kernels/runs.h"

namespace tolvendra {

// A sample: its file, and the reads of it that count.
struct Source {
    std::string path, index, reference; // empty: found beside the file
    ReadFilter filter;
};

struct Target {
    std::string seqname;
    int64_t start = 1, end = 0; // 1-based, closed
};

struct Request {
    std::vector<Source> sources;
    std::vector<Target> targets;
    // Spans to sum, each within its target (0-based index)
    std::vector<int> span_target;
    std::vector<int64_t> span_start, span_end;
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
    // span_group[i] (none when empty). A group's spans must not overlap;
    // its statistics are over the positions of all of them, and all of
    // them are read in one query, so that a read is met once per group.
    std::vector<int> span_group;
    int groups = 0;
    bool group_stats = false;       // sum, bases, min, max, median, sd
    std::vector<int> thresholds;    // positions at least this deep
    bool group_depths = false;      // the (depth, positions) pairs
    bool group_reads = false;       // reads with a block touching a group
    int histogram = -1;             // positions at depths 0..histogram
    int threads = 1;
    int64_t chunk = 65536;        // positions counted at a time
    size_t max_blocks = 4194304;  // blocks held at most
    int64_t merge_gap = 65536;    // targets this close are read in one query
    // Called after each stretch with the share of the work done; returning
    // false stops the work (an interrupt).
    bool (*poll)(void *context, double done) = nullptr;
    void *poll_context = nullptr;
};

struct Result {
    std::vector<int64_t> reads; // per source: reads (or fragments) counted
    std::vector<double> bases;  // and the bases they cover
    std::vector<double> sums;    // span i of sample s at i + spans * s
    std::vector<double> covered; // target t of sample s at t + targets * s
    std::vector<int> region_target;
    std::vector<int64_t> region_start, region_end;
    std::vector<double> region_sums; // region k of sample s at k * samples + s
    std::vector<Runs> runs;          // target t of sample s at t * samples + s
    // Group g of sample s at g + groups * s; threshold k of it at
    // g + groups * (s + samples * k); depth d of it at
    // d + (histogram + 1) * (g + groups * s), the last bin also deeper.
    std::vector<double> group_sum, group_bases, group_min, group_max,
        group_median, group_sd, group_ge, group_reads, group_histogram;
    // (group, sample, depth, positions) of each group's merged depths
    std::vector<int> depth_group, depth_sample, depth_value;
    std::vector<double> depth_count;
    Status status;
    int failed = -1; // the source at fault, if a file is
};

// Fills `result`; a fault leaves its status (and `failed`) set and the rest
// incomplete. Throws std::bad_alloc when memory runs out.
void run_engine(const Request &request, Result *result);

// Counts, for each source, the reads (or fragments) of the whole file that
// its filter keeps and the bases they cover, as run_engine() counts them.
void count_libraries(const Request &request, Result *result);

} // namespace tolvendra

#endif
