#include "common/StatusWords.h"

#include <cstdio>

namespace {

// One row of the table: the status words from first to last. In the text,
// "%u" stands for the status word's distance from first, in decimal (the X
// of 63 CX, the XX of 61 XX). Rows are searched in order: single codes
// first, then ranges, then whole SW1 groups.
struct Meaning {
    unsigned short first;
    unsigned short last;
    const char* text;
};

const Meaning kMeanings[] = {
    {0x9000, 0x9000, "success"},
    // Warnings, non-volatile memory unchanged.
    {0x6200, 0x6200, "warning: no information given (memory unchanged)"},
    {0x6281, 0x6281, "warning: part of the returned data may be corrupted"},
    {0x6282, 0x6282, "warning: end of file or record reached before reading Le bytes"},
    {0x6283, 0x6283, "warning: selected file deactivated"},
    {0x6284, 0x6284, "warning: file control information not formatted"},
    {0x6285, 0x6285, "warning: selected file in termination state"},
    {0x6286, 0x6286, "warning: no input data available from a sensor"},
    // Warnings, non-volatile memory changed.
    {0x6300, 0x6300, "warning: no information given (memory changed)"},
    {0x6381, 0x6381, "warning: file filled up by the last write"},
    {0x63C0, 0x63CF, "counter %u: verification failed, %u tries left"},
    // Execution errors.
    {0x6400, 0x6400, "execution error (memory unchanged)"},
    {0x6401, 0x6401, "execution error: immediate response required by the card"},
    {0x6500, 0x6500, "execution error (memory changed)"},
    {0x6581, 0x6581, "memory failure"},
    {0x6600, 0x6600, "security-related issue"},
    // Checking errors.
    {0x6700, 0x6700, "wrong length"},
    {0x6800, 0x6800, "functions in CLA not supported"},
    {0x6881, 0x6881, "logical channel not supported"},
    {0x6882, 0x6882, "secure messaging not supported"},
    {0x6883, 0x6883, "last command of the chain expected"},
    {0x6884, 0x6884, "command chaining not supported"},
    {0x6900, 0x6900, "command not allowed"},
    {0x6981, 0x6981, "command incompatible with file structure"},
    {0x6982, 0x6982, "security status not satisfied"},
    {0x6983, 0x6983, "authentication method blocked"},
    {0x6984, 0x6984, "reference data not usable"},
    {0x6985, 0x6985, "conditions of use not satisfied"},
    {0x6986, 0x6986, "command not allowed (no current EF)"},
    {0x6987, 0x6987, "expected secure messaging data objects missing"},
    {0x6988, 0x6988, "incorrect secure messaging data objects"},
    {0x6A00, 0x6A00, "wrong parameters P1-P2"},
    {0x6A80, 0x6A80, "incorrect parameters in the command data field"},
    {0x6A81, 0x6A81, "function not supported"},
    {0x6A82, 0x6A82, "file not found"},
    {0x6A83, 0x6A83, "record not found"},
    {0x6A84, 0x6A84, "not enough memory space in the file"},
    {0x6A85, 0x6A85, "Lc inconsistent with TLV structure"},
    {0x6A86, 0x6A86, "incorrect parameters P1-P2"},
    {0x6A87, 0x6A87, "Lc inconsistent with parameters P1-P2"},
    {0x6A88, 0x6A88, "referenced data or reference data not found"},
    {0x6A89, 0x6A89, "file already exists"},
    {0x6A8A, 0x6A8A, "DF name already exists"},
    {0x6B00, 0x6B00, "wrong parameters P1-P2 (offset outside the file)"},
    {0x6D00, 0x6D00, "instruction code not supported or invalid"},
    {0x6E00, 0x6E00, "class not supported"},
    {0x6F00, 0x6F00, "no precise diagnosis"},
    // Ranges. SW2 00 in 61 XX and 6C XX counts 256 bytes.
    {0x6100, 0x6100, "256 more bytes available (GET RESPONSE)"},
    {0x6C00, 0x6C00, "wrong Le field: 256 data bytes available"},
    {0x6100, 0x61FF, "%u more bytes available (GET RESPONSE)"},
    {0x6C00, 0x6CFF, "wrong Le field: %u data bytes available"},
    {0x6202, 0x6280, "warning: triggering by the card"},
    {0x6402, 0x6480, "execution error: triggering by the card"},
    // Whole groups.
    {0x6200, 0x62FF, "warning (memory unchanged)"},
    {0x6300, 0x63FF, "warning (memory changed)"},
    {0x6400, 0x64FF, "execution error (memory unchanged)"},
    {0x6500, 0x65FF, "execution error (memory changed)"},
    {0x6600, 0x66FF, "security-related issue"},
    {0x6700, 0x67FF, "wrong length"},
    {0x6800, 0x68FF, "functions in CLA not supported"},
    {0x6900, 0x69FF, "command not allowed"},
    {0x6A00, 0x6AFF, "wrong parameters P1-P2"},
    {0x6B00, 0x6BFF, "wrong parameters P1-P2"},
    {0x6D00, 0x6DFF, "instruction code not supported or invalid"},
    {0x6E00, 0x6EFF, "class not supported"},
    {0x6F00, 0x6FFF, "no precise diagnosis"},
    {0x9000, 0x9FFF, "proprietary status"},
};

std::string Fill(const char* text, unsigned value) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 'u') {
            out += std::to_string(value);
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

} // namespace

std::string DescribeStatusWord(unsigned short sw) {
    if (sw == 0x0000) {
        return "no answer";
    }
    for (const Meaning& m : kMeanings) {
        if (sw >= m.first && sw <= m.last) {
            return Fill(m.text, static_cast<unsigned>(sw - m.first));
        }
    }
    return "unknown status word";
}

std::string FormatStatusWord(unsigned short sw) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%02X %02X", (sw >> 8) & 0xFF, sw & 0xFF);
    return buffer;
}
