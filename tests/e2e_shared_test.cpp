// A reader shared with other PC/SC clients, through the real pcscd: the
// card served by `zuic sim --vpcd` in the reader that ZUIC_E2E_SHARED_CARD
// names (.ci/e2e sets it). Other clients are threads of this test with PC/SC
// contexts of their own, which pcscd tells apart as it does programs.
#include "ZUICAPI.h"
#include "sim/ZUSim.h"
#include "sim/ZUSimAttributes.h"
#include "support/Hex.h"

#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

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

const unsigned char MF[2] = {0x3F, 0x00};
const unsigned char KEYS[2] = {0x00, 0x01};
const unsigned char APP[2] = {0xDF, 0x01};
const unsigned char BIN[2] = {0x01, 0x01};
const unsigned char APP_NAME[] = "ZUSIM.APP1";
const unsigned char SM_KEY[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                                  0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7};
const unsigned char LOADED_KEY[16] = {0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78,
                                      0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0};
const size_t WRITTEN = 600;

unsigned char* U(const unsigned char* p) {
    return const_cast<unsigned char*>(p);
}

Bytes Pattern(size_t length, unsigned seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 7 + seed) & 0xFF);
    }
    return bytes;
}

int VerifyPin(CZUICAPI& card) {
    unsigned char pin[4] = {'1', '2', '3', '4'};
    int tries = 0;
    return card.VerifyPin(pin, 4, tries);
}

int SelectBinary(CZUICAPI& card) {
    return card.SelectDF(U(APP_NAME), 10, nullptr, nullptr) == 1 &&
                   card.SelectEF(U(BIN), nullptr, nullptr) == 1
               ? 1
               : 0;
}

int WriteSecurely(CZUICAPI& card, const Bytes& data) {
    for (size_t at = 0; at < data.size(); at += 200) {
        if (UpdateBinaryWithSoftwareMac(&card, U(SM_KEY), const_cast<unsigned char*>(&data[at]),
                                        200, at) != 1) {
            return 0;
        }
    }
    return 1;
}

// The issuance flow of `zuic demo --erase`, cut down: erase, MF, key file
// (PIN, secure-messaging key, a key loaded under secure messaging), an
// application with a binary file written only under secure messaging, then
// PIN, 600 bytes with software MACs and the read back. Returns the failed
// step, or "" when every step passed.
std::string Issue(CZUICAPI& card, unsigned seed) {
    if (card.EraseMF() != 1) return "erase";
    unsigned char serial[8] = {0x20, 0x24, 0, 0, 0, 0, 0x12, 0x34};
    if (card.CreateMF(ZUSIM_AC_FREE, 0x02, serial) != 1) return "create MF";
    if (card.CreateEF(U(KEYS), ZUSIM_EF_KEYS, 0x00, 8, ZUSIM_AC_NEVER, ZUSIM_AC_PIN | 0) != 1)
        return "create key file";
    Bytes pin{0x00, ZUSIM_KEY_PIN, 3, '1', '2', '3', '4'};
    if (card.WriteKey(0x00, pin.data(), pin.size()) != 1) return "write PIN";
    Bytes sm = ZUSimTdes2KeyRecord(0x02, SM_KEY);
    if (card.WriteKey(0x00, sm.data(), sm.size()) != 1) return "write key 02";
    CZUSAMIC asLoader(&card);
    Bytes loaded = ZUSimTdes2KeyRecord(0x03, LOADED_KEY);
    if (WriteSAMKeyWithSoftwareCalc(&asLoader, U(ZUSIM_KEY_LOADING_KEY), loaded.data(),
                                    loaded.size()) != 1)
        return "load key 03 encrypted and MACed in software";
    if (card.CreateEnd(U(KEYS)) != 1) return "end key file";
    if (card.CreateADF(U(APP), ZUSIM_AC_FREE, 0x00, U(APP_NAME), 10) != 1) return "create ADF";
    if (card.CreateEF(U(BIN), (1 << 3) | ZUSIM_EF_BINARY, 0x04, 0x00, ZUSIM_AC_PIN | 0,
                      ZUSIM_AC_SM | 0x02) != 1)
        return "create binary file";
    if (card.CreateEnd(U(BIN)) != 1 || card.CreateEnd(U(APP)) != 1) return "end application";
    if (card.SelectDF(U(MF), nullptr, nullptr) != 1 || card.CreateEnd(U(MF)) != 1)
        return "end MF";
    if (SelectBinary(card) != 1) return "select";
    if (VerifyPin(card) != 1) return "verify";
    Bytes data = Pattern(WRITTEN, seed);
    if (WriteSecurely(card, data) != 1) return "write 600 bytes with MACs computed in software";
    Bytes back(WRITTEN, 0xEE);
    if (card.ReadBinaryFile(back.data(), WRITTEN, 0) != 1) return "read back";
    if (back != data) return "read back other bytes";
    return "";
}

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

// Two other clients hammer the reader with GET CHALLENGE and SELECT while the
// issuance runs 20 times: every run passes, and every command of theirs is
// answered (they wait for the card, nobody refuses them).
TEST_F(E2EShared, IssuanceAmidOtherClients) {
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, refused{0};
    std::vector<std::thread> others;
    for (const char* command : {"00 84 00 00 08", "00 A4 00 00 02 3F 00"}) {
        others.emplace_back([&, command] {
            OtherClient other(reader);
            if (!other.Connected()) {
                ++refused;
                return;
            }
            while (!stop) {
                unsigned sw = other.Send(command);
                if (sw == 0x9000 || (sw >> 8) == 0x61) {
                    ++answered;
                } else {
                    ++refused;
                }
            }
        });
    }
    for (unsigned run = 0; run < 20; ++run) {
        EXPECT_EQ("", Issue(card, run)) << "run " << run;
    }
    stop = true;
    for (std::thread& other : others) {
        other.join();
    }
    EXPECT_EQ(0, refused.load());
    EXPECT_GE(answered.load(), 2); // each of them got in between the operations
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

} // namespace
