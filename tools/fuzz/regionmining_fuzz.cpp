// libFuzzer target: the linear-time region search must report exactly what
// the literal search, recomputing both means with avg() at every step,
// reports. Input bytes: threshold, minimum length, then one byte a value.
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "../../src/tolvendra.h"

// Small values cluster around the threshold so that means tie with it;
// the top bytes stand for extremes.
static int decode(uint8_t b)
{
    switch (b) {
    case 0xff: return INT_MAX;
    case 0xfe: return INT_MIN;
    case 0xfd: return INT_MAX - 1;
    case 0xfc: return -1000000;
    default: return b % 13 - 2;
    }
}

static size_t literal(const int *cov, int n, int t, int minlen, int *out)
{
    const int last = n - 1;
    size_t k = 0;
    int j = 0;
    while (j <= last) {
        int s = j;
        while (s <= last && cov[s] < t)
            ++s;
        if (s > last)
            break;
        int e = s, b = s;
        for (;;) {
            if (avg(cov, s, e) < static_cast<double>(t))
                break;
            if (e == last)
                break;
            ++e;
            if (avg(cov, b + 1, e) >= static_cast<double>(t))
                b = e;
        }
        if (b - s >= minlen) {
            out[k++] = s;
            out[k++] = b;
        }
        j = b + 1;
    }
    return k;
}

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
    const size_t ks = literal(cov.data(), n, t, minlen, slow.data());
    if (kf != ks)
        abort();
    for (size_t i = 0; i < kf; ++i)
        if (fast[i] != slow[i])
            abort();
    return 0;
}
