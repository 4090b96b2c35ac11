// Every operation of the four card classes that writes into a caller's
// buffer, with that buffer ending on a page followed by an inaccessible one,
// against a card that answers with the longest answer a short APDU allows
// (256 data bytes), or more through GET RESPONSE: one byte written past what
// was asked faults, and the bytes written are exactly the card's. The
// operations that only read caller data and the two secure writes read
// their inputs from such buffers too, at each operation's largest length.
#include "support/GuardHex.h"
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

// The card's answer: n data bytes and a status word.
std::string Answer(size_t n, unsigned seed, const std::string& sw = "90 00") {
    return Cat({Seq(n, seed), sw});
}

// A guarded copy of these bytes, kept until the program ends.
unsigned char* Guarded(const std::string& hex) {
    static std::vector<std::unique_ptr<CGuardedBuffer>> kept;
    kept.push_back(std::make_unique<CGuardedBuffer>(FromHex(hex)));
    return kept.back()->Data();
}

typedef std::vector<std::pair<std::string, std::string>> Script;

// op, on a card of class Card that talks to a scripted card, writes into a
// guarded buffer of `room` bytes: its result, the whole buffer afterwards,
// and what it reports through respLen (unless that is -1).
template <class Card>
void Writes(const char* name, size_t room, int result, long respLen, const std::string& written,
            const Script& script,
            const std::function<int(Card&, unsigned char* buffer, unsigned long& respLen)>& op) {
    SCOPED_TRACE(name);
    Card card;
    auto transport = std::make_shared<ScriptedTransport>();
    for (const auto& step : script) {
        transport->Expect(step.first, step.second);
    }
    ASSERT_EQ(1, ZUOpenTransport(card, transport));
    CGuardedBuffer buffer(room);
    unsigned long reported = room;
    EXPECT_EQ(result, op(card, buffer.Data(), reported));
    EXPECT_EQ(written, ToHex(buffer.Contents()));
    if (respLen >= 0) {
        EXPECT_EQ(static_cast<unsigned long>(respLen), reported);
    }
    EXPECT_TRUE(transport->Done());
}

