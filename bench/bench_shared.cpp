// What holding the card costs through pcscd and vpcd, beside bare
// SCardTransmit in the same run, and issuance throughput with 1, 2 and 4
// readers in parallel. The simulated cards are served from threads of this
// program to "Virtual PCD 00 00" (port 35963) and "Virtual PCD 00 01"
// (35964), and for four readers to "Virtual PCD 2 00 00" (35965) and
// "Virtual PCD 2 00 01" (35966): a second vpcd channel with its own copy of
// the driver, as add_second_vpcd in .ci/pcscd.sh writes it before pcscd
// starts (one copy of the driver serves two slots only). Run alone
// (--benchmark_filter=Shared): the round-trip benchmarks serve a card of
// their own on 35964.
#include "ZUICAPI.h"
#include "sim/VpcdBridge.h"
#include "sim/ZUSim.h"
#include "tests/support/IssueFlow.h"

#include <benchmark/benchmark.h>

#include <PCSC/winscard.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct SharedReader {
    const char* name;
    int port;
};
const SharedReader READERS[4] = {{"Virtual PCD 00 00", 35963},
                                 {"Virtual PCD 00 01", 35964},
                                 {"Virtual PCD 2 00 00", 35965},
                                 {"Virtual PCD 2 00 01", 35966}};

const unsigned char GET_CHALLENGE[5] = {0x00, 0x84, 0x00, 0x00, 0x08};
const unsigned char BIG_FILE[2] = {0x02, 0x02};
const unsigned long BIG_FILE_SIZE = 4096;

// A simulated card served to one vpcd port for the rest of the run.
class CServedCard {
  public:
    explicit CServedCard(int port) : m_card(ZUSimCreate("sim")) {
        m_thread = std::thread([this, port] { ZUServeVpcd(*m_card, "127.0.0.1", port, &m_stop); });
    }
    ~CServedCard() {
        m_stop = 1;
        m_thread.join();
    }

  private:
    std::unique_ptr<CZUSimDevice> m_card;
    volatile std::sig_atomic_t m_stop = 0;
    std::thread m_thread;
};

// Serves cards to the first `count` readers and waits until each shows one;
// false if any does not.
bool ServeReaders(size_t count) {
    static std::unique_ptr<CServedCard> served[4];
    for (size_t i = 0; i < count; ++i) {
        if (!served[i]) {
            served[i] = std::make_unique<CServedCard>(READERS[i].port);
        }
    }
    for (size_t i = 0; i < count; ++i) {
        bool present = false;
        for (int tries = 0; tries < 50 && !present; ++tries) {
            CZUReader reader;
            present = reader.Open(const_cast<char*>(READERS[i].name), ZU_PROTOCOL_ANY) == 1 &&
                      reader.IsCardExist() == 1;
            if (!present) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        if (!present) {
            return false;
        }
    }
    return true;
}

// The card of the first reader with a free 4 KiB binary file, selected.
bool PrepareBigFile(CZUICAPI& card) {
    using issueflow::U;
    unsigned char serial[8] = {0};
    return card.EraseMF() == 1 && card.CreateMF(ZUSIM_AC_FREE, 0x02, serial) == 1 &&
           card.CreateEF(U(BIG_FILE), ZUSIM_EF_BINARY, BIG_FILE_SIZE >> 8, BIG_FILE_SIZE & 0xFF,
                         ZUSIM_AC_FREE, ZUSIM_AC_FREE) == 1 &&
           card.CreateEnd(U(BIG_FILE)) == 1 && card.CreateEnd(U(issueflow::MF)) == 1 &&
           card.SelectEF(U(BIG_FILE), nullptr, nullptr) == 1;
}

// A bare PC/SC connection to the first reader.
class CBare {
  public:
    CBare() {
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_context) !=
            SCARD_S_SUCCESS) {
            return;
        }
        DWORD active = 0;
        if (SCardConnect(m_context, READERS[0].name, SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &m_card,
                         &active) != SCARD_S_SUCCESS) {
            m_card = 0;
        }
        m_pci = active == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    }
    ~CBare() {
        if (m_card != 0) {
            SCardDisconnect(m_card, SCARD_LEAVE_CARD);
        }
        if (m_context != 0) {
            SCardReleaseContext(m_context);
        }
    }
    bool Ok() const { return m_card != 0; }
    bool Transmit(const unsigned char* cmd, size_t length) {
        unsigned char answer[258];
        DWORD answerLen = sizeof answer;
        return SCardTransmit(m_card, m_pci, cmd, static_cast<DWORD>(length), nullptr, answer,
                             &answerLen) == SCARD_S_SUCCESS &&
               answerLen >= 2 && answer[answerLen - 2] == 0x90;
    }
    SCARDHANDLE Handle() const { return m_card; }

  private:
    SCARDCONTEXT m_context = 0;
    SCARDHANDLE m_card = 0;
    const SCARD_IO_REQUEST* m_pci = SCARD_PCI_T1;
};

bool Ready(benchmark::State& state, size_t readers) {
    if (!ServeReaders(readers)) {
        state.SkipWithError("no card in the virtual readers (is pcscd running?)");
        return false;
    }
    return true;
}

