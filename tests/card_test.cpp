// The card, SAM and social-security classes and the two software-assisted
// secure writes, as the card sees them: the bytes of every command and its
// length, the response pointers handed to the reader, the longest input each
// operation takes and the next longer one refused with nothing sent, and the
// operations that send sequences or read the status word.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "support/GuardHex.h"
#include "support/RecordingCard.h"

#include <openssl/des.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

typedef unsigned char u8;
typedef unsigned long ul;

// Expectations write "<n>" for the first n bytes of the test data 01 02 03 ...
std::string Expand(const std::string& text) {
    static const std::regex run("<(\\d+)>");
    std::string out;
    size_t at = 0;
    for (std::sregex_iterator m(text.begin(), text.end(), run), end; m != end; ++m) {
        out += text.substr(at, m->position() - at) + Seq(std::stoul((*m)[1]), 1);
        at = m->position() + m->length();
    }
    return out + text.substr(at);
}

// The commands a card received, " | " between them, each followed by what it
// was given to answer into: nothing when resp and respLen were both null,
// else " >" and the buffer (the caller's `resp`, "caller+k" inside it, or the
// operation's "own"), then "@" for the caller's own respLen or "/" and the
// room offered.
std::string Describe(const std::vector<SentCommand>& sent, const u8* resp = nullptr,
                     const ul* respLen = nullptr) {
    std::string out;
    for (const SentCommand& s : sent) {
        out += (out.empty() ? "" : " | ") + s.Hex();
        if (s.resp == nullptr && s.respLen == nullptr) {
            continue;
        }
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(s.resp);
        const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(resp);
        const bool inside = resp != nullptr && at >= base && at < base + 300;
        out += s.resp == nullptr ? " >null"
               : !inside         ? " >own"
               : at == base      ? " >caller"
                                 : " >caller+" + std::to_string(at - base);
        out += s.respLen == nullptr   ? "/null"
               : s.respLen == respLen ? "@"
                                      : "/" + std::to_string(s.respRoom);
    }
    return out;
}

// One recording object of each class; every command is accepted with no data
// unless a test queues answers.
struct Cards {
    RecordingCard<CZUICAPI> ic;
    RecordingCard<CZUSAMIC> sam;
    RecordingCard<CZUSBIC> sb;
    RecordingCard<CZUSBSAMIC> sbsam;
    Bytes bytes = FromHex(Seq(300, 1));
    u8 resp[300] = {};
    ul respLen = sizeof resp;
    int tries = 0;
    u8* d = bytes.data();        // the data: 01 02 03 ...
    u8* r = resp;                // the caller's response buffer
    ul* n = &respLen;            // and its length
    u8* k = bytes.data();        // the secure writes' key: 01 02 ... 10
    const u8* cd = bytes.data(); // the data in const memory
};
template <class T> T& As(T& card) {
    return card;
}

struct Row {
    const char* call;
    std::function<int(Cards&)> run;
    std::string sent;       // "": refused, nothing sent
    int reason = ZU_E_NONE; // ZUGetLastError after the call
    int result = -1;        // -1: 1 when something was sent, else 0
};
const int NUL = ZU_E_INPUT_NULL, TOO_LONG = ZU_E_INPUT_TOO_LONG, RANGE = ZU_E_INPUT_RANGE,
          BAD = ZU_E_BAD_ANSWER;
#define OPL(call, name, len)                                                                       \
    name, [](Cards& c) {                                                                           \
        [[maybe_unused]] auto& [ic, sam, sb, sbsam, bytes, resp, respLen, tries, d, r, n, k, cd] = \
            c;                                                                                     \
        [[maybe_unused]] const ul L = len;                                                         \
        return call;                                                                               \
    }
