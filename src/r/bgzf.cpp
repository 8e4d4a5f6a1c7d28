// bgzf_index(): a finished text file compressed as BGZF, with the CSI
// index that tabix queries, as mosdepth writes its .bed.gz files. Plain C
// calls only, so that nothing with a destructor is alive when R is
// called; a fault comes back as a sentence for R to raise naming the file.
#include <stdio.h>
#include <string.h>

#include <htslib/bgzf.h>
#include <htslib/tbx.h>

#include "glue.h"

namespace {

// Copies `text` into `out` as BGZF; false with `why` set on a fault.
bool compress(const char *text, const char *out, int threads, char *why,
              size_t size)
{
    FILE *in = fopen(text, "rb");
    if (!in) {
        snprintf(why, size, "could not open the text written for it");
        return false;
    }
    BGZF *bgzf = bgzf_open(out, "w");
    if (!bgzf) {
        fclose(in);
        snprintf(why, size, "could not open it for BGZF compression");
        return false;
    }
    if (threads > 1)
        bgzf_mt(bgzf, threads, 256);
    char buffer[1 << 16];
    bool ok = true;
    size_t n;
    while (ok && (n = fread(buffer, 1, sizeof buffer, in)) > 0)
        ok = bgzf_write(bgzf, buffer, n) == static_cast<ssize_t>(n);
    ok = ok && !ferror(in);
    fclose(in);
    // closing writes the last blocks and the end-of-file marker
    ok = bgzf_close(bgzf) == 0 && ok;
    if (!ok)
        snprintf(why, size, "BGZF compression failed");
    return ok;
}

} // namespace

extern "C" {

// text, out, index: paths, expanded; threads: htslib's threads. NULL on success,
// else why it failed.
SEXP bgzf_index(SEXP text, SEXP out, SEXP index, SEXP threads)
{
    const SEXP paths[] = {text, out, index};
    for (SEXP p : paths) {
        if (TYPEOF(p) != STRSXP || XLENGTH(p) != 1 || STRING_ELT(p, 0) == NA_STRING)
            Rf_error("bgzf_index(): paths must be single strings");
    }
    const int n_threads = tolvendra::int_at(threads, 1);
    const char *text_path = tolvendra::string_or_null(text);
    const char *out_path = tolvendra::string_or_null(out);
    const char *index_path = tolvendra::string_or_null(index);
    char why[256] = "";
    if (compress(text_path, out_path, n_threads, why, sizeof why) &&
        tbx_index_build3(out_path, index_path, 14, n_threads, &tbx_conf_bed) != 0)
        snprintf(why, sizeof why, "could not build its CSI index");
    return why[0] ? Rf_mkString(why) : R_NilValue;
}

} // extern "C"
