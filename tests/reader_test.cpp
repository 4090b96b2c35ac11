// The reader layer: the answer handling of SendCommand (status words, GET
// RESPONSE, re-send with Le, room), what it refuses unsent, the shared
// connection's lifetime, holding the card against other threads,
// connections and copies, and waiting for a card. Runs under ThreadSanitizer
// too.
#include "support/ScriptedTransport.h"
#include "ZUICAPI.h"
#include "ZUICSIM.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// No PC/SC service for this program, whatever pcscd the machine runs (set
// before its first PC/SC call: pcsc-lite reads it once).
const int g_noPcscService = setenv("PCSCLITE_CSOCK_NAME", "/nonexistent/pcscd.comm", 1);

char* Name(const char* name) {
    return const_cast<char*>(name);
}

int Send(CZUReader& reader, const std::string& hex, unsigned char* resp, unsigned long* respLen) {
    Bytes cmd = FromHex(hex);
    return reader.SendCommand(cmd.data(), cmd.size(), resp, respLen);
}

int GetChallenge(CZUReader& reader) {
    unsigned char resp[8];
    unsigned long respLen = sizeof resp;
    return Send(reader, "00 84 00 00 08", resp, &respLen);
}

// Each row: room, result, status word kept, reason left (ZUError) > the
// exchanges, command = answer
// ("!": the exchange fails), the first command being the one sent > what
// lands in resp.
TEST(Reader, AnswerTable) {
    for (const char* row : {
             "16 1 9000 0 > 00 B0 00 00 02 = 01 02 90 00 > 01 02",
             "16 0 6A82 1 > 00 A4 00 00 02 3F 01 = 6A 82 >",
             // Wrong PIN and blocked PIN are refusals; so is a warning.
             "0 0 63C2 1 > 00 20 00 00 01 31 = 63 C2 >",
             "0 0 6983 1 > 00 20 00 00 01 31 = 69 83 >",
             "4 0 6283 1 > 00 A4 00 00 00 = 62 83 >",
             // GET RESPONSE, chained, with data in every part; a refusal or a
             // failure ends it, the data so far kept.
             "8 1 9000 0 > 00 88 00 00 01 AA = 01 61 02; 00 C0 00 00 02 = 02 03 61 01;"
             "00 C0 00 00 01 = 04 90 00 > 01 02 03 04",
             "8 0 6A86 1 > 00 88 00 00 01 AA = 01 61 04; 00 C0 00 00 04 = 6A 86 > 01",
             "8 0 0000 14 > 00 88 00 00 01 AA = 01 61 04; 00 C0 00 00 04 = ! > 01",
             // 6C XX: Le in P3, behind the data, or in place of the Le carried; once.
             "8 1 9000 0 > 00 B0 00 00 00 = 6C 03; 00 B0 00 00 03 = 07 08 09 90 00 > 07 08 09",
             "8 1 9000 0 > 00 88 00 00 01 AA = 6C 02; 00 88 00 00 01 AA 02 = 0A 0B 90 00 > 0A 0B",
             "8 1 9000 0 > 00 88 00 00 01 AA 00 = 6C 02; 00 88 00 00 01 AA 02 = 0A 90 00 > 0A",
             "8 0 6C04 1 > 00 B0 00 00 00 = 6C 03; 00 B0 00 00 03 = 6C 04 >",
             "8 0 0000 14 > 00 B0 00 00 00 = 6C 03; 00 B0 00 00 03 = ! >",
             // No more than the room, over a chain too.
             "4 1 9000 0 > 00 B0 00 00 06 = 01 02 03 04 05 06 90 00 > 01 02 03 04",
             "3 1 9000 0 > 00 88 00 00 01 AA = 01 02 61 02; 00 C0 00 00 02 = 03 04 90 00 > 01 02 "
             "03",
             // An answer shorter than a status word, and no answer at all.
             "4 0 0000 13 > 00 B0 00 00 01 = 90 >",
             "4 0 0000 14 > 00 84 00 00 04 = ! >",
         }) {
        SCOPED_TRACE(row);
        std::string text = row, script = text.substr(text.find('>') + 1);
        std::string data = script.substr(script.find('>') + 1);
        script.resize(script.find('>'));
        unsigned long room = 0;
        int result = 0;
        unsigned short sw = 0;
        int reason = 0;
        std::istringstream(text) >> room >> result >> std::hex >> sw >> std::dec >> reason;
        auto t = std::make_shared<ScriptedTransport>();
        std::string first;
        for (std::istringstream steps(script); !steps.eof();) {
            std::string command, answer;
            std::getline(steps, command, '=');
            std::getline(steps, answer, ';');
            first = first.empty() ? command : first;
            answer.find('!') != std::string::npos ? t->ExpectFailure(command)
                                                  : t->Expect(command, answer);
        }
        CZUReader reader;
        ZUOpenTransport(reader, t);
        Bytes resp(room); // exactly the room: ASan sees any byte beyond
        unsigned long respLen = room;
        EXPECT_EQ(result, Send(reader, first, resp.data(), &respLen));
        EXPECT_EQ(sw, reader.GetSW());
        EXPECT_EQ(reason, ZUGetLastError());
        EXPECT_EQ(FromHex(data), Bytes(resp.begin(), resp.begin() + respLen));
        EXPECT_TRUE(t->Done());
    }
}

