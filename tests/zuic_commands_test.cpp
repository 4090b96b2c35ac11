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
#include <vector>

using namespace zuic;

namespace {

struct Fixture {
    std::shared_ptr<ScriptedTransport> card = std::make_shared<ScriptedTransport>();
    CZUReader reader;
    std::ostringstream out;
    std::ostringstream err;

    Fixture() { ZUOpenTransport(reader, card); }

    std::vector<Apdu> Apdus(const std::vector<std::string>& texts) {
        std::vector<Apdu> apdus;
        Output output(out, err);
        EXPECT_TRUE(ParseApduArguments(texts, apdus, output)) << err.str();
        return apdus;
    }
    std::vector<ScriptLine> Script(const std::string& text) {
        std::istringstream in(text);
        std::vector<ScriptLine> lines;
        std::string error;
        EXPECT_TRUE(ParseScript(in, lines, error)) << error;
        return lines;
    }
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The script of n reads, each answered 90 00.
std::string Reads(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        text += "00 B0 00 00 01\n";
    }
    return text;
}

} // namespace

TEST(ZuicSend, SendsEachApduAndPrintsDataAndStatusWord) {
    struct Case {
        const char* name;
        std::vector<std::string> apdus;
        std::vector<std::pair<std::string, std::string>> exchanges; // command, answer
        int status;
        std::vector<std::string> outParts;
        std::string errPart; // empty: nothing on standard error
    } cases[] = {
        {"two accepted",
         {"00 A4 00 00 02 3F 00", "00:B0:00:00:04"},
         {{"00 A4 00 00 02 3F 00", "90 00"}, {"00 B0 00 00 04", "01 02 03 04 90 00"}},
         kExitOk,
         {"> 00 A4 00 00 02 3F 00\n  SW 90 00 success\n",
          "> 00 B0 00 00 04\n< 01 02 03 04\n  SW 90 00 success\n"},
         ""},
        {"data fetched with GET RESPONSE",
         {"00 A4 04 00 02 3F 00"},
         {{"00 A4 04 00 02 3F 00", "61 04"}, {"00 C0 00 00 04", "6F 02 84 00 90 00"}},
         kExitOk,
         {"< 6F 02 84 00\n  SW 90 00 success"},
         ""},
        {"bare header goes with P3 00",
         {"00E20000"},
         {{"00 E2 00 00 00", "90 00"}},
         kExitOk,
         {"> 00 E2 00 00 00\n"},
         ""},
        {"refusal stops the rest",
         {"00 A4 00 00 02 3F 00", "00 A4 00 00 02 12 34", "00 B0 00 00 04", "00 B0 00 00 08"},
         {{"00 A4 00 00 02 3F 00", "90 00"}, {"00 A4 00 00 02 12 34", "6A 82"}},
         kExitRefused,
         {"  SW 6A 82 file not found\n"},
         "zuic: APDU 2 refused by the card: 6A 82 file not found; 2 APDUs not sent\n"},
        {"a warning is a refusal",
         {"00 B0 00 00 10"},
         {{"00 B0 00 00 10", "01 02 62 82"}},
         kExitRefused,
         {"< 01 02\n  SW 62 82 warning: end of file or record reached before reading Le bytes"},
         "zuic: APDU 1 refused by the card: 62 82"},
        {"wrong PIN",
         {"00 20 00 00 04 31 32 33 34", "00 20 00 00 04 31 32 33 35"},
         {{"00 20 00 00 04 31 32 33 34", "63 C2"}},
         kExitRefused,
         {"SW 63 C2 counter 2: verification failed, 2 tries left"},
         "; 1 APDU not sent"},
        {"exchange fails",
         {"00 84 00 00 08"},
         {{"00 84 00 00 08", "!"}},
         kExitRefused,
         {"  no answer from the card (the exchange failed)\n"},
         "zuic: APDU 1 got no answer from the card\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        for (const auto& e : c.exchanges) {
            if (e.second == "!") {
                f.card->ExpectFailure(e.first);
            } else {
                f.card->Expect(e.first, e.second);
            }
        }
        std::vector<Apdu> apdus = f.Apdus(c.apdus);
        Output output(f.out, f.err);
        EXPECT_EQ(c.status, SendApdus(f.reader, apdus, output));
        EXPECT_TRUE(f.card->Done()) << "commands the card expected were not sent";
        for (const std::string& part : c.outParts) {
            EXPECT_TRUE(Contains(f.out.str(), part)) << f.out.str();
        }
        if (c.errPart.empty()) {
            EXPECT_EQ("", f.err.str());
        } else {
            EXPECT_TRUE(Contains(f.err.str(), c.errPart)) << f.err.str();
            const std::string errText = f.err.str();
            EXPECT_EQ(1, std::count(errText.begin(), errText.end(), '\n'));
        }
    }
}