#define OP(call) OPL(call, #call, 0)
// The call with L the longest length it takes, then with L one longer: too long.
#define EDGE(call, longest, ...)                                                                   \
    Row{OPL(call, #call ", L = " #longest, longest), __VA_ARGS__}, Row {                           \
        OPL(call, #call ", L = " #longest " + 1", longest + 1), "", TOO_LONG                       \
    }

// Each operation's longest input is followed by the same call one byte longer:
// refused with 0, nothing sent. Every row leaves its reason: a refusal says
// which input it refused, a call that sent leaves the card's verdict.
TEST(CardCommands, BytesLengthsResponsePointersAndLimits) {
    const std::vector<Row> rows = {
        // General card: selection and data access.
        EDGE(ic.SelectDF(d, L, r, n), 27, "00 A4 04 00 1B <27> >caller@"),
        {OP(ic.SelectDF(d, r, n)), "00 A4 00 00 02 01 02 >caller@"},
        {OP(ic.SelectEF(d, nullptr, nullptr)), "00 A4 02 00 02 01 02"},
        {OP(ic.SelectEF(nullptr, r, n)), "", NUL},
        {OP(ic.UpdateBinaryFileWithMac(d, 11, 0x1234)), "04 D6 12 34 0B <11>"},
        {OP(ic.UpdateBinaryFileWithMac(d, 12, 0)), "", TOO_LONG},
        {OP(ic.UpdateBinaryFileWithMac(d, 4, 0x10000)), "", RANGE}, // P1 P2 hold 16 bits
        EDGE(ic.ReadRecord(3, L, r), 256, "00 B2 03 04 00 >caller/256"),
        {OP(ic.ReadRecord(3, 4, nullptr)), "", NUL},
        {OP(ic.ReadRecord(3, 0, nullptr)), "00 B2 03 04 00 >null/0"}, // nothing to receive
        {OP(ic.ReadBinaryFile(nullptr, 4, 0)), "", NUL},
        {OP(ic.UpdateBinaryFile(nullptr, 4, 0)), "", NUL},
        {OP(ic.ReadBinaryFile(nullptr, 0, 0)), "", ZU_E_NONE, 1}, // nothing to read: success
        {OP(ic.UpdateRecord(255, d, 251)), "00 DC FF 04 FB <251>"},
        {OP(ic.UpdateRecord(1, d, 252)), "", TOO_LONG},
        {OP(ic.UpdateRecord(256, d, 1)), "", RANGE}, // P1 would name record 0
        {OP(ic.UpdateRecord(-1, d, 1)), "", RANGE},
        {OP(ic.AppendRecord(nullptr, 0)), "00 E2 00 00 00"},
        EDGE(ic.AppendRecord(d, L), 251, "00 E2 00 00 FB <251>"),
        {OP(ic.AppendRecord(nullptr, 2)), "", NUL},
        // File-system creation.
        {OP(ic.CreateMF(0x11, 0x22, d)), "80 E0 00 00 0A 11 22 <8>"},
        {OP(ic.CreateMF(0x11, 0x22, nullptr)), "", NUL},
        EDGE(ic.CreateMF(0x11, 0x22, d, d, L), 113, "80 E0 00 01 7B 11 22 <8> <113>"),
        {OP(ic.CreateADF(d, 0x11, 0x22, d, 5)), "80 E0 01 00 09 01 02 11 22 <5>"},
        EDGE(ic.CreateADF(d, 0x11, 0x22, d, L), 16, "80 E0 01 00 14 01 02 11 22 <16>"),
        {OP(ic.CreateADF(d, 0x11, 0x22, d, 4)), "", RANGE},
        {OP(ic.CreateADF(nullptr, 0x11, 0x22, d, 5)), "", NUL},
        {OP(ic.CreateEF(d, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5)), "80 E0 02 00 07 01 02 A1 A2 A3 A4 A5"},
        {OP(ic.CreateEF(nullptr, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5)), "", NUL},
        {OP(ic.CreateEnd(d)), "80 EA 01 02 00"},
        {OP(ic.CreateEnd(nullptr)), "", NUL},
        // Security.
        EDGE(ic.VerifyPin(d, L, tries), 11, "00 20 00 00 0B <11>"),
        EDGE(ic.ChangePin(d, L, d, 6), 4, "80 5E 01 00 0B <4> FF <6>"),
        {OP(ic.ChangePin(d, 0, d, 11)), "", TOO_LONG},
        {OP(ic.ChangePin(d, ~0UL, d, 2)), "", TOO_LONG}, // the sum of the lengths wraps round to 1
        {OP(ic.GenerateRandom(nullptr, 1)), "", NUL},
        {OP(ic.InternalAuthentication(7, d, r)), "00 88 00 07 08 <8> >caller/8"},
        {OP(ic.ExternalAuthentication(7, d)), "00 82 00 07 08 <8>"},
        {OP(ic.ExternalAuthentication(7, nullptr)), "", NUL},
        {OP(ic.WriteKey(0x31, nullptr, 0)), "80 D4 31 00 00"},
        EDGE(ic.WriteKey(0x31, d, L), 123, "80 D4 31 00 7B <123>"),
        EDGE(ic.WriteKeyWithEncryptionAndMAC(0x31, d, L), 123, "84 D4 31 00 7B <123>"),
        {OP(ic.VerifyPin(nullptr, 0, tries)), "00 20 00 00 00"}, // null: the virtual form
        // PINs and keys in const memory: the same commands, on every class.
        EDGE(ic.VerifyPin(cd, L, tries), 11, "00 20 00 00 0B <11>"),
        {OP(sb.ChangePin(cd, 4, cd + 8, 6)), "80 5E 01 00 0B <4> FF 09 0A 0B 0C 0D 0E"},
        {OP(sbsam.ChangePin(d, 4, cd + 8, 6)), "80 5E 01 00 0B <4> FF 09 0A 0B 0C 0D 0E"},
        EDGE(sam.WriteKey(0x31, cd, L), 123, "80 D4 31 00 7B <123>"),
        EDGE(sb.WriteKeyWithEncryptionAndMAC(0x31, cd, L), 123, "84 D4 31 00 7B <123>"),
        // SAM.
        {OP(sam.InitForDESCrypt(1, 2, nullptr, 0)), "80 1A 01 02 00"},
        EDGE(sam.InitForDESCrypt(1, 2, d, L), 251, "80 1A 01 02 FB <251>"),
        {OP(sam.InitForDESCrypt(1, 2, nullptr, 8)), "", NUL}, // Lc would announce bytes never sent
        EDGE(sam.DESCrypt(5, d, L, r, n), 251, "80 FA 05 00 FB <251> >caller@"),
        EDGE(sam.M1AuthAndKeyCalc(1, 2, d, L, r, n), 251, "80 FC 01 02 FB <251> >caller@"),
        {OP(sam.Diversify(0x21, 3, d, r)), "80 1A 21 03 00 | 80 FA 00 00 08 <8> >caller/8 | "
                                           "80 1A 21 03 00 | 80 FA 00 00 08 FE FD FC FB FA F9 "
                                           "F8 F7 >caller+8/8"},
        {OP(sam.Diversify(0x21, 3, nullptr, r)), "", NUL},
        {OP(sam.Diversify(0x21, 3, d, nullptr)), "", NUL},
        // Social-security card; record P2 is the short identifier << 3 | the
        // reference mode: 05 and 4 give 2C, 06 and 4 give 34.
        EDGE(sb.CreateATRFile(d, 0x5A, d, L), 120, "80 E0 02 00 7B 01 02 5A <120>"),
        {OP(sb.CreateATRFile(nullptr, 0x5A, d, 1)), "", NUL},
        EDGE(sb.ReadRecord(1, 5, 4, L, r, 0), 255, "00 B2 01 2C FF >own/512"),
        {OP(sb.ReadRecord(1, 5, 4, 1, nullptr, 0)), "", NUL},
        EDGE(sb.ReadRecord(1, 5, 4, L, r, 1), 253, "00 B2 01 2C FF >own/512", BAD, 0), // no tag
        EDGE(sb.UpdateRecord(2, 6, 4, d, L), 255, "00 DC 02 34 FF <255>"),
        // P2 cut to 8 bits, the reference mode not masked: 25 << 3 | 13.
        {OP(sb.UpdateRecord(2, 0x25, 0x13, d, 1)), "00 DC 02 3B 01 01"},
        EDGE(sb.UpdateRecord(0x5F, 2, 6, 4, d, L), 253, "00 DC 02 34 FF 5F FD <253>"),
        EDGE(sb.UpdateRecordWithMAC(3, 1, 4, d, L), 255, "04 DC 03 0C FF <255>"),
        EDGE(sb.InternalAuthentication(d, L, r), 255, "00 88 00 00 FF <255> >caller/8"),
        EDGE(sb.ExternalAuthentication(9, d, L), 255, "00 82 00 09 FF <255>"),
        // Through the base class, the base forms in their own slots.
        {OP(As<CZUICAPI>(sb).ReadRecord(1, 4, r)), "00 B2 01 04 04 >caller/4"},
        {OP(As<CZUICAPI>(sb).UpdateRecord(1, d, 1)), "00 DC 01 04 01 01"},
        {OP(As<CZUICAPI>(sb).InternalAuthentication(9, d, r)), "00 88 00 09 08 <8> >caller/8"},
        {OP(As<CZUICAPI>(sb).ExternalAuthentication(9, d)), "00 82 00 09 08 <8>"},
        // Social-security SAM.
        EDGE(sbsam.InternalAuthentication(d, L, r), 255, "00 88 00 00 FF <255> >caller/8"),
        EDGE(sbsam.ExternalAuthentication(9, d, L), 255, "00 82 00 09 FF <255>"),
        EDGE(sbsam.ExportKey(1, 2, d, L, r, n), 123, "80 F6 01 02 7B <123> >caller@"),
        {OP(sbsam.ExportKey(1, 2, nullptr, 0, r, n)), "80 F6 01 02 00 >caller@"},
        {OP(As<CZUSAMIC>(sbsam).InternalAuthentication(9, d, r)), "00 88 00 09 08 <8> >caller/8"},
        {OP(As<CZUSAMIC>(sbsam).ExternalAuthentication(9, d)), "00 82 00 09 08 <8>"},
        // The secure writes: refused before the challenge; a challenge that
        // brings no bytes ends the call.
        {OP(UpdateBinaryWithSoftwareMac(&ic, k, d, 248, 0)), "", TOO_LONG},
        {OP(UpdateBinaryWithSoftwareMac(nullptr, k, d, 4, 0)), "", NUL},
        {OP(UpdateBinaryWithSoftwareMac(&ic, nullptr, d, 4, 0)), "", NUL},
        {OP(UpdateBinaryWithSoftwareMac(&ic, k, nullptr, 1, 0)), "", NUL},
        {OP(UpdateBinaryWithSoftwareMac(&ic, k, d, 4, 0x10000)), "", RANGE},
        {OP(UpdateBinaryWithSoftwareMac(&ic, k, d, 4, 0)), "00 84 00 00 04 >own/4", BAD, 0},
        {OP(WriteSAMKeyWithSoftwareCalc(&sam, k, d, 20)), "", TOO_LONG},
        {OP(WriteSAMKeyWithSoftwareCalc(&sam, k, nullptr, 0)), "", NUL},
        {OP(WriteSAMKeyWithSoftwareCalc(nullptr, k, d, 4)), "", NUL},
        {OP(WriteSAMKeyWithSoftwareCalc(&sam, k, d, 4)), "00 84 00 00 04 >own/4", BAD, 0},
        {OP(UpdateBinaryWithSoftwareMac(&sb, cd, cd, 248, 0)), "", TOO_LONG},
        {OP(WriteSAMKeyWithSoftwareCalc(&sbsam, cd, cd, 20)), "", TOO_LONG},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.call);
        Cards c;
        const std::string expected = Expand(row.sent);
        ZUSetLastError(ZU_E_HOST_EXCEPTION, 1); // whatever came before
        EXPECT_EQ(row.result >= 0 ? row.result : !expected.empty(), row.run(c));
        EXPECT_EQ(row.reason, ZUGetLastError());
        EXPECT_EQ(0, ZUGetLastPCSCError());
        std::string sent;
        for (const auto* card : {&c.ic.sent, &c.sam.sent, &c.sb.sent, &c.sbsam.sent}) {
            sent += Describe(*card, c.resp, &c.respLen);
        }
        EXPECT_EQ(expected, sent);
    }
}

TEST(CardSequences, BinaryTransfersGoIn128ByteChunksWithinSixteenBitPositions) {
    const struct {
        ul length, offset;
        std::vector<std::string> reads; // the READ BINARY headers; none: refused
    } rows[] = {
        {300, 0x10, {"00 B0 00 10 80", "00 B0 00 90 80", "00 B0 01 10 2C"}},
        {129, 0x1234, {"00 B0 12 34 80", "00 B0 12 B4 01"}},
        {0, 0, {}}, // nothing to do: success
        {1, 0xFFFF, {"00 B0 FF FF 01"}},
        {200, 0x7F00, {"00 B0 7F 00 80", "00 B0 7F 80 48"}},
        {257, 0x7F00, {}}, // the last chunk would start at 8000, P1's top bit
        {4, 0x10000, {}},
        {200, 0x8500, {"00 B0 85 00 80", "00 B0 85 80 48"}}, // short-identifier offset
        {300, 0x8500, {}},                                   // ... whose last chunk would change P1
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.offset);
        RecordingCard<CZUICAPI> reader, writer;
        std::string reads, writes;
        for (size_t i = 0; i < row.reads.size(); ++i) {
            Bytes header = FromHex(row.reads[i]);
            const std::string chunk = Seq(header[4], 1 + 128 * i);
            reader.Answer(1, chunk);
            reads += (i ? " | " : "") + row.reads[i] + " >own/" + std::to_string(header[4]);
            header[1] = 0xD6;
            writes += (i ? " | " : "") + ToHex(header) + " " + chunk;
        }
        const int result = row.reads.empty() && row.length != 0 ? 0 : 1;
        Bytes buffer(row.length + 2, 0xEE), data = FromHex(Seq(row.length, 1));
        const int reason = result ? ZU_E_NONE : ZU_E_INPUT_RANGE;
        ZUSetLastError(ZU_E_HOST_EXCEPTION, 0);
        EXPECT_EQ(result, reader.ReadBinaryFile(buffer.data(), row.length, row.offset));
        EXPECT_EQ(reason, ZUGetLastError());
        EXPECT_EQ(reads, Describe(reader.sent));
        EXPECT_EQ(Cat({Seq(result ? row.length : 0, 1), Unwritten(result ? 2 : row.length + 2)}),
                  ToHex(buffer));
        ZUSetLastError(ZU_E_HOST_EXCEPTION, 0);
        EXPECT_EQ(result, writer.UpdateBinaryFile(data.data(), row.length, row.offset));
        EXPECT_EQ(reason, ZUGetLastError());
        EXPECT_EQ(writes, Describe(writer.sent));
    }
}

