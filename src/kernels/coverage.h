// Per-base coverage through a difference array, without R: the one
// coverage engine, shared by the coverage routine and the alignment engine.
#ifndef TOLVENDRA_KERNELS_COVERAGE_H
#define TOLVENDRA_KERNELS_COVERAGE_H

#include <stdint.h>

namespace tolvendra {

// Marks reads [starts[i], ends[i]] (closed) on a window of n coordinates
// from `base`: +1 where a read enters the window, -1 just past where it
// leaves. `diff` holds n + 1 slots. The part of a read outside the window
// is ignored; an empty or reversed read adds nothing. Offsets are taken in
// 64 bits, so no pair of 32-bit coordinates overflows, and the counts are
// unsigned, so they wrap modulo 2^32 without undefined behaviour.
inline void coverage_mark(uint32_t *diff, int64_t n, int64_t base,
                          const int *starts, const int *ends, int64_t m)
{
    for (int64_t i = 0; i < m; ++i) {
        int64_t lo = starts[i] - base;
        int64_t hi = ends[i] - base;
        if (lo < 0)
            lo = 0;
        if (hi > n - 1)
            hi = n - 1;
        if (lo > hi)
            continue;
        diff[lo] += 1u;
        diff[hi + 1] -= 1u;
    }
}

// Turns the marks into depths, in place: one prefix sum.
inline void coverage_sum(uint32_t *diff, int64_t n)
{
    uint32_t depth = 0;
    for (int64_t k = 0; k < n; ++k) {
        depth += diff[k];
        diff[k] = depth;
    }
}

} // namespace tolvendra

#endif
