// Malformed APDUs get ISO/IEC 7816-4 status words from every simulated
// device, with and without T=0 answering, and nothing the devices are sent
// crashes them or draws an answer longer than a short APDU's.
#include "ZUICRD.h"
#include "support/SimSteps.h"

#include <memory>
#include <random>

namespace {

const char* DEVICES[] = {"sim", "simsam", "simsb", "simsbsam", "sim:t0", "simsbsam:t0"};

TEST(SimMalformed, StatusWords) {
    struct {
        const char* name;
        std::string apdu;
        std::string sw;
    } cases[] = {
        {"empty", "", "67 00"},
        {"three bytes", "00 A4 00", "67 00"},
        {"Lc beyond the data", "00 A4 00 00 05 3F 00", "67 00"},
        {"Lc short of the data", "00 A4 00 00 01 3F 00 00", "67 00"},
        {"Lc 00 with data", "00 D6 00 00 00 01 02", "67 00"},
        {"unknown class", "A0 A4 00 00 02 3F 00", "6E 00"},
        {"ISO instruction in the proprietary class", "80 B0 00 00 01", "6E 00"},
        {"proprietary instruction in the ISO class", "00 E0 00 00 0A 00 00 00 00 00 00 00 00 00 00",
         "6E 00"},
        {"secure class for GET CHALLENGE", "04 84 00 00 08", "6E 00"},
        {"logical channel", "01 84 00 00 08", "68 81"},
        {"command chaining", "10 D6 00 00 01 00", "68 84"},
        {"unknown instruction", "00 CA 00 00 00", "6D 00"},
        {"unknown proprietary instruction", "80 12 00 00 00", "6D 00"},
        {"SELECT with P2 04", "00 A4 00 04 02 3F 00", "6A 86"},
        {"SELECT with P1 08", "00 A4 08 00 02 3F 00", "6A 86"},
        {"GET CHALLENGE with P1", "00 84 01 00 08", "6A 86"},
        {"GET CHALLENGE with data", "00 84 00 00 01 00", "67 00"},
        {"GET CHALLENGE without Le", "00 84 00 00", "67 00"},
        {"VERIFY with P1", "00 20 01 00 01 31", "6A 86"},
        {"CREATE with P1 05", "80 E0 05 00 07 00 10 01 00 20 00 00", "6A 86"},
        {"erase with P2", "80 0E 00 01 02 3F 00", "6A 86"},
        {"erase with three bytes", "80 0E 00 00 03 3F 00 00", "67 00"},
        {"key command with P1 01", "80 D8 01 00 01 00", "6A 86"},
        {"end of creation with data", "80 EA 00 10 01 00", "67 00"},
        {"case 4 READ BINARY", "00 B0 00 00 01 00 01", "67 00"},
    };
    // The longest case: header, Lc FF, 255 data bytes, Le and one more.
    std::string tooLong = "00 D6 00 00 FF";
    for (int i = 0; i < 257; ++i) {
        tooLong += " 00";
    }
    for (const char* device : DEVICES) {
        SCOPED_TRACE(device);
        std::unique_ptr<CZUSimDevice> card = ZUSimCreate(device);
        ASSERT_NE(nullptr, card);
        card->PowerOn();
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(c.sw, Send(*card, c.apdu));
        }
        EXPECT_EQ("67 00", Send(*card, tooLong));
        EXPECT_EQ("67 00", ToHex(card->Process(nullptr, 0)));
        EXPECT_EQ("67 00", ToHex(card->Process(nullptr, 5)));
    }
}

// Each device answers from its own rows of commands: the SAM's instructions
// are unknown on the card and in any class but the proprietary one; the
// social-security variants take authentication data of any length and create
// the answer-to-reset file with a body of its own.
TEST(SimMalformed, EachDeviceAnswersItsOwnCommands) {
    const std::string auth16 = " 10 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F";
    struct {
        const char* name;
        std::string apdu;
        const char* sw[4]; // sim, simsam, simsb, simsbsam
    } cases[] = {
        {"InitForDESCrypt", "80 1A 01 7F 00", {"6D 00", "6A 86", "6D 00", "6A 86"}},
        {"InitForDESCrypt, secure class", "84 1A 01 00 00", {"6D 00", "6D 00", "6D 00", "6D 00"}},
        {"DESCrypt, ISO class", "00 FA 00 00 00", {"6D 00", "6D 00", "6D 00", "6D 00"}},
        {"M1AuthAndKeyCalc", "80 FC 01 01 00", {"6D 00", "6A 86", "6D 00", "6A 86"}},
        {"ExportKey", "80 F6 01 02 01 00", {"6D 00", "6D 00", "6D 00", "67 00"}},
        {"ExportKey, ISO class", "00 F6 01 02 01 00", {"6D 00", "6D 00", "6D 00", "6D 00"}},
        {"InternalAuthentication, 16 bytes",
         "00 88 00 7F" + auth16,
         {"67 00", "67 00", "6A 88", "6A 88"}},
        {"ExternalAuthentication, 16 bytes",
         "00 82 00 7F" + auth16,
         {"67 00", "67 00", "6A 88", "6A 88"}},
        {"CreateATRFile", "80 E0 02 00 04 2F 01 00 AA", {"67 00", "67 00", "69 85", "67 00"}},
        {"CreateATRFile with P2",
         "80 E0 02 01 04 2F 01 00 AA",
         {"6A 86", "6A 86", "6A 86", "6A 86"}},
        {"GET RESPONSE", "00 C0 00 00 00", {"69 85", "69 85", "69 85", "69 85"}},
        {"GET RESPONSE, proprietary class", "80 C0 00 00 00", {"6E 00", "6E 00", "6E 00", "6E 00"}},
    };
    const char* devices[] = {"sim", "simsam", "simsb", "simsbsam"};
    for (int d = 0; d < 4; ++d) {
        SCOPED_TRACE(devices[d]);
        std::unique_ptr<CZUSimDevice> card = ZUSimCreate(devices[d]);
        ASSERT_NE(nullptr, card);
        card->PowerOn();
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(c.sw[d], Send(*card, c.apdu));
        }
    }
}

