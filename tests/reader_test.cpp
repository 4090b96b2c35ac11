// The reader layer: the answer handling of SendCommand (status words, GET
// RESPONSE, re-send with Le, room), what it refuses unsent, the shared
// connection's lifetime, and holding the card against other threads,
// connections and copies. Runs under ThreadSanitizer too.
#include "support/ScriptedTransport.h"
#include "ZUICAPI.h"
#include "ZUICSIM.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

char* Name(const char* name) {
    return const_cast<char*>(name);
}

std::shared_ptr<ScriptedTransport> Open(CZUReader& reader) {
    auto t = std::make_shared<ScriptedTransport>();
    EXPECT_EQ(1, ZUOpenTransport(reader, t));
    return t;
}

int Send(CZUReader& reader, const std::string& hex, unsigned char* resp, unsigned long* respLen) {
    Bytes cmd = FromHex(hex);
    return reader.SendCommand(cmd.data(), cmd.size(), resp, respLen);
}

TEST(Reader, AnswerTable) {
    struct {
        const char* command;
        const char* script; // "command = answer; ..." (answer "!": the exchange fails)
        unsigned long room;
        int result;
        unsigned short sw;
        const char* data; // what lands in resp
    } rows[] = {
        {"00 B0 00 00 02", "00 B0 00 00 02 = 01 02 90 00", 16, 1, 0x9000, "01 02"},
        {"00 A4 00 00 02 3F 01", "00 A4 00 00 02 3F 01 = 6A 82", 16, 0, 0x6A82, ""},
        // Wrong PIN and blocked PIN are refusals; so is a warning.
        {"00 20 00 00 01 31", "00 20 00 00 01 31 = 63 C2", 0, 0, 0x63C2, ""},
        {"00 20 00 00 01 31", "00 20 00 00 01 31 = 69 83", 0, 0, 0x6983, ""},
        {"00 A4 00 00 00", "00 A4 00 00 00 = 62 83", 4, 0, 0x6283, ""},
        // GET RESPONSE, chained, with data in every part; a refusal ends it.
        {"00 88 00 00 01 AA",
         "00 88 00 00 01 AA = 01 61 02; 00 C0 00 00 02 = 02 03 61 01;"
         "00 C0 00 00 01 = 04 90 00",
         8, 1, 0x9000, "01 02 03 04"},
        {"00 88 00 00 01 AA", "00 88 00 00 01 AA = 01 61 04; 00 C0 00 00 04 = 6A 86", 8, 0, 0x6A86,
         "01"},
        {"00 88 00 00 01 AA", "00 88 00 00 01 AA = 01 61 04; 00 C0 00 00 04 = !", 8, 0, 0, "01"},
        // 6C XX: Le in P3, behind the data, or in place of the Le carried; once.
        {"00 B0 00 00 00", "00 B0 00 00 00 = 6C 03; 00 B0 00 00 03 = 07 08 09 90 00", 8, 1, 0x9000,
         "07 08 09"},
        {"00 88 00 00 01 AA", "00 88 00 00 01 AA = 6C 02; 00 88 00 00 01 AA 02 = 0A 0B 90 00", 8, 1,
         0x9000, "0A 0B"},
        {"00 88 00 00 01 AA 00", "00 88 00 00 01 AA 00 = 6C 02; 00 88 00 00 01 AA 02 = 0A 0B 90 00",
         8, 1, 0x9000, "0A 0B"},
        {"00 B0 00 00 00", "00 B0 00 00 00 = 6C 03; 00 B0 00 00 03 = 6C 04", 8, 0, 0x6C04, ""},
        {"00 B0 00 00 00", "00 B0 00 00 00 = 6C 03; 00 B0 00 00 03 = !", 8, 0, 0, ""},
        // No more than the room, over a chain too.
        {"00 B0 00 00 06", "00 B0 00 00 06 = 01 02 03 04 05 06 90 00", 4, 1, 0x9000, "01 02 03 04"},
        {"00 88 00 00 01 AA", "00 88 00 00 01 AA = 01 02 61 02; 00 C0 00 00 02 = 03 04 90 00", 3, 1,
         0x9000, "01 02 03"},
        // An answer shorter than a status word, and no answer at all.
        {"00 B0 00 00 01", "00 B0 00 00 01 = 90", 4, 0, 0, ""},
        {"00 84 00 00 04", "00 84 00 00 04 = !", 4, 0, 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        CZUReader reader;
        auto t = Open(reader);
        std::string script = row.script;
        for (size_t at = 0; at < script.size();) {
            size_t end = std::min(script.find(';', at), script.size());
            size_t eq = script.find('=', at);
            std::string answer = script.substr(eq + 1, end - eq - 1);
            if (answer.find('!') != std::string::npos) {
                t->ExpectFailure(script.substr(at, eq - at));
            } else {
                t->Expect(script.substr(at, eq - at), answer);
            }
            at = end + 1;
        }
        Bytes resp(row.room); // exactly the room: ASan sees any byte beyond
        unsigned long respLen = row.room;
        EXPECT_EQ(row.result, Send(reader, row.command, resp.data(), &respLen));
        EXPECT_EQ(row.sw, reader.GetSW());
        EXPECT_EQ(row.data, ToHex(resp.data(), respLen));
        EXPECT_TRUE(t->Done());
    }
}

TEST(Reader, CommandsRefusedUnsentAndNullResponsePointers) {
    CZUReader reader;
    auto t = Open(reader);
    Bytes longest(5 + 255, 0x11); // header, Lc and 255 data bytes: the limit
    longest[4] = 0xFF;
    t->Expect(ToHex(longest), "90 00").Expect("00 B0 00 00 02", "01 02 90 00");
    t->Expect("00 B0 00 00 02", "6A 82");
    EXPECT_EQ(1, reader.SendCommand(longest.data(), longest.size(), nullptr, nullptr));
    unsigned long respLen = 2;
    EXPECT_EQ(1, Send(reader, "00 B0 00 00 02", nullptr, &respLen)); // data discarded
    EXPECT_EQ(0u, respLen);
    unsigned char resp[2];
    EXPECT_EQ(0, Send(reader, "00 B0 00 00 02", resp, nullptr));
    EXPECT_EQ(0x6A82, reader.GetSW());
    // Refused before sending: the status word reads 0000 afterwards.
    longest.push_back(0x00);
    EXPECT_EQ(0, reader.SendCommand(longest.data(), longest.size(), nullptr, nullptr));
    EXPECT_EQ(0, reader.GetSW());
    EXPECT_EQ(0, reader.SendCommand(nullptr, 5, nullptr, nullptr));
    respLen = 2;
    EXPECT_EQ(0, reader.SendCommand(longest.data(), 4, resp, &respLen));
    EXPECT_EQ(0u, respLen);
    EXPECT_TRUE(t->Done());

    CZUReader unopened;
    EXPECT_EQ(0, Send(unopened, "00 84 00 00 04", resp, &respLen));
    EXPECT_EQ(0, unopened.IsCardExist());
    EXPECT_EQ(0, unopened.Close());
    respLen = 2;
    EXPECT_EQ(0, unopened.Reset(resp, &respLen));
    EXPECT_EQ(0u, respLen);
    EXPECT_EQ(0, ZUOpenTransport(unopened, nullptr));
    CZUTransaction none(unopened); // an unopened reader: neither held nor failed
    EXPECT_FALSE(none.Held() || none.Failed());
}

// A card that answers 61 01 to everything up to transmission `last`, and
// 90 00 with a byte then: the reader fetches at most 256 times.
class CChainingTransport : public ScriptedTransport {
  public:
    explicit CChainingTransport(int lastAnswer) : last(lastAnswer) {}
    bool Transmit(const unsigned char*, size_t, unsigned char* answer, size_t* len) override {
        const Bytes reply = FromHex(++transmitted == last ? "5A 90 00" : "61 01");
        *len = std::copy(reply.begin(), reply.end(), answer) - answer;
        return true;
    }
    int last;
};

TEST(Reader, GetResponseCutOffAfter256) {
    for (int last : {257, 258}) {
        CZUReader reader;
        auto t = std::make_shared<CChainingTransport>(last);
        ZUOpenTransport(reader, t);
        unsigned char resp[300];
        unsigned long respLen = sizeof resp;
        EXPECT_EQ(last == 257 ? 1 : 0, Send(reader, "00 B0 00 00 01", resp, &respLen)) << last;
        EXPECT_EQ(257, t->transmitted);
    }
}

TEST(Reader, ResetPresenceAndSlot) {
    CZUReader reader;
    auto t = Open(reader);
    unsigned char atr[8];
    unsigned long atrLen = sizeof atr;
    EXPECT_EQ(1, reader.Reset(atr, &atrLen));
    EXPECT_EQ("3B 02 14 50", ToHex(atr, atrLen));
    atrLen = 2;
    EXPECT_EQ(1, reader.Reset(atr, &atrLen));
    EXPECT_EQ(2u, atrLen);
    atrLen = sizeof atr; // no buffer: nothing copied
    EXPECT_EQ(1, reader.Reset(nullptr, &atrLen));
    EXPECT_EQ(0u, atrLen);
    EXPECT_EQ(1, reader.IsCardExist());
    t->present = false;
    EXPECT_EQ(0, reader.IsCardExist());
    atrLen = sizeof atr;
    EXPECT_EQ(0, reader.Reset(atr, &atrLen));
    EXPECT_EQ(0u, atrLen);
    // A transport without slots, used by this object alone: left unopened.
    CZUReader lone;
    ZUOpenTransport(lone, std::make_shared<ScriptedTransport>());
    lone.ChangeSlot(1);
    EXPECT_EQ(0, lone.IsCardExist());
}

TEST(Reader, CopiesShareOneConnectionUntilCloseOrTheLastGoes) {
    auto t = std::make_shared<ScriptedTransport>();
    auto original = std::make_unique<CZUReader>();
    ZUOpenTransport(*original, t);
    CZUICAPI card(original.get());
    CZUSAMIC assigned;
    assigned = *original;
    CZUICAPI copied(card);
    original.reset(); // the copies keep the connection alive
    t->Expect("00 84 00 00 04", "01 02 03 04 90 00").Expect("00 84 00 00 04", "6A 82");
    unsigned char challenge[4];
    EXPECT_EQ(1, card.GenerateRandom(challenge, 4));
    EXPECT_EQ(0, assigned.GenerateRandom(challenge, 4));
    CZUICAPI card2(&assigned); // the status word comes along
    EXPECT_EQ(0x6A82, card2.GetSW());
    EXPECT_FALSE(t->closed);
    EXPECT_EQ(1, copied.Close());
    EXPECT_TRUE(t->closed);
    EXPECT_EQ(0, card.GenerateRandom(challenge, 4)); // closed for every copy
    EXPECT_TRUE(t->Done());

    auto last = std::make_shared<ScriptedTransport>();
    {
        CZUReader a;
        ZUOpenTransport(a, last);
        CZUReader b(a);
        CZUICAPI c(nullptr); // a null reader: unopened
        EXPECT_EQ(0, c.IsCardExist());
        c = b;
        EXPECT_EQ(1, c.IsCardExist());
    }
    EXPECT_TRUE(last->closed); // released with the last object
}

std::shared_ptr<CZUTransport> MakeScripted(const char* name, int) {
    if (std::strcmp(name, "test:none") == 0) {
        return nullptr;
    }
    auto t = std::make_shared<ScriptedTransport>();
    t->atr = FromHex(name + 5); // "test:<hex atr>"
    return t;
}

TEST(Reader, RegisteredInProcessReaders) {
    EXPECT_EQ(0, ZURegisterReader("", MakeScripted));
    ASSERT_EQ(1, ZURegisterReader("test:", MakeScripted));
    CZUICAPI card;
    ASSERT_EQ(1, card.Open(Name("test:3B 00"), ZU_PROTOCOL_ANY));
    unsigned char atr[4];
    unsigned long atrLen = sizeof atr;
    EXPECT_EQ(1, card.Reset(atr, &atrLen));
    EXPECT_EQ("3B 00", ToHex(atr, atrLen));
    EXPECT_EQ(0, card.Open(Name("test:none"), ZU_PROTOCOL_ANY)); // the factory found no reader
    ZURegisterReader("test:", nullptr);
    EXPECT_EQ(0, card.Open(Name("test:3B 00"), ZU_PROTOCOL_ANY)); // gone now
    ZURegisterReader("sim", nullptr);
    EXPECT_EQ(0, card.Open(Name("simNobody"), ZU_PROTOCOL_ANY));
}

// Answers every command with 90 00 (8 bytes for GET CHALLENGE and the SAM's
// DES computation, Le bytes for READ BINARY) and logs "B", "E" for the
// transactions and the INS byte of each command.
class CLoggingTransport : public ScriptedTransport {
  public:
    bool Transmit(const unsigned char* cmd, size_t, unsigned char* answer, size_t* len) override {
        log += ToHex(cmd + 1, 1) + " ";
        size_t n = (cmd[1] == 0x84 || cmd[1] == 0xFA) ? 8
                   : cmd[1] == 0xB0                   ? (cmd[4] + 255) % 256 + 1
                                                      : 0;
        std::fill_n(answer, n, 0x5A);
        answer[n] = 0x90;
        answer[n + 1] = 0x00;
        *len = n + 2;
        return true;
    }
    bool BeginTransaction(unsigned) override {
        log += "B ";
        return grant;
    }
    void EndTransaction() override { log += "E "; }
    std::string log;
    bool grant = true;
};

TEST(ReaderTransaction, EachSequenceIsOneHoldAndNestsInTheHosts) {
    static unsigned char buffer[600], key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const struct {
        std::function<int(CZUSAMIC&)> run;
        std::string commands;
    } rows[] = {
        {[](CZUSAMIC& c) { return c.SelectEF(key, nullptr, nullptr); }, "A4 "},
        {[](CZUSAMIC& c) { return c.EraseMF(); }, "0E "},
        {[](CZUSAMIC& c) { return c.ReadBinaryFile(buffer, 600, 0); }, "B0 B0 B0 B0 B0 "},
        {[](CZUSAMIC& c) { return c.UpdateBinaryFile(buffer, 300, 0); }, "D6 D6 D6 "},
        {[](CZUSAMIC& c) { return c.GenerateRandom(buffer, 20); }, "84 84 84 "},
        {[](CZUSAMIC& c) { return c.Diversify(1, 0, key, buffer); }, "1A FA 1A FA "},
        {[](CZUSAMIC& c) { return UpdateBinaryWithSoftwareMac(&c, key, buffer, 16, 0); }, "84 D6 "},
        {[](CZUSAMIC& c) { return WriteSAMKeyWithSoftwareCalc(&c, key, buffer, 16); }, "84 D4 "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.commands);
        auto t = std::make_shared<CLoggingTransport>();
        CZUSAMIC card;
        ASSERT_EQ(1, ZUOpenTransport(card, t));
        unsigned long atrLen = 0; // presence and reset let go of the card again
        EXPECT_EQ(2, card.IsCardExist() + card.Reset(nullptr, &atrLen));
        EXPECT_EQ(1, row.run(card));
        EXPECT_EQ("B " + row.commands + "E ", t->log);
        t->log.clear();
        {
            CZUTransaction hold(card);
            ASSERT_TRUE(hold.Held());
            EXPECT_EQ(1, row.run(card));
            EXPECT_EQ(1, row.run(card));
        }
        EXPECT_EQ("B " + row.commands + row.commands + "E ", t->log);
        // Refused: the operation gives 0 with nothing sent.
        t->log.clear();
        t->grant = false;
        EXPECT_EQ(0, row.run(card));
        EXPECT_EQ("B ", t->log);
        CZUTransaction refused(card);
        EXPECT_TRUE(refused.Failed() && !refused.Held());
    }
}

int GetChallenge(CZUReader& reader) {
    unsigned char cmd[5] = {0x00, 0x84, 0x00, 0x00, 0x08}, resp[8];
    unsigned long respLen = sizeof resp;
    return reader.SendCommand(cmd, 5, resp, &respLen);
}

// Two connections to the one simulated SAM, each diversifying with its own
// key from its own thread: neither's DES computation takes the key that the
// other prepared.
TEST(ReaderTransaction, TwoConnectionsToOneDeviceDoNotInterleave) {
    ZUSimRegister();
    std::atomic<int> failures{0};
    auto worker = [&failures](unsigned char keyNo) {
        CZUSAMIC sam;
        unsigned char factor[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE}, first[16],
                      key[16];
        failures += sam.Open(Name("simsam"), ZU_PROTOCOL_ANY) != 1 ||
                    sam.Diversify(keyNo, 0, factor, first) != 1;
        for (int i = 0; i < 300; ++i) {
            failures += sam.Diversify(keyNo, 0, factor, key) != 1 || std::memcmp(key, first, 16);
        }
    };
    std::thread a(worker, ZUSIM_SAM_MASTER_KEY_NUMBER), b(worker, ZUSIM_SAM_DES_KEY_NUMBER);
    a.join();
    b.join();
    EXPECT_EQ(0, failures.load());
}

std::atomic<CZUReader*> g_closeFromHook{nullptr};
void CloseFromHook(const unsigned char*, size_t, const unsigned char*, size_t, void*) {
    if (CZUReader* copy = g_closeFromHook.exchange(nullptr)) {
        copy->Close();
    }
}

// Close on one copy while another is inside an exchange: from a trace hook on
// the exchange's own thread, and from a second thread.
TEST(ReaderTransaction, CloseOnACopyWaitsForTheExchangeInFlight) {
    ZUSimRegister();
    CZUICAPI card;
    ASSERT_EQ(1, card.Open(Name("sim:t0"), ZU_PROTOCOL_ANY));
    CZUICAPI copy(card);
    g_closeFromHook = &copy;
    ZUSetTraceHook(&CloseFromHook, nullptr);
    // Le 00 gets 6C 08 on T=0: the re-send runs after the hook closed the copy.
    unsigned char cmd[5] = {0x00, 0x84, 0x00, 0x00, 0x00}, resp[8];
    unsigned long respLen = sizeof resp;
    EXPECT_EQ(1, card.SendCommand(cmd, 5, resp, &respLen));
    EXPECT_EQ(8u, respLen);
    ZUSetTraceHook(nullptr, nullptr);
    EXPECT_EQ(0, GetChallenge(card)); // closed for every copy now

    ASSERT_EQ(1, card.Open(Name("sim"), ZU_PROTOCOL_ANY));
    CZUICAPI other(card);
    std::atomic<bool> closing{false};
    std::thread closer([&] {
        std::this_thread::sleep_for(5ms);
        closing = true;
        other.Close();
    });
    int i = 0; // every exchange succeeds until the Close, none after it
    while (GetChallenge(card) == 1 && ++i < 1000000) {
    }
    EXPECT_TRUE(closing.load());
    closer.join();
    EXPECT_EQ(0, GetChallenge(card));
}

TEST(ReaderTransaction, ChangeSlotMovesOnlyTheObjectItIsCalledOn) {
    ZUSimRegister();
    CZUICAPI card;
    ASSERT_EQ(1, card.Open(Name("sim"), ZU_PROTOCOL_ANY));
    CZUSAMIC sam(&card);
    sam.ChangeSlot(1);
    unsigned char prepare[5] = {0x80, 0x1A, 0x01, 0x00, 0x00};
    EXPECT_EQ(1, sam.SendCommand(prepare, 5, nullptr, nullptr));
    EXPECT_EQ(0, card.SendCommand(prepare, 5, nullptr, nullptr)); // the card: unknown
    EXPECT_EQ(0x6D00, card.GetSW());
    CZUICAPI third(card);
    third.ChangeSlot(7); // no such slot: only that object is left unopened
    EXPECT_EQ(0, third.IsCardExist());
    EXPECT_EQ(1, card.IsCardExist());
}

struct HookContext {
    int tag;
    std::atomic<int> calls{0}, mismatched{0};
};
HookContext g_first{1}, g_second{2};
template <int Tag>
void CountingHook(const unsigned char*, size_t, const unsigned char*, size_t, void* context) {
    auto* c = static_cast<HookContext*>(context);
    ++c->calls;
    c->mismatched += c->tag != Tag;
}
std::shared_ptr<CZUTransport> NoReader(const char*, int) {
    return nullptr;
}

// Each hook call gets the context installed with that hook.
TEST(ReaderTransaction, RegistryAndHookChangeWhileExchangesRun) {
    ZUSimRegister();
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    auto user = [&] {
        while (!stop) {
            CZUICAPI card;
            failures += card.Open(Name("sim"), ZU_PROTOCOL_ANY) != 1 || GetChallenge(card) != 1;
        }
    };
    std::thread a(user), b(user);
    for (int i = 0; i < 300; ++i) {
        std::string prefix = "zz" + std::to_string(i % 7);
        ZURegisterReader(prefix.c_str(), &NoReader);
        ZUSetTraceHook(i % 2 ? &CountingHook<2> : &CountingHook<1>, i % 2 ? &g_second : &g_first);
        ZURegisterReader(prefix.c_str(), nullptr);
        std::this_thread::sleep_for(100us);
    }
    stop = true;
    a.join();
    b.join();
    ZUSetTraceHook(nullptr, nullptr);
    EXPECT_EQ(0, failures.load());
    EXPECT_GT(g_first.calls + g_second.calls, 0);
    EXPECT_EQ(0, g_first.mismatched + g_second.mismatched);
}

TEST(ReaderTransaction, ResetByAnotherConnectionFailsTheNextSequenceOnce) {
    ZUSimRegister();
    CZUICAPI mine, theirs;
    ASSERT_EQ(1, mine.Open(Name("sim"), ZU_PROTOCOL_ANY));
    ASSERT_EQ(1, theirs.Open(Name("sim"), ZU_PROTOCOL_ANY));
    unsigned char key[16] = {0}, data[4] = {1, 2, 3, 4}, atr[40];
    unsigned long atrLen = sizeof atr;
    ASSERT_EQ(1, theirs.Reset(atr, &atrLen));
    // The protected command over the old challenge is not sent at all.
    EXPECT_EQ(0, UpdateBinaryWithSoftwareMac(&mine, key, data, 4, 0));
    EXPECT_EQ(1, GetChallenge(mine)); // the same object works again
    EXPECT_EQ(1, GetChallenge(theirs));
}

TEST(ReaderTransaction, OthersWaitForAHoldAndGiveZeroPastTheTimeout) {
    ZUSimRegister();
    const unsigned saved = ZUGetTransactionTimeout();
    CZUICAPI holder, waiter;
    ASSERT_EQ(1, holder.Open(Name("sim"), ZU_PROTOCOL_ANY));
    ASSERT_EQ(1, waiter.Open(Name("sim"), ZU_PROTOCOL_ANY));
    CZUICAPI holderCopy(holder);
    for (unsigned timeout : {150u, 5000u}) {
        ZUSetTransactionTimeout(timeout);
        CZUTransaction hold(holder);
        ASSERT_TRUE(hold.Held());
        std::atomic<int> done{0};
        // Another connection, and a copy on another thread.
        std::thread copyUser([&] { done += GetChallenge(holderCopy); });
        std::thread otherUser([&] { done += GetChallenge(waiter); });
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(0, done.load());
        EXPECT_EQ(1, GetChallenge(holder)); // the holder goes on
        hold.End();
        copyUser.join();
        otherUser.join();
        EXPECT_EQ(timeout == 150u ? 0 : 2, done.load());
    }
    ZUSetTransactionTimeout(saved);
}

} // namespace
