// The simulated card and SAM. What each device answers is written as APDU
// scripts (tests/sim/*.apdu) that one runner plays against a fresh device in
// process, as a T=1 and as a T=0 card, and, in the end-to-end stage, through
// pcscd against the cards that the bridges serve. Faults (a card that
// leaves, a refused command) and the readers' names stay small tests.
//
// A script line is one command and its answer, "COMMAND : ANSWER", in hex
// bytes; '#' starts a comment. Beside bytes, both sides may hold XX*N (the
// byte XX N times) and NAME (the bytes of a line "NAME = ..."); a command may
// end in mac(NAME), the secure-messaging MAC under the key NAME of the bytes
// before it, or auth(NAME), the authentication cryptogram under NAME of the
// challenge and the data before it: the runner first asks the card for a
// challenge (00 84 00 00 08) for them. "again" sends the last command again,
// "reset" powers the card on again and answers its ATR; an answer "* SW1 SW2"
// is any data and that status word.
#include "ZUICAPI.h"
#include "sim/ZUSim.h"
#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

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
    Bytes challenge, last, expected[2];
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        SCOPED_TRACE(script + ".apdu:" + std::to_string(number) + ": " + line);
        std::istringstream words(line.substr(0, line.find('#')));
        std::vector<std::string> side[2];
        for (std::string word; words >> word;) {
            side[word == ":" || !side[1].empty()].push_back(word);
        }
        const bool define = side[0].size() > 1 && side[0][1] == "=";
        const std::string name = define ? side[0][0] : "";
        if (define) {
            side[0].erase(side[0].begin(), side[0].begin() + 2);
        }
        bool anyData = false;
        for (int s = 0; s < 2; ++s) {
            expected[s].clear();
            for (const std::string& word : side[s]) {
                const size_t open = word.find('(');
                Bytes& out = expected[s];
                if (names.count(word) != 0) {
                    out.insert(out.end(), names[word].begin(), names[word].end());
                } else if (open != std::string::npos) {
                    const Bytes key = names.at(word.substr(open + 1, word.size() - open - 2));
                    challenge = Exchange(device, {0x00, 0x84, 0x00, 0x00, 0x08});
                    EXPECT_EQ(10u, challenge.size());
                    challenge.resize(8);
                    unsigned char iv[8] = {0}, chain[8] = {0};
                    if (word[0] == 'm') { // the MAC's initial value: 4 bytes of challenge, 4 zeros
                        std::copy(challenge.begin(), challenge.begin() + 4, iv);
                        CDESMac mac;
                        mac.Init(key.data(), key.size(), iv);
                        mac.Update(out.data(), out.size());
                        mac.Final(chain);
                        out.insert(out.end(), chain, chain + 4);
                        continue;
                    }
                    // CBC, zero initial value, over the challenge and the data
                    // zero-filled to whole blocks.
                    Bytes input = challenge;
                    input.insert(input.end(), out.begin() + 5, out.end());
                    input.resize((input.size() + 7) / 8 * 8, 0x00);
                    for (size_t at = 0; at < input.size(); at += 8) {
                        for (size_t i = 0; i < 8; ++i) {
                            chain[i] ^= input[at + i];
                        }
                        CTDES2Encryptor(key.data()).ProcessBlocks(chain, 8);
                    }
                    out.insert(out.end(), chain, chain + 8);
                } else if (word.size() == 2 || word[2] == '*') {
                    const size_t count = word.size() > 3 ? std::stoul(word.substr(3)) : 1;
                    out.resize(out.size() + count, FromHex(word.substr(0, 2)).at(0));
                } else if (word == "*") {
                    anyData = true;
                } else {
                    EXPECT_TRUE(word == ":" || word == "again" || word == "reset") << word;
                }
            }
        }
        if (define) {
            names[name] = expected[0];
        } else if (!side[0].empty() && side[0][0] == "reset") {
            const Bytes atr = device.reset();
            ASSERT_TRUE(device.t0 || side[1].empty() || atr == expected[1]) << ToHex(atr);
        } else if (!side[0].empty() || !side[1].empty()) {
            last = !side[0].empty() && side[0][0] == "again" ? last : expected[0];
            const Bytes got = Exchange(device, last);
            if (anyData && got.size() > 2) {
                ASSERT_EQ(ToHex(expected[1]), ToHex(got.data() + got.size() - 2, 2));
            } else {
                ASSERT_EQ(ToHex(expected[1]), ToHex(got));
            }
        }
    }
}

Device InProcess(const std::string& name, bool raw) {
    std::shared_ptr<CZUSimDevice> card(ZUSimCreate(name.c_str()));
    return {[card](const Bytes& cmd) { return card->Process(cmd.data(), cmd.size()); },
            [card] { return card->PowerOn(); }, !raw && name.find(":t0") != std::string::npos};
}