TEST(GuardPages, GeneralCardAnswers) {
    const auto writes = &Writes<CZUICAPI>;
    writes("ReadBinaryFile of 300, each chunk answered with 256", 300, 1, -1,
           Cat({Seq(128, 0x10), Seq(128, 0x20), Seq(44, 0x30)}),
           {{"00 B0 00 00 80", Answer(256, 0x10)},
            {"00 B0 00 80 80", Answer(256, 0x20)},
            {"00 B0 01 00 2C", Answer(256, 0x30)}},
           [](auto& c, auto b, auto&) { return c.ReadBinaryFile(b, 300, 0); });
    writes("ReadBinaryFile chunk continued by GET RESPONSE", 128, 1, -1,
           Cat({Seq(100, 0x40), Seq(28, 0x50)}),
           {{"00 B0 00 10 80", Answer(100, 0x40, "61 FF")}, {"00 C0 00 00 FF", Answer(255, 0x50)}},
           [](auto& c, auto b, auto&) { return c.ReadBinaryFile(b, 128, 0x10); });
    writes("ReadRecord of 256", 256, 1, -1, Seq(256, 0x60), {{"00 B2 03 04 00", Answer(256, 0x60)}},
           [](auto& c, auto b, auto&) { return c.ReadRecord(3, 256, b); });
    writes("ReadRecord of 16 answered with 512", 16, 1, -1, Seq(16, 0x70),
           {{"00 B2 03 04 10", Answer(256, 0x70, "61 00")}, {"00 C0 00 00 00", Answer(256, 0x80)}},
           [](auto& c, auto b, auto&) { return c.ReadRecord(3, 16, b); });
    writes("GenerateRandom of 8 answered with 256", 8, 1, -1, Seq(8, 0x90),
           {{"00 84 00 00 08", Answer(256, 0x90)}},
           [](auto& c, auto b, auto&) { return c.GenerateRandom(b, 8); });
    writes("GenerateRandom of 20 drops the surplus of the last answer", 20, 1, -1,
           Cat({Seq(8, 0xA0), Seq(8, 0xB0), Seq(4, 0xC0)}),
           {{"00 84 00 00 08", Answer(8, 0xA0)},
            {"00 84 00 00 08", Answer(8, 0xB0)},
            {"00 84 00 00 08", Answer(8, 0xC0)}},
           [](auto& c, auto b, auto&) { return c.GenerateRandom(b, 20); });
    writes("GenerateRandom of 0 writes nothing", 0, 1, -1, "",
           {{"00 84 00 00 00", Answer(256, 0xD0)}},
           [](auto& c, auto b, auto&) { return c.GenerateRandom(b, 0); });
    writes("InternalAuthentication answered with 256", 8, 1, -1, Seq(8, 0xE0),
           {{Cat({"00 88 00 07 08", Seq(8, 1)}), Answer(256, 0xE0)}}, [](auto& c, auto b, auto&) {
               return c.InternalAuthentication(7, Guarded(Seq(8, 1)), b);
           });
    writes("SelectDF by a 27-byte name, room 32, answer continued", 32, 1, 32, Seq(32, 0x11),
           {{Cat({"00 A4 04 00 1B", Seq(27, 0x01)}), Answer(256, 0x11, "61 20")},
            {"00 C0 00 00 20", Answer(32, 0x22)}},
           [](auto& c, auto b, auto& n) { return c.SelectDF(Guarded(Seq(27, 1)), 27, b, &n); });
    writes("SelectDF by identifier with no room", 0, 1, 0, "",
           {{"00 A4 00 00 02 3F 00", Answer(256, 0x33)}},
           [](auto& c, auto b, auto& n) { return c.SelectDF(Guarded("3F 00"), b, &n); });
    writes("SelectEF with room 256", 256, 1, 256, Seq(256, 0x44),
           {{"00 A4 02 00 02 00 15", Answer(256, 0x44)}},
           [](auto& c, auto b, auto& n) { return c.SelectEF(Guarded("00 15"), b, &n); });
}

TEST(GuardPages, SamAnswers) {
    const auto writes = &Writes<CZUSAMIC>;
    const std::string factor = "80 FA 00 00 08 01 02 03 04 05 06 07 08";
    const std::string complement = "80 FA 00 00 08 FE FD FC FB FA F9 F8 F7";
    const std::string derive = "80 1A 01 02 00";
    auto diversify = [](auto& c, auto b, auto&) {
        return c.Diversify(1, 2, Guarded(Seq(8, 1)), b);
    };
    writes("DESCrypt answered with 256, room 8", 8, 1, 8, Seq(8, 0x55),
           {{Cat({"80 FA 01 00 08", Seq(8, 0x11)}), Answer(256, 0x55)}},
           [](auto& c, auto b, auto& n) { return c.DESCrypt(1, Guarded(Seq(8, 0x11)), 8, b, &n); });
    writes("M1AuthAndKeyCalc with 251 bytes, answered with 256", 256, 1, 256, Seq(256, 0x66),
           {{Cat({"80 FC 01 02 FB", Seq(251, 0)}), Answer(256, 0x66)}},
           [](auto& c, auto b, auto& n) {
               return c.M1AuthAndKeyCalc(1, 2, Guarded(Seq(251, 0)), 251, b, &n);
           });
    writes("Diversify answered with 256 and with a chain", 16, 1, -1,
           Cat({Seq(8, 0x77), Seq(8, 0x88)}),
           {{derive, "90 00"},
            {factor, Answer(256, 0x77)},
            {derive, "90 00"},
            {complement, Answer(256, 0x88, "61 08")},
            {"00 C0 00 00 08", Answer(8, 0x99)}},
           diversify);
    writes(
        "Diversify whose second DESCrypt is refused keeps the left half", 16, 0, -1,
        Cat({Seq(8, 0x77), Unwritten(8)}),
        {{derive, "90 00"}, {factor, Answer(256, 0x77)}, {derive, "90 00"}, {complement, "6A 82"}},
        diversify);
}

