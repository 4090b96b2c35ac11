// The two software-assisted secure writes: the exact commands for a fixed
// challenge, checked against MACs and cryptograms computed here with
// OpenSSL's DES, and every refusal.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "support/RecordingCard.h"

#include <openssl/des.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const Bytes kKey = FromHex("0123456789ABCDEF FEDCBA9876543210");

DES_key_schedule Schedule(const unsigned char* half) {
    DES_cblock block;
    std::memcpy(block, half, 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&block, &ks);
    return ks;
}

// ISO/IEC 9797-1 MAC algorithm 3, padding method 2, with an initial value.
Bytes RetailMac(const Bytes& key, const Bytes& iv, Bytes message) {
    message.push_back(0x80);
    while (message.size() % 8 != 0) {
        message.push_back(0x00);
    }
    DES_key_schedule k1 = Schedule(key.data()), k2 = Schedule(key.data() + 8);
    DES_cblock h;
    std::memcpy(h, iv.data(), 8);
    for (size_t i = 0; i < message.size(); i += 8) {
        for (int j = 0; j < 8; ++j) {
            h[j] ^= message[i + j];
        }
        DES_ecb_encrypt(&h, &h, &k1, DES_ENCRYPT);
    }
    DES_ecb_encrypt(&h, &h, &k2, DES_DECRYPT);
    DES_ecb_encrypt(&h, &h, &k1, DES_ENCRYPT);
    return Bytes(h, h + 4);
}

Bytes Tdes2Ecb(const Bytes& key, const Bytes& plain) {
    DES_key_schedule k1 = Schedule(key.data()), k2 = Schedule(key.data() + 8);
    Bytes out(plain.size());
    for (size_t i = 0; i < plain.size(); i += 8) {
        DES_cblock in, res;
        std::memcpy(in, plain.data() + i, 8);
        DES_ecb3_encrypt(&in, &res, &k1, &k2, &k1, DES_ENCRYPT);
        std::memcpy(out.data() + i, res, 8);
    }
    return out;
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

TEST(SecureWrite, UpdateBinaryWithSoftwareMacCommands) {
    struct {
        unsigned long length;
        unsigned long offset;
        const char* header;
    } cases[] = {
        {0, 0x0000, "04 D6 00 00 04"},   {5, 0x0102, "04 D6 01 02 09"},
        {8, 0x00FF, "04 D6 00 FF 0C"},   {100, 0x7FFF, "04 D6 7F FF 68"},
        {247, 0x0010, "04 D6 00 10 FB"}, {13, 0xFFFF, "04 D6 FF FF 11"},
    };
    const Bytes challenge = FromHex("A1 B2 C3 D4");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        RecordingCard<CZUICAPI> card;
        card.Answer(1, ToHex(challenge));
        Bytes data(c.length);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<unsigned char>(i * 7 + 1);
        }
        Bytes key = kKey;
        EXPECT_EQ(1,
                  UpdateBinaryWithSoftwareMac(&card, key.data(), data.data(), c.length, c.offset));
        ASSERT_EQ(2u, card.sent.size());
        EXPECT_EQ("00 84 00 00 04", card.sent[0].Hex());
        EXPECT_EQ(4u, card.sent[0].respRoom);
        Bytes covered = Concat(FromHex(c.header), data);
        Bytes iv = Concat(challenge, FromHex("00 00 00 00"));
        Bytes expected = Concat(covered, RetailMac(kKey, iv, covered));
        EXPECT_EQ(ToHex(expected), card.sent[1].Hex());
        EXPECT_FALSE(card.sent[1].hadResp);
        EXPECT_FALSE(card.sent[1].hadRespLen);
    }
}

// The worked example of README, byte for byte.
TEST(SecureWrite, UpdateBinaryWithSoftwareMacWorkedExample) {
    RecordingCard<CZUICAPI> card;
    card.Answer(1, "11 22 33 44");
    Bytes key = FromHex("A0 A1 A2 A3 A4 A5 A6 A7 B0 B1 B2 B3 B4 B5 B6 B7");
    Bytes data = FromHex("01 02 03 04");
    EXPECT_EQ(1, UpdateBinaryWithSoftwareMac(&card, key.data(), data.data(), data.size(), 0x10));
    ASSERT_EQ(2u, card.sent.size());
    EXPECT_EQ("00 84 00 00 04", card.sent[0].Hex());
    EXPECT_EQ("04 D6 00 10 08 01 02 03 04 4C E8 45 ED", card.sent[1].Hex());
}

