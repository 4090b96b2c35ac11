// The bytes every card operation puts on the wire, and what it refuses.
#include "support/RecordingCard.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> Cmds;

template <class Card> struct Case {
    const char* name;
    std::function<int(Card&)> op;
    Cmds expected; // empty: refused before anything is sent
    int result;
};

template <class Card> void RunCases(const std::vector<Case<Card>>& cases) {
    for (const Case<Card>& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingCard<Card> card;
        EXPECT_EQ(c.result, c.op(card));
        EXPECT_EQ(c.expected, card.SentHex());
    }
}

unsigned char fid[2] = {0xDF, 0x01};
unsigned char ef15[2] = {0x00, 0x15};
unsigned char block8[8] = {1, 2, 3, 4, 5, 6, 7, 8};
unsigned char name5[5] = {0xA0, 0x00, 0x00, 0x00, 0x03};
Bytes big(300, 0xAB);
unsigned char* B() {
    return big.data();
}

std::string Repeat(const std::string& byte, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += (i ? " " : "") + byte;
    }
    return out;
}

TEST(CardApdu, GeneralCardCommands) {
    Bytes pin = FromHex("31 32 33 34 35 36");
    Bytes oldPin = FromHex("11 22 33"), newPin = FromHex("44 55 66");
    unsigned char resp[8];
    int tries = 7;
    std::vector<Case<CZUICAPI>> cases = {
        {"SelectDF by name",
         [](CZUICAPI& c) { return c.SelectDF(name5, 5, nullptr, nullptr); },
         {"00 A4 04 00 05 A0 00 00 00 03"},
         1},
        {"SelectDF name of 27",
         [](CZUICAPI& c) { return c.SelectDF(B(), 27, nullptr, nullptr); },
         {"00 A4 04 00 1B " + Repeat("AB", 27)},
         1},
        {"SelectDF name of 28 refused",
         [](CZUICAPI& c) { return c.SelectDF(B(), 28, nullptr, nullptr); },
         {},
         0},
        {"SelectDF null name refused",
         [](CZUICAPI& c) { return c.SelectDF(nullptr, 2, nullptr, nullptr); },
         {},
         0},
        {"SelectDF by id",
         [](CZUICAPI& c) { return c.SelectDF(fid, nullptr, nullptr); },
         {"00 A4 00 00 02 DF 01"},
         1},
        {"SelectEF",
         [](CZUICAPI& c) { return c.SelectEF(ef15, nullptr, nullptr); },
         {"00 A4 02 00 02 00 15"},
         1},
        {"SelectEF null id refused",
         [](CZUICAPI& c) { return c.SelectEF(nullptr, nullptr, nullptr); },
         {},
         0},
        {"UpdateBinaryFileWithMac",
         [](CZUICAPI& c) { return c.UpdateBinaryFileWithMac(B(), 11, 0x1234); },
         {"04 D6 12 34 0B " + Repeat("AB", 11)},
         1},
        {"UpdateBinaryFileWithMac 12 refused",
         [](CZUICAPI& c) { return c.UpdateBinaryFileWithMac(B(), 12, 0); },
         {},
         0},
        {"UpdateBinaryFileWithMac at 65536 refused",
         [](CZUICAPI& c) { return c.UpdateBinaryFileWithMac(B(), 4, 0x10000); },
         {},
         0},
        {"ReadRecord", [](CZUICAPI& c) { return c.ReadRecord(3, 16, B()); }, {"00 B2 03 04 10"}, 1},
        {"ReadRecord 257 refused", [](CZUICAPI& c) { return c.ReadRecord(3, 257, B()); }, {}, 0},
        {"UpdateRecord",
         [](CZUICAPI& c) { return c.UpdateRecord(2, B(), 3); },
         {"00 DC 02 04 03 AB AB AB"},
         1},
        {"UpdateRecord 251 bytes",
         [](CZUICAPI& c) { return c.UpdateRecord(255, B(), 251); },
         {"00 DC FF 04 FB " + Repeat("AB", 251)},
         1},
        {"UpdateRecord 252 refused",
         [](CZUICAPI& c) { return c.UpdateRecord(1, B(), 252); },
         {},
         0},
        {"UpdateRecord record 257 refused",
         [](CZUICAPI& c) { return c.UpdateRecord(0x101, B(), 1); },
         {},
         0},
        {"UpdateRecord record -1 refused",
         [](CZUICAPI& c) { return c.UpdateRecord(-1, B(), 1); },
         {},
         0},
        {"AppendRecord empty",
         [](CZUICAPI& c) { return c.AppendRecord(nullptr, 0); },
         {"00 E2 00 00 00"},
         1},
        {"AppendRecord",
         [](CZUICAPI& c) { return c.AppendRecord(B(), 2); },
         {"00 E2 00 00 02 AB AB"},
         1},
        {"AppendRecord null data refused",
         [](CZUICAPI& c) { return c.AppendRecord(nullptr, 2); },
         {},
         0},
        {"CreateMF",
         [](CZUICAPI& c) { return c.CreateMF(0x11, 0x22, block8); },
         {"80 E0 00 00 0A 11 22 01 02 03 04 05 06 07 08"},
         1},
        {"CreateMF null block refused",
         [](CZUICAPI& c) { return c.CreateMF(0x11, 0x22, nullptr); },
         {},
         0},
        {"CreateMF with name",
         [](CZUICAPI& c) { return c.CreateMF(0x11, 0x22, block8, name5, 5); },
         {"80 E0 00 01 0F 11 22 01 02 03 04 05 06 07 08 A0 00 00 00 03"},
         1},
        {"CreateMF name of 113",
         [](CZUICAPI& c) { return c.CreateMF(1, 2, block8, B(), 113); },
         {"80 E0 00 01 7B 01 02 01 02 03 04 05 06 07 08 " + Repeat("AB", 113)},
         1},
        {"CreateMF name of 114 refused",
         [](CZUICAPI& c) { return c.CreateMF(1, 2, block8, B(), 114); },
         {},
         0},
        {"CreateADF",
         [](CZUICAPI& c) { return c.CreateADF(fid, 0x11, 0x22, name5, 5); },
         {"80 E0 01 00 09 DF 01 11 22 A0 00 00 00 03"},
         1},
        {"CreateADF name of 16",
         [](CZUICAPI& c) { return c.CreateADF(fid, 1, 2, B(), 16); },
         {"80 E0 01 00 14 DF 01 01 02 " + Repeat("AB", 16)},
         1},
        {"CreateADF name of 4 refused",
         [](CZUICAPI& c) { return c.CreateADF(fid, 1, 2, B(), 4); },
         {},
         0},
        {"CreateADF name of 17 refused",
         [](CZUICAPI& c) { return c.CreateADF(fid, 1, 2, B(), 17); },
         {},
         0},
        {"CreateADF null name refused",
         [](CZUICAPI& c) { return c.CreateADF(fid, 1, 2, nullptr, 5); },
         {},
         0},
        {"CreateEF",
         [](CZUICAPI& c) { return c.CreateEF(ef15, 1, 2, 3, 4, 5); },
         {"80 E0 02 00 07 00 15 01 02 03 04 05"},
         1},
        {"CreateEnd", [](CZUICAPI& c) { return c.CreateEnd(fid); }, {"80 EA DF 01 00"}, 1},
        {"VerifyPin",
         [&](CZUICAPI& c) { return c.VerifyPin(pin.data(), 6, tries); },
         {"00 20 00 00 06 31 32 33 34 35 36"},
         1},
        {"VerifyPin 12 refused", [&](CZUICAPI& c) { return c.VerifyPin(B(), 12, tries); }, {}, 0},
        {"ChangePin",
         [&](CZUICAPI& c) { return c.ChangePin(oldPin.data(), 3, newPin.data(), 3); },
         {"80 5E 01 00 07 11 22 33 FF 44 55 66"},
         1},
        {"ChangePin 10 in all",
         [&](CZUICAPI& c) { return c.ChangePin(B(), 4, B(), 6); },
         {"80 5E 01 00 0B " + Repeat("AB", 4) + " FF " + Repeat("AB", 6)},
         1},
        {"ChangePin 11 in all refused",
         [&](CZUICAPI& c) { return c.ChangePin(B(), 5, B(), 6); },
         {},
         0},
        {"ChangePin huge lengths refused",
         [&](CZUICAPI& c) { return c.ChangePin(B(), ~0UL, B(), 2); },
         {},
         0},
        {"InternalAuthentication",
         [&](CZUICAPI& c) { return c.InternalAuthentication(0x07, block8, resp); },
         {"00 88 00 07 08 01 02 03 04 05 06 07 08"},
         1},
        {"ExternalAuthentication",
         [](CZUICAPI& c) { return c.ExternalAuthentication(0x02, block8); },
         {"00 82 00 02 08 01 02 03 04 05 06 07 08"},
         1},
        {"ExternalAuthentication null refused",
         [](CZUICAPI& c) { return c.ExternalAuthentication(0x02, nullptr); },
         {},
         0},
        {"WriteKey empty",
         [](CZUICAPI& c) { return c.WriteKey(0x01, nullptr, 0); },
         {"80 D4 01 00 00"},
         1},
        {"WriteKey 123",
         [](CZUICAPI& c) { return c.WriteKey(0x01, B(), 123); },
         {"80 D4 01 00 7B " + Repeat("AB", 123)},
         1},
        {"WriteKey 124 refused", [](CZUICAPI& c) { return c.WriteKey(0x01, B(), 124); }, {}, 0},
        {"WriteKeyWithEncryptionAndMAC",
         [](CZUICAPI& c) { return c.WriteKeyWithEncryptionAndMAC(9, B(), 2); },
         {"84 D4 09 00 02 AB AB"},
         1},
    };
    RunCases(cases);
}