// Only exactly 1 counts as success: a read then returns 0, also after a short
// chunk (which it keeps, a malformed answer), an update the result of the
// chunk that failed, with the reason of that chunk.
TEST(CardSequences, ChunkedTransfersStopAtTheFirstChunkNotAccepted) {
    const struct {
        bool update;
        int second;      // the result for the second chunk
        size_t received; // data bytes in its answer
        int result, reason;
    } rows[] = {{false, 1, 10, 0, BAD},
                {false, 2, 128, 0, ZU_E_CARD_REFUSED},
                {true, 2, 0, 2, ZU_E_CARD_REFUSED},
                {true, 0, 0, 0, ZU_E_CARD_REFUSED}};
    for (const auto& row : rows) {
        RecordingCard<CZUICAPI> card;
        card.Answer(1, Seq(128, 1));
        card.Answer(row.second, Seq(row.received, 0x81));
        Bytes buffer(300, 0xEE);
        EXPECT_EQ(row.result, row.update ? card.UpdateBinaryFile(buffer.data(), 300, 0)
                                         : card.ReadBinaryFile(buffer.data(), 300, 0));
        EXPECT_EQ(row.reason, ZUGetLastError());
        EXPECT_EQ(2u, card.sent.size());
        if (!row.update) {
            const size_t kept = row.second == 1 ? row.received : 0;
            EXPECT_EQ(Cat({Seq(128, 1), Seq(kept, 0x81), Unwritten(172 - kept)}), ToHex(buffer));
        }
    }
}

