// The BCD date and time checks and texts on any 7 bytes (mostly decimal
// digits), each in a heap block of exactly its size. A valid date has
// digits, a month 1 to 12 and a day 1 to 31, and the day before it is valid
// too; 29 February is valid or not as it is 400 years later. A valid time
// is at most 23:59:59. The texts read back as hex to the bytes they show.
#include "FuzzCheck.h"
#include "softenc.h"

static int Valid(unsigned year, unsigned char mm, unsigned char dd) {
    const Bytes date{static_cast<unsigned char>(year / 1000 << 4 | year / 100 % 10),
                     static_cast<unsigned char>(year / 10 % 10 << 4 | year % 10), mm, dd};
    return IsValidBCDDate(date.data());
}

static void CheckText(const Bytes& bytes, void (*convert)(const unsigned char*, char*)) {
    std::vector<char> text(2 * bytes.size() + 1);
    convert(bytes.data(), text.data());
    Bytes back(bytes.size());
    int length = static_cast<int>(back.size());
    FUZZ_CHECK(HexStringToBytes(text.data(), back.data(), &length) == 1 && back == bytes,
               "the text does not show the bytes");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes b(7);
    for (size_t i = 0; i < size && i < 7; ++i) {
        b[i] = size > 7 && data[7] & 1 ? data[i] : (data[i] >> 4) % 10 << 4 | (data[i] & 15) % 10;
    }
    const auto dec = [](unsigned char x) { return 10 * (x >> 4) + (x & 15); };
    const bool digits = std::all_of(b.begin(), b.begin() + 4,
                                    [](unsigned char x) { return x % 16 <= 9 && x <= 0x99; });
    const Bytes date(b.begin(), b.begin() + 4), time(b.begin() + 4, b.end());
    if (IsValidBCDDate(date.data())) {
        FUZZ_CHECK(digits && dec(b[2]) >= 1 && dec(b[2]) <= 12 && dec(b[3]) >= 1 && dec(b[3]) <= 31,
                   "a valid date with no such digits, month or day");
        FUZZ_CHECK(b[3] == 1 ||
                       Valid(100 * dec(b[0]) + dec(b[1]), b[2], b[3] - (b[3] & 15 ? 1 : 7)),
                   "the day before a valid day is not valid");
    }
    const unsigned year = 100 * dec(b[0]) + dec(b[1]);
    FUZZ_CHECK(!digits || Valid(year, 0x02, 0x29) == Valid((year + 400) % 10000, 0x02, 0x29),
               "29 February is not as it is 400 years later");
    FUZZ_CHECK(!IsValidBCDTime(time.data()) ||
                   (dec(b[4]) <= 23 && dec(b[5]) <= 59 && dec(b[6]) <= 59),
               "a valid time past 23:59:59");
    CheckText(date, BCDDateToString);
    CheckText(b, BCDDateTimeToString);
    return 0;
}
