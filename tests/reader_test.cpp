// The reader layer: GET RESPONSE and re-send handling, status words, answer
// capacity, transport failures and the shared connection's lifetime.
#include "support/ScriptedTransport.h"
#include "ZUICAPI.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

std::shared_ptr<ScriptedTransport> Open(CZUReader& reader) {
    auto t = std::make_shared<ScriptedTransport>();
    EXPECT_EQ(1, ZUOpenTransport(reader, t));
    return t;
}

int Send(CZUReader& reader, const std::string& hex, unsigned char* resp, unsigned long* respLen) {
    Bytes cmd = FromHex(hex);
    return reader.SendCommand(cmd.data(), cmd.size(), resp, respLen);
}

TEST(Reader, AnswerHandling) {
    struct Step {
        std::string command, answer;
    };
    struct {
        const char* name;
        std::string command;
        std::vector<Step> script;
        unsigned long room;
        int result;
        unsigned short sw;
        std::string data; // what lands in resp
    } cases[] = {
        {"plain success",
         "00 B0 00 00 02",
         {{"00 B0 00 00 02", "01 02 90 00"}},
         16,
         1,
         0x9000,
         "01 02"},
        {"refusal keeps SW",
         "00 A4 00 00 02 3F 01",
         {{"00 A4 00 00 02 3F 01", "6A 82"}},
         16,
         0,
         0x6A82,
         ""},
        {"63 Cx is a refusal",
         "00 20 00 00 01 31",
         {{"00 20 00 00 01 31", "63 C2"}},
         0,
         0,
         0x63C2,
         ""},
        {"69 83 is a refusal",
         "00 20 00 00 01 31",
         {{"00 20 00 00 01 31", "69 83"}},
         0,
         0,
         0x6983,
         ""},
        {"warning 62 83 is a refusal",
         "00 A4 00 00 02 3F 00",
         {{"00 A4 00 00 02 3F 00", "62 83"}},
         0,
         0,
         0x6283,
         ""},
        {"61 XX fetched with GET RESPONSE",
         "00 88 00 00 02 AA BB",
         {{"00 88 00 00 02 AA BB", "61 04"}, {"00 C0 00 00 04", "01 02 03 04 90 00"}},
         8,
         1,
         0x9000,
         "01 02 03 04"},
        {"61 XX chained",
         "00 88 00 00 01 AA",
         {{"00 88 00 00 01 AA", "01 61 02"},
          {"00 C0 00 00 02", "02 03 61 01"},
          {"00 C0 00 00 01", "04 90 00"}},
         8,
         1,
         0x9000,
         "01 02 03 04"},
        {"61 XX then refusal",
         "00 88 00 00 01 AA",
         {{"00 88 00 00 01 AA", "61 04"}, {"00 C0 00 00 04", "6A 86"}},
         8,
         0,
         0x6A86,
         ""},
        {"6C XX resends with Le",
         "00 B0 00 00 00",
         {{"00 B0 00 00 00", "6C 03"}, {"00 B0 00 00 03", "07 08 09 90 00"}},
         8,
         1,
         0x9000,
         "07 08 09"},
        {"6C XX on a command with data appends Le",
         "00 88 00 00 01 AA",
         {{"00 88 00 00 01 AA", "6C 02"}, {"00 88 00 00 01 AA 02", "0A 0B 90 00"}},
         8,
         1,
         0x9000,
         "0A 0B"},
        {"6C XX on a command that carries its Le replaces it",
         "00 88 00 00 01 AA 00",
         {{"00 88 00 00 01 AA 00", "6C 02"}, {"00 88 00 00 01 AA 02", "0A 0B 90 00"}},
         8,
         1,
         0x9000,
         "0A 0B"},
        {"6C XX only once",
         "00 B0 00 00 00",
         {{"00 B0 00 00 00", "6C 03"}, {"00 B0 00 00 03", "6C 04"}},
         8,
         0,
         0x6C04,
         ""},
        {"room limits the copy",
         "00 B0 00 00 06",
         {{"00 B0 00 00 06", "01 02 03 04 05 06 90 00"}},
         4,
         1,
         0x9000,
         "01 02 03 04"},
        {"room limits a chain",
         "00 88 00 00 01 AA",
         {{"00 88 00 00 01 AA", "01 02 61 02"}, {"00 C0 00 00 02", "03 04 90 00"}},
         3,
         1,
         0x9000,
         "01 02 03"},
        {"answer without status word",
         "00 B0 00 00 01",
         {{"00 B0 00 00 01", "90"}},
         4,
         0,
         0x0000,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CZUReader reader;
        auto t = Open(reader);
        for (const Step& s : c.script) {
            t->Expect(s.command, s.answer);
        }
        unsigned char resp[20];
        std::memset(resp, 0xEE, sizeof resp);
        unsigned long respLen = c.room;
        EXPECT_EQ(c.result, Send(reader, c.command, resp, &respLen));
        EXPECT_EQ(c.sw, reader.GetSW());
        EXPECT_TRUE(t->Done());
        if (c.result == 1) {
            EXPECT_EQ(c.data, ToHex(resp, respLen));
        }
        EXPECT_LE(respLen, c.room);
        EXPECT_EQ(0xEE, resp[c.room]); // nothing beyond the room offered
    }
}

TEST(Reader, NullResponsePointersDiscard) {
    CZUReader reader;
    auto t = Open(reader);
    t->Expect("00 B0 00 00 02", "01 02 90 00");
    t->Expect("00 B0 00 00 02", "01 02 90 00");
    unsigned long respLen = 2;
    EXPECT_EQ(1, Send(reader, "00 B0 00 00 02", nullptr, &respLen));
    EXPECT_EQ(0u, respLen);
    unsigned char resp[2];
    EXPECT_EQ(1, Send(reader, "00 B0 00 00 02", resp, nullptr));
}

TEST(Reader, ChainThatNeverEndsIsCutOff) {
    CZUReader reader;
    class Endless : public CZUTransport {
      public:
        int count = 0;
        bool Transmit(const unsigned char*, size_t, unsigned char* answer, size_t* len) override {
            ++count;
            answer[0] = 0x61;
            answer[1] = 0x10;
            *len = 2;
            return true;
        }
        bool Reset(unsigned char*, size_t, size_t*) override { return false; }
        bool IsCardPresent() override { return true; }
    };
    auto t = std::make_shared<Endless>();
    ZUOpenTransport(reader, t);
    unsigned char resp[8];
    unsigned long respLen = sizeof resp;
    EXPECT_EQ(0, Send(reader, "00 B0 00 00 01", resp, &respLen));
    EXPECT_LT(t->count, 1000);
}

TEST(Reader, TransportFailuresGiveZero) {
    CZUReader unopened;
    unsigned long respLen = 4;
    unsigned char resp[4];
    EXPECT_EQ(0, Send(unopened, "00 84 00 00 04", resp, &respLen));
    EXPECT_EQ(0u, respLen);
    EXPECT_EQ(0, unopened.IsCardExist());
    EXPECT_EQ(0, unopened.Reset(resp, &respLen));
    EXPECT_EQ(0, unopened.Close());

    CZUReader reader;
    auto t = Open(reader);
    t->Expect("00 84 00 00 04", "6A 82");
    t->ExpectFailure("00 84 00 00 04");
    EXPECT_EQ(0, Send(reader, "00 84 00 00 04", nullptr, nullptr));
    EXPECT_EQ(0x6A82, reader.GetSW());
    respLen = 4;
    EXPECT_EQ(0, Send(reader, "00 84 00 00 04", resp, &respLen));
    EXPECT_EQ(0x0000, reader.GetSW());
    EXPECT_EQ(0u, respLen);
    // Malformed commands never reach the transport.
    EXPECT_EQ(0, reader.SendCommand(nullptr, 5, nullptr, nullptr));
    unsigned char tooLong[300] = {0};
    EXPECT_EQ(0, reader.SendCommand(tooLong, sizeof tooLong, nullptr, nullptr));
    EXPECT_EQ(0, reader.SendCommand(tooLong, 3, nullptr, nullptr));
    EXPECT_TRUE(t->Done());
}

TEST(Reader, ResetAndPresence) {
    CZUReader reader;
    auto t = Open(reader);
    unsigned char atr[8];
    unsigned long atrLen = sizeof atr;
    EXPECT_EQ(1, reader.Reset(atr, &atrLen));
    EXPECT_EQ("3B 02 14 50", ToHex(atr, atrLen));
    atrLen = 2;
    EXPECT_EQ(1, reader.Reset(atr, &atrLen));
    EXPECT_EQ(2u, atrLen);
    EXPECT_EQ(1, reader.IsCardExist());
    t->present = false;
    EXPECT_EQ(0, reader.IsCardExist());
    atrLen = sizeof atr;
    EXPECT_EQ(0, reader.Reset(atr, &atrLen));
    EXPECT_EQ(0u, atrLen);
}

TEST(Reader, CopiesShareOneConnection) {
    auto t = std::make_shared<ScriptedTransport>();
    auto original = std::make_unique<CZUReader>();
    ZUOpenTransport(*original, t);
    CZUICAPI card(original.get());
    CZUSAMIC copy;
    copy = *original;
    CZUICAPI copied(card);
    original.reset(); // the copies keep the connection alive
    t->Expect("00 84 00 00 04", "01 02 03 04 90 00");
    t->Expect("00 84 00 00 04", "01 02 03 04 90 00");
    unsigned char challenge[4];
    EXPECT_EQ(1, card.GenerateRandom(challenge, 4));
    EXPECT_EQ(1, copy.GenerateRandom(challenge, 4));
    EXPECT_FALSE(t->closed);
    EXPECT_EQ(1, copied.Close());
    EXPECT_TRUE(t->closed);
    EXPECT_EQ(0, card.GenerateRandom(challenge, 4)); // closed for every copy
    EXPECT_EQ(0, copy.GenerateRandom(challenge, 4));
    EXPECT_TRUE(t->Done());

    auto last = std::make_shared<ScriptedTransport>();
    {
        CZUReader a;
        ZUOpenTransport(a, last);
        CZUReader b(a);
        CZUReader c;
        c = b;
    }
    EXPECT_TRUE(last->closed); // released with the last object
}

TEST(Reader, NullReaderGivesAnUnopenedCard) {
    CZUICAPI card(nullptr);
    CZUSBIC sbic(nullptr);
    CZUSAMIC sam(nullptr);
    CZUSBSAMIC sbsam(nullptr);
    unsigned char id[2] = {0x3F, 0x00};
    EXPECT_EQ(0, card.SelectDF(id, nullptr, nullptr));
    EXPECT_EQ(0, sbic.SelectDF(id, nullptr, nullptr));
    EXPECT_EQ(0, sam.SelectDF(id, nullptr, nullptr));
    EXPECT_EQ(0, sbsam.SelectDF(id, nullptr, nullptr));
}

std::shared_ptr<CZUTransport> MakeScripted(const char* name, int) {
    auto t = std::make_shared<ScriptedTransport>();
    t->Expect("00 A4 00 00 02 3F 00", "90 00");
    t->atr = FromHex(name + 5); // "test:<hex atr>"
    return t;
}

TEST(Reader, RegisteredInProcessReaders) {
    ASSERT_EQ(1, ZURegisterReader("test:", MakeScripted));
    CZUICAPI card;
    char name[] = "test:3B 00";
    ASSERT_EQ(1, card.Open(name, ZU_PROTOCOL_ANY));
    unsigned char id[2] = {0x3F, 0x00};
    EXPECT_EQ(1, card.SelectDF(id, nullptr, nullptr));
    unsigned char atr[4];
    unsigned long atrLen = sizeof atr;
    EXPECT_EQ(1, card.Reset(atr, &atrLen));
    EXPECT_EQ("3B 00", ToHex(atr, atrLen));
    ZURegisterReader("test:", nullptr);
    EXPECT_EQ(0, card.Open(name, ZU_PROTOCOL_ANY)); // gone now
    char unregistered[] = "simNobody";
    ZURegisterReader("sim", nullptr);
    EXPECT_EQ(0, card.Open(unregistered, ZU_PROTOCOL_ANY));
}

} // namespace
