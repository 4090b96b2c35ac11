// DES, triple DES and the DES MAC against the published vectors, and the
// properties the secure-messaging code relies on.
#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::vector<std::string>> ReadVectors(const std::string& file) {
    std::ifstream in(std::string(ZUIC_VECTORS_DIR) + "/" + file);
    EXPECT_TRUE(in.good()) << file;
    std::vector<std::vector<std::string>> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::vector<std::string> row;
        for (std::string f; fields >> f;) {
            row.push_back(f);
        }
        rows.push_back(row);
    }
    EXPECT_FALSE(rows.empty()) << file;
    return rows;
}

// Rows whose key has keyBytes bytes; returns how many were checked.
template <class Enc, class Dec> int CheckEcbVectors(const std::string& file, size_t keyBytes) {
    int checked = 0;
    for (const auto& row : ReadVectors(file)) {
        SCOPED_TRACE(row[0] + " " + row[1]);
        Bytes key = FromHex(row[0]), plain = FromHex(row[1]), cipher = FromHex(row[2]);
        if (key.size() != keyBytes) {
            continue;
        }
        ++checked;
        Bytes out(8);
        Enc(key.data()).ProcessBlocks(plain.data(), out.data(), 8);
        EXPECT_EQ(ToHex(cipher), ToHex(out));
        Dec(key.data()).ProcessBlocks(out.data(), 8);
        EXPECT_EQ(ToHex(plain), ToHex(out));
    }
    return checked;
}

TEST(SoftencDES, PublishedVectors) {
    EXPECT_GT((CheckEcbVectors<CDESEncryptor, CDESDecryptor>("des.txt", 8)), 0);
    EXPECT_GT((CheckEcbVectors<CTDES2Encryptor, CTDES2Decryptor>("tdes.txt", 16)), 0);
    EXPECT_GT((CheckEcbVectors<CTDES3Encryptor, CTDES3Decryptor>("tdes.txt", 24)), 0);
}

TEST(SoftencDES, MacVectorsWholeAndInPieces) {
    for (const auto& row : ReadVectors("mac.txt")) {
        SCOPED_TRACE(row[0] + " " + row[2]);
        Bytes key = FromHex(row[0]);
        Bytes iv = row[1] == "-" ? Bytes() : FromHex(row[1]);
        Bytes message = row[2] == "-" ? Bytes() : FromHex(row[2]);
        for (size_t piece : {size_t{0}, size_t{1}, size_t{3}, size_t{8}, size_t{1000}}) {
            CDESMac mac;
            mac.Init(key.data(), key.size(), iv.empty() ? nullptr : iv.data());
            size_t at = 0;
            do {
                size_t n = piece == 0 ? 0 : std::min(piece, message.size() - at);
                EXPECT_EQ(1, mac.Update(message.data() + at, n));
                at += n;
            } while (at < message.size() && piece != 0);
            if (piece == 0) {
                EXPECT_EQ(1, mac.Update(message.data(), message.size()));
            }
            unsigned char out[5] = {0, 0, 0, 0, 0xEE};
            mac.Final(out);
            EXPECT_EQ(row[3], ToHex(out, 4).erase(2, 1).erase(4, 1).erase(6, 1));
            EXPECT_EQ(0xEE, out[4]);
            EXPECT_EQ(0, mac.Update(message.data(), message.size())); // wiped by Final
        }
    }
}

