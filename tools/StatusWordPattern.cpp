#include "StatusWordPattern.h"

#include "common/HexText.h"
#include "common/StatusWords.h"

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
    // "6A 82" with X for each digit left open.
    std::string text = FormatStatusWord(m_value);
    const size_t digitAt[4] = {0, 1, 3, 4};
    for (int digit = 0; digit < 4; ++digit) {
        if (((m_mask >> (12 - 4 * digit)) & 0xF) == 0) {
            text[digitAt[digit]] = 'X';
        }
    }
    return text;
}

} // namespace zuic
