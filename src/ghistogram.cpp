#include <stdint.h>
#include <string.h>

#include "tolvendra.h"

// Sums of consecutive whole bins of `width` profile elements. Elements
// after the last whole bin belong to no bin. Sums wrap modulo 2^32.
extern "C" SEXP ghistogram(SEXP pos, SEXP counts, SEXP width)
{
    const int64_t w = Rf_length(width) > 0 ? INTEGER(width)[0] : 0;
    int64_t n = Rf_length(pos);
    const int64_t n_counts = Rf_length(counts);
    if (n_counts < n)
        n = n_counts; // only bins that `counts` fills wholly are summed

    // A width of 0 or below makes no bin, rather than a division by zero.
    const int64_t bins = w > 0 ? n / w : 0;
    unsigned int *sums = reinterpret_cast<unsigned int *>(
        R_alloc(static_cast<size_t>(bins), sizeof(unsigned int)));

    if (bins > 0) {
        const unsigned int *x =
            reinterpret_cast<const unsigned int *>(INTEGER(counts));
        for (int64_t k = 0; k < bins; ++k) {
            // Four running sums let the additions overlap; sums modulo
            // 2^32 do not depend on the order of the additions.
            unsigned int s0 = 0, s1 = 0, s2 = 0, s3 = 0;
            const unsigned int *bin = x + k * w;
            int64_t i = 0;
            for (; i + 4 <= w; i += 4) {
                s0 += bin[i];
                s1 += bin[i + 1];
                s2 += bin[i + 2];
                s3 += bin[i + 3];
            }
            for (; i < w; ++i)
                s0 += bin[i];
            sums[k] = s0 + s1 + s2 + s3;
        }
    }

    SEXP ans = Rf_allocVector(INTSXP, bins);
    if (bins > 0)
        memcpy(INTEGER(ans), sums, static_cast<size_t>(bins) * sizeof(int));
    return ans;
}
