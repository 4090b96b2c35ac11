// zuic's parsing pieces: hex, APDU shape, status words and their patterns,
// script lines, command-line options and the choice of reader.
#include "tools/Apdu.h"
#include "tools/ArgParser.h"
#include "tools/HexCodec.h"
#include "tools/Output.h"
#include "tools/ReaderSelection.h"
#include "tools/Script.h"
#include "tools/StatusWordPattern.h"
#include "tools/StatusWords.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace zuic;

namespace {

// "00 01 02 ..." of n bytes starting with the given header.
std::string HexOf(const std::string& header, size_t total) {
    std::string text = header;
    size_t have = (header.size() + 1) / 3;
    for (size_t i = have; i < total; ++i) {
        text += " 5A";
    }
    return text;
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
        {"00-A4", nullptr, "'-' is not a hex digit"},
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
        {HexOf("00 D6 00 00 FF", 1000), 0, 0, "APDU too long: 1000 bytes"},
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
        Bytes wire = apdu.Wire();
        ASSERT_EQ(c.wireLength, wire.size());
        // The wire form is the APDU as given, cut to the reader's limit or
        // completed with P3 = 00 for a bare header.
        Bytes given = apdu.Raw();
        for (size_t i = 0; i < wire.size() && i < given.size(); ++i) {
            EXPECT_EQ(given[i], wire[i]) << "byte " << i;
        }
        if (c.apduCase == 1) {
            EXPECT_EQ(0x00, wire[4]);
        }
    }
}

