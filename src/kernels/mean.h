// The running mean that the region search uses, without R.
#ifndef TOLVENDRA_KERNELS_MEAN_H
#define TOLVENDRA_KERNELS_MEAN_H

// One step of the incremental mean: the mean of i elements from the mean m
// of the first i - 1 and the i-th element x. Every region search of the
// package takes its means from here, so they agree to the last bit.
static inline double mean_step(double m, double i, int x)
{
    return (m * (i - 1.0)) / i + static_cast<double>(x) / i;
}

#endif
