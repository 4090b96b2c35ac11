// The vpcd bridge against a fake vpcd in the test: framing, control codes,
// split writes, a peer that goes away, and stopping.
#include "common/Bytes.h"
#include "sim/VpcdBridge.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// Answers every APDU with its bytes reversed and 90 00; counts power events.
class CEchoDevice : public CZUSimDevice {
  public:
    Bytes PowerOn() override {
        ++powerOns;
        return {0x3B, 0x02, 0x14, 0x50};
    }
    void PowerOff() override { ++powerOffs; }
    Bytes Process(const unsigned char* apdu, size_t length) override {
        Bytes answer(apdu, apdu + length);
        std::reverse(answer.begin(), answer.end());
        answer.push_back(0x90);
        answer.push_back(0x00);
        return answer;
    }
    std::atomic<int> powerOns{0};
    std::atomic<int> powerOffs{0};
};

// vpcd's side: listens on an ephemeral port of 127.0.0.1.
class CFakeVpcd {
  public:
    CFakeVpcd() {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_listener, 1);
        socklen_t size = sizeof address;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    ~CFakeVpcd() {
        Drop();
        close(m_listener);
    }
    bool Accept() {
        pollfd p{m_listener, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) {
            return false;
        }
        m_card = accept(m_listener, nullptr, nullptr);
        return m_card >= 0;
    }
    void Drop() {
        if (m_card >= 0) {
            close(m_card);
            m_card = -1;
        }
    }
    // Sends one message, optionally the length and the payload apart.
    void Send(const Bytes& payload, bool split = false) {
        Bytes header = {static_cast<unsigned char>(payload.size() >> 8),
                        static_cast<unsigned char>(payload.size())};
        if (split) {
            ASSERT_EQ(write(m_card, header.data(), 2), 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ASSERT_EQ(write(m_card, payload.data(), payload.size()),
                      static_cast<ssize_t>(payload.size()));
        } else {
            Bytes frame = header;
            frame.insert(frame.end(), payload.begin(), payload.end());
            ASSERT_EQ(write(m_card, frame.data(), frame.size()),
                      static_cast<ssize_t>(frame.size()));
        }
    }
    // Reads one message; empty with *ok false when none came within 2 s.
    Bytes Receive(bool* ok) {
        *ok = false;
        unsigned char header[2];
        if (!ReadFull(header, 2)) {
            return {};
        }
        Bytes payload((static_cast<size_t>(header[0]) << 8) | header[1]);
        if (!payload.empty() && !ReadFull(payload.data(), payload.size())) {
            return {};
        }
        *ok = true;
        return payload;
    }
    // Whether nothing arrives within the given time.
    bool Silent(int ms) {
        pollfd p{m_card, POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }
    int port = 0;

  private:
    bool ReadFull(unsigned char* out, size_t length) {
        size_t done = 0;
        while (done < length) {
            pollfd p{m_card, POLLIN, 0};
            if (poll(&p, 1, 2000) != 1) {
                return false;
            }
            ssize_t n = read(m_card, out + done, length - done);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }
    int m_listener = -1;
    int m_card = -1;
};

class VpcdBridgeTest : public ::testing::Test {
  protected:
    void Start() {
        m_thread = std::thread(
            [this] { m_result = ZUServeVpcd(m_device, "127.0.0.1", m_vpcd.port, &m_stop); });
        ASSERT_TRUE(m_vpcd.Accept());
    }
    void TearDown() override {
        m_stop = 1;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    CEchoDevice m_device;
    CFakeVpcd m_vpcd;
    volatile std::sig_atomic_t m_stop = 0;
    int m_result = -2;
    std::thread m_thread;
};

TEST_F(VpcdBridgeTest, AnswersControlCodesAndApdus) {
    Start();
    bool ok = false;
    struct Step {
        Bytes send;
        bool split;
        bool answered;
        Bytes expect;
    };
    const Step steps[] = {
        {{0x01}, false, false, {}},                      // power on: no answer
        {{0x04}, false, true, {0x3B, 0x02, 0x14, 0x50}}, // get ATR
        {{0x00, 0x84, 0x00, 0x00, 0x08}, false, true, {0x08, 0x00, 0x00, 0x84, 0x00, 0x90, 0x00}},
        {{0x00, 0xB0, 0x00, 0x01, 0x02}, true, true, {0x02, 0x01, 0x00, 0xB0, 0x00, 0x90, 0x00}},
        {{0x07}, false, false, {}}, // unknown control code
        {{0x00}, false, false, {}}, // power off
        {{0x02}, false, false, {}}, // reset powers on again
        {{0x04}, true, true, {0x3B, 0x02, 0x14, 0x50}},
    };
    for (const Step& step : steps) {
        m_vpcd.Send(step.send, step.split);
        if (step.answered) {
            EXPECT_EQ(m_vpcd.Receive(&ok), step.expect);
            EXPECT_TRUE(ok);
        } else {
            EXPECT_TRUE(m_vpcd.Silent(100)) << "control code " << int(step.send[0]);
        }
    }
    EXPECT_EQ(m_device.powerOns.load(), 2);
    EXPECT_EQ(m_device.powerOffs.load(), 1);
}

TEST_F(VpcdBridgeTest, LongApduAndAnswerKeepTheirLength) {
    Start();
    Bytes apdu(261, 0x5A);
    apdu[0] = 0x00;
    m_vpcd.Send(apdu, true);
    bool ok = false;
    Bytes answer = m_vpcd.Receive(&ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(answer.size(), 263u);
    EXPECT_EQ(answer[260], 0x00);
}

TEST_F(VpcdBridgeTest, ReconnectsAfterVpcdGoesAwayAndStopsWhenAsked) {
    Start();
    m_vpcd.Drop();
    ASSERT_TRUE(m_vpcd.Accept()); // the bridge came back
    m_vpcd.Send({0x04});
    bool ok = false;
    EXPECT_EQ(m_vpcd.Receive(&ok), (Bytes{0x3B, 0x02, 0x14, 0x50}));
    auto began = std::chrono::steady_clock::now();
    m_stop = 1;
    m_thread.join();
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
    EXPECT_EQ(m_result, 0);
    EXPECT_GE(m_device.powerOffs.load(), 1); // leaving the reader powers the card off
}

TEST(VpcdBridgeArguments, RefusesBadAddresses) {
    CEchoDevice device;
    volatile std::sig_atomic_t stop = 1;
    EXPECT_EQ(ZUServeVpcd(device, "not-an-address", 35963, &stop), -1);
    EXPECT_EQ(ZUServeVpcd(device, nullptr, 35963, &stop), -1);
    EXPECT_EQ(ZUServeVpcd(device, "127.0.0.1", 0, &stop), -1);
    EXPECT_EQ(ZUServeVpcd(device, "127.0.0.1", 65536, &stop), -1);
    EXPECT_EQ(ZUServeVpcd(device, "127.0.0.1", 35963, &stop), 0);
}

} // namespace