TEST(CardApdu, ResponseBuffersHandedToTheReader) {
    RecordingCard<CZUICAPI> card;
    unsigned char resp[32];
    unsigned long respLen = sizeof resp;
    card.Answer(1, "6F 03 84 01 AA");
    EXPECT_EQ(1, card.SelectDF(fid, resp, &respLen));
    EXPECT_TRUE(card.sent[0].hadResp);
    EXPECT_EQ(32u, card.sent[0].respRoom);
    EXPECT_EQ(5u, respLen);

    unsigned char auth[8];
    card.Answer(1, "01 02 03 04 05 06 07 08 09 0A");
    EXPECT_EQ(1, card.InternalAuthentication(1, block8, auth));
    EXPECT_EQ(8u, card.sent[1].respRoom);
    EXPECT_EQ("01 02 03 04 05 06 07 08", ToHex(auth, 8));

    EXPECT_EQ(1, card.ReadRecord(1, 16, resp));
    EXPECT_EQ(16u, card.sent[2].respRoom);
    EXPECT_EQ(1, card.UpdateRecord(1, B(), 1));
    EXPECT_FALSE(card.sent[3].hadResp);
    EXPECT_FALSE(card.sent[3].hadRespLen);
}

TEST(CardApdu, SamCommands) {
    unsigned char resp[16];
    unsigned long respLen = sizeof resp;
    std::vector<Case<CZUSAMIC>> cases = {
        {"InitForDESCrypt no data",
         [](CZUSAMIC& c) { return c.InitForDESCrypt(1, 2, nullptr, 0); },
         {"80 1A 01 02 00"},
         1},
        {"InitForDESCrypt data",
         [](CZUSAMIC& c) { return c.InitForDESCrypt(1, 2, block8, 8); },
         {"80 1A 01 02 08 01 02 03 04 05 06 07 08"},
         1},
        {"InitForDESCrypt null data with length refused",
         [](CZUSAMIC& c) { return c.InitForDESCrypt(1, 2, nullptr, 8); },
         {},
         0},
        {"InitForDESCrypt 252 refused",
         [](CZUSAMIC& c) { return c.InitForDESCrypt(1, 2, B(), 252); },
         {},
         0},
        {"DESCrypt",
         [&](CZUSAMIC& c) { return c.DESCrypt(0x05, block8, 8, resp, &respLen); },
         {"80 FA 05 00 08 01 02 03 04 05 06 07 08"},
         1},
        {"DESCrypt 251",
         [&](CZUSAMIC& c) { return c.DESCrypt(0, B(), 251, resp, &respLen); },
         {"80 FA 00 00 FB " + Repeat("AB", 251)},
         1},
        {"M1AuthAndKeyCalc",
         [&](CZUSAMIC& c) { return c.M1AuthAndKeyCalc(1, 2, B(), 3, resp, &respLen); },
         {"80 FC 01 02 03 AB AB AB"},
         1},
        {"M1AuthAndKeyCalc 252 refused",
         [&](CZUSAMIC& c) { return c.M1AuthAndKeyCalc(1, 2, B(), 252, resp, &respLen); },
         {},
         0},
        {"Diversify",
         [&](CZUSAMIC& c) { return c.Diversify(0x21, 0x03, block8, resp); },
         {"80 1A 21 03 00", "80 FA 00 00 08 01 02 03 04 05 06 07 08", "80 1A 21 03 00",
          "80 FA 00 00 08 FE FD FC FB FA F9 F8 F7"},
         1},
        {"Diversify null factor refused",
         [&](CZUSAMIC& c) { return c.Diversify(1, 2, nullptr, resp); },
         {},
         0},
    };
    RunCases(cases);
}

