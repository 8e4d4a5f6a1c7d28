#include <math.h>

#include "tolvendra.h"

// log2 of num / (scale * den), clamped to [-1, 1], with fixed values where
// either side is zero. The scale and the ratio are rounded to single
// precision: that rounding is part of the result.
extern "C" SEXP splicingind(SEXP num, SEXP den, SEXP scale)
{
    SEXP a = Rf_protect(Rf_coerceVector(num, REALSXP));
    SEXP b = Rf_protect(Rf_coerceVector(den, REALSXP));
    SEXP f = Rf_protect(Rf_coerceVector(scale, REALSXP));

    // An empty scale behaves as a NaN one.
    const float F = LENGTH(f) > 0 ? static_cast<float>(REAL(f)[0]) : NAN;
    const R_xlen_t n = XLENGTH(a);
    const R_xlen_t n_den = XLENGTH(b);

    SEXP ans = Rf_protect(Rf_allocVector(REALSXP, n));
    const double *x = REAL(a);
    const double *y = REAL(b);
    double *out = REAL(ans);

    for (R_xlen_t i = 0; i < n; ++i) {
        if (i >= n_den) {
            out[i] = NA_REAL; // no denominator to compare with
            continue;
        }
        const double u = x[i], v = y[i];
        if (u == 0) {
            out[i] = v == 0 ? 0.0 : 1.0;
        } else if (v == 0) {
            out[i] = -1.0;
        } else {
            const float r = static_cast<float>(u / (static_cast<double>(F) * v));
            if (r > 2.0f)
                out[i] = 1.0;
            else if (r < 0.5f)
                out[i] = -1.0;
            else
                out[i] = log2(static_cast<double>(r));
        }
    }

    Rf_unprotect(4);
    return ans;
}
