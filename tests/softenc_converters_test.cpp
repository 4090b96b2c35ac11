// The converters: hexadecimal text, byte order, BCD dates and times, IPv4
// parsing and digit strings, each group driven from a table.
#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(Converters, Hexadecimal) {
    char text[16];
    const Bytes bytes = FromHex("00 AB 5F");
    EXPECT_EQ(1, BytesToHexString(bytes.data(), 3, text));
    EXPECT_STREQ("00AB5F", text);
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(1, BytesToHexString(nullptr, 3, text));
    EXPECT_STREQ("", text);
    EXPECT_EQ(1, BytesToHexString(bytes.data(), 0, text));
    EXPECT_STREQ("", text);
    EXPECT_EQ(0, BytesToHexString(bytes.data(), 3, nullptr));

    const struct {
        char c;
        int ok;
        unsigned char nibble;
    } chars[] = {{'0', 1, 0},    {'9', 1, 9},    {'A', 1, 10},   {'F', 1, 15},   {'a', 1, 10},
                 {'f', 1, 15},   {'G', 0, 0x77}, {'g', 0, 0x77}, {'/', 0, 0x77}, {':', 0, 0x77},
                 {'@', 0, 0x77}, {' ', 0, 0x77}, {'\0', 0, 0x77}};
    for (const auto& c : chars) {
        unsigned char nibble = 0x77;
        EXPECT_EQ(c.ok, HexCharToNibble(c.c, &nibble)) << int(c.c);
        EXPECT_EQ(c.nibble, nibble) << int(c.c);
    }

    const struct {
        const char* hex;
        int room;
        int result;
        int countOut;       // *outputLen afterwards
        const char* output; // the bytes written, of 4 preset to EE
    } strings[] = {
        {"0aFf", 2, 1, 2, "0A FF EE EE"},
        {"0aFf", 4, 1, 2, "0A FF EE EE"},
        {"0aFf", 1, 0, 1, "EE EE EE EE"}, // no room: nothing written
        {"0G", 4, 0, 4, "EE EE EE EE"},
        {"12zz", 4, 0, 4, "12 EE EE EE"}, // bytes before the bad pair stay written
        {"abc", 4, 0, 4, "EE EE EE EE"},
        {"", 4, 1, 0, "EE EE EE EE"},
        {"0102", -1, 0, -1, "EE EE EE EE"},
    };
    for (const auto& s : strings) {
        SCOPED_TRACE(s.hex);
        unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        int count = s.room;
        EXPECT_EQ(s.result, HexStringToBytes(s.hex, out, &count));
        EXPECT_EQ(s.countOut, count);
        EXPECT_EQ(s.output, ToHex(out, 4));
    }
    int count = 4;
    unsigned char out[4] = {};
    EXPECT_EQ(0, HexStringToBytes(nullptr, out, &count));

    unsigned char raw[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(1, HexToBytes("a1B2c3ff", 6, raw)); // only the first 6 characters
    EXPECT_EQ("A1 B2 C3", ToHex(raw, 3));
    EXPECT_EQ(0, HexToBytes("a1B", 3, raw));
    EXPECT_EQ(0, HexToBytes(nullptr, 2, raw));
    EXPECT_EQ(0, HexToBytes("x1", 2, raw));
}

TEST(Converters, XorAndReverse) {
    Bytes a = FromHex("01 02 03 04 05");
    const Bytes b = FromHex("FF 0F F0 00 55");
    XorBytes(a.data(), b.data(), 4);
    EXPECT_EQ("FE 0D F3 04 05", ToHex(a));
    for (const char* hex : {"", "01", "01 02", "01 02 03", "01 02 03 04 05 06 07 08 09"}) {
        Bytes bytes = FromHex(hex);
        Bytes reversed(bytes.rbegin(), bytes.rend());
        ReverseBytes(bytes.data(), static_cast<unsigned int>(bytes.size()));
        EXPECT_EQ(reversed, bytes) << hex;
    }
}