TEST(ZuicStatusWords, GivesTheIsoMeaning) {
    struct Case {
        unsigned short sw;
        const char* meaning;
    } cases[] = {
        {0x9000, "success"},
        {0x6A82, "file not found"},
        {0x6A83, "record not found"},
        {0x6982, "security status not satisfied"},
        {0x6983, "authentication method blocked"},
        {0x6700, "wrong length"},
        {0x6D00, "instruction code not supported or invalid"},
        {0x6E00, "class not supported"},
        {0x63C3, "counter 3: verification failed, 3 tries left"},
        {0x63C0, "counter 0: verification failed, 0 tries left"},
        {0x63CF, "counter 15: verification failed, 15 tries left"},
        {0x6381, "warning: file filled up by the last write"},
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
        {0x6F00, "no precise diagnosis"},
        {0x9F10, "proprietary status"},
        {0x9001, "proprietary status"},
        {0x0000, "no answer"},
        {0x1234, "unknown status word"},
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
        bool ok;
        bool isCommand;
        const char* apdu;     // FormatHex of the APDU
        const char* expected; // pattern, or null for none
        const char* error;
    } cases[] = {
        {"", true, false, nullptr, nullptr, nullptr},
        {"   \t\r", true, false, nullptr, nullptr, nullptr},
        {"# select the master file", true, false, nullptr, nullptr, nullptr},
        {"   # = 9000", true, false, nullptr, nullptr, nullptr},
        {"00 A4 00 00 02 3F 00", true, true, "00 A4 00 00 02 3F 00", nullptr, nullptr},
        {"00A4000002 3F00\r", true, true, "00 A4 00 00 02 3F 00", nullptr, nullptr},
        {"00 A4 00 00 02 3F 00 = 6A82", true, true, "00 A4 00 00 02 3F 00", "6A 82", nullptr},
        {"00 B0 00 00 08=61XX # read", true, true, "00 B0 00 00 08", "61 XX", nullptr},
        {"00 20 00 00 02 31 32 = 63 CX", true, true, "00 20 00 00 02 31 32", "63 CX", nullptr},
        {"= 9000", false, false, nullptr, nullptr, "expected status word without an APDU"},
        {"00 A4 00 00 =", false, false, nullptr, nullptr, "'=' without an expected status word"},
        {"00 A4 00 00 = 90 = 00", false, false, nullptr, nullptr, "more than one '='"},
        {"00 A4 00 00 = 9G00", false, false, nullptr, nullptr, "neither a hex digit nor X"},
        {"00 A4 00 00 = 900", false, false, nullptr, nullptr, "must have 4 digits"},
        {"00 A4 0", false, false, nullptr, nullptr, "malformed hex"},
        {"00 A4 00 00 02 3F 00 9000", false, false, nullptr, nullptr, "Lc 02 announces 2"},
        {"00 A4 00", false, false, nullptr, nullptr, "APDU too short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ScriptLine line;
        line.number = 7;
        bool isCommand = true;
        std::string error;
        bool ok = ParseScriptLine(c.text, line, isCommand, error);
        ASSERT_EQ(c.ok, ok) << error;
        if (!ok) {
            EXPECT_NE(std::string::npos, error.find(c.error)) << error;
            continue;
        }
        ASSERT_EQ(c.isCommand, isCommand);
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
        bool ok;
        std::string reader;                   // value of --reader, "-" for absent
        std::vector<std::string> positionals; // when ok
        std::string error;                    // part of the error
    } cases[] = {
        {{"atr", "--reader", "sim"}, true, "sim", {"atr"}, ""},
        {{"--reader", "Virtual PCD 00 00", "atr"}, true, "Virtual PCD 00 00", {"atr"}, ""},
        {{"--reader=sim", "send", "00A40000"}, true, "sim", {"send", "00A40000"}, ""},
        {{"send", "--trace", "00A40000", "-"}, true, "-", {"send", "00A40000", "-"}, ""},
        {{"-h"}, true, "-", {}, ""},
        {{"run", "--", "--odd-name"}, true, "-", {"run", "--odd-name"}, ""},
        {{"--frob"}, false, "", {}, "unknown option '--frob'"},
        {{"-x"}, false, "", {}, "unknown option '-x'"},
        {{"atr", "--reader"}, false, "", {}, "option --reader needs a value (R)"},
        {{"atr", "--reader", "--trace"}, false, "", {}, "option --reader needs a value"},
        {{"atr", "--reader="}, false, "", {}, "option --reader needs a value"},
        {{"--reader", "a", "--reader", "b"}, false, "", {}, "given more than once"},
        {{"--trace=1"}, false, "", {}, "option --trace takes no value"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) {
            joined += a + " ";
        }
        SCOPED_TRACE(joined);
        ParsedArgs parsed;
        std::string error;
        bool ok = ParseArgs(c.args, known, parsed, error);
        ASSERT_EQ(c.ok, ok) << error;
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
        bool ok;
        const char* name;
        bool builtIn;
        int index;
        const char* error;
    } cases[] = {
        {&both, nullptr, true, "ACS ACR38U 00 00", false, 0, nullptr},
        {&builtInOnly, nullptr, true, "sim", true, -1, nullptr},
        {&none, nullptr, false, nullptr, false, -1, "no reader found"},
        {&both, "sim", true, "sim", true, -1, nullptr},
        {&both, "simsam", true, "simsam", true, -1, nullptr},
        {&both, "Virtual PCD 00 01", true, "Virtual PCD 00 01", false, 2, nullptr},
        {&both, "PCD", true, "Virtual PCD 00 00", false, 1, nullptr},
        {&both, "00 01", true, "Virtual PCD 00 01", false, 2, nullptr},
        {&both, "sim:t0,remove=3", true, "sim:t0,remove=3", true, -1, nullptr},
        {&both, "simsam:t0", true, "simsam:t0", true, -1, nullptr},
        {&both, "simsa:t0", false, nullptr, false, -1, "unknown reader 'simsa:t0'"},
        {&both, "simsa", false, nullptr, false, -1,
         "unknown reader 'simsa'; known readers: 'sim', 'simsam', 'ACS ACR38U 00 00', "
         "'Virtual PCD 00 00', 'Virtual PCD 00 01'"},
        {&pcscOnly, "sim", false, nullptr, false, -1, "unknown reader 'sim'; known readers: 'ACS"},
        {&both, "nosuch", false, nullptr, false, -1, "unknown reader 'nosuch'; known readers:"},
        {&none, "nosuch", false, nullptr, false, -1,
         "unknown reader 'nosuch'; known readers: none"},
        {&both, "", false, nullptr, false, -1, "unknown reader ''"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested == nullptr ? "(default)" : c.requested);
        std::string requested = c.requested == nullptr ? "" : c.requested;
        ReaderChoice choice;
        std::string error;
        bool ok =
            ChooseReader(c.requested == nullptr ? nullptr : &requested, *c.known, choice, error);
        ASSERT_EQ(c.ok, ok) << error;
        if (!ok) {
            EXPECT_NE(std::string::npos, error.find(c.error)) << error;
            continue;
        }
        EXPECT_EQ(c.name, choice.name);
        EXPECT_EQ(c.builtIn, choice.builtIn);
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