// A card in a reader that the library opens by name (a PC/SC reader: through
// pcscd); the answers are those the card gave, as the trace hook sees them.
Device ThroughReader(const std::string& name) {
    auto reader = std::make_shared<CZUReader>();
    EXPECT_EQ(1, reader->Open(const_cast<char*>(name.c_str()), ZU_PROTOCOL_T1)) << name;
    return {[reader](const Bytes& cmd) {
                Bytes first;
                ZUSetTraceHook(
                    [](const unsigned char*, size_t, const unsigned char* answer, size_t length,
                       void* context) {
                        auto* seen = static_cast<Bytes*>(context);
                        if (seen->empty()) {
                            seen->assign(answer, answer + length);
                        }
                    },
                    &first);
                reader->SendCommand(const_cast<unsigned char*>(cmd.data()), cmd.size(), nullptr,
                                    nullptr);
                ZUSetTraceHook(nullptr, nullptr);
                return first;
            },
            [reader] {
                unsigned char atr[40];
                unsigned long length = sizeof atr;
                reader->Reset(atr, &length);
                return Bytes(atr, atr + length);
            },
            false};
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
    {"t0", {"sim:t0"}, nullptr}, // played raw: the 61 XX and 6C XX are the script's
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

// A command through a reader; its result.
int Send(CZUReader& reader, const std::string& hex) {
    Bytes cmd = FromHex(hex), answer(256);
    unsigned long length = answer.size();
    return reader.SendCommand(cmd.data(), cmd.size(), answer.data(), &length);
}
const char* const MF = "80 E0 00 00 0A 00 00 00 00 00 00 00 00 00 00";

TEST(SimReaders, NamesAndOptions) {
    ZUSimRegister();
    struct {
        const char* name;
        int protocol, opens;
    } cases[] = {
        {"sim", ZU_PROTOCOL_ANY, 1},
        {"simsbsam", ZU_PROTOCOL_T0, 1},
        {"sim:t0,remove=12", ZU_PROTOCOL_ANY, 1},
        {"sim:remove=0,refuse=3", ZU_PROTOCOL_ANY, 1},
        {"sim:t0", ZU_PROTOCOL_T1, 0}, // T=0 answering is no T=1 card
        {"simx", ZU_PROTOCOL_ANY, 0},
        {"sim:", ZU_PROTOCOL_ANY, 0},
        {"sim:t1", ZU_PROTOCOL_ANY, 0},
        {"sim:remove=x", ZU_PROTOCOL_ANY, 0},
        {"sim:refuse=0", ZU_PROTOCOL_ANY, 0},
        {"sim:refuse=1234567890", ZU_PROTOCOL_ANY, 0},
        {"sim:t0,", ZU_PROTOCOL_ANY, 0},
    };
    for (const auto& c : cases) {
        CZUReader reader;
        EXPECT_EQ(c.opens, reader.Open(const_cast<char*>(c.name), c.protocol)) << c.name;
    }
    // A device alone cannot leave its reader.
    EXPECT_EQ(nullptr, ZUSimCreate("sim:remove=3"));
    EXPECT_EQ(nullptr, ZUSimCreate("card"));
}

// Every connection to a name meets one card, and slot 1 its SAM, until the
// devices are forgotten; a connection keeps the card it had.
TEST(SimReaders, OneCardPerNameAndItsSam) {
    ZUSimRegister();
    ZUSimResetAll();
    CZUICAPI first, second, fresh;
    ASSERT_EQ(1, first.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY));
    EXPECT_EQ(1, Send(first, MF));
    ASSERT_EQ(1, second.Open(const_cast<char*>("sim:t0"), ZU_PROTOCOL_ANY));
    EXPECT_EQ(0, Send(second, MF));
    EXPECT_EQ(0x6A89, second.GetSW());
    second.ChangeSlot(1);
    EXPECT_EQ(1, Send(second, "80 1A 01 00 00"));
    second.ChangeSlot(2);
    EXPECT_EQ(0, second.IsCardExist());
    ZUSimResetAll();
    ASSERT_EQ(1, fresh.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY));
    EXPECT_EQ(1, Send(fresh, MF));
    EXPECT_EQ(0, Send(first, MF));
    // Challenges differ.
    unsigned char one[8], other[8];
    ASSERT_EQ(1, fresh.GenerateRandom(one, 8));
    ASSERT_EQ(1, fresh.GenerateRandom(other, 8));
    EXPECT_NE(ToHex(one, 8), ToHex(other, 8));
}

// The card taken away after N commands, and the Nth command refused: the
// results of six GET CHALLENGEs, and whether the card is there after each.
TEST(SimFaults, RemovalAndRefusal) {
    ZUSimRegister();
    struct {
        const char* name;
        const char *results, *present;
    } cases[] = {
        {"sim:remove=3", "111000", "110000"},    {"sim:remove=0", "000000", "000000"},
        {"sim:refuse=2", "101111", "111111"},    {"sim:refuse=2,remove=4", "101100", "111000"},
        {"sim:t0,refuse=1", "011111", "111111"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CZUICAPI card;
        ASSERT_EQ(1, card.Open(const_cast<char*>(c.name), ZU_PROTOCOL_ANY));
        for (int i = 0; i < 6; ++i) {
            unsigned char challenge[8];
            EXPECT_EQ(c.results[i] - '0', card.GenerateRandom(challenge, 8)) << i;
            EXPECT_EQ(c.present[i] - '0', card.IsCardExist()) << i;
            // A refusal keeps its status word; a removal leaves none.
            EXPECT_EQ(c.results[i] == '1'   ? 0x9000
                      : c.present[i] == '1' ? 0x6F00
                                            : 0,
                      card.GetSW());
        }
        // A card that left stays away, resets and the other slot included.
        unsigned char atr[40];
        unsigned long atrLength = sizeof atr;
        EXPECT_EQ(c.present[5] - '0', card.Reset(atr, &atrLength));
        card.ChangeSlot(1);
        EXPECT_EQ(c.present[5] - '0', card.IsCardExist());
    }
}

} // namespace
