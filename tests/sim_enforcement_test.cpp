// What the simulated card and SAM enforce: each bypass that a local PC/SC
// client had gets a refusal status word. Keys serve one usage; a secure key
// write still needs the key file's write condition; the SAM's keys have write
// conditions; no export can be unwrapped by the SAM's own computation;
// secrets are compared in constant time; the vpcd bridge stops on a signal
// while vpcd reads nothing.
#include "ZUICAPI.h"
#include "sim/SimCrypto.h"
#include "sim/VpcdBridge.h"
#include "ZUICSIM.h"
#include "support/SimSteps.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <future>
#include <memory>
#include <thread>

namespace {

const unsigned char KEY_A[16] = {0x3A, 0x5C, 0x71, 0x0E, 0x92, 0xB4, 0xD6, 0xF8,
                                 0x1B, 0x3D, 0x5F, 0x70, 0x84, 0xA6, 0xC8, 0xEA};

std::string Hex(const unsigned char* key) {
    return ToHex(key, 16);
}

// 8 challenge bytes from the device.
Bytes Challenge(CZUSimDevice& card) {
    std::string answer = Send(card, "00 84 00 00 08");
    Bytes bytes = FromHex(answer);
    EXPECT_EQ(10u, bytes.size()) << answer;
    bytes.resize(8);
    return bytes;
}

// A key record wrapped and MACed under the key-loading key: 84 D4 00 00.
std::string SecureKeyWrite(CZUSimDevice& card, const Bytes& record) {
    Bytes block = {static_cast<unsigned char>(record.size())};
    block.insert(block.end(), record.begin(), record.end());
    block.push_back(0x80);
    while (block.size() % 8 != 0) {
        block.push_back(0x00);
    }
    Bytes apdu = FromHex("84 D4 00 00");
    apdu.push_back(static_cast<unsigned char>(block.size() + 4));
    Bytes wrapped = Tdes(ZUSIM_KEY_LOADING_KEY, block);
    apdu.insert(apdu.end(), wrapped.begin(), wrapped.end());
    Bytes iv = Challenge(card);
    std::fill(iv.begin() + 4, iv.end(), 0x00);
    CDESMac mac;
    mac.Init(ZUSIM_KEY_LOADING_KEY, 16, iv.data());
    mac.Update(apdu.data(), apdu.size());
    unsigned char out[4];
    mac.Final(out);
    apdu.insert(apdu.end(), out, out + 4);
    return Send(card, ToHex(apdu));
}

// A card with PIN 0 (1234) in a key file written after the PIN, keys 1
// (unstated usage), 2 (external), 3 (internal), 4 (secure messaging), all
// KEY_A, and files 0B (written after key n) and 0D (secure messaging).
std::unique_ptr<CZUSimDevice> Issued(unsigned char writeKey, unsigned char smKey) {
    auto card = ZUSimCreate("sim");
    card->PowerOn();
    const std::string a = Hex(KEY_A);
    Play(*card, {{"80 E0 00 00 0A 00 01 20 24 00 00 00 00 12 34", "90 00"},
                 {"80 E0 02 00 07 00 01 05 00 08 FF 10", "90 00"},
                 {"80 D4 00 00 07 00 08 03 31 32 33 34", "90 00"},
                 {"80 D4 00 00 13 01 02 00 " + a, "90 00"},
                 {"80 D4 00 00 13 02 22 00 " + a, "90 00"},
                 {"80 D4 00 00 13 03 12 00 " + a, "90 00"},
                 {"80 D4 00 00 13 04 32 00 " + a, "90 00"},
                 {"80 EA 00 01 00", "90 00"},
                 {"80 E0 02 00 07 00 0B 01 00 08 00 " + ToHex(&writeKey, 1), "90 00"},
                 {"80 EA 00 0B 00", "90 00"},
                 {"80 E0 02 00 07 00 0D 01 00 08 00 " + ToHex(&smKey, 1), "90 00"},
                 {"80 EA 00 0D 00", "90 00"},
                 {"80 EA 3F 00 00", "90 00"}});
    return card;
}

// The card answers its own challenge with INTERNAL AUTHENTICATE under key
// n, and the answer goes back as the EXTERNAL AUTHENTICATE cryptogram.
std::string SelfAuthenticate(CZUSimDevice& card, const std::string& internalKey,
                             const std::string& externalKey) {
    const std::string challenge = ToHex(Challenge(card));
    std::string answer = Send(card, "00 88 00 " + internalKey + " 08 " + challenge);
    if (answer.size() != 8 * 3 + 5) {
        return "internal " + answer;
    }
    // A fresh challenge for EXTERNAL AUTHENTICATE would be another value:
    // answer the challenge asked for before INTERNAL AUTHENTICATE instead.
    return Send(card, "00 82 00 " + externalKey + " 08 " + answer.substr(0, 23));
}

} // namespace

