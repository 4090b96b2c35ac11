// CDESMac fails closed: once Init has refused a key it cannot hold, the
// engine absorbs nothing and gives no MAC until Final resets it, and that
// Final writes no MAC that anybody could compute. An engine that was never
// initialised keeps its documented behaviour.
#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

namespace {

const Bytes kKey16 = FromHex("0123456789ABCDEF FEDCBA9876543210");
const Bytes kKey24 = FromHex("0123456789ABCDEF FEDCBA9876543210 89ABCDEF01234567");
const Bytes kData = FromHex("84 D4 00 00 0C 11 22 33 44 55 66 77 88");

// The MAC that a zero key gives to the empty message, and the MAC of kData
// under kKey16 with no initial value.
std::string ZeroKeyEmptyMac() {
    return "95 F8 A5 E5";
}
std::string GoodMac() {
    CDESMac engine;
    engine.Init(kKey16.data(), 16, nullptr);
    EXPECT_EQ(1, engine.Update(kData.data(), kData.size()));
    unsigned char mac[4];
    engine.Final(mac);
    return ToHex(mac, 4);
}

} // namespace

TEST(MacRefusal, ARefusedEngineGivesNoMacUntilFinal) {
    const std::string good = GoodMac();
    ASSERT_NE(ZeroKeyEmptyMac(), good);
    struct {
        const char* name;
        bool absorbFirst; // a good Init and Update before the refused Init
        bool initAgain;   // a good Init after the refused one
    } cases[] = {
        {"a 24-byte key", false, false},
        {"after data under a good key", true, false},
        {"a good key given afterwards", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CDESMac engine;
        if (c.absorbFirst) {
            engine.Init(kKey16.data(), 16, nullptr);
            EXPECT_EQ(1, engine.Update(kData.data(), 5));
        }
        engine.Init(kKey24.data(), 24, nullptr);
        if (c.initAgain) {
            engine.Init(kKey16.data(), 16, nullptr);
        }
        EXPECT_EQ(0, engine.Update(kData.data(), kData.size()));
        unsigned char mac[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        engine.Final(mac);
        EXPECT_EQ("00 00 00 00 EE EE", ToHex(mac, 6));
        // Final ends the refusal: the engine works again.
        engine.Init(kKey16.data(), 16, nullptr);
        EXPECT_EQ(1, engine.Update(kData.data(), kData.size()));
        engine.Final(mac);
        EXPECT_EQ(good, ToHex(mac, 4));
    }
}

TEST(MacRefusal, AnEngineNeverInitialisedKeepsItsBehaviour) {
    CDESMac engine;
    EXPECT_EQ(0, engine.Update(kData.data(), kData.size()));
    unsigned char mac[4];
    engine.Final(mac);
    EXPECT_EQ(ZeroKeyEmptyMac(), ToHex(mac, 4));
}
