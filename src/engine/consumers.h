// Consumers: each makes one output of the engine from the runs of depth
// of a segment, every sample's in, whatever producer made them. The engine
// calls them in the order made by make_consumers(); the last may move the
// runs out. Plain C++ with no R in it.
#ifndef TOLVENDRA_ENGINE_CONSUMERS_H
#define TOLVENDRA_ENGINE_CONSUMERS_H

#include <memory>
#include <vector>

#include "plan.h"
#include "producer.h"

namespace tolvendra {

class Consumer {
public:
    virtual ~Consumer() = default;
    // `runs` holds the segment's depth, one Runs a sample.
    virtual Status finish_segment(const Segment &segment,
                                  std::vector<Runs> *runs) = 0;
};

// The consumers of what `request` asks, in the order they run, and the
// hook that counts reads per group (null unless group reads are asked).
// Each fills its part of `result`, which shape_result() has shaped.
struct Consumers {
    std::vector<std::unique_ptr<Consumer>> each;
    std::unique_ptr<ReadHook> reads;
};
Consumers make_consumers(const Request &request, const Plan &plan,
                         Result *result);

// The dimensions of every output, the ones not asked for empty.
void shape_result(const Request &request, Result *result);

// One per output (spans.cpp, regions.cpp, groups.cpp, group_reads.cpp).
std::unique_ptr<Consumer> span_sums(const Request &rq, const Plan &plan,
                                    Result *out);
std::unique_ptr<Consumer> kept_runs(const Request &rq, Result *out);
std::unique_ptr<Consumer> region_finder(const Request &rq, Result *out);
std::unique_ptr<Consumer> group_statistics(const Request &rq, const Plan &plan,
                                           Result *out);
std::unique_ptr<ReadHook> group_reads(const Request &rq, const Plan &plan,
                                      Result *out);

} // namespace tolvendra

#endif
