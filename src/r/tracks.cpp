// What R learns of a file before reading it: whether it is a bigWig track
// (by its first bytes, through htslib's files, so URLs too), and a
// track's sequences.
#include <string.h>

#include <htslib/hfile.h>

#include "../bigwig/track.h"
#include "glue.h"

using namespace tolvendra;

namespace {

struct Sequences {
    std::vector<std::string> names;
    std::vector<int64_t> lengths;
};

} // namespace

extern "C" {

// The first four bytes of a file (a path or a URL) as a raw vector, or
// NULL when it cannot be opened or is shorter.
SEXP file_magic(SEXP path)
{
    if (TYPEOF(path) != STRSXP || XLENGTH(path) != 1 || STRING_ELT(path, 0) == NA_STRING)
        Rf_error("file_magic() takes one path");
    unsigned char bytes[4];
    ssize_t n = -1;
    hFILE *f = hopen(CHAR(STRING_ELT(path, 0)), "r");
    if (f) {
        n = hpeek(f, bytes, sizeof bytes);
        hclose_abruptly(f);
    }
    if (n != static_cast<ssize_t>(sizeof bytes))
        return R_NilValue;
    SEXP out = Rf_allocVector(RAWSXP, 4);
    memcpy(RAW(out), bytes, sizeof bytes);
    return out;
}

// A track's sequences from its header: list(name, length), or a fault.
SEXP track_sequences(SEXP path)
{
    if (TYPEOF(path) != STRSXP || XLENGTH(path) != 1 || STRING_ELT(path, 0) == NA_STRING)
        Rf_error("track_sequences() takes one path");
    const char *p = CHAR(STRING_ELT(path, 0));
    Sequences *seqs = nullptr;
    SEXP handle = Owned<Sequences>::make(&seqs);
    const Outcome o = !seqs ? out_of_memory() : guarded([&] {
        TrackFile track;
        Status st = track.open(p);
        if (st.ok()) {
            seqs->names = track.names();
            seqs->lengths = track.lengths();
        }
        return st;
    });
    if (!o.ok()) {
        Owned<Sequences>::release(handle);
        UNPROTECT(1);
        return fault_value(o);
    }
    const R_xlen_t n = static_cast<R_xlen_t>(seqs->names.size());
    SEXP values[] = {PROTECT(Rf_allocVector(STRSXP, n)), PROTECT(Rf_allocVector(REALSXP, n))};
    for (R_xlen_t i = 0; i < n; ++i) {
        SET_STRING_ELT(values[0], i, Rf_mkChar(seqs->names[static_cast<size_t>(i)].c_str()));
        REAL(values[1])[i] = static_cast<double>(seqs->lengths[static_cast<size_t>(i)]);
    }
    const char *names[] = {"name", "length"};
    SEXP out = named_list(values, names, 2);
    Owned<Sequences>::release(handle);
    UNPROTECT(3);
    return out;
}

} // extern "C"
