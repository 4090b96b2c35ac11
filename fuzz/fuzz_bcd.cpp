// The BCD date and time checks against a plain calendar, and the BCD text
// conversions, on any bytes: inputs in heap blocks of exactly 4, 7 or 3
// bytes, text outputs between canaries in exactly the room documented
// (9 characters for a date, 15 for a date and time).
#include "CanaryBuffer.h"
#include "common/Bytes.h"
#include "FuzzCheck.h"
#include "softenc.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

// The two decimal digits of a BCD byte, or -1 when either nibble is not one.
int Decimal(unsigned char b) {
    return (b >> 4) <= 9 && (b & 0x0F) <= 9 ? 10 * (b >> 4) + (b & 0x0F) : -1;
}

bool ValidDate(const unsigned char* date) {
    const int century = Decimal(date[0]);
    const int yearInCentury = Decimal(date[1]);
    const int month = Decimal(date[2]);
    const int day = Decimal(date[3]);
    if (century < 0 || yearInCentury < 0 || month < 1 || month > 12 || day < 1) {
        return false;
    }
    const int year = 100 * century + yearInCentury;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// Each byte read as 10 * high nibble + low nibble, the nibbles unchecked.
bool ValidTime(const unsigned char* time) {
    const int hour = 10 * (time[0] >> 4) + (time[0] & 0x0F);
    const int minute = 10 * (time[1] >> 4) + (time[1] & 0x0F);
    const int second = 10 * (time[2] >> 4) + (time[2] & 0x0F);
    return hour <= 23 && minute <= 59 && second <= 59;
}

std::unique_ptr<unsigned char[]> Exactly(const Bytes& bytes) {
    std::unique_ptr<unsigned char[]> block(new unsigned char[bytes.size()]);
    std::memcpy(block.get(), bytes.data(), bytes.size());
    return block;
}

void CheckText(const unsigned char* bcd, size_t length,
               void (*convert)(const unsigned char*, char*)) {
    CCanaryBuffer text(2 * length + 1);
    char* out = reinterpret_cast<char*>(text.Data());
    convert(bcd, out);
    text.CheckCanaries();
    const char* digits = "0123456789ABCDEF";
    for (size_t i = 0; i < length; ++i) {
        FUZZ_CHECK(out[2 * i] == digits[bcd[i] >> 4] && out[2 * i + 1] == digits[bcd[i] & 0x0F],
                   "a BCD digit is shown wrongly");
    }
    FUZZ_CHECK(out[2 * length] == '\0', "the text is not terminated");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Bytes bytes = in.ConsumeBytes<unsigned char>(7);
    bytes.resize(7);
    if (in.ConsumeBool()) {
        // Mostly well-formed BCD, so that the calendar itself is tested.
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>((b >> 4) % 10 << 4 | (b & 0x0F) % 10);
        }
    }
    const Bytes dateBytes(bytes.begin(), bytes.begin() + 4);
    const Bytes timeBytes(bytes.begin() + 4, bytes.end());
    std::unique_ptr<unsigned char[]> date = Exactly(dateBytes);
    std::unique_ptr<unsigned char[]> time = Exactly(timeBytes);
    std::unique_ptr<unsigned char[]> dateTime = Exactly(bytes);

    FUZZ_CHECK(IsValidBCDDate(date.get()) == (ValidDate(date.get()) ? 1 : 0),
               "IsValidBCDDate judged the date wrongly");
    FUZZ_CHECK(IsValidBCDTime(time.get()) == (ValidTime(time.get()) ? 1 : 0),
               "IsValidBCDTime judged the time wrongly");
    CheckText(date.get(), 4, BCDDateToString);
    CheckText(dateTime.get(), 7, BCDDateTimeToString);
    return 0;
}
