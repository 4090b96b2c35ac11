// zuic's ATR parser on any bytes in a heap block of exactly their length: a
// well-formed ATR accounts for every byte, within 33, and a malformed one
// says why; every line shown is one indented field or the error.
#include "FuzzCheck.h"
#include "tools/AtrParser.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Bytes atr(data, data + size);
    const zuic::AtrInfo info = zuic::ParseAtr(size == 0 ? nullptr : atr.data(), size);
    const std::vector<std::string> lines = zuic::ExplainAtr(info);
    FUZZ_CHECK(info.wellFormed == info.error.empty(), "an error exactly when malformed");
    FUZZ_CHECK(lines.size() == info.fields.size() + !info.wellFormed, "not a line a field");
    FUZZ_CHECK(info.historicalOffset + info.historicalLength <= size, "history beyond the ATR");
    FUZZ_CHECK(!info.wellFormed ||
                   (size >= 2 && size <= zuic::kMaxAtrLength &&
                    info.historicalLength == (data[1] & 0x0Fu) &&
                    info.historicalOffset + info.historicalLength + info.hasTck == size),
               "a well-formed ATR does not account for its bytes");
    for (const std::string& line : lines) {
        FUZZ_CHECK(line.find('\n') == std::string::npos && line.compare(0, 2, "  ") == 0,
                   "a line not indented, or broken");
    }
    return 0;
}
