// The simulated card and SAM. What each device answers is written as APDU
// scripts (tests/sim/*.apdu) that one runner plays against a fresh device in
// process, as a T=1 and as a T=0 card, and, in the end-to-end stage, through
// pcscd against the cards that the bridges serve.
//
// A script line is one command and its answer, "COMMAND : ANSWER", in hex
// bytes; '#' starts a comment. Beside bytes, both sides may hold XX*N (the
// byte XX N times) and NAME (the bytes of a line "NAME = ...", a name that
// is not a hex byte); a command may
// end in mac(NAME), the secure-messaging MAC under the key NAME of the bytes
// before it, or auth(NAME), the authentication cryptogram under NAME of the
// challenge and the data before it: for them the runner first asks the card
// for a challenge (00 84 00 00 08). "again" sends the last command again,
// "reset" powers the card on again and answers its ATR; an answer "* SW1 SW2"
// is any data (or none) and that status word.
#include "ZUICAPI.h"
#include "sim/ZUSim.h"
#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace {

// A card to play against: one command and its whole answer; a power-on that
// answers the ATR.
struct Device {
    std::function<Bytes(const Bytes&)> transmit;
    std::function<Bytes()> reset;
    bool t0; // take its answers as a T=0 reader does (61 XX; 6C XX for Le 00)
};

Bytes Exchange(const Device& device, Bytes cmd) {
    Bytes answer = device.transmit(cmd), data;
    if (device.t0 && cmd.size() == 5 && cmd[4] == 0 && answer.size() == 2 && answer[0] == 0x6C) {
        cmd[4] = answer[1];
        answer = device.transmit(cmd);
    }
    while (device.t0 && answer.size() >= 2 && answer.end()[-2] == 0x61) {
        data.insert(data.end(), answer.begin(), answer.end() - 2);
        answer = device.transmit({0x00, 0xC0, 0x00, 0x00, answer.back()});
    }
    data.insert(data.end(), answer.begin(), answer.end());
    return data;
}

void Play(const std::string& script, const Device& device) {
    std::ifstream in(std::string(ZUIC_VECTORS_DIR) + "/../sim/" + script + ".apdu");
    ASSERT_TRUE(in) << script;
    std::map<std::string, Bytes> names;
    Bytes challenge, last;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        SCOPED_TRACE(testing::Message() << script << ".apdu:" << number << ": " << line);
        std::istringstream words(line.substr(0, line.find('#')));
        std::vector<std::string> side[2];
        for (std::string word; words >> word;) {
            side[word == ":" || !side[1].empty()].push_back(word);
        }
        Bytes bytes[2];
        for (int s = 0; s < 2; ++s) {
            for (const std::string& word : side[s]) {
                Bytes& out = bytes[s];
                const size_t open = word.find('(');
                if (names.count(word) != 0) {
                    out.insert(out.end(), names[word].begin(), names[word].end());
                } else if (open != std::string::npos) {
                    const Bytes key = names.at(word.substr(open + 1, word.size() - open - 2));
                    challenge = Exchange(device, {0x00, 0x84, 0x00, 0x00, 0x08});
                    ASSERT_EQ(10u, challenge.size());
                    unsigned char iv[8] = {0}, chain[8] = {0};
                    if (word[0] == 'm') { // initial value: 4 bytes of challenge, 4 zeros
                        std::copy(challenge.begin(), challenge.begin() + 4, iv);
                        CDESMac mac;
                        mac.Init(key.data(), key.size(), iv);
                        mac.Update(out.data(), out.size());
                        mac.Final(chain);
                        out.insert(out.end(), chain, chain + 4);
                        continue;
                    }
                    // CBC, zero initial value, over the challenge and the
                    // data, zero-filled to whole blocks.
                    Bytes input(challenge.begin(), challenge.end() - 2);
                    input.insert(input.end(), out.begin() + 5, out.end());
                    input.resize((input.size() + 7) / 8 * 8, 0x00);
                    for (auto at = input.begin(); at != input.end(); at += 8) {
                        std::transform(at, at + 8, chain, chain, std::bit_xor<unsigned char>());
                        CTDES2Encryptor(key.data()).ProcessBlocks(chain, 8);
                    }
                    out.insert(out.end(), chain, chain + 8);
                } else if (std::isxdigit(static_cast<unsigned char>(word[0])) != 0 &&
                           (word.size() == 2 || word[2] == '*')) {
                    const size_t count = word.size() > 3 ? std::stoul(word.substr(3)) : 1;
                    out.resize(out.size() + count, FromHex(word.substr(0, 2)).at(0));
                }
            }
        }
        const std::string first = side[0].empty() ? "" : side[0][0];
        if (side[0].size() > 1 && side[0][1] == "=") {
            names[first] = bytes[0];
        } else if (first == "reset") {
            const Bytes atr = device.reset();
            ASSERT_TRUE(device.t0 || side[1].empty() || atr == bytes[1]) << ToHex(atr);
        } else if (!side[1].empty()) {
            last = first == "again" ? last : bytes[0];
            Bytes got = Exchange(device, last);
            if (side[1].size() > 1 && side[1][1] == "*" && got.size() > 2) {
                got.erase(got.begin(), got.end() - 2); // any data
            }
            ASSERT_EQ(ToHex(bytes[1]), ToHex(got));
        }
    }
}

