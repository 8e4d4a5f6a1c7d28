// The regions of the profile across samples, target by target, and each
// sample's sums over them.
#include "consumers.h"

#include <string>

namespace tolvendra {

namespace {

class RegionSearch : public Consumer {
public:
    RegionSearch(const Request &rq, Result *out) : rq_(rq), out_(out) {}
    Status finish_segment(const Segment &segment, std::vector<Runs> *runs) override
    {
        if (rq_.threshold > 2147483647.0)
            return Status(); // no profile of 32-bit integers reaches it
        for (int t : segment.targets) {
            Status st = search(t, *runs);
            if (!st.ok())
                return st;
        }
        return Status();
    }

private:
    Status search(int t, const std::vector<Runs> &runs);

    const Request &rq_;
    Result *out_;
    Runs profile_;
};

Status RegionSearch::search(int t, const std::vector<Runs> &runs)
{
    const Target &target = rq_.targets[t];
    const size_t n_samples = runs.size();
    std::vector<const Runs *> samples(n_samples);
    for (size_t s = 0; s < n_samples; ++s)
        samples[s] = &runs[s];
    int64_t overflow = 0;
    // One sample of whole depths is its own profile: floor(0 + 1 * d) is d.
    const Runs *searched = &profile_;
    if (n_samples == 1 && rq_.factors[0] == 1.0 && !runs[0].is_real()) {
        if (target.start == runs[0].first && target.end == runs[0].last())
            searched = &runs[0];
        else
            profile_ = runs[0].slice(target.start, target.end);
    } else if (!profile_runs(samples.data(), n_samples, rq_.factors.data(),
                             target.start, target.end, &profile_, &overflow)) {
        return fault(Fault::overflow,
                     "gives a coverage summed over the samples past 2147483647 at " +
                         target.seqname + ":" + std::to_string(overflow));
    }
    const int threshold = rq_.threshold < -2147483648.0
                              ? -2147483647 - 1
                              : static_cast<int>(rq_.threshold);
    std::vector<int64_t> found;
    runs_regions(*searched, threshold, rq_.minlen, &found);
    Regions &r = out_->regions;
    std::vector<size_t> cursor(n_samples, 0); // regions come in order
    for (size_t k = 0; k < found.size(); k += 2) {
        r.target.push_back(t);
        r.start.push_back(found[k]);
        r.end.push_back(found[k + 1]);
        for (size_t s = 0; s < n_samples; ++s) {
            r.sums[s].push_back(
                span_stats(runs[s], found[k], found[k + 1], &cursor[s]).sum);
        }
    }
    return Status();
}

} // namespace

std::unique_ptr<Consumer> region_finder(const Request &rq, Result *out)
{
    return std::unique_ptr<Consumer>(new RegionSearch(rq, out));
}

} // namespace tolvendra
