// ParseIPAddress on any text (mostly digits and dots) in a heap block of
// exactly its length: an address it takes prints back as the text, up to
// leading zeros, and one it refuses is left unwritten.
#include "FuzzCheck.h"
#include "softenc.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::string text = in.ConsumeRandomLengthString(32);
    for (char& c : text) {
        c = in.ConsumeBool() ? c : "0123456789.."[static_cast<unsigned char>(c) % 12];
    }
    text = text.c_str();
    std::vector<char> buffer(text.c_str(), text.c_str() + text.size() + 1);
    Bytes a(4, FILL);
    if (ParseIPAddress(buffer.data(), a.data()) == 0) {
        FUZZ_CHECK(Untouched(a), "a refused address was written");
        return 0;
    }
    const std::string shown = std::to_string(a[0]) + '.' + std::to_string(a[1]) + '.' +
                              std::to_string(a[2]) + '.' + std::to_string(a[3]);
    for (size_t at = 0; at + 1 < text.size();) { // leading zeros dropped
        const bool zero =
            (at == 0 || text[at - 1] == '.') && text[at] == '0' && text[at + 1] != '.';
        zero ? (void)text.erase(at, 1) : (void)++at;
    }
    FUZZ_CHECK(text == shown, "the address is not the text's");
    return 0;
}
