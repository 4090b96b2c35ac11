// Hex strings for readable expectations in tests.
#ifndef ZU_TEST_HEX_H
#define ZU_TEST_HEX_H

#include "common/Bytes.h"

#include <string>

// "00 A4 04 00" or "00A40400" -> bytes; spaces and colons are skipped.
Bytes FromHex(const std::string& hex);
// bytes -> "00 A4 04 00".
std::string ToHex(const unsigned char* data, size_t length);
inline std::string ToHex(const Bytes& bytes) {
    return ToHex(bytes.data(), bytes.size());
}

#endif
