// Sums over spans of a coverage vector, without R.
#ifndef TOLVENDRA_SPANS_H
#define TOLVENDRA_SPANS_H

#include <stdint.h>

namespace tolvendra {

// out[i]: the sum of cov over coordinates starts[i]..ends[i], where cov[0]
// is coordinate `first` and cov holds n values; the part of a span outside
// cov adds nothing.
void span_sums(const int *cov, int64_t n, int64_t first, const int *starts,
               const int *ends, int64_t m, double *out);

// total[offset + i] += part[i] for every i that lands inside total.
void coverage_add(int *total, int64_t n, int64_t offset, const int *part,
                  int64_t m);

} // namespace tolvendra

#endif