TEST(CardSequences, EraseMFPresentsTheFirstThenTheSecondKey) {
    const std::string erase = "80 0E 00 00 02 3F 00";
    const std::string key1 = "80 D8 02 00 10 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF";
    const std::string key2 = "80 D8 02 00 10 FF EE DD CC BB AA 99 88 77 66 55 44 33 22 11 00";
    const struct {
        std::vector<int> answers;
        std::string sent;
        int result;
    } rows[] = {
        {{1}, erase, 1},
        {{0, 1, 1}, erase + " | " + key1 + " | " + erase, 1},
        {{0, 0, 1, 1}, erase + " | " + key1 + " | " + key2 + " | " + erase, 1},
        {{0, 0, 0}, erase + " | " + key1 + " | " + key2, 0},
        {{0, 1, 0}, erase + " | " + key1 + " | " + erase, 0}, // the second erase refused
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.sent);
        RecordingCard<CZUICAPI> card;
        for (int a : row.answers) {
            card.Answer(a);
        }
        EXPECT_EQ(row.result, card.EraseMF());
        EXPECT_EQ(row.sent, Describe(card.sent));
    }
}

// A card behind a real reader object, so that GetSW reads what it answered:
// the answers queued, then 90 00.
struct CannedCard : CZUTransport {
    std::deque<std::string> answers;
    std::vector<std::string> seen;
    bool Transmit(const u8* cmd, size_t cmdLen, u8* answer, size_t* answerLen) override {
        seen.push_back(ToHex(cmd, cmdLen));
        const Bytes a = FromHex(answers.empty() ? "90 00" : answers.front());
        if (!answers.empty()) {
            answers.pop_front();
        }
        std::copy(a.begin(), a.end(), answer);
        *answerLen = a.size();
        return true;
    }
    bool Reset(u8*, size_t, size_t*) override { return false; }
    bool IsCardPresent() override { return true; }
};

