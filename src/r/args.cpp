// Reading the R arguments of the entry points.
#include <string.h>

#include "glue.h"

namespace tolvendra {

SEXP element(SEXP list, const char *name)
{
    SEXP names = Rf_getAttrib(list, R_NamesSymbol);
    for (R_xlen_t i = 0; TYPEOF(list) == VECSXP && i < XLENGTH(list); ++i) {
        if (strcmp(CHAR(STRING_ELT(names, i)), name) == 0)
            return VECTOR_ELT(list, i);
    }
    return R_NilValue;
}

SEXP field(SEXP list, const char *name)
{
    SEXP x = element(list, name);
    if (x == R_NilValue)
        Rf_error("the engine needs `%s`", name);
    return x;
}

SEXP typed(SEXP list, const char *name, SEXPTYPE type, R_xlen_t n)
{
    SEXP x = field(list, name);
    if (TYPEOF(x) != type || (n >= 0 && XLENGTH(x) != n))
        Rf_error("the engine's `%s` has the wrong type or length", name);
    return x;
}

const char *string_or_null(SEXP x)
{
    if (TYPEOF(x) != STRSXP || XLENGTH(x) < 1 || STRING_ELT(x, 0) == NA_STRING)
        return nullptr;
    return CHAR(STRING_ELT(x, 0));
}

int int_at(SEXP x, int fallback)
{
    if (TYPEOF(x) == INTSXP && XLENGTH(x) > 0 && INTEGER(x)[0] != NA_INTEGER)
        return INTEGER(x)[0];
    if (TYPEOF(x) == REALSXP && XLENGTH(x) > 0 && R_FINITE(REAL(x)[0]))
        return static_cast<int>(REAL(x)[0]);
    return fallback;
}

} // namespace tolvendra
