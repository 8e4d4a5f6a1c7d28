#include <stdint.h>
#include <string.h>

#include "tolvendra.h"
#include "kernels/coverage.h"

// Coverage through a difference array and one prefix sum (see
// kernels/coverage.h), which the alignment engine shares.
extern "C" SEXP gcoverage(SEXP pos, SEXP starts, SEXP ends)
{
    const int64_t n = Rf_length(pos);
    int64_t m = Rf_length(starts);
    const int64_t m_ends = Rf_length(ends);
    if (m_ends < m)
        m = m_ends; // a read needs both of its coordinates

    // One extra slot takes the -1 of reads that run to the window's end.
    uint32_t *diff = reinterpret_cast<uint32_t *>(
        R_alloc(static_cast<size_t>(n) + 1, sizeof(uint32_t)));
    memset(diff, 0, (static_cast<size_t>(n) + 1) * sizeof(uint32_t));

    if (n > 0 && m > 0)
        tolvendra::coverage_mark(diff, n, INTEGER(pos)[0], INTEGER(starts),
                                 INTEGER(ends), m);
    tolvendra::coverage_sum(diff, n);

    SEXP ans = Rf_allocVector(INTSXP, n);
    memcpy(INTEGER(ans), diff, static_cast<size_t>(n) * sizeof(int));
    return ans;
}
