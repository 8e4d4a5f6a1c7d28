#include "runs.h"

#include <math.h>

#include <algorithm>

#include "mean.h"

namespace tolvendra {

void Runs::reset(int64_t first_coordinate)
{
    first = first_coordinate;
    length = 0;
    at.clear();
    value.clear();
}

void Runs::append_depths(const uint32_t *d, int64_t n)
{
    int64_t i = 0;
    while (i < n) {
        const uint32_t v = d[i];
        int64_t j = i + 1;
        while (j < n && d[j] == v)
            ++j;
        append(static_cast<int32_t>(v), j - i);
        i = j;
    }
}

size_t Runs::run_at(int64_t coordinate) const
{
    const uint32_t offset = static_cast<uint32_t>(coordinate - first);
    return static_cast<size_t>(
        std::upper_bound(at.begin(), at.end(), offset) - at.begin() - 1);
}

Runs Runs::slice(int64_t a, int64_t b) const
{
    Runs out;
    out.reset(a);
    if (a > b || a < first || b > last())
        return out;
    for (size_t r = run_at(a); r < at.size() && first + at[r] <= b; ++r) {
        const int64_t from = std::max(a, first + at[r]);
        const int64_t to = std::min(b, run_end(r));
        out.append(value[r], to - from + 1);
    }
    return out;
}

void add_blocks(Runs *runs, const std::vector<int64_t> &blocks)
{
    // +1 where a block starts, -1 just past where it ends, then one walk
    // along the runs and the changes together
    std::vector<std::pair<int64_t, int>> change;
    for (size_t i = 0; i + 1 < blocks.size(); i += 2) {
        const int64_t a = std::max(blocks[i], runs->first);
        const int64_t b = std::min(blocks[i + 1], runs->last());
        if (a > b)
            continue;
        change.emplace_back(a, 1);
        change.emplace_back(b + 1, -1);
    }
    if (change.empty())
        return;
    std::sort(change.begin(), change.end());
    Runs out;
    out.reset(runs->first);
    uint32_t delta = 0;
    size_t k = 0, r = 0;
    for (int64_t p = runs->first; p <= runs->last();) {
        while (k < change.size() && change[k].first <= p)
            delta += static_cast<uint32_t>(change[k++].second);
        int64_t next = runs->run_end(r) + 1;
        if (k < change.size())
            next = std::min(next, change[k].first);
        out.append(static_cast<int32_t>(
                       static_cast<uint32_t>(runs->value[r]) + delta),
                   next - p);
        p = next;
        if (p > runs->run_end(r))
            ++r;
    }
    *runs = std::move(out);
}

SpanStats span_stats(const Runs &runs, int64_t a, int64_t b)
{
    SpanStats s;
    a = std::max(a, runs.first);
    b = std::min(b, runs.last());
    if (a > b)
        return s;
    for (size_t r = runs.run_at(a); r < runs.at.size(); ++r) {
        const int64_t from = std::max(a, runs.first + runs.at[r]);
        if (from > b)
            break;
        const int64_t n = std::min(b, runs.run_end(r)) - from + 1;
        s.sum += n * static_cast<int64_t>(runs.value[r]);
        if (runs.value[r] > 0)
            s.covered += n;
    }
    return s;
}

bool profile_runs(const Runs *const *samples, size_t n_samples,
                  const double *factors, int64_t a, int64_t b, Runs *out,
                  int64_t *overflow)
{
    out->reset(a);
    std::vector<size_t> r(n_samples);
    for (size_t s = 0; s < n_samples; ++s)
        r[s] = samples[s]->run_at(a);
    int64_t pos = a;
    while (pos <= b) {
        double total = 0.0;
        int64_t next = b + 1;
        for (size_t s = 0; s < n_samples; ++s) {
            const Runs &x = *samples[s];
            total += factors[s] * static_cast<double>(x.value[r[s]]);
            next = std::min(next, x.run_end(r[s]) + 1);
        }
        const double v = floor(total);
        if (!(v < 2147483648.0 && v > -2147483648.0)) {
            *overflow = pos;
            return false;
        }
        out->append(static_cast<int32_t>(v), next - pos);
        pos = next;
        for (size_t s = 0; s < n_samples; ++s)
            if (samples[s]->run_end(r[s]) < pos)
                ++r[s];
    }
    return true;
}

void runs_regions(const Runs &profile, int threshold, int minlen,
                  std::vector<int64_t> *out)
{
    if (profile.length <= 0)
        return;
    const double t = static_cast<double>(threshold);
    const int64_t first = profile.first, last = profile.last();
    const size_t n_runs = profile.at.size();
    int64_t j = first;
    while (j <= last) {
        // the first position from j that reaches the threshold
        size_t r = profile.run_at(j);
        while (r < n_runs && profile.value[r] < threshold)
            ++r;
        if (r == n_runs)
            break;
        const int64_t s = std::max(j, first + profile.at[r]);

        // grown as regionmining() grows it, a position at a time
        int64_t e = s, b = s;
        double mean_all = mean_step(0.0, 1.0, profile.value[r]);
        int64_t n_all = 1;
        double mean_new = 0.0;
        int64_t n_new = 0;
        while (mean_all >= t && e != last) {
            ++e;
            if (e > profile.run_end(r))
                ++r;
            const int x = profile.value[r];
            mean_all = mean_step(mean_all, static_cast<double>(++n_all), x);
            mean_new = mean_step(mean_new, static_cast<double>(++n_new), x);
            if (mean_new >= t) {
                b = e;
                mean_new = 0.0;
                n_new = 0;
            }
        }
        if (b - s >= minlen) {
            out->push_back(s);
            out->push_back(b);
        }
        j = b + 1;
    }
}


void span_depths(const Runs &runs, int64_t a, int64_t b,
                 std::vector<DepthCount> *out)
{
    a = std::max(a, runs.first);
    b = std::min(b, runs.last());
    if (a > b)
        return;
    for (size_t r = runs.run_at(a); r < runs.at.size(); ++r) {
        const int64_t from = std::max(a, runs.first + runs.at[r]);
        if (from > b)
            break;
        out->push_back(DepthCount{runs.value[r],
                                  std::min(b, runs.run_end(r)) - from + 1});
    }
}

void merge_depths(std::vector<DepthCount> *pairs)
{
    std::vector<DepthCount> &p = *pairs;
    std::sort(p.begin(), p.end(), [](const DepthCount &x, const DepthCount &y) {
        return x.depth < y.depth;
    });
    size_t k = 0;
    for (size_t i = 0; i < p.size(); ++i) {
        if (k > 0 && p[k - 1].depth == p[i].depth)
            p[k - 1].n += p[i].n;
        else
            p[k++] = p[i];
    }
    p.resize(k);
}

DepthSummary summarize_depths(const std::vector<DepthCount> &merged)
{
    DepthSummary s;
    if (merged.empty())
        return s;
    // Depths fit 32 bits and counts 31, so n * sum of squares fits 2^125.
    __int128 sum = 0, squares = 0;
    for (const DepthCount &p : merged) {
        s.bases += p.n;
        sum += static_cast<__int128>(p.depth) * p.n;
        squares += static_cast<__int128>(p.depth) * p.depth * p.n;
    }
    s.sum = static_cast<int64_t>(sum);
    s.min = merged.front().depth;
    s.max = merged.back().depth;
    // the lower and upper middle positions, 0-based
    const int64_t lo = (s.bases - 1) / 2, hi = s.bases / 2;
    int64_t seen = 0;
    double at_lo = 0, at_hi = 0;
    for (const DepthCount &p : merged) {
        if (seen <= lo && lo < seen + p.n)
            at_lo = p.depth;
        if (seen <= hi && hi < seen + p.n) {
            at_hi = p.depth;
            break;
        }
        seen += p.n;
    }
    s.median = lo == hi ? at_lo : (at_lo + at_hi) / 2;
    if (s.bases < 2) {
        s.sd = NAN;
    } else {
        const __int128 n = s.bases;
        const __int128 spread = n * squares - sum * sum;
        const long double var = static_cast<long double>(spread) /
                                (static_cast<long double>(n) * (n - 1));
        s.sd = static_cast<double>(sqrtl(var));
    }
    return s;
}

int64_t depths_at_least(const std::vector<DepthCount> &merged, int64_t t)
{
    int64_t n = 0;
    for (auto p = merged.rbegin(); p != merged.rend() && p->depth >= t; ++p)
        n += p->n;
    return n;
}

Runs quantize_runs(const Runs &runs, const std::vector<int> &cuts)
{
    Runs out;
    out.reset(runs.first);
    for (size_t r = 0; r < runs.at.size(); ++r) {
        const int32_t bin = static_cast<int32_t>(
            std::upper_bound(cuts.begin(), cuts.end(), runs.value[r]) -
            cuts.begin()) - 1;
        out.append(bin, runs.run_end(r) - (runs.first + runs.at[r]) + 1);
    }
    return out;
}

} // namespace tolvendra
