// The fuzz targets' verdict and their caller's buffers. A broken promise
// prints what was broken and aborts, so that libFuzzer keeps the input.
#ifndef ZU_FUZZ_FUZZCHECK_H
#define ZU_FUZZ_FUZZCHECK_H

#include "common/Bytes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: %s (%s)\n", __FILE__, __LINE__, what, #condition);        \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// The bytes asked for, between two runs of canary bytes in one heap block of
// exactly that size: a write just outside changes a canary, one further out
// meets AddressSanitizer. The bytes start as a known fill (or as given).
class CCanaryBuffer {
  public:
    static const size_t GUARD = 16;
    explicit CCanaryBuffer(size_t size, const unsigned char* from = nullptr)
        : m_block(size + 2 * GUARD, 0xC5), m_size(size) {
        std::memset(Data(), 0x5A, size);
        if (from != nullptr && size != 0) {
            std::memcpy(Data(), from, size);
        }
    }
    unsigned char* Data() { return m_block.data() + GUARD; }
    size_t Size() const { return m_size; }
    Bytes Held() const { return Bytes(m_block.begin() + GUARD, m_block.end() - GUARD); }
    // Aborts when anything before or behind the asked-for bytes changed.
    void CheckCanaries() const {
        for (size_t i = 0; i < GUARD; ++i) {
            FUZZ_CHECK(m_block[i] == 0xC5 && m_block[GUARD + m_size + i] == 0xC5,
                       "written outside the caller's buffer");
        }
    }
    // True when bytes [from, size) still hold the fill.
    bool Untouched(size_t from = 0) const {
        for (size_t i = GUARD + from; i < GUARD + m_size; ++i) {
            if (m_block[i] != 0x5A) {
                return false;
            }
        }
        return true;
    }

  private:
    Bytes m_block;
    size_t m_size;
};

#endif
