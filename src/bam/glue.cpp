// R entry points of the reading library. Each keeps its C++ work inside a
// helper that returns plain data, so no C++ object with a destructor is
// alive when an R call that can raise an error runs. An open file lives on
// the heap behind an external pointer, which R's finalizer releases.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <initializer_list>
#include <new>

#include <R.h>
#include <Rinternals.h>
#include <R_ext/Rdynload.h>

#include <htslib/hfile.h>
#include <htslib/hts.h>

#include "alignments.h"
#include "engine.h"

// Which htslib the build linked, set by configure.
#ifndef TOLVENDRA_HTSLIB_SOURCE
#define TOLVENDRA_HTSLIB_SOURCE "unknown"
#endif

using tolvendra::AlignmentFile;
using tolvendra::Blocks;
using tolvendra::Fault;
using tolvendra::Overlap;
using tolvendra::Source;
using tolvendra::Status;
using tolvendra::Request;
using tolvendra::Result;
using tolvendra::Runs;

namespace {

struct Session {
    AlignmentFile file;
    Blocks blocks;
};

// A fault copied out of C++ strings.
struct Outcome {
    Fault fault = Fault::none;
    char what[320] = "";
    int source = -1; // the file at fault, among several
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
    o.fault = Fault::memory;
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
    case Fault::overflow: return "overflow";
    case Fault::memory: return "memory";
    case Fault::interrupted: return "interrupted";
    case Fault::reference: return "reference";
    default: return "none";
    }
}

