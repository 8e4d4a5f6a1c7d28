// Registration of the reading library's entry points, and which htslib it
// runs on.
#include <R_ext/Rdynload.h>

#include <htslib/hfile.h>
#include <htslib/hts.h>

#include "../bigwig/track.h"
#include "glue.h"

// Which htslib the build linked, set by configure.
#ifndef TOLVENDRA_HTSLIB_SOURCE
#define TOLVENDRA_HTSLIB_SOURCE "unknown"
#endif

extern "C" {

SEXP bam_open(SEXP path, SEXP index, SEXP reference);
SEXP bam_close(SEXP handle);
SEXP bam_targets(SEXP handle);
SEXP bam_query(SEXP handle, SEXP tid, SEXP beg, SEXP end, SEXP source);
SEXP bam_next(SEXP handle, SEXP span, SEXP max_blocks);
SEXP bam_count_mapped(SEXP handle);
SEXP bam_decoded(void);
SEXP engine_run(SEXP sources, SEXP targets, SEXP spans, SEXP settings);
SEXP vector_sums(SEXP cov, SEXP first, SEXP starts, SEXP ends,
                      SEXP threshold, SEXP minlen);
SEXP bgzf_index(SEXP text, SEXP out, SEXP index, SEXP threads);
SEXP file_magic(SEXP path);
SEXP track_sequences(SEXP path);

// The htslib that this library runs on: its version, whether it is the
// system's or Rhtslib's, whether it inflates with libdeflate, and the URL
// schemes it reads ("http" and "s3" among them when built with libcurl);
// and whether it reads bigWig tracks (built on libBigWig).
SEXP bam_library_info(void)
{
#ifdef HTS_FEATURE_LIBDEFLATE
    const int deflate = (hts_features() & HTS_FEATURE_LIBDEFLATE) != 0;
#else
    const int deflate = 0;
#endif
    const char *schemes[64];
    int n_schemes = 64;
    if (hfile_list_schemes(nullptr, schemes, &n_schemes) < 0)
        n_schemes = 0;
    n_schemes = n_schemes < 64 ? n_schemes : 64;
    SEXP protocols = PROTECT(Rf_allocVector(STRSXP, n_schemes));
    for (int i = 0; i < n_schemes; ++i)
        SET_STRING_ELT(protocols, i, Rf_mkChar(schemes[i]));
    SEXP values[] = {PROTECT(Rf_mkString(hts_version())),
                     PROTECT(Rf_mkString(TOLVENDRA_HTSLIB_SOURCE)),
                     PROTECT(Rf_ScalarLogical(deflate)), protocols,
                     PROTECT(Rf_ScalarLogical(tolvendra::TrackFile::available()))};
    const char *names[] = {"htslib", "source", "libdeflate", "protocols", "bigwig"};
    SEXP out = tolvendra::named_list(values, names, 5);
    UNPROTECT(5);
    return out;
}

static const R_CallMethodDef call_methods[] = {
    {"bam_open", (DL_FUNC) &bam_open, 3},
    {"bam_close", (DL_FUNC) &bam_close, 1},
    {"bam_targets", (DL_FUNC) &bam_targets, 1},
    {"bam_query", (DL_FUNC) &bam_query, 5},
    {"bam_next", (DL_FUNC) &bam_next, 3},
    {"bam_count_mapped", (DL_FUNC) &bam_count_mapped, 1},
    {"bam_decoded", (DL_FUNC) &bam_decoded, 0},
    {"engine_run", (DL_FUNC) &engine_run, 4},
    {"vector_sums", (DL_FUNC) &vector_sums, 6},
    {"bam_library_info", (DL_FUNC) &bam_library_info, 0},
    {"bgzf_index", (DL_FUNC) &bgzf_index, 4},
    {"file_magic", (DL_FUNC) &file_magic, 1},
    {"track_sequences", (DL_FUNC) &track_sequences, 1},
    {NULL, NULL, 0}
};

void R_init_TolvendraBam(DllInfo *dll)
{
    R_registerRoutines(dll, NULL, call_methods, NULL, NULL);
    R_useDynamicSymbols(dll, FALSE);
    R_forceSymbols(dll, TRUE);
    tolvendra::register_adopted(dll);
    // Faults come back to R as classed errors that name the file; htslib's
    // own lines on stderr would only repeat them.
    hts_set_log_level(HTS_LOG_OFF);
}

} // extern "C"
