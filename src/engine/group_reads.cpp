// Reads per group of spans: a read counts once for each group that a block
// of it touches. Hears the reads as the producer takes them.
#include "consumers.h"

#include <stdint.h>

#include <algorithm>

namespace tolvendra {

namespace {

class GroupReads : public ReadHook {
public:
    GroupReads(const Request &rq, const Plan &plan, Result *out)
        : rq_(rq), plan_(plan), out_(out), stamp_(static_cast<size_t>(rq.groups), -1) {}
    void begin(const Segment &segment, size_t sample) override
    {
        if (&segment != indexed_)
            index(segment);
        sample_ = sample;
    }
    void read(const Blocks &blocks, size_t first) override;

private:
    void index(const Segment &segment);

    const Request &rq_;
    const Plan &plan_;
    Result *out_;
    // The spans of the segment read, by buckets of 2^shift_ positions from
    // from_, for the groups a read touches; stamp_ marks the groups met by
    // the current read.
    const Segment *indexed_ = nullptr;
    int64_t from_ = 0, to_ = -1;
    int shift_ = 10;
    std::vector<uint32_t> bucket_at_;
    std::vector<int> bucket_span_;
    std::vector<int64_t> stamp_;
    int64_t read_ = 0;
    size_t sample_ = 0;
};

// Buckets of the segment's grouped spans, sized after the spans, so that
// a block finds the spans it touches among few others.
void GroupReads::index(const Segment &segment)
{
    indexed_ = &segment;
    int64_t n = 0, width = 0;
    for (int t : segment.targets) {
        for (int i : plan_.spans_of[t]) {
            ++n;
            width += rq_.span_end[i] - rq_.span_start[i] + 1;
        }
    }
    from_ = segment.start;
    to_ = segment.end;
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
            for (int i : plan_.spans_of[t]) {
                if (rq_.span_group[i] < 0)
                    continue;
                const int64_t a = (rq_.span_start[i] - from_) >> shift_;
                const int64_t b = (rq_.span_end[i] - from_) >> shift_;
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

void GroupReads::read(const Blocks &blocks, size_t first)
{
    ++read_;
    for (size_t b = first; b < blocks.starts.size(); ++b) {
        const int64_t a = std::max<int64_t>(blocks.starts[b], from_);
        const int64_t e = std::min<int64_t>(blocks.ends[b], to_);
        if (a > e)
            continue;
        const size_t to = static_cast<size_t>((e - from_) >> shift_);
        for (size_t k = static_cast<size_t>((a - from_) >> shift_); k <= to; ++k) {
            for (uint32_t j = bucket_at_[k]; j < bucket_at_[k + 1]; ++j) {
                const int i = bucket_span_[j];
                const int g = rq_.span_group[i];
                if (stamp_[g] == read_ || rq_.span_start[i] > e ||
                    rq_.span_end[i] < a)
                    continue;
                stamp_[g] = read_;
                out_->groups.reads(g, sample_) += 1;
            }
        }
    }
}

} // namespace

std::unique_ptr<ReadHook> group_reads(const Request &rq, const Plan &plan,
                                      Result *out)
{
    return std::unique_ptr<ReadHook>(new GroupReads(rq, plan, out));
}

} // namespace tolvendra