// list(fault = , what = , source = ) of class "tolvendra_fault", for the R
// side to turn into a classed error that names the file.
SEXP fault_value(const Outcome &o)
{
    SEXP out = PROTECT(Rf_allocVector(VECSXP, 3));
    SET_VECTOR_ELT(out, 0, Rf_mkString(fault_name(o.fault)));
    SET_VECTOR_ELT(out, 1, Rf_mkString(o.what));
    SET_VECTOR_ELT(out, 2, Rf_ScalarInteger(o.source + 1));
    SEXP names = PROTECT(Rf_allocVector(STRSXP, 3));
    SET_STRING_ELT(names, 0, Rf_mkChar("fault"));
    SET_STRING_ELT(names, 1, Rf_mkChar("what"));
    SET_STRING_ELT(names, 2, Rf_mkChar("source"));
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

// The element of a named list; R_NilValue if it has none.
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

// Checked vectors of the engine's arguments.
SEXP typed(SEXP list, const char *name, SEXPTYPE type, R_xlen_t n)
{
    SEXP x = field(list, name);
    if (TYPEOF(x) != type || (n >= 0 && XLENGTH(x) != n))
        Rf_error("the engine's `%s` has the wrong type or length", name);
    return x;
}

std::string string_at(SEXP x, R_xlen_t i)
{
    return STRING_ELT(x, i) == NA_STRING ? std::string()
                                         : std::string(CHAR(STRING_ELT(x, i)));
}

// The fields of the sources as R sends them (native_sources() in
// R/engine.R), one element per source: this one table both checks them and
// fills the sources, for every entry point that reads.
struct SourceField {
    const char *name;
    SEXPTYPE type;
    void (*fill)(Source *, SEXP, R_xlen_t);
};

const SourceField source_fields[] = {
    {"file", STRSXP, [](Source *s, SEXP x, R_xlen_t i) { s->path = string_at(x, i); }},
    {"index", STRSXP, [](Source *s, SEXP x, R_xlen_t i) { s->index = string_at(x, i); }},
    {"reference", STRSXP,
     [](Source *s, SEXP x, R_xlen_t i) { s->reference = string_at(x, i); }},
    {"min_mapq", INTSXP,
     [](Source *s, SEXP x, R_xlen_t i) { s->filter.min_mapq = INTEGER(x)[i]; }},
    {"exclude_flags", INTSXP,
     [](Source *s, SEXP x, R_xlen_t i) {
         s->filter.exclude_flags = static_cast<uint32_t>(INTEGER(x)[i]);
     }},
    {"include_flags", INTSXP,
     [](Source *s, SEXP x, R_xlen_t i) {
         s->filter.include_flags = static_cast<uint32_t>(INTEGER(x)[i]);
     }},
    {"split", LGLSXP,
     [](Source *s, SEXP x, R_xlen_t i) { s->filter.split = LOGICAL(x)[i] == TRUE; }},
    {"deletions", LGLSXP,
     [](Source *s, SEXP x, R_xlen_t i) { s->filter.deletions = LOGICAL(x)[i] == TRUE; }},
    {"overlap", INTSXP,
     [](Source *s, SEXP x, R_xlen_t i) {
         s->filter.overlap = static_cast<Overlap>(INTEGER(x)[i]);
     }},
    {"fragments", LGLSXP,
     [](Source *s, SEXP x, R_xlen_t i) { s->filter.fragments = LOGICAL(x)[i] == TRUE; }},
    {"extend", INTSXP,
     [](Source *s, SEXP x, R_xlen_t i) {
         s->filter.extend = INTEGER(x)[i] > 0 ? INTEGER(x)[i] : 0;
     }},
    {"strand", INTSXP,
     [](Source *s, SEXP x, R_xlen_t i) { s->filter.strand = INTEGER(x)[i]; }},
};

// Raises an R error unless the sources hold what fill_sources() reads.
void check_sources(SEXP sources)
{
    SEXP file = field(sources, "file");
    if (TYPEOF(file) != STRSXP || XLENGTH(file) < 1)
        Rf_error("the engine needs at least one file");
    for (const SourceField &f : source_fields)
        typed(sources, f.name, f.type, XLENGTH(file));
    SEXP overlap = field(sources, "overlap");
    SEXP strand = field(sources, "strand");
    for (R_xlen_t i = 0; i < XLENGTH(file); ++i) {
        if (INTEGER(overlap)[i] < 0 || INTEGER(overlap)[i] > 2 ||
            INTEGER(strand)[i] < -1 || INTEGER(strand)[i] > 1)
            Rf_error("the engine's `overlap` or `strand` is out of range");
    }
}

// Plain data only, after check_sources(): nothing here raises an R error.
void fill_sources(SEXP sources, std::vector<Source> *out)
{
    const R_xlen_t n = XLENGTH(element(sources, "file"));
    out->assign(static_cast<size_t>(n), Source());
    for (const SourceField &f : source_fields) {
        SEXP x = element(sources, f.name);
        for (R_xlen_t i = 0; i < n; ++i)
            f.fill(&(*out)[static_cast<size_t>(i)], x, i);
    }
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

Outcome do_query(Session *s, int tid, int64_t beg, int64_t end, SEXP source)
{
    try {
        std::vector<Source> sources;
        fill_sources(source, &sources);
        return outcome_of(s->file.query(tid, beg, end, sources[0].filter));
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
// with the reads of a source's options (a source as the engine takes it);
// NULL, or a fault.
SEXP bam_query(SEXP handle, SEXP tid, SEXP beg, SEXP end, SEXP source)
{
    Session *s = session_of(handle);
    const int t = int_at(tid, -1);
    if (t < 0 || t >= s->file.targets())
        Rf_error("no sequence %d in the file", t);
    check_sources(source);
    const Outcome o = do_query(s, t, int_at(beg, 1), int_at(end, 0), source);
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

// The mapped reads of a file whose index keeps no counts (CRAM), counted
// read by read; a number, or a fault.
SEXP bam_count_mapped(SEXP handle)
{
    Session *s = session_of(handle);
    uint64_t mapped = 0;
    Outcome o;
    try {
        o = outcome_of(s->file.count_mapped(&mapped));
    } catch (...) {
        o = out_of_memory();
    }
    if (o.fault != Fault::none)
        return fault_value(o);
    return Rf_ScalarReal(static_cast<double>(mapped));
}

// Records decoded so far by this process, for tests that a job reads each
// file once.
SEXP bam_decoded(void)
{
    return Rf_ScalarReal(static_cast<double>(tolvendra::records_decoded()));
}

} // extern "C"

namespace {

// A job of the engine, on the heap behind an external pointer, so that R
// errors and interrupts in the glue leave it to the finalizer.
struct Job {
    Request request;
    Result result;
    bool show_progress = false;
    int shown = -1;
    bool dense = false; // runs come back as the depth of every coordinate
};

void finalize_job(SEXP handle)
{
    delete static_cast<Job *>(R_ExternalPtrAddr(handle));
    R_ClearExternalPtr(handle);
}

void check_interrupt(void *) { R_CheckUserInterrupt(); }

// Shows progress and hears interrupts, without letting R unwind through
// the engine's frames.
bool poll(void *context, double done)
{
    Job *job = static_cast<Job *>(context);
    if (job->show_progress) {
        const int percent = static_cast<int>(100 * done);
        if (percent != job->shown) {
            REprintf("\rReading alignments: %3d%%", percent);
            job->shown = percent;
        }
    }
    return R_ToplevelExec(check_interrupt, nullptr) == TRUE;
}

// Copies the R arguments into the request; plain data only.
Outcome fill(Job *job, SEXP sources, SEXP targets, SEXP spans, SEXP settings)
{
    try {
        Request &rq = job->request;
        fill_sources(sources, &rq.sources);
        if (targets == R_NilValue) {
            rq.threads = INTEGER(field(settings, "threads"))[0];
            return Outcome(); // libraries only
        }
        SEXP seqname = field(targets, "seqname");
        const R_xlen_t n_targets = XLENGTH(seqname);
        SEXP start = typed(targets, "start", REALSXP, n_targets);
        SEXP end = typed(targets, "end", REALSXP, n_targets);
        for (R_xlen_t t = 0; t < n_targets; ++t) {
            tolvendra::Target target;
            target.seqname = string_at(seqname, t);
            target.start = static_cast<int64_t>(REAL(start)[t]);
            target.end = static_cast<int64_t>(REAL(end)[t]);
            rq.targets.push_back(target);
        }
        SEXP span_target = field(spans, "target");
        const R_xlen_t n_spans = XLENGTH(span_target);
        SEXP span_start = typed(spans, "start", REALSXP, n_spans);
        SEXP span_end = typed(spans, "end", REALSXP, n_spans);
        for (R_xlen_t i = 0; i < n_spans; ++i) {
            rq.span_target.push_back(INTEGER(span_target)[i] - 1);
            rq.span_start.push_back(static_cast<int64_t>(REAL(span_start)[i]));
            rq.span_end.push_back(static_cast<int64_t>(REAL(span_end)[i]));
        }
        SEXP span_group = field(spans, "group");
        for (R_xlen_t i = 0; i < XLENGTH(span_group); ++i)
            rq.span_group.push_back(INTEGER(span_group)[i] - 1);
        rq.groups = INTEGER(field(settings, "groups"))[0];
        rq.group_stats = LOGICAL(field(settings, "group_stats"))[0] == TRUE;
        SEXP thresholds = field(settings, "thresholds");
        rq.thresholds.assign(INTEGER(thresholds),
                             INTEGER(thresholds) + XLENGTH(thresholds));
        rq.group_depths = LOGICAL(field(settings, "group_depths"))[0] == TRUE;
        rq.group_reads = LOGICAL(field(settings, "group_reads"))[0] == TRUE;
        rq.histogram = INTEGER(field(settings, "histogram"))[0];
        SEXP quantize = field(settings, "quantize");
        rq.quantize.assign(INTEGER(quantize), INTEGER(quantize) + XLENGTH(quantize));
        rq.regions = LOGICAL(field(settings, "regions"))[0] == TRUE;
        SEXP factors = field(settings, "factors");
        rq.factors.assign(REAL(factors), REAL(factors) + XLENGTH(factors));
        rq.threshold = REAL(field(settings, "threshold"))[0];
        rq.minlen = INTEGER(field(settings, "minlen"))[0];
        rq.keep_runs = INTEGER(field(settings, "keep"))[0] > 0;
        job->dense = INTEGER(field(settings, "keep"))[0] == 2;
        rq.threads = INTEGER(field(settings, "threads"))[0];
        rq.chunk = static_cast<int64_t>(REAL(field(settings, "chunk"))[0]);
        rq.max_blocks = static_cast<size_t>(REAL(field(settings, "max_blocks"))[0]);
        job->show_progress = LOGICAL(field(settings, "progress"))[0] == TRUE;
        rq.poll = poll;
        rq.poll_context = job;
        return Outcome();
    } catch (...) {
        return out_of_memory();
    }
}

Outcome run(Job *job, bool libraries)
{
    try {
        if (libraries)
            tolvendra::count_libraries(job->request, &job->result);
        else
            tolvendra::run_engine(job->request, &job->result);
        Outcome o = outcome_of(job->result.status);
        o.source = job->result.failed;
        return o;
    } catch (...) {
        return out_of_memory();
    }
}

// The engine's arguments must describe what it can compute; the R side
// checks what users pass, this only keeps bad calls from reaching it.
void check_request(SEXP sources, SEXP targets, SEXP spans, SEXP settings)
{
    check_sources(sources);
    const R_xlen_t n_sources = XLENGTH(field(sources, "file"));
    typed(settings, "threads", INTSXP, 1);
    if (targets == R_NilValue)
        return;
    SEXP seqname = field(targets, "seqname");
    if (TYPEOF(seqname) != STRSXP)
        Rf_error("the engine's `seqname` must be strings");
    const R_xlen_t n = XLENGTH(seqname);
    const double *start = REAL(typed(targets, "start", REALSXP, n));
    const double *end = REAL(typed(targets, "end", REALSXP, n));
    for (R_xlen_t t = 0; t < n; ++t) {
        if (!(start[t] >= 1 && end[t] >= start[t] && end[t] <= 2147483647.0))
            Rf_error("the engine's target %ld is not 1 <= start <= end < 2^31",
                     static_cast<long>(t + 1));
    }
    SEXP span_target = typed(spans, "target", INTSXP, -1);
    const R_xlen_t m = XLENGTH(span_target);
    const double *a = REAL(typed(spans, "start", REALSXP, m));
    const double *b = REAL(typed(spans, "end", REALSXP, m));
    for (R_xlen_t i = 0; i < m; ++i) {
        const int t = INTEGER(span_target)[i] - 1;
        if (t < 0 || t >= n || !(a[i] >= start[t] && b[i] <= end[t]))
            Rf_error("the engine's span %ld lies outside its target",
                     static_cast<long>(i + 1));
    }
    // Groups number 1..groups (0 for none); each group's spans must not
    // overlap, which the R side ensures.
    SEXP group = typed(spans, "group", INTSXP, -1);
    const int groups = INTEGER(typed(settings, "groups", INTSXP, 1))[0];
    if (XLENGTH(group) != 0 && XLENGTH(group) != m)
        Rf_error("the engine's span groups must be one per span");
    for (R_xlen_t i = 0; i < XLENGTH(group); ++i) {
        if (INTEGER(group)[i] < 0 || INTEGER(group)[i] > groups)
            Rf_error("the engine's span %ld has no group among 1..%d",
                     static_cast<long>(i + 1), groups);
    }
    if (groups < 0 || (groups > 0 && XLENGTH(group) == 0))
        Rf_error("the engine's groups need a group for each span");
    typed(settings, "group_stats", LGLSXP, 1);
    typed(settings, "thresholds", INTSXP, -1);
    typed(settings, "group_depths", LGLSXP, 1);
    typed(settings, "group_reads", LGLSXP, 1);
    const int histogram = INTEGER(typed(settings, "histogram", INTSXP, 1))[0];
    if (histogram < -1 || histogram > 1000000)
        Rf_error("the engine's `histogram` must lie between -1 and 1e6");
    SEXP quantize = typed(settings, "quantize", INTSXP, -1);
    for (R_xlen_t i = 1; i < XLENGTH(quantize); ++i) {
        if (INTEGER(quantize)[i] <= INTEGER(quantize)[i - 1])
            Rf_error("the engine's `quantize` must ascend");
    }
    typed(settings, "regions", LGLSXP, 1);
    typed(settings, "factors", REALSXP, n_sources);
    typed(settings, "threshold", REALSXP, 1);
    typed(settings, "minlen", INTSXP, 1);
    typed(settings, "keep", INTSXP, 1);
    typed(settings, "threads", INTSXP, 1);
    typed(settings, "progress", LGLSXP, 1);
    const double chunk = REAL(typed(settings, "chunk", REALSXP, 1))[0];
    if (!(chunk >= 1 && chunk <= 2147483647.0))
        Rf_error("the engine's `chunk` must lie between 1 and 2^31 - 1");
    const double blocks = REAL(typed(settings, "max_blocks", REALSXP, 1))[0];
    if (!(blocks >= 1 && blocks <= 1e9))
        Rf_error("the engine's `max_blocks` must lie between 1 and 1e9");
}

SEXP named_list(SEXP *values, const char **names, int n)
{
    SEXP out = PROTECT(Rf_allocVector(VECSXP, n));
    SEXP labels = PROTECT(Rf_allocVector(STRSXP, n));
    for (int i = 0; i < n; ++i) {
        SET_VECTOR_ELT(out, i, values[i]);
        SET_STRING_ELT(labels, i, Rf_mkChar(names[i]));
    }
    Rf_setAttrib(out, R_NamesSymbol, labels);
    UNPROTECT(2);
    return out;
}

SEXP matrix_of(const std::vector<double> &x, R_xlen_t rows, R_xlen_t cols)
{
    SEXP out = PROTECT(Rf_allocMatrix(REALSXP, static_cast<int>(rows),
                                      static_cast<int>(cols)));
    if (!x.empty())
        memcpy(REAL(out), x.data(), x.size() * sizeof(double));
    UNPROTECT(1);
    return out;
}

// The depth of every coordinate that runs hold.
SEXP depth_value(const Runs &r)
{
    SEXP out = PROTECT(Rf_allocVector(INTSXP, static_cast<R_xlen_t>(r.length)));
    int *d = INTEGER(out);
    for (size_t i = 0; i < r.at.size(); ++i) {
        const int64_t to = i + 1 < r.at.size() ? r.at[i + 1] : r.length;
        std::fill(d + r.at[i], d + to, r.value[i]);
    }
    UNPROTECT(1);
    return out;
}

// Runs as list(start, value): the first coordinate of each run and its depth.
SEXP runs_value(const Runs &r)
{
    const R_xlen_t n = static_cast<R_xlen_t>(r.at.size());
    SEXP start = PROTECT(Rf_allocVector(REALSXP, n));
    SEXP value = PROTECT(Rf_allocVector(INTSXP, n));
    for (R_xlen_t i = 0; i < n; ++i) {
        REAL(start)[i] = static_cast<double>(r.first + r.at[i]);
        INTEGER(value)[i] = r.value[i];
    }
    SEXP values[] = {start, value};
    const char *names[] = {"start", "value"};
    SEXP out = named_list(values, names, 2);
    UNPROTECT(2);
    return out;
}

// A copy of doubles with the dimensions given (a matrix or an array).
SEXP array_of(const std::vector<double> &x, std::initializer_list<int> dims)
{
    SEXP out = PROTECT(Rf_allocVector(REALSXP, static_cast<R_xlen_t>(x.size())));
    if (!x.empty())
        memcpy(REAL(out), x.data(), x.size() * sizeof(double));
    SEXP dim = PROTECT(Rf_allocVector(INTSXP, static_cast<R_xlen_t>(dims.size())));
    int k = 0;
    for (int d : dims)
        INTEGER(dim)[k++] = d;
    Rf_setAttrib(out, R_DimSymbol, dim);
    UNPROTECT(2);
    return out;
}

// What the engine found over groups of spans: list(sum, bases, min, max,
// median, sd) of groups x samples matrices (empty unless asked), ge
// (groups x samples x thresholds), reads (groups x samples), histogram
// (depths x groups x samples) and depths (list(group, sample, depth,
// count), 1-based).
SEXP group_values(const Request &rq, const Result &res)
{
    const int g = rq.groups;
    const int n = static_cast<int>(rq.sources.size());
    const bool stats = rq.group_stats && !res.group_sum.empty();
    const int k = static_cast<int>(rq.thresholds.size());
    auto matrix = [&](const std::vector<double> &x, bool on) {
        static const std::vector<double> none;
        return on ? array_of(x, {g, n}) : array_of(none, {0, n});
    };
    SEXP values[10];
    values[0] = PROTECT(matrix(res.group_sum, stats));
    values[1] = PROTECT(matrix(res.group_bases, stats));
    values[2] = PROTECT(matrix(res.group_min, stats));
    values[3] = PROTECT(matrix(res.group_max, stats));
    values[4] = PROTECT(matrix(res.group_median, stats));
    values[5] = PROTECT(matrix(res.group_sd, stats));
    values[6] = PROTECT(array_of(res.group_ge, {res.group_ge.empty() ? 0 : g, n, k}));
    values[7] = PROTECT(matrix(res.group_reads, !res.group_reads.empty()));
    values[8] = PROTECT(array_of(res.group_histogram,
                                 {res.group_histogram.empty() ? 0 : rq.histogram + 1,
                                  res.group_histogram.empty() ? 0 : g, n}));
    const R_xlen_t m = static_cast<R_xlen_t>(res.depth_value.size());
    SEXP group = PROTECT(Rf_allocVector(INTSXP, m));
    SEXP sample = PROTECT(Rf_allocVector(INTSXP, m));
    SEXP depth = PROTECT(Rf_allocVector(INTSXP, m));
    SEXP count = PROTECT(Rf_allocVector(REALSXP, m));
    for (R_xlen_t i = 0; i < m; ++i) {
        INTEGER(group)[i] = res.depth_group[i] + 1;
        INTEGER(sample)[i] = res.depth_sample[i] + 1;
        INTEGER(depth)[i] = res.depth_value[i];
        REAL(count)[i] = res.depth_count[i];
    }
    SEXP parts[] = {group, sample, depth, count};
    const char *part_names[] = {"group", "sample", "depth", "count"};
    values[9] = PROTECT(named_list(parts, part_names, 4));
    const char *names[] = {"sum", "bases", "min", "max", "median", "sd",
                           "ge", "reads", "histogram", "depths"};
    SEXP out = named_list(values, names, 10);
    UNPROTECT(14);
    return out;
}

struct Summary {
    std::vector<double> sums, region_sums;
    std::vector<int64_t> regions;
};

void finalize_summary(SEXP handle)
{
    delete static_cast<Summary *>(R_ExternalPtrAddr(handle));
    R_ClearExternalPtr(handle);
}

Outcome summarize(const int *cov, int64_t n, int64_t first, const double *a,
                  const double *b, int64_t m, int threshold, int minlen,
                  Summary *out)
{
    try {
        Runs runs;
        runs.reset(first);
        runs.append_depths(reinterpret_cast<const uint32_t *>(cov), n);
        for (int64_t i = 0; i < m; ++i) {
            out->sums.push_back(static_cast<double>(
                tolvendra::span_stats(runs, static_cast<int64_t>(a[i]),
                                      static_cast<int64_t>(b[i])).sum));
        }
        tolvendra::runs_regions(runs, threshold, minlen, &out->regions);
        for (size_t k = 0; k < out->regions.size(); k += 2) {
            out->region_sums.push_back(static_cast<double>(
                tolvendra::span_stats(runs, out->regions[k],
                                      out->regions[k + 1]).sum));
        }
        return Outcome();
    } catch (...) {
        return out_of_memory();
    }
}

} // namespace

extern "C" {

// One pass of the engine over the files of `sources` for `targets`; see
// engine_run() in R/engine.R for the arguments and the value. A fault comes
// back as a value of class "tolvendra_fault".
SEXP engine_run(SEXP sources, SEXP targets, SEXP spans, SEXP settings)
{
    check_request(sources, targets, spans, settings);
    SEXP handle = PROTECT(R_MakeExternalPtr(nullptr, R_NilValue, R_NilValue));
    R_RegisterCFinalizerEx(handle, finalize_job, TRUE);
    Job *job = new (std::nothrow) Job();
    if (!job) {
        UNPROTECT(1);
        return fault_value(out_of_memory());
    }
    R_SetExternalPtrAddr(handle, job);
    Outcome o = fill(job, sources, targets, spans, settings);
    if (o.fault == Fault::none)
        o = run(job, targets == R_NilValue);
    if (job->show_progress && job->shown >= 0)
        REprintf("\n");
    if (o.fault != Fault::none) {
        finalize_job(handle);
        UNPROTECT(1);
        return fault_value(o);
    }
    const Request &rq = job->request;
    const Result &res = job->result;
    const R_xlen_t n_samples = static_cast<R_xlen_t>(rq.sources.size());
    SEXP reads = PROTECT(Rf_allocVector(REALSXP, n_samples));
    SEXP bases = PROTECT(Rf_allocVector(REALSXP, n_samples));
    for (R_xlen_t s = 0; s < n_samples; ++s) {
        REAL(reads)[s] = static_cast<double>(res.reads[s]);
        REAL(bases)[s] = res.bases[s];
    }
    const R_xlen_t n_targets = static_cast<R_xlen_t>(rq.targets.size());
    const R_xlen_t n_regions = static_cast<R_xlen_t>(res.region_start.size());
    SEXP sums = PROTECT(matrix_of(res.sums, static_cast<R_xlen_t>(rq.span_start.size()),
                                  n_samples));
    SEXP covered = PROTECT(matrix_of(res.covered, n_targets, n_samples));
    SEXP region_target = PROTECT(Rf_allocVector(INTSXP, n_regions));
    SEXP region_start = PROTECT(Rf_allocVector(REALSXP, n_regions));
    SEXP region_end = PROTECT(Rf_allocVector(REALSXP, n_regions));
    SEXP region_sums = PROTECT(Rf_allocMatrix(REALSXP, static_cast<int>(n_regions),
                                              static_cast<int>(n_samples)));
    for (R_xlen_t k = 0; k < n_regions; ++k) {
        INTEGER(region_target)[k] = res.region_target[k] + 1;
        REAL(region_start)[k] = static_cast<double>(res.region_start[k]);
        REAL(region_end)[k] = static_cast<double>(res.region_end[k]);
        for (R_xlen_t s = 0; s < n_samples; ++s)
            REAL(region_sums)[k + n_regions * s] = res.region_sums[k * n_samples + s];
    }
    // a list matrix, targets x samples
    const R_xlen_t kept = res.runs.empty() ? 0 : n_targets;
    SEXP runs = PROTECT(Rf_allocMatrix(VECSXP, static_cast<int>(kept),
                                       static_cast<int>(n_samples)));
    for (R_xlen_t t = 0; t < kept; ++t) {
        for (R_xlen_t s = 0; s < n_samples; ++s) {
            const Runs &r = res.runs[static_cast<size_t>(t * n_samples + s)];
            SET_VECTOR_ELT(runs, t + kept * s,
                           job->dense ? depth_value(r) : runs_value(r));
        }
    }
    SEXP groups = PROTECT(group_values(rq, res));
    SEXP values[] = {sums, covered, region_target, region_start, region_end,
                     region_sums, runs, reads, bases, groups};
    const char *names[] = {"sums", "covered", "region_target", "region_start",
                           "region_end", "region_sums", "runs", "reads", "bases",
                           "groups"};
    SEXP out = named_list(values, names, 10);
    finalize_job(handle);
    UNPROTECT(11);
    return out;
}

// The sums of a coverage vector (first coordinate `first`) over spans, and
// its regions with their sums, through the same kernels as the engine:
// list(sums, region_start, region_end, region_sums).
SEXP coverage_summary(SEXP cov, SEXP first, SEXP starts, SEXP ends,
                      SEXP threshold, SEXP minlen)
{
    if (TYPEOF(cov) != INTSXP || TYPEOF(starts) != REALSXP ||
        TYPEOF(ends) != REALSXP || XLENGTH(starts) != XLENGTH(ends) ||
        TYPEOF(first) != REALSXP || XLENGTH(first) != 1 ||
        TYPEOF(threshold) != INTSXP || XLENGTH(threshold) != 1 ||
        TYPEOF(minlen) != INTSXP || XLENGTH(minlen) != 1)
        Rf_error("coverage_summary() takes an integer profile, double spans "
                 "and integer threshold and minlen");
    SEXP handle = PROTECT(R_MakeExternalPtr(nullptr, R_NilValue, R_NilValue));
    R_RegisterCFinalizerEx(handle, finalize_summary, TRUE);
    Summary *sm = new (std::nothrow) Summary();
    if (!sm) {
        UNPROTECT(1);
        return fault_value(out_of_memory());
    }
    R_SetExternalPtrAddr(handle, sm);
    const Outcome o = summarize(INTEGER(cov), XLENGTH(cov),
                                static_cast<int64_t>(REAL(first)[0]),
                                REAL(starts), REAL(ends), XLENGTH(starts),
                                INTEGER(threshold)[0], INTEGER(minlen)[0], sm);
    if (o.fault != Fault::none) {
        finalize_summary(handle);
        UNPROTECT(1);
        return fault_value(o);
    }
    const R_xlen_t k = static_cast<R_xlen_t>(sm->regions.size() / 2);
    SEXP sums = PROTECT(Rf_allocVector(REALSXP, XLENGTH(starts)));
    SEXP rs = PROTECT(Rf_allocVector(REALSXP, k));
    SEXP re = PROTECT(Rf_allocVector(REALSXP, k));
    SEXP rsum = PROTECT(Rf_allocVector(REALSXP, k));
    for (R_xlen_t i = 0; i < XLENGTH(starts); ++i)
        REAL(sums)[i] = sm->sums[i];
    for (R_xlen_t i = 0; i < k; ++i) {
        REAL(rs)[i] = static_cast<double>(sm->regions[2 * i]);
        REAL(re)[i] = static_cast<double>(sm->regions[2 * i + 1]);
        REAL(rsum)[i] = sm->region_sums[i];
    }
    SEXP values[] = {sums, rs, re, rsum};
    const char *names[] = {"sums", "region_start", "region_end", "region_sums"};
    SEXP out = named_list(values, names, 4);
    finalize_summary(handle);
    UNPROTECT(5);
    return out;
}
// The htslib that this library runs on: its version, whether it is the
// system's or Rhtslib's, and whether it inflates with libdeflate.
SEXP bam_library_info(void)
{
    // the URL schemes htslib reads, "http" and "s3" among them when it was
    // built with libcurl
    const char *schemes[64];
    int n_schemes = 64;
    if (hfile_list_schemes(nullptr, schemes, &n_schemes) < 0)
        n_schemes = 0;
    n_schemes = std::min(n_schemes, 64);
    SEXP protocols = PROTECT(Rf_allocVector(STRSXP, n_schemes));
    for (int i = 0; i < n_schemes; ++i)
        SET_STRING_ELT(protocols, i, Rf_mkChar(schemes[i]));
    SEXP out = PROTECT(Rf_allocVector(VECSXP, 4));
    SET_VECTOR_ELT(out, 0, Rf_mkString(hts_version()));
    SET_VECTOR_ELT(out, 1, Rf_mkString(TOLVENDRA_HTSLIB_SOURCE));
#ifdef HTS_FEATURE_LIBDEFLATE
    const int deflate = (hts_features() & HTS_FEATURE_LIBDEFLATE) != 0;
#else
    const int deflate = 0;
#endif
    SET_VECTOR_ELT(out, 2, Rf_ScalarLogical(deflate));
    SET_VECTOR_ELT(out, 3, protocols);
    SEXP names = PROTECT(Rf_allocVector(STRSXP, 4));
    SET_STRING_ELT(names, 0, Rf_mkChar("htslib"));
    SET_STRING_ELT(names, 1, Rf_mkChar("source"));
    SET_STRING_ELT(names, 2, Rf_mkChar("libdeflate"));
    SET_STRING_ELT(names, 3, Rf_mkChar("protocols"));
    Rf_setAttrib(out, R_NamesSymbol, names);
    UNPROTECT(3);
    return out;
}


static const R_CallMethodDef call_methods[] = {
    {"bam_open", (DL_FUNC) &bam_open, 4},
    {"bam_close", (DL_FUNC) &bam_close, 1},
    {"bam_targets", (DL_FUNC) &bam_targets, 1},
    {"bam_query", (DL_FUNC) &bam_query, 5},
    {"bam_next", (DL_FUNC) &bam_next, 3},
    {"bam_count_mapped", (DL_FUNC) &bam_count_mapped, 1},
    {"bam_decoded", (DL_FUNC) &bam_decoded, 0},
    {"engine_run", (DL_FUNC) &engine_run, 4},
    {"coverage_summary", (DL_FUNC) &coverage_summary, 6},
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
