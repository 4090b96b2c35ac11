// What GetSW shows after an operation: the card's status word when a command
// went out, 00 00 when the call was refused before anything was sent.
#include "ZUICAPI.h"
#include "support/ScriptedTransport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

unsigned char ef15[2] = {0x00, 0x15};
unsigned char block8[8] = {1, 2, 3, 4, 5, 6, 7, 8};
unsigned char key16[16] = {0};
std::vector<unsigned char> big(300, 0xAB);

struct Refusal {
    const char* name;
    std::function<int(CZUICAPI&)> op;
};

// A card that has just answered 90 00 to SELECT, so that a stale status word
// would show.
std::shared_ptr<ScriptedTransport> OpenAfterSuccess(CZUICAPI& card) {
    auto t = std::make_shared<ScriptedTransport>();
    t->Expect("00 A4 02 00 02 00 15", "90 00");
    EXPECT_EQ(1, ZUOpenTransport(card, t));
    EXPECT_EQ(1, card.SelectEF(ef15, nullptr, nullptr));
    EXPECT_EQ(0x9000, card.GetSW());
    return t;
}

TEST(CardRefusalSw, RefusedBeforeSendingReadsNoAnswer) {
    unsigned char buf[8];
    int tries = 7;
    std::vector<Refusal> cases = {
        {"SelectDF name past the buffer",
         [](CZUICAPI& c) { return c.SelectDF(big.data(), 28, nullptr, nullptr); }},
        {"SelectEF null id", [](CZUICAPI& c) { return c.SelectEF(nullptr, nullptr, nullptr); }},
        {"ReadBinaryFile null buffer", [](CZUICAPI& c) { return c.ReadBinaryFile(nullptr, 4, 0); }},
        {"ReadBinaryFile past 16-bit offsets",
         [&](CZUICAPI& c) { return c.ReadBinaryFile(buf, 4, 0x10000); }},
        {"UpdateBinaryFile null data",
         [](CZUICAPI& c) { return c.UpdateBinaryFile(nullptr, 4, 0); }},
        {"UpdateBinaryFileWithMac offset",
         [](CZUICAPI& c) { return c.UpdateBinaryFileWithMac(block8, 4, 0x10000); }},
        {"UpdateBinaryFileWithMac too long",
         [](CZUICAPI& c) { return c.UpdateBinaryFileWithMac(big.data(), 12, 0); }},
        {"AppendRecord too long", [](CZUICAPI& c) { return c.AppendRecord(big.data(), 252); }},
        {"UpdateRecord 256", [](CZUICAPI& c) { return c.UpdateRecord(256, block8, 1); }},
        {"ReadRecord Le 257", [&](CZUICAPI& c) { return c.ReadRecord(1, 257, buf); }},
        {"VerifyPin too long", [&](CZUICAPI& c) { return c.VerifyPin(big.data(), 12, tries); }},
        {"ChangePin too long", [](CZUICAPI& c) { return c.ChangePin(block8, 6, block8, 6); }},
        {"GenerateRandom null buffer", [](CZUICAPI& c) { return c.GenerateRandom(nullptr, 4); }},
        {"WriteKey too long", [](CZUICAPI& c) { return c.WriteKey(0x01, big.data(), 124); }},
        {"CreateMF null block", [](CZUICAPI& c) { return c.CreateMF(0x00, 0x00, nullptr); }},
        {"CreateADF short name",
         [](CZUICAPI& c) { return c.CreateADF(ef15, 0x00, 0x00, block8, 4); }},
        {"CreateEF null id",
         [](CZUICAPI& c) { return c.CreateEF(nullptr, 0x01, 0x00, 0x10, 0x00, 0x00); }},
        {"CreateEnd null id", [](CZUICAPI& c) { return c.CreateEnd(nullptr); }},
        {"UpdateBinaryWithSoftwareMac too long",
         [](CZUICAPI& c) { return UpdateBinaryWithSoftwareMac(&c, key16, big.data(), 248, 0); }},
    };
    for (const Refusal& r : cases) {
        SCOPED_TRACE(r.name);
        CZUICAPI card;
        std::shared_ptr<ScriptedTransport> t = OpenAfterSuccess(card);
        int sentBefore = t->transmitted;
        EXPECT_EQ(0, r.op(card));
        EXPECT_EQ(sentBefore, t->transmitted); // nothing reached the card
        EXPECT_EQ(0x0000, card.GetSW());
    }
    EXPECT_EQ(7, tries); // a refused VerifyPin leaves the count alone
}

TEST(CardRefusalSw, NoReaderReadsNoAnswer) {
    CZUICAPI card;
    unsigned char buf[4];
    EXPECT_EQ(0, card.ReadBinaryFile(buf, 4, 0));
    EXPECT_EQ(0x0000, card.GetSW());
}

TEST(CardRefusalSw, SentCommandShowsTheCardsAnswer) {
    struct Row {
        const char* answer;
        int result;
        unsigned short sw;
    };
    for (const Row& row :
         std::vector<Row>{{"90 00", 1, 0x9000}, {"6A 82", 0, 0x6A82}, {"69 82", 0, 0x6982}}) {
        SCOPED_TRACE(row.answer);
        CZUICAPI card;
        auto t = std::make_shared<ScriptedTransport>();
        t->Expect("80 E0 02 00 07 00 15 01 00 10 00 00", row.answer);
        ASSERT_EQ(1, ZUOpenTransport(card, t));
        EXPECT_EQ(row.result, card.CreateEF(ef15, 0x01, 0x00, 0x10, 0x00, 0x00));
        EXPECT_EQ(row.sw, card.GetSW());
        EXPECT_TRUE(t->Done());
    }
}

} // namespace
