// The hex conversions on any bytes and text, each in a heap block of exactly
// its length: bytes shown as text read back to themselves; HexStringToBytes
// and HexToBytes agree on any text, in either case, and write no more than
// the room and the bytes they report; HexCharToNibble takes exactly the
// hexadecimal digits.
#include "FuzzCheck.h"
#include "softenc.h"

#include <cctype>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const Bytes bytes = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange(0, 300));
    std::vector<char> shown(2 * bytes.size() + 1);
    Bytes back(bytes.size());
    int backLen = static_cast<int>(bytes.size());
    FUZZ_CHECK(BytesToHexString(bytes.data(), bytes.size(), shown.data()) == 1 &&
                   HexStringToBytes(shown.data(), back.data(), &backLen) == 1 && back == bytes,
               "bytes shown as text do not read back");

    std::string hex = in.ConsumeRandomLengthString(600);
    for (char& c : hex) {
        c = in.ConsumeBool() ? c : "0123456789abcdefABCDEF"[static_cast<unsigned char>(c) % 22];
    }
    hex = hex.c_str();
    const std::vector<char> text(hex.c_str(), hex.c_str() + hex.size() + 1);
    const int room = in.ConsumeIntegralInRange(-2, 310);
    Bytes out(room > 0 ? room : 0, FILL), out2(hex.size() / 2, FILL);
    int outLen = room;
    const int result = HexStringToBytes(text.data(), out.data(), &outLen);
    const int result2 = HexToBytes(text.data(), hex.size(), out2.data());
    FUZZ_CHECK(result == 0 ||
                   (outLen == static_cast<int>(out2.size()) && result2 == 1 &&
                    std::equal(out2.begin(), out2.end(), out.begin()) && Untouched(out, outLen)),
               "the two readings disagree");
    FUZZ_CHECK(result == 1 ||
                   (outLen == room && (result2 == 0 || static_cast<int>(out2.size()) > room)),
               "a text refused with room for it");
    for (char c : hex) {
        unsigned char nibble = 0xEE;
        const bool digit = std::isxdigit(static_cast<unsigned char>(c));
        FUZZ_CHECK(HexCharToNibble(c, &nibble) == digit && (digit ? nibble < 16 : nibble == 0xEE),
                   "a nibble judged wrongly");
    }
    return 0;
}
