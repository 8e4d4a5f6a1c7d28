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
            for (size_t s = 0; s < runs->size(); ++s) {
                const Runs &r = (*runs)[s];
                // the whole target's, which a span may be too: one walk
                const SpanStats all = span_stats(r, target.start, target.end);
                for (int i : plan_.spans_of[t]) {
                    const bool whole = rq_.span_start[i] == target.start &&
                                       rq_.span_end[i] == target.end;
                    const double sum = whole ? all.sum
                                             : span_stats(r, rq_.span_start[i],
                                                          rq_.span_end[i]).sum;
                    out_->sums(i, s) = sum;
                    // printed means are of counted (whole) depths only
                    if (!rq_.span_digits.empty() && rq_.span_digits[i] >= 0)
                        out_->means(i, s) = printed_mean(
                            r, rq_.span_start[i], rq_.span_end[i],
                            static_cast<int64_t>(sum), rq_.span_digits[i]);
                }
                out_->covered(t, s) = static_cast<double>(all.covered);
            }
        }
        return Status();
    }

private:
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
