// zuic's commands against a scripted card: the bytes they put on the wire,
// what they print, their exit statuses, and the reader's trace hook beneath.
#include "support/ScriptedTransport.h"
#include "tools/Cli.h"
#include "tools/Command.h"
#include "tools/CommandAtr.h"
#include "tools/CommandRun.h"
#include "tools/CommandSend.h"
#include "tools/ReaderSelection.h"
#include "tools/Script.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace zuic;

namespace {

// Command and answer; the answer "!" makes the exchange fail.
using Exchanges = std::vector<std::pair<std::string, std::string>>;

struct Fixture {
    std::shared_ptr<ScriptedTransport> card = std::make_shared<ScriptedTransport>();
    CZUReader reader;
    std::ostringstream out;
    std::ostringstream err;

    explicit Fixture(const Exchanges& exchanges = {}) {
        ZUOpenTransport(reader, card);
        for (const auto& e : exchanges) {
            if (e.second == "!") {
                card->ExpectFailure(e.first);
            } else {
                card->Expect(e.first, e.second);
            }
        }
    }
    int Send(const std::vector<std::string>& texts, bool trace = false) {
        std::vector<Apdu> apdus;
        Output output(out, err, trace);
        EXPECT_TRUE(ParseApduArguments(texts, apdus, output)) << err.str();
        return SendApdus(reader, apdus, output);
    }
    int Run(const std::string& text) {
        std::istringstream in(text);
        std::vector<ScriptLine> lines;
        std::string error;
        EXPECT_TRUE(ParseScript(in, lines, error)) << error;
        Output output(out, err);
        return RunScript(reader, lines, output);
    }
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

int LineCount(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

std::string Repeat(const std::string& text, size_t n) {
    std::string all;
    for (size_t i = 0; i < n; ++i) {
        all += text;
    }
    return all;
}

} // namespace

// send takes its APDUs as arguments, run one script; either exits refused
// exactly when it writes to standard error.
TEST(ZuicSendAndRun, PutTheApdusOnTheWireAndReportWhatTheCardSaid) {
    const std::string fullCase4 = "00 D6 00 00 FF" + Repeat(" 11", 255);
    struct Case {
        std::vector<std::string> input; // the APDUs, or the script
        Exchanges exchanges;
        std::vector<std::string> outParts;
        std::string err; // whole standard error
    } sends[] = {
        {{"00 A4 04 00 02 3F 00"},
         {{"00 A4 04 00 02 3F 00", "61 04"}, {"00 C0 00 00 04", "6F 02 84 00 90 00"}},
         {"< 6F 02 84 00\n  SW 90 00 success"},
         ""},
        // A bare header goes with P3 00; no answer data, no data line.
        {{"00E20000"},
         {{"00 E2 00 00 00", "90 00"}},
         {"> 00 E2 00 00 00\n  SW 90 00 success\n"},
         ""},
        // The reader takes at most 260 bytes, so the Le of a full case 4 stays home.
        {{fullCase4 + " 00"},
         {{fullCase4, "61 02"}, {"00 C0 00 00 02", "AA BB 90 00"}},
         {"< AA BB\n"},
         ""},
        // Long answers wrap at sixteen bytes.
        {{"00B0000014"},
         {{"00 B0 00 00 14", Repeat("AB ", 20) + "90 00"}},
         {"< AB" + Repeat(" AB", 15) + "\n  AB AB AB AB\n"},
         ""},
        // A refusal stops the rest.
        {{"00 A4 00 00 02 3F 00", "00 A4 00 00 02 12 34", "00 B0 00 00 04", "00 B0 00 00 08"},
         {{"00 A4 00 00 02 3F 00", "90 00"}, {"00 A4 00 00 02 12 34", "6A 82"}},
         {"  SW 6A 82 file not found\n"},
         "zuic: APDU 2 refused by the card: 6A 82 file not found; 2 APDUs not sent\n"},
        // A warning is a refusal.
        {{"00 B0 00 00 10"},
         {{"00 B0 00 00 10", "01 02 62 82"}},
         {"< 01 02\n  SW 62 82 warning: end of file or record reached before reading Le bytes"},
         "zuic: APDU 1 refused by the card: 62 82 warning: end of file or record reached before "
         "reading Le bytes\n"},
        {{"00 84 00 00 08"},
         {{"00 84 00 00 08", "!"}},
         {"  no answer from the card (the exchange failed)\n"},
         "zuic: APDU 1 got no answer from the card\n"},
    };
    const Case runs[] = {
        {{"00 A4 00 00 02 3F 00\n# comment\n00 A4 00 00 02 00 15 = 9000\n"
          "00 B0 00 00 04 = 9000\n00 B0 00 04 04\n"},
         {{"00 A4 00 00 02 3F 00", "90 00"},
          {"00 A4 00 00 02 00 15", "90 00"},
          {"00 B0 00 00 04", "69 86"}},
         {"  SW 69 86 command not allowed (no current EF)  [expected 90 00: mismatch]\n",
          "summary: 4 commands, 3 run, 2 as expected, mismatch at line 4, 1 not run ("},
         "zuic: line 4: expected 90 00, got 69 86 (command not allowed (no current EF))\n"},
        {{"00 A4 00 00 02 3F 00 = 6A82\n"},
         {{"00 A4 00 00 02 3F 00", "90 00"}},
         {"[expected 6A 82: mismatch]"},
         "zuic: line 1: expected 6A 82, got 90 00 (success)\n"},
        {{"00 A4 04 00 02 3F 00 = 61XX\n"},
         {{"00 A4 04 00 02 3F 00", "61 02"}, {"00 C0 00 00 02", "6F 00 90 00"}},
         {"< 6F 00\n  SW 90 00 success  [expected 61 XX: first answer 61 02]\n"},
         ""},
        {{"00 20 00 00 02 31 32 = 63CX\n"},
         {{"00 20 00 00 02 31 32", "63 C1"}},
         {"  SW 63 C1 counter 1: verification failed, 1 tries left  [expected 63 CX]\n"},
         ""},
        // No answer never matches, not even XXXX.
        {{"00 84 00 00 04 = XXXX\n00 84 00 00 04\n"},
         {{"00 84 00 00 04", "!"}},
         {"no answer from the card (the exchange failed)  [expected XX XX: mismatch]"},
         "zuic: line 1: expected XX XX, got no answer from the card\n"},
    };
    auto check = [](bool run, const Case& c) {
        SCOPED_TRACE(c.input[0].substr(0, 60));
        Fixture f(c.exchanges);
        // A command that got no answer at all means the card is gone.
        const int status = c.err.empty()                                  ? kExitOk
                           : c.err.find("no answer") != std::string::npos ? kExitNoCard
                                                                          : kExitRefused;
        EXPECT_EQ(status, run ? f.Run(c.input[0]) : f.Send(c.input));
        EXPECT_TRUE(f.card->Done()) << "commands the card expected were not sent";
        for (const std::string& part : c.outParts) {
            EXPECT_TRUE(Contains(f.out.str(), part)) << f.out.str();
        }
        EXPECT_EQ(c.err, f.err.str());
    };
    for (const Case& c : sends) {
        check(false, c);
    }
    for (const Case& c : runs) {
        check(true, c);
    }
}

TEST(ZuicSend, TracePrintsEveryRawExchangeAfterItsCommand) {
    Fixture f(
        {{"00 B0 00 00 00", "6C 02"}, {"00 B0 00 00 02", "61 01"}, {"00 C0 00 00 01", "33 90 00"}});
    EXPECT_EQ(kExitOk, f.Send({"00B0000000"}, true));
    EXPECT_EQ("> 00 B0 00 00 00\n"
              "  trace >> 00 B0 00 00 00\n"
              "  trace << 6C 02\n"
              "  trace >> 00 B0 00 00 02\n"
              "  trace << 61 01\n"
              "  trace >> 00 C0 00 00 01\n"
              "  trace << 33 90 00\n"
              "< 33\n"
              "  SW 90 00 success\n",
              f.out.str());
}

// Beyond kProgressThreshold commands a script prints progress instead of
// every exchange, but still shows a mismatch in full.
TEST(ZuicRun, LongScriptsPrintProgressInsteadOfEveryExchange) {
    struct Case {
        size_t commands;
        size_t refusedAt; // 0: every read is accepted
        int outLines;
        std::vector<std::string> outParts;
        std::vector<std::string> absentParts;
        std::string err;
    } cases[] = {
        {kProgressThreshold,
         0,
         3 * static_cast<int>(kProgressThreshold) + 1,
         {"line 300 > 00 B0 00 00 01\n"},
         {"progress:"},
         ""},
        {1000,
         0,
         10,
         {"progress: 100 of 1000 commands (10%)\n", "progress: 900 of 1000 commands (90%)\n",
          "summary: 1000 commands, 1000 run, 1000 as expected ("},
         {"line 1 >", "(100%)"},
         ""},
        {800,
         500,
         9,
         {"line 500 > 00 B0 00 00 01\n  SW 6B 00 wrong parameters P1-P2 (offset outside the "
          "file)\n",
          "progress: 480 of 800 commands (60%)\n",
          "800 commands, 500 run, 499 as expected, mismatch at line 500, 300 not run"},
         {"line 499 >"},
         "zuic: line 500: expected 90 00 (success), got 6B 00 (wrong parameters P1-P2 (offset "
         "outside the file))\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commands);
        Fixture f;
        size_t sent = c.refusedAt == 0 ? c.commands : c.refusedAt;
        for (size_t i = 1; i <= sent; ++i) {
            f.card->Expect("00 B0 00 00 01", i == c.refusedAt ? "6B 00" : "00 90 00");
        }
        EXPECT_EQ(c.refusedAt == 0 ? kExitOk : kExitRefused,
                  f.Run(Repeat("00 B0 00 00 01\n", c.commands)));
        EXPECT_TRUE(f.card->Done()) << "a command after the mismatch was sent";
        const std::string text = f.out.str();
        EXPECT_EQ(c.outLines, LineCount(text)) << text.substr(0, 200);
        for (const std::string& part : c.outParts) {
            EXPECT_TRUE(Contains(text, part)) << part;
        }
        for (const std::string& part : c.absentParts) {
            EXPECT_FALSE(Contains(text, part)) << part;
        }
        EXPECT_EQ(c.err, f.err.str());
    }
}

TEST(ZuicAtr, AnEmptyReaderIsReportedAsNoCard) {
    Fixture f;
    std::string error;
    EXPECT_TRUE(RequireCard(f.reader, "sim", error));
    f.card->present = false;
    EXPECT_FALSE(RequireCard(f.reader, "Virtual PCD 00 00", error));
    EXPECT_EQ("no card in reader 'Virtual PCD 00 00'", error);
    CZUReader unopened;
    EXPECT_FALSE(RequireCard(unopened, "x", error));

    Output output(f.out, f.err);
    EXPECT_EQ(kExitNoCard, PrintAtr(f.reader, "sim", output));
    EXPECT_EQ("zuic: no card in reader 'sim' (the reset got no answer)\n", f.err.str());
    EXPECT_EQ("", f.out.str());
}

TEST(ZuicTraceHook, SeesEveryRawExchangeAndFailuresWithNoAnswer) {
    std::vector<std::string> seen; // command, then answer or "-"
    auto hook = [](const unsigned char* cmd, size_t cmdLen, const unsigned char* answer,
                   size_t answerLen, void* context) {
        auto* s = static_cast<std::vector<std::string>*>(context);
        s->push_back(ToHex(cmd, cmdLen));
        s->push_back(answerLen == 0 ? "-" : ToHex(answer, answerLen));
    };
    Fixture f({{"00 B0 00 00 00", "6C 03"},
               {"00 B0 00 00 03", "61 01"},
               {"00 C0 00 00 01", "AA 90 00"},
               {"00 84 00 00 08", "!"},
               {"00 84 00 00 08", "90"}, // shorter than a status word
               {"00 84 00 00 08", "90 00"}});
    ZUSetTraceHook(hook, &seen);
    unsigned char cmd[5] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    unsigned char resp[8];
    unsigned long respLen = sizeof resp;
    EXPECT_EQ(1, f.reader.SendCommand(cmd, 5, resp, &respLen));
    unsigned char challenge[5] = {0x00, 0x84, 0x00, 0x00, 0x08};
    EXPECT_EQ(0, f.reader.SendCommand(challenge, 5, nullptr, nullptr));
    EXPECT_EQ(0, f.reader.SendCommand(challenge, 5, nullptr, nullptr));
    ZUSetTraceHook(nullptr, nullptr);
    EXPECT_EQ(1, f.reader.SendCommand(challenge, 5, nullptr, nullptr)); // not seen once removed
    EXPECT_EQ((std::vector<std::string>{"00 B0 00 00 00", "6C 03", "00 B0 00 00 03", "61 01",
                                        "00 C0 00 00 01", "AA 90 00", "00 84 00 00 08", "-",
                                        "00 84 00 00 08", "-"}),
              seen);
    EXPECT_TRUE(f.card->Done());
}

// The front end in process: what is refused before any reader is looked at.
// zuic_binary_test runs the program on the common mistakes and on --help.
TEST(ZuicCli, RefusesBadInputBeforeReachingAReader) {
    // err: the whole standard error, or its beginning when it ends in "...";
    // empty for help, which exits 0.
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"atr", "--frob"}, "zuic: unknown option '--frob' (see zuic atr --help)\n"},
        {{"--reader", "run", "--frob", "send"},
         "zuic: unknown option '--frob' (see zuic send --help)\n"},
        {{"fr\x1b[2Job"}, "zuic: unknown command 'fr\\x1B[2Job'; commands: ..."},
        {{"send", "00 A4 \xff"},
         "zuic: APDU 1 ('00 A4 \\xFF'): malformed hex: '\\xFF' is not a hex digit\n"},
        {{"readers", "--reader", "sim"},
         "zuic: option --reader does not apply to readers (see zuic readers --help)\n"},
        {{"readers", "extra"}, "zuic: readers takes no arguments (got 'extra')\n"},
        {{"atr", "extra"}, "zuic: ATR 'extra': malformed hex: 'x' is not a hex digit\n"},
        {{"atr", "--reader", "sim", "3B00"},
         "zuic: atr takes either --reader or an ATR in hex, not both\n"},
        // The bad APDU is found before the unknown reader.
        {{"send", "--reader", "nosuch", "00A4000000", "00 A4 0"},
         "zuic: APDU 2 ('00 A4 0'): malformed hex: '0' has an odd number of hex digits\n"},
        {{"send", "00", "A4", "00", "00"},
         "zuic: APDU 1 ('00'): APDU too short: 1 byte (an APDU has 4 to 261 bytes) (write each "
         "APDU as one argument: quote it when it has spaces)\n"},
        {{"run", "a", "b"}, "zuic: run takes one script file, got 2 arguments\n"},
        {{"atr", std::string(130, 'F')}, "zuic: ATR of 65 bytes: an ATR has at most 33\n"},
        {{"run", "/"}, "zuic: cannot read script '/': it is a directory\n"},
        {{"help", "frob"}, "zuic: unknown command 'frob'; commands: ..."},
        {{"help"}, ""},
        // --help wins over everything else on the line.
        {{"send", "--help", "zz"}, ""},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) {
            joined += a + " ";
        }
        SCOPED_TRACE(joined);
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(c.err.empty() ? kExitOk : kExitBadInput, Main(c.args, out, err));
        if (c.err.size() > 3 && c.err.compare(c.err.size() - 3, 3, "...") == 0) {
            EXPECT_EQ(0u, err.str().find(c.err.substr(0, c.err.size() - 3))) << err.str();
            EXPECT_EQ(1, LineCount(err.str()));
        } else {
            EXPECT_EQ(c.err, err.str());
        }
        if (c.err.empty()) {
            EXPECT_EQ(0u, out.str().find("usage: zuic ")) << out.str();
        }
    }
}
