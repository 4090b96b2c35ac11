// The ATR parser against published ATRs (well-known cards and the simulated
// card) and against broken ones, and secrets hidden in what send, run and
// --trace print.
#include "tools/AtrParser.h"
#include "tools/BuiltInReaders.h"
#include "tools/Cli.h"
#include "common/HexText.h"
#include "support/Hex.h"
#include "tools/Output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace zuic;

namespace {

// The meaning shown for the field of that name, or "(none)".
std::string FieldMeaning(const AtrInfo& info, const std::string& name) {
    for (const AtrField& field : info.fields) {
        if (field.name == name) {
            return field.meaning;
        }
    }
    return "(none)";
}

} // namespace

TEST(ZuicAtrParser, ReadsPublishedAtrs) {
    struct Case {
        const char* atr;
        std::vector<int> protocols;
        int fi, di, guard, ifsc, bwi, cwi;
        size_t historical;
        bool tck;
        const char* field; // a field and the start of its meaning
        const char* meaning;
    } cases[] = {
        // The simulated card: T=1, ten historical bytes "ZUSIM-CARD".
        {"3B 8A 01 5A 55 53 49 4D 2D 43 41 52 44 EA",
         {1},
         372,
         1,
         0,
         32,
         4,
         13,
         10,
         true,
         "historical bytes (10)",
         "proprietary, \"ZUSIM-CARD\""},
        // T=0 only, no interface bytes, no TCK.
        {"3B 02 14 50",
         {0},
         372,
         1,
         0,
         32,
         4,
         13,
         2,
         false,
         "T0",
         "K=2 historical bytes; no interface bytes follow"},
        // Belgian eID: TA1 13, TC2 work waiting integer for T=0.
        {"3B 98 13 40 0A A5 03 01 01 01 AD 13 11",
         {0},
         372,
         4,
         0,
         32,
         4,
         13,
         8,
         false,
         "TC2",
         "work waiting integer WI=10: waiting time 960 x 10 x Fi clock cycles"},
        // Estonian eID: T=0 and T=1, TC1 FF, IFSC 250, T=15 classes.
        {"3B FE 94 00 FF 80 B1 FA 45 1F 03 45 73 74 45 49 44 20 76 65 72 20 31 2E 30 43",
         {0, 1},
         512,
         8,
         255,
         250,
         4,
         5,
         14,
         true,
         "TA4",
         "clock stop not supported; classes A (5 V), B (3 V)"},
        // A contactless storage card through a PC/SC reader.
        {"3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A",
         {0, 1},
         372,
         1,
         0,
         32,
         4,
         13,
         15,
         true,
         "historical bytes (15)",
         "category 80: COMPACT-TLV data objects"},
        // A YubiKey: TA1 13, two T=1 groups, the first gives IFSC and BWI/CWI.
        {"3B FD 13 00 00 81 31 FE 15 80 73 C0 21 C0 57 59 75 62 69 4B 65 79 40",
         {1, 1},
         372,
         4,
         0,
         254,
         1,
         5,
         13,
         true,
         "TA1",
         "Fi=372, Di=4: 93 clock cycles a bit; clock up to 5 MHz, "
         "53763 bit/s at 5 MHz"},
        // A SIM card at Fi=512, Di=32.
        {"3B 9F 96 81 B1 FE 45 1F 07 00 64 05 1E B2 00 31 B0 73 96 21 DB 05 90 00 5C",
         {1, 1},
         512,
         32,
         0,
         254,
         4,
         5,
         15,
         true,
         "TB3",
         "BWI=4: block waiting time 11 etu + 16 x 960 x 372 clock cycles; CWI=5: character waiting "
         "time 43 etu"},
        // The longest ATR there may be: 33 bytes, fifteen TDs.
        {"3B 8F 81 81 81 81 81 81 81 81 81 81 81 81 81 81 01 00 00 00 00 00 00 00 00 00 00 00 00 "
         "00 00 00 8E",
         {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
         372,
         1,
         0,
         32,
         4,
         13,
         15,
         true,
         "historical bytes (15)",
         "category 00: COMPACT-TLV data objects"},
        {"3B 01 8F",
         {0},
         372,
         1,
         0,
         32,
         4,
         13,
         1,
         false,
         "historical bytes (1)",
         "category 8F: reserved for future use"},
        // Made up for TA2: specific mode T=1, parameters from TA1 (bit 5 clear).
        {"3B 90 11 10 81",
         {0},
         372,
         1,
         0,
         32,
         4,
         13,
         0,
         false,
         "TA2",
         "specific mode, T=1; mode cannot change; parameters as TA1 gives them"},
        {"3B 90 11 10 11",
         {0},
         372,
         1,
         0,
         32,
         4,
         13,
         0,
         false,
         "TA2",
         "specific mode, T=1; mode can change; implicit parameters"},
        // Inverse convention, TC1 of 2 etu.
        {"3F 40 02", {0}, 372, 1, 2, 32, 4, 13, 0, false, "TC1", "extra guard time N=2 etu"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.atr);
        Bytes atr = FromHex(c.atr);
        AtrInfo info = ParseAtr(atr.data(), atr.size());
        EXPECT_TRUE(info.wellFormed) << info.error;
        EXPECT_EQ(c.protocols, info.protocols);
        EXPECT_EQ(c.fi, info.fi);
        EXPECT_EQ(c.di, info.di);
        EXPECT_EQ(c.guard, info.extraGuardTime);
        EXPECT_EQ(c.ifsc, info.ifsc);
        EXPECT_EQ(c.bwi, info.bwi);
        EXPECT_EQ(c.cwi, info.cwi);
        EXPECT_EQ(c.historical, info.historicalLength);
        EXPECT_EQ(atr.size() - c.historical - (c.tck ? 1 : 0), info.historicalOffset);
        EXPECT_EQ(c.tck, info.hasTck);
        EXPECT_EQ(c.tck, info.tckCorrect);
        EXPECT_EQ(atr[0] == 0x3F, info.inverse);
        // The meaning whole, or its start where the table ends it with "...".
        const std::string meaning = c.meaning;
        if (meaning.size() > 3 && meaning.compare(meaning.size() - 3, 3, "...") == 0) {
            EXPECT_EQ(0u, FieldMeaning(info, c.field).find(meaning.substr(0, meaning.size() - 3)))
                << FieldMeaning(info, c.field);
        } else {
            EXPECT_EQ(meaning, FieldMeaning(info, c.field));
        }
        // A wrong TCK is found and the right one named.
        if (c.tck) {
            atr.back() ^= 0x01;
            AtrInfo wrong = ParseAtr(atr.data(), atr.size());
            EXPECT_TRUE(wrong.wellFormed);
            EXPECT_FALSE(wrong.tckCorrect);
            EXPECT_EQ(atr.back() ^ 0x01, wrong.tckExpected);
            EXPECT_NE(std::string::npos, FieldMeaning(wrong, "TCK").find("WRONG"));
        }
    }
}

TEST(ZuicAtrParser, SaysWhereABrokenAtrStopsMakingSense) {
    struct Case {
        const char* atr;
        const char* error;
    } cases[] = {
        {"", "empty: the card gave no answer to reset"},
        {"3C 00",
         "TS 3C is neither 3B (direct convention) nor 3F (inverse convention): not an ATR"},
        {"3B", "the ATR ends after TS: T0 is missing"},
        {"3B F0 11 00", "the ATR ends after 4 bytes: TC1, announced by T0, is missing"},
        {"3B 80 81", "the ATR ends after 3 bytes: TD2, announced by TD1, is missing"},
        {"3B 84 01 41 42", "the ATR ends after 5 bytes: T0 announces 4 historical bytes, 2 follow"},
        {"3B 81 01 41", "the ATR ends after 4 bytes: TCK is missing (a protocol other than T=0 is "
                        "offered)"},
        {"3B 01 41 00 00", "2 bytes after the end of the ATR (the historical bytes ended it at 3 "
                           "bytes)"},
        {"3B 81 01 41 C1 FF", "1 byte after the end of the ATR (TCK ended it at 5 bytes)"},
        // A chain of TDs that runs past 33 bytes.
        {"3B 8F 81 81 81 81 81 81 81 81 81 81 81 81 81 81 81 81 01 00 "
         "00 00 00 00 00 00 00 00 00 00 00 00 00 00 0F",
         "the ATR has 35 bytes, more than the 33 an ATR may have"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.atr);
        Bytes atr = FromHex(c.atr);
        AtrInfo info = ParseAtr(atr.data(), atr.size());
        EXPECT_FALSE(info.wellFormed);
        EXPECT_EQ(c.error, info.error);
        std::vector<std::string> lines = ExplainAtr(info);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ("  error: " + std::string(c.error), lines.back());
        EXPECT_EQ(info.fields.size() + 1, lines.size());
    }
}

// What zuic prints for commands that carry a PIN or a key: their data
// hidden in the echo and the trace, shown with --show-secrets; the card
// still gets every byte.
TEST(ZuicSecrets, HiddenInEchoAndTraceUnlessAskedFor) {
    RegisterBuiltInReaders();
    const std::string script = "/tmp/zuic_atr_test_secrets.apdu";
    std::ofstream(script) << "80 E0 00 00 0A 00 02 20 26 00 00 00 00 12 34 = XXXX\n"
                             "00 20 00 00 04 31 32 33 34 = 6A88\n"
                             "80 5E 00 00 08 31 32 33 34 35 36 37 38 = 6XXX\n";
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> shown;  // lines that must be printed
        std::vector<std::string> hidden; // texts that must not be
    } cases[] = {
        {{"send", "--reader", "sim", "80 D8 00 00 03 11 22 33"},
         {"> 80 D8 00 00 03 ** (3 bytes)\n"},
         {"11 22 33"}},
        {{"send", "--reader", "sim", "--show-secrets", "80 D8 00 00 03 11 22 33"},
         {"> 80 D8 00 00 03 11 22 33\n"},
         {"**"}},
        {{"--trace", "send", "--reader", "sim", "84 D4 00 00 01 AB", "00 84 00 00 04"},
         {"> 84 D4 00 00 01 ** (1 byte)\n", "  trace >> 84 D4 00 00 01 ** (1 byte)\n"},
         {"AB"}},
        // A key command's header alone shows as it is.
        {{"send", "--reader", "sim", "80 D4 00 00"}, {"> 80 D4 00 00 00\n"}, {"**"}},
        // The class byte matters: 00 D4 carries no key.
        {{"send", "--reader", "sim", "00 D4 00 00 01 AB"}, {"> 00 D4 00 00 01 AB\n"}, {"**"}},
        {{"--trace", "run", "--reader", "sim", script},
         {"line 2 > 00 20 00 00 04 ** (4 bytes)\n", "  trace >> 00 20 00 00 04 ** (4 bytes)\n",
          "line 3 > 80 5E 00 00 08 ** (8 bytes)\n", "  trace >> 80 5E 00 00 08 ** (8 bytes)\n"},
         {"31 32 33 34"}},
        // A refused argument is named without its secret.
        {{"send", "--reader", "sim", "00 20 00 00 05 31 32 33 34"}, {}, {"31 32 33 34"}},
        {{"--trace", "--show-secrets", "run", "--reader", "sim", script},
         {"  trace >> 00 20 00 00 04 31 32 33 34\n",
          "  trace >> 80 5E 00 00 08 31 32 33 34 35 36 37 38\n"},
         {"**"}},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) {
            joined += a + " ";
        }
        SCOPED_TRACE(joined);
        std::ostringstream out, err;
        Main(c.args, out, err);
        if (c.shown.empty()) { // bad input: the message names the APDU
            EXPECT_NE(std::string::npos, err.str().find("('00 20 00 00 05 ** (4 bytes)')"))
                << err.str();
            EXPECT_EQ(std::string::npos, err.str().find("31 32 33 34")) << err.str();
        }
        for (const std::string& line : c.shown) {
            EXPECT_NE(std::string::npos, out.str().find(line)) << out.str();
        }
        for (const std::string& text : c.hidden) {
            EXPECT_EQ(std::string::npos, out.str().find(text)) << out.str();
        }
    }
    std::remove(script.c_str());
}
