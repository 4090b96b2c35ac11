// The simulated readers: names and options, the persistent devices, slots,
// T=0 answering (61 XX and GET RESPONSE, 6C XX and the command again),
// removal after N commands and the refused command, through the device and
// through the library's reader.
#include "ZUICAPI.h"
#include "support/SimSteps.h"

#include <memory>

namespace {

// Sends through the reader; returns the result, with the data and SW.
int Send(CZUReader& reader, const std::string& apduHex, std::string* data = nullptr) {
    Bytes apdu = FromHex(apduHex);
    Bytes resp(257, 0xEE);
    unsigned long length = 256;
    int result = reader.SendCommand(apdu.data(), apdu.size(), resp.data(), &length);
    if (data != nullptr) {
        *data = ToHex(resp.data(), length);
    }
    return result;
}

const char* MF = "80 E0 00 00 0A 00 00 01 02 03 04 05 06 07 08";
const char* EF = "80 E0 02 00 07 00 10 01 00 20 00 00";

TEST(SimReaders, Names) {
    ZUSimRegister();
    ZUSimRegister(); // idempotent
    struct {
        const char* name;
        int protocol;
        bool opens;
    } cases[] = {
        {"sim", ZU_PROTOCOL_ANY, true},
        {"simsam", ZU_PROTOCOL_ANY, true},
        {"simsb", ZU_PROTOCOL_T1, true},
        {"simsbsam", ZU_PROTOCOL_T0, true},
        {"sim:t0", ZU_PROTOCOL_ANY, true},
        {"sim:t0,remove=12", ZU_PROTOCOL_ANY, true},
        {"sim:remove=0,refuse=3", ZU_PROTOCOL_ANY, true},
        {"sim:t0", ZU_PROTOCOL_T1, false}, // T=0 answering is no T=1 card
        {"simx", ZU_PROTOCOL_ANY, false},
        {"sim:", ZU_PROTOCOL_ANY, false},
        {"sim:t1", ZU_PROTOCOL_ANY, false},
        {"sim:remove=", ZU_PROTOCOL_ANY, false},
        {"sim:remove=x", ZU_PROTOCOL_ANY, false},
        {"sim:refuse=0", ZU_PROTOCOL_ANY, false},
        {"sim:refuse=1234567890", ZU_PROTOCOL_ANY, false},
        {"sim:t0,", ZU_PROTOCOL_ANY, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CZUReader reader;
        EXPECT_EQ(c.opens ? 1 : 0, reader.Open(const_cast<char*>(c.name), c.protocol));
        const bool present = c.opens && std::string(c.name).find("remove=0") == std::string::npos;
        EXPECT_EQ(present ? 1 : 0, reader.IsCardExist());
    }
    // Fresh devices: every name but those with removal, which a device alone
    // cannot do.
    EXPECT_NE(nullptr, ZUSimCreate("simsbsam:t0,refuse=2"));
    EXPECT_EQ(nullptr, ZUSimCreate("sim:remove=3"));
    EXPECT_EQ(nullptr, ZUSimCreate("card"));
    EXPECT_EQ(nullptr, ZUSimCreate(nullptr));
}

TEST(SimReaders, PersistentDevicesAndSlots) {
    ZUSimRegister();
    ZUSimResetAll();
    {
        CZUReader reader;
        ASSERT_EQ(1, reader.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY));
        EXPECT_EQ(1, Send(reader, MF));
        EXPECT_EQ(1, Send(reader, EF));
        EXPECT_EQ(1, Send(reader, "00 D6 00 00 02 AB CD"));
    }
    // Another connection, with options, meets the same card.
    CZUReader reader;
    ASSERT_EQ(1, reader.Open(const_cast<char*>("sim:t0"), ZU_PROTOCOL_ANY));
    std::string data;
    EXPECT_EQ(1, Send(reader, "00 A4 02 0C 02 00 10"));
    EXPECT_EQ(1, Send(reader, "00 B0 00 00 02", &data));
    EXPECT_EQ("AB CD", data);
    // Slot 1 is the SAM: it knows 80 1A; slot 0 the card again.
    reader.ChangeSlot(1);
    EXPECT_EQ(1, reader.IsCardExist());
    EXPECT_EQ(1, Send(reader, "80 1A 01 00 00"));
    reader.ChangeSlot(0);
    EXPECT_EQ(0, Send(reader, "80 1A 01 00 00"));
    EXPECT_EQ(0x6D00, reader.GetSW());
    EXPECT_EQ(1, Send(reader, "00 A4 02 0C 02 00 10"));
    // No slot 2: the object is left unopened.
    CZUReader third;
    ASSERT_EQ(1, third.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY));
    third.ChangeSlot(2);
    EXPECT_EQ(0, third.IsCardExist());
    EXPECT_EQ(0, Send(third, "00 84 00 00 08"));

