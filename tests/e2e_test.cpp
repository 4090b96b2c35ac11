// Issuing and using a card end to end through the library's classes and the
// real pcscd, in the readers that .ci/e2e names in the environment
// (ZUIC_E2E_SHARED_CARD for a reader shared with other PC/SC clients, which
// are threads of this test with contexts of their own;
// ZUIC_E2E_PARALLEL_READERS; ZUIC_E2E_REMOVAL_*).
#include "support/Hex.h"
#include "support/IssueFlow.h"

#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace issueflow;

const char* Env(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : nullptr;
}

char* Name(const std::string& name) {
    return const_cast<char*>(name.c_str());
}

// Resets until the reader has a card (at most 10 s).
bool ResetUntilPresent(CZUICAPI& card) {
    unsigned char atr[40];
    for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(100ms)) {
        unsigned long atrLen = sizeof atr;
        if (card.Reset(atr, &atrLen) == 1) {
            return true;
        }
    }
    return false;
}

// Another PC/SC client on the same reader, in shared mode.
class OtherClient {
  public:
    explicit OtherClient(const char* reader) {
        DWORD active = 0;
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_context) !=
                SCARD_S_SUCCESS ||
            SCardConnect(m_context, reader, SCARD_SHARE_SHARED, ANY, &m_card, &active) !=
                SCARD_S_SUCCESS) {
            m_card = 0;
        }
        m_pci = active == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    }
    ~OtherClient() {
        SCardDisconnect(m_card, SCARD_LEAVE_CARD);
        SCardReleaseContext(m_context);
    }
    bool Connected() const { return m_card != 0; }
    // The status word of the answer, or 0 when the exchange failed.
    unsigned Send(const std::string& hex) {
        Bytes cmd = FromHex(hex);
        unsigned char answer[258];
        DWORD length = sizeof answer;
        LONG rv = SCardTransmit(m_card, m_pci, cmd.data(), cmd.size(), nullptr, answer, &length);
        return rv != SCARD_S_SUCCESS || length < 2 ? 0
                                                   : (answer[length - 2] << 8) | answer[length - 1];
    }
    bool Begin() { return SCardBeginTransaction(m_card) == SCARD_S_SUCCESS; }
    void End() { SCardEndTransaction(m_card, SCARD_LEAVE_CARD); }
    bool ResetCard() {
        DWORD active = 0;
        return SCardReconnect(m_card, SCARD_SHARE_SHARED, ANY, SCARD_RESET_CARD, &active) ==
               SCARD_S_SUCCESS;
    }

  private:
    static constexpr DWORD ANY = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    SCARDCONTEXT m_context = 0;
    SCARDHANDLE m_card = 0;
    const SCARD_IO_REQUEST* m_pci = SCARD_PCI_T1;
};

