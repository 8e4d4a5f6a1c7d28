// The region search, written once: regionmining() runs it over a vector,
// the alignment engine over runs of depth. Plain C++, no R.
#ifndef TOLVENDRA_KERNELS_REGIONS_H
#define TOLVENDRA_KERNELS_REGIONS_H

#include <stdint.h>

#include "mean.h"

namespace tolvendra {

// A region starts at the first position that reaches the threshold and
// grows while the mean from its start stays at or above it; its end moves
// forward whenever the positions added since the previous end reach the
// threshold on their own. The search resumes just past the region's end,
// and regions shorter than minlen + 1 positions are left out.
//
// Both means are carried forward one position at a time with the same
// operations avg() performs, so they equal avg() over the same stretch bit
// for bit, whatever holds the profile, and growing a region costs time
// linear in its length.
//
// `at` walks the profile over positions first..last:
//   int64_t seek(int64_t j, int threshold)  the first position from j whose
//       value reaches the threshold (past `last` if none), the walk put there
//   int next()  the value of the position after the current one, the walk
//       moved onto it
//   int value() the value of the current position
// `found(start, end)` takes each region.
template <class Walk, class Found>
void region_search(Walk at, int64_t first, int64_t last, int threshold,
                   int minlen, Found found)
{
    const double t = static_cast<double>(threshold);
    int64_t j = first;
    while (j <= last) {
        const int64_t s = at.seek(j, threshold);
        if (s > last)
            break;
        int64_t e = s, b = s;
        double mean_all = mean_step(0.0, 1.0, at.value()); // mean of s..e
        int64_t n_all = 1;
        double mean_new = 0.0; // mean of b+1..e
        int64_t n_new = 0;
        while (mean_all >= t && e != last) {
            ++e;
            const int x = at.next();
            mean_all = mean_step(mean_all, static_cast<double>(++n_all), x);
            // mean_step(0.0, 1.0, x) is x exactly: after a reset the mean
            // of one position needs no division, which over positions that
            // each reach the threshold halves the divisions, the cost here
            mean_new = n_new == 0 ? static_cast<double>(x)
                                  : mean_step(mean_new, static_cast<double>(n_new + 1), x);
            ++n_new;
            if (mean_new >= t) {
                b = e;
                mean_new = 0.0;
                n_new = 0;
            }
        }
        if (b - s >= minlen)
            found(s, b);
        j = b + 1;
    }
}

// A vector walked position by position, positions being its indices.
struct VectorWalk {
    const int *x;
    int64_t n, i = 0;
    int64_t seek(int64_t j, int threshold)
    {
        i = j;
        while (i < n && x[i] < threshold)
            ++i;
        return i;
    }
    int next() { return x[++i]; }
    int value() const { return x[i]; }
};

} // namespace tolvendra

#endif
