// Round trip of one APDU through pcscd and vpcd: the library's
// CZUReader::SendCommand against a bare SCardTransmit loop, both on the same
// reader in the same run. The card is served from a thread of this program;
// without pcscd both benchmarks report an error and the others still run.
#include "common/Bytes.h"
#include "ZUICRD.h"
#include "sim/VpcdBridge.h"

#include <benchmark/benchmark.h>

#include <PCSC/winscard.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const READER = "Virtual PCD 00 01";
const int PORT = 35964;
const unsigned char GET_CHALLENGE[5] = {0x00, 0x84, 0x00, 0x00, 0x08};

// Answers every command with eight bytes and 90 00.
class CChallengeCard : public CZUSimDevice {
  public:
    Bytes PowerOn() override { return {0x3B, 0x02, 0x14, 0x50}; }
    void PowerOff() override {}
    Bytes Process(const unsigned char*, size_t) override {
        return {1, 2, 3, 4, 5, 6, 7, 8, 0x90, 0x00};
    }
};

// One bridge for the whole run, started on first use.
class CBridgeThread {
  public:
    CBridgeThread() {
        m_thread = std::thread([this] { ZUServeVpcd(m_card, "127.0.0.1", PORT, &m_stop); });
    }
    ~CBridgeThread() {
        m_stop = 1;
        m_thread.join();
    }

  private:
    CChallengeCard m_card;
    volatile std::sig_atomic_t m_stop = 0;
    std::thread m_thread;
};

void EnsureBridge() {
    static CBridgeThread bridge;
}

// The full PC/SC name of the virtual reader once it shows a card, or "".
std::string WaitForCard() {
    EnsureBridge();
    for (int tries = 0; tries < 50; ++tries) {
        for (const std::string& name : ZUListPCSCReaders()) {
            CZUReader reader;
            std::string copy = name;
            if (name.find(READER) != std::string::npos &&
                reader.Open(copy.data(), ZU_PROTOCOL_ANY) && reader.IsCardExist()) {
                return name;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

void VpcdLibrary(benchmark::State& state) {
    std::string name = WaitForCard();
    CZUReader reader;
    if (name.empty() || !reader.Open(name.data(), ZU_PROTOCOL_ANY)) {
        state.SkipWithError("no card in the virtual PC/SC reader (is pcscd running?)");
        return;
    }
    unsigned char cmd[5];
    unsigned char resp[16];
    for (auto _ : state) {
        std::memcpy(cmd, GET_CHALLENGE, sizeof cmd);
        unsigned long respLen = sizeof resp;
        if (!reader.SendCommand(cmd, sizeof cmd, resp, &respLen)) {
            state.SkipWithError("exchange failed");
            break;
        }
        benchmark::DoNotOptimize(resp);
    }
}

void VpcdPcsc(benchmark::State& state) {
    std::string name = WaitForCard();
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD active = 0;
    if (name.empty() ||
        SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        state.SkipWithError("no card in the virtual PC/SC reader (is pcscd running?)");
        return;
    }
    if (SCardConnect(context, name.c_str(), SCARD_SHARE_SHARED,
                     SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &active) != SCARD_S_SUCCESS) {
        SCardReleaseContext(context);
        state.SkipWithError("cannot connect to the virtual reader");
        return;
    }
    const SCARD_IO_REQUEST* pci = active == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    unsigned char resp[258];
    for (auto _ : state) {
        DWORD respLen = sizeof resp;
        if (SCardTransmit(card, pci, GET_CHALLENGE, sizeof GET_CHALLENGE, nullptr, resp,
                          &respLen) != SCARD_S_SUCCESS) {
            state.SkipWithError("exchange failed");
            break;
        }
        benchmark::DoNotOptimize(resp);
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
}

} // namespace

BENCHMARK(VpcdLibrary)
    ->Name("BM_VpcdRoundTrip_library")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(VpcdPcsc)->Name("BM_VpcdRoundTrip_pcsc")->Unit(benchmark::kMicrosecond)->UseRealTime();
