#include "common/HexText.h"

#include <cstdio>

namespace {

bool IsSeparator(char c) {
    return c == ' ' || c == '\t' || c == ':';
}

} // namespace

std::string PrintableCharacter(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) {
        return std::string(1, c);
    }
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\x%02X", u);
    return buffer;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool ParseHex(const std::string& text, Bytes& bytes, std::string& error) {
    bytes.clear();
    size_t i = 0;
    while (i < text.size()) {
        if (IsSeparator(text[i])) {
            ++i;
            continue;
        }
        size_t start = i;
        while (i < text.size() && !IsSeparator(text[i])) {
            if (HexDigitValue(text[i]) < 0) {
                error = "'" + PrintableCharacter(text[i]) + "' is not a hex digit";
                bytes.clear();
                return false;
            }
            ++i;
        }
        if ((i - start) % 2 != 0) {
            error = "'" + text.substr(start, i - start) + "' has an odd number of hex digits";
            bytes.clear();
            return false;
        }
        for (size_t j = start; j < i; j += 2) {
            bytes.push_back(static_cast<unsigned char>(HexDigitValue(text[j]) * 16 +
                                                       HexDigitValue(text[j + 1])));
        }
    }
    if (bytes.empty()) {
        error = "no hex digits";
        return false;
    }
    return true;
}

std::string FormatHex(const unsigned char* data, size_t length) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        if (i != 0) {
            text += ' ';
        }
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    return text;
}