TEST(CardSequences, VerifyPinSetsTheTriesLeftOnlyAfterARefusal) {
    const struct {
        const char* sw;
        int result, tries; // 42: left as it was
    } rows[] = {{"63 C3", 0, 3},  {"63 C0", 0, 0},  {"63 CF", 0, 15}, {"69 83", 0, 0},
                {"6A 88", 0, -1}, {"63 00", 0, 42}, {"64 C3", 0, -1}, {"90 00", 1, 42}};
    u8 pin[4] = {1, 2, 3, 4};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.sw);
        auto canned = std::make_shared<CannedCard>();
        canned->answers = {row.sw};
        CZUICAPI card;
        ASSERT_EQ(1, ZUOpenTransport(card, canned));
        int tries = 42;
        EXPECT_EQ(row.result, card.VerifyPin(pin, 4, tries));
        EXPECT_EQ(row.tries, tries);
    }
    RecordingCard<CZUICAPI> card; // a result other than 0 and 1 comes back as it is
    card.Answer(2);
    int tries = 42;
    EXPECT_EQ(2, card.VerifyPin(pin, 4, tries));
    EXPECT_EQ(42, tries);
}

TEST(CardSequences, GenerateRandomGathersInStepsOfEight) {
    const std::string le8 = "00 84 00 00 08 >own/8";
    const struct {
        ul length;
        std::vector<std::string> answers; // "!": the exchange fails
        std::string sent;
        int result;
    } rows[] = {
        {4, {"01 02 03 04"}, "00 84 00 00 04 >own/4", 1},
        {8, {Seq(8, 1)}, le8, 1},
        {20, {Seq(8, 1), Seq(8, 9), Seq(8, 17)}, le8 + " | " + le8 + " | " + le8, 1},
        // Each exchange offers the room of what the one before returned.
        {16,
         {Seq(4, 1), Seq(4, 5), Seq(4, 9), Seq(4, 13)},
         le8 + " | 00 84 00 00 08 >own/4 | 00 84 00 00 08 >own/4 | 00 84 00 00 08 >own/4",
         1},
        {0, {""}, "00 84 00 00 00 >own/0", 1},
        {8, {""}, le8, 0}, // success without data would loop for ever: a malformed answer
        {16, {Seq(8, 1), "!"}, le8 + " | " + le8, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.sent);
        RecordingCard<CZUICAPI> card;
        std::string answered;
        for (const std::string& a : row.answers) {
            card.Answer(a == "!" ? 0 : 1, a == "!" ? "" : a);
            answered = Cat({answered, a == "!" ? "" : a});
        }
        Bytes buffer(row.length + 4, 0xEE), kept = FromHex(answered);
        kept.resize(std::min<size_t>(kept.size(), row.length)); // the surplus dropped
        EXPECT_EQ(row.result, card.GenerateRandom(buffer.data(), row.length));
        EXPECT_EQ(row.result        ? ZU_E_NONE
                  : row.length == 8 ? BAD
                                    : ZU_E_CARD_REFUSED,
                  ZUGetLastError());
        EXPECT_EQ(row.sent, Describe(card.sent));
        EXPECT_EQ(Cat({ToHex(kept), Unwritten(buffer.size() - kept.size())}), ToHex(buffer));
    }
}

