#include "StatusWordPattern.h"

#include "common/HexText.h"

namespace zuic {

bool StatusWordPattern::Parse(const std::string& text, StatusWordPattern& pattern,
                              std::string& error) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ':') {
            continue;
        }
        if (c != 'X' && c != 'x' && HexDigitValue(c) < 0) {
            error = "expected status word '" + text + "': '" + std::string(1, c) +
                    "' is neither a hex digit nor X";
            return false;
        }
        digits += c;
    }
    if (digits.size() != 4) {
        error =
            "expected status word '" + text + "' must have 4 digits (hex or X, as in 9000 or 61XX)";
        return false;
    }
    unsigned value = 0;
    unsigned mask = 0;
    for (char c : digits) {
        value <<= 4;
        mask <<= 4;
        if (c != 'X' && c != 'x') {
            value |= static_cast<unsigned>(HexDigitValue(c));
            mask |= 0xF;
        }
    }
    pattern.m_value = static_cast<unsigned short>(value);
    pattern.m_mask = static_cast<unsigned short>(mask);
    return true;
}

std::string StatusWordPattern::ToString() const {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (int shift = 12; shift >= 0; shift -= 4) {
        if (shift == 4) {
            text += ' ';
        }
        text += ((m_mask >> shift) & 0xF) != 0 ? kDigits[(m_value >> shift) & 0xF] : 'X';
    }
    return text;
}

} // namespace zuic
