// The fuzz targets' verdict: a broken promise prints what was broken and
// aborts, so that libFuzzer keeps the input. Caller's buffers are vectors
// of exactly the size asked for, so that AddressSanitizer catches any byte
// read or written past them; outputs start as a known fill.
#ifndef ZU_FUZZ_FUZZCHECK_H
#define ZU_FUZZ_FUZZCHECK_H

#include "common/Bytes.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: %s (%s)\n", __FILE__, __LINE__, what, #condition);        \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

const unsigned char FILL = 0x5A;
// Whether bytes [from, end) of an output still hold the fill.
inline bool Untouched(const Bytes& out, size_t from = 0) {
    return from >= out.size() ||
           std::all_of(out.begin() + from, out.end(), [](unsigned char b) { return b == FILL; });
}

#endif
