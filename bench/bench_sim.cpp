// The library against the in-process simulated card: operations per second
// of ReadBinaryFile over a 4 KiB file and of UpdateBinaryWithSoftwareMac,
// and what the library adds to each exchange over the raw transport call
// that carries it ("transport": the same APDUs straight to the simulated
// reader's Transmit).
#include "common/Bytes.h"
#include "ZUICAPI.h"
#include "sim/CZUSimTransport.h"
#include "sim/ZUSim.h"
#include "ZUICSIM.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

const unsigned char BIN[2] = {0x00, 0x10};
const unsigned char SECURE[2] = {0x00, 0x20};
const unsigned char KEY[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                               0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01};
const size_t FILE_SIZE = 4096;

unsigned char* U(const unsigned char* p) {
    return const_cast<unsigned char*>(p);
}

// A blank "sim" card with a free 4 KiB binary file 0010 and a 256-byte file
// 0020 written under secure messaging with key 1.
bool Issue() {
    ZUSimRegister();
    ZUSimResetAll();
    CZUICAPI card;
    if (card.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY) != 1) {
        return false;
    }
    unsigned char serial[8] = {0}, keys[2] = {0x00, 0x01};
    Bytes record = {0x01, ZUSIM_KEY_TDES2, 0x00};
    record.insert(record.end(), KEY, KEY + 16);
    Bytes data(FILE_SIZE);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i);
    }
    return card.CreateMF(0x00, 0x00, serial) == 1 &&
           card.CreateEF(keys, ZUSIM_EF_KEYS, 0, 4, ZUSIM_AC_NEVER, ZUSIM_AC_FREE) == 1 &&
           card.WriteKey(0x00, record.data(), record.size()) == 1 && card.CreateEnd(keys) == 1 &&
           card.CreateEF(U(BIN), ZUSIM_EF_BINARY, FILE_SIZE >> 8, FILE_SIZE & 0xFF, ZUSIM_AC_FREE,
                         ZUSIM_AC_FREE) == 1 &&
           card.UpdateBinaryFile(data.data(), data.size(), 0) == 1 && card.CreateEnd(U(BIN)) == 1 &&
           card.CreateEF(U(SECURE), ZUSIM_EF_BINARY, 0x01, 0x00, ZUSIM_AC_FREE,
                         ZUSIM_AC_SM | 0x01) == 1 &&
           card.CreateEnd(U(SECURE)) == 1;
}

// A card object on "sim" with `file` selected.
bool OpenSelected(CZUICAPI& card, const unsigned char* file) {
    return card.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY) == 1 &&
           card.SelectEF(U(file), nullptr, nullptr) == 1;
}

void ReadBinaryLibrary(benchmark::State& state) {
    CZUICAPI card;
    if (!Issue() || !OpenSelected(card, BIN)) {
        state.SkipWithError("the simulated card could not be issued");
        return;
    }
    Bytes buffer(state.range(0));
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        if (card.ReadBinaryFile(buffer.data(), buffer.size(), 0) != 1) {
            state.SkipWithError("ReadBinaryFile failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
}

// The same READ BINARY commands, handed to the transport one by one.
void ReadBinaryTransport(benchmark::State& state) {
    if (!Issue()) {
        state.SkipWithError("the simulated card could not be issued");
        return;
    }
    std::shared_ptr<CZUSimTransport> transport = CZUSimTransport::Connect("sim", ZU_PROTOCOL_ANY);
    unsigned char select[7] = {0x00, 0xA4, 0x02, 0x0C, 0x02, BIN[0], BIN[1]};
    unsigned char answer[ZU_MAX_ANSWER];
    size_t answerLength = 0;
    transport->Transmit(select, sizeof select, answer, &answerLength);
    Bytes buffer(state.range(0));
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        for (size_t done = 0; done < buffer.size(); done += 128) {
            unsigned char read[5] = {0x00, 0xB0, static_cast<unsigned char>(done >> 8),
                                     static_cast<unsigned char>(done & 0xFF), 0x80};
            if (!transport->Transmit(read, sizeof read, answer, &answerLength)) {
                state.SkipWithError("Transmit failed");
                break;
            }
            std::memcpy(buffer.data() + done, answer, answerLength - 2);
        }
        benchmark::DoNotOptimize(buffer.data());
    }
}

// One exchange: READ BINARY of 128 bytes through the card object's
// SendCommand, against the transport's Transmit alone.
void ExchangeLibrary(benchmark::State& state) {
    CZUICAPI card;
    if (!Issue() || !OpenSelected(card, BIN)) {
        state.SkipWithError("the simulated card could not be issued");
        return;
    }
    unsigned char read[5] = {0x00, 0xB0, 0x00, 0x00, static_cast<unsigned char>(state.range(0))};
    unsigned char resp[256];
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        unsigned long length = sizeof resp;
        if (card.SendCommand(read, sizeof read, resp, &length) != 1) {
            state.SkipWithError("SendCommand failed");
            break;
        }
        benchmark::DoNotOptimize(resp);
    }
}

void ExchangeTransport(benchmark::State& state) {
    if (!Issue()) {
        state.SkipWithError("the simulated card could not be issued");
        return;
    }
    std::shared_ptr<CZUSimTransport> transport = CZUSimTransport::Connect("sim", ZU_PROTOCOL_ANY);
    unsigned char select[7] = {0x00, 0xA4, 0x02, 0x0C, 0x02, BIN[0], BIN[1]};
    unsigned char answer[ZU_MAX_ANSWER];
    size_t answerLength = 0;
    transport->Transmit(select, sizeof select, answer, &answerLength);
    unsigned char read[5] = {0x00, 0xB0, 0x00, 0x00, static_cast<unsigned char>(state.range(0))};
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        if (!transport->Transmit(read, sizeof read, answer, &answerLength)) {
            state.SkipWithError("Transmit failed");
            break;
        }
        benchmark::DoNotOptimize(answer);
    }
}

void UpdateMacLibrary(benchmark::State& state) {
    CZUICAPI card;
    if (!Issue() || !OpenSelected(card, SECURE)) {
        state.SkipWithError("the simulated card could not be issued");
        return;
    }
    Bytes data(state.range(0), 0x5A);
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        if (UpdateBinaryWithSoftwareMac(&card, U(KEY), data.data(), data.size(), 0) != 1) {
            state.SkipWithError("UpdateBinaryWithSoftwareMac failed");
            break;
        }
    }
}

} // namespace

BENCHMARK(ReadBinaryLibrary)->Name("BM_SimReadBinary_library")->Arg(4096);
BENCHMARK(ReadBinaryTransport)->Name("BM_SimReadBinary_transport")->Arg(4096);
BENCHMARK(ExchangeLibrary)->Name("BM_SimExchange_library")->Arg(128);
BENCHMARK(ExchangeTransport)->Name("BM_SimExchange_transport")->Arg(128);
BENCHMARK(UpdateMacLibrary)->Name("BM_SimUpdateMac_library")->Arg(200);
