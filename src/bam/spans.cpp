// Sums of a coverage vector over spans, and coverage accumulated batch by
// batch. Spans are clipped to the vector, so no index reaches outside it.
#include <stdint.h>

#include <R.h>
#include <Rinternals.h>

#include "spans.h"

namespace tolvendra {

void span_sums(const int *cov, int64_t n, int64_t first, const int *starts,
               const int *ends, int64_t m, double *out)
{
    for (int64_t i = 0; i < m; ++i) {
        int64_t lo = static_cast<int64_t>(starts[i]) - first;
        int64_t hi = static_cast<int64_t>(ends[i]) - first;
        if (lo < 0)
            lo = 0;
        if (hi > n - 1)
            hi = n - 1;
        // 64-bit sums of 32-bit values cannot wrap for any R vector.
        int64_t sum = 0;
        for (int64_t k = lo; k <= hi; ++k)
            sum += cov[k];
        out[i] = static_cast<double>(sum);
    }
}

void coverage_add(int *total, int64_t n, int64_t offset, const int *part,
                  int64_t m)
{
    int64_t from = offset < 0 ? -offset : 0;
    int64_t to = offset + m > n ? n - offset : m;
    for (int64_t i = from; i < to; ++i) {
        // Unsigned addition wraps as the coverage routine's counts do.
        total[offset + i] = static_cast<int>(
            static_cast<unsigned>(total[offset + i]) +
            static_cast<unsigned>(part[i]));
    }
}

} // namespace tolvendra

static void need_integer(SEXP x, const char *what)
{
    if (TYPEOF(x) != INTSXP)
        Rf_error("`%s` must be an integer vector", what);
}

extern "C" SEXP span_sums(SEXP cov, SEXP first, SEXP starts, SEXP ends)
{
    need_integer(cov, "cov");
    need_integer(starts, "starts");
    need_integer(ends, "ends");
    const R_xlen_t m = XLENGTH(starts) < XLENGTH(ends) ? XLENGTH(starts)
                                                        : XLENGTH(ends);
    SEXP out = PROTECT(Rf_allocVector(REALSXP, m));
    tolvendra::span_sums(INTEGER(cov), XLENGTH(cov),
                         static_cast<int64_t>(Rf_asReal(first)),
                         INTEGER(starts), INTEGER(ends), m, REAL(out));
    UNPROTECT(1);
    return out;
}

// Adds `part` into `total` from index `offset` (0-based), in place. Only
// for a vector the caller has just made and shares with nobody.
extern "C" SEXP coverage_add(SEXP total, SEXP offset, SEXP part)
{
    need_integer(total, "total");
    need_integer(part, "part");
    tolvendra::coverage_add(INTEGER(total), XLENGTH(total),
                            static_cast<int64_t>(Rf_asReal(offset)),
                            INTEGER(part), XLENGTH(part));
    return R_NilValue;
}
