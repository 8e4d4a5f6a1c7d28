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

// total[i] += factor * cov[i], then cov[i] = 0: a sample's coverage moves
// into a profile across samples, and its buffer is ready for the next.
void profile_add(double *total, int *cov, int64_t n, double factor);

// profile[offset + i] = floor(total[i]), then total[i] = 0. Returns false,
// leaving the rest as it is, at the first value R's integers cannot hold.
bool profile_store(int *profile, int64_t n, int64_t offset, double *total,
                   int64_t m);

// How many values are above 0.
int64_t count_positive(const int *x, int64_t n);

} // namespace tolvendra

#endif
