// The ATR parser of zuic on any bytes, copied into a heap block of exactly
// their length so that a read past the end is caught. Besides not crashing
// it keeps its promises: a well-formed ATR accounts for every byte it was
// given, within 33; a malformed one says why in one line; and the fields
// it shows are those it read, in order.
#include "FuzzCheck.h"
#include "tools/AtrParser.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<unsigned char[]> atr(new unsigned char[size == 0 ? 1 : size]);
    if (size != 0) {
        std::memcpy(atr.get(), data, size);
    }
    const zuic::AtrInfo info = zuic::ParseAtr(size == 0 ? nullptr : atr.get(), size);
    const std::vector<std::string> lines = zuic::ExplainAtr(info);

    FUZZ_CHECK(info.wellFormed == info.error.empty(), "an error exactly when malformed");
    FUZZ_CHECK(info.error.find('\n') == std::string::npos, "the error is one line");
    FUZZ_CHECK(lines.size() == info.fields.size() + (info.wellFormed ? 0 : 1),
               "one line a field, and one for the error");
    FUZZ_CHECK(info.historicalOffset + info.historicalLength <= size,
               "the historical bytes lie inside the ATR");
    if (info.wellFormed) {
        FUZZ_CHECK(size >= 2 && size <= zuic::kMaxAtrLength, "a well-formed ATR has 2 to 33 bytes");
        FUZZ_CHECK(info.historicalLength == (data[1] & 0x0Fu), "T0's K historical bytes");
        FUZZ_CHECK(info.historicalOffset + info.historicalLength + (info.hasTck ? 1 : 0) == size,
                   "TCK, when there is one, is the last byte");
        FUZZ_CHECK(!info.protocols.empty(), "a protocol is always named");
        FUZZ_CHECK(info.fields.front().name == "TS" && info.fields[1].name == "T0",
                   "TS and T0 come first");
        if (info.hasTck) {
            unsigned char sum = 0;
            for (size_t i = 1; i < size; ++i) {
                sum ^= data[i];
            }
            FUZZ_CHECK(info.tckCorrect == (sum == 0), "TCK judged by the XOR of T0 to TCK");
        }
    }
    for (const std::string& line : lines) {
        FUZZ_CHECK(line.find('\n') == std::string::npos && line.compare(0, 2, "  ") == 0,
                   "every line indented, none broken");
    }
    return 0;
}
