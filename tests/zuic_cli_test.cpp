// zuic in process against its built-in simulated readers: the parsing tables
// (APDU text, script lines, status words, reader names, ATRs), the exit
// statuses and one-line messages that scripts rely on, and every example that
// zuic's help and README show. The tables are in zuic_cli_cases.txt. The
// program's main() only registers the built-in readers and calls Main;
// .ci/e2e and .ci/package run the program itself.
#include "ZUICSIM.h"
#include "common/HexText.h"
#include "common/StatusWords.h"
#include "tools/AtrParser.h"
#include "tools/BuiltInReaders.h"
#include "tools/Cli.h"
#include "tools/Commands.h"
#include "tools/ReaderSelection.h"
#include "tools/Script.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace zuic;

namespace {

using Row = std::vector<std::string>;

struct Ran {
    int status;
    std::string out, err;
};

// zuic ARGS as a fresh process meets the world: blank simulated cards, and no
// PC/SC service whatever pcscd this machine runs. With merged, standard error
// goes where standard output goes, in order.
Ran Zuic(const std::vector<std::string>& args, bool merged = false) {
    static const bool once =
        (setenv("PCSCLITE_CSOCK_NAME", "/nonexistent/pcscd.comm", 1), RegisterBuiltInReaders(), 1);
    (void)once;
    ZUSimResetAll();
    std::ostringstream out, err;
    int status = Main(args, out, merged ? out : err);
    return {status, out.str(), err.str()};
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) {
        parts.push_back(part);
    }
    return parts;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(std::string(ZUIC_VECTORS_DIR) + "/../../" + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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
    for (std::string line : Split(ReadFile("tests/zuic_cli_cases.txt"), '\n')) {
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

} // namespace

// Each row: the text, then what zuic makes of it or "!" and why it refuses it.
TEST(ZuicParsing, ApduScriptLineStatusWordAndReaderTables) {
    KnownReaders known;
    known.pcsc = {"ACS ACR38U 00 00", "Virtual PCD 00 00", "Virtual PCD 00 01"};
    known.builtIn = {{"sim", ""}, {"simsam", ""}};
    const std::map<std::string, std::function<std::string(const std::string&)>> kinds = {
        {"apdu",
         [](const std::string& text) {
             Apdu apdu;
             std::string error;
             return Apdu::Parse(text, apdu, error)
                        ? std::to_string(apdu.GetCase()) + " " + FormatHex(apdu.Wire())
                        : "!" + error;
         }},
        {"line",
         [](const std::string& text) {
             ScriptLine line;
             bool command = false;
             std::string error;
             if (!ParseScriptLine(text, line, command, error)) {
                 return "!" + error;
             }
             return !command ? "-"
                             : FormatHex(line.apdu.Raw()) +
                                   (line.hasExpectation ? " = " + line.expected.ToString() : "");
         }},
        {"pattern", // the status words of 9000 61FF 63C0 63CF 6A82 6982 0000 that it matches
         [](const std::string& text) {
             StatusWordPattern pattern;
             std::string error, matched;
             StatusWordPattern::Parse(text, pattern, error);
             for (unsigned short sw : {0x9000, 0x61FF, 0x63C0, 0x63CF, 0x6A82, 0x6982, 0x0000}) {
                 matched += pattern.Matches(sw) ? FormatStatusWord(sw) + " " : "";
             }
             return error.empty() ? matched : "!" + error;
         }},
        {"sw", [](const std::string& text) { return DescribeStatusWord(std::stoi(text, 0, 16)); }},
        {"reader",
         [&known](const std::string& text) {
             ReaderChoice choice;
             std::string error;
             if (!ChooseReader(text == "-" ? nullptr : &text, known, choice, error)) {
                 return "!" + error;
             }
             return choice.name + (choice.builtIn ? "" : " #" + std::to_string(choice.pcscIndex));
         }},
    };
    for (const auto& kind : kinds) {
        for (const Row& c : Cases(kind.first)) {
            std::string got = kind.second(c[0]);
            EXPECT_TRUE(Like(c[1], got)) << kind.first << " " << c[0] << "\n got " << got;
        }
    }
    // The reader takes 260 bytes at most: a full case 4 leaves its Le at home.
    const std::string max = "00 D6 00 00 FF" + ReplaceAll(std::string(255, '.'), ".", " 5A");
    EXPECT_EQ("3 " + max, kinds.at("apdu")(max));
    EXPECT_EQ("4 " + max, kinds.at("apdu")(max + " 00"));
    EXPECT_EQ("!APDU too long: 262 bytes (an APDU has 4 to 261 bytes)",
              kinds.at("apdu")(max + " 00 00"));
}

// Each row: an ATR; protocols, Fi/Di, N, IFSC, BWI, CWI, K and a sound TCK or
// "!" and where it stops making sense; a field and its meaning.
TEST(ZuicParsing, AtrsTakenApart) {
    for (const Row& c : Cases("atr")) {
        Bytes atr;
        std::string error;
        ParseHex(c[0], atr, error);
        AtrInfo info = ParseAtr(atr.data(), atr.size());
        std::ostringstream got;
        for (int protocol : info.protocols) {
            got << "T=" << protocol << " ";
        }
        got << info.fi << "/" << info.di << " N" << info.extraGuardTime << " IFSC" << info.ifsc
            << " BWI" << info.bwi << " CWI" << info.cwi << " K" << info.historicalLength
            << (info.hasTck && info.tckCorrect ? " TCK" : "") << (info.inverse ? " inverse" : "");
        EXPECT_EQ(c[1], info.wellFormed ? got.str() : "!" + info.error) << c[0];
        EXPECT_TRUE(info.wellFormed || ExplainAtr(info).back() == "  error: " + info.error);
        if (c.size() == 2) {
            continue;
        }
        EXPECT_EQ(atr.size() - info.historicalLength - info.hasTck, info.historicalOffset);
        auto field = std::find_if(info.fields.begin(), info.fields.end(),
                                  [&](const AtrField& f) { return f.name == c[2]; });
        EXPECT_EQ(c[3], field == info.fields.end() ? "(none)" : field->meaning) << c[0];
        // A wrong TCK is found and the right one named.
        atr.back() ^= 0x01;
        AtrInfo wrong = ParseAtr(atr.data(), atr.size());
        EXPECT_EQ(info.hasTck, wrong.hasTck && wrong.wellFormed && !wrong.tckCorrect) << c[0];
        EXPECT_TRUE(!info.hasTck || (atr.back() ^ 0x01) == wrong.tckExpected) << c[0];
    }
}

// Each row: the arguments as a shell splits them (@NAME: a script below),
// the exit status, standard error's one line after "zuic: " (all of it, or
// its start and "..."), then pieces of standard output in order ("!piece":
// not there).
TEST(ZuicMain, ExitStatusesMessagesAndOutput) {
    const std::string mf = "80 E0 00 00 0A 00 02 20 26 00 00 00 00 12 34\n",
                      get = "00 84 00 00 04\n";
    std::map<std::string, std::string> paths,
        scripts = {
            {"@bad", "# a script\n00 A4 00 00 02 3F 00 = 9000\n\n00 B0 00 00 04 = 90XZ\n"},
            {"@empty", "# nothing but comments\n\n"},
            {"@mismatch", mf + "00 A4 00 00 02 12 34\n" + get},
            {"@t0", mf + "00 A4 00 00 02 3F 00 = 61XX\n"},
            {"@secret",
             "00 20 00 00 04 31 32 33 34 = XXXX\n80 5E 00 00 08 3132333435363738 = XXXX\n"
             "80 D8 00 00 03 11 22 33 = XXXX\n00 D4 00 00 01 AB = XXXX\n80 D4 00 00 = XXXX\n"},
            // No answer matches no expectation, not even XXXX.
            {"@gone", get + "00 84 00 00 04 = XXXX\n" + get},
            {"@long", ReplaceAll(std::string(1000, '.'), ".", get)},
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
        Ran r = Zuic(args);
        for (const auto& p : paths) {
            r.err = ReplaceAll(r.err, p.second, p.first);
        }
        EXPECT_EQ(c[1], std::to_string(r.status)) << r.out << r.err;
        EXPECT_TRUE(c[2].empty() ? r.err.empty() : Like("zuic: " + c[2], Split(r.err, '\n')[0]));
        EXPECT_EQ(!c[2].empty(), std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
        EXPECT_TRUE(c[1] != "2" || r.out.empty()) << r.out;
        size_t at = 0;
        for (size_t i = 3; i < c.size(); ++i) {
            bool absent = c[i][0] == '!';
            size_t found = r.out.find(c[i].substr(absent), at);
            EXPECT_EQ(absent, found == std::string::npos) << c[i] << " in\n" << r.out;
            at = absent || found == std::string::npos ? at : found + c[i].size();
        }
    }
    for (const auto& p : paths) {
        std::remove(p.second.c_str());
    }
}

namespace {

// Whether got matches want from want[w] and got[g] on, where a want line
// "..." stands for any number of lines.
bool Matches(const std::vector<std::string>& want, size_t w, const std::vector<std::string>& got,
             size_t g) {
    if (w < want.size() && want[w] == "...") {
        for (; g <= got.size(); ++g) {
            if (Matches(want, w + 1, got, g)) {
                return true;
            }
        }
        return false;
    }
    return w == want.size()
               ? g == got.size()
               : g < got.size() && want[w] == got[g] && Matches(want, w + 1, got, g + 1);
}

// Without timings, the answer after a GET CHALLENGE (00 84) line, which a
// card makes up, and blank lines at the end.
std::vector<std::string> Masked(std::vector<std::string> lines) {
    bool afterChallenge = false;
    for (std::string& line : lines) {
        line = std::regex_replace(line, std::regex("\\([0-9]+\\.[0-9]+ s\\)"), "(T s)");
        line = afterChallenge ? line.substr(0, line.find("< ")) : line;
        afterChallenge = std::regex_search(line, std::regex(">>? 00 84 00 00 "));
    }
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    return lines;
}

// Runs the examples in text: "$ zuic ARGS" and the lines under it, standard
// output and error as they come ("| head -N" or "| tail -N": the first or
// last of them); "$ cat FILE" gives FILE's lines, which later examples name;
// "$ echo $?" the exit status before. Returns how many zuic ran.
int CheckExamples(const std::vector<std::string>& text, const std::string& where) {
    std::map<std::string, std::string> files;
    int status = -1, ran = 0;
    for (auto line = text.begin(); line != text.end(); ++line) {
        if (line->compare(0, 2, "$ ") != 0) {
            continue;
        }
        const std::string command = line->substr(2);
        SCOPED_TRACE(where + ": $ " + command);
        std::vector<std::string> words = Words(command), shown;
        while (line + 1 != text.end() && (line + 1)->compare(0, 2, "$ ") != 0) {
            shown.push_back(*++line);
        }
        for (std::string& w : words) {
            w = files.count(w) != 0 ? files[w] : w;
        }
        if (words[0] == "cat") {
            files[words[1]] = testing::TempDir() + "zuic_cli_test_" + words[1];
            std::ofstream file(files[words[1]]);
            for (const std::string& s : shown) {
                file << s << "\n";
            }
        } else if (command == "echo $?") {
            EXPECT_EQ(std::vector<std::string>{std::to_string(status)}, Masked(shown));
        } else {
            EXPECT_TRUE(words[0] == "zuic" || words[0] == "./build/tools/zuic");
            std::vector<std::string> want = Masked(shown);
            if (words.size() > 3 && words[words.size() - 3] == "|") {
                want.insert(words[words.size() - 2] == "head" ? want.end() : want.begin(), "...");
                words.resize(words.size() - 3);
            }
            Ran r = Zuic(std::vector<std::string>(words.begin() + 1, words.end()), true);
            status = r.status;
            ++ran;
            for (const auto& file : files) {
                r.out = ReplaceAll(r.out, file.second, file.first);
            }
            EXPECT_TRUE(Matches(want, 0, Masked(Split(r.out, '\n')), 0)) << "printed:\n" << r.out;
        }
    }
    for (const auto& file : files) {
        std::remove(file.second.c_str());
    }
    return ran;
}

} // namespace

// sim --vpcd serves until interrupted: .ci/package runs its example.
TEST(ZuicExamples, EveryHelpAndReadmeExamplePrintsWhatItShows) {
    int ran = 0;
    for (const CommandSpec* command : AllCommands()) {
        Ran help = Zuic({command->name, "--help"});
        EXPECT_EQ(0, help.status);
        EXPECT_EQ(0u, help.out.find("usage: zuic " + command->synopsis + "\n")) << help.out;
        std::vector<std::string> text;
        for (const std::string& line : Split(command->details, '\n')) {
            text.push_back(line.compare(0, 2, "  ") == 0 ? line.substr(2) : line);
        }
        ran +=
            command->name == "sim" ? 0 : CheckExamples(text, "zuic " + command->name + " --help");
    }
    EXPECT_GE(ran, 8);
    std::vector<std::string> block;
    bool inConsole = false;
    ran = 0;
    for (const std::string& line : Split(ReadFile("README.md"), '\n')) {
        if (line == "```console" || (inConsole && line == "```")) {
            ran += inConsole ? CheckExamples(block, "README") : 0;
            inConsole = !inConsole;
            block.clear();
        } else if (inConsole) {
            block.push_back(line);
        }
    }
    EXPECT_GE(ran, 10);
}
