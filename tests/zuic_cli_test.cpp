// zuic in process against its built-in simulated readers: the parsing tables
// (APDU text, script lines, status words, reader names, ATRs), and the exit
// statuses, one-line messages and output that scripts and users rely on, all
// read from zuic_cli_cases.txt. The program's main() only registers the
// built-in readers and calls Main; .ci/e2e and .ci/package run the program.
#include "ZUICSIM.h"
#include "common/HexText.h"
#include "common/StatusWords.h"
#include "tools/AtrParser.h"
#include "tools/BuiltInReaders.h"
#include "tools/Cli.h"
#include "tools/Commands.h"
#include "tools/ReaderSelection.h"
#include "tools/Reasons.h"
#include "tools/Script.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace zuic;

namespace {

using Row = std::vector<std::string>;

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The rows of one kind in zuic_cli_cases.txt, without the kind; \n and \xNN
// in a field stand for a newline and any byte.
std::vector<Row> Cases(const std::string& kind) {
    std::vector<Row> rows;
    std::ifstream in(std::string(ZUIC_VECTORS_DIR) + "/../zuic_cli_cases.txt");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, kind.size() + 3, kind + " | ") == 0) {
            for (size_t at = 0; (at = line.find("\\x", at)) != std::string::npos; ++at) {
                line.replace(at, 4, 1, static_cast<char>(std::stoi(line.substr(at + 2, 2), 0, 16)));
            }
            line = ReplaceAll(line, "\\n", "\n") + " | ";
            rows.emplace_back();
            for (size_t at = kind.size() + 3, end; (end = line.find(" | ", at)) != line.npos;
                 at = end + 3) {
                rows.back().push_back(line.substr(at, end - at));
            }
        }
    }
    EXPECT_GE(rows.size(), 4u) << kind;
    return rows;
}

// Words as a shell splits them, with '...' grouping.
std::vector<std::string> Words(const std::string& text) {
    static const std::regex word("'([^']*)'|([^ ]+)");
    std::vector<std::string> words;
    for (std::sregex_iterator m(text.begin(), text.end(), word), end; m != end; ++m) {
        words.push_back((*m)[1].matched ? (*m)[1] : (*m)[2]);
    }
    return words;
}

// want, or got where want ends in "..." and got begins with the rest of it.
bool Like(const std::string& want, const std::string& got) {
    size_t dots = want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0 ? 3 : 0;
    return got.compare(0, want.size() - dots, want, 0, want.size() - dots) == 0 &&
           (dots > 0 || got.size() == want.size());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Timings and the answers to GET CHALLENGE differ from run to run.
Row Masked(const std::string& text) {
    static const std::regex seconds(R"(\([0-9]+\.[0-9]+ s\))"),
        random(R"((> 00 84 00 00 .*\n.*?< ).*)");
    return Lines(
        std::regex_replace(std::regex_replace(text, seconds, "(T s)"), random, "$1(random)"));
}

// The lines an example shows against those printed; "..." stands for any
// number of lines.
bool Matches(const Row& want, size_t w, const Row& got, size_t g) {
    if (w < want.size() && want[w] == "...") {
        return Matches(want, w + 1, got, g) || (g < got.size() && Matches(want, w, got, g + 1));
    }
    return w == want.size()
               ? g == got.size()
               : g < got.size() && want[w] == got[g] && Matches(want, w + 1, got, g + 1);
}

// Runs the "$ " examples of a text as a shell would, in a scratch folder, with
// the zuic built here and its errors in the same stream: `cat F` shows the
// file that later examples name, `echo $?` the last status. Returns how many
// ran zuic.
int CheckExamples(const Row& text, const std::string& where) {
    std::vector<std::pair<std::string, std::string>> examples; // command, what it shows
    for (const std::string& line : text) {
        if (line.compare(0, 2, "$ ") == 0) {
            examples.push_back({line.substr(2), ""});
        } else if (!examples.empty()) {
            examples.back().second += line + "\n";
        }
    }
    const std::string dir = testing::TempDir();
    int status = -1, ran = 0;
    for (auto& [command, shown] : examples) {
        SCOPED_TRACE(where + ": $ " + command);
        shown.erase(shown.find_last_not_of('\n') + 1).append(shown.empty() ? "" : "\n");
        const size_t name = command.find(' '), pipe = command.find(" | ");
        if (command.compare(0, 4, "cat ") == 0) {
            std::ofstream(dir + command.substr(4)) << shown;
        } else if (command == "echo $?") {
            EXPECT_EQ(std::to_string(status) + "\n", shown);
        } else {
            EXPECT_TRUE(command.compare(0, name, "zuic") == 0 ||
                        command.compare(0, name, "./build/tools/zuic") == 0);
            const std::string line = "cd " + dir + " && " ZUIC_BINARY_DIR "/tools/zuic" +
                                     command.substr(name, pipe - name) + " 2>&1" +
                                     (pipe == std::string::npos ? "" : command.substr(pipe));
            FILE* run = popen(line.c_str(), "r");
            std::string out;
            for (int c; run != nullptr && (c = std::fgetc(run)) != EOF;) {
                out += static_cast<char>(c);
            }
            status = run == nullptr ? -1 : WEXITSTATUS(pclose(run));
            ++ran;
            EXPECT_TRUE(Matches(Masked(shown), 0, Masked(out), 0)) << out;
        }
    }
    return ran;
}

} // namespace

