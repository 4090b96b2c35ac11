// Converters between byte strings and hexadecimal text, integers in either
// byte order, BCD dates and times and dotted IPv4 addresses, and the XOR
// and reversal of byte strings.
#include "softenc.h"

#include <cassert>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

bool IsDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

// Decodes count character pairs of hex into output as they are read; 0 at
// the first character that is not hexadecimal.
int DecodeHexPairs(const char* hex, size_t count, unsigned char* output) {
    for (size_t i = 0; i < count; ++i) {
        unsigned char high, low;
        if (!HexCharToNibble(hex[2 * i], &high) || !HexCharToNibble(hex[2 * i + 1], &low)) {
            return 0;
        }
        output[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return 1;
}

// Appends one character per BCD digit of length bytes.
void BCDToString(const unsigned char* bcd, unsigned int length, char* output) {
    for (size_t i = 0; i < length; ++i) {
        output[2 * i] = kHexDigits[bcd[i] >> 4];
        output[2 * i + 1] = kHexDigits[bcd[i] & 0x0F];
    }
    output[2 * static_cast<size_t>(length)] = '\0';
}

} // namespace

int BytesToHexString(const unsigned char* input, unsigned int length, char* output) {
    if (output == nullptr) {
        return 0;
    }
    if (input == nullptr) {
        length = 0;
    }
    for (size_t i = 0; i < length; ++i) {
        output[2 * i] = kHexDigits[input[i] >> 4];
        output[2 * i + 1] = kHexDigits[input[i] & 0x0F];
    }
    output[2 * static_cast<size_t>(length)] = '\0';
    return 1;
}

int HexCharToNibble(char c, unsigned char* nibble) {
    if (c >= '0' && c <= '9') {
        *nibble = static_cast<unsigned char>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
        *nibble = static_cast<unsigned char>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
        *nibble = static_cast<unsigned char>(c - 'a' + 10);
    } else {
        return 0;
    }
    return 1;
}

int HexStringToBytes(const char* hex, unsigned char* output, int* outputLen) {
    if (hex == nullptr) {
        return 0;
    }
    const size_t n = std::strlen(hex);
    if (n % 2 != 0 || static_cast<long long>(*outputLen) < static_cast<long long>(n / 2)) {
        return 0;
    }
    if (!DecodeHexPairs(hex, n / 2, output)) {
        return 0;
    }
    *outputLen = static_cast<int>(n / 2);
    return 1;
}

int HexToBytes(const char* hex, unsigned int length, unsigned char* output) {
    if (hex == nullptr || length % 2 != 0) {
        return 0;
    }
    return DecodeHexPairs(hex, length / 2, output);
}

void XorBytes(unsigned char* target, const unsigned char* source, unsigned int length) {
    for (unsigned int i = 0; i < length; ++i) {
        target[i] ^= source[i];
    }
}

void ReverseBytes(unsigned char* buffer, unsigned int length) {
    if (length < 2) {
        return;
    }
    for (unsigned int i = 0, j = length - 1; i < j; ++i, --j) {
        const unsigned char t = buffer[i];
        buffer[i] = buffer[j];
        buffer[j] = t;
    }
}

int LittleEndianToUInt32(const unsigned char* input, unsigned int length, unsigned int* value) {
    if (input == nullptr) {
        return 0;
    }
    const unsigned int n = length < 4 ? length : 4;
    unsigned int v = 0;
    for (unsigned int i = n; i-- > 0;) {
        v = v << 8 | input[i];
    }
    *value = v;
    return 1;
}

int BigEndianToUInt32(const unsigned char* input, unsigned int length, unsigned int* value) {
    if (input == nullptr) {
        return 0;
    }
    const unsigned int n = length < 4 ? length : 4;
    unsigned int v = 0;
    for (unsigned int i = length - n; i < length; ++i) {
        v = v << 8 | input[i];
    }
    *value = v;
    return 1;
}

int LittleEndianToUInt16(const unsigned char* input, unsigned int length, unsigned short* value) {
    if (input == nullptr) {
        return 0;
    }
    unsigned int v = 0;
    LittleEndianToUInt32(input, length < 2 ? length : 2, &v);
    *value = static_cast<unsigned short>(v);
    return 1;
}

int BigEndianToUInt16(const unsigned char* input, unsigned int length, unsigned short* value) {
    if (input == nullptr) {
        return 0;
    }
    const unsigned int n = length < 2 ? length : 2;
    unsigned int v = 0;
    BigEndianToUInt32(input + (length - n), n, &v);
    *value = static_cast<unsigned short>(v);
    return 1;
}

int UInt32ToLittleEndian(unsigned int value, unsigned char* output, unsigned int length) {
    if (output == nullptr) {
        return 0;
    }
    if (length >= 4) {
        std::memset(output, 0, length);
        length = 4;
    }
    for (unsigned int i = 0; i < length; ++i) {
        output[i] = static_cast<unsigned char>(value >> (8 * i));
    }
    return 1;
}

int UInt32ToBigEndian(unsigned int value, unsigned char* output, unsigned int length) {
    if (output == nullptr) {
        return 0;
    }
    if (length >= 4) {
        std::memset(output, 0, length);
        for (unsigned int i = 0; i < 4; ++i) {
            output[length - 4 + i] = static_cast<unsigned char>(value >> (24 - 8 * i));
        }
        return 1;
    }
    // Skip up to 4 - length leading zero bytes, then take the next length
    // bytes: a value that fits is written whole, one that does not keeps its
    // most significant bytes.
    unsigned int first = 0;
    while (first < 4 - length && static_cast<unsigned char>(value >> (24 - 8 * first)) == 0) {
        ++first;
    }
    for (unsigned int i = 0; i < length; ++i) {
        output[i] = static_cast<unsigned char>(value >> (24 - 8 * (first + i)));
    }
    return 1;
}

int UInt16ToLittleEndian(unsigned short value, unsigned char* output, unsigned int length) {
    if (output == nullptr) {
        return 0;
    }
    std::memset(output, 0, length);
    if (length >= 1) {
        output[0] = static_cast<unsigned char>(value);
    }
    if (length >= 2) {
        output[1] = static_cast<unsigned char>(value >> 8);
    }
    return 1;
}

int UInt16ToBigEndian(unsigned short value, unsigned char* output, unsigned int length) {
    if (output == nullptr) {
        return 0;
    }
    std::memset(output, 0, length);
    const unsigned char high = static_cast<unsigned char>(value >> 8);
    const unsigned char low = static_cast<unsigned char>(value);
    if (length >= 2) {
        output[length - 2] = high;
        output[length - 1] = low;
    } else if (length == 1) {
        output[0] = high != 0 ? high : low;
    }
    return 1;
}

int IsValidBCDDate(const unsigned char* date) {
    const unsigned char month = date[2];
    const unsigned char day = date[3];
    if ((day & 0x0F) > 9 || (day >> 4) > 3) {
        return 0;
    }
    unsigned char lastDay;
    switch (month) {
    case 0x01:
    case 0x03:
    case 0x05:
    case 0x07:
    case 0x08:
    case 0x10:
    case 0x12:
        lastDay = 0x31;
        break;
    case 0x04:
    case 0x06:
    case 0x09:
    case 0x11:
        lastDay = 0x30;
        break;
    case 0x02: {
        const int year =
            1000 * (date[0] >> 4) + 100 * (date[0] & 0x0F) + 10 * (date[1] >> 4) + (date[1] & 0x0F);
        const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
        lastDay = leap ? 0x29 : 0x28;
        break;
    }
    default:
        return 0;
    }
    if (day == 0x00 || day > lastDay) {
        return 0;
    }
    for (int i = 0; i < 2; ++i) {
        if ((date[i] >> 4) > 9 || (date[i] & 0x0F) > 9) {
            return 0;
        }
    }
    return 1;
}

int IsValidBCDTime(const unsigned char* time) {
    // Each byte as 10 * high nibble + low nibble; the nibbles themselves are
    // not checked, so 0x0A reads as 10.
    const int hour = 10 * (time[0] >> 4) + (time[0] & 0x0F);
    const int minute = 10 * (time[1] >> 4) + (time[1] & 0x0F);
    const int second = 10 * (time[2] >> 4) + (time[2] & 0x0F);
    return hour <= 23 && minute <= 59 && second <= 59 ? 1 : 0;
}

int ParseIPAddress(const char* text, unsigned char* pbIP) {
    assert(pbIP != NULL);
    if (pbIP == nullptr || text == nullptr) {
        return 0;
    }
    int fields = 1;
    int digits = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '.') {
            digits = 0;
            if (++fields > 4) {
                return 0;
            }
        } else if (!IsDecimalDigit(*p) || ++digits > 3) {
            return 0;
        }
    }
    if (fields != 4) {
        return 0;
    }
    // At most three digits per field: the numbers cannot overflow.
    int n[4];
    if (std::sscanf(text, "%d.%d.%d.%d", &n[0], &n[1], &n[2], &n[3]) != 4) {
        return 0;
    }
    for (int v : n) {
        if (v < 0 || v > 255) {
            return 0;
        }
    }
    for (int i = 0; i < 4; ++i) {
        pbIP[i] = static_cast<unsigned char>(n[i]);
    }
    return 1;
}

int IsDigitString(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    for (; *text != '\0'; ++text) {
        if (!IsDecimalDigit(*text)) {
            return 0;
        }
    }
    return 1;
}

void BCDDateToString(const unsigned char* date, char* output) {
    BCDToString(date, 4, output);
}

void BCDDateTimeToString(const unsigned char* dateTime, char* output) {
    BCDToString(dateTime, 7, output);
}
