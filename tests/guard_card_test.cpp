// Every operation of the four card classes that writes into a caller's
// buffer, with that buffer ending on a page followed by an inaccessible one,
// against a card that answers with the longest answer a short APDU allows
// (256 data bytes), or more through GET RESPONSE: one byte written past what
// was asked faults, and the bytes written are exactly the card's. The
// operations that only read caller data and the two secure writes read
// their inputs from such buffers too, at each operation's largest length.
#include "support/GuardedBuffer.h"
#include "support/RecordingCard.h"
#include "support/ScriptedTransport.h"
#include "ZUICAPI.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

// n bytes seed, seed + 1, ... (mod 256), as hex.
std::string Seq(size_t n, unsigned seed) {
    Bytes bytes;
    for (size_t i = 0; i < n; ++i) {
        bytes.push_back(static_cast<unsigned char>(seed + i));
    }
    return ToHex(bytes);
}

// n bytes of the guarded buffer's fill: not written.
std::string Unwritten(size_t n) {
    return ToHex(Bytes(n, CGuardedBuffer::FILL));
}

std::string Cat(std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& part : parts) {
        if (!part.empty()) {
            out += (out.empty() ? "" : " ") + part;
        }
    }
    return out;
}

// The card's answer: n data bytes and a status word.
std::string Answer(size_t n, unsigned seed, const std::string& sw = "90 00") {
    return Cat({Seq(n, seed), sw});
}

typedef std::vector<std::pair<std::string, std::string>> Script;

template <class Card> struct GuardCase {
    const char* name;
    size_t room; // the caller's buffer
    Script script;
    std::function<int(Card&, unsigned char* buffer, unsigned long& respLen)> op;
    int result;
    std::string written; // the whole buffer afterwards
    long respLen;        // what the operation reports through respLen, or -1
};

template <class Card> void RunGuarded(const std::vector<GuardCase<Card>>& cases) {
    for (const GuardCase<Card>& c : cases) {
        SCOPED_TRACE(c.name);
        Card card;
        auto transport = std::make_shared<ScriptedTransport>();
        for (const auto& step : c.script) {
            transport->Expect(step.first, step.second);
        }
        ASSERT_EQ(1, ZUOpenTransport(card, transport));
        CGuardedBuffer buffer(c.room);
        unsigned long respLen = c.room;
        EXPECT_EQ(c.result, c.op(card, buffer.Data(), respLen));
        EXPECT_EQ(c.written, ToHex(buffer.Contents()));
        if (c.respLen >= 0) {
            EXPECT_EQ(static_cast<unsigned long>(c.respLen), respLen);
        }
        EXPECT_TRUE(transport->Done());
    }
}