TEST(Converters, BytesToIntegers) {
    const struct {
        const char* bytes;
        unsigned int little32, big32;
        unsigned short little16, big16;
    } cases[] = {
        {"01 02 03 04 05", 0x04030201, 0x02030405, 0x0201, 0x0405},
        {"12 34", 0x3412, 0x1234, 0x3412, 0x1234},
        {"AB", 0xAB, 0xAB, 0xAB, 0xAB},
        {"", 0, 0, 0, 0},
        {"FF FF FF FF", 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF, 0xFFFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const Bytes in = FromHex(c.bytes);
        const unsigned int n = static_cast<unsigned int>(in.size());
        const unsigned char dummy = 0;
        const unsigned char* p = in.empty() ? &dummy : in.data();
        unsigned int v32 = 0xDEAD;
        unsigned short v16 = 0xBEEF;
        EXPECT_EQ(1, LittleEndianToUInt32(p, n, &v32));
        EXPECT_EQ(c.little32, v32);
        EXPECT_EQ(1, BigEndianToUInt32(p, n, &v32));
        EXPECT_EQ(c.big32, v32);
        EXPECT_EQ(1, LittleEndianToUInt16(p, n, &v16));
        EXPECT_EQ(c.little16, v16);
        EXPECT_EQ(1, BigEndianToUInt16(p, n, &v16));
        EXPECT_EQ(c.big16, v16);
    }
    unsigned int v32 = 7;
    unsigned short v16 = 7;
    EXPECT_EQ(0, LittleEndianToUInt32(nullptr, 4, &v32));
    EXPECT_EQ(0, BigEndianToUInt32(nullptr, 4, &v32));
    EXPECT_EQ(0, LittleEndianToUInt16(nullptr, 2, &v16));
    EXPECT_EQ(0, BigEndianToUInt16(nullptr, 2, &v16));
    EXPECT_EQ(7u, v32);
    EXPECT_EQ(7u, v16);
}

TEST(Converters, IntegersToBytes) {
    enum Form { LE32, BE32, LE16, BE16 };
    const struct {
        Form form;
        unsigned int value;
        unsigned int length;
        const char* bytes;
    } cases[] = {
        {BE32, 0x1234, 6, "00 00 00 00 12 34"},
        {BE32, 0x00123456, 2, "12 34"},
        {BE32, 0x1234, 2, "12 34"},
        {BE32, 0x12345678, 4, "12 34 56 78"},
        {BE32, 0x12345678, 3, "12 34 56"},
        {BE32, 0x00000056, 1, "56"},
        {BE32, 0, 2, "00 00"},
        {BE32, 0x01020304, 0, ""},
        {LE32, 0x00123456, 2, "56 34"},
        {LE32, 0x12345678, 6, "78 56 34 12 00 00"},
        {LE32, 0x12345678, 1, "78"},
        {LE16, 0x1234, 1, "34"},
        {LE16, 0x1234, 2, "34 12"},
        {LE16, 0x1234, 4, "34 12 00 00"},
        {BE16, 0x1234, 1, "12"},
        {BE16, 0x0034, 1, "34"},
        {BE16, 0x1234, 2, "12 34"},
        {BE16, 0x1234, 3, "00 12 34"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.bytes) + " form " + std::to_string(c.form));
        Bytes out(c.length + 2, 0xEE); // two guard bytes behind the field
        int result = 0;
        switch (c.form) {
        case LE32:
            result = UInt32ToLittleEndian(c.value, out.data(), c.length);
            break;
        case BE32:
            result = UInt32ToBigEndian(c.value, out.data(), c.length);
            break;
        case LE16:
            result =
                UInt16ToLittleEndian(static_cast<unsigned short>(c.value), out.data(), c.length);
            break;
        case BE16:
            result = UInt16ToBigEndian(static_cast<unsigned short>(c.value), out.data(), c.length);
            break;
        }
        EXPECT_EQ(1, result);
        Bytes expected = FromHex(c.bytes);
        expected.insert(expected.end(), 2, 0xEE);
        EXPECT_EQ(ToHex(expected), ToHex(out));
    }
    EXPECT_EQ(0, UInt32ToLittleEndian(1, nullptr, 4));
    EXPECT_EQ(0, UInt32ToBigEndian(1, nullptr, 4));
    EXPECT_EQ(0, UInt16ToLittleEndian(1, nullptr, 2));
    EXPECT_EQ(0, UInt16ToBigEndian(1, nullptr, 2));
}

