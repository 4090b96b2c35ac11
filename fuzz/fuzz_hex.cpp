// HexStringToBytes and HexToBytes on any text, BytesToHexString on any
// bytes, and HexCharToNibble on every character, against a plain decoder:
// the texts lie in heap blocks of exactly their length (with the terminator
// where there is one), the outputs between canaries, so that a read past
// the text or a write past the room offered is caught.
#include "CanaryBuffer.h"
#include "common/Bytes.h"
#include "FuzzCheck.h"
#include "softenc.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

int NibbleOf(char c) {
    const char* digits = "0123456789abcdef";
    const char* upper = "0123456789ABCDEF";
    for (int i = 0; i < 16; ++i) {
        if (c == digits[i] || c == upper[i]) {
            return i;
        }
    }
    return -1;
}

// Decodes pairs until the first character that is not hexadecimal; the
// count of whole bytes decoded, and whether every pair was valid.
bool Decode(const std::string& text, Bytes& bytes) {
    bytes.clear();
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const int high = NibbleOf(text[i]);
        const int low = NibbleOf(text[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes.push_back(static_cast<unsigned char>(high << 4 | low));
    }
    return true;
}

void CheckWritten(const CCanaryBuffer& out, const Bytes& bytes) {
    out.CheckCanaries();
    FUZZ_CHECK(bytes.size() <= out.Size(), "decoded past the room");
    FUZZ_CHECK(bytes.empty() || std::memcmp(out.Data(), bytes.data(), bytes.size()) == 0,
               "the decoded bytes are wrong");
    FUZZ_CHECK(out.Untouched(bytes.size(), out.Size()), "written past the decoded bytes");
}

void StringToBytes(FuzzedDataProvider& in) {
    const int room = in.ConsumeIntegralInRange<int>(-4, 300);
    std::string text = in.ConsumeRandomLengthString(700);
    text = text.c_str(); // up to the terminator
    std::unique_ptr<char[]> hex(new char[text.size() + 1]);
    std::memcpy(hex.get(), text.c_str(), text.size() + 1);
    CCanaryBuffer out(room > 0 ? static_cast<size_t>(room) : 0);
    int outLen = room;
    const int result = HexStringToBytes(hex.get(), out.Data(), &outLen);

    Bytes bytes;
    const bool fits = text.size() % 2 == 0 && static_cast<long>(text.size() / 2) <= room;
    const bool valid = fits && Decode(text, bytes);
    FUZZ_CHECK(result == (valid ? 1 : 0), "HexStringToBytes judged the text wrongly");
    FUZZ_CHECK(outLen == (valid ? static_cast<int>(text.size() / 2) : room),
               "the byte count is wrong");
    if (!fits) {
        bytes.clear(); // refused before anything is written
    }
    CheckWritten(out, bytes);
    FUZZ_CHECK(HexStringToBytes(nullptr, out.Data(), &outLen) == 0, "a null text decoded");
}

void CharsToBytes(FuzzedDataProvider& in) {
    const std::string text = in.ConsumeRandomLengthString(700); // NULs and all
    std::unique_ptr<char[]> hex(new char[text.size()]);
    std::memcpy(hex.get(), text.data(), text.size());
    const unsigned int length = static_cast<unsigned int>(text.size());
    CCanaryBuffer out(length / 2);
    const int result = HexToBytes(hex.get(), length, out.Data());
    Bytes bytes;
    const bool valid = length % 2 == 0 && Decode(text, bytes);
    FUZZ_CHECK(result == (valid ? 1 : 0), "HexToBytes judged the text wrongly");
    if (length % 2 != 0) {
        bytes.clear();
    }
    CheckWritten(out, bytes);
    FUZZ_CHECK(HexToBytes(nullptr, 0, out.Data()) == 0, "a null text decoded");
}

void BytesToText(FuzzedDataProvider& in) {
    const Bytes bytes = in.ConsumeBytes<unsigned char>(300);
    std::unique_ptr<unsigned char[]> input(new unsigned char[bytes.size()]);
    if (!bytes.empty()) {
        std::memcpy(input.get(), bytes.data(), bytes.size());
    }
    CCanaryBuffer text(2 * bytes.size() + 1);
    char* out = reinterpret_cast<char*>(text.Data());
    const unsigned int length = static_cast<unsigned int>(bytes.size());
    FUZZ_CHECK(BytesToHexString(input.get(), length, out) == 1, "BytesToHexString refused");
    text.CheckCanaries();
    FUZZ_CHECK(std::strlen(out) == 2 * bytes.size(), "the text has the wrong length");
    for (size_t i = 0; i < 2 * bytes.size(); ++i) {
        FUZZ_CHECK((out[i] >= '0' && out[i] <= '9') || (out[i] >= 'A' && out[i] <= 'F'),
                   "not an upper-case hexadecimal digit");
    }
    // And back.
    CCanaryBuffer back(bytes.size());
    int backLen = static_cast<int>(bytes.size());
    FUZZ_CHECK(HexStringToBytes(out, back.Data(), &backLen) == 1, "the text does not decode");
    CheckWritten(back, bytes);
    FUZZ_CHECK(BytesToHexString(input.get(), length, nullptr) == 0, "a null output accepted");
}

void Nibbles(FuzzedDataProvider& in) {
    for (char c : in.ConsumeBytes<char>(64)) {
        unsigned char nibble = 0xEE;
        const int result = HexCharToNibble(c, &nibble);
        const int expected = NibbleOf(c);
        FUZZ_CHECK(result == (expected >= 0 ? 1 : 0), "HexCharToNibble judged wrongly");
        FUZZ_CHECK(nibble == (expected >= 0 ? expected : 0xEE), "the nibble is wrong");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        StringToBytes(in);
        break;
    case 1:
        CharsToBytes(in);
        break;
    case 2:
        BytesToText(in);
        break;
    default:
        Nibbles(in);
        break;
    }
    return 0;
}