TEST(GuardPages, SocialSecuritySamAnswers) {
    const auto writes = &Writes<CZUSBSAMIC>;
    writes("InternalAuthentication with 255 bytes, answered with 256", 8, 1, -1, Seq(8, 0xAA),
           {{Cat({"00 88 00 00 FF", Seq(255, 0)}), Answer(256, 0xAA)}}, [](auto& c, auto b, auto&) {
               return c.InternalAuthentication(Guarded(Seq(255, 0)), 255, b);
           });
    writes("ExportKey with 123 bytes, room 64, answered with 512", 64, 1, 64, Seq(64, 0xBB),
           {{Cat({"80 F6 01 02 7B", Seq(123, 0)}), Answer(256, 0xBB, "61 00")},
            {"00 C0 00 00 00", Answer(256, 0xCC)}},
           [](auto& c, auto b, auto& n) {
               return c.ExportKey(1, 2, Guarded(Seq(123, 0)), 123, b, &n);
           });
}

TEST(GuardPages, SocialSecurityCardAnswers) {
    const auto writes = &Writes<CZUSBIC>;
    writes("ReadRecord of 255 answered with 256", 255, 1, -1, Seq(255, 0xDD),
           {{"00 B2 01 2C FF", Answer(256, 0xDD)}},
           [](auto& c, auto b, auto&) { return c.ReadRecord(1, 5, 4, 255, b, 0); });
    writes("ReadRecord of 253 with tag and length answered with 256", 253, 1, -1, Seq(253, 0xDF),
           {{"00 B2 01 2C FF", Answer(256, 0xDD)}},
           [](auto& c, auto b, auto&) { return c.ReadRecord(1, 5, 4, 253, b, 1); });
    writes("ReadRecord of 16 with tag and length answered with 512", 16, 1, -1, Seq(16, 0x12),
           {{"00 B2 01 2C 12", Answer(256, 0x10, "61 00")}, {"00 C0 00 00 00", Answer(256, 0x20)}},
           [](auto& c, auto b, auto&) { return c.ReadRecord(1, 5, 4, 16, b, 1); });
    writes("ReadRecord with tag and length answered with one byte", 16, 0, -1, Unwritten(16),
           {{"00 B2 01 2C 12", "5F 90 00"}},
           [](auto& c, auto b, auto&) { return c.ReadRecord(1, 5, 4, 16, b, 1); });
    writes("InternalAuthentication with 16 bytes, answered with 256", 8, 1, -1, Seq(8, 0x30),
           {{Cat({"00 88 00 00 10", Seq(16, 0)}), Answer(256, 0x30)}}, [](auto& c, auto b, auto&) {
               return c.InternalAuthentication(Guarded(Seq(16, 0)), 16, b);
           });
}

// op, on a recording card of class Card whose first answer carries `answer`,
// reads `length` bytes from a guarded buffer and sends commands of these
// lengths.
template <class Card, class Op>
void Reads(const char* name, size_t length, const std::vector<size_t>& sentLengths, Op op,
           const std::string& answer = "") {
    SCOPED_TRACE(std::string(name) + " of " + std::to_string(length));
    CGuardedBuffer data(FromHex(Seq(length, 0x61)));
    RecordingCard<Card> card;
    card.Answer(1, answer);
    EXPECT_EQ(1, op(card, data.Data()));
    std::vector<size_t> lengths;
    for (const SentCommand& sent : card.sent) {
        lengths.push_back(sent.apdu.size());
    }
    EXPECT_EQ(sentLengths, lengths);
}

