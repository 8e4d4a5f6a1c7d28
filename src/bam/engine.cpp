#include "engine.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <unordered_map>

#include "../kernels/coverage.h"

namespace tolvendra {

namespace {

Status fault(Fault kind, std::string what)
{
    Status s;
    s.fault = kind;
    s.what = std::move(what);
    return s;
}

// Targets on one sequence read in one query.
struct Segment {
    int tid;
    int64_t start, end;
    std::vector<int> targets;
};

struct Block {
    int64_t start, end;
};

class Engine {
public:
    Engine(const Request &request, Result *result)
        : rq_(request), out_(result) {}
    void run();

private:
    bool open_files();
    bool plan(std::vector<Segment> *segments);
    Status cover(size_t s, int tid, int64_t beg, int64_t end, Runs *runs);
    void flush(int64_t pos, int64_t n, int64_t last, size_t source);
    bool summarize(const Segment &segment);
    bool find_regions(const Target &target, int t, Runs *profile);
    void join_groups(std::vector<Segment> *segments);
    void index_pieces(const Segment &segment);
    void count_read(size_t first_block);
    void summarize_groups(const Segment &segment);
    void finish_group(int g, size_t s, std::vector<DepthCount> *pairs);
    bool poll();

    const Request &rq_;
    Result *out_;
    std::vector<std::unique_ptr<AlignmentFile>> files_;
    std::vector<Runs> runs_; // the current segment, per sample
    std::vector<uint32_t> diff_;
    int64_t chunk_ = 1; // positions counted at a time
    Blocks blocks_;
    std::vector<Block> carry_, carried_;
    // Parts of blocks before the stretch being counted (reads extended
    // backwards, fragments of mates met late), added to the runs after
    std::vector<int64_t> late_;
    std::vector<std::vector<int>> spans_of_; // per target
    double done_ = 0, work_ = 1;
    // Groups: spans not yet summarized, and the depths gathered so far of
    // groups whose spans lie in several targets (at g * samples + s).
    std::vector<int> left_;
    std::unordered_map<int64_t, std::vector<DepthCount>> open_;
    std::vector<DepthCount> pairs_;
    // The spans of the segment read, by buckets of 2^shift_ positions from
    // index_from_, for the groups a read touches; stamp_ marks the groups
    // met by the current read.
    int64_t index_from_ = 0, index_to_ = -1;
    int shift_ = 10;
    std::vector<uint32_t> bucket_at_;
    std::vector<int> bucket_span_;
    std::vector<int64_t> stamp_;
    int64_t read_ = 0;
    size_t sample_ = 0;
};

bool Engine::open_files()
{
    for (size_t s = 0; s < rq_.sources.size(); ++s) {
        const Source &src = rq_.sources[s];
        files_.emplace_back(new AlignmentFile());
        Status st = files_.back()->open(
            src.path.c_str(), src.index.empty() ? nullptr : src.index.c_str(),
            src.reference.empty() ? nullptr : src.reference.c_str(),
            rq_.threads);
        if (!st.ok()) {
            out_->status = st;
            out_->failed = static_cast<int>(s);
            return false;
        }
    }
    return true;
}

// Targets sorted along each sequence; overlapping or nearby ones share a
// query, so that each read is decoded once.
bool Engine::plan(std::vector<Segment> *segments)
{
    const size_t n = rq_.targets.size();
    std::vector<int> tids(n);
    for (size_t t = 0; t < n; ++t) {
        tids[t] = files_[0]->tid_of(rq_.targets[t].seqname.c_str());
        for (size_t s = 1; s < files_.size(); ++s) {
            if (files_[s]->tid_of(rq_.targets[t].seqname.c_str()) < 0)
                tids[t] = -1;
        }
        if (tids[t] < 0) {
            out_->status = fault(Fault::header, "has no sequence named " +
                                                    rq_.targets[t].seqname);
            out_->failed = 0;
            return false;
        }
    }
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        if (tids[a] != tids[b])
            return tids[a] < tids[b];
        return rq_.targets[a].start < rq_.targets[b].start;
    });
    // Fragments are looked for from a sequence's start (see
    // AlignmentFile::query()), so its targets are read in one query.
    bool fragments = false;
    for (const Source &src : rq_.sources)
        fragments = fragments || src.filter.fragments;
    work_ = 0;
    for (int t : order) {
        const Target &target = rq_.targets[t];
        if (!segments->empty() && segments->back().tid == tids[t] &&
            (fragments || target.start <= segments->back().end + rq_.merge_gap)) {
            Segment &g = segments->back();
            work_ -= static_cast<double>(g.end - g.start + 1);
            g.end = std::max(g.end, target.end);
            g.targets.push_back(t);
        } else {
            segments->push_back(Segment{tids[t], target.start, target.end, {t}});
        }
        work_ += static_cast<double>(segments->back().end -
                                     segments->back().start + 1);
    }
    if (!rq_.span_group.empty()) {
        join_groups(segments);
        work_ = 0;
        for (const Segment &g : *segments)
            work_ += static_cast<double>(g.end - g.start + 1);
    }
    work_ = std::max(1.0, work_ * static_cast<double>(files_.size()));
    return true;
}

