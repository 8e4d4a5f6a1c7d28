// The routines' straightforward algorithms, kept as references: the
// benchmarks time them and the fuzz target checks the fast search against
// them. Plain C++, no R.
#ifndef TOLVENDRA_LITERAL_H
#define TOLVENDRA_LITERAL_H

#include <stddef.h>

// One increment per covered coordinate. Reads must lie inside the window.
inline void literal_coverage(int base, int n, const int *starts,
                             const int *ends, int m, int *out)
{
    for (int k = 0; k < n; ++k)
        out[k] = 0;
    for (int i = 0; i < m; ++i)
        for (int j = starts[i] - base; j <= ends[i] - base; ++j)
            out[j] += 1;
}

inline double literal_avg(const int *x, int from, int to)
{
    double m = 0.0;
    for (int i = 1; i <= to - from + 1; ++i)
        m = (m * (i - 1)) / i + static_cast<double>(x[from + i - 1]) / i;
    return m;
}

// The region search with both means taken as literal_avg() takes them:
// recomputed from their first element at every step, or with `stepwise`
// carried forward a position at a time, each step as literal_avg() takes
// it (linear, so it checks the fast search over long profiles too).
// Writes index pairs to out (2 * n ints) and returns their count.
inline size_t literal_regions(const int *cov, int n, int t, int minlen,
                              int *out, bool stepwise = false)
{
    const int last = n - 1;
    size_t k = 0;
    int j = 0;
    while (j <= last) {
        int s = j;
        while (s <= last && cov[s] < t)
            ++s;
        if (s > last)
            break;
        int e = s, b = s;
        double mean_all = cov[s], mean_new = 0.0; // of s..e and b+1..e
        while (mean_all >= static_cast<double>(t) && e != last) {
            ++e;
            if (stepwise) {
                const double i = e - s + 1, m = e - b;
                mean_all = (mean_all * (i - 1)) / i + static_cast<double>(cov[e]) / i;
                mean_new = (mean_new * (m - 1)) / m + static_cast<double>(cov[e]) / m;
            } else {
                mean_all = literal_avg(cov, s, e);
                mean_new = literal_avg(cov, b + 1, e);
            }
            if (mean_new >= static_cast<double>(t)) {
                b = e;
                mean_new = 0.0;
            }
        }
        if (b - s >= minlen) {
            out[k++] = s;
            out[k++] = b;
        }
        j = b + 1;
    }
    return k;
}

#endif
