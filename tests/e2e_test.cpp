// A reader shared with other PC/SC clients, through the real pcscd: the
// card served by `zuic sim --vpcd` in the reader that ZUIC_E2E_SHARED_CARD
// names (.ci/e2e sets it). Other clients are threads of this test with PC/SC
// contexts of their own, which pcscd tells apart as it does programs.
#include "ZUICAPI.h"
#include "support/Hex.h"
#include "support/IssueFlow.h"

#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <csignal>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace issueflow;

const char* SharedReader() {
    const char* name = std::getenv("ZUIC_E2E_SHARED_CARD");
    return (name != nullptr && *name != '\0') ? name : nullptr;
}

// Another PC/SC client on the same reader, in shared mode.
class OtherClient {
  public:
    explicit OtherClient(const char* reader) {
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_context) !=
            SCARD_S_SUCCESS) {
            return;
        }
        DWORD active = 0;
        if (SCardConnect(m_context, reader, SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &m_card,
                         &active) != SCARD_S_SUCCESS) {
            m_card = 0;
        }
        m_pci = active == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    }
    ~OtherClient() {
        if (m_card != 0) {
            SCardDisconnect(m_card, SCARD_LEAVE_CARD);
        }
        if (m_context != 0) {
            SCardReleaseContext(m_context);
        }
    }
    bool Connected() const { return m_card != 0; }
    // The status word of the answer, or 0 when the exchange failed.
    unsigned Send(const std::string& hex) {
        Bytes cmd = FromHex(hex);
        unsigned char answer[258];
        DWORD length = sizeof answer;
        LONG rv = SCardTransmit(m_card, m_pci, cmd.data(), static_cast<DWORD>(cmd.size()), nullptr,
                                answer, &length);
        if (rv == SCARD_W_RESET_CARD) { // someone reset the card: carry on
            DWORD active = 0;
            SCardReconnect(m_card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                           SCARD_LEAVE_CARD, &active);
            length = sizeof answer;
            rv = SCardTransmit(m_card, m_pci, cmd.data(), static_cast<DWORD>(cmd.size()), nullptr,
                               answer, &length);
        }
        if (rv != SCARD_S_SUCCESS || length < 2) {
            return 0;
        }
        return (answer[length - 2] << 8) | answer[length - 1];
    }
    bool Begin() { return SCardBeginTransaction(m_card) == SCARD_S_SUCCESS; }
    void End() { SCardEndTransaction(m_card, SCARD_LEAVE_CARD); }
    bool ResetCard() {
        DWORD active = 0;
        return SCardReconnect(m_card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                              SCARD_RESET_CARD, &active) == SCARD_S_SUCCESS;
    }

  private:
    SCARDCONTEXT m_context = 0;
    SCARDHANDLE m_card = 0;
    const SCARD_IO_REQUEST* m_pci = SCARD_PCI_T1;
};

class E2EShared : public ::testing::Test {
  protected:
    void SetUp() override {
        reader = SharedReader();
        if (reader == nullptr) {
            GTEST_SKIP() << "ZUIC_E2E_SHARED_CARD names no PC/SC reader";
        }
        ASSERT_EQ(1, card.Open(const_cast<char*>(reader), ZU_PROTOCOL_ANY));
    }
    const char* reader = nullptr;
    CZUICAPI card;
};

