// The region search, written once: regionmining() runs it over a vector,
// the alignment engine over runs of depth. Plain C++, no R.
#ifndef TOLVENDRA_KERNELS_REGIONS_H
#define TOLVENDRA_KERNELS_REGIONS_H

#include <math.h>
#include <stdint.h>

#include <algorithm>

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
//   int64_t run_left()  how many positions after the current one hold its
//       value (0 where the walk does not know)
//   void skip(int64_t m)  moves m positions on, within run_left()
//   int64_t take_runs(int64_t lo, int64_t hi, int threshold, int64_t most,
//                     int64_t *over)  from the last position of a run, the
//       whole runs after it whose values lie in lo..hi, at most `most`
//       positions: adds each value less the threshold to *over, moves onto
//       their last position and returns how many positions it took (0
//       where the walk has no runs)
// `found(start, end)` takes each region.
// The mean of s..e is only ever compared with the threshold, and the
// running mean differs from the exact one, S / n, by its rounding: each
// step's error is at most 3u (|mean| (n - 1) + |x|) / n (u = 2^-53, the
// mean at most 2X, X the largest |value|), and they add up to at most
// 3u X n. So while S - threshold * n lies further than 8u X n^2 from 0,
// the comparison is known without the running mean, and the running mean
// is carried forward, from where it was left, only when it is needed.
// Along a run of a value that reaches the threshold, every position ends
// the region anew, and the margin S - threshold * n - 8u X n^2 is concave:
// known at the run's first and last steps, it is known between them, so
// the run is taken at once. And since S - threshold * n only grows along
// runs that reach the threshold, the runs after one are taken in a tight
// loop for as long as the margin where it began covers the rounding where
// it would end. Along coverage well above the threshold the search then
// costs what its runs cost, instead of two divisions in a chain a
// position.
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
        Walk behind = at;   // where mean_all was left
        int64_t done = s;
        double mean_all = mean_step(0.0, 1.0, at.value()); // mean of s..done
        // sum over s..e of value - threshold, exact while it fits, and
        // the largest |value|
        int64_t over = static_cast<int64_t>(at.value()) - threshold;
        bool fits = true;
        double widest = fabs(static_cast<double>(at.value()));
        double mean_new = 0.0; // mean of b+1..e
        int64_t n_new = 0;
        // 1 if n positions whose values less the threshold sum to d
        // surely reach it, -1 if they surely fall short, 0 if the running
        // mean's rounding leaves it open
        auto known = [&](int64_t n, int64_t d) {
            const double x = static_cast<double>(n);
            const double rounding = 0x1p-50 * widest * x * x;
            const double margin = static_cast<double>(d);
            return margin >= rounding ? 1 : margin < -rounding ? -1 : 0;
        };
        auto reaches = [&]() {
            if (const int k = fits ? known(e - s + 1, over) : 0)
                return k > 0;
            for (int64_t n = done - s + 1; done < e; ++done)
                mean_all = mean_step(mean_all, static_cast<double>(++n), behind.next());
            return mean_all >= t;
        };
        while (e != last && reaches()) {
            ++e;
            const int x = at.next();
            fits = fits && !__builtin_add_overflow(over, static_cast<int64_t>(x) - threshold, &over);
            widest = std::max(widest, fabs(static_cast<double>(x)));
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
            const int64_t m = std::min(at.run_left(), last - e);
            if (m > 0 && n_new == 0 && x >= threshold && fits) {
                const int64_t step = static_cast<int64_t>(x) - threshold;
                const __int128 at_last = over + static_cast<__int128>(m - 1) * step;
                const __int128 after = at_last + step;
                // step >= 0: at_last lies between over and after
                if (after <= INT64_MAX && known(e - s + 1, over) > 0 &&
                    known(e - s + m, static_cast<int64_t>(at_last)) > 0) {
                    over = static_cast<int64_t>(after);
                    e += m;
                    b = e;
                    at.skip(m);
                }
            }
            if (n_new == 0 && fits && e != last && at.run_left() == 0) {
                // reaches() holds at every length up to `most`, whose
                // rounding the present margin covers
                const double x = static_cast<double>(over);
                int64_t most = last - e;
                if (widest > 0) {
                    const double n = floor(sqrt(fmax(x, 0.0) / (0x1p-50 * widest)));
                    most = static_cast<int64_t>(std::min(n, 0x1p62));
                    while (most > 0 && known(most, over) <= 0)
                        --most;
                    most = std::min(last - e, most - (e - s));
                }
                const int64_t hi = static_cast<int64_t>(widest); // up to 2^31
                // the sum stays within 64 bits
                most = std::min<int64_t>(most, (INT64_MAX - std::max<int64_t>(over, 0)) /
                                                   (hi - threshold + 1));
                if (most > 0 && known(e - s + 1, over) > 0) {
                    e += at.take_runs(std::max<int64_t>(threshold, -hi), hi, threshold,
                                      most, &over);
                    b = e;
                }
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
    int64_t run_left() const { return 0; }
    void skip(int64_t) {}
    int64_t take_runs(int64_t, int64_t, int, int64_t, int64_t *) { return 0; }
};

} // namespace tolvendra

#endif
