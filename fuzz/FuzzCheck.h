// The fuzz targets' verdict: a broken promise prints what was broken and
// aborts, so that libFuzzer keeps the input as a crash.
#ifndef ZU_FUZZ_FUZZCHECK_H
#define ZU_FUZZ_FUZZCHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: %s (%s)\n", __FILE__, __LINE__, what, #condition);        \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

#endif