TEST(GuardPages, GeneralCardAnswers) {
    std::vector<GuardCase<CZUICAPI>> cases = {
        {"ReadBinaryFile of 300 bytes, each chunk answered with 256",
         300,
         {{"00 B0 00 00 80", Answer(256, 0x10)},
          {"00 B0 00 80 80", Answer(256, 0x20)},
          {"00 B0 01 00 2C", Answer(256, 0x30)}},
         [](CZUICAPI& c, unsigned char* b, unsigned long&) { return c.ReadBinaryFile(b, 300, 0); },
         1,
         Cat({Seq(128, 0x10), Seq(128, 0x20), Seq(44, 0x30)}),
         -1},
        {"ReadBinaryFile chunk continued by GET RESPONSE",
         128,
         {{"00 B0 00 10 80", Cat({Seq(100, 0x40), "61 FF"})},
          {"00 C0 00 00 FF", Answer(255, 0x50)}},
         [](CZUICAPI& c, unsigned char* b, unsigned long&) {
             return c.ReadBinaryFile(b, 128, 0x10);
         },
         1,
         Cat({Seq(100, 0x40), Seq(28, 0x50)}),
         -1},
        {"ReadRecord of 256",
         256,
         {{"00 B2 03 04 00", Answer(256, 0x60)}},
         [](CZUICAPI& c, unsigned char* b, unsigned long&) { return c.ReadRecord(3, 256, b); },
         1,
         Seq(256, 0x60),
         -1},
        {"ReadRecord of 16 answered with 512 through GET RESPONSE",
         16,
         {{"00 B2 03 04 10", Cat({Seq(256, 0x70), "61 00"})},
          {"00 C0 00 00 00", Answer(256, 0x80)}},
         [](CZUICAPI& c, unsigned char* b, unsigned long&) { return c.ReadRecord(3, 16, b); },
         1,
         Seq(16, 0x70),
         -1},
        {"GenerateRandom of 8 answered with 256",
         8,
         {{"00 84 00 00 08", Answer(256, 0x90)}},
         [](CZUICAPI& c, unsigned char* b, unsigned long&) { return c.GenerateRandom(b, 8); },
         1,
         Seq(8, 0x90),
         -1},
        {"GenerateRandom of 20 drops the surplus of the last answer",
         20,
         {{"00 84 00 00 08", Answer(8, 0xA0)},
          {"00 84 00 00 08", Answer(8, 0xB0)},
          {"00 84 00 00 08", Answer(8, 0xC0)}},
         [](CZUICAPI& c, unsigned char* b, unsigned long&) { return c.GenerateRandom(b, 20); },
         1,
         Cat({Seq(8, 0xA0), Seq(8, 0xB0), Seq(4, 0xC0)}),
         -1},
        {"GenerateRandom of 5 answered with 256",
         5,
         {{"00 84 00 00 05", Answer(256, 0xD0)}},
         [](CZUICAPI& c, unsigned char* b, unsigned long&) { return c.GenerateRandom(b, 5); },
         1,
         Seq(5, 0xD0),
         -1},
        {"GenerateRandom of 0 writes nothing",
         0,
         {{"00 84 00 00 00", Answer(256, 0xD0)}},
         [](CZUICAPI& c, unsigned char* b, unsigned long&) { return c.GenerateRandom(b, 0); },
         1,
         "",
         -1},
        {"InternalAuthentication answered with 256",
         8,
         {{"00 88 00 07 08 01 02 03 04 05 06 07 08", Answer(256, 0xE0)}},
         [](CZUICAPI& c, unsigned char* b, unsigned long&) {
             CGuardedBuffer challenge(FromHex("01 02 03 04 05 06 07 08"));
             return c.InternalAuthentication(7, challenge.Data(), b);
         },
         1,
         Seq(8, 0xE0),
         -1},
        {"SelectDF by a 27-byte name, room 32, answer continued",
         32,
         {{Cat({"00 A4 04 00 1B", Seq(27, 0x01)}), Cat({Seq(256, 0x11), "61 20"})},
          {"00 C0 00 00 20", Answer(32, 0x22)}},
         [](CZUICAPI& c, unsigned char* b, unsigned long& n) {
             CGuardedBuffer name(FromHex(Seq(27, 0x01)));
             return c.SelectDF(name.Data(), 27, b, &n);
         },
         1,
         Seq(32, 0x11),
         32},
        {"SelectDF by identifier with no room",
         0,
         {{"00 A4 00 00 02 3F 00", Answer(256, 0x33)}},
         [](CZUICAPI& c, unsigned char* b, unsigned long& n) {
             CGuardedBuffer id(FromHex("3F 00"));
             return c.SelectDF(id.Data(), b, &n);
         },
         1,
         "",
         0},
        {"SelectEF with room 256",
         256,
         {{"00 A4 02 00 02 00 15", Answer(256, 0x44)}},
         [](CZUICAPI& c, unsigned char* b, unsigned long& n) {
             CGuardedBuffer id(FromHex("00 15"));
             return c.SelectEF(id.Data(), b, &n);
         },
         1,
         Seq(256, 0x44),
         256},
    };
    RunGuarded(cases);
}