TEST(SimEnforcement, KeysServeOneUsage) {
    struct {
        const char* name;
        unsigned char writeCondition; // of file 0B
        std::string internalKey, externalKey;
        std::string sw; // of the EXTERNAL AUTHENTICATE, or "internal SW"
    } cases[] = {
        // Today's bypass: one key for both, its usage unstated.
        {"unstated usage: fixed by INTERNAL AUTHENTICATE", 0x21, "01", "01", "69 85"},
        {"an external key answers no challenge", 0x22, "02", "02", "internal 69 85"},
        {"an internal key checks no cryptogram", 0x23, "03", "03", "69 85"},
        {"a secure-messaging key does neither", 0x24, "04", "04", "internal 69 85"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto card = Issued(c.writeCondition, 0x34);
        EXPECT_EQ(c.sw, SelfAuthenticate(*card, c.internalKey, c.externalKey));
        // The file that external authentication protects stays closed.
        Play(*card, {{"00 A4 02 00 02 00 0B", "* 90 00"}, {"00 D6 00 00 01 5A", "69 82"}});
    }
    // The external key still authenticates the host that knows it.
    auto card = Issued(0x22, 0x34);
    const std::string cryptogram = ToHex(Tdes(KEY_A, Challenge(*card)));
    Play(*card, {{"00 82 00 02 08 " + cryptogram, "90 00"},
                 {"00 A4 02 00 02 00 0B", "* 90 00"},
                 {"00 D6 00 00 01 5A", "90 00"}});
}

TEST(SimEnforcement, SecureMessagingNeedsASecureMessagingKey) {
    for (unsigned char key : {0x02, 0x03, 0x04}) {
        SCOPED_TRACE(key);
        auto card = Issued(0x21, static_cast<unsigned char>(0x30 | key));
        Play(*card, {{"00 A4 02 00 02 00 0D", "* 90 00"}});
        // 04 D6 with Lc counting the MAC; the MAC covers header, Lc and data.
        Bytes apdu = FromHex("04 D6 00 00 09 A1 A2 A3 A4 A5 00 00 00 00");
        unsigned char iv[8] = {0};
        Bytes challenge = Challenge(*card);
        std::copy(challenge.begin(), challenge.begin() + 4, iv);
        CDESMac mac;
        mac.Init(KEY_A, 16, iv);
        mac.Update(apdu.data(), 10);
        mac.Final(apdu.data() + 10);
        EXPECT_EQ(key == 0x04 ? "90 00" : "69 85", Send(*card, ToHex(apdu)));
    }
}

TEST(SimEnforcement, SecureKeyWriteNeedsTheWriteCondition) {
    auto card = Issued(0x21, 0x34);
    Play(*card, {{"00 A4 02 00 02 00 01", "* 90 00"}});
    const Bytes newPin = FromHex("00 08 03 39 39 39 39");
    // Today's bypass: plain refused, secure accepted with the published key.
    EXPECT_EQ("69 82", Send(*card, "80 D4 00 00 07 " + ToHex(newPin)));
    EXPECT_EQ("69 82", SecureKeyWrite(*card, newPin));
    Play(*card, {{"00 20 00 00 04 39 39 39 39", "63 C2"}, // not replaced
                 {"00 20 00 00 04 31 32 33 34", "90 00"}});
    // With the write condition met, the secure write goes through.
    Play(*card, {{"00 A4 02 00 02 00 01", "* 90 00"}});
    EXPECT_EQ("90 00", SecureKeyWrite(*card, newPin));
    Play(*card, {{"00 20 00 00 04 39 39 39 39", "90 00"}});
}

TEST(SimEnforcement, SamKeysHaveWriteConditions) {
    auto sam = ZUSimCreate("simsam");
    sam->PowerOn();
    const unsigned char master = ZUSIM_SAM_MASTER_KEY_NUMBER;
    Bytes own = ZUSimTdes2KeyRecord(0x10, KEY_A);
    Bytes replaceMaster = ZUSimTdes2KeyRecord(master, KEY_A);
    Bytes loading = ZUSimTdes2KeyRecord(0x11, KEY_A, ZUSIM_USE_KEY_LOADING);
    // Today every one of these was accepted.
    EXPECT_EQ("69 82", Send(*sam, "80 D4 00 00 13 " + ToHex(own)));
    EXPECT_EQ("69 86", SecureKeyWrite(*sam, replaceMaster));
    EXPECT_EQ("69 86", SecureKeyWrite(*sam, loading));
    EXPECT_EQ("90 00", SecureKeyWrite(*sam, own));
    // The master key is still the issuer's.
    Bytes factor = FromHex("01 02 03 04 05 06 07 08");
    unsigned char expected[16];
    DiversifyKey(ZUSIM_SAM_MASTER_KEY, factor.data(), expected);
    Play(*sam, {{"80 1A 01 00 08 " + ToHex(factor), "90 00"},
                {"80 FA 00 00 08 00 00 00 00 00 00 00 00",
                 ToHex(Tdes(expected, Bytes(8, 0))) + " 90 00"}});
}

TEST(SimEnforcement, ExportsCannotBeUnwrappedByTheSam) {
    auto sam = ZUSimCreate("simsbsam");
    sam->PowerOn();
    EXPECT_EQ("90 00", SecureKeyWrite(*sam, ZUSimTdes2KeyRecord(0x10, KEY_A)));
    // Export of the master key under the transport key 02.
    std::string exported = Send(*sam, "80 F6 01 02 00");
    ASSERT_EQ(24u * 3 + 5, exported.size());
    // Today's bypass: prepare key 02 and decrypt the export with it.
    EXPECT_EQ("69 85", Send(*sam, "80 1A 02 00 00"));
    EXPECT_EQ("69 85", Send(*sam, "80 FA 01 00 18 " + exported.substr(0, 71)));
    EXPECT_EQ("69 85",
              Send(*sam, "80 FC 02 00 10 01 02 03 04 05 06 07 08 01 02 03 04 05 06 07 08"));
    // Nor under a key the caller can compute with (10 is his own, 01 the master).
    EXPECT_EQ("69 85", Send(*sam, "80 F6 01 10 00"));
    EXPECT_EQ("69 85", Send(*sam, "80 F6 01 01 00"));
}

TEST(SimEnforcement, SecretComparisons) {
    const Bytes pin = FromHex("31 32 33 34");
    struct {
        std::string given;
        bool match;
    } cases[] = {
        {"31 32 33 34", true},
        {"31 32 33", false},
        {"31 32 33 34 00", false},
        {"31 32 33 35", false},
        {"", false},
        {"30 32 33 34", false},
        {"31 32 33 34 00 00 00 00", false},
        {"31 32 33 34 35 36 37 38 39", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        Bytes given = FromHex(c.given);
        EXPECT_EQ(c.match, SimSecretMatches(pin.data(), pin.size(), given.data(), given.size(), 8));
    }
    EXPECT_TRUE(SimEqual(pin.data(), pin.data(), 4));
    EXPECT_FALSE(SimEqual(pin.data(), FromHex("31 32 33 35").data(), 4));
}

namespace {

volatile std::sig_atomic_t g_stop = 0;
extern "C" void StopOnSignal(int) {
    g_stop = 1;
}

// Answers every APDU with 60000 bytes: a vpcd that reads nothing fills the
// socket's buffers after a few hundred commands.
class CFloodDevice : public CZUSimDevice {
  public:
    Bytes PowerOn() override { return {0x3B, 0x00}; }
    void PowerOff() override {}
    Bytes Process(const unsigned char*, size_t) override { return Bytes(60000, 0x5A); }
};

} // namespace

TEST(SimEnforcement, BridgeStopsOnASignalWhileVpcdReadsNothing) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    int small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, listen(listener, 1));
    socklen_t size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);

    struct sigaction action {
    }, oldTerm{};
    action.sa_handler = StopOnSignal;
    action.sa_flags = SA_RESTART; // the harder case: blocking calls resume
    sigaction(SIGTERM, &action, &oldTerm);
    g_stop = 0;
    CFloodDevice device;
    auto served = std::async(std::launch::async, [&] {
        return ZUServeVpcd(device, "127.0.0.1", ntohs(address.sin_port), &g_stop);
    });
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 5000));
    int vpcd = accept(listener, nullptr, nullptr);
    ASSERT_GE(vpcd, 0);
    // Commands, and never a read of the answers.
    const unsigned char command[7] = {0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x08};
    for (int i = 0; i < 1000; ++i) {
        if (send(vpcd, command, sizeof command, MSG_DONTWAIT | MSG_NOSIGNAL) != sizeof command) {
            break;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    kill(getpid(), SIGTERM);
    const bool stopped = served.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
    const auto took = std::chrono::steady_clock::now() - start;
    close(vpcd); // unblocks a bridge that did not stop
    EXPECT_TRUE(stopped) << "still serving a second after SIGTERM";
    EXPECT_EQ(0, served.get());
    EXPECT_LT(took, std::chrono::seconds(1));
    sigaction(SIGTERM, &oldTerm, nullptr);
    close(listener);
}
