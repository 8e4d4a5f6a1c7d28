#include "engine.h"

#include <thread>

#include "consumers.h"
#include "tracks.h"

namespace tolvendra {

void shape_result(const Request &rq, Result *out)
{
    const int n = static_cast<int>(rq.sources.size());
    const int targets = static_cast<int>(rq.targets.size());
    const bool grouped = !rq.span_group.empty();
    const int g = grouped ? rq.groups : 0;
    const int k = static_cast<int>(rq.thresholds.size());
    out->reads.assign(static_cast<size_t>(n), 0);
    out->bases.assign(static_cast<size_t>(n), 0.0);
    out->sums.shape({static_cast<int>(rq.span_start.size()), n});
    out->means.shape({rq.span_digits.empty() ? 0 : static_cast<int>(rq.span_start.size()), n});
    out->covered.shape({targets, n});
    out->regions.sums.assign(static_cast<size_t>(n), std::vector<double>());
    out->runs.shape({rq.keep_runs ? targets : 0, n});
    Groups &gr = out->groups;
    const GroupStat stats[] = {stat_sum, stat_bases, stat_min, stat_max, stat_median, stat_sd};
    Grid<double> *grids[] = {&gr.sum, &gr.bases, &gr.min, &gr.max, &gr.median, &gr.sd};
    for (int i = 0; i < 6; ++i)
        grids[i]->shape({rq.group_stats & stats[i] ? g : 0, n});
    gr.ge.shape({k > 0 ? g : 0, n, k});
    gr.reads.shape({rq.group_reads ? g : 0, n});
    gr.histogram.shape({rq.histogram >= 0 && g > 0 ? rq.histogram + 1 : 0,
                        rq.histogram >= 0 ? g : 0, n});
}

Consumers make_consumers(const Request &rq, const Plan &plan, Result *out)
{
    Consumers c;
    if (!rq.span_group.empty())
        c.each.push_back(group_statistics(rq, plan, out));
    c.each.push_back(span_sums(rq, plan, out));
    if (rq.regions)
        c.each.push_back(region_finder(rq, out));
    if (rq.keep_runs)
        c.each.push_back(kept_runs(rq, out)); // last: it may take the runs
    if (rq.group_reads && !rq.span_group.empty())
        c.reads = group_reads(rq, plan, out);
    return c;
}

namespace {

// The consumers of a segment, in order. Those before one that takes the
// runs only read them, each into a part of the result of its own, so a
// segment long enough to be read in stretches has them run side by side
// on up to `threads` threads; the first fault in their order is the
// segment's.
Status finish_segment(const Request &rq, Consumers &consumers, const Segment &segment,
                      std::vector<Runs> *runs)
{
    std::vector<std::unique_ptr<Consumer>> &each = consumers.each;
    const size_t readers = each.size() - (rq.keep_runs ? 1 : 0);
    const bool long_segment = segment.end - segment.start + 1 >= 2 * rq.min_stretch;
    const size_t lanes = long_segment ? std::min<size_t>(readers, std::max(rq.threads, 1)) : 1;
    std::vector<Status> status(each.size());
    std::vector<std::thread> crew;
    auto lane = [&](size_t k) {
        for (size_t i = k; i < readers; i += lanes)
            status[i] = caught([&] { return each[i]->finish_segment(segment, runs); });
    };
    try {
        for (size_t k = 1; k < lanes; ++k)
            crew.emplace_back(lane, k);
    } catch (...) {
        // threads that could not start leave their lanes to this one
    }
    lane(0);
    for (size_t k = crew.size() + 1; k < lanes; ++k)
        lane(k);
    for (std::thread &t : crew)
        t.join();
    for (size_t i = 0; i < readers; ++i) {
        if (!status[i].ok())
            return status[i];
    }
    return readers < each.size() ? each.back()->finish_segment(segment, runs) : Status();
}

} // namespace

void drive(Producer *producer, const Request &rq, Result *out)
{
    std::vector<int> tids;
    Status st = producer->sequences(rq.targets, &tids);
    if (!st.ok()) {
        out->status = st;
        out->failed = 0;
        return;
    }
    const Plan plan = make_plan(rq, tids);
    producer->prepare(plan);
    Consumers consumers = make_consumers(rq, plan, out);
    std::vector<Runs> runs(rq.sources.size());
    for (const Segment &segment : plan.segments) {
        for (size_t s = 0; s < runs.size(); ++s) {
            st = producer->cover(s, segment, &runs[s], consumers.reads.get());
            if (!st.ok()) {
                out->status = st;
                out->failed = static_cast<int>(s);
                return;
            }
        }
        st = finish_segment(rq, consumers, segment, &runs);
        if (!st.ok()) {
            out->status = st;
            return;
        }
    }
}

namespace {

template <class P>
void open_and_drive(P *producer, const Request &rq, Result *out)
{
    Status st = producer->open(&out->failed);
    if (!st.ok()) {
        out->status = st;
        return;
    }
    drive(producer, rq, out);
}

} // namespace

// Alignment files alone, or tracks among the sources.
void run_engine(const Request &rq, Result *out)
{
    shape_result(rq, out);
    for (const Source &source : rq.sources) {
        if (source.track) {
            TrackProducer producer(rq, out);
            open_and_drive(&producer, rq, out);
            return;
        }
    }
    AlignmentProducer producer(rq, out);
    open_and_drive(&producer, rq, out);
}

void count_libraries(const Request &rq, Result *out)
{
    shape_result(rq, out);
    for (size_t s = 0; s < rq.sources.size(); ++s) {
        AlignmentFile file;
        Status st = open_source(rq.sources[s], &file);
        if (st.ok())
            st = file.count_library(rq.sources[s].filter, &out->reads[s],
                                    &out->bases[s]);
        if (!st.ok()) {
            out->status = st;
            out->failed = static_cast<int>(s);
            return;
        }
    }
}

} // namespace tolvendra
