// The zuic program as a user meets it: every bad input gets one line on
// standard error and exit status 2, --help works for every command, and
// readers lists what there is. Runs the built program.
#include "tools/Commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct Result {
    bool exited = false; // ended by exit, not by a signal
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string TempFile(const std::string& tag) {
    char name[] = "/tmp/zuic_binary_test_XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) {
        close(fd);
    }
    return std::string(name) + tag;
}

// Runs build/tools/zuic with args, standard input from /dev/null or from a
// file holding stdinText.
Result RunZuic(const std::vector<std::string>& args, const std::string* stdinText = nullptr) {
    const std::string program = std::string(ZUIC_BINARY_DIR) + "/tools/zuic";
    const std::string base = TempFile("");
    const std::string outPath = base + ".out";
    const std::string errPath = base + ".err";
    std::string inPath = "/dev/null";
    if (stdinText != nullptr) {
        inPath = base + ".in";
        std::ofstream(inPath, std::ios::binary) << *stdinText;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    Result result;
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc == 0) {
        int status = 0;
        if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
            result.exited = true;
            result.status = WEXITSTATUS(status);
        }
        result.out = ReadAll(outPath);
        result.err = ReadAll(errPath);
    }
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    std::remove(base.c_str());
    if (stdinText != nullptr) {
        std::remove(inPath.c_str());
    }
    return result;
}

std::string WriteScript(const std::string& text) {
    std::string path = TempFile(".apdu");
    std::ofstream(path) << text;
    return path;
}

// The arguments as a test's trace shows them, each cut to 30 characters.
std::string Joined(const std::vector<std::string>& args) {
    std::string joined;
    for (const std::string& a : args) {
        joined += a.substr(0, 30) + " ";
    }
    return joined;
}

std::string Repeat(const std::string& unit, int n) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        text += unit;
    }
    return text;
}

} // namespace

// No such reader, no card: one line and exit status 3, apart from bad input.
TEST(ZuicBinary, AMissingReaderGetsOneLineAndExitStatusThree) {
    struct Case {
        std::vector<std::string> args;
        std::string start; // the beginning of the line after "zuic: "
    } cases[] = {
        {{"send", "--reader", "no such reader", "00 A4 00 00 02 3F 00"},
         "unknown reader 'no such reader'; known readers: "},
        {{"atr", "--reader", "simulator-that-is-not-there"},
         "unknown reader 'simulator-that-is-not-there'; known readers: "},
        {{"run", "--reader", "9999", "-"}, "no PC/SC reader 9999 (the PC/SC readers are numbered"},
        {{"demo", "--reader", "nosuch", "--erase"}, "unknown reader 'nosuch'"},
        {{"watch", "--reader", "nosuch"}, "unknown reader 'nosuch'"},
    };
    const std::string script = "00 A4 00 00 02 3F 00\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.args));
        Result r = RunZuic(c.args, &script);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(3, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(0u, r.err.find("zuic: " + c.start)) << r.err;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    }
    Result version = RunZuic({"--version"});
    EXPECT_EQ(0, version.status);
    EXPECT_EQ("zuic 1.0.0 (ZUICAPI 1.0.0)\n", version.out);
}

