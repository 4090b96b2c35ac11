// Holding the card: one transaction per operation, nesting, other threads and
// copies of the same reader, faults of a shared reader. Runs under TSan too.
#include "ZUICAPI.h"
#include "sim/ZUSim.h"
#include "softenc.h"
#include "support/Hex.h"
#include "support/RecordingCard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Answers every command with 90 00 (8 data bytes for GET CHALLENGE and the
// SAM's DES computation, Le bytes for READ BINARY) and logs transactions and
// commands: "B", "E", and the INS byte of each command in hex.
class LoggingTransport : public CZUTransport {
  public:
    bool Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                  size_t* answerLen) override {
        log.push_back(ToHex(Bytes(cmd + 1, cmd + 2)));
        size_t n = 0;
        if (cmd[1] == 0x84 || cmd[1] == 0xFA) {
            n = 8;
        } else if (cmd[1] == 0xB0) {
            n = cmd[4] == 0 ? 256 : cmd[4];
        }
        (void)cmdLen;
        std::memset(answer, 0x5A, n);
        answer[n] = 0x90;
        answer[n + 1] = 0x00;
        *answerLen = n + 2;
        return true;
    }
    bool Reset(unsigned char*, size_t, size_t* atrLen) override {
        *atrLen = 0;
        return true;
    }
    bool IsCardPresent() override { return true; }
    bool BeginTransaction(unsigned) override {
        log.push_back("B");
        return grant;
    }
    void EndTransaction() override { log.push_back("E"); }

    std::string Log() const {
        std::string all;
        for (const std::string& entry : log) {
            all += entry + " ";
        }
        return all;
    }
    std::vector<std::string> log;
    bool grant = true;
};

