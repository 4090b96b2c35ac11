// The reader's own writes into caller buffers (the response of SendCommand,
// the ATR of Reset) with the buffer ending on a page followed by an
// inaccessible one, against answers as long as a short APDU allows and
// chains longer than any room; and the guard page itself.
#include "support/GuardedBuffer.h"
#include "support/ScriptedTransport.h"
#include "ZUICRD.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string Seq(size_t n, unsigned seed) {
    Bytes bytes;
    for (size_t i = 0; i < n; ++i) {
        bytes.push_back(static_cast<unsigned char>(seed + i));
    }
    return ToHex(bytes);
}

std::string Cat(const std::string& a, const std::string& b) {
    return a.empty() ? b : b.empty() ? a : a + " " + b;
}

TEST(GuardPages, GuardPageFaultsOneBytePastTheBuffer) {
    CGuardedBuffer buffer(13);
    buffer.Data()[12] = 1; // the last byte is the caller's
    EXPECT_DEATH(buffer.Data()[13] = 1, "");
    EXPECT_DEATH(
        {
            volatile unsigned char past = buffer.Data()[13];
            (void)past;
        },
        "");
    CGuardedBuffer empty(0);
    EXPECT_DEATH(empty.Data()[0] = 1, "");
}

TEST(GuardPages, SendCommandResponses) {
    typedef std::vector<std::pair<std::string, std::string>> Script;
    struct {
        const char* name;
        size_t room;
        Script script;
        int result;
        std::string written;
    } cases[] = {
        {"256 bytes into 256",
         256,
         {{"00 B0 00 00 00", Cat(Seq(256, 0x10), "90 00")}},
         1,
         Seq(256, 0x10)},
        {"256 bytes into 5",
         5,
         {{"00 B0 00 00 00", Cat(Seq(256, 0x10), "90 00")}},
         1,
         Seq(5, 0x10)},
        {"768 bytes of a chain into 300",
         300,
         {{"00 B0 00 00 00", Cat(Seq(256, 0x10), "61 00")},
          {"00 C0 00 00 00", Cat(Seq(256, 0x20), "61 00")},
          {"00 C0 00 00 00", Cat(Seq(256, 0x30), "90 00")}},
         1,
         Cat(Seq(256, 0x10), Seq(44, 0x20))},
        {"a re-send with Le into 3",
         3,
         {{"00 B0 00 00 00", "6C 10"}, {"00 B0 00 00 10", Cat(Seq(16, 0x40), "90 00")}},
         1,
         Seq(3, 0x40)},
        {"refused after data, into 4",
         4,
         {{"00 B0 00 00 00", Cat(Seq(256, 0x50), "61 10")}, {"00 C0 00 00 10", "6A 86"}},
         0,
         Seq(4, 0x50)},
        {"256 bytes into no room", 0, {{"00 B0 00 00 00", Cat(Seq(256, 0x10), "90 00")}}, 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CZUReader reader;
        auto transport = std::make_shared<ScriptedTransport>();
        for (const auto& step : c.script) {
            transport->Expect(step.first, step.second);
        }
        ASSERT_EQ(1, ZUOpenTransport(reader, transport));
        CGuardedBuffer command(FromHex("00 B0 00 00 00"));
        CGuardedBuffer resp(c.room);
        unsigned long respLen = c.room;
        EXPECT_EQ(c.result, reader.SendCommand(command.Data(), 5, resp.Data(), &respLen));
        EXPECT_EQ(c.written, ToHex(resp.Contents()));
        EXPECT_EQ(FromHex(c.written).size(), respLen);
        EXPECT_TRUE(transport->Done());
    }
}

TEST(GuardPages, ResetAnswerToReset) {
    const std::string atr = Seq(33, 0x3B); // the longest ATR ISO/IEC 7816-3 allows
    struct {
        const char* name;
        size_t room;
        std::string written;
    } cases[] = {
        {"room for the whole ATR", 33, atr},
        {"room for 10 bytes", 10, Seq(10, 0x3B)},
        {"no room", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CZUReader reader;
        auto transport = std::make_shared<ScriptedTransport>();
        transport->atr = FromHex(atr);
        ASSERT_EQ(1, ZUOpenTransport(reader, transport));
        CGuardedBuffer buffer(c.room);
        unsigned long atrLen = c.room;
        EXPECT_EQ(1, reader.Reset(buffer.Data(), &atrLen));
        EXPECT_EQ(c.written, ToHex(buffer.Contents()));
        EXPECT_EQ(c.room, atrLen);
    }
}

} // namespace