TEST(GuardPages, SamAnswers) {
    const std::string factor = "01 02 03 04 05 06 07 08";
    const std::string complement = "FE FD FC FB FA F9 F8 F7";
    std::vector<GuardCase<CZUSAMIC>> cases = {
        {"DESCrypt answered with 256, room 8",
         8,
         {{Cat({"80 FA 01 00 08", Seq(8, 0x11)}), Answer(256, 0x55)}},
         [](CZUSAMIC& c, unsigned char* b, unsigned long& n) {
             CGuardedBuffer data(FromHex(Seq(8, 0x11)));
             return c.DESCrypt(0x01, data.Data(), 8, b, &n);
         },
         1,
         Seq(8, 0x55),
         8},
        {"M1AuthAndKeyCalc with 251 bytes, answered with 256",
         256,
         {{Cat({"80 FC 01 02 FB", Seq(251, 0)}), Answer(256, 0x66)}},
         [](CZUSAMIC& c, unsigned char* b, unsigned long& n) {
             CGuardedBuffer data(FromHex(Seq(251, 0)));
             return c.M1AuthAndKeyCalc(0x01, 0x02, data.Data(), 251, b, &n);
         },
         1,
         Seq(256, 0x66),
         256},
        {"Diversify answered with 256 and with a chain",
         16,
         {{"80 1A 01 02 00", "90 00"},
          {Cat({"80 FA 00 00 08", factor}), Answer(256, 0x77)},
          {"80 1A 01 02 00", "90 00"},
          {Cat({"80 FA 00 00 08", complement}), Cat({Seq(256, 0x88), "61 08"})},
          {"00 C0 00 00 08", Answer(8, 0x99)}},
         [factor](CZUSAMIC& c, unsigned char* b, unsigned long&) {
             CGuardedBuffer f(FromHex(factor));
             return c.Diversify(0x01, 0x02, f.Data(), b);
         },
         1,
         Cat({Seq(8, 0x77), Seq(8, 0x88)}),
         -1},
        {"Diversify whose second DESCrypt is refused keeps the left half",
         16,
         {{"80 1A 01 02 00", "90 00"},
          {Cat({"80 FA 00 00 08", factor}), Answer(256, 0x77)},
          {"80 1A 01 02 00", "90 00"},
          {Cat({"80 FA 00 00 08", complement}), "6A 82"}},
         [factor](CZUSAMIC& c, unsigned char* b, unsigned long&) {
             CGuardedBuffer f(FromHex(factor));
             return c.Diversify(0x01, 0x02, f.Data(), b);
         },
         0,
         Cat({Seq(8, 0x77), Unwritten(8)}),
         -1},
    };
    RunGuarded(cases);
}

TEST(GuardPages, SocialSecuritySamAnswers) {
    std::vector<GuardCase<CZUSBSAMIC>> cases = {
        {"InternalAuthentication with 255 bytes, answered with 256",
         8,
         {{Cat({"00 88 00 00 FF", Seq(255, 0)}), Answer(256, 0xAA)}},
         [](CZUSBSAMIC& c, unsigned char* b, unsigned long&) {
             CGuardedBuffer challenge(FromHex(Seq(255, 0)));
             return c.InternalAuthentication(challenge.Data(), 255, b);
         },
         1,
         Seq(8, 0xAA),
         -1},
        {"ExportKey with 123 bytes, room 64, answered with 512",
         64,
         {{Cat({"80 F6 01 02 7B", Seq(123, 0)}), Cat({Seq(256, 0xBB), "61 00"})},
          {"00 C0 00 00 00", Answer(256, 0xCC)}},
         [](CZUSBSAMIC& c, unsigned char* b, unsigned long& n) {
             CGuardedBuffer data(FromHex(Seq(123, 0)));
             return c.ExportKey(0x01, 0x02, data.Data(), 123, b, &n);
         },
         1,
         Seq(64, 0xBB),
         64},
    };
    RunGuarded(cases);
}

