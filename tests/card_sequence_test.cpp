// Operations that send more than one command or read the status word:
// chunked binary transfers, EraseMF's fallbacks, VerifyPin's tries,
// GenerateRandom's steps.
#include "common/Bytes.h"
#include "support/RecordingCard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> Cmds;

TEST(CardSequence, BinaryTransferPositions) {
    struct {
        const char* name;
        unsigned long length, offset;
        Cmds reads; // the READ BINARY headers sent; empty: refused
    } cases[] = {
        {"three chunks", 300, 0x10, {"00 B0 00 10 80", "00 B0 00 90 80", "00 B0 01 10 2C"}},
        {"exactly one chunk", 128, 0, {"00 B0 00 00 80"}},
        {"nothing", 0, 0, {}},
        {"last chunk starts at 7F80", 200, 0x7F00, {"00 B0 7F 00 80", "00 B0 7F 80 48"}},
        {"a chunk would start at 8000", 257, 0x7F00, {}},
        {"offset past 16 bits", 4, 0x12345, {}},
        {"short-identifier offset keeps P1", 200, 0x8500, {"00 B0 85 00 80", "00 B0 85 80 48"}},
        {"short-identifier offset would change P1", 300, 0x8500, {}},
        {"short-identifier at FFFF", 1, 0xFFFF, {"00 B0 FF FF 01"}},
        {"absurd length", ~0UL, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes buffer(c.length > 100000 ? 16 : c.length + 1, 0xEE);
        RecordingCard<CZUICAPI> card;
        for (size_t i = 0; i < c.reads.size(); ++i) {
            size_t le = FromHex(c.reads[i])[4];
            card.Answer(1, ToHex(Bytes(le, 0x5A)));
        }
        int expected = (c.reads.empty() && c.length != 0) ? 0 : 1;
        EXPECT_EQ(expected, card.ReadBinaryFile(buffer.data(), c.length, c.offset));
        EXPECT_EQ(c.reads, card.SentHex());

        RecordingCard<CZUICAPI> writer;
        EXPECT_EQ(expected, writer.UpdateBinaryFile(buffer.data(), c.length, c.offset));
        ASSERT_EQ(c.reads.size(), writer.sent.size());
        for (size_t i = 0; i < c.reads.size(); ++i) {
            Bytes header = FromHex(c.reads[i]);
            header[1] = 0xD6;
            EXPECT_EQ(ToHex(header), ToHex(writer.sent[i].apdu.data(), 5));
            EXPECT_EQ(5u + header[4], writer.sent[i].apdu.size());
            EXPECT_FALSE(writer.sent[i].hadResp);
        }
    }
}

TEST(CardSequence, ReadBinaryPlacesChunksAndStopsAtAShortOne) {
    RecordingCard<CZUICAPI> card;
    std::string first, second;
    for (int i = 0; i < 128; ++i) {
        first += "11 ";
    }
    for (int i = 0; i < 10; ++i) {
        second += "22 ";
    }
    card.Answer(1, first);
    card.Answer(1, second); // 10 bytes where 128 were asked
    Bytes buffer(300, 0xEE);
    EXPECT_EQ(0, card.ReadBinaryFile(buffer.data(), 300, 0));
    EXPECT_EQ(2u, card.sent.size()); // the third chunk is not asked for
    EXPECT_EQ(0x11, buffer[127]);
    EXPECT_EQ(0x22, buffer[137]);
    EXPECT_EQ(0xEE, buffer[138]);
    EXPECT_EQ(128u, card.sent[0].respRoom);

    RecordingCard<CZUICAPI> refusing;
    refusing.Answer(1, first);
    refusing.Answer(0);
    EXPECT_EQ(0, refusing.ReadBinaryFile(buffer.data(), 300, 0));
    EXPECT_EQ(2u, refusing.sent.size());
}

TEST(CardSequence, ChunkedTransfersCountOnlyExactlyOne) {
    RecordingCard<CZUICAPI> card;
    card.Answer(2);
    Bytes buffer(300);
    EXPECT_EQ(0, card.ReadBinaryFile(buffer.data(), 200, 0));
    EXPECT_EQ(1u, card.sent.size());

    RecordingCard<CZUICAPI> writer;
    writer.Answer(1);
    writer.Answer(2);
    EXPECT_EQ(2, writer.UpdateBinaryFile(buffer.data(), 300, 0));
    EXPECT_EQ(2u, writer.sent.size());
    EXPECT_EQ(0, writer.UpdateBinaryFile(nullptr, 3, 0));
    EXPECT_EQ(0, writer.ReadBinaryFile(nullptr, 3, 0));
    EXPECT_EQ(2u, writer.sent.size());
}

TEST(CardSequence, UpdateBinarySplitsAt128) {
    RecordingCard<CZUICAPI> card;
    Bytes data(129);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i);
    }
    EXPECT_EQ(1, card.UpdateBinaryFile(data.data(), 129, 0));
    ASSERT_EQ(2u, card.sent.size());
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 128),
              Bytes(card.sent[0].apdu.begin() + 5, card.sent[0].apdu.end()));
    EXPECT_EQ("00 D6 00 80 01 80", card.sent[1].Hex());
}

