// Through the real PC/SC stack: pcscd with the vpcd driver, and the bridge
// serving a small card from a thread of this test. Runs when
// ZUIC_E2E_PCSC=1 (the CI stage starts pcscd); skipped otherwise.
#include "common/Bytes.h"
#include "ZUICRD.h"
#include "sim/VpcdBridge.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const char* const READER = "Virtual PCD 00 01";
const int PORT = 35964;

// GET CHALLENGE gives 8 counting bytes, READ BINARY gives P3 bytes (256 for
// 00) of a fixed pattern; anything else is an unknown instruction.
class CSmallCard : public CZUSimDevice {
  public:
    Bytes PowerOn() override { return {0x3B, 0x02, 0x14, 0x50}; }
    void PowerOff() override {}
    Bytes Process(const unsigned char* apdu, size_t length) override {
        if (length == 5 && apdu[1] == 0x84) {
            Bytes answer;
            for (unsigned char i = 0; i < apdu[4]; ++i) {
                answer.push_back(static_cast<unsigned char>(m_counter++));
            }
            answer.insert(answer.end(), {0x90, 0x00});
            return answer;
        }
        if (length == 5 && apdu[1] == 0xB0) {
            size_t n = apdu[4] == 0 ? 256 : apdu[4];
            Bytes answer;
            for (size_t i = 0; i < n; ++i) {
                answer.push_back(static_cast<unsigned char>(i ^ 0xA5));
            }
            answer.insert(answer.end(), {0x90, 0x00});
            return answer;
        }
        return {0x6D, 0x00};
    }

  private:
    unsigned m_counter = 0;
};

// A bridge in a thread of this process; Stop takes the card out.
class CBridge {
  public:
    void Start() {
        m_stop = 0;
        m_thread = std::thread([this] { ZUServeVpcd(m_card, "127.0.0.1", PORT, &m_stop); });
    }
    void Stop() {
        m_stop = 1;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    ~CBridge() { Stop(); }

  private:
    CSmallCard m_card;
    volatile std::sig_atomic_t m_stop = 0;
    std::thread m_thread;
};

// A card that stops answering makes SCardTransmit block: every step runs
// under a deadline, and a step that overruns ends the test program.
template <typename T>
T Within(std::chrono::seconds limit, const char* step, std::function<T()> fn) {
    auto task = std::make_shared<std::packaged_task<T()>>(std::move(fn));
    std::future<T> result = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    if (result.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "step \"%s\" did not finish within %lld s\n", step,
                     static_cast<long long>(limit.count()));
        std::_Exit(1);
    }
    return result.get();
}

// Waits (bounded) until the reader shows a card and opens it.
bool OpenWhenPresent(CZUReader& reader) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::string name = READER;
        if (Within<int>(5s, "open", [&] { return reader.Open(name.data(), ZU_PROTOCOL_ANY); }) &&
            Within<int>(5s, "card present", [&] { return reader.IsCardExist(); })) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

bool WaitUntilAbsent(CZUReader& reader) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!Within<int>(5s, "card present", [&] { return reader.IsCardExist(); })) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

int Send(CZUReader& reader, Bytes cmd, Bytes* data) {
    return Within<int>(10s, "send", [&reader, cmd, data]() mutable {
        unsigned char resp[300];
        unsigned long respLen = sizeof resp;
        int ok = reader.SendCommand(cmd.data(), cmd.size(), resp, &respLen);
        data->assign(resp, resp + respLen);
        return ok;
    });
}

class PcscEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* enabled = std::getenv("ZUIC_E2E_PCSC");
        if (enabled == nullptr || std::strcmp(enabled, "1") != 0) {
            GTEST_SKIP() << "set ZUIC_E2E_PCSC=1 with pcscd and vpcd running";
        }
    }
};

TEST_F(PcscEndToEnd, ExchangesThroughPcscdAndSurvivesCardRemoval) {
    CBridge bridge;
    bridge.Start();
    CZUReader reader;
    ASSERT_TRUE(OpenWhenPresent(reader)) << "no card in \"" << READER << "\"";

    unsigned char atr[40];
    unsigned long atrLen = sizeof atr;
    ASSERT_EQ(Within<int>(10s, "reset", [&] { return reader.Reset(atr, &atrLen); }), 1);
    EXPECT_EQ(Bytes(atr, atr + atrLen), (Bytes{0x3B, 0x02, 0x14, 0x50}));

    Bytes data;
    ASSERT_EQ(Send(reader, {0x00, 0x84, 0x00, 0x00, 0x08}, &data), 1);
    EXPECT_EQ(data, (Bytes{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(reader.GetSW(), 0x9000);
    ASSERT_EQ(Send(reader, {0x00, 0xB0, 0x00, 0x00, 0x00}, &data), 1);
    ASSERT_EQ(data.size(), 256u);
    EXPECT_EQ(data[255], 0xFF ^ 0xA5);
    EXPECT_EQ(Send(reader, {0x00, 0x12, 0x00, 0x00, 0x00}, &data), 0);
    EXPECT_EQ(reader.GetSW(), 0x6D00);

    // The card leaves: the exchange under way and later ones fail.
    bridge.Stop();
    EXPECT_EQ(Send(reader, {0x00, 0x84, 0x00, 0x00, 0x08}, &data), 0);
    EXPECT_TRUE(data.empty());
    EXPECT_TRUE(WaitUntilAbsent(reader));
    EXPECT_EQ(Send(reader, {0x00, 0x84, 0x00, 0x00, 0x08}, &data), 0);
    atrLen = sizeof atr;
    EXPECT_EQ(Within<int>(10s, "reset without card", [&] { return reader.Reset(atr, &atrLen); }),
              0);
    EXPECT_EQ(atrLen, 0u);

    // The card comes back: Reset reconnects and the same object works again.
    bridge.Start();
    auto deadline = std::chrono::steady_clock::now() + 10s;
    int reset = 0;
    while (!reset && std::chrono::steady_clock::now() < deadline) {
        atrLen = sizeof atr;
        reset = Within<int>(10s, "reset", [&] { return reader.Reset(atr, &atrLen); });
        if (!reset) {
            std::this_thread::sleep_for(100ms);
        }
    }
    ASSERT_EQ(reset, 1);
    EXPECT_EQ(reader.IsCardExist(), 1);
    ASSERT_EQ(Send(reader, {0x00, 0x84, 0x00, 0x00, 0x04}, &data), 1);
    EXPECT_EQ(data.size(), 4u);
    bridge.Stop();
}

} // namespace
