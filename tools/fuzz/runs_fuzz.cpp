// libFuzzer target: depth held as runs must give what the depth itself
// gives: the region search of kernels/regions.h over runs must find what
// it finds over the expanded vector (bit for bit), and spans the same
// sums, covered counts and depths, merged by depth; blocks added late (as
// the engine adds the parts of reads counted in other stretches) must add
// one to the depth over each, runs of equal depth merged, whether the runs
// are whole or cut in two and joined. The same depths as a track's real
// values settle back into the same runs, and shifted by a half they sum
// and cover as the shifted depths do. Input
// bytes: threshold, minimum length, the first coordinate, then pairs of
// (value, run length). With the minimum length's top bit set, the runs
// are long instead (up to 64k), and the search over them must report what
// the stepwise search, carrying both means a position at a time, reports.
// The same bytes, read as operations on the array that holds the runs,
// must leave it holding what a std::vector holds after them.
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <vector>

#include "../../bench/literal.h"
#include "../../src/tolvendra.h"
#include "values.h"
#include "../../src/kernels/depths.h"
#include "../../src/kernels/runs.h"

// Each byte an operation on a Column and a std::vector alike.
static void check_column(const uint8_t *data, size_t size)
{
    tolvendra::Column<int32_t> c;
    std::vector<int32_t> v;
    for (size_t i = 0; i < size; ++i) {
        const int32_t x = data[i] >> 3;
        switch (data[i] & 7) {
        case 0: c.clear(); v.clear(); break;
        case 1: // grow and write the room added, or shrink
        case 2: {
            const size_t n = (data[i] & 1) ? v.size() / 2 : v.size() + 1 + x * 40;
            if (n > 65536)
                break;
            const size_t k = v.size();
            c.resize(n);
            v.resize(n);
            for (size_t j = k; j < n; ++j)
                c[j] = v[j] = static_cast<int32_t>(j) ^ x;
            break;
        }
        case 3: { // append a part of itself (up to 64k values)
            const size_t from = v.empty() ? 0 : std::max<size_t>(x % v.size(),
                                                                 v.size() / 2);
            std::vector<int32_t> part(v.begin() + from, v.end());
            if (v.size() + part.size() > 65536)
                break;
            c.append(part.begin(), part.end());
            v.insert(v.end(), part.begin(), part.end());
            break;
        }
        case 4: { // assign converted values
            std::vector<double> part(x, 0.5 + x);
            c.assign(part.begin(), part.end());
            v.assign(part.begin(), part.end());
            break;
        }
        case 5: { // copied, then moved back
            tolvendra::Column<int32_t> copy(c);
            if (copy != c)
                abort();
            c = std::move(copy);
            break;
        }
        default: c.push_back(x); v.push_back(x); break;
        }
        if (c.size() != v.size() || (!v.empty() && c.back() != v.back()))
            abort();
    }
    if (!std::equal(v.begin(), v.end(), c.begin()))
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_column(data, size);
    if (size < 3)
        return 0;
    const int t = decode(data[0]);
    const int minlen = static_cast<int>(data[1] % 8) - 1;
    const int64_t first = 1 + data[2];
    const bool long_runs = data[1] & 0x80;
    std::vector<int> cov;
    tolvendra::Runs runs;
    runs.reset(first);
    for (size_t i = 3; i + 1 < size; i += 2) {
        const int v = decode(data[i]);
        const int n = long_runs ? 1 + data[i + 1] * 257 : data[i + 1] % 40;
        runs.append(v, n);
        cov.insert(cov.end(), n, v);
    }
    if (runs.length != static_cast<int64_t>(cov.size()))
        abort();
    // the regions over the expanded values: stepwise over long runs, by
    // the vector search otherwise
    std::vector<int> dense(2 * cov.size() + 1);
    const int n = static_cast<int>(cov.size());
    const size_t k = long_runs ? literal_regions(cov.data(), n, t, minlen, dense.data(), true)
                               : regionmining_scan(cov.data(), n, t, minlen, dense.data());
    std::vector<int64_t> found;
    tolvendra::runs_regions(runs, t, minlen, &found);
    if (found.size() != k)
        abort();
    for (size_t i = 0; i < k; ++i)
        if (found[i] != first + dense[i])
            abort();
    if (long_runs)
        return 0;

    tolvendra::Runs real, half;
    real.reset(first);
    half.reset(first);
    for (size_t r = 0; r < runs.at.size(); ++r) {
        const int64_t n = runs.run_end(r) - (first + runs.at[r]) + 1;
        real.append_real(runs.value[r], n);
        half.append_real(runs.value[r] + 0.5, n);
    }
    real.settle();
    half.settle();
    if (real.is_real() || real.at != runs.at || real.value != runs.value ||
        half.is_real() != !runs.at.empty() || half.at != runs.at)
        abort();

    // bins of a few widths walked in order with a cursor, as span sums
    // walk them, end to end or with gaps between, against sums position
    // by position
    for (int64_t width : {1, 2, 7, 50}) {
        for (int64_t gap : {0, 30, 300}) {
            size_t cursor = 0;
            for (int64_t a = first - 2; a <= runs.last() + 1; a += width + gap) {
                const tolvendra::SpanStats s = tolvendra::span_stats(runs, a, a + width - 1, &cursor);
                int64_t sum = 0, covered = 0;
                for (int64_t x = std::max(a, first); x <= std::min(a + width - 1, runs.last()); ++x) {
                    sum += cov[x - first];
                    covered += cov[x - first] > 0;
                }
                if (s.sum != sum || s.covered != covered)
                    abort();
            }
        }
    }

    // spans of every length from a few starts, some reaching outside; the
    // cursor carried across them, backwards too
    size_t cursor = 0;
    for (int64_t a = first - 2; a <= runs.last() + 1; a += 5) {
        for (int64_t b = a - 1; b <= runs.last() + 2; b += 3) {
            const tolvendra::SpanStats s = tolvendra::span_stats(runs, a, b);
            const tolvendra::SpanStats c = tolvendra::span_stats(runs, a, b, &cursor);
            if (c.sum != s.sum || c.covered != s.covered)
                abort();
            int64_t sum = 0, covered = 0;
            for (int64_t x = a; x <= b; ++x) {
                if (x < first || x > runs.last())
                    continue;
                sum += cov[x - first];
                covered += cov[x - first] > 0;
            }
            if (s.sum != sum || s.covered != covered)
                abort();
            // sums of halves within 2^46 are exact in long double
            const tolvendra::SpanStats h = tolvendra::span_stats(half, a, b);
            int64_t h_covered = 0;
            long double h_sum = 0;
            for (int64_t x = std::max(a, first); x <= std::min(b, runs.last()); ++x) {
                h_sum += cov[x - first] + 0.5L;
                h_covered += cov[x - first] >= 0;
            }
            if (h.sum != static_cast<double>(h_sum) || h.covered != h_covered)
                abort();
            std::vector<tolvendra::DepthCount> depths;
            tolvendra::span_depths(runs, a, b, &depths);
            int64_t n = 0, total = 0;
            for (const tolvendra::DepthCount &d : depths) {
                n += d.n;
                total += d.n * static_cast<int64_t>(d.depth);
            }
            if (total != sum || n != std::max<int64_t>(0, std::min(b, runs.last()) -
                                                             std::max(a, first) + 1))
                abort();
            // merged, by counting or by sorting, as a map of depths merges them
            std::map<double, int64_t> expected;
            for (const tolvendra::DepthCount &d : depths)
                expected[d.depth] += d.n;
            tolvendra::merge_depths(&depths);
            if (depths.size() != expected.size())
                abort();
            size_t j = 0;
            for (const auto &e : expected) {
                if (depths[j].depth != e.first || depths[j].n != e.second)
                    abort();
                ++j;
            }
        }
    }

    std::vector<int64_t> blocks;
    for (size_t i = 3; i + 1 < size; i += 4) {
        const int64_t a = first - 3 + data[i] % (cov.size() + 6);
        blocks.push_back(a);
        blocks.push_back(a + data[i + 1] % 50 - 5); // some end before they start
    }
    std::vector<uint32_t> added(cov.begin(), cov.end());
    for (size_t i = 0; i < blocks.size(); i += 2) {
        for (int64_t x = std::max(blocks[i], first); x <= std::min(blocks[i + 1], runs.last()); ++x)
            added[x - first] += 1u;
    }
    // the runs cut in two and joined with the blocks added, as stretches
    // counted apart are, must be the same runs
    const bool cut = cov.size() >= 2;
    const int64_t at = first + 1 + static_cast<int64_t>(data[size - 1]) % (cov.size() - (cut ? 1 : 0) + 1);
    tolvendra::Runs left, right;
    if (cut) {
        left = runs.slice(first, std::min(at, runs.last()) - 1);
        right = runs.slice(std::min(at, runs.last()), runs.last());
        tolvendra::add_blocks(&left, blocks);
        tolvendra::append_runs(&left, right, blocks);
    }
    tolvendra::add_blocks(&runs, blocks);
    if (cut && (left.first != runs.first || left.length != runs.length ||
                left.at != runs.at || left.value != runs.value))
        abort();
    if (runs.length != static_cast<int64_t>(cov.size()) || runs.first != first)
        abort();
    for (size_t r = 0; r < runs.at.size(); ++r) {
        if ((r == 0 && runs.at[0] != 0) || (r > 0 && runs.value[r] == runs.value[r - 1]))
            abort();
        for (int64_t x = first + runs.at[r]; x <= runs.run_end(r); ++x)
            if (static_cast<uint32_t>(runs.value[r]) != added[x - first])
                abort();
    }
    return 0;
}