TEST(CardSequences, DiversifyStopsAtTheFirstRefusalKeepingTheLeftHalf) {
    for (int refused = 0; refused <= 4; ++refused) { // 4: none refused
        SCOPED_TRACE(refused);
        RecordingCard<CZUSAMIC> sam;
        for (int i = 0; i < 4; ++i) {
            const std::string half = i == 1 ? Seq(8, 0x11) : Seq(8, 0x21);
            sam.Answer(i != refused, i % 2 == 1 && i != refused ? half : "");
        }
        Bytes key(17, 0xEE), factor(8);
        EXPECT_EQ(refused == 4 ? 1 : 0, sam.Diversify(1, 2, factor.data(), key.data()));
        EXPECT_EQ(std::min(refused + 1, 4), static_cast<int>(sam.sent.size()));
        EXPECT_EQ(Cat({refused > 1 ? Seq(8, 0x11) : Unwritten(8),
                       refused > 3 ? Seq(8, 0x21) : Unwritten(8), Unwritten(1)}),
                  ToHex(key));
    }
}

TEST(CardSequences, SocialSecurityReadRecordCopiesAtMostTheValueAskedFor) {
    const struct {
        int withTagAndLength;
        ul length;
        const char* answer; // "!": the exchange fails
        int result;
        const char* buffer;
    } rows[] = {
        {1, 4, "5F 04 01 02 03 04", 1, "01 02 03 04 EE EE"},
        {0, 4, "01 02 03 04", 1, "01 02 03 04 EE EE"},
        {0, 4, "01 02 03 04 05 06", 1, "01 02 03 04 EE EE"},
        {1, 2, "5F 04 01 02 03 04", 1, "01 02 EE EE EE EE"},
        {1, 4, "5F 04 01 02", 1, "01 02 EE EE EE EE"}, // a short record
        {1, 4, "5F", 0, "EE EE EE EE EE EE"},          // no room for tag and length: malformed
        {0, 2, "!", 0, "EE EE EE EE EE EE"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.answer);
        RecordingCard<CZUSBIC> card;
        card.Answer(std::string(row.answer) != "!",
                    std::string(row.answer) != "!" ? row.answer : "");
        Bytes buffer(6, 0xEE);
        EXPECT_EQ(row.result,
                  card.ReadRecord(1, 1, 4, row.length, buffer.data(), row.withTagAndLength));
        EXPECT_EQ(row.result                        ? ZU_E_NONE
                  : std::string(row.answer) == "5F" ? BAD
                                                    : ZU_E_CARD_REFUSED,
                  ZUGetLastError());
        EXPECT_EQ(row.buffer, ToHex(buffer));
    }
}

// A call refused before sending reaches no card and leaves GetSW at 00 00,
// not at the answer to the command before it, and its own reason, not the
// reader's for the command it did not send.
template <class Card>
void RefusedUnsent(const char* name, int reason, const std::function<int(Card&)>& op) {
    SCOPED_TRACE(name);
    auto canned = std::make_shared<CannedCard>();
    Card card;
    ASSERT_EQ(1, ZUOpenTransport(card, canned));
    u8 fid[2] = {0x3F, 0x00};
    ASSERT_EQ(1, card.SelectEF(fid, nullptr, nullptr));
    EXPECT_EQ(0, op(card));
    EXPECT_EQ(1u, canned->seen.size());
    EXPECT_EQ(0x0000, card.GetSW());
    EXPECT_EQ(reason, ZUGetLastError());
}

Bytes gData = FromHex(Seq(300, 1));

#define REFUSED(Card, reason, call)                                                                \
    RefusedUnsent<Card>(#call, reason, [d](Card& c) { return call; })

TEST(CardRefusals, NothingSentAndNoStatusWordKept) {
    u8* d = gData.data();
    REFUSED(CZUICAPI, TOO_LONG, c.SelectDF(d, 28, nullptr, nullptr));
    REFUSED(CZUICAPI, RANGE, c.ReadBinaryFile(d, 4, 0x10000));
    REFUSED(CZUICAPI, TOO_LONG, UpdateBinaryWithSoftwareMac(&c, d, d, 248, 0));
    // The social-security and SAM classes and the SAM key write refuse alike.
    REFUSED(CZUSBIC, NUL, c.CreateATRFile(nullptr, 1, d, 1));
    REFUSED(CZUSBIC, TOO_LONG, c.ReadRecord(1, 1, 4, 256, d, 0));
    REFUSED(CZUSBIC, TOO_LONG, c.UpdateRecord(0x5F, 1, 1, 4, d, 254));
    REFUSED(CZUSAMIC, NUL, c.Diversify(1, 2, nullptr, d));
    REFUSED(CZUSAMIC, TOO_LONG, WriteSAMKeyWithSoftwareCalc(&c, d, d, 20));
}

DES_key_schedule Schedule(const u8* half) {
    DES_key_schedule ks;
    DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(const_cast<u8*>(half)), &ks);
    return ks;
}

