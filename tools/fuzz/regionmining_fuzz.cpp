// libFuzzer target: the linear-time region search must report exactly what
// the literal search, recomputing both means at every step, reports; and
// avg() must be the literal running mean. Input bytes: threshold, minimum
// length, then one byte a value.
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
    std::vector<int> cov;
    for (size_t i = 2; i < size; ++i)
        cov.push_back(decode(data[i]));
    const int n = static_cast<int>(cov.size());

    std::vector<int> fast(2 * cov.size() + 1), slow(2 * cov.size() + 1);
    const size_t kf = regionmining_scan(cov.data(), n, t, minlen, fast.data());
    const size_t ks = literal_regions(cov.data(), n, t, minlen, slow.data());
    if (kf != ks)
        abort();
    for (size_t i = 0; i < kf; ++i)
        if (fast[i] != slow[i])
            abort();
    for (int from = 0; from < n; from += 7)
        if (avg(cov.data(), from, n - 1) != literal_avg(cov.data(), from, n - 1))
            abort();
    return 0;
}