    // The social-security family's slots.
    CZUReader sb;
    ASSERT_EQ(1, sb.Open(const_cast<char*>("simsb"), ZU_PROTOCOL_ANY));
    sb.ChangeSlot(1);
    EXPECT_EQ(1, Send(sb, "80 F6 01 02 00", &data)); // export: the SB SAM's
    EXPECT_EQ(24u, FromHex(data).size());

    // Forgetting the devices: a blank card, yet the old connection keeps its.
    ZUSimResetAll();
    CZUReader fresh;
    ASSERT_EQ(1, fresh.Open(const_cast<char*>("sim"), ZU_PROTOCOL_ANY));
    EXPECT_EQ(0, Send(fresh, "00 A4 00 00 02 3F 00"));
    EXPECT_EQ(0x6A82, fresh.GetSW());
    // (Opening "sim" again above powered the one card on: select anew.)
    EXPECT_EQ(1, Send(reader, "00 A4 02 0C 02 00 10"));
    EXPECT_EQ(1, Send(reader, "00 B0 00 00 02", &data));
    EXPECT_EQ("AB CD", data);
    EXPECT_EQ(1, reader.Close());
    EXPECT_EQ(0, Send(reader, "00 B0 00 00 02"));
}

TEST(SimReaders, AnswerToReset) {
    ZUSimRegister();
    struct {
        const char* name;
        std::string atr;
    } cases[] = {
        // T=1 offered (TD1 = 01), the historical bytes, the check byte.
        {"sim", "3B 8A 01 5A 55 53 49 4D 2D 43 41 52 44 EA"},
        {"sim:t0", "3B 0A 5A 55 53 49 4D 2D 43 41 52 44"},
        {"simsbsam:t0", "3B 0B 5A 55 53 49 4D 2D 53 42 53 41 4D"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CZUReader reader;
        ASSERT_EQ(1, reader.Open(const_cast<char*>(c.name), ZU_PROTOCOL_ANY));
        unsigned char atr[40];
        unsigned long length = sizeof atr;
        ASSERT_EQ(1, reader.Reset(atr, &length));
        EXPECT_EQ(c.atr, ToHex(atr, length));
    }
}

// T=0 answering at the device: what each answer becomes.
TEST(SimT0, Answers) {
    std::unique_ptr<CZUSimDevice> card = ZUSimCreate("sim:t0");
    card->PowerOn();
    Play(*card,
         {
             {"00 C0 00 00 08", "69 85"}, // nothing waiting
             {MF, "90 00"},
             {EF, "90 00"},
             {"00 D6 00 00 04 01 02 03 04", "90 00"},
             // A command with data and an answer: 61 XX, then GET RESPONSE.
             {"00 A4 02 00 02 00 10", "61 1A"},
             {"00 C0 00 00 1B", "6C 1A"}, // one more than is waiting
             {"00 C0 00 00 10", "6F 18 83 02 00 10 82 01 01 80 02 00 20 88 01 10 61 0A"},
             {"00 C0 00 00 0A", "8A 01 01 85 05 01 00 20 00 00 90 00"},
             {"00 C0 00 00 08", "69 85"},
             // Le that does not fit: 6C XX, and the same command with it.
             {"00 B0 00 00 00", "6C 20"},
             {"00 B0 00 00 20",
              "01 02 03 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
              "00 00 00 00 90 00"},
             {"00 84 00 00 00", "6C 08"},
             // Another command in between drops what was waiting.
             {"00 A4 02 00 02 00 10", "61 1A"},
             {"00 B0 00 00 02", "01 02 90 00"},
             {"00 C0 00 00 1A", "69 85"},
             // Refusals pass unchanged, without data.
             {"00 A4 02 00 02 00 99", "6A 82"},
             {"00 B0 00 40 01", "6B 00"},
             {"80 EA 00 10 00", "90 00"},
         });
}

// Through the reader, the reader's GET RESPONSE is what T=0 answering
// takes: refusing the second command hits it.
TEST(SimT0, ThroughTheReader) {
    ZUSimRegister();
    CZUSAMIC t1, t0;
    ASSERT_EQ(1, t1.Open(const_cast<char*>("simsam:refuse=2"), ZU_PROTOCOL_ANY));
    ASSERT_EQ(1, t0.Open(const_cast<char*>("simsam:t0,refuse=3"), ZU_PROTOCOL_ANY));
    unsigned char data[8] = {0}, out[8];
    unsigned long outLength = sizeof out;
    // T=1: 80 1A, then 80 FA refused.
    EXPECT_EQ(1, t1.InitForDESCrypt(ZUSIM_SAM_MASTER_KEY_NUMBER, 0, nullptr, 0));
    EXPECT_EQ(0, t1.DESCrypt(0, data, 8, out, &outLength));
    EXPECT_EQ(0x6F00, t1.GetSW());
    // T=0: 80 1A, 80 FA (61 08), then its GET RESPONSE refused.
    EXPECT_EQ(1, t0.InitForDESCrypt(ZUSIM_SAM_MASTER_KEY_NUMBER, 0, nullptr, 0));
    EXPECT_EQ(0, t0.DESCrypt(0, data, 8, out, &outLength));
    EXPECT_EQ(0x6F00, t0.GetSW());
    EXPECT_EQ(1, t0.InitForDESCrypt(ZUSIM_SAM_MASTER_KEY_NUMBER, 0, nullptr, 0));
    outLength = sizeof out;
    EXPECT_EQ(1, t0.DESCrypt(0, data, 8, out, &outLength));
    EXPECT_EQ(8u, outLength);
}

TEST(SimFaults, RemovalAndRefusal) {
    ZUSimRegister();
    ZUSimResetAll();
    struct {
        const char* name;
        std::vector<int> results; // of GET CHALLENGE sent six times
        std::vector<int> present; // IsCardExist after each
    } cases[] = {
        {"sim:remove=3", {1, 1, 1, 0, 0, 0}, {1, 1, 0, 0, 0, 0}},
        {"sim:remove=0", {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}},
        {"sim:refuse=2", {1, 0, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1}},
        {"sim:refuse=2,remove=4", {1, 0, 1, 1, 0, 0}, {1, 1, 1, 0, 0, 0}},
        {"sim:t0,refuse=1", {0, 1, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CZUICAPI card;
        ASSERT_EQ(1, card.Open(const_cast<char*>(c.name), ZU_PROTOCOL_ANY));
        for (size_t i = 0; i < c.results.size(); ++i) {
            SCOPED_TRACE(i);
            unsigned char challenge[8];
            EXPECT_EQ(c.results[i], card.GenerateRandom(challenge, 8));
            if (c.results[i] == 0) {
                // A refusal keeps its status word; a removal leaves none.
                EXPECT_EQ(c.present[i] ? 0x6F00 : 0x0000, card.GetSW());
            }
            EXPECT_EQ(c.present[i], card.IsCardExist());
        }
    }
    // A card that left stays away for that connection, resets included.
    CZUICAPI card;
    ASSERT_EQ(1, card.Open(const_cast<char*>("sim:remove=1"), ZU_PROTOCOL_ANY));
    unsigned char atr[40];
    unsigned long atrLength = sizeof atr;
    EXPECT_EQ(1, card.Reset(atr, &atrLength));
    unsigned char challenge[8];
    EXPECT_EQ(1, card.GenerateRandom(challenge, 8));
    atrLength = sizeof atr;
    EXPECT_EQ(0, card.Reset(atr, &atrLength));
    EXPECT_EQ(0u, atrLength);
    card.ChangeSlot(1);
    EXPECT_EQ(0, card.IsCardExist());
}

} // namespace