TEST(Converters, BCDDatesAndTimes) {
    const struct {
        const char* date;
        int valid;
    } dates[] = {
        {"20 00 02 29", 1}, {"19 00 02 29", 0}, {"20 04 02 29", 1}, {"20 05 02 29", 0},
        {"20 05 02 28", 1}, {"20 05 04 31", 0}, {"20 05 04 30", 1}, {"20 05 0A 01", 0},
        {"20 05 12 00", 0}, {"2A 05 12 01", 0}, {"20 0A 12 01", 0}, {"20 05 12 31", 1},
        {"20 05 12 32", 0}, {"20 05 01 1A", 0}, {"20 05 00 01", 0}, {"20 05 13 01", 0},
        {"20 05 11 31", 0}, {"20 05 10 31", 1}, {"24 00 02 29", 1}, {"21 00 02 29", 0},
        {"20 05 01 40", 0},
    };
    for (const auto& d : dates) {
        EXPECT_EQ(d.valid, IsValidBCDDate(FromHex(d.date).data())) << d.date;
    }
    const struct {
        const char* time;
        int valid;
    } times[] = {// each byte read as 10 * high + low nibble, nibbles unchecked
                 {"23 59 59", 1}, {"24 00 00", 0}, {"12 60 00", 0},
                 {"12 00 60", 0}, {"00 00 00", 1}, {"0A 00 00", 1},
                 {"1E 00 00", 0}, {"12 4F 00", 1}, {"12 5A 00", 0}};
    for (const auto& t : times) {
        EXPECT_EQ(t.valid, IsValidBCDTime(FromHex(t.time).data())) << t.time;
    }

    // One character per BCD digit, in room for the text and its terminator.
    char text[16];
    std::memset(text, 'x', sizeof text);
    BCDDateToString(FromHex("20 05 12 31").data(), text);
    EXPECT_STREQ("20051231", text);
    EXPECT_EQ('x', text[9]);
    std::memset(text, 'x', sizeof text);
    BCDDateTimeToString(FromHex("20 05 12 31 23 59 08").data(), text);
    EXPECT_STREQ("20051231235908", text);
    EXPECT_EQ('x', text[15]);
}

TEST(Converters, IPv4AddressesAndDigitStrings) {
    const struct {
        const char* text;
        int result;
        const char* bytes;
    } addresses[] = {
        {"192.168.0.1", 1, "C0 A8 00 01"},
        {"001.002.003.004", 1, "01 02 03 04"},
        {"255.255.255.255", 1, "FF FF FF FF"},
        {"0.0.0.0", 1, "00 00 00 00"},
        {"192.168.0.256", 0, "EE EE EE EE"},
        {"192.168.0", 0, "EE EE EE EE"},
        {"1.2.3.4.5", 0, "EE EE EE EE"},
        {"1..2.3", 0, "EE EE EE EE"},
        {"1.2.3.", 0, "EE EE EE EE"},
        {"1.2.3.4a", 0, "EE EE EE EE"},
        {"1.2.3.0004", 0, "EE EE EE EE"},
        {".1.2.3", 0, "EE EE EE EE"},
        {"1.2.-3.4", 0, "EE EE EE EE"},
        {" 1.2.3.4", 0, "EE EE EE EE"},
        {"", 0, "EE EE EE EE"},
    };
    for (const auto& a : addresses) {
        unsigned char ip[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(a.result, ParseIPAddress(a.text, ip)) << a.text;
        EXPECT_EQ(a.bytes, ToHex(ip, 4)) << a.text;
    }
    unsigned char ip[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(0, ParseIPAddress(nullptr, ip));
    EXPECT_EQ("EE EE EE EE", ToHex(ip, 4));
#ifndef NDEBUG
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(ParseIPAddress("1.2.3.4", nullptr), "pbIP != NULL");
#endif

    const struct {
        const char* text;
        int result;
    } digits[] = {{"", 1},   {"0123456789", 1}, {"12a4", 0}, {"12 4", 0},
                  {"-1", 0}, {"/", 0},          {":", 0}};
    for (const auto& d : digits) {
        EXPECT_EQ(d.result, IsDigitString(d.text)) << d.text;
    }
    EXPECT_EQ(0, IsDigitString(nullptr));
}
