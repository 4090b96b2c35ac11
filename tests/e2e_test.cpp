// Issuing and using a card end to end through the library's classes and the
// real pcscd, in the readers that .ci/e2e names in the environment
// (ZUIC_E2E_SHARED_CARD for a reader shared with other PC/SC clients, which
// are threads of this test with contexts of their own;
// ZUIC_E2E_PARALLEL_READERS; ZUIC_E2E_REMOVAL_*).
#include "support/Hex.h"
#include "support/IssueFlow.h"

#include <PCSC/winscard.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// The seam for thread creation: root ignores `ulimit -u`, so the tests make
// pthread_create fail themselves, as EAGAIN would.
std::atomic<bool> g_noThreads{false};
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static Create real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    return g_noThreads ? EAGAIN : real(thread, attr, start, arg);
}

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

// The position of a reader in the PC/SC list.
int ReaderIndex(const char* reader) {
    const std::vector<std::string> names = ZUListPCSCReaders();
    int index = 0;
    while (index < static_cast<int>(names.size()) &&
           names[index].find(reader) == std::string::npos) {
        ++index;
    }
    return index;
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
    // Begins a transaction, reconnecting first after a reset by someone else.
    bool Begin() {
        DWORD active = 0;
        LONG rv = SCardBeginTransaction(m_card);
        if (rv == SCARD_W_RESET_CARD &&
            SCardReconnect(m_card, SCARD_SHARE_SHARED, ANY, SCARD_LEAVE_CARD, &active) ==
                SCARD_S_SUCCESS) {
            rv = SCardBeginTransaction(m_card);
        }
        return rv == SCARD_S_SUCCESS;
    }
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
    EXPECT_EQ(ZU_E_CARD_RESET, ZUGetLastError());
    EXPECT_EQ(SCARD_W_RESET_CARD, ZUGetLastPCSCError());
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
        EXPECT_EQ(ZU_E_TIMEOUT, ZUGetLastError());
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

// Another program holds the card and is stopped (SIGSTOP): every call that
// would wait for the card gives 0 within the timeout (plus scheduling slack),
// none hangs; once that program is gone the same objects work again.
TEST_F(E2EShared, HolderStoppedForGood) {
    const unsigned saved = ZUGetTransactionTimeout();
    ZUSetTransactionTimeout(1000);
    const pid_t holder = fork();
    if (holder == 0) {
        OtherClient other(reader);
        if (other.Begin()) {
            raise(SIGSTOP);
        }
        _exit(1);
    }
    ASSERT_GT(holder, 0);
    int status = 0;
    ASSERT_EQ(holder, waitpid(holder, &status, WUNTRACED));
    ASSERT_TRUE(WIFSTOPPED(status));
    CZUICAPI copy(card), other;
    const int index = ReaderIndex(reader);
    unsigned char challenge[8];
    unsigned long atrLen = sizeof challenge;
    const std::pair<const char*, std::function<int()>> calls[] = {
        {"command", [&] { return card.GenerateRandom(challenge, 8); }},
        {"hold", [&] { return CZUTransaction(card).Held() ? 1 : 0; }},
        {"reset", [&] { return card.Reset(challenge, &atrLen); }},
        {"open", [&] { return other.Open(Name(reader), ZU_PROTOCOL_ANY); }},
        {"change slot", [&] { return copy.ChangeSlot(index), copy.IsCardExist(); }},
        {"command again", [&] { return card.GenerateRandom(challenge, 8); }},
    };
    std::chrono::milliseconds longest(0);
    for (const auto& [name, call] : calls) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(0, call()) << name;
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        EXPECT_LT(waited, 2500ms) << name;
        longest = std::max(longest, waited - 1000ms);
        std::cout << name << ": " << waited.count() << " ms; ";
    }
    std::cout << "longest beyond the 1 s timeout: " << longest.count() << " ms\n";
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    ZUSetTransactionTimeout(5000);
    EXPECT_TRUE(ResetUntilPresent(card));
    EXPECT_EQ(1, card.GenerateRandom(challenge, 8));
    EXPECT_EQ(1, other.Open(Name(reader), ZU_PROTOCOL_ANY));
    ZUSetTransactionTimeout(saved);
}

// Inside this thread's own hold: Open of the same reader and ChangeSlot onto
// it give 0 at once; a Reset keeps the hold; a timeout of 0 takes the free
// card every time and gives 0 at once for one that another client holds.
TEST_F(E2EShared, OwnHoldResetAndTimeoutZero) {
    const int index = ReaderIndex(reader);
    unsigned char challenge[8];
    OtherClient outsider(reader); // (pcscd holds back a connect while the card is held)
    {
        CZUTransaction hold(card);
        ASSERT_TRUE(hold.Held());
        const auto start = std::chrono::steady_clock::now();
        CZUICAPI other, copy(card);
        EXPECT_EQ(0, other.Open(Name(reader), ZU_PROTOCOL_ANY));
        EXPECT_EQ(ZU_E_HELD_HERE, ZUGetLastError());
        copy.ChangeSlot(index);
        EXPECT_EQ(ZU_E_HELD_HERE, ZUGetLastError());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        unsigned long atrLen = sizeof challenge;
        EXPECT_EQ(1, card.Reset(challenge, &atrLen));
        std::atomic<bool> got{false};
        std::thread knocking([&] { got = outsider.Begin(); });
        EXPECT_EQ(1, card.GenerateRandom(challenge, 8));
        std::this_thread::sleep_for(300ms);
        EXPECT_FALSE(got); // still ours after the reset
        hold.End();
        knocking.join();
        EXPECT_TRUE(got);
        outsider.End();
    }
    const unsigned saved = ZUGetTransactionTimeout();
    ZUSetTransactionTimeout(0);
    int taken = 0;
    for (int i = 0; i < 50; ++i) {
        taken += card.GenerateRandom(challenge, 8);
    }
    EXPECT_EQ(50, taken);
    ASSERT_TRUE(outsider.Begin());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, card.GenerateRandom(challenge, 8));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    outsider.End();
    ZUSetTransactionTimeout(saved);
}