TEST(Reader, RefusalsBeforeSendingAndNullResponsePointers) {
    CZUReader reader;
    auto t = std::make_shared<ScriptedTransport>();
    ASSERT_EQ(1, ZUOpenTransport(reader, t));
    Bytes longest(5 + 255, 0x11); // header, Lc and 255 data bytes: the limit
    longest[4] = 0xFF;
    t->Expect(ToHex(longest), "90 00").Expect("00 B0 00 00 02", "01 02 90 00");
    t->Expect("00 B0 00 00 02", "6A 82");
    EXPECT_EQ(1, reader.SendCommand(longest.data(), longest.size(), nullptr, nullptr));
    Bytes longestAnswer(ZU_MAX_ANSWER, 0x5A); // 256 data bytes and 90 00
    longestAnswer[256] = 0x90;
    longestAnswer[257] = 0x00;
    t->steps.push_front({FromHex("00 B0 00 00 00"), longestAnswer, false});
    unsigned char most[256];
    unsigned long mostLen = sizeof most;
    EXPECT_EQ(1, Send(reader, "00 B0 00 00 00", most, &mostLen));
    EXPECT_EQ(256u, mostLen);
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
    EXPECT_EQ(ZU_E_INPUT_TOO_LONG, ZUGetLastError());
    EXPECT_EQ(0, reader.SendCommand(nullptr, 5, nullptr, nullptr));
    EXPECT_EQ(ZU_E_INPUT_NULL, ZUGetLastError());
    respLen = 2;
    EXPECT_EQ(0, reader.SendCommand(longest.data(), 4, resp, &respLen));
    EXPECT_EQ(0u, respLen);
    EXPECT_EQ(ZU_E_INPUT_RANGE, ZUGetLastError());
    EXPECT_TRUE(t->Done());

    CZUReader unopened;
    respLen = 2;
    EXPECT_EQ(0, unopened.Reset(resp, &respLen));
    EXPECT_EQ(0u, respLen);
    for (const std::function<int()>& call : std::initializer_list<std::function<int()>>{
             [&] { return GetChallenge(unopened); }, [&] { return unopened.IsCardExist(); },
             [&] { return unopened.Close(); }, [&] { return unopened.Reset(nullptr, nullptr); },
             [&] { return CZUTransaction(unopened).Held() ? 1 : 0; }}) {
        ZUSetLastError(ZU_E_NONE, 0);
        ZUSetLastError(ZU_E_NONE, 7);
        EXPECT_EQ(0, call());
        EXPECT_EQ(ZU_E_NOT_OPEN, ZUGetLastError());
        EXPECT_EQ(0, ZUGetLastPCSCError()); // no PC/SC code behind it
    }
    EXPECT_EQ(0, ZUOpenTransport(unopened, nullptr));
    EXPECT_EQ(ZU_E_NO_READER, ZUGetLastError());
    CZUTransaction none(unopened); // an unopened reader: neither held nor failed
    EXPECT_FALSE(none.Held() || none.Failed());
    EXPECT_STREQ("card removed", ZUErrorText(ZU_E_CARD_REMOVED));
    EXPECT_STREQ("unknown reason", ZUErrorText(ZU_E_UNSUPPORTED + 1));
    EXPECT_STREQ("file not found", ZUStatusWordText(0x6A82));
    for (int reason = ZU_E_NONE; reason <= ZU_E_UNSUPPORTED; ++reason) { // each its own line
        for (int other = 0; other < reason; ++other) {
            EXPECT_STRNE(ZUErrorText(other), ZUErrorText(reason));
        }
    }
}

