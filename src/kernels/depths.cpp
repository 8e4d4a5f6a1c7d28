#include "depths.h"

#include <math.h>

#include <algorithm>
#include <type_traits>

namespace tolvendra {

void span_depths(const Runs &runs, int64_t a, int64_t b,
                 std::vector<DepthCount> *out)
{
    // Over a span at least `dense` long, whole depths below `dense`,
    // nearly all of its, are counted in place and appended a pair per
    // depth, a scan no longer than the span; the others a pair per run.
    const int32_t dense = 4096;
    thread_local std::vector<int64_t> count(dense); // zero between calls
    const bool counted = b - a + 1 >= dense;
    int32_t lo = dense, hi = -1;
    size_t limit = std::max<size_t>(2 * out->size(), 65536);
    each_run(runs, a, b, [&](auto depth, int64_t n) {
        if constexpr (std::is_same_v<decltype(depth), int32_t>) {
            if (counted && static_cast<uint32_t>(depth) < static_cast<uint32_t>(dense)) {
                count[static_cast<size_t>(depth)] += n;
                lo = std::min(lo, depth);
                hi = std::max(hi, depth);
                return;
            }
        }
        out->push_back(DepthCount{static_cast<double>(depth), n});
        if (out->size() >= limit) {
            merge_depths(out);
            limit = std::max<size_t>(2 * out->size(), 65536);
        }
    });
    for (int32_t d = lo; d <= hi; ++d) {
        int64_t &n = count[static_cast<size_t>(d)];
        if (n > 0) {
            out->push_back(DepthCount{static_cast<double>(d), n});
            n = 0;
        }
    }
}

void merge_depths(std::vector<DepthCount> *pairs)
{
    std::vector<DepthCount> &p = *pairs;
    if (p.empty())
        return;
    double lo = p[0].depth, hi = p[0].depth;
    bool whole = true;
    for (const DepthCount &x : p) {
        lo = std::min(lo, x.depth);
        hi = std::max(hi, x.depth);
        whole = whole && x.depth == floor(x.depth);
    }
    // Depths of a span mostly lie close together: whole ones counted by
    // depth merge in a pass instead of a sort, with the same result.
    if (whole && hi - lo <= 4 * static_cast<double>(p.size()) + 64) {
        const size_t range = static_cast<size_t>(hi - lo) + 1;
        thread_local std::vector<int64_t> count;
        thread_local std::vector<char> seen;
        count.assign(range, 0);
        seen.assign(range, 0);
        for (const DepthCount &x : p) {
            count[static_cast<size_t>(x.depth - lo)] += x.n;
            seen[static_cast<size_t>(x.depth - lo)] = 1;
        }
        p.clear();
        for (size_t d = 0; d < range; ++d) {
            if (seen[d])
                p.push_back(DepthCount{lo + static_cast<double>(d), count[d]});
        }
        return;
    }
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

namespace {

// The median of merged pairs of `bases` positions in all.
double middle_depth(const std::vector<DepthCount> &merged, int64_t bases)
{
    // the lower and upper middle positions, 0-based
    const int64_t lo = (bases - 1) / 2, hi = bases / 2;
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
    return lo == hi ? at_lo
                    : static_cast<double>((static_cast<long double>(at_lo) + at_hi) / 2);
}

// The standard deviation of n depths from their exact sum and sum of
// squares.
double whole_sd(int64_t bases, __int128 sum, __int128 squares)
{
    const __int128 n = bases;
    const __int128 spread = n * squares - sum * sum;
    const long double var = static_cast<long double>(spread) /
                            (static_cast<long double>(n) * (n - 1));
    return static_cast<double>(sqrtl(var));
}

// The standard deviation of merged pairs about their mean.
double real_sd(const std::vector<DepthCount> &merged, int64_t bases, long double mean)
{
    long double spread = 0;
    for (const DepthCount &p : merged) {
        const long double d = p.depth - mean;
        spread += d * d * p.n;
    }
    return static_cast<double>(sqrtl(spread / (bases - 1)));
}

} // namespace

DepthStatistics depth_statistics(const std::vector<DepthCount> &merged,
                                 bool median, bool sd)
{
    DepthStatistics s;
    if (merged.empty())
        return s;
    s.min = merged.front().depth;
    s.max = merged.back().depth;
    // Depths within 32 bits and counts within 31 keep n * the sum of
    // squares within 2^125.
    bool whole = s.min > -2147483648.0 && s.max < 2147483648.0;
    for (const DepthCount &p : merged) {
        s.bases += p.n;
        whole = whole && p.depth == floor(p.depth);
    }
    if (median)
        s.median = middle_depth(merged, s.bases);
    if (whole) {
        __int128 sum = 0, squares = 0;
        for (const DepthCount &p : merged) {
            const __int128 d = static_cast<int64_t>(p.depth);
            sum += d * p.n;
            if (sd)
                squares += d * d * p.n;
        }
        s.sum = static_cast<double>(sum);
        if (sd)
            s.sd = s.bases < 2 ? NAN : whole_sd(s.bases, sum, squares);
    } else {
        long double sum = 0;
        for (const DepthCount &p : merged)
            sum += static_cast<long double>(p.depth) * p.n;
        s.sum = static_cast<double>(sum);
        if (sd)
            s.sd = s.bases < 2 ? NAN : real_sd(merged, s.bases, sum / s.bases);
    }
    return s;
}

int64_t depths_at_least(const std::vector<DepthCount> &merged, double t)
{
    int64_t n = 0;
    for (auto p = merged.rbegin(); p != merged.rend() && p->depth >= t; ++p)
        n += p->n;
    return n;
}

} // namespace tolvendra