TEST(GuardPages, SocialSecurityCardAnswers) {
    std::vector<GuardCase<CZUSBIC>> cases = {
        {"ReadRecord of 255 answered with 256",
         255,
         {{"00 B2 01 2C FF", Answer(256, 0xDD)}},
         [](CZUSBIC& c, unsigned char* b, unsigned long&) {
             return c.ReadRecord(1, 5, 4, 255, b, 0);
         },
         1,
         Seq(255, 0xDD),
         -1},
        {"ReadRecord of 253 with tag and length answered with 256",
         253,
         {{"00 B2 01 2C FF", Answer(256, 0xDD)}},
         [](CZUSBIC& c, unsigned char* b, unsigned long&) {
             return c.ReadRecord(1, 5, 4, 253, b, 1);
         },
         1,
         Seq(253, 0xDF),
         -1},
        {"ReadRecord of 16 with tag and length answered with 512",
         16,
         {{"00 B2 01 2C 12", Cat({Seq(256, 0x10), "61 00"})},
          {"00 C0 00 00 00", Answer(256, 0x20)}},
         [](CZUSBIC& c, unsigned char* b, unsigned long&) {
             return c.ReadRecord(1, 5, 4, 16, b, 1);
         },
         1,
         Seq(16, 0x12),
         -1},
        {"ReadRecord with tag and length answered with one byte",
         16,
         {{"00 B2 01 2C 12", "5F 90 00"}},
         [](CZUSBIC& c, unsigned char* b, unsigned long&) {
             return c.ReadRecord(1, 5, 4, 16, b, 1);
         },
         0,
         Unwritten(16),
         -1},
        {"InternalAuthentication with 16 bytes, answered with 256",
         8,
         {{Cat({"00 88 00 00 10", Seq(16, 0)}), Answer(256, 0x30)}},
         [](CZUSBIC& c, unsigned char* b, unsigned long&) {
             CGuardedBuffer challenge(FromHex(Seq(16, 0)));
             return c.InternalAuthentication(challenge.Data(), 16, b);
         },
         1,
         Seq(8, 0x30),
         -1},
    };
    RunGuarded(cases);
}

