#include "support/Hex.h"

#include "common/HexText.h"

#include <stdexcept>

Bytes FromHex(const std::string& hex) {
    if (hex.find_first_not_of(" :") == std::string::npos) {
        return Bytes();
    }
    Bytes out;
    std::string error;
    if (!ParseHex(hex, out, error)) {
        throw std::invalid_argument("bad hex '" + hex + "': " + error);
    }
    return out;
}

std::string ToHex(const unsigned char* data, size_t length) {
    return FormatHex(data, length);
}