TEST(CardApdu, DiversifyStopsAtTheFirstRefusal) {
    struct {
        int refusedAt; // 0-based exchange that the SAM refuses
        size_t sent;
        const char* left;
    } cases[] = {{0, 1, "00 00 00 00 00 00 00 00"},
                 {1, 2, "00 00 00 00 00 00 00 00"},
                 {2, 3, "11 11 11 11 11 11 11 11"},
                 {3, 4, "11 11 11 11 11 11 11 11"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusedAt);
        RecordingCard<CZUSAMIC> sam;
        for (int i = 0; i < 4; ++i) {
            bool crypt = (i % 2) == 1;
            sam.Answer(i == c.refusedAt ? 0 : 1,
                       crypt && i != c.refusedAt
                           ? (i == 1 ? "11 11 11 11 11 11 11 11" : "22 22 22 22 22 22 22 22")
                           : "");
        }
        unsigned char key[16] = {0};
        EXPECT_EQ(0, sam.Diversify(1, 2, block8, key));
        EXPECT_EQ(c.sent, sam.sent.size());
        EXPECT_EQ(c.left, ToHex(key, 8));
        EXPECT_EQ("00 00 00 00 00 00 00 00", ToHex(key + 8, 8));
    }
    RecordingCard<CZUSAMIC> sam;
    sam.Answer(1);
    sam.Answer(1, "11 11 11 11 11 11 11 11");
    sam.Answer(1);
    sam.Answer(1, "22 22 22 22 22 22 22 22");
    unsigned char key[17];
    key[16] = 0x5A;
    EXPECT_EQ(1, sam.Diversify(1, 2, block8, key));
    EXPECT_EQ("11 11 11 11 11 11 11 11 22 22 22 22 22 22 22 22", ToHex(key, 16));
    EXPECT_EQ(0x5A, key[16]);
    EXPECT_EQ(8u, sam.sent[1].respRoom);
    EXPECT_EQ(8u, sam.sent[3].respRoom);
}