// A card that answers 61 01 to everything but transmission `last`, which
// gets a byte and 90 00: the reader sends 256 GET RESPONSE at most.
class CChainingTransport : public ScriptedTransport {
  public:
    bool Transmit(const unsigned char*, size_t, unsigned char* answer, size_t* len) override {
        const Bytes reply = FromHex(++transmitted == last ? "5A 90 00" : "61 01");
        *len = std::copy(reply.begin(), reply.end(), answer) - answer;
        return true;
    }
    int last = 0;
};

TEST(Reader, GetResponseCutOffAfter256) {
    for (int last : {257, 258}) {
        CZUReader reader;
        auto t = std::make_shared<CChainingTransport>();
        t->last = last;
        ZUOpenTransport(reader, t);
        unsigned char resp[300];
        unsigned long respLen = sizeof resp;
        EXPECT_EQ(last == 257 ? 1 : 0, Send(reader, "00 B0 00 00 01", resp, &respLen)) << last;
        EXPECT_EQ(257, t->transmitted);
        EXPECT_EQ(last == 257 ? ZU_E_NONE : ZU_E_BAD_ANSWER, ZUGetLastError());
    }
}

TEST(Reader, ResetPresenceAndSlot) {
    CZUReader reader;
    auto t = std::make_shared<ScriptedTransport>();
    ZUOpenTransport(reader, t);
    unsigned char atr[8];
    unsigned long atrLen = sizeof atr;
    EXPECT_EQ(1, reader.Reset(atr, &atrLen));
    EXPECT_EQ("3B 02 14 50", ToHex(atr, atrLen));
    atrLen = 2; // no more than the room
    EXPECT_EQ(1, reader.Reset(atr, &atrLen));
    EXPECT_EQ("3B 02", ToHex(atr, atrLen));
    atrLen = sizeof atr; // no buffer: nothing copied
    EXPECT_EQ(1, reader.Reset(nullptr, &atrLen));
    EXPECT_EQ(0u, atrLen);
    EXPECT_EQ(1, reader.IsCardExist());
    t->present = false;
    atrLen = sizeof atr;
    EXPECT_EQ(0, reader.IsCardExist() + reader.Reset(atr, &atrLen));
    EXPECT_EQ(0u, atrLen);
    // A transport without slots, used by this object alone: left unopened.
    CZUReader lone;
    ZUOpenTransport(lone, std::make_shared<ScriptedTransport>());
    lone.ChangeSlot(1);
    EXPECT_EQ(0, lone.IsCardExist());
    // An open that fails leaves the object closed, not on its earlier card.
    EXPECT_EQ(0, ZUOpenTransport(reader, nullptr) + reader.Close());
}

TEST(Reader, CopiesShareOneConnectionUntilCloseOrTheLastGoes) {
    auto t = std::make_shared<ScriptedTransport>();
    auto original = std::make_unique<CZUReader>();
    ZUOpenTransport(*original, t);
    CZUICAPI card(original.get()), copied(card);
    CZUSAMIC assigned;
    assigned = *original;
    original.reset(); // the copies keep the connection alive
    t->Expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00").Expect("00 84 00 00 08", "6A 82");
    EXPECT_EQ(1, GetChallenge(card));
    EXPECT_EQ(0, GetChallenge(assigned));
    EXPECT_EQ(0x6A82, CZUICAPI(&assigned).GetSW()); // the status word comes along
    EXPECT_FALSE(t->closed);
    EXPECT_EQ(1, copied.Close());
    EXPECT_TRUE(t->closed);
    EXPECT_EQ(0, GetChallenge(card)); // closed for every copy
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
        return nullptr; // no such reader
    }
    auto t = std::make_shared<ScriptedTransport>();
    t->atr = FromHex(name + 5); // "test:<hex atr>"
    return t;
}

