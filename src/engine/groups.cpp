// Statistics over groups of spans: those asked for among sum, bases, min,
// max, median and sd, positions at least each threshold deep, the
// histogram of depths and the depths themselves. A group is finished once
// all its spans are in.
#include "consumers.h"

#include <math.h>
#include <stdint.h>

#include <algorithm>
#include <unordered_map>

#include "../kernels/depths.h"

namespace tolvendra {

namespace {

class GroupStatistics : public Consumer {
public:
    GroupStatistics(const Request &rq, const Plan &plan, Result *out)
        : rq_(rq), plan_(plan), out_(out), left_(static_cast<size_t>(rq.groups), 0)
    {
        for (int g : rq.span_group)
            if (g >= 0)
                ++left_[g];
    }
    Status finish_segment(const Segment &segment, std::vector<Runs> *runs) override;

private:
    void finish(int g, size_t s, std::vector<DepthCount> *pairs);

    const Request &rq_;
    const Plan &plan_;
    Result *out_;
    // Spans not yet in, per group, and the depths gathered so far of groups
    // whose spans lie in several segments (at g * samples + s).
    std::vector<int> left_;
    std::unordered_map<int64_t, std::vector<DepthCount>> open_;
    std::vector<DepthCount> pairs_;
};

Status GroupStatistics::finish_segment(const Segment &segment,
                                       std::vector<Runs> *runs)
{
    const size_t n_samples = runs->size();
    for (int t : segment.targets) {
        for (int i : plan_.spans_of[t]) {
            const int g = rq_.span_group[i];
            if (g < 0)
                continue;
            const bool done = --left_[g] == 0;
            for (size_t s = 0; s < n_samples; ++s) {
                const int64_t key = static_cast<int64_t>(g) *
                                        static_cast<int64_t>(n_samples) +
                                    static_cast<int64_t>(s);
                auto found = open_.find(key);
                std::vector<DepthCount> *pairs = &pairs_;
                if (found != open_.end())
                    pairs = &found->second;
                else if (!done)
                    pairs = &open_[key];
                else
                    pairs_.clear();
                span_depths((*runs)[s], rq_.span_start[i], rq_.span_end[i], pairs);
                if (done) {
                    finish(g, s, pairs);
                    if (found != open_.end())
                        open_.erase(found);
                }
            }
        }
    }
    return Status();
}

// The statistics of a group of one sample from its depths.
void GroupStatistics::finish(int g, size_t s, std::vector<DepthCount> *pairs)
{
    merge_depths(pairs);
    Groups &out = out_->groups;
    const unsigned asked = rq_.group_stats;
    if (asked) {
        const DepthStatistics d = depth_statistics(*pairs, asked & stat_median,
                                                   asked & stat_sd);
        if (asked & stat_sum)
            out.sum(g, s) = d.sum;
        if (asked & stat_bases)
            out.bases(g, s) = static_cast<double>(d.bases);
        if (asked & stat_min)
            out.min(g, s) = d.min;
        if (asked & stat_max)
            out.max(g, s) = d.max;
        if (asked & stat_median)
            out.median(g, s) = d.median;
        if (asked & stat_sd)
            out.sd(g, s) = d.sd;
    }
    for (size_t k = 0; k < rq_.thresholds.size(); ++k)
        out.ge(g, s, k) = static_cast<double>(depths_at_least(*pairs, rq_.thresholds[k]));
    // a depth that is not whole counts in the bin of the whole depth below
    if (rq_.histogram >= 0) {
        const double top = rq_.histogram;
        for (const DepthCount &p : *pairs) {
            const double d = std::min(std::max(floor(p.depth), 0.0), top);
            out.histogram(static_cast<size_t>(d), g, s) += static_cast<double>(p.n);
        }
    }
    if (rq_.group_depths) {
        for (const DepthCount &p : *pairs) {
            out.depth_group.push_back(g);
            out.depth_sample.push_back(static_cast<int>(s));
            out.depth_value.push_back(p.depth);
            out.depth_count.push_back(static_cast<double>(p.n));
        }
    }
}

} // namespace

std::unique_ptr<Consumer> group_statistics(const Request &rq, const Plan &plan,
                                           Result *out)
{
    return std::unique_ptr<Consumer>(new GroupStatistics(rq, plan, out));
}

} // namespace tolvendra