TEST(SecureWrite, UpdateBinaryWithSoftwareMacRefusals) {
    Bytes key = kKey;
    Bytes data(300, 0x11);
    struct {
        const char* name;
        bool nullCard, nullKey, nullData;
        unsigned long length, offset;
    } cases[] = {
        {"248 bytes", false, false, false, 248, 0},
        {"null card", true, false, false, 4, 0},
        {"null key", false, true, false, 4, 0},
        {"null data", false, false, true, 4, 0},
        {"offset 65536", false, false, false, 4, 0x10000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingCard<CZUICAPI> card;
        EXPECT_EQ(0, UpdateBinaryWithSoftwareMac(
                         c.nullCard ? nullptr : &card, c.nullKey ? nullptr : key.data(),
                         c.nullData ? nullptr : data.data(), c.length, c.offset));
        EXPECT_TRUE(card.sent.empty()); // not even the challenge
    }
    RecordingCard<CZUICAPI> refusing;
    refusing.Answer(0);
    EXPECT_EQ(0, UpdateBinaryWithSoftwareMac(&refusing, key.data(), data.data(), 4, 0));
    EXPECT_EQ(1u, refusing.sent.size());
    RecordingCard<CZUICAPI> empty;
    empty.Answer(1, "01 02 03 04");
    EXPECT_EQ(1, UpdateBinaryWithSoftwareMac(&empty, key.data(), nullptr, 0, 0));
}

TEST(SecureWrite, DifferentChallengesGiveDifferentMacs) {
    Bytes key = kKey;
    unsigned char data[4] = {1, 2, 3, 4};
    RecordingCard<CZUICAPI> card;
    card.Answer(1, "01 02 03 04");
    card.Answer(1);
    card.Answer(1, "01 02 03 05");
    ASSERT_EQ(1, UpdateBinaryWithSoftwareMac(&card, key.data(), data, 4, 0));
    ASSERT_EQ(1, UpdateBinaryWithSoftwareMac(&card, key.data(), data, 4, 0));
    EXPECT_NE(card.sent[1].Hex(), card.sent[3].Hex());
}

TEST(SecureWrite, WriteSAMKeyWithSoftwareCalcCommands) {
    struct {
        unsigned long length;
        size_t block;
    } cases[] = {{0, 8}, {6, 8}, {7, 16}, {14, 16}, {15, 24}, {19, 24}};
    const Bytes challenge = FromHex("10 20 30 40");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        RecordingCard<CZUSAMIC> sam;
        sam.Answer(1, ToHex(challenge));
        Bytes keyData(c.length + 1);
        for (size_t i = 0; i < keyData.size(); ++i) {
            keyData[i] = static_cast<unsigned char>(0xA0 + i);
        }
        Bytes key = kKey;
        EXPECT_EQ(1, WriteSAMKeyWithSoftwareCalc(&sam, key.data(), keyData.data(), c.length));
        ASSERT_EQ(2u, sam.sent.size());
        EXPECT_EQ("00 84 00 00 04", sam.sent[0].Hex());
        Bytes plain;
        plain.push_back(static_cast<unsigned char>(c.length));
        plain.insert(plain.end(), keyData.begin(), keyData.begin() + c.length);
        plain.push_back(0x80);
        while (plain.size() % 8 != 0) {
            plain.push_back(0);
        }
        ASSERT_EQ(c.block, plain.size());
        Bytes header = {0x84, 0xD4, 0x00, 0x00, static_cast<unsigned char>(c.block + 4)};
        Bytes covered = Concat(header, Tdes2Ecb(kKey, plain));
        Bytes iv = Concat(challenge, FromHex("00 00 00 00"));
        EXPECT_EQ(ToHex(Concat(covered, RetailMac(kKey, iv, covered))), sam.sent[1].Hex());
    }
}

TEST(SecureWrite, WriteSAMKeyWithSoftwareCalcRefusals) {
    Bytes key = kKey;
    Bytes keyData(32, 0x22);
    RecordingCard<CZUSAMIC> sam;
    EXPECT_EQ(0, WriteSAMKeyWithSoftwareCalc(&sam, key.data(), keyData.data(), 20));
    EXPECT_EQ(0, WriteSAMKeyWithSoftwareCalc(&sam, key.data(), nullptr, 0));
    EXPECT_EQ(0, WriteSAMKeyWithSoftwareCalc(nullptr, key.data(), keyData.data(), 4));
    EXPECT_TRUE(sam.sent.empty());
    sam.Answer(0);
    EXPECT_EQ(0, WriteSAMKeyWithSoftwareCalc(&sam, key.data(), keyData.data(), 4));
    EXPECT_EQ(1u, sam.sent.size()); // the challenge alone
}

} // namespace
