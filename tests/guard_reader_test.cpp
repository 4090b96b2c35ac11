// The reader's own writes into caller buffers (the response of SendCommand,
// the ATR of Reset) with the buffer ending on a page followed by an
// inaccessible one, against answers as long as a short APDU allows and
// chains longer than any room; and the guard page itself.
#include "support/GuardHex.h"
#include "support/GuardedBuffer.h"
#include "support/ScriptedTransport.h"
#include "ZUICRD.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

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

// READ BINARY with Le 00 through the reader into a guarded response buffer
// of `room` bytes, against a card that answers as scripted.
void Responds(const char* name, size_t room, int result, const std::string& written,
              const std::vector<std::pair<std::string, std::string>>& script) {
    SCOPED_TRACE(name);
    CZUReader reader;
    auto transport = std::make_shared<ScriptedTransport>();
    for (const auto& step : script) {
        transport->Expect(step.first, step.second);
    }
    ASSERT_EQ(1, ZUOpenTransport(reader, transport));
    CGuardedBuffer command(FromHex("00 B0 00 00 00"));
    CGuardedBuffer resp(room);
    unsigned long respLen = room;
    EXPECT_EQ(result, reader.SendCommand(command.Data(), 5, resp.Data(), &respLen));
    EXPECT_EQ(written, ToHex(resp.Contents()));
    EXPECT_EQ(FromHex(written).size(), respLen);
    EXPECT_TRUE(transport->Done());
}

TEST(GuardPages, SendCommandResponses) {
    const std::string read = "00 B0 00 00 00", more = "00 C0 00 00 00";
    const std::string full = Cat({Seq(256, 0x10), "90 00"});
    Responds("256 bytes into 256", 256, 1, Seq(256, 0x10), {{read, full}});
    Responds("256 bytes into 5", 5, 1, Seq(5, 0x10), {{read, full}});
    Responds("256 bytes into no room", 0, 1, "", {{read, full}});
    Responds("768 bytes of a chain into 300", 300, 1, Cat({Seq(256, 0x10), Seq(44, 0x20)}),
             {{read, Cat({Seq(256, 0x10), "61 00"})},
              {more, Cat({Seq(256, 0x20), "61 00"})},
              {more, Cat({Seq(256, 0x30), "90 00"})}});
    Responds("a re-send with Le into 3", 3, 1, Seq(3, 0x40),
             {{read, "6C 10"}, {"00 B0 00 00 10", Cat({Seq(16, 0x40), "90 00"})}});
    Responds("refused after data, into 4", 4, 0, Seq(4, 0x50),
             {{read, Cat({Seq(256, 0x50), "61 10"})}, {"00 C0 00 00 10", "6A 86"}});
}

TEST(GuardPages, ResetAnswerToReset) {
    const std::string atr = Seq(33, 0x3B); // the longest ATR ISO/IEC 7816-3 allows
    for (size_t room : {33, 10, 0}) {
        SCOPED_TRACE(room);
        CZUReader reader;
        auto transport = std::make_shared<ScriptedTransport>();
        transport->atr = FromHex(atr);
        ASSERT_EQ(1, ZUOpenTransport(reader, transport));
        CGuardedBuffer buffer(room);
        unsigned long atrLen = room;
        EXPECT_EQ(1, reader.Reset(buffer.Data(), &atrLen));
        EXPECT_EQ(Seq(room, 0x3B), ToHex(buffer.Contents()));
        EXPECT_EQ(room, atrLen);
    }
}

} // namespace