TEST(CardApdu, SocialSecurityCardCommands) {
    unsigned char resp[8];
    unsigned char body[4] = {0xA1, 0xA2, 0xA3, 0xA4};
    std::vector<Case<CZUSBIC>> cases = {
        {"CreateATRFile",
         [&](CZUSBIC& c) {
             unsigned char id[2] = {0, 1};
             return c.CreateATRFile(id, 2, body, 4);
         },
         {"80 E0 02 00 07 00 01 02 A1 A2 A3 A4"},
         1},
        {"CreateATRFile 120",
         [&](CZUSBIC& c) { return c.CreateATRFile(fid, 2, B(), 120); },
         {"80 E0 02 00 7B DF 01 02 " + Repeat("AB", 120)},
         1},
        {"CreateATRFile 121 refused",
         [&](CZUSBIC& c) { return c.CreateATRFile(fid, 2, B(), 121); },
         {},
         0},
        {"ReadRecord tag and length, none came back",
         [](CZUSBIC& c) { return c.ReadRecord(1, 5, 4, 16, B(), 1); },
         {"00 B2 01 2C 12"},
         0},
        {"ReadRecord plain",
         [](CZUSBIC& c) { return c.ReadRecord(1, 5, 4, 16, B(), 0); },
         {"00 B2 01 2C 10"},
         1},
        {"ReadRecord 254 with tag refused",
         [](CZUSBIC& c) { return c.ReadRecord(1, 5, 4, 254, B(), 1); },
         {},
         0},
        {"ReadRecord 256 refused",
         [](CZUSBIC& c) { return c.ReadRecord(1, 5, 4, 256, B(), 0); },
         {},
         0},
        {"UpdateRecord five",
         [](CZUSBIC& c) { return c.UpdateRecord(2, 6, 4, B(), 2); },
         {"00 DC 02 34 02 AB AB"},
         1},
        {"UpdateRecord five 255",
         [](CZUSBIC& c) { return c.UpdateRecord(2, 6, 4, B(), 255); },
         {"00 DC 02 34 FF " + Repeat("AB", 255)},
         1},
        {"UpdateRecord five 256 refused",
         [](CZUSBIC& c) { return c.UpdateRecord(2, 6, 4, B(), 256); },
         {},
         0},
        {"UpdateRecord six",
         [](CZUSBIC& c) {
             unsigned char d[3] = {7, 8, 9};
             return c.UpdateRecord(0x5F, 2, 6, 4, d, 3);
         },
         {"00 DC 02 34 05 5F 03 07 08 09"},
         1},
        {"UpdateRecord six 253",
         [](CZUSBIC& c) { return c.UpdateRecord(0x5F, 2, 6, 4, B(), 253); },
         {"00 DC 02 34 FF 5F FD " + Repeat("AB", 253)},
         1},
        {"UpdateRecord six 254 refused",
         [](CZUSBIC& c) { return c.UpdateRecord(0x5F, 2, 6, 4, B(), 254); },
         {},
         0},
        {"UpdateRecordWithMAC",
         [](CZUSBIC& c) { return c.UpdateRecordWithMAC(3, 1, 4, B(), 12); },
         {"04 DC 03 0C 0C " + Repeat("AB", 12)},
         1},
        {"InternalAuthentication 16",
         [&](CZUSBIC& c) { return c.InternalAuthentication(B(), 16, resp); },
         {"00 88 00 00 10 " + Repeat("AB", 16)},
         1},
        {"ExternalAuthentication 16",
         [](CZUSBIC& c) { return c.ExternalAuthentication(1, B(), 16); },
         {"00 82 00 01 10 " + Repeat("AB", 16)},
         1},
        {"ExternalAuthentication 256 refused",
         [](CZUSBIC& c) { return c.ExternalAuthentication(1, B(), 256); },
         {},
         0},
        {"base ReadRecord through the base",
         [](CZUSBIC& c) {
             CZUICAPI& b = c;
             return b.ReadRecord(1, 4, B());
         },
         {"00 B2 01 04 04"},
         1},
        {"base InternalAuthentication through the base",
         [&](CZUSBIC& c) {
             CZUICAPI& b = c;
             return b.InternalAuthentication(9, block8, resp);
         },
         {"00 88 00 09 08 01 02 03 04 05 06 07 08"},
         1},
    };
    RunCases(cases);
}

