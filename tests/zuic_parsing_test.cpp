// zuic's parsing pieces: hex, APDU shape, status words and their patterns,
// script lines, command-line options and the choice of reader.
#include "tools/Apdu.h"
#include "tools/ArgParser.h"
#include "common/HexText.h"
#include "tools/Output.h"
#include "tools/ReaderSelection.h"
#include "tools/Script.h"
#include "tools/StatusWordPattern.h"
#include "common/StatusWords.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace zuic;

namespace {

// The five-byte header then 5A bytes up to `total` bytes in all.
std::string HexOf(const std::string& header, size_t total) {
    std::string text = header;
    for (size_t i = 5; i < total; ++i) {
        text += " 5A";
    }
    return text;
}

std::string Joined(const std::vector<std::string>& args) {
    std::string joined;
    for (const std::string& a : args) {
        joined += a + " ";
    }
    return joined;
}

} // namespace

TEST(ZuicHex, ParsesGroupsAndRefusesWhatItCannotRead) {
    struct Case {
        const char* text;
        const char* bytes; // FormatHex of the result, or null when refused
        const char* error; // part of the error
    } cases[] = {
        {"00 A4 04 00", "00 A4 04 00", nullptr},
        {"00A40400", "00 A4 04 00", nullptr},
        {"00:a4:04:00", "00 A4 04 00", nullptr},
        {"\t00a4  0400 ", "00 A4 04 00", nullptr},
        {"0 A4", nullptr, "'0' has an odd number of hex digits"},
        {"00 A40", nullptr, "'A40' has an odd number"},
        {"00 G4", nullptr, "'G' is not a hex digit"},
        {"00\x01", nullptr, "'\\x01' is not a hex digit"},
        {"0x00", nullptr, "'x' is not a hex digit"},
        {"", nullptr, "no hex digits"},
        {" : ", nullptr, "no hex digits"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Bytes bytes = {0x99};
        std::string error;
        bool ok = ParseHex(c.text, bytes, error);
        if (c.bytes != nullptr) {
            ASSERT_TRUE(ok) << error;
            EXPECT_EQ(c.bytes, FormatHex(bytes));
        } else {
            EXPECT_FALSE(ok);
            EXPECT_TRUE(bytes.empty());
            EXPECT_NE(std::string::npos, error.find(c.error)) << error;
        }
    }
    EXPECT_EQ("", FormatHex(nullptr, 0));
}

TEST(ZuicApdu, ChecksLengthAndLcAndBuildsTheCommandTheReaderTakes) {
    struct Case {
        std::string text;
        int apduCase;      // 0: refused
        size_t wireLength; // bytes handed to the reader
        const char* error;
    } cases[] = {
        {"00 A4 00", 0, 0, "APDU too short: 3 bytes (an APDU has 4 to 261 bytes)"},
        {"00", 0, 0, "APDU too short: 1 byte "},
        {"00 A4 0G 00", 0, 0, "malformed hex: 'G' is not a hex digit"},
        {"00 E2 00 00", 1, 5, nullptr},
        {"00 B0 00 00 08", 2, 5, nullptr},
        {"00 A4 00 00 02 3F 00", 3, 7, nullptr},
        {"00 A4 04 00 02 3F 00 00", 4, 8, nullptr},
        {"00 A4 00 00 02 3F", 0, 0, "Lc 02 announces 2 data bytes but 1 byte follows the header"},
        {"00 A4 00 00 02 3F 00 00 00", 0, 0, "Lc 02 announces 2 data bytes but 4 bytes follow"},
        {"00 D6 00 00 00 11", 0, 0, "Lc is 00 but 1 byte follows the header"},
        {HexOf("00 D6 00 00 FF", 260), 3, 260, nullptr},
        // The full case 4: the reader takes at most 260 bytes, so Le stays home.
        {HexOf("00 D6 00 00 FF", 261), 4, 260, nullptr},
        {HexOf("00 D6 00 00 FE", 260), 4, 260, nullptr},
        {HexOf("00 D6 00 00 FF", 262), 0, 0,
         "APDU too long: 262 bytes (an APDU has 4 to 261 bytes)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        Apdu apdu;
        std::string error;
        bool ok = Apdu::Parse(c.text, apdu, error);
        if (c.apduCase == 0) {
            EXPECT_FALSE(ok);
            EXPECT_NE(std::string::npos, error.find(c.error)) << error;
            continue;
        }
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(c.apduCase, apdu.GetCase());
        // The wire form is the APDU as given, completed with P3 = 00 for a
        // bare header or cut to the reader's limit.
        Bytes wire = apdu.Raw();
        wire.resize(c.wireLength, 0x00);
        EXPECT_EQ(FormatHex(wire), FormatHex(apdu.Wire()));
    }
}

// Single codes before ranges before whole SW1 groups; the counts of 63 CX,
// 61 XX and 6C XX filled in.
TEST(ZuicStatusWords, GivesTheIsoMeaning) {
    struct Case {
        unsigned short sw;
        const char* meaning;
    } cases[] = {
        {0x9000, "success"},
        {0x6A82, "file not found"},
        {0x63C0, "counter 0: verification failed, 0 tries left"},
        {0x63CF, "counter 15: verification failed, 15 tries left"},
        {0x6110, "16 more bytes available (GET RESPONSE)"},
        {0x6100, "256 more bytes available (GET RESPONSE)"},
        {0x6C08, "wrong Le field: 8 data bytes available"},
        {0x6C00, "wrong Le field: 256 data bytes available"},
        {0x6202, "warning: triggering by the card"},
        {0x6280, "warning: triggering by the card"},
        {0x6281, "warning: part of the returned data may be corrupted"},
        {0x6290, "warning (memory unchanged)"},
        {0x6450, "execution error: triggering by the card"},
        {0x6A99, "wrong parameters P1-P2"},
        {0x6B00, "wrong parameters P1-P2 (offset outside the file)"},
        {0x9001, "proprietary status"},
        {0x0000, "no answer"},
        {0x6000, "unknown status word"},
        {0xA000, "unknown status word"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.meaning, DescribeStatusWord(c.sw)) << FormatStatusWord(c.sw);
    }
    EXPECT_EQ("6A 82", FormatStatusWord(0x6A82));
    EXPECT_EQ("00 00", FormatStatusWord(0));
}

TEST(ZuicStatusWordPattern, MatchesDigitsAndX) {
    struct Case {
        const char* text;
        const char* shown; // null: refused
        std::vector<unsigned short> match;
        std::vector<unsigned short> noMatch;
    } cases[] = {
        {"9000", "90 00", {0x9000}, {0x9001, 0x6A82, 0x0000}},
        {"90 00", "90 00", {0x9000}, {0x9100}},
        {"6a:82", "6A 82", {0x6A82}, {0x6A83}},
        {"61XX", "61 XX", {0x6100, 0x6110, 0x61FF}, {0x6200, 0x9000}},
        {"63cx", "63 CX", {0x63C0, 0x63C5, 0x63CF}, {0x63D0, 0x6300}},
        {"XXXX", "XX XX", {0x0000, 0x9000, 0xFFFF}, {}},
        {"6X82", "6X 82", {0x6A82, 0x6982}, {0x6A83}},
        {"90", nullptr, {}, {}},
        {"90000", nullptr, {}, {}},
        {"9G00", nullptr, {}, {}},
        {"", nullptr, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        StatusWordPattern pattern;
        std::string error;
        bool ok = StatusWordPattern::Parse(c.text, pattern, error);
        if (c.shown == nullptr) {
            EXPECT_FALSE(ok);
            EXPECT_NE(std::string::npos, error.find("expected status word")) << error;
            continue;
        }
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(c.shown, pattern.ToString());
        for (unsigned short sw : c.match) {
            EXPECT_TRUE(pattern.Matches(sw)) << FormatStatusWord(sw);
        }
        for (unsigned short sw : c.noMatch) {
            EXPECT_FALSE(pattern.Matches(sw)) << FormatStatusWord(sw);
        }
    }
    StatusWordPattern byDefault;
    EXPECT_TRUE(byDefault.Matches(0x9000));
    EXPECT_FALSE(byDefault.Matches(0x6100));
}

TEST(ZuicScript, ReadsCommandsCommentsAndExpectations) {
    struct Case {
        const char* text;
        const char* apdu;     // FormatHex of the APDU; null: no command
        const char* expected; // pattern, or null for none
        const char* error;    // null: accepted
    } cases[] = {
        {"", nullptr, nullptr, nullptr},
        {"   \t\r", nullptr, nullptr, nullptr},
        {"# select the master file", nullptr, nullptr, nullptr},
        {"   # = 9000", nullptr, nullptr, nullptr},
        {"00 A4 00 00 02 3F 00", "00 A4 00 00 02 3F 00", nullptr, nullptr},
        {"00A4000002 3F00\r", "00 A4 00 00 02 3F 00", nullptr, nullptr},
        {"00 A4 00 00 02 3F 00 = 6A82", "00 A4 00 00 02 3F 00", "6A 82", nullptr},
        {"00 B0 00 00 08=61XX # read", "00 B0 00 00 08", "61 XX", nullptr},
        {"00 20 00 00 02 31 32 = 63 CX", "00 20 00 00 02 31 32", "63 CX", nullptr},
        {"= 9000", nullptr, nullptr, "expected status word without an APDU"},
        {"00 A4 00 00 =", nullptr, nullptr, "'=' without an expected status word"},
        {"00 A4 00 00 = 90 = 00", nullptr, nullptr, "more than one '='"},
        {"00 A4 00 00 = 9G00", nullptr, nullptr, "neither a hex digit nor X"},
        {"00 A4 00 00 = 900", nullptr, nullptr, "must have 4 digits"},
        {"00 A4 0", nullptr, nullptr, "malformed hex"},
        {"00 A4 00 00 02 3F 00 9000", nullptr, nullptr, "Lc 02 announces 2"},
        {"00 A4 00", nullptr, nullptr, "APDU too short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ScriptLine line;
        line.number = 7;
        bool isCommand = true;
        std::string error;
        bool ok = ParseScriptLine(c.text, line, isCommand, error);
        ASSERT_EQ(c.error == nullptr, ok) << error;
        if (!ok) {
            EXPECT_NE(std::string::npos, error.find(c.error)) << error;
            continue;
        }
        ASSERT_EQ(c.apdu != nullptr, isCommand);
        if (!isCommand) {
            continue;
        }
        EXPECT_EQ(7, line.number);
        EXPECT_EQ(c.apdu, FormatHex(line.apdu.Raw()));
        EXPECT_EQ(c.expected != nullptr, line.hasExpectation);
        if (c.expected != nullptr) {
            EXPECT_EQ(c.expected, line.expected.ToString());
        }
    }
}

TEST(ZuicScript, NumbersLinesAsInTheFileAndStopsAtTheFirstBadOne) {
    std::istringstream good("# header\n\n00 A4 00 00 02 3F 00 = 9000\r\n# more\n00 B0 00 00 04\n");
    std::vector<ScriptLine> lines;
    std::string error;
    ASSERT_TRUE(ParseScript(good, lines, error)) << error;
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(3, lines[0].number);
    EXPECT_TRUE(lines[0].hasExpectation);
    EXPECT_EQ(5, lines[1].number);
    EXPECT_FALSE(lines[1].hasExpectation);

    // No trailing newline on the last line.
    std::istringstream last("00 B0 00 00 04");
    ASSERT_TRUE(ParseScript(last, lines, error));
    EXPECT_EQ(1u, lines.size());

    std::istringstream bad("00 A4 00 00 02 3F 00\n# ok so far\n00 B0 00 00 04\n00 B0 00 0Z 04\n"
                           "00 B0 00 00\n");
    lines.assign(3, ScriptLine());
    EXPECT_FALSE(ParseScript(bad, lines, error));
    EXPECT_EQ("line 4: malformed hex: 'Z' is not a hex digit", error);
    EXPECT_TRUE(lines.empty());
}

TEST(ZuicArgParser, ReadsOptionsAnywhereAndRefusesWhatItDoesNotKnow) {
    const std::vector<OptionSpec> known = {
        {"trace", "", "t"}, {"help", "", "h"}, {"reader", "R", "r"}, {"port", "P", "p"}};
    struct Case {
        std::vector<std::string> args;
        std::string reader;                   // value of --reader, "-" for absent
        std::vector<std::string> positionals; // when accepted
        std::string error;                    // part of the error; empty: accepted
    } cases[] = {
        {{"atr", "--reader", "sim"}, "sim", {"atr"}, ""},
        {{"--reader", "Virtual PCD 00 00", "atr"}, "Virtual PCD 00 00", {"atr"}, ""},
        {{"--reader=sim", "send", "00A40000"}, "sim", {"send", "00A40000"}, ""},
        {{"send", "--trace", "00A40000", "-"}, "-", {"send", "00A40000", "-"}, ""},
        {{"-h"}, "-", {}, ""},
        {{"run", "--", "--odd-name"}, "-", {"run", "--odd-name"}, ""},
        {{"--frob"}, "", {}, "unknown option '--frob'"},
        {{"-x"}, "", {}, "unknown option '-x'"},
        {{"atr", "--reader"}, "", {}, "option --reader needs a value (R)"},
        {{"atr", "--reader", "--trace"}, "", {}, "option --reader needs a value"},
        {{"atr", "--reader="}, "", {}, "option --reader needs a value"},
        {{"--reader", "a", "--reader", "b"}, "", {}, "given more than once"},
        {{"--trace=1"}, "", {}, "option --trace takes no value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.args));
        ParsedArgs parsed;
        std::string error;
        bool ok = ParseArgs(c.args, known, parsed, error);
        ASSERT_EQ(c.error.empty(), ok) << error;
        if (!ok) {
            EXPECT_NE(std::string::npos, error.find(c.error)) << error;
            continue;
        }
        const std::string* reader = parsed.Value("reader");
        EXPECT_EQ(c.reader, reader == nullptr ? "-" : *reader);
        EXPECT_EQ(c.positionals, parsed.positionals);
    }
    ParsedArgs parsed;
    std::string error;
    ASSERT_TRUE(ParseArgs({"-h", "--trace"}, known, parsed, error));
    EXPECT_TRUE(parsed.Has("help"));
    EXPECT_TRUE(parsed.Has("trace"));
    EXPECT_FALSE(parsed.Has("port"));
}

TEST(ZuicReaderSelection, ChoosesBuiltInThenExactThenPartOfAPcscName) {
    KnownReaders both;
    both.pcsc = {"ACS ACR38U 00 00", "Virtual PCD 00 00", "Virtual PCD 00 01"};
    both.builtIn = {{"sim", "simulated card"}, {"simsam", "simulated SAM"}};
    KnownReaders pcscOnly;
    pcscOnly.pcsc = both.pcsc;
    KnownReaders builtInOnly;
    builtInOnly.builtIn = both.builtIn;
    KnownReaders none;

    struct Case { // NOLINT(clang-analyzer-optin.performance.Padding): reads as a table
        const KnownReaders* known;
        const char* requested; // null: no --reader
        const char* name;      // null: refused
        int index;             // of the PC/SC reader; -1: built in
        const char* error;
    } cases[] = {
        {&both, nullptr, "ACS ACR38U 00 00", 0, nullptr},
        {&builtInOnly, nullptr, "sim", -1, nullptr},
        {&none, nullptr, nullptr, -1, "no reader found"},
        {&both, "sim", "sim", -1, nullptr},
        {&both, "simsam", "simsam", -1, nullptr},
        {&both, "Virtual PCD 00 01", "Virtual PCD 00 01", 2, nullptr},
        {&both, "PCD", "Virtual PCD 00 00", 1, nullptr},
        {&both, "00 01", "Virtual PCD 00 01", 2, nullptr},
        {&both, "sim:t0,remove=3", "sim:t0,remove=3", -1, nullptr},
        {&both, "simsam:t0", "simsam:t0", -1, nullptr},
        {&both, "simsa:t0", nullptr, -1, "unknown reader 'simsa:t0'"},
        {&both, "simsa", nullptr, -1,
         "unknown reader 'simsa'; known readers: 'sim', 'simsam', 'ACS ACR38U 00 00', "
         "'Virtual PCD 00 00', 'Virtual PCD 00 01'"},
        {&pcscOnly, "sim", nullptr, -1, "unknown reader 'sim'; known readers: 'ACS"},
        {&none, "nosuch", nullptr, -1, "unknown reader 'nosuch'; known readers: none"},
        {&both, "", nullptr, -1, "unknown reader ''"},
        // A number is the index in the PC/SC list, as zuic readers lists it.
        {&both, "2", "Virtual PCD 00 01", 2, nullptr},
        {&both, "0", "ACS ACR38U 00 00", 0, nullptr},
        {&both, "3", nullptr, -1,
         "no PC/SC reader 3 (the PC/SC readers are numbered from 0; "
         "there are 3)"},
        {&builtInOnly, "0", nullptr, -1, "no PC/SC reader 0"},
        // Five digits make a name, not an index.
        {&both, "12345", nullptr, -1, "unknown reader '12345'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested == nullptr ? "(default)" : c.requested);
        std::string requested = c.requested == nullptr ? "" : c.requested;
        ReaderChoice choice;
        std::string error;
        bool ok =
            ChooseReader(c.requested == nullptr ? nullptr : &requested, *c.known, choice, error);
        ASSERT_EQ(c.name != nullptr, ok) << error;
        if (!ok) {
            EXPECT_NE(std::string::npos, error.find(c.error)) << error;
            continue;
        }
        EXPECT_EQ(c.name, choice.name);
        EXPECT_EQ(c.index < 0, choice.builtIn);
        EXPECT_EQ(c.index, choice.pcscIndex);
    }
}

TEST(ZuicOutput, MessagesShowArgumentsEscapedAndCut) {
    struct Case {
        std::string text;
        size_t limit;
        const char* shown;
    } cases[] = {
        {"00 A4", 40, "00 A4"},
        {std::string("a\x1b[2Jb", 6), 40, "a\\x1B[2Jb"},
        {"\xff\xfe", 40, "\\xFF\\xFE"},
        {std::string(3, '\0'), 40, "\\x00\\x00\\x00"},
        {"0123456789", 4, "0123..."},
        {"0123", 4, "0123"},
        {"", 4, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.shown, Printable(c.text, c.limit));
    }
}