// What a secure write sends after the challenge: the covered command and the
// first four bytes of its ISO/IEC 9797-1 MAC algorithm 3 (padding method 2),
// chained from the challenge followed by four zero bytes.
std::string SecureWrite(const u8* key, const std::string& challenge, const std::string& covered) {
    Bytes iv = FromHex(challenge + " 00 00 00 00"), message = FromHex(covered + " 80");
    message.resize((message.size() + 7) / 8 * 8);
    DES_key_schedule k1 = Schedule(key), k2 = Schedule(key + 8);
    Bytes chained(message.size());
    DES_ncbc_encrypt(message.data(), chained.data(), static_cast<long>(message.size()), &k1,
                     reinterpret_cast<DES_cblock*>(iv.data()), DES_ENCRYPT);
    DES_cblock h;
    std::memcpy(h, chained.data() + chained.size() - 8, 8);
    DES_ecb_encrypt(&h, &h, &k2, DES_DECRYPT);
    DES_ecb_encrypt(&h, &h, &k1, DES_ENCRYPT);
    return "00 84 00 00 04 >own/4 | " + covered + " " + ToHex(h, 4);
}

TEST(SecureWrites, UpdateBinaryWithSoftwareMacAgainstOpenSsl) {
    const struct {
        ul length, offset;
        const char* challenge;
        const char* header;
    } rows[] = {
        {0, 0x0000, "A1 B2 C3 D4", "04 D6 00 00 04"}, // no data: a null pointer will do
        {5, 0x0102, "01 02 03 04", "04 D6 01 02 09"},
        {247, 0xABCD, "01 02 03 05", "04 D6 AB CD FB"}, // fills the 256-byte command
    };
    const Bytes key = FromHex("0123456789ABCDEF FEDCBA9876543210");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.header);
        RecordingCard<CZUICAPI> card;
        card.Answer(1, row.challenge);
        Bytes data = FromHex(Seq(row.length, 1)), k = key;
        EXPECT_EQ(1,
                  UpdateBinaryWithSoftwareMac(&card, k.data(), row.length ? data.data() : nullptr,
                                              row.length, row.offset));
        const std::string covered = Cat({row.header, Seq(row.length, 1)});
        EXPECT_EQ(SecureWrite(k.data(), row.challenge, covered), Describe(card.sent));
    }
    // The worked example of README, byte for byte.
    RecordingCard<CZUICAPI> card;
    card.Answer(1, "11 22 33 44");
    const u8 k[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                      0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7};
    const u8 data[4] = {0x01, 0x02, 0x03, 0x04}; // const: the template form
    EXPECT_EQ(1, UpdateBinaryWithSoftwareMac(&card, k, data, 4, 0x10));
    EXPECT_EQ("04 D6 00 10 08 01 02 03 04 4C E8 45 ED", card.sent.at(1).Hex());
}

TEST(SecureWrites, WriteSAMKeyWithSoftwareCalcAgainstOpenSsl) {
    const Bytes key = FromHex("0123456789ABCDEF FEDCBA9876543210"); // const: the template form
    DES_key_schedule k1 = Schedule(key.data()), k2 = Schedule(key.data() + 8);
    for (ul length : {0UL, 6UL, 7UL, 15UL, 19UL}) { // 8, 8, 16, 24 and 24 bytes of key block
        SCOPED_TRACE(length);
        RecordingCard<CZUSAMIC> sam;
        sam.Answer(1, "10 20 30 40");
        const Bytes keyData = FromHex(Seq(length + 1, 0xA0)); // one more: never read
        EXPECT_EQ(1, WriteSAMKeyWithSoftwareCalc(&sam, key.data(), keyData.data(), length));
        Bytes block = FromHex(Cat({Seq(1, length), Seq(length, 0xA0), "80"}));
        block.resize((block.size() + 7) / 8 * 8);
        for (size_t i = 0; i < block.size(); i += 8) {
            DES_ecb3_encrypt(reinterpret_cast<DES_cblock*>(&block[i]),
                             reinterpret_cast<DES_cblock*>(&block[i]), &k1, &k2, &k1, DES_ENCRYPT);
        }
        const std::string covered = Cat({"84 D4 00 00", Seq(1, block.size() + 4), ToHex(block)});
        EXPECT_EQ(SecureWrite(key.data(), "10 20 30 40", covered), Describe(sam.sent));
    }
}

// Itanium ABI: a virtual member pointer holds 1 + its byte offset in the
// table; the destructor takes two entries, so slot n >= 1 sits at entry n + 1.
template <class F> long Slot(F f) {
    struct {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } raw;
    static_assert(sizeof(F) == sizeof(raw), "Itanium member pointer");
    std::memcpy(&raw, &f, sizeof raw);
    return (raw.ptr & 1) == 0 ? -1 : static_cast<long>((raw.ptr - 1) / sizeof(void*)) - 1;
}

// Slots numbered from first on, in the order given.
template <class... Slots> void ExpectSlots(long first, Slots... slots) {
    for (long slot : {slots...}) {
        EXPECT_EQ(first++, slot);
    }
}