TEST(ZuicBinary, BadInputGetsOneLineAndExitStatusTwo) {
    const std::string badLine = WriteScript("# a script\n00 A4 00 00 02 3F 00 = 9000\n\n"
                                            "00 B0 00 00 04 = 90XZ\n00 B0 00 00 04\n");
    const std::string shortLine = WriteScript("00 A4 00 00 02 3F 00\n00 A4 00\n");
    const std::string empty = WriteScript("# nothing but comments\n\n");
    struct Case {
        std::vector<std::string> args;
        std::string message; // the whole line after "zuic: ", or its beginning with "..."
    } cases[] = {
        {{}, "no command given; commands: readers, atr, watch, send, run..."},
        {{"frob"}, "unknown command 'frob'; commands: readers, atr, watch, send, run..."},
        {{"--frob", "atr"}, "unknown option '--frob' (see zuic atr --help)"},
        {{"atr", "--reader"}, "option --reader needs a value (R) (see zuic atr --help)"},
        {{"--frob"}, "unknown option '--frob' (see zuic --help)"},
        {{"send", "00 A4 0G 00"}, "APDU 1 ('00 A4 0G 00'): malformed hex: 'G' is not a hex digit"},
        {{"send", "00A4000002 3F00", "0 0A4"},
         "APDU 2 ('0 0A4'): malformed hex: '0' has an odd number of hex digits"},
        {{"send", "00 A4 00"},
         "APDU 1 ('00 A4 00'): APDU too short: 3 bytes (an APDU has 4 to "
         "261 bytes)"},
        {{"send", "00D60000FF" + Repeat("00", 257)},
         "APDU 1 ('00D60000FF...): APDU too long: 262 bytes (an APDU has 4 to 261 bytes)"},
        {{"send", "00 A4 00 00 05 3F 00"},
         "APDU 1 ('00 A4 00 00 05 3F 00'): Lc 05 announces 5 data bytes but 2 bytes follow the "
         "header"},
        {{"run", "--reader", "nosuch", badLine},
         badLine + ": line 4: expected status word '90XZ': 'Z' is neither a hex digit nor X"},
        {{"run", shortLine},
         shortLine + ": line 2: APDU too short: 3 bytes (an APDU has 4 to 261 bytes)"},
        {{"run", empty}, empty + ": the script has no commands"},
        {{"run", "/nonexistent.apdu"},
         "cannot read script '/nonexistent.apdu': No such file or directory"},
        {{"run"}, "run needs a script file (see zuic run --help)"},
        {{"send"}, "send needs at least one APDU (see zuic send --help)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.args));
        Result r = RunZuic(c.args);
        ASSERT_TRUE(r.exited) << "zuic did not exit normally";
        EXPECT_EQ(2, r.status);
        EXPECT_EQ("", r.out);
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
        std::string expected = "zuic: " + c.message;
        size_t dots = expected.find("...");
        if (dots != std::string::npos) {
            std::string head = expected.substr(0, dots);
            std::string tail = expected.substr(dots + 3);
            EXPECT_EQ(0u, r.err.find(head)) << r.err;
            EXPECT_NE(std::string::npos, r.err.find(tail)) << r.err;
        } else {
            EXPECT_EQ(expected + "\n", r.err);
        }
    }
    std::remove(badLine.c_str());
    std::remove(shortLine.c_str());
    std::remove(empty.c_str());
}

TEST(ZuicBinary, ScriptFromStandardInputIsCheckedLikeAFile) {
    std::string script = "00 A4 00 00 02 3F 00\n00 B0 00 00 04 =\n";
    Result r = RunZuic({"run", "--reader", "nosuch", "-"}, &script);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("zuic: -: line 2: '=' without an expected status word\n", r.err);
}

TEST(ZuicBinary, HelpForEveryCommand) {
    Result general = RunZuic({"--help"});
    ASSERT_TRUE(general.exited);
    EXPECT_EQ(0, general.status);
    EXPECT_EQ("", general.err);
    EXPECT_EQ(0u, general.out.find("usage: zuic [--trace] [--show-secrets] COMMAND [options] "
                                   "[arguments]\n"));
    for (const zuic::CommandSpec* command : zuic::AllCommands()) {
        SCOPED_TRACE(command->name);
        EXPECT_NE(std::string::npos, general.out.find("\n  " + command->name + " "));
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{command->name, "--help"},
              std::vector<std::string>{"-h", command->name},
              std::vector<std::string>{"help", command->name}}) {
            Result r = RunZuic(args);
            ASSERT_TRUE(r.exited);
            EXPECT_EQ(0, r.status);
            EXPECT_EQ("", r.err);
            EXPECT_EQ(0u, r.out.find("usage: zuic " + command->synopsis + "\n")) << r.out;
            EXPECT_NE(std::string::npos, r.out.find("Example")) << r.out;
            EXPECT_NE(std::string::npos, r.out.find("  --trace ")) << r.out;
            for (const zuic::OptionSpec& option : command->options) {
                EXPECT_NE(std::string::npos, r.out.find("  --" + option.name + " ")) << r.out;
            }
        }
    }
}