// Segments that share a group on one sequence become one, so that a read
// is met once per group and counted once.
void Engine::join_groups(std::vector<Segment> *segments)
{
    std::vector<Segment> &in = *segments;
    std::vector<size_t> reach(in.size());
    std::vector<int64_t> seen(static_cast<size_t>(rq_.groups), -1);
    for (size_t k = 0; k < in.size(); ++k) {
        reach[k] = k;
        for (int t : in[k].targets) {
            for (int i : spans_of_[t]) {
                const int g = rq_.span_group[i];
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

// Buckets of the segment's grouped spans, sized after the spans, so that
// a block finds the spans it touches among few others.
void Engine::index_pieces(const Segment &segment)
{
    int64_t n = 0, width = 0;
    for (int t : segment.targets) {
        for (int i : spans_of_[t]) {
            ++n;
            width += rq_.span_end[i] - rq_.span_start[i] + 1;
        }
    }
    index_from_ = segment.start;
    index_to_ = segment.end;
    const int64_t length = segment.end - segment.start + 1;
    shift_ = 6;
    while (shift_ < 16 && (int64_t{1} << shift_) < width / std::max<int64_t>(n, 1))
        ++shift_;
    while ((length >> shift_) > (int64_t{1} << 22))
        ++shift_;
    const size_t buckets = static_cast<size_t>((length - 1) >> shift_) + 1;
    bucket_at_.assign(buckets + 1, 0);
    auto each = [&](auto visit) {
        for (int t : segment.targets) {
            for (int i : spans_of_[t]) {
                if (rq_.span_group[i] < 0)
                    continue;
                const int64_t a = (rq_.span_start[i] - index_from_) >> shift_;
                const int64_t b = (rq_.span_end[i] - index_from_) >> shift_;
                for (int64_t k = a; k <= b; ++k)
                    visit(static_cast<size_t>(k), i);
            }
        }
    };
    each([&](size_t k, int) { ++bucket_at_[k + 1]; });
    for (size_t k = 0; k < buckets; ++k)
        bucket_at_[k + 1] += bucket_at_[k];
    bucket_span_.assign(bucket_at_[buckets], 0);
    std::vector<uint32_t> fill(bucket_at_.begin(), bucket_at_.end() - 1);
    each([&](size_t k, int i) { bucket_span_[fill[k]++] = i; });
}

// Counts the read whose blocks start at `first_block` once for each group
// a block of it touches.
void Engine::count_read(size_t first_block)
{
    ++read_;
    const size_t n_groups = static_cast<size_t>(rq_.groups);
    for (size_t b = first_block; b < blocks_.starts.size(); ++b) {
        const int64_t a = std::max<int64_t>(blocks_.starts[b], index_from_);
        const int64_t e = std::min<int64_t>(blocks_.ends[b], index_to_);
        if (a > e)
            continue;
        const size_t to = static_cast<size_t>((e - index_from_) >> shift_);
        for (size_t k = static_cast<size_t>((a - index_from_) >> shift_);
             k <= to; ++k) {
            for (uint32_t j = bucket_at_[k]; j < bucket_at_[k + 1]; ++j) {
                const int i = bucket_span_[j];
                const int g = rq_.span_group[i];
                if (stamp_[g] == read_ || rq_.span_start[i] > e ||
                    rq_.span_end[i] < a)
                    continue;
                stamp_[g] = read_;
                out_->group_reads[g + n_groups * sample_] += 1;
            }
        }
    }
}

// The statistics of a group of one sample from its depths.
void Engine::finish_group(int g, size_t s, std::vector<DepthCount> *pairs)
{
    merge_depths(pairs);
    const size_t n_groups = static_cast<size_t>(rq_.groups);
    const size_t n_samples = rq_.sources.size();
    const size_t at = static_cast<size_t>(g) + n_groups * s;
    if (rq_.group_stats) {
        const DepthSummary d = summarize_depths(*pairs);
        out_->group_sum[at] = static_cast<double>(d.sum);
        out_->group_bases[at] = static_cast<double>(d.bases);
        out_->group_min[at] = d.min;
        out_->group_max[at] = d.max;
        out_->group_median[at] = d.median;
        out_->group_sd[at] = d.sd;
    }
    for (size_t k = 0; k < rq_.thresholds.size(); ++k) {
        out_->group_ge[at + n_groups * n_samples * k] =
            static_cast<double>(depths_at_least(*pairs, rq_.thresholds[k]));
    }
    if (rq_.histogram >= 0) {
        const size_t bins = static_cast<size_t>(rq_.histogram) + 1;
        double *h = out_->group_histogram.data() + bins * at;
        for (const DepthCount &p : *pairs) {
            const int32_t d = std::min(std::max(p.depth, 0), rq_.histogram);
            h[d] += static_cast<double>(p.n);
        }
    }
    if (rq_.group_depths) {
        for (const DepthCount &p : *pairs) {
            out_->depth_group.push_back(g);
            out_->depth_sample.push_back(static_cast<int>(s));
            out_->depth_value.push_back(p.depth);
            out_->depth_count.push_back(static_cast<double>(p.n));
        }
    }
}

// Gathers the depths of the segment's grouped spans; a group is summarized
// once all its spans are in.
void Engine::summarize_groups(const Segment &segment)
{
    const size_t n_samples = runs_.size();
    for (int t : segment.targets) {
        for (int i : spans_of_[t]) {
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
                span_depths(runs_[s], rq_.span_start[i], rq_.span_end[i], pairs);
                if (done) {
                    finish_group(g, s, pairs);
                    if (found != open_.end())
                        open_.erase(found);
                }
            }
        }
    }
}

bool Engine::poll()
{
    return !rq_.poll || rq_.poll(rq_.poll_context, done_ / work_);
}

// Marks the blocks held on the stretch of n positions from pos, whose last
// is `last`, and keeps the parts that reach past it for the next stretch.
void Engine::flush(int64_t pos, int64_t n, int64_t last, size_t source)
{
    out_->reads[source] += blocks_.reads;
    out_->bases[source] += blocks_.bases;
    coverage_mark(diff_.data(), n, pos, blocks_.starts.data(),
                  blocks_.ends.data(),
                  static_cast<int64_t>(blocks_.starts.size()));
    for (size_t i = 0; i < blocks_.starts.size(); ++i) {
        if (blocks_.starts[i] < pos) {
            late_.push_back(blocks_.starts[i]);
            late_.push_back(std::min<int64_t>(blocks_.ends[i], pos - 1));
        }
        if (blocks_.ends[i] > last)
            carry_.push_back(Block{std::max<int64_t>(blocks_.starts[i], last + 1),
                                   blocks_.ends[i]});
    }
    blocks_.clear();
}

// The depth of beg..end of one sample as runs, a stretch of `chunk`
// positions at a time, through the coverage kernel. Stretches that no read
// reaches are skipped, so sparse data costs what its reads cost.
Status Engine::cover(size_t s, int tid, int64_t beg, int64_t end, Runs *runs)
{
    AlignmentFile &file = *files_[s];
    const ReadFilter &filter = rq_.sources[s].filter;
    runs->reset(beg);
    Status st = file.query(tid, beg, end, filter);
    if (!st.ok())
        return st;
    carry_.clear();
    late_.clear();
    // reads extended backwards reach this far before their start
    const int64_t reach = filter.fragments ? 0 : filter.extend;
    bool more = file.peek(&st);
    int64_t pos = beg;
    while (st.ok() && pos <= end) {
        int64_t next = end + 1;
        for (const Block &c : carry_)
            next = std::min(next, c.start);
        if (more)
            next = std::min(next, std::max(file.held_start() - reach, pos));
        if (next > pos) {
            runs->append(0, std::min(next, end + 1) - pos);
            done_ += static_cast<double>(std::min(next, end + 1) - pos);
            pos = next;
            if (pos > end)
                break;
        }
        const int64_t last = std::min(pos + chunk_ - 1, end);
        const int64_t n = last - pos + 1;
        memset(diff_.data(), 0, static_cast<size_t>(n + 1) * sizeof(uint32_t));
        carried_.swap(carry_);
        carry_.clear();
        for (const Block &c : carried_)
            blocks_.add(c.start, c.end);
        while (more && file.held_start() - reach <= last) {
            const size_t first_block = blocks_.starts.size();
            file.take(&blocks_);
            if (rq_.group_reads)
                count_read(first_block);
            if (blocks_.starts.size() >= rq_.max_blocks)
                flush(pos, n, last, s);
            more = file.peek(&st);
        }
        if (!st.ok())
            break;
        flush(pos, n, last, s);
        coverage_sum(diff_.data(), n);
        runs->append_depths(diff_.data(), n);
        done_ += static_cast<double>(n);
        pos = last + 1;
        if (!poll())
            return fault(Fault::interrupted, "was interrupted");
    }
    // Reads past the end still count towards the check that the file holds
    // every read its index counts.
    while (st.ok() && more) {
        file.take(&blocks_);
        flush(end + 1, 0, end, s);
        more = file.peek(&st);
    }
    blocks_.clear();
    add_blocks(runs, late_);
    return st;
}

// What each target of a segment needs, from its samples' runs.
bool Engine::summarize(const Segment &segment)
{
    const size_t n_samples = runs_.size();
    const size_t n_spans = rq_.span_start.size();
    const size_t n_targets = rq_.targets.size();
    Runs profile;
    if (!rq_.span_group.empty())
        summarize_groups(segment);
    for (int t : segment.targets) {
        const Target &target = rq_.targets[t];
        for (size_t s = 0; s < n_samples; ++s) {
            for (int i : spans_of_[t]) {
                out_->sums[i + n_spans * s] = static_cast<double>(
                    span_stats(runs_[s], rq_.span_start[i], rq_.span_end[i]).sum);
            }
            out_->covered[t + n_targets * s] = static_cast<double>(
                span_stats(runs_[s], target.start, target.end).covered);
        }
        if (rq_.regions && !find_regions(target, t, &profile))
            return false;
        if (!rq_.keep_runs)
            continue;
        // a lone target of its segment takes the runs themselves
        const bool whole = segment.targets.size() == 1 &&
                           target.start == segment.start && target.end == segment.end;
        for (size_t s = 0; s < n_samples; ++s) {
            Runs kept = whole ? std::move(runs_[s])
                              : runs_[s].slice(target.start, target.end);
            out_->runs[t * n_samples + s] =
                rq_.quantize.empty() ? std::move(kept)
                                     : quantize_runs(kept, rq_.quantize);
        }
    }
    return true;
}

// The regions of target t on the profile across samples, and each sample's
// sums over them; false on a profile past 32-bit integers.
bool Engine::find_regions(const Target &target, int t, Runs *profile)
{
    const size_t n_samples = runs_.size();
    if (rq_.threshold > 2147483647.0)
        return true; // no profile of 32-bit integers reaches it
    std::vector<const Runs *> samples(n_samples);
    for (size_t s = 0; s < n_samples; ++s)
        samples[s] = &runs_[s];
    int64_t overflow = 0;
    // One sample as counted is its own profile: floor(0 + 1 * d) is d.
    const Runs *searched = profile;
    if (n_samples == 1 && rq_.factors[0] == 1.0) {
        if (target.start == runs_[0].first && target.end == runs_[0].last())
            searched = &runs_[0];
        else
            *profile = runs_[0].slice(target.start, target.end);
    } else if (!profile_runs(samples.data(), n_samples, rq_.factors.data(),
                             target.start, target.end, profile, &overflow)) {
        out_->status = fault(
            Fault::overflow,
            "gives a coverage summed over the samples past 2147483647 at " +
                target.seqname + ":" + std::to_string(overflow));
        return false;
    }
    const int threshold = rq_.threshold < -2147483648.0
                              ? -2147483647 - 1
                              : static_cast<int>(rq_.threshold);
    std::vector<int64_t> found;
    runs_regions(*searched, threshold, rq_.minlen, &found);
    for (size_t k = 0; k < found.size(); k += 2) {
        out_->region_target.push_back(t);
        out_->region_start.push_back(found[k]);
        out_->region_end.push_back(found[k + 1]);
        for (size_t s = 0; s < n_samples; ++s) {
            out_->region_sums.push_back(static_cast<double>(
                span_stats(runs_[s], found[k], found[k + 1]).sum));
        }
    }
    return true;
}

void Engine::run()
{
    const size_t n_samples = rq_.sources.size();
    const size_t n_targets = rq_.targets.size();
    out_->reads.assign(n_samples, 0);
    out_->bases.assign(n_samples, 0.0);
    out_->sums.assign(rq_.span_start.size() * n_samples, 0.0);
    out_->covered.assign(n_targets * n_samples, 0.0);
    if (rq_.keep_runs)
        out_->runs.assign(n_targets * n_samples, Runs());
    spans_of_.assign(n_targets, std::vector<int>());
    for (size_t i = 0; i < rq_.span_target.size(); ++i)
        spans_of_[rq_.span_target[i]].push_back(static_cast<int>(i));
    const size_t n_groups = static_cast<size_t>(rq_.groups);
    const size_t cells = n_groups * n_samples;
    if (!rq_.span_group.empty()) {
        left_.assign(n_groups, 0);
        for (int g : rq_.span_group)
            if (g >= 0)
                ++left_[g];
        if (rq_.group_stats) {
            for (auto *v : {&out_->group_sum, &out_->group_bases, &out_->group_min,
                            &out_->group_max, &out_->group_median, &out_->group_sd})
                v->assign(cells, 0.0);
        }
        out_->group_ge.assign(cells * rq_.thresholds.size(), 0.0);
        if (rq_.group_reads) {
            out_->group_reads.assign(cells, 0.0);
            stamp_.assign(n_groups, -1);
        }
        if (rq_.histogram >= 0)
            out_->group_histogram.assign(
                cells * (static_cast<size_t>(rq_.histogram) + 1), 0.0);
    }
    if (!open_files())
        return;
    std::vector<Segment> segments;
    if (!plan(&segments))
        return;
    // no stretch is longer than the longest segment
    chunk_ = 1;
    for (const Segment &g : segments)
        chunk_ = std::max(chunk_, std::min(rq_.chunk, g.end - g.start + 1));
    diff_.assign(static_cast<size_t>(chunk_) + 1, 0);
    runs_.assign(n_samples, Runs());
    for (const Segment &g : segments) {
        if (rq_.group_reads)
            index_pieces(g);
        for (size_t s = 0; s < n_samples; ++s) {
            sample_ = s;
            Status st = cover(s, g.tid, g.start, g.end, &runs_[s]);
            if (!st.ok()) {
                out_->status = st;
                out_->failed = static_cast<int>(s);
                return;
            }
        }
        if (!summarize(g))
            return;
    }
}

} // namespace

void run_engine(const Request &request, Result *result)
{
    Engine(request, result).run();
}

void count_libraries(const Request &request, Result *result)
{
    result->reads.assign(request.sources.size(), 0);
    result->bases.assign(request.sources.size(), 0.0);
    for (size_t s = 0; s < request.sources.size(); ++s) {
        const Source &src = request.sources[s];
        AlignmentFile file;
        Status st = file.open(src.path.c_str(),
                              src.index.empty() ? nullptr : src.index.c_str(),
                              src.reference.empty() ? nullptr : src.reference.c_str(),
                              request.threads);
        if (st.ok())
            st = file.count_library(src.filter, &result->reads[s], &result->bases[s]);
        if (!st.ok()) {
            result->status = st;
            result->failed = static_cast<int>(s);
            return;
        }
    }
}

} // namespace tolvendra