// Each row: the text, then what zuic makes of it or "!" and why it refuses it.
TEST(ZuicParsing, ApduScriptLineStatusWordReaderAndAtrTables) {
    KnownReaders known;
    known.pcsc = {"ACS ACR38U 00 00", "Virtual PCD 00 00", "Virtual PCD 00 01"};
    known.builtIn = {{"sim", ""}, {"simsam", ""}};
    KnownReaders offline; // no PC/SC service
    offline.builtIn = known.builtIn;
    offline.pcscReason = ZU_E_NO_SERVICE;
    offline.pcscCode = 0x8010001D;
    auto choose = [](const KnownReaders& readers, const std::string& name) {
        ReaderChoice choice;
        std::string error;
        if (!ChooseReader(name == "-" ? nullptr : &name, readers, choice, error)) {
            return "!" + error;
        }
        return choice.name + (choice.builtIn ? "" : " #" + std::to_string(choice.pcscIndex));
    };
    const std::map<std::string, std::function<std::string(const Row&)>> kinds = {
        {"apdu",
         [](const Row& c) {
             Apdu apdu;
             std::string error;
             return Apdu::Parse(c[0], apdu, error)
                        ? std::to_string(apdu.GetCase()) + " " + FormatHex(apdu.Wire())
                        : "!" + error;
         }},
        {"line",
         [](const Row& c) {
             ScriptLine line;
             bool command = false;
             std::string error;
             if (!ParseScriptLine(c[0], line, command, error)) {
                 return "!" + error;
             }
             return !command ? "-"
                             : FormatHex(line.apdu.Raw()) +
                                   (line.hasExpectation ? " = " + line.expected.ToString() : "");
         }},
        {"pattern", // the status words of 9000 61FF 63C0 63CF 6A82 6982 0000 that it matches
         [](const Row& c) {
             StatusWordPattern pattern;
             std::string error, matched;
             StatusWordPattern::Parse(c[0], pattern, error);
             for (unsigned short sw : {0x9000, 0x61FF, 0x63C0, 0x63CF, 0x6A82, 0x6982, 0x0000}) {
                 matched += pattern.Matches(sw) ? FormatStatusWord(sw) + " " : "";
             }
             return error.empty() ? matched : "!" + error;
         }},
        {"sw", [](const Row& c) { return DescribeStatusWord(std::stoi(c[0], 0, 16)); }},
        {"reader", [&](const Row& c) { return choose(known, c[0]); }},
        {"offline", [&](const Row& c) { return choose(offline, c[0]); }},
        // The reason an operation left, a PC/SC code in hex and a reader: the
        // message and the exit status.
        {"reason",
         [](const Row& c) {
             std::istringstream in(c[0]);
             int reason = 0;
             std::string code, reader;
             in >> reason >> code >> std::ws;
             std::getline(in, reader);
             ZUSetLastError(reason, std::stol(code, nullptr, 16));
             const Failure failure = LastFailure();
             return ReasonMessage(failure.reason, failure.pcscCode, reader) + " | " +
                    std::to_string(ExitStatusFor(failure.reason));
         }},
        // Protocols, Fi/Di, N, IFSC, BWI, CWI, K and where the historical bytes
        // start, the TCK sound or the one it should be; a field's meaning.
        {"atr",
         [](const Row& c) {
             Bytes atr;
             std::string error;
             ParseHex(c[0], atr, error);
             AtrInfo info = ParseAtr(atr.data(), atr.size());
             std::ostringstream got;
             for (int protocol : info.protocols) {
                 got << "T=" << protocol << " ";
             }
             got << info.fi << "/" << info.di << " N" << info.extraGuardTime << " IFSC" << info.ifsc
                 << " BWI" << info.bwi << " CWI" << info.cwi << " K" << info.historicalLength << "@"
                 << info.historicalOffset << (info.hasTck ? " TCK" : "")
                 << (info.inverse ? " inverse" : "");
             if (info.hasTck && !info.tckCorrect) {
                 got << "!=" << FormatHex(&info.tckExpected, 1);
             }
             for (const AtrField& field : info.fields) {
                 got << (c.size() > 2 && field.name == c[2] ? " | " + c[2] + " | " + field.meaning
                                                            : "");
             }
             return info.wellFormed ? got.str() : "!" + info.error;
         }},
    };
    for (const auto& kind : kinds) {
        for (const Row& c : Cases(kind.first)) {
            std::string got = kind.second(c), want = c[1];
            for (size_t i = 2; i < c.size(); ++i) {
                want += " | " + c[i];
            }
            EXPECT_TRUE(Like(want, got)) << kind.first << " " << c[0] << "\n got " << got;
        }
    }
    // The reader takes 260 bytes at most: a full case 4 leaves its Le at home.
    const std::string max = "00 D6 00 00 FF" + ReplaceAll(std::string(255, '.'), ".", " 5A");
    EXPECT_EQ("3 " + max, kinds.at("apdu")({max}));
    EXPECT_EQ("4 " + max, kinds.at("apdu")({max + " 00"}));
    EXPECT_EQ("!APDU too long: 262 bytes (an APDU has 4 to 261 bytes)",
              kinds.at("apdu")({max + " 00 00"}));
}