// A card in a reader that the library opens by name (a PC/SC reader: through
// pcscd); the answers are those the card gave, as the trace hook sees them.
Device ThroughReader(const std::string& name) {
    ZUSimRegister();
    auto reader = std::make_shared<CZUReader>();
    EXPECT_EQ(1, reader->Open(const_cast<char*>(name.c_str()), ZU_PROTOCOL_T1)) << name;
    return {[reader](const Bytes& cmd) {
                Bytes seen;
                ZUSetTraceHook(
                    [](const unsigned char*, size_t, const unsigned char* answer, size_t length,
                       void* first) {
                        static_cast<Bytes*>(first)->assign(answer, answer + length);
                        ZUSetTraceHook(nullptr, nullptr); // the card's first answer alone
                    },
                    &seen);
                reader->SendCommand(const_cast<unsigned char*>(cmd.data()), cmd.size(), nullptr,
                                    nullptr);
                ZUSetTraceHook(nullptr, nullptr);
                return seen;
            },
            [reader] {
                unsigned char atr[40];
                unsigned long length = sizeof atr;
                reader->Reset(atr, &length);
                return Bytes(atr, atr + length);
            },
            false};
}

// A fresh device, or for a card that leaves its reader (which a device alone
// cannot do) a fresh reader's.
Device InProcess(const std::string& name, bool raw) {
    std::shared_ptr<CZUSimDevice> card(ZUSimCreate(name.c_str()));
    if (!card) {
        ZUSimResetAll();
        return ThroughReader(name);
    }
    return {[card](const Bytes& cmd) { return card->Process(cmd.data(), cmd.size()); },
            [card] { return card->PowerOn(); }, !raw && name.find(":t0") != std::string::npos};
}

struct Script {
    const char* name;
    std::vector<std::string> devices;
    const char* pcscVariable; // names the reader whose card plays it through pcscd
};
const Script SCRIPTS[] = {
    {"card", {"sim", "sim:t0"}, "ZUIC_E2E_PCSC_CARD"},
    {"sam", {"simsam", "simsam:t0"}, "ZUIC_E2E_PCSC_SAM"},
    {"sb", {"simsb", "simsb:t0"}, nullptr},
    {"sbsam", {"simsbsam", "simsbsam:t0"}, nullptr},
    {"malformed", {"sim", "simsam", "simsb", "simsbsam", "sim:t0", "simsbsam:t0"}, nullptr},
    {"t0", {"sim:t0"}, nullptr}, // played raw: its 61 XX and 6C XX are the card's
    {"faults", {"sim:refuse=2,remove=4"}, nullptr},
};

class SimScripts : public testing::TestWithParam<Script> {};
TEST_P(SimScripts, InProcess) {
    for (const std::string& device : GetParam().devices) {
        SCOPED_TRACE(device);
        Play(GetParam().name, InProcess(device, GetParam().name == std::string("t0")));
    }
}
INSTANTIATE_TEST_SUITE_P(, SimScripts, testing::ValuesIn(SCRIPTS),
                         [](const testing::TestParamInfo<Script>& info) {
                             return std::string(info.param.name);
                         });

// The same scripts through pcscd, for the readers that the environment names.
struct ThroughPcsc : testing::Test {
    ThroughPcsc(std::string s, std::string r) : script(std::move(s)), reader(std::move(r)) {}
    void TestBody() override { Play(script, ThroughReader(reader)); }
    std::string script, reader;
};
const bool PCSC_CASES = [] {
    for (const Script& s : SCRIPTS) {
        const char* reader = s.pcscVariable != nullptr ? std::getenv(s.pcscVariable) : nullptr;
        if (reader != nullptr) {
            testing::RegisterTest(
                "SimScriptsThroughPcsc", s.name, nullptr, nullptr, __FILE__, __LINE__,
                [s, reader]() -> testing::Test* { return new ThroughPcsc(s.name, reader); });
        }
    }
    return true;
}();

int Send(CZUReader& reader, const char* hex) {
    Bytes cmd = FromHex(hex);
    return reader.SendCommand(cmd.data(), cmd.size(), nullptr, nullptr);
}

// Every connection to a name meets one card, and slot 1 its SAM, until the
// devices are forgotten; a connection keeps the card it had.
TEST(SimReaders, OneCardPerNameAndItsSam) {
    ZUSimRegister();
    ZUSimResetAll();
    CZUReader first, second, fresh;
    ASSERT_EQ(1, first.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY));
    ASSERT_EQ(1, second.Open(const_cast<char*>("sim:t0"), ZU_PROTOCOL_ANY));
    const char* mf = "80 E0 00 00 0A 00 00 00 00 00 00 00 00 00 00";
    EXPECT_EQ(1, Send(first, mf));
    EXPECT_EQ(0, Send(second, mf)); // there already
    second.ChangeSlot(1);
    EXPECT_EQ(1, Send(second, "80 1A 01 00 00"));
    ZUSimResetAll();
    ASSERT_EQ(1, fresh.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY));
    EXPECT_EQ(1, Send(fresh, mf));
    EXPECT_EQ(0, Send(first, mf));
}

} // namespace