template <class C> void ExpectCardSlots() {
    ExpectSlots(
        1, Slot(static_cast<int (C::*)(char*, int)>(&C::Open)),
        Slot(static_cast<int (C::*)(int, int)>(&C::Open)), Slot(&C::Close), Slot(&C::ChangeSlot),
        Slot(&C::IsCardExist), Slot(&C::Reset), Slot(&C::SendCommand), Slot(&C::EraseMF),
        Slot(static_cast<int (C::*)(u8, u8, u8*, u8*, ul)>(&C::CreateMF)),
        Slot(static_cast<int (C::*)(u8, u8, u8*)>(&C::CreateMF)), Slot(&C::CreateADF),
        Slot(&C::CreateEnd), Slot(&C::CreateEF),
        Slot(static_cast<int (C::*)(u8, u8*, ul)>(&C::WriteKey)),
        Slot(static_cast<int (C::*)(u8, u8*, ul)>(&C::WriteKeyWithEncryptionAndMAC)),
        Slot(static_cast<int (C::*)(u8*, ul, u8*, ul*)>(&C::SelectDF)),
        Slot(static_cast<int (C::*)(u8* const, u8*, ul*)>(&C::SelectDF)), Slot(&C::SelectEF),
        Slot(&C::ReadBinaryFile), Slot(&C::UpdateBinaryFile), Slot(&C::UpdateBinaryFileWithMac),
        Slot(static_cast<int (C::*)(u8*, ul, int&)>(&C::VerifyPin)),
        Slot(static_cast<int (C::*)(u8*, ul, u8*, ul)>(&C::ChangePin)), Slot(&C::AppendRecord),
        Slot(static_cast<int (C::*)(int, u8*, ul)>(&C::UpdateRecord)),
        Slot(static_cast<int (C::*)(u8, ul, u8*)>(&C::ReadRecord)), Slot(&C::GenerateRandom),
        Slot(static_cast<int (C::*)(u8, u8*, u8*)>(&C::InternalAuthentication)),
        Slot(static_cast<int (C::*)(u8, u8*)>(&C::ExternalAuthentication)));
    EXPECT_EQ(sizeof(CZUReader), sizeof(C)); // no data members of their own
}

// The SAM classes: the card slots, then their own from 30 on.
template <class C> void ExpectSamSlots() {
    ExpectCardSlots<C>();
    ExpectSlots(30, Slot(&C::InitForDESCrypt), Slot(&C::DESCrypt), Slot(&C::M1AuthAndKeyCalc),
                Slot(&C::Diversify));
}

TEST(CardObjects, EveryClassKeepsTheExportedSlotOrder) {
    ExpectCardSlots<CZUICAPI>();
    ExpectCardSlots<CZUSBIC>();
    ExpectSamSlots<CZUSAMIC>();
    ExpectSamSlots<CZUSBSAMIC>();
    typedef CZUSBSAMIC S;
    ExpectSlots(34, Slot(static_cast<int (S::*)(u8*, ul, u8*)>(&S::InternalAuthentication)),
                Slot(static_cast<int (S::*)(u8, u8*, ul)>(&S::ExternalAuthentication)),
                Slot(&S::ExportKey));
    typedef CZUSBIC B;
    ExpectSlots(30, Slot(&B::CreateATRFile),
                Slot(static_cast<int (B::*)(u8, u8, u8, ul, u8*, int)>(&B::ReadRecord)),
                Slot(static_cast<int (B::*)(u8, u8, u8, u8*, ul)>(&B::UpdateRecord)),
                Slot(static_cast<int (B::*)(u8, u8, u8, u8, u8*, ul)>(&B::UpdateRecord)),
                Slot(&B::UpdateRecordWithMAC),
                Slot(static_cast<int (B::*)(u8*, ul, u8*)>(&B::InternalAuthentication)),
                Slot(static_cast<int (B::*)(u8, u8*, ul)>(&B::ExternalAuthentication)));
}

// Made from an opened reader, copied, or assigned, a card object reaches that
// reader's card without an Open of its own.
template <class Card> void ExpectReachesTheReadersCard() {
    auto canned = std::make_shared<CannedCard>();
    CZUReader reader;
    ASSERT_EQ(1, ZUOpenTransport(reader, canned));
    Card fromReader(&reader), copy(fromReader), assigned, assignedFromReader;
    assigned = copy;
    assignedFromReader = reader;
    std::unique_ptr<CZUReader> owned(new Card(&reader)); // deleted through the base
    u8 fid[2] = {0x3F, 0x00};
    for (Card* card : {&fromReader, &copy, &assigned, &assignedFromReader}) {
        EXPECT_EQ(1, card->SelectEF(fid, nullptr, nullptr));
    }
    EXPECT_EQ(4u, canned->seen.size());
}

TEST(CardObjects, MadeFromAReaderCopiedOrAssignedTheyReachItsCard) {
    ExpectReachesTheReadersCard<CZUICAPI>();
    ExpectReachesTheReadersCard<CZUSAMIC>();
    ExpectReachesTheReadersCard<CZUSBIC>();
    ExpectReachesTheReadersCard<CZUSBSAMIC>();
}

} // namespace