// Each row: the arguments as a shell splits them (@NAME: a script below),
// the exit status, standard error's one line after "zuic: " (all of it, or
// its start and "..."), then pieces of standard output in order ("!piece":
// not there after the pieces before it).
TEST(ZuicMain, ExitStatusesMessagesAndOutput) {
    // No PC/SC service, whatever pcscd this machine runs: the readers are the
    // built-in ones.
    setenv("PCSCLITE_CSOCK_NAME", "/nonexistent/pcscd.comm", 1);
    RegisterBuiltInReaders();
    const std::string mf = "80 E0 00 00 0A 00 02 20 26 00 00 00 00 12 34\n",
                      get = "00 84 00 00 04\n";
    std::map<std::string, std::string> paths,
        scripts = {
            {"@bad", "# a script\n00 A4 00 00 02 3F 00 = 9000\n\n00 B0 00 00 04 = 90XZ\n"},
            {"@mismatch", mf + "00 A4 00 00 02 12 34\n" + get},
            {"@t0", mf + "00 A4 00 00 02 3F 00 = 61XX\n"},
            {"@secret",
             "00 20 00 00 04 31 32 33 34 = XXXX\n80 5E 00 00 08 3132333435363738 = XXXX\n"
             "80 D8 00 00 03 11 22 33 = XXXX\n00 D4 00 00 01 AB = XXXX\n80 D4 00 00 = XXXX\n"},
            // No answer matches no expectation, not even XXXX.
            {"@gone", get + "00 84 00 00 04 = XXXX\n" + get},
            {"@long", ReplaceAll(std::string(1000, '.'), ".", get)},
            {"@toolong", get + "00 D6 00 00 FF" + ReplaceAll(std::string(257, '.'), ".", " 5A")},
        };
    for (const auto& s : scripts) {
        paths[s.first] = testing::TempDir() + "zuic_cli_test_" + s.first.substr(1) + ".apdu";
        std::ofstream(paths[s.first]) << s.second;
    }
    for (const Row& c : Cases("zuic")) {
        std::vector<std::string> args = Words(c[0]);
        for (std::string& arg : args) {
            arg = paths.count(arg) != 0 ? paths[arg] : arg;
        }
        SCOPED_TRACE(c[0]);
        // As a fresh zuic process meets the world: blank simulated cards.
        ZUSimResetAll();
        std::ostringstream outStream, errStream;
        const int status = Main(args, outStream, errStream);
        std::string out = outStream.str(), err = errStream.str();
        for (const auto& p : paths) {
            err = ReplaceAll(err, p.second, p.first);
        }
        EXPECT_EQ(c[1], std::to_string(status)) << out << err;
        EXPECT_TRUE(c[2].empty() ? err.empty()
                                 : Like("zuic: " + c[2], err.substr(0, err.find('\n'))))
            << err;
        EXPECT_EQ(!c[2].empty(), std::count(err.begin(), err.end(), '\n')) << err;
        EXPECT_TRUE(c[1] != "2" || out.empty()) << out;
        size_t at = 0;
        for (size_t i = 3; i < c.size(); ++i) {
            bool absent = c[i][0] == '!';
            size_t found = out.find(c[i].substr(absent), at);
            EXPECT_EQ(absent, found == std::string::npos) << c[i] << " in\n" << out;
            at = absent || found == std::string::npos ? at : found + c[i].size();
        }
    }
    for (const auto& p : paths) {
        std::remove(p.second.c_str());
    }
}