TEST(Reader, RegisteredInProcessReaders) {
    ZUSetLastError(ZU_E_NONE, 7);
    EXPECT_EQ(0, ZURegisterReader("", MakeScripted));
    EXPECT_EQ(ZU_E_INPUT_NULL * 10, ZUGetLastError() * 10 + ZUGetLastPCSCError());
    ASSERT_EQ(1, ZURegisterReader("test:", MakeScripted));
    CZUICAPI card;
    ASSERT_EQ(1, card.Open(Name("test:3B 00"), ZU_PROTOCOL_ANY));
    unsigned char atr[4];
    unsigned long atrLen = sizeof atr;
    EXPECT_EQ(1, card.Reset(atr, &atrLen));
    EXPECT_EQ("3B 00", ToHex(atr, atrLen));
    EXPECT_EQ(0, card.Open(Name("test:none"), ZU_PROTOCOL_ANY));
    ZURegisterReader("test:", nullptr);
    EXPECT_EQ(0, card.Open(Name("test:3B 00"), ZU_PROTOCOL_ANY)); // gone now
    ZURegisterReader("sim", nullptr);
    ZUSetLastError(ZU_E_NONE, 7);
    EXPECT_EQ(0, card.Open(Name("simNobody"), ZU_PROTOCOL_ANY));
    EXPECT_EQ(ZU_E_NO_READER * 10, ZUGetLastError() * 10 + ZUGetLastPCSCError());
    // The first PC/SC reader, if there is a service with one: result and
    // reason agree.
    EXPECT_EQ(card.Open(nullptr, ZU_PROTOCOL_ANY) == 1, ZUGetLastError() == ZU_E_NONE);
}

