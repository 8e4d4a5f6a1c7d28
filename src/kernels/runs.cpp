#include "runs.h"

#include <math.h>

#include <algorithm>
#include <type_traits>

#include "regions.h"

namespace tolvendra {

void Runs::reset(int64_t first_coordinate)
{
    first = first_coordinate;
    length = 0;
    at.clear();
    value.clear();
    real.clear();
}

void Runs::append_real(double v, int64_t n)
{
    if (n <= 0)
        return;
    if (real.empty() || real.back() != v) {
        at.push_back(static_cast<uint32_t>(length));
        real.push_back(v);
    }
    length += n;
}

void Runs::settle()
{
    for (double v : real)
        if (!(v == floor(v) && v < 2147483648.0 && v >= -2147483648.0))
            return;
    value.assign(real.begin(), real.end());
    real.clear();
}

void Runs::append_depths(const uint32_t *d, int64_t n)
{
    if (n <= 0)
        return;
    // Each position writes its slot and the slot is kept only where the
    // depth changes: no branch a position, which dense coverage, changing
    // every few positions, would mispredict.
    size_t k = at.size();
    at.resize(k + static_cast<size_t>(n));
    value.resize(k + static_cast<size_t>(n));
    uint32_t *pa = at.data();
    int32_t *pv = value.data();
    uint32_t prev = k == 0 ? ~d[0] : static_cast<uint32_t>(pv[k - 1]);
    const uint32_t offset = static_cast<uint32_t>(length);
    for (int64_t i = 0; i < n; ++i) {
        pa[k] = offset + static_cast<uint32_t>(i);
        pv[k] = static_cast<int32_t>(d[i]);
        k += d[i] != prev;
        prev = d[i];
    }
    at.resize(k);
    value.resize(k);
    length += n;
}

size_t Runs::run_at(int64_t coordinate) const
{
    const uint32_t offset = static_cast<uint32_t>(coordinate - first);
    return static_cast<size_t>(
        std::upper_bound(at.begin(), at.end(), offset) - at.begin() - 1);
}

size_t Runs::run_at(int64_t coordinate, size_t from) const
{
    const uint32_t offset = static_cast<uint32_t>(coordinate - first);
    for (int step = 0; step < 8; ++step, ++from) {
        if (from + 1 >= at.size() || at[from + 1] > offset)
            return from;
    }
    return static_cast<size_t>(
        std::upper_bound(at.begin() + from, at.end(), offset) - at.begin() - 1);
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
        if (is_real())
            out.append_real(real[r], to - from + 1);
        else
            out.append(value[r], to - from + 1);
    }
    return out;
}

namespace {

using Changes = std::vector<std::pair<int64_t, int>>;

// +1 where a block starts, -1 just past where it ends, for the blocks'
// parts within a..b, in order.
Changes changes_of(const std::vector<int64_t> &blocks, int64_t a, int64_t b)
{
    Changes change;
    for (size_t i = 0; i + 1 < blocks.size(); i += 2) {
        const int64_t s = std::max(blocks[i], a);
        const int64_t e = std::min(blocks[i + 1], b);
        if (s <= e) {
            change.emplace_back(s, 1);
            change.emplace_back(e + 1, -1);
        }
    }
    std::sort(change.begin(), change.end());
    return change;
}

// Appends `in`, which starts where `out` ends, with the changes added: one
// walk along its runs and the changes together. Runs no change touches
// are copied at once (blocks added late lie at a few edges of long runs).
void append_changed(Runs *out, const Runs &in, const Changes &change)
{
    const uint32_t offset = static_cast<uint32_t>(in.first - out->first);
    uint32_t delta = 0;
    size_t k = 0, r = 0;
    for (int64_t p = in.first; p <= in.last();) {
        while (k < change.size() && change[k].first <= p)
            delta += static_cast<uint32_t>(change[k++].second);
        const size_t q = k < change.size() ? in.run_at(change[k].first) : in.at.size();
        if (delta == 0 && p == in.first + in.at[r] && q > r) {
            size_t from = r;
            if (!out->value.empty() && out->value.back() == in.value[r])
                ++from; // it continues the run before
            const size_t kept = out->at.size();
            out->at.resize(kept + (q - from));
            uint32_t *to = out->at.data() + kept;
            for (size_t i = from; i < q; ++i)
                to[i - from] = in.at[i] + offset;
            out->value.append(in.value.begin() + from, in.value.begin() + q);
            out->length = offset + (q < in.at.size() ? in.at[q] : in.length);
            p = out->first + out->length;
            r = q;
            continue;
        }
        int64_t next = in.run_end(r) + 1;
        if (k < change.size())
            next = std::min(next, change[k].first);
        out->append(static_cast<int32_t>(static_cast<uint32_t>(in.value[r]) + delta),
                    next - p);
        p = next;
        if (p > in.run_end(r))
            ++r;
    }
}

} // namespace