class E2EShared : public ::testing::Test {
  protected:
    void SetUp() override {
        if ((reader = Env("ZUIC_E2E_SHARED_CARD")) == nullptr) {
            GTEST_SKIP() << "ZUIC_E2E_SHARED_CARD names no PC/SC reader";
        }
        ASSERT_EQ(1, card.Open(Name(reader), ZU_PROTOCOL_ANY));
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
                refused += !other.Connected();
                // Any answer of the card counts (SELECT MF finds no MF while
                // the issuance has just erased it); a failed exchange does not.
                while (!stop && other.Connected()) {
                    (other.Send(command) != 0 ? answered : refused) += 1;
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
    }
}

// Another client resets the card between the host's verify and its secure
// write: the write gives 0 and is not accepted over the old state; after the
// host selects and verifies again the same object writes.
TEST_F(E2EShared, ResetByAnotherClient) {
    ASSERT_EQ("", Issue(card, 3));
    ASSERT_EQ(1, SelectBinary(card));
    ASSERT_EQ(1, VerifyPin(card));
    ASSERT_TRUE(OtherClient(reader).ResetCard());
    Bytes fresh = Pattern(WRITTEN, 4), back(WRITTEN);
    EXPECT_EQ(0, WriteSecurely(card, fresh));
    EXPECT_EQ(0, card.ReadBinaryFile(back.data(), 16, 0)); // the card forgot the PIN
    ASSERT_EQ(1, SelectBinary(card));
    ASSERT_EQ(1, VerifyPin(card));
    ASSERT_EQ(1, card.ReadBinaryFile(back.data(), WRITTEN, 0));
    EXPECT_EQ(Pattern(WRITTEN, 3), back); // nothing of the refused write
    EXPECT_EQ(1, WriteSecurely(card, fresh));
    // The longest answer through pcscd: 256 bytes and the status word.
    unsigned char read[5] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    unsigned long respLen = WRITTEN;
    EXPECT_EQ(1, card.SendCommand(read, 5, back.data(), &respLen));
    back.resize(respLen);
    EXPECT_EQ(Pattern(256, 4), back);
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
        EXPECT_TRUE(waited >= 250ms && waited < 2s);
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
    const char* restart = Env("ZUIC_E2E_RESTART_PCSCD");
    if (restart == nullptr) {
        GTEST_SKIP() << "ZUIC_E2E_RESTART_PCSCD gives no restart command";
    }
    ASSERT_EQ("", Issue(card, 5));
    ASSERT_EQ(0, std::system(restart));
    unsigned char challenge[8];
    EXPECT_EQ(0, card.GenerateRandom(challenge, 8));
    ASSERT_TRUE(ResetUntilPresent(card)); // the bridge comes back within seconds
    EXPECT_EQ(1, card.GenerateRandom(challenge, 8));
    ASSERT_EQ(1, SelectBinary(card));
    ASSERT_EQ(1, VerifyPin(card));
}

// Several readers (ZUIC_E2E_PARALLEL_READERS: PC/SC reader names separated
// by '|'), each issued five times from a thread of its own, all at once.
TEST(E2ESharedReaders, ReadersInParallel) {
    const char* names = Env("ZUIC_E2E_PARALLEL_READERS");
    if (names == nullptr) {
        GTEST_SKIP() << "ZUIC_E2E_PARALLEL_READERS names no readers";
    }
    std::vector<std::string> readers;
    std::istringstream list(names);
    for (std::string name; std::getline(list, name, '|');) {
        readers.push_back(name);
    }
    ASSERT_GE(readers.size(), 2u);
    std::vector<std::future<std::string>> runs;
    for (size_t i = 0; i < readers.size(); ++i) {
        runs.push_back(std::async(std::launch::async, [&readers, i]() -> std::string {
            CZUICAPI card;
            if (card.Open(Name(readers[i]), ZU_PROTOCOL_ANY) != 1 || !ResetUntilPresent(card)) {
                return "open and reset";
            }
            for (unsigned run = 0; run < 5; ++run) {
                std::string failed = Issue(card, run + 10 * static_cast<unsigned>(i));
                if (!failed.empty()) {
                    return failed + " (SW " + std::to_string(card.GetSW()) + ")";
                }
            }
            return "";
        }));
    }
    for (size_t i = 0; i < readers.size(); ++i) {
        EXPECT_EQ("", runs[i].get()) << readers[i];
    }
}

// The bridge serving a card to a vpcd reader, a program of its own: stopping
// it takes the card out of the reader, starting it again puts a card back.
class Bridge {
  public:
    explicit Bridge(const std::string& command) : m_command("exec " + command) {}
    ~Bridge() { Stop(); }
    bool Start() {
        char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), m_command.data(),
                        nullptr};
        return posix_spawn(&m_pid, "/bin/sh", nullptr, nullptr, argv, environ) == 0;
    }
    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
            m_pid = 0;
        }
    }

  private:
    std::string m_command;
    pid_t m_pid = 0;
};

// The card in ZUIC_E2E_REMOVAL_READER, served by the command in
// ZUIC_E2E_REMOVAL_BRIDGE (which this test starts and stops), taken out in
// the middle of the host's held select-verify-read sequence: every operation
// gives 0 and none a false success; once a card is back, a Reset on the same
// object and it issues, writes and reads again.
TEST(E2ERemoval, CardTakenOutAndPutBack) {
    const char* reader = Env("ZUIC_E2E_REMOVAL_READER");
    const char* command = Env("ZUIC_E2E_REMOVAL_BRIDGE");
    if (reader == nullptr || command == nullptr) {
        GTEST_SKIP() << "ZUIC_E2E_REMOVAL_READER and ZUIC_E2E_REMOVAL_BRIDGE name no card";
    }
    Bridge bridge(command);
    ASSERT_TRUE(bridge.Start());
    CZUICAPI card;
    bool ready = false; // opened, and the card answers a reset
    for (int i = 0; i < 100 && !ready; ++i, std::this_thread::sleep_for(100ms)) {
        ready = card.Open(Name(reader), ZU_PROTOCOL_ANY) == 1 && ResetUntilPresent(card);
    }
    ASSERT_TRUE(ready);
    ASSERT_EQ("", Issue(card, 21));
    Bytes back(WRITTEN);
    unsigned char challenge[8];
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
        EXPECT_EQ(0, card.ReadBinaryFile(back.data(), WRITTEN, 0));
        EXPECT_EQ(0, WriteSecurely(card, Pattern(WRITTEN, 22)));
        EXPECT_EQ(0, SelectBinary(card) + VerifyPin(card));
    }                                        // letting go of a card that is gone does not hang
    unsigned long atrLen = sizeof challenge; // still out, still 0
    EXPECT_EQ(0, card.GenerateRandom(challenge, 8) + card.IsCardExist() +
                     card.Reset(challenge, &atrLen) + static_cast<int>(atrLen));
    ASSERT_TRUE(bridge.Start()); // a card is put back
    ASSERT_TRUE(ResetUntilPresent(card));
    EXPECT_EQ(1, card.GenerateRandom(challenge, 8));
    EXPECT_EQ("", Issue(card, 23));
}

} // namespace