unsigned char KEY16[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

struct Sequence {
    const char* name;
    std::function<int(CZUSAMIC&)> run;
    const char* log; // what the transport sees
};

const std::vector<Sequence>& Sequences() {
    static unsigned char buffer[600];
    static unsigned char key[16];
    static unsigned char factor[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    static const std::vector<Sequence> all = {
        {"SelectEF", [](CZUSAMIC& c) { return c.SelectEF(KEY16, nullptr, nullptr); }, "B A4 E "},
        {"EraseMF", [](CZUSAMIC& c) { return c.EraseMF(); }, "B 0E E "},
        {"ReadBinaryFile", [](CZUSAMIC& c) { return c.ReadBinaryFile(buffer, 600, 0); },
         "B B0 B0 B0 B0 B0 E "},
        {"UpdateBinaryFile", [](CZUSAMIC& c) { return c.UpdateBinaryFile(buffer, 300, 0); },
         "B D6 D6 D6 E "},
        {"GenerateRandom", [](CZUSAMIC& c) { return c.GenerateRandom(buffer, 20); },
         "B 84 84 84 E "},
        {"Diversify", [](CZUSAMIC& c) { return c.Diversify(1, 0, factor, key); },
         "B 1A FA 1A FA E "},
        {"UpdateBinaryWithSoftwareMac",
         [](CZUSAMIC& c) { return UpdateBinaryWithSoftwareMac(&c, KEY16, buffer, 16, 0); },
         "B 84 D6 E "},
        {"WriteSAMKeyWithSoftwareCalc",
         [](CZUSAMIC& c) { return WriteSAMKeyWithSoftwareCalc(&c, KEY16, buffer, 16); },
         "B 84 D4 E "},
    };
    return all;
}

TEST(ReaderTransaction, EachOperationIsOneTransactionAndNestsInAHostHold) {
    for (const Sequence& sequence : Sequences()) {
        SCOPED_TRACE(sequence.name);
        auto transport = std::make_shared<LoggingTransport>();
        CZUSAMIC card;
        ASSERT_EQ(1, ZUOpenTransport(card, transport));
        EXPECT_EQ(1, sequence.run(card));
        EXPECT_EQ(sequence.log, transport->Log());

        // Inside the host's own hold: no transaction of its own.
        transport->log.clear();
        {
            CZUTransaction hold(card);
            ASSERT_TRUE(hold.Held());
            EXPECT_EQ(1, sequence.run(card));
            EXPECT_EQ(1, sequence.run(card));
        }
        std::string once = std::string(sequence.log).substr(2); // without "B "
        once = once.substr(0, once.size() - 2);                 // without "E "
        std::string twice = "B ";
        twice.append(once).append(once).append("E ");
        EXPECT_EQ(twice, transport->Log());

        // A recording card opened on the transport: the holds are taken, and
        // every command still goes through its own SendCommand.
        transport->log.clear();
        RecordingCard<CZUSAMIC> recording;
        ASSERT_EQ(1, ZUOpenTransport(recording, transport));
        for (int i = 0; i < 8; ++i) {
            recording.answers.push_back({1, Bytes(128, 0x5A)}); // as much as any command takes
        }
        EXPECT_EQ(1, sequence.run(recording));
        std::string recorded;
        for (const SentCommand& c : recording.sent) {
            recorded += ToHex(Bytes(c.apdu.begin() + 1, c.apdu.begin() + 2)) + " ";
        }
        EXPECT_EQ(once, recorded);
        const bool singleCommand = std::string(sequence.name) == "SelectEF";
        EXPECT_EQ(singleCommand ? "" : "B E ", transport->Log());

        // A transaction refused: the operation fails and sends nothing.
        transport->log.clear();
        transport->grant = false;
        EXPECT_EQ(0, sequence.run(card));
        EXPECT_EQ("B ", transport->Log());
        CZUTransaction refused(card);
        EXPECT_FALSE(refused.Held());
        EXPECT_TRUE(refused.Failed());
    }
    // An unopened reader: nothing held, nothing failed.
    CZUICAPI unopened;
    CZUTransaction hold(unopened);
    EXPECT_FALSE(hold.Held());
    EXPECT_FALSE(hold.Failed());
}

// Two connections to the one simulated SAM, each diversifying with its own
// key in a loop from its own thread: the SAM's prepared key must never be
// taken by the other's DES computation.
TEST(ReaderTransaction, TwoConnectionsToOneDeviceDoNotInterleave) {
    ZUSimRegister();
    ZUSimResetAll();
    unsigned char factor[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    auto worker = [&factor](unsigned char keyNo, std::atomic<int>* failures) {
        CZUSAMIC sam;
        if (sam.Open(const_cast<char*>("simsam"), ZU_PROTOCOL_ANY) != 1) {
            ++*failures;
            return;
        }
        unsigned char first[16];
        if (sam.Diversify(keyNo, 0, factor, first) != 1) {
            ++*failures;
        }
        for (int i = 0; i < 300; ++i) {
            unsigned char key[16];
            if (sam.Diversify(keyNo, 0, factor, key) != 1 || std::memcmp(key, first, 16) != 0) {
                ++*failures;
            }
        }
    };
    std::atomic<int> failures{0};
    std::thread a(worker, ZUSIM_SAM_MASTER_KEY_NUMBER, &failures);
    std::thread b(worker, ZUSIM_SAM_DES_KEY_NUMBER, &failures);
    a.join();
    b.join();
    EXPECT_EQ(0, failures.load());
}

// Four readers (the card, the SAM and the social-security pair), each used
// from a thread of its own at the same time.
TEST(ReaderTransaction, FourReadersFromFourThreads) {
    ZUSimRegister();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (const char* name : {"sim", "simsb"}) {
        threads.emplace_back([name, &failures] {
            CZUICAPI card;
            unsigned char random[20];
            if (card.Open(const_cast<char*>(name), ZU_PROTOCOL_ANY) != 1) {
                ++failures;
                return;
            }
            for (int i = 0; i < 200; ++i) {
                failures += card.GenerateRandom(random, sizeof random) == 1 ? 0 : 1;
            }
        });
    }
    for (const char* name : {"simsam", "simsbsam"}) {
        threads.emplace_back([name, &failures] {
            CZUSAMIC sam;
            unsigned char factor[8] = {8, 7, 6, 5, 4, 3, 2, 1}, first[16], key[16];
            if (sam.Open(const_cast<char*>(name), ZU_PROTOCOL_ANY) != 1 ||
                sam.Diversify(ZUSIM_SAM_MASTER_KEY_NUMBER, 0, factor, first) != 1) {
                ++failures;
                return;
            }
            for (int i = 0; i < 200; ++i) {
                if (sam.Diversify(ZUSIM_SAM_MASTER_KEY_NUMBER, 0, factor, key) != 1 ||
                    std::memcmp(key, first, sizeof key) != 0) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, failures.load());
}

// Close on one copy while another copy is inside an exchange: from a trace
// hook on the exchange's own thread, and from a second thread.
std::atomic<CZUReader*> g_closeFromHook{nullptr};
void CloseFromHook(const unsigned char*, size_t, const unsigned char*, size_t, void*) {
    CZUReader* copy = g_closeFromHook.exchange(nullptr);
    if (copy != nullptr) {
        copy->Close();
    }
}

int GetChallenge(CZUReader& reader) {
    unsigned char cmd[5] = {0x00, 0x84, 0x00, 0x00, 0x08};
    unsigned char resp[8];
    unsigned long respLen = sizeof resp;
    return reader.SendCommand(cmd, 5, resp, &respLen);
}

TEST(ReaderTransaction, CloseOnACopyWaitsForTheExchangeInFlight) {
    ZUSimRegister();
    // T=0 answering: the 6C XX re-send runs after the hook has closed the copy.
    CZUICAPI card;
    ASSERT_EQ(1, card.Open(const_cast<char*>("sim:t0"), ZU_PROTOCOL_ANY));
    CZUICAPI copy(card);
    g_closeFromHook = &copy;
    ZUSetTraceHook(&CloseFromHook, nullptr);
    unsigned char cmd[5] = {0x00, 0x84, 0x00, 0x00, 0x00}; // Le 00: 6C 08 on T=0
    unsigned char resp[8];
    unsigned long respLen = sizeof resp;
    EXPECT_EQ(1, card.SendCommand(cmd, 5, resp, &respLen));
    EXPECT_EQ(8u, respLen);
    ZUSetTraceHook(nullptr, nullptr);
    EXPECT_EQ(0, GetChallenge(card)); // closed for every copy now
    EXPECT_EQ(0, card.IsCardExist());

    // From another thread while this one keeps exchanging.
    CZUICAPI busy;
    ASSERT_EQ(1, busy.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY));
    CZUICAPI other(busy);
    std::atomic<bool> closing{false};
    std::thread closer([&] {
        std::this_thread::sleep_for(5ms);
        closing = true;
        other.Close();
    });
    // Every exchange succeeds until the Close, none after it.
    for (int i = 0; i < 1000000; ++i) {
        if (GetChallenge(busy) != 1) {
            EXPECT_TRUE(closing.load()) << i;
            break;
        }
    }
    closer.join();
    EXPECT_EQ(0, GetChallenge(busy));
}

TEST(ReaderTransaction, ChangeSlotMovesOnlyTheObjectItIsCalledOn) {
    ZUSimRegister();
    CZUICAPI card;
    ASSERT_EQ(1, card.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY));
    CZUSAMIC sam(&card);
    sam.ChangeSlot(1);
    unsigned char prepare[5] = {0x80, 0x1A, 0x01, 0x00, 0x00};
    EXPECT_EQ(1, sam.SendCommand(prepare, 5, nullptr, nullptr));
    EXPECT_EQ(0, card.SendCommand(prepare, 5, nullptr, nullptr)); // the card: unknown
    EXPECT_EQ(0x6D00, card.GetSW());
    // A failed move leaves only that object unopened.
    CZUICAPI third(card);
    third.ChangeSlot(7);
    EXPECT_EQ(0, third.IsCardExist());
    EXPECT_EQ(1, card.IsCardExist());
}

// The trace hook's counting context, checked against the hook it came with.
struct HookContext {
    int tag;
    std::atomic<int> calls{0};
    std::atomic<int> mismatched{0};
};
HookContext g_first{1}, g_second{2};
void FirstHook(const unsigned char*, size_t, const unsigned char*, size_t, void* context) {
    auto* c = static_cast<HookContext*>(context);
    ++c->calls;
    if (c->tag != 1) {
        ++c->mismatched;
    }
}
void SecondHook(const unsigned char*, size_t, const unsigned char*, size_t, void* context) {
    auto* c = static_cast<HookContext*>(context);
    ++c->calls;
    if (c->tag != 2) {
        ++c->mismatched;
    }
}
std::shared_ptr<CZUTransport> NoReader(const char*, int) {
    return nullptr;
}

TEST(ReaderTransaction, RegistryAndHookChangeWhileExchangesRun) {
    ZUSimRegister();
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> users;
    users.reserve(2);
    for (int t = 0; t < 2; ++t) {
        users.emplace_back([&] {
            while (!stop) {
                CZUICAPI card;
                if (card.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY) != 1 ||
                    GetChallenge(card) != 1) {
                    ++failures;
                }
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        std::string prefix = "zz" + std::to_string(i % 7);
        ZURegisterReader(prefix.c_str(), &NoReader);
        if (i % 2 == 0) {
            ZUSetTraceHook(&FirstHook, &g_first);
        } else {
            ZUSetTraceHook(&SecondHook, &g_second);
        }
        ZURegisterReader(prefix.c_str(), nullptr);
        std::this_thread::sleep_for(100us);
    }
    stop = true;
    for (std::thread& user : users) {
        user.join();
    }
    ZUSetTraceHook(nullptr, nullptr);
    EXPECT_EQ(0, failures.load());
    EXPECT_GT(g_first.calls + g_second.calls, 0);
    EXPECT_EQ(0, g_first.mismatched + g_second.mismatched);
}

TEST(ReaderTransaction, ResetByAnotherConnectionFailsTheNextCommandOnce) {
    ZUSimRegister();
    CZUICAPI mine, theirs;
    ASSERT_EQ(1, mine.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY));
    ASSERT_EQ(1, theirs.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY));
    unsigned char challenge[4];
    ASSERT_EQ(1, mine.GenerateRandom(challenge, 4));
    unsigned char atr[40];
    unsigned long atrLen = sizeof atr;
    ASSERT_EQ(1, theirs.Reset(atr, &atrLen));
    // The protected command over the old challenge is not sent at all.
    unsigned char data[4] = {1, 2, 3, 4};
    EXPECT_EQ(0, UpdateBinaryWithSoftwareMac(&mine, KEY16, data, 4, 0));
    EXPECT_EQ(1, GetChallenge(mine)); // the same object works again
    EXPECT_EQ(1, GetChallenge(theirs));
}

TEST(ReaderTransaction, AHoldOfAnotherConnectionTimesOutWithZero) {
    ZUSimRegister();
    const unsigned saved = ZUGetTransactionTimeout();
    ZUSetTransactionTimeout(150);
    CZUICAPI holder, waiter;
    ASSERT_EQ(1, holder.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY));
    ASSERT_EQ(1, waiter.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY));
    CZUICAPI holderCopy(holder);
    {
        CZUTransaction hold(holder);
        ASSERT_TRUE(hold.Held());
        std::thread other([&] {
            auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(0, GetChallenge(waiter));     // another connection
            EXPECT_EQ(0, GetChallenge(holderCopy)); // a copy, on another thread
            EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        });
        other.join();
        EXPECT_EQ(1, GetChallenge(holder)); // the holder goes on
    }
    EXPECT_EQ(1, GetChallenge(waiter));

    // Within the timeout a copy on another thread and another connection
    // wait for the hold to end, and then get through.
    ZUSetTransactionTimeout(5000);
    EXPECT_EQ(1, holder.IsCardExist()); // lets go of the card as well
    {
        CZUTransaction hold(holder);
        std::atomic<int> done{0};
        std::thread copyUser([&] { done += GetChallenge(holderCopy); });
        std::thread otherUser([&] { done += GetChallenge(waiter); });
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(0, done.load());
        hold.End();
        copyUser.join();
        otherUser.join();
        EXPECT_EQ(2, done.load());
    }
    ZUSetTransactionTimeout(saved);
}

} // namespace