void BareTransmit(benchmark::State& state) {
    if (!Ready(state, 1)) {
        return;
    }
    CBare bare;
    if (!bare.Ok()) {
        state.SkipWithError("no card");
        return;
    }
    for (auto _ : state) {
        if (!bare.Transmit(GET_CHALLENGE, sizeof GET_CHALLENGE)) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
}

void BareBeginTransmitEnd(benchmark::State& state) {
    if (!Ready(state, 1)) {
        return;
    }
    CBare bare;
    if (!bare.Ok()) {
        state.SkipWithError("no card");
        return;
    }
    for (auto _ : state) {
        SCardBeginTransaction(bare.Handle());
        bool ok = bare.Transmit(GET_CHALLENGE, sizeof GET_CHALLENGE);
        SCardEndTransaction(bare.Handle(), SCARD_LEAVE_CARD);
        if (!ok) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
}

// A single-APDU operation: one transaction of its own.
void LibraryOperation(benchmark::State& state) {
    CZUICAPI card;
    if (!Ready(state, 1) || card.Open(const_cast<char*>(READERS[0].name), ZU_PROTOCOL_ANY) != 1) {
        state.SkipWithError("no card");
        return;
    }
    unsigned char challenge[8];
    for (auto _ : state) {
        if (card.GenerateRandom(challenge, 8) != 1) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
}

// The same operation inside the host's own hold.
void LibraryOperationHeld(benchmark::State& state) {
    CZUICAPI card;
    if (!Ready(state, 1) || card.Open(const_cast<char*>(READERS[0].name), ZU_PROTOCOL_ANY) != 1) {
        state.SkipWithError("no card");
        return;
    }
    CZUTransaction hold(card);
    unsigned char challenge[8];
    for (auto _ : state) {
        if (card.GenerateRandom(challenge, 8) != 1) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
}

void BareRead4K(benchmark::State& state) {
    CZUICAPI card;
    if (!Ready(state, 1) || card.Open(const_cast<char*>(READERS[0].name), ZU_PROTOCOL_ANY) != 1 ||
        !PrepareBigFile(card)) {
        state.SkipWithError("no card or no 4 KiB file");
        return;
    }
    CBare bare;
    for (auto _ : state) {
        for (unsigned long at = 0; at < BIG_FILE_SIZE; at += 128) {
            unsigned char read[5] = {0x00, 0xB0, static_cast<unsigned char>(at >> 8),
                                     static_cast<unsigned char>(at & 0xFF), 0x80};
            if (!bare.Transmit(read, sizeof read)) {
                state.SkipWithError("exchange failed");
                return;
            }
        }
    }
}

void LibraryRead4K(benchmark::State& state) {
    CZUICAPI card;
    if (!Ready(state, 1) || card.Open(const_cast<char*>(READERS[0].name), ZU_PROTOCOL_ANY) != 1 ||
        !PrepareBigFile(card)) {
        state.SkipWithError("no card or no 4 KiB file");
        return;
    }
    std::vector<unsigned char> buffer(BIG_FILE_SIZE);
    for (auto _ : state) {
        if (card.ReadBinaryFile(buffer.data(), BIG_FILE_SIZE, 0) != 1) {
            state.SkipWithError("read failed");
            break;
        }
    }
}

// Cards issued a second with state.range(0) readers, one thread each.
void Issuance(benchmark::State& state) {
    const size_t readers = static_cast<size_t>(state.range(0));
    if (!Ready(state, readers)) {
        return;
    }
    std::vector<std::unique_ptr<CZUICAPI>> cards;
    for (size_t i = 0; i < readers; ++i) {
        cards.push_back(std::make_unique<CZUICAPI>());
        if (cards.back()->Open(const_cast<char*>(READERS[i].name), ZU_PROTOCOL_ANY) != 1) {
            state.SkipWithError("cannot open a reader");
            return;
        }
    }
    const unsigned perReader = 4;
    int64_t issued = 0;
    for (auto _ : state) {
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (size_t i = 0; i < readers; ++i) {
            threads.emplace_back([&, i] {
                for (unsigned run = 0; run < perReader; ++run) {
                    if (!issueflow::Issue(*cards[i], run).empty()) {
                        ++failures;
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        if (failures != 0) {
            state.SkipWithError("an issuance failed");
            break;
        }
        issued += static_cast<int64_t>(readers * perReader);
    }
    state.counters["cards_per_s"] =
        benchmark::Counter(static_cast<double>(issued), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BareTransmit)
    ->Name("BM_Shared_bare_transmit")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BareBeginTransmitEnd)
    ->Name("BM_Shared_bare_begin_transmit_end")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(LibraryOperation)
    ->Name("BM_Shared_library_one_apdu_operation")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(LibraryOperationHeld)
    ->Name("BM_Shared_library_apdu_in_host_hold")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BareRead4K)
    ->Name("BM_Shared_bare_32_reads")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(LibraryRead4K)
    ->Name("BM_Shared_library_read_4KiB")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(Issuance)
    ->Name("BM_Shared_issuance")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