// Operations that only read the caller's data, at their largest lengths:
// the data end on a page, so one byte read too many faults.
TEST(GuardPages, InputsReadNoFurtherThanTheirLength) {
    Reads<CZUICAPI>("UpdateBinaryFile", 300, {133, 133, 49},
                    [](auto& c, auto d) { return c.UpdateBinaryFile(d, 300, 0); });
    Reads<CZUICAPI>("UpdateBinaryFileWithMac", 11, {16},
                    [](auto& c, auto d) { return c.UpdateBinaryFileWithMac(d, 11, 0); });
    Reads<CZUICAPI>("AppendRecord", 251, {256},
                    [](auto& c, auto d) { return c.AppendRecord(d, 251); });
    Reads<CZUICAPI>("UpdateRecord", 251, {256},
                    [](auto& c, auto d) { return c.UpdateRecord(1, d, 251); });
    Reads<CZUICAPI>("VerifyPin", 11, {16}, [](auto& c, auto d) {
        int tries = 0;
        return c.VerifyPin(d, 11, tries);
    });
    Reads<CZUICAPI>("ChangePin, old 4 and new 6", 10, {16}, [](auto& c, auto d) {
        return c.ChangePin(Guarded("31 32 33 34"), 4, d + 4, 6);
    });
    Reads<CZUICAPI>("WriteKey", 123, {128}, [](auto& c, auto d) { return c.WriteKey(1, d, 123); });
    Reads<CZUICAPI>("WriteKeyWithEncryptionAndMAC", 123, {128},
                    [](auto& c, auto d) { return c.WriteKeyWithEncryptionAndMAC(1, d, 123); });
    Reads<CZUICAPI>("CreateMF with a name", 113, {128},
                    [](auto& c, auto d) { return c.CreateMF(1, 2, Guarded(Seq(8, 0)), d, 113); });
    Reads<CZUICAPI>("CreateADF with a name", 16, {25},
                    [](auto& c, auto d) { return c.CreateADF(Guarded("DF 01"), 1, 2, d, 16); });
    Reads<CZUICAPI>("ExternalAuthentication", 8, {13},
                    [](auto& c, auto d) { return c.ExternalAuthentication(1, d); });
    Reads<CZUSAMIC>("InitForDESCrypt", 251, {256},
                    [](auto& c, auto d) { return c.InitForDESCrypt(1, 2, d, 251); });
    Reads<CZUSBIC>("CreateATRFile with a body", 120, {128},
                   [](auto& c, auto d) { return c.CreateATRFile(Guarded("00 01"), 2, d, 120); });
    Reads<CZUSBIC>("UpdateRecord", 255, {260},
                   [](auto& c, auto d) { return c.UpdateRecord(1, 5, 4, d, 255); });
    Reads<CZUSBIC>("UpdateRecord with tag", 253, {260},
                   [](auto& c, auto d) { return c.UpdateRecord(0x5F, 1, 5, 4, d, 253); });
    Reads<CZUSBIC>("UpdateRecordWithMAC", 255, {260},
                   [](auto& c, auto d) { return c.UpdateRecordWithMAC(1, 5, 4, d, 255); });
    Reads<CZUSBSAMIC>("ExternalAuthentication", 255, {260},
                      [](auto& c, auto d) { return c.ExternalAuthentication(1, d, 255); });
    // The secure writes: more challenge than asked for, then exactly that.
    const std::string key = Seq(16, 1);
    Reads<CZUICAPI>(
        "UpdateBinaryWithSoftwareMac", 247, {5, 256},
        [&](auto& c, auto d) { return UpdateBinaryWithSoftwareMac(&c, Guarded(key), d, 247, 0); },
        Seq(8, 0x40));
    Reads<CZUICAPI>(
        "UpdateBinaryWithSoftwareMac", 0, {5, 9},
        [&](auto& c, auto d) { return UpdateBinaryWithSoftwareMac(&c, Guarded(key), d, 0, 0); },
        Seq(4, 0x40));
    Reads<CZUSAMIC>(
        "WriteSAMKeyWithSoftwareCalc", 19, {5, 33},
        [&](auto& c, auto d) { return WriteSAMKeyWithSoftwareCalc(&c, Guarded(key), d, 19); },
        Seq(8, 0x40));
    Reads<CZUSAMIC>(
        "WriteSAMKeyWithSoftwareCalc", 0, {5, 17},
        [&](auto& c, auto d) { return WriteSAMKeyWithSoftwareCalc(&c, Guarded(key), d, 0); },
        Seq(4, 0x40));
}

} // namespace
