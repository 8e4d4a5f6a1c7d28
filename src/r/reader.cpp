// The alignment file for R (R/reader.R): opened behind an owned pointer,
// its sequences, and its reads a batch of blocks at a time.
#include <string.h>

#include "glue.h"

namespace tolvendra {

struct Session {
    AlignmentFile file;
    Blocks blocks;
};

namespace {

Session *session_of(SEXP handle)
{
    Session *s = Owned<Session>::of(handle);
    if (!s)
        Rf_error("the alignment file is closed");
    return s;
}

SEXP integers(const std::vector<int> &x)
{
    SEXP out = Rf_allocVector(INTSXP, static_cast<R_xlen_t>(x.size()));
    if (!x.empty())
        memcpy(INTEGER(out), x.data(), x.size() * sizeof(int));
    return out;
}

} // namespace

} // namespace tolvendra

using namespace tolvendra;

extern "C" {

// Opens a BAM or CRAM file with its index; an external pointer, or a fault.
SEXP bam_open(SEXP path, SEXP index, SEXP reference)
{
    const char *p = string_or_null(path);
    if (!p)
        Rf_error("`path` must be a string");
    Session *s = nullptr;
    SEXP handle = Owned<Session>::make(&s);
    const Outcome o = !s ? out_of_memory() : guarded([&] {
        return s->file.open(p, string_or_null(index), string_or_null(reference));
    });
    if (!o.ok())
        Owned<Session>::release(handle);
    UNPROTECT(1);
    return o.ok() ? handle : fault_value(o);
}

SEXP bam_close(SEXP handle)
{
    if (TYPEOF(handle) == EXTPTRSXP)
        Owned<Session>::release(handle);
    return R_NilValue;
}

// The sequences of the header with their lengths and the index's counts
// of mapped reads (NA where the index has none, as for CRAM).
SEXP bam_targets(SEXP handle)
{
    const Session *s = session_of(handle);
    const int n = s->file.targets();
    SEXP values[] = {PROTECT(Rf_allocVector(STRSXP, n)),
                     PROTECT(Rf_allocVector(REALSXP, n)),
                     PROTECT(Rf_allocVector(REALSXP, n))};
    for (int i = 0; i < n; ++i) {
        SET_STRING_ELT(values[0], i, Rf_mkChar(s->file.target_name(i)));
        REAL(values[1])[i] = static_cast<double>(s->file.target_length(i));
        uint64_t m = 0, u = 0;
        REAL(values[2])[i] = s->file.index_counts(i, &m, &u)
                                 ? static_cast<double>(m) : NA_REAL;
    }
    const char *names[] = {"name", "length", "mapped"};
    SEXP out = named_list(values, names, 3);
    UNPROTECT(3);
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
    const int64_t from = int_at(beg, 1), to = int_at(end, 0);
    const Outcome o = guarded([&] {
        std::vector<Source> sources;
        fill_sources(source, &sources);
        return s->file.query(t, from, to, sources[0].filter);
    });
    return o.ok() ? R_NilValue : fault_value(o);
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
    s->blocks.clear();
    const Outcome o = guarded([&] {
        Status status;
        any = s->file.next(sp, static_cast<size_t>(mb), &s->blocks, &status);
        return status;
    });
    if (!o.ok()) {
        s->blocks.clear();
        return fault_value(o);
    }
    if (!any)
        return R_NilValue;
    const Blocks &b = s->blocks;
    SEXP values[] = {PROTECT(integers(b.starts)), PROTECT(integers(b.ends)),
                     PROTECT(Rf_ScalarReal(static_cast<double>(b.reads))),
                     PROTECT(Rf_ScalarReal(static_cast<double>(b.lo))),
                     PROTECT(Rf_ScalarReal(static_cast<double>(b.hi)))};
    const char *names[] = {"start", "end", "reads", "lo", "hi"};
    SEXP out = named_list(values, names, 5);
    UNPROTECT(5);
    return out;
}

// The mapped reads of a file whose index keeps no counts (CRAM), counted
// read by read; a number, or a fault.
SEXP bam_count_mapped(SEXP handle)
{
    Session *s = session_of(handle);
    uint64_t mapped = 0;
    const Outcome o = guarded([&] { return s->file.count_mapped(&mapped); });
    return o.ok() ? Rf_ScalarReal(static_cast<double>(mapped)) : fault_value(o);
}

// Records decoded so far by this process, for tests that a job reads each
// file once.
SEXP bam_decoded(void)
{
    return Rf_ScalarReal(static_cast<double>(records_decoded()));
}

} // extern "C"