TEST(CardSequence, EraseMFFallbacks) {
    const std::string erase = "80 0E 00 00 02 3F 00";
    const std::string key1 = "80 D8 02 00 10 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF";
    const std::string key2 = "80 D8 02 00 10 FF EE DD CC BB AA 99 88 77 66 55 44 33 22 11 00";
    struct {
        const char* name;
        std::vector<int> answers;
        Cmds sent;
        int result;
    } cases[] = {
        {"erase accepted", {1}, {erase}, 1},
        {"first key", {0, 1, 1}, {erase, key1, erase}, 1},
        {"second key", {0, 0, 1, 1}, {erase, key1, key2, erase}, 1},
        {"both keys refused", {0, 0, 0}, {erase, key1, key2}, 0},
        {"key accepted, erase refused", {0, 1, 0}, {erase, key1, erase}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingCard<CZUICAPI> card;
        for (int a : c.answers) {
            card.Answer(a);
        }
        EXPECT_EQ(c.result, card.EraseMF());
        EXPECT_EQ(c.sent, card.SentHex());
    }
}

TEST(CardSequence, VerifyPinRemainingTries) {
    // GetSW reads the reader's state, so drive a real reader with a script.
    struct {
        const char* sw;
        int result;
        int tries; // starting value 42 when untouched
    } cases[] = {
        {"63 C3", 0, 3},  {"63 C0", 0, 0},  {"63 CF", 0, 15}, {"69 83", 0, 0},
        {"6A 88", 0, -1}, {"63 00", 0, 42}, {"90 00", 1, 42}, {"67 00", 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sw);
        CZUReader reader;
        class OneAnswer : public CZUTransport {
          public:
            Bytes answer;
            bool Transmit(const unsigned char*, size_t, unsigned char* out, size_t* len) override {
                std::memcpy(out, answer.data(), answer.size());
                *len = answer.size();
                return true;
            }
            bool Reset(unsigned char*, size_t, size_t*) override { return false; }
            bool IsCardPresent() override { return true; }
        };
        auto t = std::make_shared<OneAnswer>();
        t->answer = FromHex(c.sw);
        ZUOpenTransport(reader, t);
        CZUICAPI card(&reader);
        int tries = 42;
        unsigned char pin[4] = {1, 2, 3, 4};
        EXPECT_EQ(c.result, card.VerifyPin(pin, 4, tries));
        EXPECT_EQ(c.tries, tries);
    }
}

TEST(CardSequence, GenerateRandomSteps) {
    struct {
        const char* name;
        unsigned long length;
        std::vector<std::string> answers; // data of each GET CHALLENGE answer
        Cmds sent;
        std::vector<unsigned long> rooms;
        int result;
        std::string buffer; // the first length + 1 bytes afterwards
    } cases[] = {
        {"4 bytes", 4, {"01 02 03 04"}, {"00 84 00 00 04"}, {4}, 1, "01 02 03 04 EE"},
        {"8 bytes",
         8,
         {"01 02 03 04 05 06 07 08"},
         {"00 84 00 00 08"},
         {8},
         1,
         "01 02 03 04 05 06 07 08 EE"},
        {"20 bytes, surplus dropped",
         20,
         {"01 01 01 01 01 01 01 01", "02 02 02 02 02 02 02 02", "03 03 03 03 03 03 03 03"},
         {"00 84 00 00 08", "00 84 00 00 08", "00 84 00 00 08"},
         {8, 8, 8},
         1,
         "01 01 01 01 01 01 01 01 02 02 02 02 02 02 02 02 03 03 03 03 EE"},
        {"short answers shrink the room",
         16,
         {"01 02 03 04", "05 06 07 08", "09 0A 0B 0C", "0D 0E 0F 10"},
         {"00 84 00 00 08", "00 84 00 00 08", "00 84 00 00 08", "00 84 00 00 08"},
         {8, 4, 4, 4},
         1,
         "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 EE"},
        {"zero bytes", 0, {""}, {"00 84 00 00 00"}, {0}, 1, "EE"},
        {"success without data ends it",
         8,
         {""},
         {"00 84 00 00 08"},
         {8},
         0,
         "EE EE EE EE EE EE EE EE EE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingCard<CZUICAPI> card;
        for (const std::string& a : c.answers) {
            card.Answer(1, a);
        }
        Bytes buffer(c.length + 1, 0xEE);
        EXPECT_EQ(c.result, card.GenerateRandom(buffer.data(), c.length));
        EXPECT_EQ(c.sent, card.SentHex());
        for (size_t i = 0; i < c.rooms.size() && i < card.sent.size(); ++i) {
            EXPECT_EQ(c.rooms[i], card.sent[i].respRoom);
        }
        EXPECT_EQ(c.buffer, ToHex(buffer));
    }
    RecordingCard<CZUICAPI> failing;
    failing.Answer(1, "01 02 03 04 05 06 07 08");
    failing.Answer(0);
    unsigned char buffer[16] = {0};
    EXPECT_EQ(0, failing.GenerateRandom(buffer, 16));
    EXPECT_EQ(0x08, buffer[7]);
    EXPECT_EQ(0, failing.GenerateRandom(nullptr, 4));
}

TEST(CardSequence, DerivedCardsDispatchThroughTheirOwnTable) {
    RecordingCard<CZUSBIC> card;
    CZUReader* asReader = &card;
    unsigned char cmd[5] = {0x00, 0x84, 0x00, 0x00, 0x08};
    EXPECT_EQ(1, asReader->SendCommand(cmd, 5, nullptr, nullptr));
    EXPECT_EQ(1u, card.sent.size());
    CZUReader* heap = new RecordingCard<CZUSBSAMIC>();
    delete heap; // the card's destructor, then the reader's: clean under ASan
}

} // namespace