void add_blocks(Runs *runs, const std::vector<int64_t> &blocks)
{
    const Changes change = changes_of(blocks, runs->first, runs->last());
    if (change.empty())
        return;
    // the runs before the first change stay; those from it on are walked
    const size_t r0 = runs->run_at(change[0].first);
    Runs tail;
    tail.reset(runs->first + runs->at[r0]);
    tail.length = runs->length - runs->at[r0];
    for (size_t r = r0; r < runs->at.size(); ++r)
        tail.at.push_back(runs->at[r] - runs->at[r0]);
    tail.value.assign(runs->value.begin() + r0, runs->value.end());
    runs->length = runs->at[r0];
    runs->at.resize(r0);
    runs->value.resize(r0);
    append_changed(runs, tail, change);
}

void append_runs(Runs *runs, const Runs &part, const std::vector<int64_t> &blocks)
{
    append_changed(runs, part, changes_of(blocks, part.first, part.last()));
}

SpanStats span_stats(const Runs &runs, int64_t a, int64_t b, size_t *cursor)
{
    SpanStats s;
    int64_t whole = 0;
    long double real = 0;
    each_run(runs, a, b, [&](auto depth, int64_t n) {
        if constexpr (std::is_same_v<decltype(depth), double>)
            real += static_cast<long double>(depth) * n;
        else
            whole += n * static_cast<int64_t>(depth);
        if (depth > 0)
            s.covered += n;
    }, cursor);
    s.sum = runs.is_real() ? static_cast<double>(real) : static_cast<double>(whole);
    return s;
}

// Whether sum / width lies exactly halfway between two multiples of
// 10^-digits: 2 * rest * 10^digits = width modulo 2 * width.
static bool halfway(int64_t sum, int64_t width, int digits)
{
    if (digits > 18)
        return true; // past 64-bit arithmetic: sum as mosdepth does
    __int128 scaled = static_cast<__int128>(sum % width) * 2;
    for (int d = 0; d < digits; ++d)
        scaled *= 10;
    return scaled % (2 * static_cast<__int128>(width)) == width;
}

double printed_mean(const Runs &runs, int64_t a, int64_t b, int64_t sum, int digits)
{
    const int64_t width = b - a + 1;
    const double w = static_cast<double>(width);
    if (!halfway(sum, width, digits) && !halfway(sum, width, 0))
        return static_cast<double>(sum) / w;
    double mean = 0.0;
    each_run(runs, a, b, [&](auto depth, int64_t n) {
        const double step = static_cast<double>(depth) / w;
        for (int64_t k = 0; k < n; ++k)
            mean += step;
    });
    return mean;
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
            total += factors[s] * x.depth(r[s]);
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

namespace {

// Runs walked for the region search: below the threshold a run at a time.
struct RunsWalk {
    const Runs &p;
    size_t r = 0;
    int64_t pos = 0;
    int64_t seek(int64_t j, int threshold)
    {
        r = p.run_at(j);
        while (r < p.at.size() && p.value[r] < threshold)
            ++r;
        if (r == p.at.size())
            return p.last() + 1;
        pos = std::max(j, p.first + p.at[r]);
        return pos;
    }
    int next()
    {
        if (++pos > p.run_end(r))
            ++r;
        return p.value[r];
    }
    int value() const { return p.value[r]; }
    int64_t run_left() const { return p.run_end(r) - pos; }
    void skip(int64_t m) { pos += m; }
    int64_t take_runs(int64_t lo, int64_t hi, int threshold, int64_t most, int64_t *over)
    {
        const size_t n = p.at.size();
        int64_t taken = 0, sum = 0;
        size_t q = r + 1;
        for (; q < n; ++q) {
            const int v = p.value[q];
            const int64_t len = (q + 1 < n ? p.at[q + 1] : p.length) - p.at[q];
            if (v < lo || v > hi || taken + len > most)
                break;
            taken += len;
            sum += (static_cast<int64_t>(v) - threshold) * len;
        }
        if (taken > 0) {
            r = q - 1;
            pos = p.run_end(r);
            *over += sum;
        }
        return taken;
    }
};

} // namespace

void runs_regions(const Runs &profile, int threshold, int minlen,
                  std::vector<int64_t> *out)
{
    if (profile.length <= 0)
        return;
    region_search(RunsWalk{profile}, profile.first, profile.last(), threshold,
                  minlen, [out](int64_t s, int64_t b) {
                      out->push_back(s);
                      out->push_back(b);
                  });
}

Runs quantize_runs(const Runs &runs, const std::vector<int> &cuts)
{
    Runs out;
    out.reset(runs.first);
    for (size_t r = 0; r < runs.at.size(); ++r) {
        const int32_t bin = static_cast<int32_t>(
            std::upper_bound(cuts.begin(), cuts.end(), runs.depth(r)) -
            cuts.begin()) - 1;
        out.append(bin, runs.run_end(r) - (runs.first + runs.at[r]) + 1);
    }
    return out;
}

} // namespace tolvendra