TEST(ZuicSend, FullCaseFourGoesWithoutLeAndItsAnswerComesWithGetResponse) {
    Fixture f;
    std::string apdu = "00 D6 00 00 FF";
    for (int i = 0; i < 255; ++i) {
        apdu += " 11";
    }
    f.card->Expect(apdu, "61 02").Expect("00 C0 00 00 02", "AA BB 90 00");
    std::vector<Apdu> apdus = f.Apdus({apdu + " 00"});
    Output output(f.out, f.err);
    EXPECT_EQ(kExitOk, SendApdus(f.reader, apdus, output));
    EXPECT_TRUE(f.card->Done());
    EXPECT_TRUE(Contains(f.out.str(), "< AA BB\n")) << f.out.str();
}

TEST(ZuicSend, TracePrintsEveryRawExchangeAfterItsCommand) {
    Fixture f;
    f.card->Expect("00 B0 00 00 00", "6C 02").Expect("00 B0 00 00 02", "61 01");
    f.card->Expect("00 C0 00 00 01", "33 90 00");
    std::vector<Apdu> apdus = f.Apdus({"00B0000000"});
    Output output(f.out, f.err, true);
    EXPECT_EQ(kExitOk, SendApdus(f.reader, apdus, output));
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

TEST(ZuicSend, LongAnswersWrapAtSixteenBytes) {
    Fixture f;
    std::string data;
    for (int i = 0; i < 20; ++i) {
        data += "AB ";
    }
    f.card->Expect("00 B0 00 00 14", data + "90 00");
    std::vector<Apdu> apdus = f.Apdus({"00B0000014"});
    Output output(f.out, f.err);
    EXPECT_EQ(kExitOk, SendApdus(f.reader, apdus, output));
    std::string sixteen;
    for (int i = 0; i < 16; ++i) {
        sixteen += i == 0 ? "AB" : " AB";
    }
    EXPECT_TRUE(Contains(f.out.str(), "< " + sixteen + "\n  AB AB AB AB\n")) << f.out.str();
}

TEST(ZuicRun, StopsAtTheFirstMismatchAndNamesItsLine) {
    struct Case {
        const char* name;
        std::string script;
        std::vector<std::pair<std::string, std::string>> exchanges;
        int status;
        std::vector<std::string> outParts;
        std::string errPart;
    } cases[] = {
        {"all as expected",
         "# select and read\n00 A4 00 00 02 3F 00 = 9000\n\n00 B0 00 00 02\n"
         "00 A4 00 00 02 12 34 = 6A82  # absent\n",
         {{"00 A4 00 00 02 3F 00", "90 00"},
          {"00 B0 00 00 02", "01 02 90 00"},
          {"00 A4 00 00 02 12 34", "6A 82"}},
         kExitOk,
         {"line 2 > 00 A4 00 00 02 3F 00\n  SW 90 00 success  [expected 90 00]\n",
          "line 4 > 00 B0 00 00 02\n< 01 02\n  SW 90 00 success\n",
          "  SW 6A 82 file not found  [expected 6A 82]\n",
          "summary: 3 commands, 3 run, 3 as expected ("},
         ""},
        {"mismatch on the third line of commands",
         "00 A4 00 00 02 3F 00\n# comment\n00 A4 00 00 02 00 15 = 9000\n"
         "00 B0 00 00 04 = 9000\n00 B0 00 04 04\n",
         {{"00 A4 00 00 02 3F 00", "90 00"},
          {"00 A4 00 00 02 00 15", "90 00"},
          {"00 B0 00 00 04", "69 86"}},
         kExitRefused,
         {"  SW 69 86 command not allowed (no current EF)  [expected 90 00: mismatch]\n",
          "summary: 4 commands, 3 run, 2 as expected, mismatch at line 4, 1 not run ("},
         "zuic: line 4: expected 90 00, got 69 86 (command not allowed (no current EF))\n"},
        {"refusal without an expectation",
         "00 A4 00 00 02 3F 00\n00 A4 00 00 02 3F 01\n",
         {{"00 A4 00 00 02 3F 00", "90 00"}, {"00 A4 00 00 02 3F 01", "6A 82"}},
         kExitRefused,
         {"mismatch at line 2, 0 not run"},
         "zuic: line 2: expected 90 00 (success), got 6A 82 (file not found)\n"},
        {"expected refusal that the card accepts",
         "00 A4 00 00 02 3F 00 = 6A82\n",
         {{"00 A4 00 00 02 3F 00", "90 00"}},
         kExitRefused,
         {"[expected 6A 82: mismatch]"},
         "zuic: line 1: expected 6A 82, got 90 00 (success)\n"},
        {"61XX met by the first answer",
         "00 A4 04 00 02 3F 00 = 61XX\n",
         {{"00 A4 04 00 02 3F 00", "61 02"}, {"00 C0 00 00 02", "6F 00 90 00"}},
         kExitOk,
         {"< 6F 00\n  SW 90 00 success  [expected 61 XX: first answer 61 02]\n"},
         ""},
        {"63CX mask",
         "00 20 00 00 02 31 32 = 63CX\n",
         {{"00 20 00 00 02 31 32", "63 C1"}},
         kExitOk,
         {"  SW 63 C1 counter 1: verification failed, 1 tries left  [expected 63 CX]\n"},
         ""},
        {"no answer never matches",
         "00 84 00 00 04 = XXXX\n00 84 00 00 04\n",
         {{"00 84 00 00 04", "!"}},
         kExitRefused,
         {"no answer from the card (the exchange failed)  [expected XX XX: mismatch]"},
         "zuic: line 1: expected XX XX, got no answer from the card\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        for (const auto& e : c.exchanges) {
            if (e.second == "!") {
                f.card->ExpectFailure(e.first);
            } else {
                f.card->Expect(e.first, e.second);
            }
        }
        std::vector<ScriptLine> lines = f.Script(c.script);
        Output output(f.out, f.err);
        EXPECT_EQ(c.status, RunScript(f.reader, lines, output));
        EXPECT_TRUE(f.card->Done());
        for (const std::string& part : c.outParts) {
            EXPECT_TRUE(Contains(f.out.str(), part)) << f.out.str();
        }
        if (c.errPart.empty()) {
            EXPECT_EQ("", f.err.str());
        } else {
            EXPECT_EQ(c.errPart, f.err.str());
        }
    }
}

TEST(ZuicRun, LongScriptsPrintProgressInsteadOfEveryExchange) {
    const int n = 1000;
    Fixture f;
    for (int i = 0; i < n; ++i) {
        f.card->Expect("00 B0 00 00 01", "00 90 00");
    }
    std::vector<ScriptLine> lines = f.Script(Reads(n));
    Output output(f.out, f.err);
    EXPECT_EQ(kExitOk, RunScript(f.reader, lines, output));
    EXPECT_TRUE(f.card->Done());
    const std::string text = f.out.str();
    EXPECT_EQ(std::string::npos, text.find("line 1 >")) << text.substr(0, 200);
    EXPECT_TRUE(Contains(text, "progress: 100 of 1000 commands (10%)\n"));
    EXPECT_TRUE(Contains(text, "progress: 900 of 1000 commands (90%)\n"));
    EXPECT_FALSE(Contains(text, "(100%)"));
    EXPECT_EQ(9, static_cast<int>(std::count(text.begin(), text.end(), '\n')) - 1);
    EXPECT_TRUE(Contains(text, "summary: 1000 commands, 1000 run, 1000 as expected ("));

    // At the threshold itself every exchange is still shown.
    Fixture small;
    for (size_t i = 0; i < kProgressThreshold; ++i) {
        small.card->Expect("00 B0 00 00 01", "00 90 00");
    }
    lines = small.Script(Reads(static_cast<int>(kProgressThreshold)));
    Output smallOutput(small.out, small.err);
    EXPECT_EQ(kExitOk, RunScript(small.reader, lines, smallOutput));
    EXPECT_TRUE(Contains(small.out.str(), "line 300 > 00 B0 00 00 01\n"));
    EXPECT_FALSE(Contains(small.out.str(), "progress:"));
}

TEST(ZuicRun, LongScriptStillShowsTheMismatchInFull) {
    Fixture f;
    for (int i = 0; i < 499; ++i) {
        f.card->Expect("00 B0 00 00 01", "00 90 00");
    }
    f.card->Expect("00 B0 00 00 01", "6B 00");
    std::vector<ScriptLine> lines = f.Script(Reads(800));
    Output output(f.out, f.err);
    EXPECT_EQ(kExitRefused, RunScript(f.reader, lines, output));
    EXPECT_TRUE(f.card->Done()) << "a command after the mismatch was sent";
    EXPECT_TRUE(Contains(f.out.str(), "line 500 > 00 B0 00 00 01\n  SW 6B 00 wrong parameters "
                                      "P1-P2 (offset outside the file)\n"))
        << f.out.str();
    EXPECT_TRUE(Contains(f.out.str(), "progress: 480 of 800 commands (60%)\n"));
    EXPECT_TRUE(Contains(f.out.str(), "800 commands, 500 run, 499 as expected, mismatch at line "
                                      "500, 300 not run"));
    EXPECT_EQ("zuic: line 500: expected 90 00 (success), got 6B 00 (wrong parameters P1-P2 "
              "(offset outside the file))\n",
              f.err.str());
}

TEST(ZuicAtr, PrintsTheAnswerToResetOrReportsTheMissingCard) {
    Fixture f;
    f.card->atr = FromHex("3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A");
    Output output(f.out, f.err);
    EXPECT_EQ(kExitOk, PrintAtr(f.reader, "sim", output));
    EXPECT_EQ("reader: sim\nATR: 3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A\n",
              f.out.str());

    Fixture empty;
    empty.card->present = false;
    Output emptyOutput(empty.out, empty.err);
    EXPECT_EQ(kExitBadInput, PrintAtr(empty.reader, "sim", emptyOutput));
    EXPECT_EQ("zuic: no card in reader 'sim' (the reset got no answer)\n", empty.err.str());
    EXPECT_EQ("", empty.out.str());
}

TEST(ZuicReaderSelection, AnEmptyReaderIsReportedAsNoCard) {
    Fixture f;
    std::string error;
    EXPECT_TRUE(RequireCard(f.reader, "sim", error));
    f.card->present = false;
    EXPECT_FALSE(RequireCard(f.reader, "Virtual PCD 00 00", error));
    EXPECT_EQ("no card in reader 'Virtual PCD 00 00'", error);
    CZUReader unopened;
    EXPECT_FALSE(RequireCard(unopened, "x", error));
}

TEST(ZuicTraceHook, SeesEveryRawExchangeAndFailuresWithNoAnswer) {
    struct Seen {
        std::vector<std::string> commands;
        std::vector<std::string> answers;
    } seen;
    auto hook = [](const unsigned char* cmd, size_t cmdLen, const unsigned char* answer,
                   size_t answerLen, void* context) {
        auto* s = static_cast<Seen*>(context);
        s->commands.push_back(ToHex(cmd, cmdLen));
        s->answers.push_back(answerLen == 0 ? "-" : ToHex(answer, answerLen));
    };
    Fixture f;
    f.card->Expect("00 B0 00 00 00", "6C 03").Expect("00 B0 00 00 03", "61 01");
    f.card->Expect("00 C0 00 00 01", "AA 90 00");
    f.card->ExpectFailure("00 84 00 00 08");
    f.card->Expect("00 84 00 00 08", "90"); // shorter than a status word
    ZUSetTraceHook(hook, &seen);
    unsigned char cmd[5] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    unsigned char resp[8];
    unsigned long respLen = sizeof resp;
    EXPECT_EQ(1, f.reader.SendCommand(cmd, 5, resp, &respLen));
    unsigned char challenge[5] = {0x00, 0x84, 0x00, 0x00, 0x08};
    EXPECT_EQ(0, f.reader.SendCommand(challenge, 5, nullptr, nullptr));
    EXPECT_EQ(0, f.reader.SendCommand(challenge, 5, nullptr, nullptr));
    ZUSetTraceHook(nullptr, nullptr);
    // Not seen once removed.
    f.card->Expect("00 84 00 00 08", "90 00");
    EXPECT_EQ(1, f.reader.SendCommand(challenge, 5, nullptr, nullptr));

    EXPECT_EQ((std::vector<std::string>{"00 B0 00 00 00", "00 B0 00 00 03", "00 C0 00 00 01",
                                        "00 84 00 00 08", "00 84 00 00 08"}),
              seen.commands);
    EXPECT_EQ((std::vector<std::string>{"6C 03", "61 01", "AA 90 00", "-", "-"}), seen.answers);
    EXPECT_TRUE(f.card->Done());
}

// The front end in process: what is refused before any reader is looked at.
TEST(ZuicCli, RefusesBadInputBeforeReachingAReader) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err; // whole standard error, or its beginning when it ends in "..."
    } cases[] = {
        {{},
         kExitBadInput,
         "zuic: no command given; commands: readers, atr, send, run, sim, demo ..."},
        {{"frob"},
         kExitBadInput,
         "zuic: unknown command 'frob'; commands: readers, atr, send, run, sim, demo ..."},
        {{"atr", "--frob"}, kExitBadInput, "zuic: unknown option '--frob' (see zuic --help)\n"},
        {{"fr\x1b[2Job"}, kExitBadInput, "zuic: unknown command 'fr\\x1B[2Job'; commands: ..."},
        {{"send", "00 A4 \xff"},
         kExitBadInput,
         "zuic: APDU 1 ('00 A4 \\xFF'): malformed hex: '\\xFF' is not a hex digit\n"},
        {{"readers", "--reader", "sim"},
         kExitBadInput,
         "zuic: option --reader does not apply to readers (see zuic readers --help)\n"},
        {{"readers", "extra"}, kExitBadInput, "zuic: readers takes no arguments (got 'extra')\n"},
        {{"atr", "extra"}, kExitBadInput, "zuic: atr takes no arguments (got 'extra')\n"},
        {{"send"}, kExitBadInput, "zuic: send needs at least one APDU (see zuic send --help)\n"},
        // The bad APDU is found before the unknown reader.
        {{"send", "--reader", "nosuch", "00A4000000", "00 A4 0"},
         kExitBadInput,
         "zuic: APDU 2 ('00 A4 0'): malformed hex: '0' has an odd number of hex digits\n"},
        {{"send", "00", "A4", "00", "00"},
         kExitBadInput,
         "zuic: APDU 1 ('00'): APDU too short: 1 byte (an APDU has 4 to 261 bytes) (write each "
         "APDU as one argument: quote it when it has spaces)\n"},
        {{"send", "--reader", "nosuch", "00A4000000"},
         kExitBadInput,
         "zuic: unknown reader 'nosuch'; known readers: ..."},
        {{"run"}, kExitBadInput, "zuic: run needs a script file (see zuic run --help)\n"},
        {{"run", "a", "b"}, kExitBadInput, "zuic: run takes one script file, got 2 arguments\n"},
        {{"run", "/nonexistent/script.apdu"},
         kExitBadInput,
         "zuic: cannot read script '/nonexistent/script.apdu': No such file or directory\n"},
        {{"run", "/"}, kExitBadInput, "zuic: cannot read script '/': it is a directory\n"},
        {{"help", "frob"}, kExitBadInput, "zuic: unknown command 'frob'; commands: ..."},
        {{"--help"}, kExitOk, ""},
        {{"help"}, kExitOk, ""},
        {{"help", "run"}, kExitOk, ""},
        {{"send", "-h"}, kExitOk, ""},
        // --help wins over everything else on the line.
        {{"send", "--help", "zz"}, kExitOk, ""},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) {
            joined += a + " ";
        }
        SCOPED_TRACE(joined);
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(c.status, Main(c.args, out, err));
        const std::string dots = "...";
        if (c.err.size() > 3 && c.err.compare(c.err.size() - 3, 3, dots) == 0) {
            EXPECT_EQ(0u, err.str().find(c.err.substr(0, c.err.size() - 3))) << err.str();
            const std::string errText = err.str();
            EXPECT_EQ(1, std::count(errText.begin(), errText.end(), '\n'));
        } else {
            EXPECT_EQ(c.err, err.str());
        }
        if (c.status == kExitOk) {
            EXPECT_EQ(0u, out.str().find("usage: zuic ")) << out.str();
        }
    }
}
