// Native routines of Tolvendra, as registered with R.
//
// The routines trust their callers: argument checking is done by the R
// wrappers. They never read or write outside the vectors they are given,
// whatever those hold.
#ifndef TOLVENDRA_H
#define TOLVENDRA_H

#include <stddef.h>

#include <R.h>
#include <Rinternals.h>

extern "C" {

SEXP gcoverage(SEXP pos, SEXP starts, SEXP ends);
SEXP ghistogram(SEXP pos, SEXP counts, SEXP width);
SEXP regionmining(SEXP pos, SEXP cov, SEXP threshold, SEXP minlen);
SEXP splicingind(SEXP num, SEXP den, SEXP scale);

// Incremental mean of x[from..to] (both included); 0 when from > to.
double avg(const int *x, int from, int to);

}

#include "kernels/mean.h"

// Region search on a bare profile, usable without R. Writes the first and
// last index of every region found to out, which must hold 2 * n ints, and
// returns the number of ints written.
size_t regionmining_scan(const int *cov, int n, int threshold, int minlen,
                         int *out);

#endif
