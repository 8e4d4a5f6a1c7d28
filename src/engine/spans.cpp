// Sums over spans and covered positions of targets; each target's runs
// kept, or quantized.
#include "consumers.h"

namespace tolvendra {

namespace {

class SpanSums : public Consumer {
public:
    SpanSums(const Request &rq, const Plan &plan, Result *out)
        : rq_(rq), plan_(plan), out_(out) {}
    Status finish_segment(const Segment &segment, std::vector<Runs> *runs) override
    {
        for (int t : segment.targets) {
            const Target &target = rq_.targets[t];
            const std::vector<int> &spans = plan_.spans_of[t];
            const bool tiled = tiles(target, spans);
            for (size_t s = 0; s < runs->size(); ++s) {
                const Runs &r = (*runs)[s];
                // the whole target's, which a span may be too: one walk; or
                // none where the spans tile it and count its covered
                // positions between them
                const SpanStats all = tiled ? SpanStats()
                                            : span_stats(r, target.start, target.end);
                int64_t covered = 0;
                size_t cursor = 0;
                for (int i : spans) {
                    const bool whole = !tiled && rq_.span_start[i] == target.start &&
                                       rq_.span_end[i] == target.end;
                    const SpanStats one = whole ? all
                                                : span_stats(r, rq_.span_start[i],
                                                             rq_.span_end[i], &cursor);
                    covered += one.covered;
                    out_->sums(i, s) = one.sum;
                    // printed means are of counted (whole) depths only
                    if (!rq_.span_digits.empty() && rq_.span_digits[i] >= 0)
                        out_->means(i, s) = printed_mean(
                            r, rq_.span_start[i], rq_.span_end[i],
                            static_cast<int64_t>(one.sum), rq_.span_digits[i]);
                }
                out_->covered(t, s) = static_cast<double>(tiled ? covered : all.covered);
            }
        }
        return Status();
    }

private:
    // Whether the spans, in order, cover the target end to end without
    // overlapping, as bins do.
    bool tiles(const Target &target, const std::vector<int> &spans) const
    {
        int64_t next = target.start;
        for (int i : spans) {
            if (rq_.span_start[i] != next)
                return false;
            next = rq_.span_end[i] + 1;
        }
        return !spans.empty() && next == target.end + 1;
    }

    const Request &rq_;
    const Plan &plan_;
    Result *out_;
};

class KeptRuns : public Consumer {
public:
    KeptRuns(const Request &rq, Result *out) : rq_(rq), out_(out) {}
    Status finish_segment(const Segment &segment, std::vector<Runs> *runs) override
    {
        for (int t : segment.targets) {
            const Target &target = rq_.targets[t];
            // a lone target of its segment takes the runs themselves
            const bool whole = segment.targets.size() == 1 &&
                               target.start == segment.start &&
                               target.end == segment.end;
            for (size_t s = 0; s < runs->size(); ++s) {
                Runs kept = whole ? std::move((*runs)[s])
                                  : (*runs)[s].slice(target.start, target.end);
                out_->runs(t, s) = rq_.quantize.empty()
                                       ? std::move(kept)
                                       : quantize_runs(kept, rq_.quantize);
            }
        }
        return Status();
    }

private:
    const Request &rq_;
    Result *out_;
};

} // namespace

std::unique_ptr<Consumer> span_sums(const Request &rq, const Plan &plan,
                                    Result *out)
{
    return std::unique_ptr<Consumer>(new SpanSums(rq, plan, out));
}

std::unique_ptr<Consumer> kept_runs(const Request &rq, Result *out)
{
    return std::unique_ptr<Consumer>(new KeptRuns(rq, out));
}

} // namespace tolvendra
