// A caller's buffer for the fuzz targets: the bytes asked for, between two
// runs of canary bytes, in one heap block of exactly that size, so that a
// write just outside what was asked changes a canary and one further out
// meets AddressSanitizer's red zone. The asked-for bytes start out as a
// known fill, so that a target can also tell which of them were written.
#ifndef ZU_FUZZ_CANARYBUFFER_H
#define ZU_FUZZ_CANARYBUFFER_H

#include "common/Bytes.h"
#include "FuzzCheck.h"

#include <cstddef>
#include <cstring>
#include <vector>

class CCanaryBuffer {
  public:
    enum : unsigned char { CANARY = 0xC5, FILL = 0x5A };
    static const size_t GUARD = 16;

    explicit CCanaryBuffer(size_t size)
        : m_block(size + 2 * GUARD, static_cast<unsigned char>(CANARY)), m_size(size) {
        std::memset(m_block.data() + GUARD, FILL, size);
    }

    unsigned char* Data() { return m_block.data() + GUARD; }
    const unsigned char* Data() const { return m_block.data() + GUARD; }
    size_t Size() const { return m_size; }

    // Aborts when anything before or behind the asked-for bytes changed.
    void CheckCanaries() const {
        for (size_t i = 0; i < GUARD; ++i) {
            FUZZ_CHECK(m_block[i] == CANARY, "written before the caller's buffer");
            FUZZ_CHECK(m_block[GUARD + m_size + i] == CANARY, "written past the caller's buffer");
        }
    }
    // True when bytes [from, to) still hold the fill. Compared a run at a
    // time: the buffers reach tens of kilobytes.
    bool Untouched(size_t from, size_t to) const {
        static const Bytes fill(4096, static_cast<unsigned char>(FILL));
        if (to > m_size) {
            to = m_size;
        }
        while (from < to) {
            const size_t run = to - from < fill.size() ? to - from : fill.size();
            if (std::memcmp(Data() + from, fill.data(), run) != 0) {
                return false;
            }
            from += run;
        }
        return true;
    }

  private:
    Bytes m_block;
    size_t m_size;
};

#endif
