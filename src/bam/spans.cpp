// Sums of a coverage vector over spans, coverage accumulated batch by
// batch, and profiles summed across samples. The R entry points change
// vectors in place: only vectors their callers made and share with no one.
// Spans and offsets are clipped to the vectors, so no index reaches outside.
#include <math.h>
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

void profile_add(double *total, int *cov, int64_t n, double factor)
{
    for (int64_t i = 0; i < n; ++i) {
        total[i] += factor * cov[i];
        cov[i] = 0;
    }
}

bool profile_store(int *profile, int64_t n, int64_t offset, double *total,
                   int64_t m)
{
    const int64_t to = offset + m > n ? n - offset : m;
    for (int64_t i = offset < 0 ? -offset : 0; i < to; ++i) {
        const double v = floor(total[i]);
        if (!(v < 2147483648.0 && v > -2147483648.0))
            return false;
        profile[offset + i] = static_cast<int>(v);
        total[i] = 0;
    }
    return true;
}

int64_t count_positive(const int *x, int64_t n)
{
    int64_t k = 0;
    for (int64_t i = 0; i < n; ++i)
        k += x[i] > 0;
    return k;
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

static void need_double(SEXP x, const char *what)
{
    if (TYPEOF(x) != REALSXP)
        Rf_error("`%s` must be a double vector", what);
}

// Moves factor * cov into total, in place (see profile_add()).
extern "C" SEXP profile_add(SEXP total, SEXP cov, SEXP factor)
{
    need_double(total, "total");
    need_integer(cov, "cov");
    const R_xlen_t n = XLENGTH(total) < XLENGTH(cov) ? XLENGTH(total)
                                                      : XLENGTH(cov);
    tolvendra::profile_add(REAL(total), INTEGER(cov), n, Rf_asReal(factor));
    return R_NilValue;
}

// Stores floor(total) into profile from `offset`, in place; FALSE if a
// value does not fit an R integer.
extern "C" SEXP profile_store(SEXP profile, SEXP offset, SEXP total)
{
    need_integer(profile, "profile");
    need_double(total, "total");
    return Rf_ScalarLogical(tolvendra::profile_store(
        INTEGER(profile), XLENGTH(profile),
        static_cast<int64_t>(Rf_asReal(offset)), REAL(total), XLENGTH(total)));
}

extern "C" SEXP count_positive(SEXP x)
{
    need_integer(x, "x");
    return Rf_ScalarReal(static_cast<double>(
        tolvendra::count_positive(INTEGER(x), XLENGTH(x))));
}
