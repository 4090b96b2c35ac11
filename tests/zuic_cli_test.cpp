// zuic in process against its built-in simulated readers: the parsing tables
// (APDU text, script lines, status words, reader names, ATRs), the exit
// statuses and one-line messages that scripts rely on, and every example that
// zuic's help and README show. The program's main() only registers the
// built-in readers and calls Main; .ci/e2e and .ci/package run the program.
#include "common/HexText.h"
#include "common/StatusWords.h"
#include "ZUICSIM.h"
#include "tools/AtrParser.h"
#include "tools/BuiltInReaders.h"
#include "tools/Cli.h"
#include "tools/Commands.h"
#include "tools/ReaderSelection.h"
#include "tools/Script.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace zuic;

namespace {

struct Ran {
    int status;
    std::string out, err;
};

// zuic ARGS; with merged, standard error goes where standard output goes, in
// order. No PC/SC service is reachable: the readers are the built-in ones
// whatever pcscd this machine runs.
Ran Zuic(const std::vector<std::string>& args, bool merged = false) {
    static const bool once =
        (setenv("PCSCLITE_CSOCK_NAME", "/nonexistent/pcscd.comm", 1), RegisterBuiltInReaders(), 1);
    (void)once;
    ZUSimResetAll(); // each zuic process starts with blank simulated cards
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

std::string Repeat(const std::string& unit, int n) {
    return n == 0 ? "" : unit + Repeat(unit, n - 1);
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// What a table row expects: the result, or "!" and the start of the error.
std::string Got(bool ok, const std::string& error, const std::string& result,
                const std::string& want) {
    return ok ? result : "!" + error.substr(0, want.size() - 1);
}

} // namespace

TEST(ZuicParsing, ApduTextAndScriptLinesReadOrRefusedWithWhy) {
    const std::string max = "00 D6 00 00 FF" + Repeat(" 5A", 255);
    // The case, then the bytes handed to the reader: a bare header gains P3 00
    // and a full case 4 leaves its Le at home, the reader taking 260 at most.
    const std::pair<std::string, std::string> apdus[] = {
        {"\t00:e2  0000 ", "1 00 E2 00 00 00"},
        {"00 B0 00 00 08", "2 00 B0 00 00 08"},
        {"00A4000002 3F00", "3 00 A4 00 00 02 3F 00"},
        {"00 A4 04 00 02 3F 00 00", "4 00 A4 04 00 02 3F 00 00"},
        {max, "3 " + max},
        {max + " 00", "4 " + max},
        {"0 A4 00 00", "!malformed hex: '0' has an odd number of hex digits"},
        {"00 A4 00\x01", "!malformed hex: '\\x01' is not a hex digit"},
        {"0x00 A4 00 00", "!malformed hex: 'x' is not a hex digit"},
        {" : ", "!malformed hex: no hex digits"},
        {"00 A4 00", "!APDU too short: 3 bytes (an APDU has 4 to 261 bytes)"},
        {"00 A4 00 00 02 3F", "!Lc 02 announces 2 data bytes but 1 byte follows the header"},
        {"00 A4 00 00 02 3F 00 00 00", "!Lc 02 announces 2 data bytes but 4 bytes follow"},
        {"00 D6 00 00 00 11", "!Lc is 00 but 1 byte follows the header"},
        {max + " 00 00", "!APDU too long: 262 bytes (an APDU has 4 to 261 bytes)"},
    };
    for (const auto& c : apdus) {
        Apdu apdu;
        std::string error, wire;
        bool ok = Apdu::Parse(c.first, apdu, error);
        wire = std::to_string(apdu.GetCase()) + " " + FormatHex(apdu.Wire());
        EXPECT_EQ(c.second, Got(ok, error, wire, c.second)) << c.first.substr(0, 20);
    }
    // The command and its expectation; "" for a line without a command.
    const std::pair<std::string, std::string> lines[] = {
        {"   \t\r", ""},
        {"   # = 9000", ""},
        {"00A4000002 3F00\r", "00 A4 00 00 02 3F 00"},
        {"00 B0 00 00 08=61XX # read", "00 B0 00 00 08 = 61 XX"},
        {"00 20 00 00 02 31 32 = 63 cx", "00 20 00 00 02 31 32 = 63 CX"},
        {"00 A4 00 00 = 6X:82", "00 A4 00 00 = 6X 82"},
        {"= 9000", "!expected status word without an APDU"},
        {"00 A4 00 00 =", "!'=' without an expected status word"},
        {"00 A4 00 00 = 90 = 00", "!more than one '='"},
        {"00 A4 00 00 = 9G00", "!expected status word '9G00': 'G' is neither a hex digit nor X"},
        {"00 A4 00 00 = 900", "!expected status word '900' must have 4 digits (hex or X"},
        {"00 A4 00 00 02 3F 00 9000", "!Lc 02 announces 2"},
    };
    for (const auto& c : lines) {
        ScriptLine line;
        bool isCommand = false;
        std::string error;
        bool ok = ParseScriptLine(c.first, line, isCommand, error);
        std::string got = !isCommand ? "" : FormatHex(line.apdu.Raw());
        got += line.hasExpectation ? " = " + line.expected.ToString() : "";
        EXPECT_EQ(c.second, Got(ok, error, got, c.second)) << c.first;
    }
}

TEST(ZuicParsing, StatusWordPatternsAndMeanings) {
    // Pattern, the status words it matches, those it does not.
    const std::vector<std::string> patterns[] = {
        {"9000", "9000", "9001 6A82 0000"}, {"61XX", "6100 61FF", "6200 9000"},
        {"63CX", "63C0 63CF", "63D0 6300"}, {"6X82", "6A82 6982", "6A83 7A82"},
        {"XXXX", "0000 FFFF", ""},
    };
    for (const std::vector<std::string>& c : patterns) {
        StatusWordPattern pattern;
        std::string error;
        ASSERT_TRUE(StatusWordPattern::Parse(c[0], pattern, error)) << error;
        for (int matches = 0; matches < 2; ++matches) {
            Bytes sw;
            ParseHex(c[2 - matches] + " 00 00", sw, error);
            for (size_t i = 0; i + 2 < sw.size(); i += 2) {
                EXPECT_EQ(matches, pattern.Matches(sw[i] << 8 | sw[i + 1])) << c[0] << " " << i;
            }
        }
    }
    // Single codes before ranges before whole SW1 groups, counts filled in.
    const std::pair<unsigned short, const char*> meanings[] = {
        {0x63C0, "counter 0: verification failed, 0 tries left"},
        {0x6100, "256 more bytes available (GET RESPONSE)"},
        {0x6C08, "wrong Le field: 8 data bytes available"},
        {0x6281, "warning: part of the returned data may be corrupted"},
        {0x6290, "warning (memory unchanged)"},
        {0x6A99, "wrong parameters P1-P2"},
        {0x9001, "proprietary status"},
        {0x0000, "no answer"},
        {0xA000, "unknown status word"},
    };
    for (const auto& c : meanings) {
        EXPECT_EQ(c.second, DescribeStatusWord(c.first)) << FormatStatusWord(c.first);
    }
}

// A number is an index in the PC/SC list, a name a built-in reader (options
// after a colon) or a PC/SC reader, whole, then a part; with none, the first
// PC/SC reader, then the first built-in one.
TEST(ZuicParsing, ReaderChoice) {
    KnownReaders known, builtInOnly, none;
    known.pcsc = {"ACS ACR38U 00 00", "Virtual PCD 00 00", "Virtual PCD 00 01"};
    known.builtIn = builtInOnly.builtIn = {{"sim", ""}, {"simsam", ""}};
    const std::vector<std::string> cases[] = {
        {"-", "ACS ACR38U 00 00 #0"},
        {"simsam", "simsam"},
        {"sim:t0,remove=3", "sim:t0,remove=3"},
        {"PCD", "Virtual PCD 00 00 #1"},
        {"2", "Virtual PCD 00 01 #2"},
        {"-", "sim", ""},
        {"-", "!no reader found", "", ""},
        {"simsa:t0", "!unknown reader 'simsa:t0'"},
        {"3", "!no PC/SC reader 3 (the PC/SC readers are numbered from 0; there are 3)"},
        {"12345", "!unknown reader '12345'; known readers: 'sim', 'simsam', 'ACS ACR38U 00 00', "
                  "'Virtual PCD 00 00', 'Virtual PCD 00 01'"},
    };
    for (const std::vector<std::string>& c : cases) {
        ReaderChoice choice;
        std::string error;
        const KnownReaders& from = c.size() == 2 ? known : c.size() == 3 ? builtInOnly : none;
        bool ok = ChooseReader(c[0] == "-" ? nullptr : &c[0], from, choice, error);
        std::string got = choice.name;
        got += choice.builtIn ? "" : " #" + std::to_string(choice.pcscIndex);
        EXPECT_EQ(c[1], Got(ok, error, got, c[1])) << c[0];
    }
}

// Published ATRs: protocols, Fi/Di, N, IFSC, BWI, CWI, K and a sound TCK,
// then one field's meaning; a broken one says where it stops making sense.
TEST(ZuicParsing, AtrsTakenApart) {
    const std::vector<std::string> cases[] = {
        {"3B 8A 01 5A 55 53 49 4D 2D 43 41 52 44 EA", "T=1 372/1 N0 IFSC32 BWI4 CWI13 K10 TCK",
         "historical bytes (10)", "proprietary, \"ZUSIM-CARD\""},
        {"3B 98 13 40 0A A5 03 01 01 01 AD 13 11", "T=0 372/4 N0 IFSC32 BWI4 CWI13 K8", "TC2",
         "work waiting integer WI=10: waiting time 960 x 10 x Fi clock cycles"},
        {"3B FE 94 00 FF 80 B1 FA 45 1F 03 45 73 74 45 49 44 20 76 65 72 20 31 2E 30 43",
         "T=0 T=1 512/8 N255 IFSC250 BWI4 CWI5 K14 TCK", "TA4",
         "clock stop not supported; classes A (5 V), B (3 V)"},
        {"3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A",
         "T=0 T=1 372/1 N0 IFSC32 BWI4 CWI13 K15 TCK", "historical bytes (15)",
         "category 80: COMPACT-TLV data objects"},
        {"3B FD 13 00 00 81 31 FE 15 80 73 C0 21 C0 57 59 75 62 69 4B 65 79 40",
         "T=1 T=1 372/4 N0 IFSC254 BWI1 CWI5 K13 TCK", "TA1",
         "Fi=372, Di=4: 93 clock cycles a bit; clock up to 5 MHz, 53763 bit/s at 5 MHz"},
        {"3B 9F 96 81 B1 FE 45 1F 07 00 64 05 1E B2 00 31 B0 73 96 21 DB 05 90 00 5C",
         "T=1 T=1 512/32 N0 IFSC254 BWI4 CWI5 K15 TCK", "TB3",
         "BWI=4: block waiting time 11 etu + 16 x 960 x 372 clock cycles; CWI=5: character "
         "waiting time 43 etu"},
        {"3B 01 8F", "T=0 372/1 N0 IFSC32 BWI4 CWI13 K1", "historical bytes (1)",
         "category 8F: reserved for future use"},
        {"3B 90 11 10 81", "T=0 372/1 N0 IFSC32 BWI4 CWI13 K0", "TA2",
         "specific mode, T=1; mode cannot change; parameters as TA1 gives them"},
        {"3F 40 02", "T=0 372/1 N2 IFSC32 BWI4 CWI13 K0 inverse", "TC1",
         "extra guard time N=2 etu"},
        {"", "!empty: the card gave no answer to reset"},
        {"3C 00",
         "!TS 3C is neither 3B (direct convention) nor 3F (inverse convention): not an ATR"},
        {"3B", "!the ATR ends after TS: T0 is missing"},
        {"3B F0 11 00", "!the ATR ends after 4 bytes: TC1, announced by T0, is missing"},
        {"3B 80 81", "!the ATR ends after 3 bytes: TD2, announced by TD1, is missing"},
        {"3B 84 01 41 42",
         "!the ATR ends after 5 bytes: T0 announces 4 historical bytes, 2 follow"},
        {"3B 81 01 41",
         "!the ATR ends after 4 bytes: TCK is missing (a protocol other than T=0 is offered)"},
        {"3B 01 41 00 00",
         "!2 bytes after the end of the ATR (the historical bytes ended it at 3 bytes)"},
        {"3B 81 01 41 C1 FF", "!1 byte after the end of the ATR (TCK ended it at 5 bytes)"},
        // 33 bytes at most: this chain of TDs runs on to 35.
        {"3B 8F" + Repeat(" 81", 16) + " 01" + Repeat(" 00", 15) + " 0F",
         "!the ATR has 35 bytes, more than the 33 an ATR may have"},
    };
    for (const std::vector<std::string>& c : cases) {
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
        EXPECT_EQ(c[1], Got(info.wellFormed, info.error, got.str(), "!" + info.error)) << c[0];
        std::vector<std::string> lines = ExplainAtr(info);
        EXPECT_EQ(info.fields.size() + !info.wellFormed, lines.size());
        EXPECT_TRUE(info.wellFormed || lines.back() == "  error: " + info.error);
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

// Exit status 0 done, 1 refused or not as expected, 2 bad input (found before
// any reader is opened), 3 no such reader, no card or no answer. Each row:
// the arguments separated by '|', the status, standard error's one line
// after "zuic: " ("..." at its end: what it begins with), and pieces of
// standard output in order ("!piece": not there).
TEST(ZuicMain, ExitStatusesAndOneLineMessages) {
    const std::string mf = "80 E0 00 00 0A 00 02 20 26 00 00 00 00 12 34\n";
    std::map<std::string, std::string> paths,
        scripts = {
            {"@bad", "# a script\n00 A4 00 00 02 3F 00 = 9000\n\n00 B0 00 00 04 = 90XZ\n"},
            {"@empty", "# nothing but comments\n\n"},
            {"@mismatch", mf + "00 A4 00 00 02 12 34\n00 84 00 00 04\n"},
            {"@t0", mf + "00 A4 00 00 02 3F 00 = 61XX\n"},
            // VERIFY, CHANGE PIN and key commands by their class byte carry secrets.
            {"@secret",
             "00 20 00 00 04 31 32 33 34 = XXXX\n80 5E 00 00 08 3132333435363738 = XXXX\n"
             "80 D8 00 00 03 11 22 33 = XXXX\n00 D4 00 00 01 AB = XXXX\n80 D4 00 00 = XXXX\n"},
            // No answer matches no expectation, not even XXXX.
            {"@gone", "00 84 00 00 04\n00 84 00 00 04 = XXXX\n00 84 00 00 04\n"},
            {"@long", Repeat("00 84 00 00 04\n", 1000)},
        };
    for (const auto& s : scripts) {
        paths[s.first] = testing::TempDir() + "zuic_cli_test_" + s.first.substr(1) + ".apdu";
        std::ofstream(paths[s.first]) << s.second;
    }
    const std::vector<std::string> cases[] = {
        {"", "2", "no command given; commands: readers, atr, watch, send, run..."},
        {"fr\x1b[2Job", "2", "unknown command 'fr\\x1B[2Job'; commands: ..."},
        {"--frob|atr", "2", "unknown option '--frob' (see zuic atr --help)"},
        {"atr|--reader", "2", "option --reader needs a value (R) (see zuic atr --help)"},
        {"--reader|a|--reader=b|send", "2", "option --reader given more than once..."},
        {"--trace=1|readers", "2", "option --trace takes no value (see zuic readers --help)"},
        {"readers|--reader|sim", "2", "option --reader does not apply to readers..."},
        {"demo|extra", "2", "demo takes no arguments (got 'extra')"},
        {"atr|--reader|sim|3B00", "2", "atr takes either --reader or an ATR in hex, not both"},
        {"atr|" + std::string(130, 'F'), "2", "ATR of 65 bytes: an ATR has at most 33"},
        {"send|00D60000FF" + Repeat("00", 257), "2",
         "APDU 1 ('00D60000FF" + Repeat("00", 15) + "...'): APDU too long: 262 bytes..."},
        {"send|--reader|nosuch|00A4000000|00 A4 0", "2",
         "APDU 2 ('00 A4 0'): malformed hex: '0' has an odd number of hex digits"},
        {"send|00|A4|00|00", "2",
         "APDU 1 ('00'): APDU too short: 1 byte (an APDU has 4 to 261 bytes) (write each APDU as "
         "one argument: quote it when it has spaces)"},
        {"send|00 20 00 00 05 31 32 33 34", "2",
         "APDU 1 ('00 20 00 00 05 ** (4 bytes)'): Lc 05..."},
        {"run|a|b", "2", "run takes one script file, got 2 arguments"},
        {"run|/", "2", "cannot read script '/': it is a directory"},
        {"run|--reader|nosuch|@bad", "2",
         "@bad: line 4: expected status word '90XZ': 'Z' is neither a hex digit nor X"},
        {"run|@empty", "2", "@empty: the script has no commands"},
        {"send|--reader|no such reader|00 A4 00 00", "3",
         "unknown reader 'no such reader'; known readers: 'sim', 'simsam', 'simsb', 'simsbsam'"},
        {"run|--reader|9999|@t0", "3",
         "no PC/SC reader 9999 (the PC/SC readers are numbered from 0; there are 0)"},
        {"demo|--reader|sim:nosuchoption", "3", "cannot open reader 'sim:nosuchoption'"},
        {"atr|--reader|sim:remove=0", "3", "no card in reader 'sim:remove=0'"},
        {"run|--reader|sim:remove=1|@gone", "3",
         "line 2: expected XX XX, got no answer from the card",
         "no answer from the card (the exchange failed)  [expected XX XX: mismatch]\n",
         "3 commands, 2 run, 1 as expected, mismatch at line 2, 1 not run"},
        {"send|--reader|sim|00 84 00 00 04|00 A4 00 00 02 3F 00|00 84 00 00 04", "1",
         "APDU 2 refused by the card: 6A 82 file not found; 1 APDU not sent", "> 00 84 00 00 04\n<",
         "> 00 A4 00 00 02 3F 00\n  SW 6A 82 file not found\n"},
        {"run|--reader|sim|@mismatch", "1",
         "line 2: expected 90 00 (success), got 6A 82 (file not found)",
         "line 2 > 00 A4 00 00 02 12 34\n  SW 6A 82 file not found\n",
         "summary: 3 commands, 2 run, 1 as expected, mismatch at line 2, 1 not run ("},
        // Beyond 300 commands a script prints progress, and a mismatch whole.
        {"run|--reader|sim:refuse=500|@long", "1",
         "line 500: expected 90 00 (success), got 6F 00...", "!line 499 >", "progress: 400 of 1000",
         "line 500 > 00 84 00 00 04\n  SW 6F 00",
         "1000 commands, 500 run, 499 as expected, mismatch at line 500, 500 not run"},
        {"run|--reader|sim|@long", "0", "", "!line 1 >", "progress: 100 of 1000 commands (10%)\n",
         "(90%)\n", "!(100%)", "summary: 1000 commands, 1000 run, 1000 as expected ("},
        // With T=0 answering, data come by GET RESPONSE, which --trace shows.
        {"--trace|run|--reader|sim:t0|@t0", "0", "",
         "  trace >> 00 A4 00 00 02 3F 00\n  trace << 61 18\n  trace >> 00 C0 00 00 18\n",
         "  SW 90 00 success  [expected 61 XX: first answer 61 18]\n"},
        {"demo|--reader|sim:t0|--sam|simsam:t0", "0", "", "          >> 00 C0 00 00 ", "\nall ",
         "  ok\n"},
        {"--trace|run|--reader|sim|@secret", "0", "", "!31 32", "!11 22",
         "line 1 > 00 20 00 00 04 ** (4 bytes)\n  trace >> 00 20 00 00 04 ** (4 bytes)\n",
         "line 2 > 80 5E 00 00 08 ** (8 bytes)\n  trace >> 80 5E 00 00 08 ** (8 bytes)\n",
         "> 80 D8 00 00 03 ** (3 bytes)\n", "> 00 D4 00 00 01 AB\n", "> 80 D4 00 00 00\n"},
        {"--show-secrets|demo", "0", "", "          >> 80 D4 00 00 07 00 08 03 31 32 33 34\n"},
    };
    for (const std::vector<std::string>& c : cases) {
        std::vector<std::string> args = Split(c[0], '|');
        for (std::string& arg : args) {
            arg = paths.count(arg) != 0 ? paths[arg] : arg;
        }
        SCOPED_TRACE(c[0].substr(0, 60));
        Ran r = Zuic(args);
        EXPECT_EQ(c[1], std::to_string(r.status)) << r.out << r.err;
        for (const auto& p : paths) {
            r.err = ReplaceAll(r.err, p.second, p.first);
        }
        std::string want = c[2].empty() ? "" : "zuic: " + c[2] + "\n";
        size_t dots = want.find("...\n");
        EXPECT_EQ(want.substr(0, dots), r.err.substr(0, dots));
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

// Every command has help three ways, naming all its options, and the man
// page has a section for it and every option that the helps list.
TEST(ZuicMain, HelpAndManPageForEveryCommandAndOption) {
    const std::string man = ReadFile("tools/zuic.1");
    std::string helps = Zuic({"--help"}).out;
    EXPECT_EQ(0u, helps.find("usage: zuic [--trace] [--show-secrets] COMMAND [options]"));
    for (const CommandSpec* command : AllCommands()) {
        const std::string& name = command->name;
        EXPECT_NE(std::string::npos, helps.find("\n  " + name + " "));
        EXPECT_TRUE(man.find("\n.SS " + name + "\n") != std::string::npos ||
                    man.find("\n.SS \"" + name + " ") != std::string::npos)
            << name;
        // --help wins over anything else on the line.
        for (const std::string& args : {name + "|--help|zz", "-h|" + name, "help|" + name}) {
            Ran r = Zuic(Split(args, '|'));
            EXPECT_EQ("0", std::to_string(r.status) + r.err) << args;
            EXPECT_EQ(0u, r.out.find("usage: zuic " + command->synopsis + "\n")) << args;
            for (const OptionSpec& option : command->options) {
                EXPECT_NE(std::string::npos, r.out.find("  --" + option.name + " ")) << args;
            }
            helps += r.out;
        }
    }
    for (const std::string& line : Split(helps, '\n')) {
        if (line.compare(0, 4, "  --") == 0) {
            std::string name =
                ReplaceAll(line.substr(4, line.find_first_of(" ,", 4) - 4), "-", "\\\\-");
            EXPECT_TRUE(std::regex_search(man, std::regex("\\.B[IR]? \\\\-\\\\-" + name + "[ \n]")))
                << line << " is not in the man page";
        }
    }
}

namespace {

// Whether got matches want from want[w] and got[g] on, where a want line
// "..." stands for any number of lines.
bool Matches(const std::vector<std::string>& want, size_t w, const std::vector<std::string>& got,
             size_t g) {
    if (w == want.size() || want[w] != "...") {
        return w == want.size()
                   ? g == got.size()
                   : g < got.size() && want[w] == got[g] && Matches(want, w + 1, got, g + 1);
    }
    for (; g <= got.size(); ++g) {
        if (Matches(want, w + 1, got, g)) {
            return true;
        }
    }
    return false;
}

// Timings, and the answer after a GET CHALLENGE (00 84) line, which a card
// makes up.
std::vector<std::string> Masked(std::vector<std::string> lines) {
    bool afterChallenge = false;
    for (std::string& line : lines) {
        line = std::regex_replace(line, std::regex("\\([0-9]+\\.[0-9]+ s\\)"), "(T s)");
        size_t answer = line.find("< ");
        line = afterChallenge && answer != std::string::npos ? line.substr(0, answer) : line;
        afterChallenge = std::regex_search(line, std::regex(">>? 00 84 00 00 "));
    }
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    return lines;
}

// Runs the examples in text: "$ zuic ARGS" (quotes group words; "| head -N"
// or "| tail -N" keeps that many lines) and the lines under it, standard
// output and error as they come; "$ cat FILE" gives FILE's lines, which later
// examples name; "$ echo $?" the exit status before. Returns how many ran.
int CheckExamples(const std::vector<std::string>& text, const std::string& where) {
    std::vector<std::pair<std::string, std::vector<std::string>>> examples;
    for (const std::string& line : text) {
        if (line.compare(0, 2, "$ ") == 0) {
            examples.push_back({line.substr(2), {}});
        } else if (!examples.empty()) {
            examples.back().second.push_back(line);
        }
    }
    std::map<std::string, std::string> files;
    int status = -1, ran = 0;
    const std::regex word("'([^']*)'|([^ ]+)");
    for (auto& [command, shown] : examples) {
        SCOPED_TRACE(where + ": $ " + command);
        std::vector<std::string> words;
        for (std::sregex_iterator m(command.begin(), command.end(), word), end; m != end; ++m) {
            words.push_back((*m)[1].matched ? (*m)[1] : (*m)[2]);
            words.back() = files.count(words.back()) != 0 ? files[words.back()] : words.back();
        }
        if (words[0] == "cat") {
            files[words[1]] = testing::TempDir() + "zuic_cli_test_" + words[1];
            std::ofstream file(files[words[1]]);
            for (const std::string& line : shown) {
                file << line << "\n";
            }
        } else if (command == "echo $?") {
            EXPECT_EQ(std::vector<std::string>{std::to_string(status)}, Masked(shown));
        } else {
            EXPECT_TRUE(words[0] == "zuic" || words[0] == "./build/tools/zuic");
            size_t keep = words.size() > 3 && words[words.size() - 3] == "|"
                              ? std::atoi(words.back().c_str() + 1)
                              : 0;
            bool head = keep > 0 && words[words.size() - 2] == "head";
            Ran r = Zuic(std::vector<std::string>(words.begin() + 1, words.end() - (keep ? 3 : 0)),
                         true);
            status = r.status;
            ++ran;
            for (const auto& file : files) {
                r.out = ReplaceAll(r.out, file.second, file.first);
            }
            std::vector<std::string> got = Split(r.out, '\n');
            if (keep > 0 && got.size() > keep) {
                got.erase(head ? got.begin() + keep : got.begin(),
                          head ? got.end() : got.end() - keep);
            }
            EXPECT_TRUE(Matches(Masked(shown), 0, Masked(got), 0)) << "printed:\n" << r.out;
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
