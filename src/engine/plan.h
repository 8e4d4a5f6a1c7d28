// The plan of a pass: targets sorted along each sequence and merged into
// the segments read in one query each. Plain C++ with no R in it.
#ifndef TOLVENDRA_ENGINE_PLAN_H
#define TOLVENDRA_ENGINE_PLAN_H

#include <stdint.h>

#include <vector>

#include "request.h"

namespace tolvendra {

// Targets on one sequence read in one query.
struct Segment {
    int tid;
    int64_t start, end;
    std::vector<int> targets;
};

struct Plan {
    std::vector<Segment> segments;
    std::vector<std::vector<int>> spans_of; // the spans of each target
    int64_t chunk = 1;                      // positions counted at a time
    double work = 1;                        // positions to count, all samples
};

// Plans the pass over the targets, whose sequences the source numbers
// `tids` (all found). Overlapping or nearby targets share a query, so that
// each read is decoded once; in fragments mode all targets of a sequence
// do, and segments sharing a group of spans are joined.
Plan make_plan(const Request &request, const std::vector<int> &tids);

} // namespace tolvendra

#endif
