// What the R entry points share. Each entry point keeps its C++ work inside
// guarded(), which returns plain data (an Outcome), so that no exception
// reaches R and no C++ object with a destructor is alive when an R call
// that can raise an error runs. Objects that outlive a call, or must
// survive an R error within it, live on the heap behind an owned pointer,
// which R's finalizer releases.
#ifndef TOLVENDRA_R_GLUE_H
#define TOLVENDRA_R_GLUE_H

#include <stdio.h>

#include <new>
#include <string>
#include <vector>

#include <R.h>
#include <R_ext/Rdynload.h>
#include <Rinternals.h>

#include "../engine/request.h"

namespace tolvendra {

// A fault copied out of C++ strings.
struct Outcome {
    Fault fault = Fault::none;
    char what[320] = "";
    int source = -1; // the file at fault, among several
    bool ok() const { return fault == Fault::none; }
};

Outcome outcome_of(const Status &s, int source = -1);
Outcome out_of_memory();

// work() returning a Status, or an Outcome of memory running out.
template <class Work>
Outcome guarded(Work work)
{
    try {
        return outcome_of(work());
    } catch (...) {
        return out_of_memory();
    }
}

// list(fault = , what = , source = ) of class "tolvendra_fault", for the R
// side to turn into a classed error that names the file.
SEXP fault_value(const Outcome &o);

// A T on the heap owned by an external pointer: make() returns the
// pointer, protected once (the caller unprotects it), and sets *object,
// null when memory runs out; release() deletes it before the finalizer
// would.
template <class T>
struct Owned {
    static void release(SEXP handle)
    {
        delete static_cast<T *>(R_ExternalPtrAddr(handle));
        R_ClearExternalPtr(handle);
    }
    static SEXP make(T **object)
    {
        SEXP handle = PROTECT(R_MakeExternalPtr(nullptr, R_NilValue, R_NilValue));
        R_RegisterCFinalizerEx(handle, release, TRUE);
        *object = new (std::nothrow) T();
        R_SetExternalPtrAddr(handle, *object);
        return handle;
    }
    // The object of a handle; null once released.
    static T *of(SEXP handle)
    {
        return TYPEOF(handle) == EXTPTRSXP
                   ? static_cast<T *>(R_ExternalPtrAddr(handle))
                   : nullptr;
    }
};

// Arguments (args.cpp): the element of a named list (R_NilValue if none),
// and the checked forms that raise an R error naming what is wrong.
SEXP element(SEXP list, const char *name);
SEXP field(SEXP list, const char *name);
SEXP typed(SEXP list, const char *name, SEXPTYPE type, R_xlen_t n);
const char *string_or_null(SEXP x);
int int_at(SEXP x, int fallback);

// The request (request.cpp): check_*() raise R errors unless the
// arguments hold what fill_*() read; fill_*() run inside guarded().
void check_sources(SEXP sources);
void fill_sources(SEXP sources, std::vector<Source> *out);
struct Job;
void check_request(SEXP sources, SEXP targets, SEXP spans, SEXP settings);
Status fill_request(Job *job, SEXP sources, SEXP targets, SEXP spans,
                    SEXP settings);

// A job of the engine, owned behind an external pointer, so that R errors
// and interrupts in the glue leave it to the finalizer.
struct Job {
    Request request;
    Result result;
    bool show_progress = false;
    int shown = -1;
    // Kept runs come back as list(start, value), as the depth of every
    // coordinate, or as list(lengths, values), the slots of an S4Vectors Rle
    enum class RunsForm { starts, depths, lengths } runs_form = RunsForm::starts;
};

// Values (values.cpp): R objects of C++ ones, named and shaped. The kept
// runs' columns go to R as they are (adopted.cpp), and leave the job.
SEXP named_list(const SEXP *values, const char *const *names, int n);
SEXP doubles(const std::vector<double> &x);
SEXP array_value(const Grid<double> &x);
SEXP result_value(Job *job);

// A vector of R over a column's values, which it takes (unsigned values
// must fit R's integers); the classes are registered with the library.
void register_adopted(DllInfo *dll);
SEXP adopted(Column<int32_t> *column);
SEXP adopted(Column<uint32_t> *column);
SEXP adopted(Column<double> *column);

} // namespace tolvendra

#endif