// Operations that only read the caller's data, at their largest lengths:
// the data end on a page, so one byte read too many faults.
TEST(GuardPages, InputsReadNoFurtherThanTheirLength) {
    struct Case {
        const char* name;
        size_t length; // the guarded input
        std::function<int(unsigned char* data, std::vector<std::string>& sent)> op;
        std::vector<size_t> sentLengths;
    };
    auto on = [](auto& card, std::vector<std::string>& sent, int result) {
        sent = card.SentHex();
        return result;
    };
    std::vector<Case> cases = {
        {"UpdateBinaryFile of 300",
         300,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUICAPI> c;
             return on(c, s, c.UpdateBinaryFile(d, 300, 0));
         },
         {133, 133, 49}},
        {"UpdateBinaryFileWithMac of 11",
         11,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUICAPI> c;
             return on(c, s, c.UpdateBinaryFileWithMac(d, 11, 0));
         },
         {16}},
        {"AppendRecord of 251",
         251,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUICAPI> c;
             return on(c, s, c.AppendRecord(d, 251));
         },
         {256}},
        {"UpdateRecord of 251",
         251,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUICAPI> c;
             return on(c, s, c.UpdateRecord(1, d, 251));
         },
         {256}},
        {"VerifyPin of 11",
         11,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUICAPI> c;
             int tries = 0;
             return on(c, s, c.VerifyPin(d, 11, tries));
         },
         {16}},
        {"ChangePin of 4 and 6",
         10,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUICAPI> c;
             CGuardedBuffer oldPin(FromHex("31 32 33 34"));
             return on(c, s, c.ChangePin(oldPin.Data(), 4, d + 4, 6));
         },
         {16}},
        {"WriteKey of 123",
         123,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUICAPI> c;
             return on(c, s, c.WriteKey(1, d, 123));
         },
         {128}},
        {"WriteKeyWithEncryptionAndMAC of 123",
         123,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUICAPI> c;
             return on(c, s, c.WriteKeyWithEncryptionAndMAC(1, d, 123));
         },
         {128}},
        {"CreateMF with a name of 113",
         113,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUICAPI> c;
             CGuardedBuffer block(FromHex(Seq(8, 0)));
             return on(c, s, c.CreateMF(1, 2, block.Data(), d, 113));
         },
         {128}},
        {"CreateADF with a name of 16",
         16,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUICAPI> c;
             CGuardedBuffer id(FromHex("DF 01"));
             return on(c, s, c.CreateADF(id.Data(), 1, 2, d, 16));
         },
         {25}},
        {"ExternalAuthentication of 8",
         8,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUICAPI> c;
             return on(c, s, c.ExternalAuthentication(1, d));
         },
         {13}},
        {"InitForDESCrypt of 251",
         251,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUSAMIC> c;
             return on(c, s, c.InitForDESCrypt(1, 2, d, 251));
         },
         {256}},
        {"CreateATRFile with a body of 120",
         120,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUSBIC> c;
             CGuardedBuffer id(FromHex("00 01"));
             return on(c, s, c.CreateATRFile(id.Data(), 2, d, 120));
         },
         {128}},
        {"UpdateRecord of 255",
         255,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUSBIC> c;
             return on(c, s, c.UpdateRecord(1, 5, 4, d, 255));
         },
         {260}},
        {"UpdateRecord with tag of 253",
         253,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUSBIC> c;
             return on(c, s, c.UpdateRecord(0x5F, 1, 5, 4, d, 253));
         },
         {260}},
        {"UpdateRecordWithMAC of 255",
         255,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUSBIC> c;
             return on(c, s, c.UpdateRecordWithMAC(1, 5, 4, d, 255));
         },
         {260}},
        {"social-security ExternalAuthentication of 255",
         255,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUSBSAMIC> c;
             return on(c, s, c.ExternalAuthentication(1, d, 255));
         },
         {260}},
        {"UpdateBinaryWithSoftwareMac of 247",
         247,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUICAPI> c;
             c.Answer(1, Seq(8, 0x40)); // more challenge than asked for
             CGuardedBuffer key(FromHex(Seq(16, 0x01)));
             return on(c, s, UpdateBinaryWithSoftwareMac(&c, key.Data(), d, 247, 0));
         },
         {5, 256}},
        {"UpdateBinaryWithSoftwareMac of nothing",
         0,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUICAPI> c;
             c.Answer(1, Seq(4, 0x40));
             CGuardedBuffer key(FromHex(Seq(16, 0x01)));
             return on(c, s, UpdateBinaryWithSoftwareMac(&c, key.Data(), d, 0, 0));
         },
         {5, 9}},
        {"WriteSAMKeyWithSoftwareCalc of 19",
         19,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUSAMIC> c;
             c.Answer(1, Seq(8, 0x40));
             CGuardedBuffer key(FromHex(Seq(16, 0x01)));
             return on(c, s, WriteSAMKeyWithSoftwareCalc(&c, key.Data(), d, 19));
         },
         {5, 33}},
        {"WriteSAMKeyWithSoftwareCalc of nothing",
         0,
         [&](unsigned char* d, std::vector<std::string>& s) {
             RecordingCard<CZUSAMIC> c;
             c.Answer(1, Seq(4, 0x40));
             CGuardedBuffer key(FromHex(Seq(16, 0x01)));
             return on(c, s, WriteSAMKeyWithSoftwareCalc(&c, key.Data(), d, 0));
         },
         {5, 17}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CGuardedBuffer data(FromHex(Seq(c.length, 0x61)));
        std::vector<std::string> sent;
        EXPECT_EQ(1, c.op(data.Data(), sent));
        ASSERT_EQ(c.sentLengths.size(), sent.size());
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(c.sentLengths[i], FromHex(sent[i]).size());
        }
    }
}

} // namespace