// Every example of each command's help and of README's console blocks prints
// what it shows (the bridge's examples start background programs: not run).
TEST(ZuicExamples, HelpAndReadmeExamplesPrintWhatTheyShow) {
    setenv("PCSCLITE_CSOCK_NAME", "/nonexistent/pcscd.comm", 1);
    for (const CommandSpec* command : AllCommands()) {
        Row text;
        for (const std::string& line : Lines(command->details)) {
            text.push_back(line.compare(0, 2, "  ") == 0 ? line.substr(2) : line);
        }
        EXPECT_TRUE(command->name == "sim" || CheckExamples(text, command->name + " --help") > 0)
            << "zuic " << command->name << " --help has no example";
    }
    std::ifstream readme(std::string(ZUIC_VECTORS_DIR) + "/../../README.md");
    Row console;
    int ran = 0;
    for (std::string line; std::getline(readme, line);) {
        if (line == "```" && !console.empty()) { // a block ends: its examples run
            ran += CheckExamples(console, "README");
            console.clear();
        } else if (!console.empty() || line == "```console") {
            console.push_back(line);
        }
    }
    EXPECT_GE(ran, 12);
}

// The man page has a section for every command and names every option that
// a help shows.
TEST(ZuicExamples, TheManPageNamesEveryCommandAndOption) {
    std::ifstream in(std::string(ZUIC_VECTORS_DIR) + "/../../tools/zuic.1");
    const std::string man((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto has = [&man](const std::string& text) { return man.find(text) != std::string::npos; };
    std::vector<Row> helps = {{"--help"}};
    for (const CommandSpec* command : AllCommands()) {
        EXPECT_TRUE(has("\n.SS " + command->name + "\n") || has("\n.SS \"" + command->name + " "))
            << "no section for " << command->name;
        helps.push_back({command->name, "--help"});
    }
    int options = 0;
    for (const Row& args : helps) {
        std::ostringstream out, err;
        ASSERT_EQ(0, Main(args, out, err));
        for (const std::string& line : Lines(out.str())) {
            if (line.compare(0, 4, "  --") == 0) {
                const std::string roff =
                    ReplaceAll(line.substr(4, line.find_first_of(" ,", 4) - 4), "-", "\\-");
                EXPECT_TRUE(has(".B \\-\\-" + roff + "\n") || has(".BI \\-\\-" + roff + " ") ||
                            has(".BR \\-\\-" + roff + " "))
                    << "--" << roff << " (zuic " << args[0] << ") is not in the man page";
                ++options;
            }
        }
    }
    EXPECT_GE(options, 20);
}