TEST(CardApdu, SocialSecurityReadRecordCopiesNoMoreThanAsked) {
    struct {
        const char* name;
        int tagAndLength;
        unsigned long length;
        const char* answer;
        int result;
        const char* buffer; // first 6 bytes of the caller's buffer afterwards
    } cases[] = {
        {"tag and length stripped", 1, 4, "5F 04 01 02 03 04", 1, "01 02 03 04 EE EE"},
        {"plain record", 0, 4, "01 02 03 04", 1, "01 02 03 04 EE EE"},
        {"card sends more than asked", 0, 4, "01 02 03 04 05 06", 1, "01 02 03 04 EE EE"},
        {"card sends more than asked with tag", 1, 2, "5F 04 01 02 03 04", 1, "01 02 EE EE EE EE"},
        {"answer shorter than tag and length", 1, 4, "5F", 0, "EE EE EE EE EE EE"},
        {"empty answer with tag", 1, 4, "", 0, "EE EE EE EE EE EE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingCard<CZUSBIC> card;
        card.Answer(1, c.answer);
        unsigned char buffer[6];
        std::memset(buffer, 0xEE, sizeof buffer);
        EXPECT_EQ(c.result, card.ReadRecord(1, 1, 4, c.length, buffer, c.tagAndLength));
        EXPECT_EQ(c.buffer, ToHex(buffer, 6));
        EXPECT_EQ(512u, card.sent[0].respRoom);
    }
    RecordingCard<CZUSBIC> refused;
    refused.Answer(0, "01 02");
    unsigned char buffer[2] = {0xEE, 0xEE};
    EXPECT_EQ(0, refused.ReadRecord(1, 1, 4, 2, buffer, 0));
    EXPECT_EQ("EE EE", ToHex(buffer, 2));
}

TEST(CardApdu, SocialSecuritySamCommands) {
    unsigned char resp[32];
    unsigned long respLen = sizeof resp;
    std::vector<Case<CZUSBSAMIC>> cases = {
        {"ExportKey",
         [&](CZUSBSAMIC& c) { return c.ExportKey(1, 2, block8, 8, resp, &respLen); },
         {"80 F6 01 02 08 01 02 03 04 05 06 07 08"},
         1},
        {"ExportKey empty",
         [&](CZUSBSAMIC& c) { return c.ExportKey(1, 2, nullptr, 0, resp, &respLen); },
         {"80 F6 01 02 00"},
         1},
        {"ExportKey 124 refused",
         [&](CZUSBSAMIC& c) { return c.ExportKey(1, 2, B(), 124, resp, &respLen); },
         {},
         0},
        {"InternalAuthentication",
         [&](CZUSBSAMIC& c) { return c.InternalAuthentication(block8, 8, resp); },
         {"00 88 00 00 08 01 02 03 04 05 06 07 08"},
         1},
        {"ExternalAuthentication",
         [](CZUSBSAMIC& c) { return c.ExternalAuthentication(1, B(), 16); },
         {"00 82 00 01 10 " + Repeat("AB", 16)},
         1},
        {"through a SAM pointer the base forms run",
         [](CZUSBSAMIC& c) {
             CZUSAMIC& s = c;
             return s.ExternalAuthentication(4, block8);
         },
         {"00 82 00 04 08 01 02 03 04 05 06 07 08"},
         1},
    };
    RunCases(cases);
    RecordingCard<CZUSBSAMIC> sam;
    sam.Answer(1, "0A 0B 0C");
    respLen = sizeof resp;
    EXPECT_EQ(1, sam.ExportKey(1, 2, nullptr, 0, resp, &respLen));
    EXPECT_EQ(32u, sam.sent[0].respRoom);
    EXPECT_EQ(3u, respLen);
}

} // namespace
