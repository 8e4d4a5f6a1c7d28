// R entry points of the reading library. Each keeps its C++ work inside a
// helper that returns plain data, so no C++ object with a destructor is
// alive when an R call that can raise an error runs. An open file lives on
// the heap behind an external pointer, which R's finalizer releases.
#include <stdio.h>
#include <string.h>

#include <new>

#include <R.h>
#include <Rinternals.h>
#include <R_ext/Rdynload.h>

#include <htslib/hts.h>

#include "alignments.h"

// Which htslib the build linked, set by configure.
#ifndef TOLVENDRA_HTSLIB_SOURCE
#define TOLVENDRA_HTSLIB_SOURCE "unknown"
#endif

using tolvendra::AlignmentFile;
using tolvendra::Blocks;
using tolvendra::Fault;
using tolvendra::ReadFilter;
using tolvendra::Status;

namespace {

struct Session {
    AlignmentFile file;
    Blocks blocks;
};

// A fault copied out of C++ strings.
struct Outcome {
    Fault fault = Fault::none;
    char what[320] = "";
};

Outcome outcome_of(const Status &s)
{
    Outcome o;
    o.fault = s.fault;
    snprintf(o.what, sizeof o.what, "%s", s.what.c_str());
    return o;
}

Outcome out_of_memory()
{
    Outcome o;
    o.fault = Fault::damaged;
    snprintf(o.what, sizeof o.what, "needs more memory than is available");
    return o;
}

const char *fault_name(Fault f)
{
    switch (f) {
    case Fault::open: return "open";
    case Fault::format: return "format";
    case Fault::truncated: return "truncated";
    case Fault::header: return "header";
    case Fault::index: return "index";
    case Fault::damaged: return "damaged";
    default: return "none";
    }
}

// list(fault = , what = ) of class "tolvendra_fault", for the R side to
// turn into a classed error that names the file.
SEXP fault_value(const Outcome &o)
{
    SEXP out = PROTECT(Rf_allocVector(VECSXP, 2));
    SET_VECTOR_ELT(out, 0, Rf_mkString(fault_name(o.fault)));
    SET_VECTOR_ELT(out, 1, Rf_mkString(o.what));
    SEXP names = PROTECT(Rf_allocVector(STRSXP, 2));
    SET_STRING_ELT(names, 0, Rf_mkChar("fault"));
    SET_STRING_ELT(names, 1, Rf_mkChar("what"));
    Rf_setAttrib(out, R_NamesSymbol, names);
    Rf_setAttrib(out, R_ClassSymbol, Rf_mkString("tolvendra_fault"));
    UNPROTECT(2);
    return out;
}

void finalize(SEXP handle)
{
    Session *s = static_cast<Session *>(R_ExternalPtrAddr(handle));
    delete s;
    R_ClearExternalPtr(handle);
}

Session *session_of(SEXP handle)
{
    if (TYPEOF(handle) != EXTPTRSXP || !R_ExternalPtrAddr(handle))
        Rf_error("the alignment file is closed");
    return static_cast<Session *>(R_ExternalPtrAddr(handle));
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

Outcome do_open(Session *s, const char *path, const char *index,
                const char *reference, int threads)
{
    try {
        return outcome_of(s->file.open(path, index, reference, threads));
    } catch (...) {
        return out_of_memory();
    }
}

Outcome do_query(Session *s, int tid, int64_t beg, int64_t end,
                 const ReadFilter &filter)
{
    try {
        return outcome_of(s->file.query(tid, beg, end, filter));
    } catch (...) {
        return out_of_memory();
    }
}

Outcome do_next(Session *s, int64_t span, size_t max_blocks, bool *any)
{
    try {
        Status status;
        s->blocks.clear();
        *any = s->file.next(span, max_blocks, &s->blocks, &status);
        return outcome_of(status);
    } catch (...) {
        s->blocks.clear();
        return out_of_memory();
    }
}

} // namespace

extern "C" {

// Opens a BAM or CRAM file with its index; an external pointer, or a fault.
SEXP bam_open(SEXP path, SEXP index, SEXP reference, SEXP threads)
{
    const char *p = string_or_null(path);
    if (!p)
        Rf_error("`path` must be a string");
    SEXP handle = PROTECT(R_MakeExternalPtr(nullptr, R_NilValue, R_NilValue));
    R_RegisterCFinalizerEx(handle, finalize, TRUE);
    Session *s = new (std::nothrow) Session();
    if (!s) {
        UNPROTECT(1);
        return fault_value(out_of_memory());
    }
    R_SetExternalPtrAddr(handle, s);
    const Outcome o = do_open(s, p, string_or_null(index),
                              string_or_null(reference), int_at(threads, 1));
    if (o.fault != Fault::none) {
        finalize(handle);
        UNPROTECT(1);
        return fault_value(o);
    }
    UNPROTECT(1);
    return handle;
}

SEXP bam_close(SEXP handle)
{
    if (TYPEOF(handle) == EXTPTRSXP)
        finalize(handle);
    return R_NilValue;
}

// The sequences of the header with their lengths and the index's counts
// of mapped reads (NA where the index has none, as for CRAM).
SEXP bam_targets(SEXP handle)
{
    const Session *s = session_of(handle);
    const int n = s->file.targets();
    SEXP names = PROTECT(Rf_allocVector(STRSXP, n));
    SEXP lengths = PROTECT(Rf_allocVector(REALSXP, n));
    SEXP mapped = PROTECT(Rf_allocVector(REALSXP, n));
    for (int i = 0; i < n; ++i) {
        SET_STRING_ELT(names, i, Rf_mkChar(s->file.target_name(i)));
        REAL(lengths)[i] = static_cast<double>(s->file.target_length(i));
        uint64_t m = 0, u = 0;
        REAL(mapped)[i] = s->file.index_counts(i, &m, &u)
                              ? static_cast<double>(m) : NA_REAL;
    }
    SEXP out = PROTECT(Rf_allocVector(VECSXP, 3));
    SET_VECTOR_ELT(out, 0, names);
    SET_VECTOR_ELT(out, 1, lengths);
    SET_VECTOR_ELT(out, 2, mapped);
    SEXP labels = PROTECT(Rf_allocVector(STRSXP, 3));
    SET_STRING_ELT(labels, 0, Rf_mkChar("name"));
    SET_STRING_ELT(labels, 1, Rf_mkChar("length"));
    SET_STRING_ELT(labels, 2, Rf_mkChar("mapped"));
    Rf_setAttrib(out, R_NamesSymbol, labels);
    UNPROTECT(5);
    return out;
}

// Starts a query of beg..end (1-based, closed) of sequence `tid` (0-based)
// with a read filter; NULL, or a fault.
SEXP bam_query(SEXP handle, SEXP tid, SEXP beg, SEXP end, SEXP min_mapq,
               SEXP exclude_flags, SEXP split)
{
    Session *s = session_of(handle);
    const int t = int_at(tid, -1);
    if (t < 0 || t >= s->file.targets())
        Rf_error("no sequence %d in the file", t);
    ReadFilter filter;
    filter.min_mapq = int_at(min_mapq, 0);
    filter.exclude_flags = static_cast<uint32_t>(int_at(exclude_flags, 0));
    filter.split = Rf_asLogical(split) == TRUE;
    const Outcome o = do_query(s, t, int_at(beg, 1), int_at(end, 0), filter);
    return o.fault == Fault::none ? R_NilValue : fault_value(o);
}

// The blocks of the next batch of reads: list(start, end, reads, lo, hi),
// NULL once the query is exhausted, or a fault. A batch holds the reads
// starting within `span` positions of its first read, and stops early
// once it holds `max_blocks` blocks.
SEXP bam_next(SEXP handle, SEXP span, SEXP max_blocks)
{
    Session *s = session_of(handle);
    bool any = false;
    const int64_t sp = int_at(span, 1) > 0 ? int_at(span, 1) : 1;
    const int mb = int_at(max_blocks, 1) > 0 ? int_at(max_blocks, 1) : 1;
    const Outcome o = do_next(s, sp, static_cast<size_t>(mb), &any);
    if (o.fault != Fault::none)
        return fault_value(o);
    if (!any)
        return R_NilValue;
    const Blocks &b = s->blocks;
    const R_xlen_t n = static_cast<R_xlen_t>(b.starts.size());
    SEXP starts = PROTECT(Rf_allocVector(INTSXP, n));
    SEXP ends = PROTECT(Rf_allocVector(INTSXP, n));
    if (n > 0) {
        memcpy(INTEGER(starts), b.starts.data(), n * sizeof(int));
        memcpy(INTEGER(ends), b.ends.data(), n * sizeof(int));
    }
    SEXP out = PROTECT(Rf_allocVector(VECSXP, 5));
    SET_VECTOR_ELT(out, 0, starts);
    SET_VECTOR_ELT(out, 1, ends);
    SET_VECTOR_ELT(out, 2, Rf_ScalarReal(static_cast<double>(b.reads)));
    SET_VECTOR_ELT(out, 3, Rf_ScalarReal(static_cast<double>(b.lo)));
    SET_VECTOR_ELT(out, 4, Rf_ScalarReal(static_cast<double>(b.hi)));
    SEXP labels = PROTECT(Rf_allocVector(STRSXP, 5));
    const char *names[] = {"start", "end", "reads", "lo", "hi"};
    for (int i = 0; i < 5; ++i)
        SET_STRING_ELT(labels, i, Rf_mkChar(names[i]));
    Rf_setAttrib(out, R_NamesSymbol, labels);
    UNPROTECT(4);
    return out;
}

// The htslib that this library runs on: its version, whether it is the
// system's or Rhtslib's, and whether it inflates with libdeflate.
SEXP bam_library_info(void)
{
    SEXP out = PROTECT(Rf_allocVector(VECSXP, 3));
    SET_VECTOR_ELT(out, 0, Rf_mkString(hts_version()));
    SET_VECTOR_ELT(out, 1, Rf_mkString(TOLVENDRA_HTSLIB_SOURCE));
#ifdef HTS_FEATURE_LIBDEFLATE
    const int deflate = (hts_features() & HTS_FEATURE_LIBDEFLATE) != 0;
#else
    const int deflate = 0;
#endif
    SET_VECTOR_ELT(out, 2, Rf_ScalarLogical(deflate));
    SEXP names = PROTECT(Rf_allocVector(STRSXP, 3));
    SET_STRING_ELT(names, 0, Rf_mkChar("htslib"));
    SET_STRING_ELT(names, 1, Rf_mkChar("source"));
    SET_STRING_ELT(names, 2, Rf_mkChar("libdeflate"));
    Rf_setAttrib(out, R_NamesSymbol, names);
    UNPROTECT(2);
    return out;
}

SEXP span_sums(SEXP cov, SEXP first, SEXP starts, SEXP ends);
SEXP coverage_add(SEXP total, SEXP offset, SEXP part);
SEXP profile_add(SEXP total, SEXP cov, SEXP factor);
SEXP profile_store(SEXP profile, SEXP offset, SEXP total);
SEXP count_positive(SEXP x);

static const R_CallMethodDef call_methods[] = {
    {"bam_open", (DL_FUNC) &bam_open, 4},
    {"bam_close", (DL_FUNC) &bam_close, 1},
    {"bam_targets", (DL_FUNC) &bam_targets, 1},
    {"bam_query", (DL_FUNC) &bam_query, 7},
    {"bam_next", (DL_FUNC) &bam_next, 3},
    {"span_sums", (DL_FUNC) &span_sums, 4},
    {"coverage_add", (DL_FUNC) &coverage_add, 3},
    {"profile_add", (DL_FUNC) &profile_add, 3},
    {"profile_store", (DL_FUNC) &profile_store, 3},
    {"count_positive", (DL_FUNC) &count_positive, 1},
    {"bam_library_info", (DL_FUNC) &bam_library_info, 0},
    {NULL, NULL, 0}
};

void R_init_TolvendraBam(DllInfo *dll)
{
    R_registerRoutines(dll, NULL, call_methods, NULL, NULL);
    R_useDynamicSymbols(dll, FALSE);
    R_forceSymbols(dll, TRUE);
    // Faults come back to R as classed errors that name the file; htslib's
    // own lines on stderr would only repeat them.
    hts_set_log_level(HTS_LOG_OFF);
}

} // extern "C"
