// Helpers shared by the fuzz targets.
#ifndef KYR_FUZZ_UTIL_H
#define KYR_FUZZ_UTIL_H

#include <cstdio>
#include <cstdlib>

// A broken property of the code under test: reported and turned into a
// crash, so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                               \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                   \
        }                                                                              \
    } while (0)

#endif  // KYR_FUZZ_UTIL_H
