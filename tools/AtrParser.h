// The answer to reset (ATR) of ISO/IEC 7816-3 taken apart: TS, T0, every
// interface byte with what it means, the historical bytes and TCK. Stands on
// the standard library alone, so that the fuzz target builds it as it is.
#ifndef ZUIC_ATRPARSER_H
#define ZUIC_ATRPARSER_H

#include <cstddef>
#include <string>
#include <vector>

namespace zuic {

// ISO/IEC 7816-3 bounds an ATR at 33 bytes, TS included.
const size_t kMaxAtrLength = 33;

struct AtrField {
    std::string name;    // "TS", "T0", "TA1", "historical bytes", "TCK"
    std::string hex;     // the field's bytes
    std::string meaning; // one line
};

struct AtrInfo {
    // The bytes make an ATR, from TS to the last historical byte or TCK,
    // with nothing missing and nothing left over. When false, error says in
    // one line where they stop making sense and fields hold what came before.
    bool wellFormed = false;
    std::string error;
    std::vector<AtrField> fields;

    bool inverse = false;        // TS 3F
    std::vector<int> protocols;  // offered by TD1, TD2, ... (T=0 when there is no TD1)
    int fi = 372, di = 1;        // from TA1, or the defaults
    double fmaxMHz = 5.0;        // from TA1, or the default
    int extraGuardTime = 0;      // N of TC1
    int ifsc = 32;               // from the first TA for T=1, or the default
    int bwi = 4, cwi = 13;       // from the first TB for T=1, or the defaults
    size_t historicalOffset = 0; // where the historical bytes start
    size_t historicalLength = 0; // K of T0 (those present when the ATR is cut short)
    bool hasTck = false;
    bool tckCorrect = false; // T0 to TCK XOR to 00
    unsigned char tckExpected = 0;
};

// Takes atr[0..length) apart. Never reads outside it.
AtrInfo ParseAtr(const unsigned char* atr, size_t length);

// The explanation as zuic prints it: one line a field ("  TA1  11  ..."),
// then, when the ATR is malformed, one line "  error: ...".
std::vector<std::string> ExplainAtr(const AtrInfo& info);

} // namespace zuic

#endif
