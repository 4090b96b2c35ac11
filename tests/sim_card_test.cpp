// The simulated general card's commands, APDU by APDU: the file system's
// life, binary and record access with their bounds, PINs, challenges,
// authentication, key loading and secure messaging, and the status words
// each refusal gets.
#include "ZUICSIM.h"
#include "support/SimSteps.h"

#include <memory>

namespace {

// The 8 challenge bytes of a GET CHALLENGE for Le = 4, zero-filled.
Bytes Challenge(CZUSimDevice& card, int le = 4) {
    Bytes apdu = {0x00, 0x84, 0x00, 0x00, static_cast<unsigned char>(le)};
    std::vector<unsigned char> answer = card.Process(apdu.data(), apdu.size());
    EXPECT_EQ(static_cast<size_t>(le) + 2, answer.size());
    Bytes challenge(answer.begin(), answer.end() - 2);
    challenge.resize(8, 0x00);
    return challenge;
}

// header (4 bytes) + Lc + data + MAC over header, Lc and data.
std::string Secured(const std::string& headerHex, const Bytes& data, const unsigned char* key,
                    const Bytes& challenge) {
    Bytes apdu = FromHex(headerHex);
    apdu.push_back(static_cast<unsigned char>(data.size() + 4));
    apdu.insert(apdu.end(), data.begin(), data.end());
    unsigned char iv[8] = {0};
    std::copy(challenge.begin(), challenge.begin() + 4, iv);
    CDESMac mac;
    mac.Init(key, 16, iv);
    mac.Update(apdu.data(), apdu.size());
    unsigned char out[4];
    mac.Final(out);
    apdu.insert(apdu.end(), out, out + 4);
    return ToHex(apdu);
}

// attr1 00, the first erase key, the serial number.
const std::string CREATE_MF = "80 E0 00 00 0A 00 01 20 24 00 00 00 00 12 34";
// The erase keys presented.
const std::string PRESENT_FIRST = "80 D8 02 00 10 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF";
const std::string PRESENT_SECOND = "80 D8 02 00 10 FF EE DD CC BB AA 99 88 77 66 55 44 33 22 11 00";

std::unique_ptr<CZUSimDevice> Blank() {
    std::unique_ptr<CZUSimDevice> card = ZUSimCreate("sim");
    card->PowerOn();
    return card;
}

TEST(SimCard, FileSystemLife) {
    auto card = Blank();
    Play(*card, {
                    {"00 A4 00 00 02 3F 00", "6A 82"},                // no master file yet
                    {"00 B0 00 00 04", "69 86"},                      // no current EF
                    {"80 E0 01 00 07 DF 01 00 00 41 42 43", "69 85"}, // nowhere to create it
                    {"80 0E 00 00 02 3F 00", "90 00"},                // nothing to erase
                    {CREATE_MF, "90 00"},
                    {CREATE_MF, "6A 89"},
                    {"80 E0 00 00 09 00 01 20 24 00 00 00 00 12", "67 00"},
                    {"80 E0 00 02 0A 00 01 20 24 00 00 00 00 12 34", "6A 86"},
                    // A binary file of 32 bytes, free both ways.
                    {"80 E0 02 00 07 00 10 01 00 20 00 00", "90 00"},
                    {"80 E0 02 00 07 00 10 01 00 20 00 00", "6A 89"},
                    {"80 E0 02 00 07 3F 00 01 00 20 00 00", "6A 80"},
                    {"80 E0 02 00 06 00 11 01 00 20 00", "67 00"},
                    {"80 E0 02 00 07 00 11 07 00 20 00 00", "6A 80"}, // no such type
                    {"80 E0 02 00 07 00 11 01 80 00 00 00", "6A 80"}, // 32 KiB is too big
                    {"80 E0 02 00 07 00 11 01 00 00 00 00", "6A 80"}, // nor is nothing
                    {"00 A4 02 00 02 00 10", "6F 18 83 02 00 10 82 01 01 80 02 00 20 88 01 10 8A "
                                             "01 01 85 05 01 00 20 00 00 90 00"},
                    {"00 A4 02 0C 02 00 10", "90 00"},
                    {"00 A4 02 00 02 00 99", "6A 82"},
                    {"00 A4 02 00 03 00 10 00", "67 00"},
                    {"00 A4 00 00 02 3F 00",
                     "6F 16 83 02 3F 00 82 01 38 8A 01 01 85 0A 00 01 20 24 00 00 00 00 12 34 90 "
                     "00"},
                    {"00 A4 00 00 02 00 10", "* 90 00"},
                    // Within the file, at its end and past it.
                    {"00 D6 00 00 04 01 02 03 04", "90 00"},
                    {"00 B0 00 00 04", "01 02 03 04 90 00"},
                    {"00 B0 00 02 03", "03 04 00 90 00"},
                    {"00 B0 00 1E 04", "6C 02"},
                    {"00 B0 00 1E 02", "00 00 90 00"},
                    {"00 B0 00 20 01", "6B 00"},
                    {"00 B0 7F 00 01", "6B 00"},
                    {"00 D6 00 1F 02 AA BB", "6A 84"},
                    {"00 D6 00 20 01 AA", "6B 00"},
                    {"00 D6 00 00 00", "67 00"},
                    {"00 B0 00 00", "67 00"},
                    {"00 B0 00 1C 00", "00 00 00 00 90 00"}, // Le 00: what there is
                    // By short identifier (P1 100 and the SFI 10): the file becomes current.
                    {"00 B0 90 01 02", "02 03 90 00"},
                    {"00 B0 91 00 02", "6A 82"},
                    {"00 B0 C0 00 02", "6A 86"},
                    {"00 D6 90 1E 02 EE FF", "90 00"},
                    {"00 B0 00 1E 02", "EE FF 90 00"},
                    // Ending creation: once.
                    {"80 EA 00 10 00", "90 00"},
                    {"80 EA 00 10 00", "69 85"},
                    {"80 EA 00 77 00", "6A 82"},
                    {"80 EA 00 10 01", "67 00"},
                    {"00 A4 02 00 02 00 10", "6F 18 83 02 00 10 82 01 01 80 02 00 20 88 01 10 8A "
                                             "01 05 85 05 01 00 20 00 00 90 00"},
                    // A directory with a name, selected by name and by identifier.
                    {"80 E0 01 00 09 DF 01 11 22 41 42 43 44 45", "90 00"},
                    {"80 E0 01 00 09 DF 02 11 22 41 42 43 44 45", "6A 89"}, // the name is taken
                    {"80 E0 01 00 04 DF 03 11 22", "67 00"},
                    {"00 A4 00 00 02 3F 00", "* 90 00"},
                    {"00 A4 04 00 05 41 42 43 44 45",
                     "6F 15 83 02 DF 01 84 05 41 42 43 44 45 82 01 38 8A 01 01 85 02 11 22 90 00"},
                    {"00 A4 04 00 04 41 42 43 44", "6A 82"},
                    {"00 A4 03 00", "* 90 00"}, // back to the parent
                    {"00 A4 01 00 02 DF 01", "* 90 00"},
                    {"00 A4 01 00 02 00 10", "6A 82"},   // not a DF
                    {"00 A4 00 00 02 00 10", "* 90 00"}, // in the parent, by identifier
                    // Erasing an existing master file takes its erase key first.
                    {"80 0E 00 00 02 3F 00", "69 82"},
                    {PRESENT_SECOND, "63 00"},
                    {"80 D8 02 00 0F 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE", "67 00"},
                    {PRESENT_FIRST, "90 00"},
                    {"80 0E 00 00 02 DF 01", "6A 80"},
                    {"80 0E 00 00 02 3F 00", "90 00"},
                    {"00 A4 00 00 02 3F 00", "6A 82"},
                    {"00 A4 04 00 05 41 42 43 44 45", "6A 82"},
                });
}

TEST(SimCard, EraseKeyChoiceAndPowerCycle) {
    // The master file's second byte names the erase key: 01, 02, or 00 for either.
    struct {
        const char *attr2, *first, *second;
    } cases[] = {{"01", "90 00", "63 00"}, {"02", "63 00", "90 00"}, {"00", "90 00", "90 00"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attr2);
        auto card = Blank();
        Play(*card,
             {{std::string("80 E0 00 00 0A 00 ") + c.attr2 + " 00 00 00 00 00 00 00 00", "90 00"},
              {PRESENT_FIRST, c.first},
              {PRESENT_SECOND, c.second}});
        card->PowerOn(); // a reset forgets the key: the erase is refused again
        EXPECT_EQ("69 82", Send(*card, "80 0E 00 00 02 3F 00"));
    }
}

const unsigned char KEY1[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};
const unsigned char KEY2[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                                0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7};

// A master file holding a key file with PIN 0 (1234, 3 tries), key 1 (external
// authentication, two tries), key 2 (secure messaging), key 3 (KEY1 for
// internal authentication) and key 4 (KEY2 for external authentication, no
// counter), and one file for each access condition.
// A key file's size in the FCI is the room its records take on the card (19
// bytes each); a DF name may have 16 bytes, and SELECT by name takes them.
TEST(SimCard, SelectShowsKeyFileRoomAndTakesTheLongestName) {
    auto card = Blank();
    Play(*card, {
                    {CREATE_MF, "90 00"},
                    {"80 E0 02 00 07 00 01 05 00 08 FF 00", "90 00"},
                    {"00 A4 02 00 02 00 01", "6F 18 83 02 00 01 82 01 09 80 02 00 98 88 01 01 8A "
                                             "01 01 85 05 05 00 08 FF 00 90 00"},
                    {"80 E0 01 00 14 DF 01 00 00 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50",
                     "90 00"},
                    {"00 A4 03 00", "* 90 00"},
                    {"00 A4 04 0C 10 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50", "90 00"},
                    {"00 A4 04 0C 11 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51", "67 00"},
                });
}

std::unique_ptr<CZUSimDevice> Issued() {
    auto card = Blank();
    Play(*card, {{CREATE_MF, "90 00"},
                 {"80 E0 02 00 07 00 01 05 00 08 FF 00", "90 00"},
                 {"80 D4 00 00 07 00 08 03 31 32 33 34", "90 00"},
                 {"80 D4 00 00 13 01 22 02 " + ToHex(KEY1, 16), "90 00"},
                 {"80 D4 00 00 13 02 32 00 " + ToHex(KEY2, 16), "90 00"},
                 {"80 D4 00 00 13 03 12 00 " + ToHex(KEY1, 16), "90 00"},
                 {"80 D4 00 00 13 04 22 00 " + ToHex(KEY2, 16), "90 00"},
                 {"80 EA 00 01 00", "90 00"},
                 // 0A: read after PIN 0; 0B: written after key 1; 0C: never
                 // written; 0D: written under secure messaging with key 2.
                 {"80 E0 02 00 07 00 0A 01 00 10 10 00", "90 00"},
                 {"80 EA 00 0A 00", "90 00"},
                 {"80 E0 02 00 07 00 0B 01 00 10 00 21", "90 00"},
                 {"80 EA 00 0B 00", "90 00"},
                 {"80 E0 02 00 07 00 0C 01 00 10 00 FF", "90 00"},
                 {"80 EA 00 0C 00", "90 00"},
                 {"80 E0 02 00 07 00 0D 01 00 10 00 32", "90 00"},
                 {"80 EA 00 0D 00", "90 00"},
                 {"80 EA 3F 00 00", "90 00"}});
    return card;
}

TEST(SimCard, AccessConditionsAndPin) {
    auto card = Issued();
    Play(*card, {
                    {"00 A4 02 00 02 00 0A", "* 90 00"},
                    {"00 D6 00 00 01 AA", "90 00"}, // writing is free
                    {"00 B0 00 00 01", "69 82"},    // reading needs the PIN
                    {"00 20 00 00 00", "63 C3"},    // how many tries are left
                    {"00 20 00 00 04 31 31 31 31", "63 C2"},
                    {"00 20 00 00 03 31 32 33", "63 C1"},
                    {"00 20 00 00 04 31 32 33 34", "90 00"},
                    {"00 20 00 00 00", "90 00"},
                    {"00 B0 00 00 01", "AA 90 00"},
                    {"00 20 00 01 04 31 32 33 34", "6A 88"}, // no PIN 1
                    {"00 20 00 00 00", "90 00"},
                    // A wrong try takes the verification back.
                    {"00 20 00 00 04 39 39 39 39", "63 C2"},
                    {"00 B0 00 00 01", "69 82"},
                    // CHANGE PIN: old, FF, new.
                    {"80 5E 01 00 09 31 32 33 34 FF 35 36 37 38", "90 00"},
                    {"00 B0 00 00 01", "AA 90 00"},
                    {"80 5E 01 00 09 31 32 33 34 FF 35 36 37 38", "63 C2"},
                    {"80 5E 01 00 04 35 36 37 38", "6A 80"},    // no separator
                    {"80 5E 01 00 05 35 36 37 38 FF", "6A 80"}, // no new PIN
                    {"80 5E 02 00 09 35 36 37 38 FF 31 32 33 34", "6A 86"},
                    {"00 20 00 00 04 35 36 37 38", "90 00"},
                    // Into the blocked state.
                    {"00 20 00 00 01 30", "63 C2"},
                    {"00 20 00 00 01 30", "63 C1"},
                    {"00 20 00 00 01 30", "63 C0"},
                    {"00 20 00 00 04 35 36 37 38", "69 83"},
                    {"00 20 00 00 00", "69 83"},
                    {"80 5E 01 00 09 35 36 37 38 FF 31 32 33 34", "69 83"},
                    {"00 B0 00 00 01", "69 82"},
                    // Never, and secure messaging only.
                    {"00 A4 02 00 02 00 0C", "* 90 00"},
                    {"00 D6 00 00 01 AA", "69 86"},
                    {"00 B0 00 00 01", "00 90 00"},
                    {"00 A4 02 00 02 00 0D", "* 90 00"},
                    {"00 D6 00 00 01 AA", "69 82"},
                    // Key files are not read.
                    {"00 A4 02 00 02 00 01", "* 90 00"},
                    {"00 B0 00 00 01", "69 81"},
                    {"00 B2 01 04 01", "69 81"},
                    // Plain key writes into the ended key file need its condition (00).
                    {"80 D4 00 00 07 05 08 03 31 32 33 34", "90 00"},
                    {"80 D4 00 00 07 06 08 00 31 32 33 34", "6A 80"}, // a PIN without tries
                    {"80 D4 00 00 07 06 09 03 31 32 33 34", "6A 80"}, // no such kind
                    {"80 D4 00 00 0A 06 01 00 01 02 03 04 05 06 07", "6A 80"}, // 7-byte DES key
                    {"80 D4 01 00 07 06 08 03 31 32 33 34", "6A 86"},
                    {"80 D4 00 00 00", "67 00"},
                });
}

TEST(SimCard, AuthenticationAndChallenge) {
    auto card = Issued();
    // INTERNAL AUTHENTICATE: the 8 bytes under the key P2 names.
    const std::string block = "01 02 03 04 05 06 07 08";
    Play(*card, {{"00 88 00 03 08 " + block, ToHex(Tdes(KEY1, FromHex(block))) + " 90 00"},
                 {"00 88 00 07 08 " + block, "6A 88"},
                 {"00 88 00 03 07 01 02 03 04 05 06 07", "67 00"},
                 {"00 88 00 03 09 " + block + " 09", "67 00"},
                 {"00 88 01 03 08 " + block, "6A 86"},
                 // GET CHALLENGE: 1 to 8 bytes, Le 00 gives 8.
                 {"00 84 00 00 04", "* 90 00"},
                 {"00 84 00 00 09", "6C 08"}});
    EXPECT_EQ(10u, FromHex(Send(*card, "00 84 00 00 00")).size());
    EXPECT_NE(Challenge(*card, 8), Challenge(*card, 8));

    // EXTERNAL AUTHENTICATE: the last challenge, zero-filled, under key P2;
    // a challenge serves once; key 1 allows two failures.
    card->PowerOn(); // a reset forgets the challenge
    EXPECT_EQ("69 85", Send(*card, "00 82 00 01 08 00 00 00 00 00 00 00 00"));
    std::string cryptogram = ToHex(Tdes(KEY1, Challenge(*card, 4)));
    auto external = [&](const std::string& p2Lc, bool freshChallenge) {
        if (freshChallenge) {
            Challenge(*card);
        }
        return Send(*card, "00 82 00 " + p2Lc + " " + cryptogram);
    };
    EXPECT_EQ("90 00", external("01 08", false));
    EXPECT_EQ("69 85", external("01 08", false));
    // Key 1 satisfies the write condition of file 0B now; a failure takes it back.
    Play(*card, {{"00 A4 02 00 02 00 0B", "* 90 00"}, {"00 D6 00 00 01 5A", "90 00"}});
    EXPECT_EQ("63 C1", external("01 08", true));
    EXPECT_EQ("69 82", Send(*card, "00 D6 00 00 01 5A"));
    cryptogram = ToHex(Tdes(KEY1, Challenge(*card, 8)));
    EXPECT_EQ("90 00", external("01 08", false)); // the counter starts again
    for (const char* sw : {"63 C1", "63 C0", "69 83"}) {
        EXPECT_EQ(sw, external("01 08", true));
    }
    EXPECT_EQ("69 83", Send(*card, "00 88 00 01 08 " + block));
    // Key 4 has no counter: a wrong cryptogram gets 63 00.
    EXPECT_EQ("63 00", external("04 08", true));
    EXPECT_EQ("67 00", external("04 10 " + cryptogram, false));
}

TEST(SimCard, SecureMessagingWrites) {
    auto card = Issued();
    Play(*card, {{"00 A4 02 00 02 00 0D", "* 90 00"}});
    const Bytes data = FromHex("01 02 03 04 05"), other = FromHex("0A 0B 0C 0D 0E");
    auto contents = [&] { return Send(*card, "00 B0 00 00 05"); };
    // Without a challenge asked for; under the file's key; the same command
    // again; under another key.
    EXPECT_EQ("69 85", Send(*card, Secured("04 D6 00 00", data, KEY2, Bytes(8, 0))));
    EXPECT_EQ("00 00 00 00 00 90 00", contents());
    const std::string good = Secured("04 D6 00 00", data, KEY2, Challenge(*card));
    EXPECT_EQ("90 00", Send(*card, good));
    EXPECT_EQ("01 02 03 04 05 90 00", contents());
    EXPECT_EQ("69 85", Send(*card, good));
    EXPECT_EQ("69 88", Send(*card, Secured("04 D6 00 00", other, KEY1, Challenge(*card))));
    EXPECT_EQ("01 02 03 04 05 90 00", contents());
    // The MAC covers the header too: changing the offset after the fact fails.
    std::string moved = Secured("04 D6 00 00", other, KEY2, Challenge(*card));
    moved[10] = '1'; // P2 00 -> 01
    EXPECT_EQ("69 88", Send(*card, moved));
    // Past the end with a right MAC: refused by the bounds.
    EXPECT_EQ("6A 84", Send(*card, Secured("04 D6 00 0E", other, KEY2, Challenge(*card))));
    EXPECT_EQ("67 00", Send(*card, "04 D6 00 00 03 01 02 03"));
    EXPECT_EQ("6E 00", Send(*card, "04 B0 00 00 01")); // CLA 04 is no class for reading

    // Records under secure messaging: 04 DC.
    Play(*card, {{"00 A4 00 00 02 3F 00", "* 90 00"},
                 {"80 E0 02 00 07 00 0E 02 02 04 00 32", "90 00"},
                 {"00 E2 00 00 04 00 00 00 00", "90 00"},
                 {"80 EA 00 0E 00", "90 00"},
                 {"00 DC 01 04 04 01 02 03 04", "69 82"}});
    const Bytes record = FromHex("01 02 03 04");
    EXPECT_EQ("69 88", Send(*card, Secured("04 DC 01 04", record, KEY1, Challenge(*card))));
    EXPECT_EQ("00 00 00 00 90 00", Send(*card, "00 B2 01 04 04"));
    EXPECT_EQ("90 00", Send(*card, Secured("04 DC 01 04", record, KEY2, Challenge(*card))));
    EXPECT_EQ("01 02 03 04 90 00", Send(*card, "00 B2 01 04 04"));
}

// WRITE KEY under secure messaging: the record (key 7) behind its length
// byte, padded, encrypted and MACed under the loading key.
TEST(SimCard, SecureKeyLoading) {
    auto card = Issued();
    Play(*card, {{"00 A4 02 00 02 00 01", "* 90 00"}});
    const Bytes good = FromHex("13 07 02 00 " + ToHex(KEY2, 16) + " 80 00 00 00");
    Bytes badLength = good, badPadding = good, extraBlock = good;
    badLength[0] = 0x14; // says 20 bytes
    badPadding[23] = 0x01;
    extraBlock.resize(32, 0x00);
    const unsigned char* loading = ZUSIM_KEY_LOADING_KEY;
    struct {
        const char* name;
        Bytes plain;
        const unsigned char* macKey;
        std::string sw;
    } cases[] = {
        {"well formed", good, loading, "90 00"},
        {"MAC under another key", good, KEY1, "69 88"},
        {"length byte wrong", badLength, loading, "6A 80"},
        {"padding wrong", badPadding, loading, "6A 80"},
        {"a whole block of padding too many", extraBlock, loading, "6A 80"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes wrapped = Tdes(loading, c.plain);
        EXPECT_EQ(c.sw, Send(*card, Secured("84 D4 00 00", wrapped, c.macKey, Challenge(*card))));
    }
    EXPECT_EQ("67 00", Send(*card, "84 D4 00 00 0A 01 02 03 04 05 06 07 08 09 0A"));
    // Key 7 is the loaded one: it authenticates.
    const std::string block = "08 07 06 05 04 03 02 01";
    EXPECT_EQ(ToHex(Tdes(KEY2, FromHex(block))) + " 90 00", Send(*card, "00 88 00 07 08 " + block));
}

TEST(SimCard, Records) {
    auto card = Blank();
    Play(*card,
         {
             {CREATE_MF, "90 00"},
             // Fixed: 3 records of 4 bytes, SFI 1.
             {"80 E0 02 00 07 00 21 0A 03 04 00 00", "90 00"},
             {"00 E2 00 00 03 01 02 03", "67 00"},
             {"00 E2 00 00 04 01 01 01 01", "90 00"},
             {"00 E2 00 00 04 02 02 02 02", "90 00"},
             {"00 E2 00 00 04 03 03 03 03", "90 00"},
             {"00 E2 00 00 04 04 04 04 04", "6A 84"},
             {"00 B2 02 04 04", "02 02 02 02 90 00"},
             {"00 B2 02 04 08", "6C 04"},
             {"00 B2 02 04 00", "02 02 02 02 90 00"},
             {"00 B2 04 04 04", "6A 83"},
             {"00 B2 00 04 04", "03 03 03 03 90 00"}, // the current record: the last appended
             {"00 DC 02 04 04 0B 0B 0B 0B", "90 00"},
             {"00 DC 02 04 02 0B 0B", "67 00"},
             {"00 DC 05 04 04 0B 0B 0B 0B", "6A 83"},
             {"00 B2 00 00 04", "01 01 01 01 90 00"}, // first
             {"00 B2 00 02 04", "0B 0B 0B 0B 90 00"}, // next
             {"00 B2 00 02 04", "03 03 03 03 90 00"},
             {"00 B2 00 02 04", "6A 83"},
             {"00 B2 00 01 04", "03 03 03 03 90 00"}, // last
             {"00 B2 00 03 04", "0B 0B 0B 0B 90 00"}, // previous
             {"00 B2 01 00 04", "6A 86"},             // first takes no number
             {"00 B2 01 05 04", "6A 86"},
             {"00 B0 00 00 04", "69 81"},
             {"00 B2 01 04", "67 00"},
             // Variable: up to 2 records of up to 6 bytes, SFI 2; by SFI
             // from another current file.
             {"80 E0 02 00 07 00 22 13 02 06 00 00", "90 00"},
             {"00 A4 02 00 02 00 21", "* 90 00"},
             {"00 E2 00 10 02 AA BB", "90 00"},
             {"00 E2 00 10 07 01 02 03 04 05 06 07", "67 00"},
             {"00 E2 00 11 02 AA BB", "6A 86"},
             {"00 B2 01 14 02", "AA BB 90 00"},
             {"00 B2 01 0C 04", "01 01 01 01 90 00"}, // SFI 1: the fixed file
             {"00 B2 01 2C 04", "6A 82"},             // SFI 5: none
             {"00 B2 01 FC 04", "6A 86"},             // SFI 31 is reserved
             {"00 DC 01 14 06 01 02 03 04 05 06", "90 00"},
             {"00 B2 01 14 00", "01 02 03 04 05 06 90 00"},
             // Cyclic: 2 records of 2 bytes; the newest is record 1.
             {"80 E0 02 00 07 00 23 1C 02 02 00 00", "90 00"},
             {"00 E2 00 00 02 01 01", "90 00"},
             {"00 E2 00 00 02 02 02", "90 00"},
             {"00 E2 00 00 02 03 03", "90 00"},
             {"00 B2 01 04 02", "03 03 90 00"},
             {"00 B2 02 04 02", "02 02 90 00"},
             {"00 B2 03 04 02", "6A 83"},
             // Tag-and-length records are the social-security card's.
             {"80 E0 02 00 07 00 24 26 02 06 00 00", "6A 80"},
         });
}

} // namespace
