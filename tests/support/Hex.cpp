#include "support/Hex.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>

Bytes FromHex(const std::string& hex) {
    Bytes out;
    int nibbles = 0;
    unsigned value = 0;
    for (char c : hex) {
        if (c == ' ' || c == ':') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            throw std::invalid_argument("bad hex: " + hex);
        }
        value = value * 16 + static_cast<unsigned>(std::stoi(std::string(1, c), nullptr, 16));
        if (++nibbles == 2) {
            out.push_back(static_cast<unsigned char>(value));
            nibbles = 0;
            value = 0;
        }
    }
    if (nibbles != 0) {
        throw std::invalid_argument("odd hex: " + hex);
    }
    return out;
}

std::string ToHex(const unsigned char* data, size_t length) {
    std::string out;
    char byte[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", data[i]);
        out += byte;
    }
    return out;
}
