#include "plan.h"

#include <algorithm>
#include <numeric>

namespace tolvendra {

namespace {

// Segments that share a group on one sequence become one, so that a read
// is met once per group and counted once.
void join_groups(const Request &rq, const std::vector<std::vector<int>> &spans_of,
                 std::vector<Segment> *segments)
{
    std::vector<Segment> &in = *segments;
    std::vector<size_t> reach(in.size());
    std::vector<int64_t> seen(static_cast<size_t>(rq.groups), -1);
    for (size_t k = 0; k < in.size(); ++k) {
        reach[k] = k;
        for (int t : in[k].targets) {
            for (int i : spans_of[t]) {
                const int g = rq.span_group[i];
                if (g < 0)
                    continue;
                const int64_t j = seen[g];
                if (j >= 0 && in[j].tid == in[k].tid)
                    reach[j] = std::max(reach[j], k);
                seen[g] = static_cast<int64_t>(k);
            }
        }
    }
    std::vector<Segment> out;
    for (size_t k = 0; k < in.size();) {
        Segment joined = in[k];
        size_t to = reach[k];
        size_t j = k + 1;
        for (; j <= to && j < in.size(); ++j) {
            to = std::max(to, reach[j]);
            joined.end = std::max(joined.end, in[j].end);
            joined.targets.insert(joined.targets.end(), in[j].targets.begin(),
                                  in[j].targets.end());
        }
        out.push_back(std::move(joined));
        k = j;
    }
    in.swap(out);
}

} // namespace

Plan make_plan(const Request &rq, const std::vector<int> &tids)
{
    Plan plan;
    const size_t n = rq.targets.size();
    plan.spans_of.assign(n, std::vector<int>());
    for (size_t i = 0; i < rq.span_target.size(); ++i)
        plan.spans_of[rq.span_target[i]].push_back(static_cast<int>(i));
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        if (tids[a] != tids[b])
            return tids[a] < tids[b];
        return rq.targets[a].start < rq.targets[b].start;
    });
    // Fragments are looked for from a sequence's start (see
    // AlignmentFile::query()), so its targets are read in one query.
    bool fragments = false;
    for (const Source &src : rq.sources)
        fragments = fragments || src.filter.fragments;
    std::vector<Segment> &segments = plan.segments;
    for (int t : order) {
        const Target &target = rq.targets[t];
        if (!segments.empty() && segments.back().tid == tids[t] &&
            (fragments || target.start <= segments.back().end + rq.merge_gap)) {
            Segment &g = segments.back();
            g.end = std::max(g.end, target.end);
            g.targets.push_back(t);
        } else {
            segments.push_back(Segment{tids[t], target.start, target.end, {t}});
        }
    }
    if (!rq.span_group.empty())
        join_groups(rq, plan.spans_of, &segments);
    // no stretch is longer than the longest segment
    double work = 0;
    for (const Segment &g : segments) {
        work += static_cast<double>(g.end - g.start + 1);
        plan.chunk = std::max(plan.chunk, std::min(rq.chunk, g.end - g.start + 1));
    }
    plan.work = std::max(1.0, work * static_cast<double>(rq.sources.size()));
    return plan;
}

} // namespace tolvendra