// Two other clients hammer the reader while the issuance runs 20 times: every
// run passes, and every command of theirs is answered (they wait for the
// card, nobody refuses them). Against GET CHALLENGE the holds of the card
// operations are enough; against a SELECT MF, which moves the card away from
// the file being written, the host holds its own sequences.
TEST_F(E2EShared, IssuanceAmidOtherClients) {
    struct Case {
        const char* others[2];
        Holds holds;
    };
    for (const Case& c : {Case{{"00 84 00 00 08", "00 84 00 00 04"}, Holds::OperationsOnly},
                          Case{{"00 84 00 00 08", "00 A4 00 00 02 3F 00"}, Holds::Sequences}}) {
        SCOPED_TRACE(c.others[1]);
        std::atomic<bool> stop{false};
        std::atomic<int> answered{0}, refused{0};
        std::vector<std::thread> others;
        for (const char* command : c.others) {
            others.emplace_back([&, command] {
                OtherClient other(reader);
                if (!other.Connected()) {
                    ++refused;
                    return;
                }
                while (!stop) {
                    // Any answer of the card counts (SELECT MF finds no MF
                    // while the issuance has just erased it); a failed
                    // exchange does not.
                    unsigned sw = other.Send(command);
                    if (sw != 0) {
                        ++answered;
                    } else {
                        ++refused;
                    }
                }
            });
        }
        // Both are connected and hammering before the issuance starts.
        for (int i = 0; i < 500 && answered < 2 * 20; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        const int before = answered;
        for (unsigned run = 0; run < 20; ++run) {
            EXPECT_EQ("", Issue(card, run, c.holds)) << "run " << run;
        }
        const int during = answered - before;
        stop = true;
        for (std::thread& other : others) {
            other.join();
        }
        EXPECT_EQ(0, refused.load());
        EXPECT_GT(during, 0); // they got in between the operations
        std::printf("other clients' commands answered during 20 issuances: %d\n", during);
    }
}

// The host's own hold keeps another client's SELECT MF out of its
// select-verify-read sequence: that SELECT is answered only after the hold.
TEST_F(E2EShared, HostHoldKeepsOthersOut) {
    ASSERT_EQ("", Issue(card, 7));
    OtherClient client(reader); // connected before the hold: its SELECT is what waits
    ASSERT_TRUE(client.Connected());
    std::atomic<bool> started{false}, done{false};
    std::thread other;
    {
        CZUTransaction hold(card);
        ASSERT_TRUE(hold.Held());
        ASSERT_EQ(1, SelectBinary(card));
        other = std::thread([&] {
            started = true;
            EXPECT_EQ(0x9000u, client.Send("00 A4 00 00 02 3F 00"));
            done = true;
        });
        while (!started) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(200ms);
        ASSERT_EQ(1, VerifyPin(card));
        Bytes back(WRITTEN);
        EXPECT_EQ(1, card.ReadBinaryFile(back.data(), WRITTEN, 0)); // still the binary file
        EXPECT_EQ(Pattern(WRITTEN, 7), back);
        EXPECT_FALSE(done.load());
    }
    other.join();
    EXPECT_TRUE(done.load());
}

// Another client resets the card between the host's verify and its secure
// write: the write gives 0 and is not accepted over the old state; after the
// host selects and verifies again the same object writes.
TEST_F(E2EShared, ResetByAnotherClient) {
    ASSERT_EQ("", Issue(card, 3));
    ASSERT_EQ(1, SelectBinary(card));
    ASSERT_EQ(1, VerifyPin(card));
    {
        OtherClient other(reader);
        ASSERT_TRUE(other.ResetCard());
    }
    Bytes fresh = Pattern(WRITTEN, 4);
    EXPECT_EQ(0, UpdateBinaryWithSoftwareMac(&card, U(SM_KEY), fresh.data(), 200, 0));
    EXPECT_EQ(0, card.ReadBinaryFile(fresh.data(), 16, 0)); // the card forgot the PIN
    ASSERT_EQ(1, SelectBinary(card));
    ASSERT_EQ(1, VerifyPin(card));
    Bytes back(WRITTEN);
    ASSERT_EQ(1, card.ReadBinaryFile(back.data(), WRITTEN, 0));
    EXPECT_EQ(Pattern(WRITTEN, 3), back); // nothing of the refused write
    EXPECT_EQ(1, WriteSecurely(card, Pattern(WRITTEN, 4)));
}

// Another client keeps the card past the transaction timeout: the operation
// gives 0 in bounded time, and works once the other lets go.
TEST_F(E2EShared, CardHeldByAnotherClientPastTheTimeout) {
    const unsigned saved = ZUGetTransactionTimeout();
    ZUSetTransactionTimeout(300);
    unsigned char challenge[8];
    ASSERT_EQ(1, card.GenerateRandom(challenge, 8));
    {
        OtherClient other(reader);
        ASSERT_TRUE(other.Begin());
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(0, card.GenerateRandom(challenge, 8));
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, 250ms);
        EXPECT_LT(waited, 2s);
        std::this_thread::sleep_for(200ms);
        other.End();
    }
    // The abandoned wait gets the card at last and lets it go at once.
    ZUSetTransactionTimeout(5000);
    EXPECT_EQ(1, card.GenerateRandom(challenge, 8));
    EXPECT_EQ(1, card.GenerateRandom(challenge, 8));
    ZUSetTransactionTimeout(saved);
}

