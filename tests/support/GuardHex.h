// Hex builders for the guard-page tests: counting byte runs, repeated bytes
// and the guarded buffer's unwritten fill, joined into one hex string.
#ifndef ZU_TEST_GUARDHEX_H
#define ZU_TEST_GUARDHEX_H

#include "support/GuardedBuffer.h"
#include "support/Hex.h"

#include <initializer_list>
#include <string>

// n bytes seed, seed + 1, ... (mod 256), as hex.
inline std::string Seq(size_t n, unsigned seed) {
    Bytes bytes;
    for (size_t i = 0; i < n; ++i) {
        bytes.push_back(static_cast<unsigned char>(seed + i));
    }
    return ToHex(bytes);
}

// n bytes of the guarded buffer's fill: not written.
inline std::string Unwritten(size_t n) {
    return ToHex(Bytes(n, CGuardedBuffer::FILL));
}

// The non-empty parts, separated by single spaces.
inline std::string Cat(std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& part : parts) {
        if (!part.empty()) {
            out += (out.empty() ? "" : " ") + part;
        }
    }
    return out;
}

#endif
