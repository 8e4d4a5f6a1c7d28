// libFuzzer target: the linear-time region search must report exactly what
// the literal search, recomputing both means at every step, reports; and
// avg() must be the literal running mean. Input bytes: threshold, minimum
// length, then one byte a value. With the minimum length's top bit set,
// the profile is long instead, pairs of bytes (value, run length up to
// 64k), and the search must report what the stepwise search, carrying
// both means a position at a time, reports.
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "../../bench/literal.h"
#include "../../src/tolvendra.h"
#include "values.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int t = decode(data[0]);
    const int minlen = static_cast<int>(data[1] % 8) - 1;
    const bool long_profile = data[1] & 0x80;
    std::vector<int> cov;
    if (long_profile) {
        for (size_t i = 2; i + 1 < size; i += 2)
            cov.insert(cov.end(), 1 + data[i + 1] * 257, decode(data[i]));
    } else {
        for (size_t i = 2; i < size; ++i)
            cov.push_back(decode(data[i]));
    }
    const int n = static_cast<int>(cov.size());

    std::vector<int> fast(2 * cov.size() + 1), slow(2 * cov.size() + 1);
    const size_t kf = regionmining_scan(cov.data(), n, t, minlen, fast.data());
    const size_t ks = literal_regions(cov.data(), n, t, minlen, slow.data(), long_profile);
    if (kf != ks)
        abort();
    for (size_t i = 0; i < kf; ++i)
        if (fast[i] != slow[i])
            abort();
    for (int from = 0; from < n && !long_profile; from += 7)
        if (avg(cov.data(), from, n - 1) != literal_avg(cov.data(), from, n - 1))
            abort();
    return 0;
}