// Answers every command with 90 00 (8 bytes for GET CHALLENGE and the SAM's
// DES computation, Le bytes for READ BINARY) and logs "B", "E" for the
// transactions and the INS byte of each command.
class CLoggingTransport : public ScriptedTransport {
  public:
    bool Transmit(const unsigned char* cmd, size_t, unsigned char* answer, size_t* len) override {
        log += ToHex(cmd + 1, 1) + " ";
        *len = (cmd[1] == 0x84 || cmd[1] == 0xFA) ? 8
               : cmd[1] == 0xB0                   ? (cmd[4] + 255) % 256 + 1
                                                  : 0;
        std::fill_n(answer, *len, 0x5A);
        answer[(*len)++] = 0x90;
        answer[(*len)++] = 0x00;
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
    const std::pair<std::function<int(CZUSAMIC&)>, std::string> rows[] = {
        {[](CZUSAMIC& c) { return c.SelectEF(key, nullptr, nullptr); }, "A4 "},
        {[](CZUSAMIC& c) { return c.EraseMF(); }, "0E "},
        {[](CZUSAMIC& c) { return c.ReadBinaryFile(buffer, 600, 0); }, "B0 B0 B0 B0 B0 "},
        {[](CZUSAMIC& c) { return c.UpdateBinaryFile(buffer, 300, 0); }, "D6 D6 D6 "},
        {[](CZUSAMIC& c) { return c.GenerateRandom(buffer, 20); }, "84 84 84 "},
        {[](CZUSAMIC& c) { return c.Diversify(1, 0, key, buffer); }, "1A FA 1A FA "},
        {[](CZUSAMIC& c) { return UpdateBinaryWithSoftwareMac(&c, key, buffer, 16, 0); }, "84 D6 "},
        {[](CZUSAMIC& c) { return WriteSAMKeyWithSoftwareCalc(&c, key, buffer, 16); }, "84 D4 "},
    };
    for (const auto& [run, commands] : rows) {
        SCOPED_TRACE(commands);
        auto t = std::make_shared<CLoggingTransport>();
        CZUSAMIC card;
        ASSERT_EQ(1, ZUOpenTransport(card, t));
        unsigned long atrLen = 0; // presence and reset let go of the card again
        EXPECT_EQ(2, card.IsCardExist() + card.Reset(nullptr, &atrLen));
        EXPECT_EQ(1, run(card));
        EXPECT_EQ("B " + commands + "E ", t->log);
        t->log.clear();
        {
            CZUTransaction hold(card);
            EXPECT_EQ(2, hold.Held() + run(card));
            EXPECT_EQ(1, run(card));
        }
        EXPECT_EQ("B " + commands + commands + "E ", t->log);
        t->log.clear();   // refused: the operation gives 0 with nothing sent, and
        t->grant = false; // the reason that a host's own hold gets
        ZUSetLastError(ZU_E_TIMEOUT, 0x8010000A);
        CZUTransaction refused(card);
        EXPECT_TRUE(refused.Failed() && !refused.Held());
        const int reason = ZUGetLastError();
        EXPECT_EQ(0, run(card));
        EXPECT_EQ("B B ", t->log);
        EXPECT_EQ(reason, ZUGetLastError());
        EXPECT_EQ(0, card.GetSW());
    }
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
    unsigned char resp[8];
    unsigned long respLen = sizeof resp;
    EXPECT_EQ(1, Send(card, "00 84 00 00 00", resp, &respLen));
    EXPECT_EQ(8u, respLen);
    ZUSetTraceHook(nullptr, nullptr);
    EXPECT_EQ(0, GetChallenge(card)); // closed for every copy now

    // From another thread: every exchange succeeds until the Close, none after.
    ASSERT_EQ(1, card.Open(Name("sim"), ZU_PROTOCOL_ANY));
    std::atomic<bool> closing{false};
    std::thread closer([&closing, other = CZUICAPI(card)]() mutable {
        std::this_thread::sleep_for(5ms);
        closing = true;
        other.Close();
    });
    while (GetChallenge(card) == 1) {
    }
    EXPECT_TRUE(closing.load());
    closer.join();
}

TEST(ReaderTransaction, ChangeSlotMovesOnlyTheObjectItIsCalledOn) {
    ZUSimRegister();
    CZUICAPI card;
    ASSERT_EQ(1, card.Open(Name("sim"), ZU_PROTOCOL_ANY));
    CZUSAMIC sam(&card), third(&card);
    sam.ChangeSlot(1);
    EXPECT_EQ(1, Send(sam, "80 1A 01 00 00", nullptr, nullptr));
    EXPECT_EQ(0, Send(card, "80 1A 01 00 00", nullptr, nullptr)); // the card: unknown
    EXPECT_EQ(0x6D00, card.GetSW());
    third.ChangeSlot(7); // no such slot: only that object is left unopened
    EXPECT_EQ(0, third.IsCardExist());
    EXPECT_EQ(1, card.IsCardExist());
}

// Others wait for a hold and give 0 past the timeout. One deadline per call:
// waiting for another thread's hold and then for another connection's takes
// no more than the timeout in all. A timeout of 0 takes a free card and
// gives 0 at once for a held one.
TEST(ReaderTransaction, OthersWaitForAHoldUntilOneDeadline) {
    ZUSimRegister();
    const unsigned saved = ZUGetTransactionTimeout();
    CZUICAPI holder, waiter;
    ASSERT_EQ(2, holder.Open(Name("sim"), 0) + waiter.Open(Name("sim"), 0));
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
    ZUSetTransactionTimeout(400);
    auto waiterHold = std::make_unique<CZUTransaction>(waiter);
    std::thread inner([&] {
        CZUTransaction hold(holder);
        std::this_thread::sleep_for(200ms);
    });
    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, GetChallenge(holderCopy));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(ZU_E_TIMEOUT, ZUGetLastError());
    EXPECT_TRUE(waited >= 300ms && waited < 650ms) << (waited / 1ms); // two waits: 750 ms
    inner.join();
    waiterHold.reset();
    ZUSetTransactionTimeout(0);
    int taken = 0;
    for (int i = 0; i < 50; ++i) {
        taken += GetChallenge(holder);
    }
    EXPECT_EQ(50, taken);
    CZUTransaction held(waiter);
    const auto again = std::chrono::steady_clock::now();
    EXPECT_EQ(0, GetChallenge(holder));
    EXPECT_LT(std::chrono::steady_clock::now() - again, 100ms);
    ZUSetTransactionTimeout(saved);
}