TEST(SoftencDES, CipherProperties) {
    Bytes k = FromHex("0123456789ABCDEF FEDCBA9876543210 89ABCDEF01234567");
    Bytes data(40);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i * 13 + 5);
    }
    // Tails are neither read nor written; in place equals out of place.
    Bytes out(20, 0xEE);
    CTDES2Encryptor(k.data()).ProcessBlocks(data.data(), out.data(), 20);
    EXPECT_EQ("EE EE EE EE", ToHex(out.data() + 16, 4));
    Bytes inPlace(data.begin(), data.begin() + 20);
    CTDES2Encryptor(k.data()).ProcessBlocks(inPlace.data(), 20);
    EXPECT_EQ(ToHex(out.data(), 16), ToHex(inPlace.data(), 16));
    Bytes untouched(7, 0xEE);
    CDESEncryptor(k.data()).ProcessBlocks(data.data(), untouched.data(), 7);
    EXPECT_EQ(Bytes(7, 0xEE), untouched);

    // Parity bits are ignored; keying option 2 equals option 1 with K3 = K1;
    // equal halves reduce triple DES to single DES.
    Bytes flipped = k;
    for (auto& b : flipped) {
        b ^= 0x01;
    }
    Bytes a(40), b(40);
    CTDES3Encryptor(k.data()).ProcessBlocks(data.data(), a.data(), 40);
    CTDES3Encryptor(flipped.data()).ProcessBlocks(data.data(), b.data(), 40);
    EXPECT_EQ(a, b);
    Bytes k121 = {k.begin(), k.begin() + 16};
    k121.insert(k121.end(), k.begin(), k.begin() + 8);
    CTDES2Encryptor(k.data()).ProcessBlocks(data.data(), a.data(), 40);
    CTDES3Encryptor(k121.data()).ProcessBlocks(data.data(), b.data(), 40);
    EXPECT_EQ(a, b);
    Bytes same = {k.begin(), k.begin() + 8};
    same.insert(same.end(), k.begin(), k.begin() + 8);
    CTDES2Encryptor(same.data()).ProcessBlocks(data.data(), a.data(), 40);
    CDESEncryptor(k.data()).ProcessBlocks(data.data(), b.data(), 40);
    EXPECT_EQ(a, b);
    CTDES2Decryptor(k.data()).ProcessBlocks(data.data(), a.data(), 40);
    CTDES2Encryptor(k.data()).ProcessBlocks(a.data(), 40);
    EXPECT_EQ(data, a);
}

TEST(SoftencDES, MacEngineEdges) {
    Bytes key = FromHex("0123456789ABCDEF FEDCBA9876543210 AABBCCDD");
    CDESMac refused;
    refused.Init(key.data(), 20, nullptr);
    EXPECT_EQ(0, refused.Update(key.data(), 4));
    unsigned char buffer[24] = {0};
    unsigned long length = 16;
    AppendISOPadding(buffer, &length);
    EXPECT_EQ(24u, length);
    EXPECT_EQ(0x80, buffer[16]);
    length = 15;
    AppendISOPadding(buffer, &length);
    EXPECT_EQ(16u, length);
}

TEST(SoftencKeys, DiversificationAndSession) {
    Bytes key = FromHex("0123456789ABCDEF FEDCBA9876543210");
    Bytes factor = FromHex("01 02 03 04 05 06 07 08");
    unsigned char separate[16], chained[16];
    DiversifyKey(key.data(), factor.data(), separate);
    Bytes aliased = key;
    DiversifyKey(aliased.data(), factor.data(), aliased.data());
    EXPECT_EQ(ToHex(separate, 16), ToHex(aliased));
    EXPECT_EQ(1, DiversifyKeyChain(key.data(), 16, factor.data(), 8, chained));
    EXPECT_EQ(ToHex(separate, 16), ToHex(chained, 16));
    unsigned char untouched[16] = {0};
    EXPECT_EQ(0, DiversifyKeyChain(key.data(), 12, factor.data(), 8, untouched));
    EXPECT_EQ(0, DiversifyKeyChain(key.data(), 16, factor.data(), 12, untouched));
    EXPECT_EQ(Bytes(16, 0), Bytes(untouched, untouched + 16));

    unsigned char counter[4], mac[4];
    Bytes input = FromHex("11 22 33 44"), sequence = FromHex("00 07"),
          value = FromHex("00 00 01 00");
    Bytes d6(6, 0x66), d7(7, 0x77);
    CalcSessionMac(key.data(), factor.data(), input.data(), sequence.data(), value.data(), 0x06,
                   d6.data(), d7.data(), counter, mac);
    EXPECT_EQ("00 00 00 01", ToHex(counter, 4));
    unsigned char wrong[4] = {0, 0, 0, 0};
    EXPECT_EQ(0, VerifySessionMac(wrong));
    // The MAC of the remembered value under the session key verifies and
    // advances the counter.
    unsigned char sessionKey[8];
    unsigned char block[8] = {0x11, 0x22, 0x33, 0x44, 0x00, 0x07, 0x00, 0x01};
    unsigned char derived[16];
    DiversifyKey(key.data(), factor.data(), derived);
    CTDES2Encryptor(derived).ProcessBlocks(block, sessionKey, 8);
    CDESMac engine;
    engine.Init(sessionKey, 8, nullptr);
    engine.Update(value.data(), 4);
    unsigned char right[4];
    engine.Final(right);
    EXPECT_EQ(1, VerifySessionMac(right));
    CalcSessionMac(key.data(), factor.data(), input.data(), sequence.data(), value.data(), 0x06,
                   d6.data(), d7.data(), counter, mac);
    EXPECT_EQ("00 00 00 02", ToHex(counter, 4));
}

} // namespace