// A child process leaves its parent's PC/SC context alone: its inherited
// objects give 0 until it opens its own, and its Close takes nothing from
// the parent. No thread can be started: Open gives 0 and throws nothing.
TEST_F(E2EShared, ForkAndNoThreads) {
    unsigned char challenge[8];
    ASSERT_EQ(1, card.GenerateRandom(challenge, 8));
    const pid_t child = fork();
    if (child == 0) {
        int failures = card.GenerateRandom(challenge, 8);
        failures += ZUGetLastError() != ZU_E_FORKED;
        failures += card.Close() != 1;
        CZUICAPI own;
        failures += own.Open(Name(reader), ZU_PROTOCOL_ANY) != 1;
        failures += own.GenerateRandom(challenge, 8) != 1;
        _exit(failures);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(1, card.GenerateRandom(challenge, 8));

    CZUICAPI other;
    g_noThreads = true;
    const int opened = other.Open(Name(reader), ZU_PROTOCOL_ANY);
    const int reason = ZUGetLastError();
    const size_t listed = ZUListPCSCReaders().size();
    g_noThreads = false;
    EXPECT_EQ(0, opened);
    EXPECT_EQ(ZU_E_NO_MEMORY, reason);
    EXPECT_EQ(0u, listed);
    EXPECT_EQ(1, other.Open(Name(reader), ZU_PROTOCOL_ANY));
    EXPECT_EQ(1, other.GenerateRandom(challenge, 8));
}

// ChangeSlot on one copy while another copy closes, 30 times: no hang.
TEST_F(E2EShared, ChangeSlotWhileAnotherCopyCloses) {
    int hangs = 0;
    for (int run = 0; run < 30; ++run) {
        CZUICAPI opened;
        ASSERT_EQ(1, opened.Open(Name(reader), ZU_PROTOCOL_ANY));
        CZUICAPI closing(opened), moving(opened);
        auto closed = std::async(std::launch::async, [&closing] { return closing.Close(); });
        auto moved = std::async(std::launch::async, [&moving] {
            moving.ChangeSlot(0);
            return 1;
        });
        hangs += closed.wait_for(15s) != std::future_status::ready;
        hangs += moved.wait_for(15s) != std::future_status::ready;
    }
    EXPECT_EQ(0, hangs);
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
    EXPECT_NE(ZU_E_NONE, ZUGetLastError());
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
// gives 0 and none a false success; a wait for the card times out or is
// cancelled until a card is back, then ends; a Reset on the same object and
// it issues, writes and reads again.
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
        EXPECT_EQ(ZU_E_CARD_REMOVED, ZUGetLastError());
        EXPECT_EQ(0, WriteSecurely(card, Pattern(WRITTEN, 22)));
        EXPECT_EQ(0, SelectBinary(card) + VerifyPin(card));
        EXPECT_EQ(0, card.GenerateRandom(challenge, 8) + card.IsCardExist()); // still out
        unsigned long atrLen = sizeof challenge;
        EXPECT_EQ(0, card.Reset(challenge, &atrLen) + static_cast<int>(atrLen));
        EXPECT_EQ(ZU_E_NO_CARD, ZUGetLastError());
        // Waiting for the card: the time runs out, another thread cancels,
        // then a card is put back during the wait.
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(0, ZUWaitForCard(reader, 300));
        EXPECT_EQ(ZU_E_WAIT_TIMEOUT, ZUGetLastError());
        EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
        std::atomic<bool> waiting{true};
        std::thread canceller([&waiting] {
            for (std::this_thread::sleep_for(200ms); waiting; std::this_thread::sleep_for(100ms)) {
                ZUCancelWait(); // until it counts: a cancel before the wait began would not
            }
        });
        EXPECT_EQ(0, ZUWaitForCard(reader, 20000));
        waiting = false;
        canceller.join();
        EXPECT_EQ(ZU_E_CANCELLED, ZUGetLastError());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_EQ(0, ZUWaitForCard("no such reader", 0));
        EXPECT_EQ(ZU_E_NO_READER, ZUGetLastError());
        // The card put back inside the hold: Reset connects afresh, and the
        // hold, which the new handle does not have, is broken until it ends.
        ASSERT_TRUE(bridge.Start());
        EXPECT_EQ(1, ZUWaitForCard(reader, 20000));
        EXPECT_EQ(ZU_E_NONE, ZUGetLastError());
        ASSERT_TRUE(ResetUntilPresent(card));
        EXPECT_EQ(0, card.GenerateRandom(challenge, 8));
        EXPECT_EQ(ZU_E_HOLD_BROKEN, ZUGetLastError());
    } // letting go of a card that is gone, or of a broken hold, does not hang
    EXPECT_EQ(1, card.GenerateRandom(challenge, 8));
    EXPECT_EQ("", Issue(card, 23));
}

} // namespace
