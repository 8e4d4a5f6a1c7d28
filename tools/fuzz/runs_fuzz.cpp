// libFuzzer target: depth held as runs must give what the depth itself
// gives: the same regions as the region search on the expanded profile
// (bit for bit), and the same sums and covered counts over spans. Input
// bytes: threshold, minimum length, the first coordinate, then pairs of
// (value, run length).
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "../../src/tolvendra.h"
#include "values.h"
#include "../../src/kernels/runs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const int t = decode(data[0]);
    const int minlen = static_cast<int>(data[1] % 8) - 1;
    const int64_t first = 1 + data[2];
    std::vector<int> cov;
    tolvendra::Runs runs;
    runs.reset(first);
    for (size_t i = 3; i + 1 < size; i += 2) {
        const int v = decode(data[i]);
        const int n = data[i + 1] % 40;
        runs.append(v, n);
        cov.insert(cov.end(), n, v);
    }
    if (runs.length != static_cast<int64_t>(cov.size()))
        abort();

    std::vector<int> dense(2 * cov.size() + 1);
    const size_t k = regionmining_scan(cov.data(), static_cast<int>(cov.size()),
                                       t, minlen, dense.data());
    std::vector<int64_t> found;
    tolvendra::runs_regions(runs, t, minlen, &found);
    if (found.size() != k)
        abort();
    for (size_t i = 0; i < k; ++i)
        if (found[i] != first + dense[i])
            abort();

    // spans of every length from a few starts, some reaching outside
    for (int64_t a = first - 2; a <= runs.last() + 1; a += 5) {
        for (int64_t b = a - 1; b <= runs.last() + 2; b += 3) {
            const tolvendra::SpanStats s = tolvendra::span_stats(runs, a, b);
            int64_t sum = 0, covered = 0;
            for (int64_t x = a; x <= b; ++x) {
                if (x < first || x > runs.last())
                    continue;
                sum += cov[x - first];
                covered += cov[x - first] > 0;
            }
            if (s.sum != sum || s.covered != covered)
                abort();
        }
    }
    return 0;
}
