#include <stdint.h>
#include <string.h>

#include "tolvendra.h"
#include "kernels/regions.h"

extern "C" double avg(const int *x, int from, int to)
{
    double m = 0.0;
    const int64_t count = static_cast<int64_t>(to) - from + 1;
    for (int64_t i = 1; i <= count; ++i)
        m = mean_step(m, static_cast<double>(i), x[from + i - 1]);
    return m;
}

// The region search of kernels/regions.h over the vector's indices.
size_t regionmining_scan(const int *cov, int n, int threshold, int minlen,
                         int *out)
{
    size_t k = 0;
    tolvendra::region_search(tolvendra::VectorWalk{cov, n}, 0,
                             static_cast<int64_t>(n) - 1, threshold, minlen,
                             [&](int64_t s, int64_t b) {
                                 out[k++] = static_cast<int>(s);
                                 out[k++] = static_cast<int>(b);
                             });
    return k;
}

extern "C" SEXP regionmining(SEXP pos, SEXP cov, SEXP threshold, SEXP minlen)
{
    const int64_t n_pos = Rf_length(pos);
    const int64_t n_cov = Rf_length(cov);

    // Regions never overlap, so there are at most n_cov of them.
    int *buf = reinterpret_cast<int *>(
        R_alloc(2 * static_cast<size_t>(n_cov) + 1, sizeof(int)));
    buf[0] = 0;
    size_t k = 0;

    // With no coordinates to report, or no threshold or minimum length, no
    // region can be reported.
    if (n_pos > 0 && n_cov > 0 && Rf_length(threshold) > 0 &&
        Rf_length(minlen) > 0) {
        k = regionmining_scan(INTEGER(cov), static_cast<int>(n_cov),
                              INTEGER(threshold)[0], INTEGER(minlen)[0], buf);
        // Map indices to coordinates; an index past the end of `pos`
        // reports its last coordinate.
        const int *p = INTEGER(pos);
        for (size_t i = 0; i < k; ++i)
            buf[i] = p[buf[i] < n_pos ? buf[i] : n_pos - 1];
    }

    // The single value 0 stands for "no region"; the shape depends only on
    // whether a region was recorded, so a region starting at 0 is kept.
    const size_t len = k > 0 ? k : 1;
    SEXP ans = Rf_allocVector(INTSXP, static_cast<R_xlen_t>(len));
    memcpy(INTEGER(ans), buf, len * sizeof(int));
    return ans;
}
