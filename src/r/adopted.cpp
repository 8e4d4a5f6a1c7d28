// Vectors whose values stay where the engine put them: a column of runs
// handed to R as it is, which R reads in place and frees with the vector.
// Kept runs are tens of millions long; allocating R vectors for them
// and copying made R collect its whole heap twice per call.
#include "glue.h"

#include <R_ext/Altrep.h>

namespace tolvendra {

namespace {

R_altrep_class_t adopted_integers, adopted_doubles;

// data1: an external pointer to the values, which its finalizer frees;
// data2: their number, as a double.
void free_values(SEXP owner)
{
    free(R_ExternalPtrAddr(owner));
    R_ClearExternalPtr(owner);
}

R_xlen_t adopted_length(SEXP x)
{
    return static_cast<R_xlen_t>(REAL(R_altrep_data2(x))[0]);
}

void *adopted_dataptr(SEXP x, Rboolean)
{
    return R_ExternalPtrAddr(R_altrep_data1(x));
}

const void *adopted_dataptr_or_null(SEXP x)
{
    return R_ExternalPtrAddr(R_altrep_data1(x));
}

// Serialized, duplicated or coerced, they become ordinary vectors: the
// default methods read them through their data pointer.
void set_methods(R_altrep_class_t c)
{
    R_set_altrep_Length_method(c, adopted_length);
    R_set_altvec_Dataptr_method(c, adopted_dataptr);
    R_set_altvec_Dataptr_or_null_method(c, adopted_dataptr_or_null);
}

template <class T>
SEXP adopt(Column<T> *column, SEXPTYPE type, R_altrep_class_t c)
{
    const R_xlen_t n = static_cast<R_xlen_t>(column->size());
    if (n == 0)
        return Rf_allocVector(type, 0);
    // everything that can fail comes before the column lets go
    SEXP length = PROTECT(Rf_ScalarReal(static_cast<double>(n)));
    SEXP owner = PROTECT(R_MakeExternalPtr(nullptr, R_NilValue, R_NilValue));
    R_RegisterCFinalizerEx(owner, free_values, TRUE);
    R_SetExternalPtrAddr(owner, column->release());
    SEXP out = R_new_altrep(c, owner, length);
    UNPROTECT(2);
    return out;
}

} // namespace

void register_adopted(DllInfo *dll)
{
    adopted_integers = R_make_altinteger_class("adopted_integers", "Tolvendra", dll);
    adopted_doubles = R_make_altreal_class("adopted_doubles", "Tolvendra", dll);
    set_methods(adopted_integers);
    set_methods(adopted_doubles);
}

SEXP adopted(Column<int32_t> *column)
{
    return adopt(column, INTSXP, adopted_integers);
}

SEXP adopted(Column<uint32_t> *column)
{
    return adopt(column, INTSXP, adopted_integers);
}

SEXP adopted(Column<double> *column)
{
    return adopt(column, REALSXP, adopted_doubles);
}

} // namespace tolvendra
