// .Call entries for the literal algorithms, compiled only for the benchmarks.
#include <R.h>
#include <Rinternals.h>

#include <string.h>

#include "literal.h"

extern "C" SEXP literal_gcoverage(SEXP pos, SEXP starts, SEXP ends)
{
    const int n = Rf_length(pos);
    int *counts = reinterpret_cast<int *>(R_alloc(n + 1, sizeof(int)));
    literal_coverage(n > 0 ? INTEGER(pos)[0] : 0, n, INTEGER(starts),
                     INTEGER(ends), Rf_length(starts), counts);
    SEXP ans = Rf_allocVector(INTSXP, n);
    memcpy(INTEGER(ans), counts, n * sizeof(int));
    return ans;
}

// Start and end coordinates of each region, interleaved.
extern "C" SEXP literal_regionmining(SEXP pos, SEXP cov, SEXP threshold,
                                     SEXP minlen)
{
    const int n = Rf_length(cov);
    int *idx = reinterpret_cast<int *>(R_alloc(2 * n + 1, sizeof(int)));
    const size_t k = literal_regions(INTEGER(cov), n, INTEGER(threshold)[0],
                                     INTEGER(minlen)[0], idx);
    SEXP ans = Rf_allocVector(INTSXP, k);
    for (size_t i = 0; i < k; ++i)
        INTEGER(ans)[i] = INTEGER(pos)[idx[i]];
    return ans;
}
