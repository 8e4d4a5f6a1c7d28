#include <stdint.h>
#include <string.h>

#include "tolvendra.h"

// Coverage through a difference array: +1 where a read enters the window
// slice it covers, -1 just past where it leaves, then one prefix sum.
// Unsigned arithmetic gives the same counts modulo 2^32 as counting every
// covered coordinate, without signed overflow.
extern "C" SEXP gcoverage(SEXP pos, SEXP starts, SEXP ends)
{
    const int64_t n = Rf_length(pos);
    int64_t m = Rf_length(starts);
    const int64_t m_ends = Rf_length(ends);
    if (m_ends < m)
        m = m_ends; // a read needs both of its coordinates

    // One extra slot takes the -1 of reads that run to the window's end.
    unsigned int *diff = reinterpret_cast<unsigned int *>(
        R_alloc(static_cast<size_t>(n) + 1, sizeof(unsigned int)));
    memset(diff, 0, (static_cast<size_t>(n) + 1) * sizeof(unsigned int));

    if (n > 0 && m > 0) {
        const int64_t base = INTEGER(pos)[0];
        const int *s = INTEGER(starts);
        const int *e = INTEGER(ends);
        for (int64_t i = 0; i < m; ++i) {
            // 64-bit offsets cannot overflow for any pair of 32-bit values.
            int64_t lo = s[i] - base;
            int64_t hi = e[i] - base;
            if (lo < 0)
                lo = 0; // clip reads that reach outside the window
            if (hi > n - 1)
                hi = n - 1;
            if (lo > hi)
                continue; // empty, reversed or entirely outside
            diff[lo] += 1u;
            diff[hi + 1] -= 1u;
        }
    }

    unsigned int depth = 0;
    for (int64_t k = 0; k < n; ++k) {
        depth += diff[k];
        diff[k] = depth;
    }

    SEXP ans = Rf_allocVector(INTSXP, n);
    memcpy(INTEGER(ans), diff, static_cast<size_t>(n) * sizeof(int));
    return ans;
}