// A transport that checks the connection's rules: it counts the threads
// inside it (never more than one), the transactions begun and ended, and
// throws from the method named in `thrower`; OpenSlot makes another of its
// kind.
struct Tally {
    std::atomic<int> inside{0}, most{0}, begins{0}, ends{0};
};
class CCheckingTransport : public CLoggingTransport {
  public:
    explicit CCheckingTransport(std::shared_ptr<Tally> tally = std::make_shared<Tally>())
        : tally(std::move(tally)) {}
    struct Inside {
        Tally& t;
        explicit Inside(Tally& t) : t(t) {
            int now = ++t.inside, most = t.most;
            while (now > most && !t.most.compare_exchange_weak(most, now)) {
            }
        }
        ~Inside() { --t.inside; }
    };
    void Throw(const char* method) {
        if (thrower == method) {
            thrower.clear();
            if (std::string(method) == "Begin") {
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
            }
            throw std::bad_alloc();
        }
    }
    bool Transmit(const unsigned char* cmd, size_t n, unsigned char* answer, size_t* len) override {
        Inside in(*tally);
        Throw("Transmit");
        std::this_thread::yield();
        return CLoggingTransport::Transmit(cmd, n, answer, len);
    }
    bool BeginTransaction(unsigned) override {
        Inside in(*tally);
        Throw("Begin");
        ++tally->begins;
        return true;
    }
    void EndTransaction() override {
        Inside in(*tally);
        ++tally->ends;
    }
    bool Reset(unsigned char* atr, size_t room, size_t* atrLen) override {
        Inside in(*tally);
        Throw("Reset");
        return ScriptedTransport::Reset(atr, room, atrLen);
    }
    bool IsCardPresent() override {
        Inside in(*tally);
        Throw("Presence");
        return true;
    }
    std::shared_ptr<CZUTransport> OpenSlot(int slot) override {
        Inside in(*tally);
        Throw("OpenSlot");
        return slot == 1 ? std::make_shared<CCheckingTransport>() : nullptr;
    }
    void Close() override {
        Inside in(*tally);
        closed = true;
    }
    std::shared_ptr<Tally> tally;
    std::string thrower;
};

// Whatever throws (a trace hook, the transport, the allocator, thread
// creation), the call gives 0 with its reason, the transaction is ended, and
// the card is free for the next call on another thread.
std::atomic<bool> g_hookThrows{false};
void ThrowingHook(const unsigned char*, size_t, const unsigned char*, size_t, void*) {
    if (g_hookThrows.exchange(false)) {
        throw std::runtime_error("host hook");
    }
}

TEST(ReaderAdversity, ExceptionsGiveZeroAndLetTheCardGo) {
    const std::pair<const char*, int> rows[] = {
        {"hook", ZU_E_HOST_EXCEPTION}, {"Begin", ZU_E_NO_MEMORY},    {"Transmit", ZU_E_NO_MEMORY},
        {"Reset", ZU_E_NO_MEMORY},     {"Presence", ZU_E_NO_MEMORY}, {"OpenSlot", ZU_E_NO_MEMORY},
    };
    ZUSetTraceHook(&ThrowingHook, nullptr);
    for (const auto& [where, reason] : rows) {
        SCOPED_TRACE(where);
        auto t = std::make_shared<CCheckingTransport>();
        CZUICAPI card;
        ZUOpenTransport(card, t);
        CZUICAPI copy(card);
        t->thrower = where;
        g_hookThrows = std::string(where) == "hook";
        const std::string op = where;
        unsigned long atrLen = 0;
        const int result = op == "Reset"      ? card.Reset(nullptr, &atrLen)
                           : op == "Presence" ? card.IsCardExist()
                           : op == "OpenSlot" ? (card.ChangeSlot(1), 0)
                                              : GetChallenge(card);
        EXPECT_EQ(0, result);
        EXPECT_EQ(reason, ZUGetLastError());
        EXPECT_EQ(0, ZUGetLastPCSCError());
        EXPECT_EQ(t->tally->begins.load(), t->tally->ends.load());
        int other = -1; // the card is free for another thread
        std::thread([&] { other = GetChallenge(copy); }).join();
        EXPECT_EQ(1, other);
        EXPECT_EQ(t->tally->begins.load(), t->tally->ends.load());
    }
    ZUSetTraceHook(nullptr, nullptr);
}

