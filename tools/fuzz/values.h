// Profile values from fuzzer bytes, shared by the fuzz targets: small
// values cluster around the thresholds so that means tie with them; the
// top bytes stand for extremes.
#ifndef TOLVENDRA_FUZZ_VALUES_H
#define TOLVENDRA_FUZZ_VALUES_H

#include <limits.h>
#include <stdint.h>

static int decode(uint8_t b)
{
    switch (b) {
    case 0xff: return INT_MAX;
    case 0xfe: return INT_MIN;
    case 0xfd: return INT_MAX - 1;
    case 0xfc: return -1000000;
    default: return b % 13 - 2;
    }
}

#endif