// pcscd stopped and started again by the command in ZUIC_E2E_RESTART_PCSCD:
// commands fail meanwhile, then work after Reset, in the same process.
TEST_F(E2EShared, PcscdRestart) {
    const char* restart = std::getenv("ZUIC_E2E_RESTART_PCSCD");
    if (restart == nullptr || *restart == '\0') {
        GTEST_SKIP() << "ZUIC_E2E_RESTART_PCSCD gives no restart command";
    }
    ASSERT_EQ("", Issue(card, 5));
    ASSERT_EQ(0, std::system(restart));
    unsigned char challenge[8];
    EXPECT_EQ(0, card.GenerateRandom(challenge, 8));
    int reset = 0;
    for (int i = 0; i < 100 && reset != 1; ++i) { // the bridge comes back within seconds
        unsigned char atr[40];
        unsigned long atrLen = sizeof atr;
        reset = card.Reset(atr, &atrLen);
        if (reset != 1) {
            std::this_thread::sleep_for(100ms);
        }
    }
    ASSERT_EQ(1, reset);
    EXPECT_EQ(1, card.GenerateRandom(challenge, 8));
    ASSERT_EQ(1, SelectBinary(card));
    ASSERT_EQ(1, VerifyPin(card));
}

// Several readers (ZUIC_E2E_PARALLEL_READERS: PC/SC reader names separated
// by '|'), each issued five times from a thread of its own, all at once.
TEST(E2ESharedReaders, ReadersInParallel) {
    const char* names = std::getenv("ZUIC_E2E_PARALLEL_READERS");
    if (names == nullptr || *names == '\0') {
        GTEST_SKIP() << "ZUIC_E2E_PARALLEL_READERS names no readers";
    }
    std::vector<std::string> readers;
    std::string all = names;
    for (size_t start = 0; start <= all.size();) {
        size_t end = all.find('|', start);
        end = end == std::string::npos ? all.size() : end;
        readers.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_GE(readers.size(), 2u);
    std::vector<std::string> failures(readers.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < readers.size(); ++i) {
        threads.emplace_back([&, i] {
            CZUICAPI card;
            unsigned char atr[40];
            unsigned long atrLen = sizeof atr;
            if (card.Open(const_cast<char*>(readers[i].c_str()), ZU_PROTOCOL_ANY) != 1 ||
                card.Reset(atr, &atrLen) != 1) {
                failures[i] = "open and reset";
                return;
            }
            for (unsigned run = 0; run < 5 && failures[i].empty(); ++run) {
                failures[i] = Issue(card, run + 10 * static_cast<unsigned>(i));
                if (!failures[i].empty()) {
                    char sw[16];
                    std::snprintf(sw, sizeof sw, " (SW %04X)", card.GetSW());
                    failures[i] += sw;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (size_t i = 0; i < readers.size(); ++i) {
        EXPECT_EQ("", failures[i]) << readers[i];
    }
}

// The bridge serving a card to a vpcd reader, a program of its own: stopping
// it takes the card out of the reader, starting it again puts a card back.
class Bridge {
  public:
    explicit Bridge(std::string command) : m_command("exec " + std::move(command)) {}
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;
    ~Bridge() { Stop(); }
    bool Start() {
        char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), m_command.data(),
                        nullptr};
        return posix_spawn(&m_pid, "/bin/sh", nullptr, nullptr, argv, environ) == 0;
    }
    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_pid = 0;
        }
    }

  private:
    std::string m_command;
    pid_t m_pid = 0;
};

// Resets the card until the reader has one again (at most 10 s): the host's
// own recovery after the card came back.
bool ResetUntilPresent(CZUICAPI& card) {
    for (int i = 0; i < 100; ++i) {
        unsigned char atr[40];
        unsigned long atrLen = sizeof atr;
        if (card.Reset(atr, &atrLen) == 1) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

// The card in ZUIC_E2E_REMOVAL_READER, served by the command in
// ZUIC_E2E_REMOVAL_BRIDGE (which this test starts and stops), taken out in
// the middle of the host's held select-verify-read sequence: every operation
// gives 0 and none a false success; once a card is back, a Reset on the same
// object and it issues, writes and reads again.
TEST(E2ERemoval, CardTakenOutAndPutBack) {
    const char* reader = std::getenv("ZUIC_E2E_REMOVAL_READER");
    const char* command = std::getenv("ZUIC_E2E_REMOVAL_BRIDGE");
    if (reader == nullptr || *reader == '\0' || command == nullptr || *command == '\0') {
        GTEST_SKIP() << "ZUIC_E2E_REMOVAL_READER and ZUIC_E2E_REMOVAL_BRIDGE name no card";
    }
    Bridge bridge(command);
    ASSERT_TRUE(bridge.Start());
    CZUICAPI card;
    bool ready = false; // opened, and the card answers a reset
    for (int i = 0; i < 100 && !ready; ++i) {
        unsigned char atr[40];
        unsigned long atrLen = sizeof atr;
        ready = card.Open(const_cast<char*>(reader), ZU_PROTOCOL_ANY) == 1 &&
                card.Reset(atr, &atrLen) == 1;
        if (!ready) {
            std::this_thread::sleep_for(100ms);
        }
    }
    ASSERT_TRUE(ready);
    ASSERT_EQ("", Issue(card, 21));
    {
        CZUTransaction hold(card);
        ASSERT_TRUE(hold.Held());
        ASSERT_EQ(1, SelectBinary(card));
        ASSERT_EQ(1, VerifyPin(card));
        bridge.Stop(); // the card is taken out
        // A command that meets the bridge's closed socket before pcscd's poll
        // has seen the card go leaves vpcd taking no new bridge on that reader
        // (not within 10 s): the card is gone for pcscd before the next one.
        std::this_thread::sleep_for(2s);
        Bytes back(WRITTEN);
        unsigned char challenge[8];
        Bytes fresh = Pattern(WRITTEN, 22);
        EXPECT_EQ(0, card.ReadBinaryFile(back.data(), WRITTEN, 0));
        EXPECT_EQ(0, UpdateBinaryWithSoftwareMac(&card, U(SM_KEY), fresh.data(), 200, 0));
        EXPECT_EQ(0, card.GenerateRandom(challenge, 8));
        EXPECT_EQ(0, SelectBinary(card));
        EXPECT_EQ(0, VerifyPin(card));
    } // letting go of a card that is gone does not hang
    unsigned char challenge[8];
    EXPECT_EQ(0, card.GenerateRandom(challenge, 8)); // still out, still 0
    ASSERT_TRUE(bridge.Start());                     // a card is put back
    ASSERT_TRUE(ResetUntilPresent(card));
    EXPECT_EQ(1, card.GenerateRandom(challenge, 8));
    EXPECT_EQ("", Issue(card, 23));
    ASSERT_EQ(1, SelectBinary(card));
    ASSERT_EQ(1, VerifyPin(card));
    Bytes back(WRITTEN);
    ASSERT_EQ(1, card.ReadBinaryFile(back.data(), WRITTEN, 0));
    EXPECT_EQ(Pattern(WRITTEN, 23), back);
}

} // namespace