// The SAM's commands and the export refuse what they cannot compute with.
TEST(SimMalformed, SamCommands) {
    struct {
        const char* device;
        std::string apdu;
        std::string sw;
    } cases[] = {
        {"simsam", "80 FA 00 00 08 01 02 03 04 05 06 07 08", "69 85"}, // nothing prepared
        {"simsam", "80 1A 7E 00 00", "6A 88"},                         // no key 7E
        {"simsam", "80 1A 01 01 00", "6A 86"},                         // key 01 is no DES key
        {"simsam", "80 1A 01 00 04 01 02 03 04", "67 00"},
        {"simsam", "80 FA 00 01 08 01 02 03 04 05 06 07 08", "6A 86"},
        {"simsam", "80 FC 01 00 08 01 02 03 04 05 06 07 08", "67 00"},
        {"simsam", "80 FC 01 01 10 01 02 03 04 05 06 07 08 01 02 03 04 05 06 07 08", "6A 86"},
        {"simsam", "80 FC 03 00 10 01 02 03 04 05 06 07 08 01 02 03 04 05 06 07 08", "69 85"},
        {"simsam", "80 F6 01 02 00", "6D 00"}, // export is the social-security SAM's
        {"simsbsam", "80 F6 01 7E 00", "6A 88"},
        {"simsbsam", "80 F6 01 03 00", "69 85"}, // a single-DES key wraps nothing
        {"simsbsam", "80 F6 01 02 03 01 02 03", "67 00"},
        {"sim", "80 1A 01 00 00", "6D 00"},
        {"simsb", "80 FA 00 00 08 01 02 03 04 05 06 07 08", "6D 00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.device) + ": " + c.apdu);
        std::unique_ptr<CZUSimDevice> card = ZUSimCreate(c.device);
        card->PowerOn();
        EXPECT_EQ(c.sw, Send(*card, c.apdu));
    }
}

// Random APDUs of every length, with the classes and instructions the
// devices know mixed in: every answer is a status word of ISO/IEC 7816-4
// (61, 62, 63, 67 to 6F, 90) behind at most 256 data bytes.
TEST(SimMalformed, RandomInputNeverBreaksADevice) {
    std::mt19937 random(20240607);
    const unsigned char classes[] = {0x00, 0x04, 0x80, 0x84, 0x01, 0x10, 0xFF, 0xA0};
    const unsigned char instructions[] = {0xA4, 0xB0, 0xD6, 0xB2, 0xDC, 0xE2, 0x20, 0x84,
                                          0x88, 0x82, 0xC0, 0x5E, 0xD4, 0x0E, 0xD8, 0xE0,
                                          0xEA, 0x1A, 0xFA, 0xFC, 0xF6, 0x00, 0xCA};
    for (const char* device : DEVICES) {
        SCOPED_TRACE(device);
        std::unique_ptr<CZUSimDevice> card = ZUSimCreate(device);
        card->PowerOn();
        // A master file and a few files give the commands something to reach.
        for (const char* setup :
             {"80 E0 00 00 0A 00 00 00 00 00 00 00 00 00 00", "80 E0 02 00 07 00 01 05 00 04 00 00",
              "80 D4 00 00 07 00 08 03 31 32 33 34", "80 E0 02 00 07 00 02 01 00 40 00 00",
              "80 E0 02 00 07 00 03 13 04 10 00 00"}) {
            Send(*card, setup);
        }
        for (int i = 0; i < 20000; ++i) {
            size_t length = random() % 270;
            Bytes apdu(length);
            for (auto& b : apdu) {
                b = static_cast<unsigned char>(random());
            }
            if (length >= 2 && random() % 4 != 0) {
                apdu[0] = classes[random() % sizeof classes];
                apdu[1] = instructions[random() % sizeof instructions];
            }
            if (length >= 5 && random() % 2 == 0) {
                apdu[4] = static_cast<unsigned char>(length - 5 - (random() % 2)); // Lc that fits
            }
            if (random() % 500 == 0) {
                card->PowerOn();
            }
            std::vector<unsigned char> answer = card->Process(apdu.data(), apdu.size());
            ASSERT_GE(answer.size(), 2u) << ToHex(apdu);
            ASSERT_LE(answer.size(), static_cast<size_t>(ZU_MAX_ANSWER)) << ToHex(apdu);
            const unsigned char sw1 = answer[answer.size() - 2];
            ASSERT_TRUE(sw1 == 0x90 || sw1 == 0x61 || sw1 == 0x62 || sw1 == 0x63 ||
                        (sw1 >= 0x67 && sw1 <= 0x6F))
                << ToHex(apdu) << " -> " << ToHex(answer);
            if (sw1 != 0x90 && sw1 != 0x62) {
                ASSERT_EQ(2u, answer.size()) << "data with a refusal: " << ToHex(apdu);
            }
        }
    }
}

} // namespace