TEST(ZuicBinary, ReadersListsBothKindsOfReader) {
    Result r = RunZuic({"readers"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0u, r.out.find("PC/SC readers:")) << r.out;
    size_t builtIn = r.out.find("\nBuilt-in readers:");
    ASSERT_NE(std::string::npos, builtIn) << r.out;
#if defined(ZUIC_HAVE_SIM)
    EXPECT_NE(std::string::npos, r.out.find("\n  sim ", builtIn)) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\n  simsam ", builtIn)) << r.out;
#else
    EXPECT_NE(
        std::string::npos,
        r.out.find("Built-in readers:\n  none (this zuic was built without the simulated card)"))
        << r.out;
#endif
    // Every PC/SC line carries whether a card is in the reader.
    std::string pcsc = r.out.substr(0, builtIn);
    size_t line = pcsc.find("\n  ");
    while (line != std::string::npos) {
        size_t end = pcsc.find('\n', line + 1);
        std::string text = pcsc.substr(line + 1, end == std::string::npos ? end : end - line - 1);
        EXPECT_TRUE(text.find("card present") != std::string::npos ||
                    text.find("no card") != std::string::npos ||
                    text == "  none (no PC/SC service, or no reader connected)")
            << text;
        line = end == std::string::npos ? end : pcsc.find("\n  ", end);
    }
}

// Needs a PC/SC service with an empty reader; skipped where there is none.
TEST(ZuicBinary, AnEmptyPcscReaderIsReportedAsNoCard) {
    Result readers = RunZuic({"readers"});
    ASSERT_TRUE(readers.exited);
    const std::string marker = "  no card\n";
    size_t end = readers.out.find(marker);
    size_t builtIn = readers.out.find("\nBuilt-in readers:");
    if (end == std::string::npos || end > builtIn) {
        GTEST_SKIP() << "no PC/SC reader without a card";
    }
    size_t start = readers.out.rfind("\n  ", end) + 3;
    std::string name = readers.out.substr(start, end - start);
    name = name.substr(0, name.find_last_not_of(' ') + 1);
    for (const char* command : {"atr", "send"}) {
        SCOPED_TRACE(command);
        std::vector<std::string> args = {command, "--reader", name};
        if (std::string(command) == "send") {
            args.push_back("00 A4 00 00 02 3F 00");
        }
        Result r = RunZuic(args);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(3, r.status);
        EXPECT_EQ("zuic: no card in reader '" + name + "'\n", r.err);
    }
}

#if defined(ZUIC_HAVE_SIM)
// zuic demo issues the built-in card from blank and uses it: every step ok in
// order, or, when the card leaves in the middle, the failing step named, no
// step after it, and exit status 1.
TEST(ZuicBinary, DemoIssuesTheSimulatedCardAndStopsAtTheFirstFailure) {
    const std::vector<std::string> steps = {
        "reset the card: ATR ",
        "erase the card's file system",
        "load key 03 encrypted and MACed in software",
        "verify a wrong PIN: refused with 63 C2",
        "write the binary file without a MAC: refused with 69 82",
        "write 600 bytes with MACs computed in software",
        "read the 600 bytes back",
        "internal authentication with key 03, checked with softenc",
        "diversify the SAM's master key for the card's serial number",
    };
    struct Case {
        std::vector<std::string> args;
        int status;
        size_t okSteps;    // how many of `steps` are there, in order, as ok
        const char* apdu;  // a line that must be there, or null: no APDU lines at all
        const char* error; // standard error, whole
    } cases[] = {
        {{"demo"}, 0, steps.size(), "          >> 04 D6 00 C8 CC ", ""},
        {{"demo", "--brief"}, 0, steps.size(), nullptr, ""},
        // --trace shows every exchange whole; --brief leaves out the cut echo.
        {{"--trace", "demo", "--brief"}, 0, steps.size(), "  trace >> 04 D6 01 90 CC ", ""},
        // With T=0 answering, every answer with data comes by GET RESPONSE.
        {{"demo", "--reader", "sim:t0", "--sam", "simsam:t0"},
         0,
         steps.size(),
         "          >> 00 C0 00 00 ",
         ""},
        // The card leaves after 23 commands, before the first secure write's
        // challenge: that step fails and no later step runs.
        {{"demo", "--reader", "sim:remove=23"},
         1,
         5,
         "FAILED  write 600 bytes with MACs computed in software: the write at offset 0: no answer "
         "from the "
         "card",
         ""},
        {{"demo", "extra"}, 2, 0, nullptr, "zuic: demo takes no arguments (got 'extra')\n"},
        // The key is loaded through a SAM-class copy of the card: its refusal
        // is that copy's status word, not the card object's last 90 00.
        {{"demo", "--brief", "--reader", "sim:refuse=8"}, 1, 2, nullptr, ""},
        // PINs and keys are hidden in the echo unless asked for.
        {{"demo", "--reader", "sim"},
         0,
         steps.size(),
         "          >> 80 D4 00 00 07 ** (7 bytes)\n",
         ""},
        {{"--show-secrets", "demo"},
         0,
         steps.size(),
         "          >> 80 D4 00 00 07 00 08 03 31 32 33 34\n",
         ""},
        {{"demo", "--reader", "sim:nosuchoption"},
         3,
         0,
         nullptr,
         "zuic: cannot open reader 'sim:nosuchoption'\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.args));
        Result r = RunZuic(c.args);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(c.status, r.status) << r.out << r.err;
        EXPECT_EQ(c.error, r.err);
        if (c.status >= 2) {
            EXPECT_EQ("", r.out);
            continue;
        }
        if (c.args.back() == "sim:refuse=8") {
            EXPECT_NE(std::string::npos,
                      r.out.find("\nFAILED  load key 03 encrypted and MACed in software: the card "
                                 "answered 6F 00\n"))
                << r.out;
        }
        if (c.args.front() != "--show-secrets") {
            EXPECT_EQ(std::string::npos, r.out.find("31 32 33 34")) << "the PIN shows";
        }
        size_t at = 0;
        for (size_t i = 0; i < steps.size(); ++i) {
            size_t found = r.out.find("\nok      " + steps[i], at);
            if (i < c.okSteps) {
                ASSERT_NE(std::string::npos, found) << steps[i] << "\n" << r.out;
                at = found + 1;
            } else {
                EXPECT_EQ(std::string::npos, found) << steps[i] << "\n" << r.out;
            }
        }
        size_t failedSteps = 0;
        for (size_t f = r.out.find("\nFAILED  "); f != std::string::npos;
             f = r.out.find("\nFAILED  ", f + 1)) {
            ++failedSteps;
        }
        EXPECT_EQ(c.status == 0 ? 0u : 1u, failedSteps) << r.out;
        if (c.apdu == nullptr) {
            EXPECT_EQ(std::string::npos, r.out.find(">>")) << r.out;
        } else {
            EXPECT_NE(std::string::npos, r.out.find(c.apdu)) << r.out;
        }
        // The table at the end: one line per step that ran, then the verdict.
        const std::string verdict = c.status == 0 ? "  ok\n" : "  FAILED\n";
        size_t all = r.out.rfind("\nall ");
        ASSERT_NE(std::string::npos, all) << r.out;
        EXPECT_EQ(r.out.size() - verdict.size(), r.out.rfind(verdict)) << r.out;
        EXPECT_EQ(c.status != 0, r.out.find("FAILED", r.out.find("\nstep ")) != std::string::npos)
            << r.out;
    }
}
#endif

#if defined(ZUIC_HAVE_SIM)
// atr, send and run as a user meets them on the built-in simulated card, which
// each zuic process starts blank.
TEST(ZuicBinary, CommandsAgainstTheSimulatedCard) {
    const std::string issue = WriteScript("# create the master file, select it, look for a file\n"
                                          "80 E0 00 00 0A 00 02 20 26 00 00 00 00 12 34\n"
                                          "00 A4 00 00 02 3F 00       = 9000\n"
                                          "00 84 00 00 04\n"
                                          "00 A4 00 00 02 12 34       = 6A82\n");
    const std::string mismatch = WriteScript("80 E0 00 00 0A 00 02 20 26 00 00 00 00 12 34\n"
                                             "00 A4 00 00 02 12 34\n"
                                             "00 84 00 00 04\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> out; // each in standard output, in this order
        std::string err;              // standard error, whole
    } cases[] = {
        {{"atr", "--reader", "sim"},
         0,
         {"reader: sim\nATR: 3B 8A 01 5A 55 53 49 4D 2D 43 41 52 44 EA\n"},
         ""},
        {{"atr", "--reader", "simsam"}, 0, {"ATR: 3B 89 01 5A 55 53 49 4D 2D 53 41 4D A2\n"}, ""},
        {{"send", "--reader", "sim", "00:84:00:00:08"},
         0,
         {"> 00 84 00 00 08\n< ", "\n  SW 90 00 success\n"},
         ""},
        {{"send", "--reader", "sim", "00 84 00 00 04", "00 A4 00 00 02 3F 00", "00 84 00 00 04"},
         1,
         {"> 00 84 00 00 04\n", "> 00 A4 00 00 02 3F 00\n  SW 6A 82 file not found\n"},
         "zuic: APDU 2 refused by the card: 6A 82 file not found; 1 APDU not sent\n"},
        {{"run", "--reader", "sim", issue},
         0,
         {"line 2 > 80 E0 00 00 0A", "line 3 > 00 A4 00 00 02 3F 00\n< 6F 16 83 02 3F 00",
          "  SW 6A 82 file not found  [expected 6A 82]\n",
          "summary: 4 commands, 4 run, 4 as expected ("},
         ""},
        {{"run", "--reader", "sim", mismatch},
         1,
         {"line 2 > 00 A4 00 00 02 12 34\n  SW 6A 82 file not found\n",
          "summary: 3 commands, 2 run, 1 as expected, mismatch at line 2, 1 not run ("},
         "zuic: line 2: expected 90 00 (success), got 6A 82 (file not found)\n"},
        // With T=0 answering the file control information comes by GET
        // RESPONSE, which --trace shows; the script's expectation still holds.
        {{"--trace", "run", "--reader", "sim:t0", issue},
         0,
         {"  trace >> 00 A4 00 00 02 3F 00\n  trace << 61 18\n  trace >> 00 C0 00 00 18\n",
          "summary: 4 commands, 4 run, 4 as expected ("},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.args));
        Result r = RunZuic(c.args);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(c.status, r.status) << r.out << r.err;
        EXPECT_EQ(c.err, r.err);
        size_t at = 0;
        for (const std::string& piece : c.out) {
            size_t found = r.out.find(piece, at);
            ASSERT_NE(std::string::npos, found) << piece << "\nin\n" << r.out;
            at = found + piece.size();
        }
    }
    std::remove(issue.c_str());
    std::remove(mismatch.c_str());
}
#endif