// ChangeSlot on copies, beside exchanges and a Close on others, on the
// checking transport and on the simulator (ThreadSanitizer watches its
// slots): never two threads inside one transport, no hang.
TEST(ReaderAdversity, ChangeSlotBesideCopies) {
    ZUSimRegister();
    for (bool simulated : {false, true}) {
        auto t = std::make_shared<CCheckingTransport>();
        CZUICAPI card;
        ASSERT_EQ(1, simulated ? card.Open(Name("sim"), 0) : ZUOpenTransport(card, t));
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([&, i, copy = CZUICAPI(card)]() mutable {
                while (!stop) {
                    CZUICAPI moving(copy);
                    if (i % 2 == 1) {
                        moving.ChangeSlot(1);
                    }
                    GetChallenge(moving);
                }
            });
        }
        std::this_thread::sleep_for(200ms);
        CZUICAPI(card).Close();
        stop = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(1, t->tally->most.load() + (simulated ? 1 : 0));
        EXPECT_EQ(t->tally->begins.load(), t->tally->ends.load());
    }
}

// A Close on a copy inside this thread's own hold refuses every copy at once;
// the transport goes when the hold ends. A hold ended from another thread
// stays (the reason says so), and goes with its object.
TEST(ReaderAdversity, CloseInsideTheHoldAndEndFromAnotherThread) {
    auto t = std::make_shared<CCheckingTransport>();
    CZUICAPI card;
    ZUOpenTransport(card, t);
    CZUICAPI copy(card);
    {
        CZUTransaction hold(card);
        EXPECT_EQ(1, GetChallenge(card));
        copy.Close();
        EXPECT_EQ(0, GetChallenge(card));
        EXPECT_EQ(ZU_E_NOT_OPEN, ZUGetLastError());
        EXPECT_FALSE(CZUTransaction(card).Held());
        unsigned long atrLen = 0;
        EXPECT_EQ(0, card.Reset(nullptr, &atrLen) + card.IsCardExist());
        EXPECT_FALSE(t->closed);
    }
    EXPECT_TRUE(t->closed);
    EXPECT_EQ(1, t->tally->begins.load() + t->tally->ends.load() - 1);

    auto u = std::make_shared<CCheckingTransport>();
    ZUOpenTransport(card, u);
    auto hold = std::make_unique<CZUTransaction>(card);
    int reason = 0;
    std::thread([&] {
        hold->End();
        reason = ZUGetLastError();
    }).join();
    EXPECT_EQ(ZU_E_WRONG_THREAD, reason);
    EXPECT_TRUE(hold->Held());
    EXPECT_EQ(0, u->tally->ends.load());
    std::thread([&] { hold.reset(); }).join(); // its object goes: the hold goes too
    EXPECT_EQ(1, u->tally->ends.load());
    std::thread([&] { reason = GetChallenge(card); }).join();
    EXPECT_EQ(1, reason);
}

// Uninstalling the trace hook returns once the calls that carry its context
// have ended (the host frees the context then); from inside a hook, at once.
struct SlowContext {
    std::atomic<bool> entered{false}, finished{false}, uninstallInside{false};
};
void SlowHook(const unsigned char*, size_t, const unsigned char*, size_t, void* context) {
    auto* slow = static_cast<SlowContext*>(context);
    slow->entered = true;
    if (slow->uninstallInside) {
        ZUSetTraceHook(nullptr, nullptr);
    }
    std::this_thread::sleep_for(100ms);
    slow->finished = true;
}

