// ParseIPAddress on any text against a plain reading of a dotted IPv4
// address (exactly four fields of one to three decimal digits, each at most
// 255): the text lies in a heap block of exactly its length and terminator,
// the 4-byte address between canaries, and it is written only on success.
#include "CanaryBuffer.h"
#include "FuzzCheck.h"
#include "softenc.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

bool Expected(const std::string& text, unsigned char address[4]) {
    int fields = 0;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('.', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string field = text.substr(start, end - start);
        if (field.empty() || field.size() > 3 || fields == 4) {
            return false;
        }
        int value = 0;
        for (char c : field) {
            if (c < '0' || c > '9') {
                return false;
            }
            value = value * 10 + (c - '0');
        }
        if (value > 255) {
            return false;
        }
        address[fields++] = static_cast<unsigned char>(value);
        if (end == text.size()) {
            break;
        }
        start = end + 1;
    }
    return fields == 4;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::string text = in.ConsumeRandomLengthString(64);
    if (in.ConsumeBool()) {
        // Mostly digits and dots, so that near-misses are common.
        for (char& c : text) {
            c = "0123456789.."[static_cast<unsigned char>(c) % 12];
        }
    }
    text = text.c_str();
    std::unique_ptr<char[]> buffer(new char[text.size() + 1]);
    std::memcpy(buffer.get(), text.c_str(), text.size() + 1);

    CCanaryBuffer address(4);
    const int result = ParseIPAddress(buffer.get(), address.Data());
    unsigned char expected[4];
    const bool valid = Expected(text, expected);
    address.CheckCanaries();
    FUZZ_CHECK(result == (valid ? 1 : 0), "ParseIPAddress judged the text wrongly");
    if (valid) {
        FUZZ_CHECK(std::memcmp(address.Data(), expected, 4) == 0, "the address is wrong");
    } else {
        FUZZ_CHECK(address.Untouched(0, 4), "a refused address was written");
    }
    FUZZ_CHECK(ParseIPAddress(nullptr, address.Data()) == 0, "a null text parsed");
    return 0;
}