TEST(ReaderAdversity, TraceHookUninstallWaitsForCallsInFlight) {
    CZUICAPI card;
    ZUOpenTransport(card, std::make_shared<CLoggingTransport>());
    for (bool inside : {false, true}) {
        auto context = std::make_unique<SlowContext>();
        context->uninstallInside = inside;
        ZUSetTraceHook(&SlowHook, context.get());
        std::thread user([&card] { GetChallenge(card); });
        while (!context->entered) {
            std::this_thread::yield();
        }
        if (!inside) {
            ZUSetTraceHook(nullptr, nullptr);
            EXPECT_TRUE(context->finished); // the context may go now
        }
        user.join();
        EXPECT_TRUE(context->finished);
    }
}

// A reader whose card comes at a set time; counts how often it is asked and
// the connections left open.
std::atomic<std::chrono::steady_clock::time_point> g_cardComes;
std::atomic<int> g_asked{0}, g_open{0};
class CLateCard : public ScriptedTransport {
  public:
    bool IsCardPresent() override {
        ++g_asked;
        return std::chrono::steady_clock::now() >= g_cardComes.load();
    }
    void Close() override { --g_open; }
};
std::shared_ptr<CZUTransport> MakeLate(const char* name, int) {
    if (std::strcmp(name, "late:none") == 0) {
        return nullptr;
    }
    ++g_open;
    return std::make_shared<CLateCard>();
}

// Each row: the reader; when its card comes and when another thread cancels
// the wait (ms from the start, -1: never); the timeout; the result, reason
// and PC/SC code; the least time the wait takes (ms; at most 2 s more). The
// reader is asked every few milliseconds, not in a busy loop, and its
// connection closed at the end.
TEST(ReaderWait, ACardComesTheTimeRunsOutOrAnotherThreadCancels) {
    ASSERT_EQ(0, g_noPcscService);
    ASSERT_EQ(1, ZURegisterReader("late:", MakeLate));
    ZURegisterReader("sim", nullptr);   // "simNobody": a simulated reader nobody registered
    const long NO_SERVICE = 0x8010001D; // SCARD_E_NO_SERVICE
    const struct {
        const char* reader;
        int comes, cancel;
        unsigned timeout;
        int result, reason;
        long code, least;
    } rows[] = {
        {"late:", 0, -1, 5000, 1, ZU_E_NONE, 0, 0},
        {"late:", 150, -1, 5000, 1, ZU_E_NONE, 0, 150},
        {"late:", -1, -1, 200, 0, ZU_E_WAIT_TIMEOUT, 0, 200},
        {"late:", -1, -1, 0, 0, ZU_E_WAIT_TIMEOUT, 0, 0},
        {"late:", -1, 150, 20000, 0, ZU_E_CANCELLED, 0, 150},
        {"late:none", 0, -1, 5000, 0, ZU_E_NO_READER, 0, 0},
        {"simNobody", 0, -1, 5000, 0, ZU_E_NO_READER, 0, 0},
        {"Virtual PCD", 0, -1, 5000, 0, ZU_E_NO_SERVICE, NO_SERVICE, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.reason) + " " + row.reader);
        g_asked = 0;
        const auto start = std::chrono::steady_clock::now();
        g_cardComes = row.comes < 0 ? start + 1h : start + std::chrono::milliseconds(row.comes);
        std::atomic<bool> done{false};
        std::thread canceller([&] {
            // Again and again until the wait ended: a cancel before it began
            // would not count.
            std::this_thread::sleep_for(std::chrono::milliseconds(row.cancel));
            while (row.cancel >= 0 && !done) {
                ZUCancelWait();
                std::this_thread::sleep_for(20ms);
            }
        });
        ZUSetLastError(ZU_E_HOST_EXCEPTION, 1);
        EXPECT_EQ(row.result, ZUWaitForCard(row.reader, row.timeout));
        const auto took = std::chrono::steady_clock::now() - start;
        done = true;
        canceller.join();
        EXPECT_EQ(row.reason, ZUGetLastError());
        EXPECT_EQ(row.code, ZUGetLastPCSCError());
        EXPECT_GE(took, std::chrono::milliseconds(row.least));
        EXPECT_LT(took, std::chrono::milliseconds(row.least + 2000));
        EXPECT_LE(g_asked.load(), 10 + row.least / 5);
        EXPECT_EQ(0, g_open.load());
    }
    ZURegisterReader("late:", nullptr);
}

} // namespace
