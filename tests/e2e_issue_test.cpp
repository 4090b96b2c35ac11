// Issuing a card from blank through the library's classes, against the
// simulated card and SAM in process (plainly and with T=0 answering) and,
// when ZUIC_E2E_PCSC_CARD (and ZUIC_E2E_PCSC_SAM) name PC/SC readers, through
// those. Then the same card losing contact in the middle of the work.
#include "ZUICAPI.h"
#include "sim/ZUSim.h"
#include "ZUICSIM.h"
#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct Readers {
    std::string label;
    std::string card;
    std::string sam;     // empty: no SAM to talk to
    bool inProcess;      // blank devices can be had, cards can be made to leave
    std::string options; // in process: the connection's options
};

void PrintTo(const Readers& readers, std::ostream* out) {
    *out << readers.card << " / " << readers.sam;
}

std::vector<Readers> AllReaders() {
    std::vector<Readers> all = {
        {"InProcess", "sim", "simsam", true, ""},
        {"InProcessT0", "sim:t0", "simsam:t0", true, "t0"},
    };
    const char* card = std::getenv("ZUIC_E2E_PCSC_CARD");
    const char* sam = std::getenv("ZUIC_E2E_PCSC_SAM");
    if (card != nullptr && *card != '\0') {
        all.push_back({"PCSC", card, sam != nullptr ? sam : "", false, ""});
    }
    return all;
}

const unsigned char MF[2] = {0x3F, 0x00};
const unsigned char KEYS[2] = {0x00, 0x01};
const unsigned char APP[2] = {0xDF, 0x01};
const unsigned char BIN[2] = {0x01, 0x01};
const unsigned char RECS[2] = {0x01, 0x02};
const unsigned char APP_NAME[] = "ZUSIM.APP1"; // 10 bytes and the terminator
const size_t APP_NAME_LENGTH = 10;

const unsigned char AUTH_KEY[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                    0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};
const unsigned char SM_KEY[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                                  0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7};
const unsigned char LOADED_KEY[16] = {0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78,
                                      0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0};
const unsigned char AUTH_KEY_NO = 0x01, SM_KEY_NO = 0x02, LOADED_KEY_NO = 0x03;
const unsigned char SAM_LOADED_KEY_NO = 0x10;
const size_t FILE_SIZE = 1024;
const size_t WRITTEN = 600;

Bytes Pattern(size_t length, unsigned seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 7 + seed) & 0xFF);
    }
    return bytes;
}

Bytes Encrypt(const unsigned char* key, const unsigned char* block) {
    Bytes out(8);
    CTDES2Encryptor(key).ProcessBlocks(block, out.data(), 8);
    return out;
}

unsigned char* U(const unsigned char* p) {
    return const_cast<unsigned char*>(p);
}

class E2EIssue : public ::testing::TestWithParam<Readers> {
  protected:
    void SetUp() override {
        ZUSimRegister();
        if (GetParam().inProcess) {
            ZUSimResetAll();
        }
        ASSERT_EQ(1, card.Open(const_cast<char*>(GetParam().card.c_str()), ZU_PROTOCOL_ANY))
            << "no card in " << GetParam().card;
        if (!GetParam().sam.empty()) {
            ASSERT_EQ(1, sam.Open(const_cast<char*>(GetParam().sam.c_str()), ZU_PROTOCOL_ANY));
        }
    }

    // The card from blank: erase, master file, key file with PIN and keys,
    // an application with a binary and a record file, every creation ended.
    void Issue() {
        ASSERT_EQ(1, card.EraseMF());
        unsigned char serial[8] = {0x20, 0x24, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34};
        // Creating files in the MF needs nothing; it takes the second erase key.
        ASSERT_EQ(1, card.CreateMF(ZUSIM_AC_FREE, 0x02, serial));
        ASSERT_EQ(1,
                  card.CreateEF(U(KEYS), ZUSIM_EF_KEYS, 0x00, 8, ZUSIM_AC_NEVER, ZUSIM_AC_PIN | 0));
        Bytes pin{0x00, ZUSIM_KEY_PIN, 3, '1', '2', '3', '4'};
        ASSERT_EQ(1, card.WriteKey(0x00, pin.data(), pin.size()));
        Bytes auth = ZUSimTdes2KeyRecord(AUTH_KEY_NO, AUTH_KEY, ZUSIM_USE_EXTERNAL_AUTH);
        ASSERT_EQ(1, card.WriteKey(0x00, auth.data(), auth.size()));
        Bytes sm = ZUSimTdes2KeyRecord(SM_KEY_NO, SM_KEY);
        ASSERT_EQ(1, card.WriteKey(0x00, sm.data(), sm.size()));
        // One key under secure messaging, as a SAM would be loaded.
        CZUSAMIC asLoader(&card);
        Bytes loaded = ZUSimTdes2KeyRecord(LOADED_KEY_NO, LOADED_KEY);
        ASSERT_EQ(1, WriteSAMKeyWithSoftwareCalc(&asLoader, U(ZUSIM_KEY_LOADING_KEY), loaded.data(),
                                                 loaded.size()));
        ASSERT_EQ(1, card.CreateEnd(U(KEYS)));

        ASSERT_EQ(1, card.CreateADF(U(APP), ZUSIM_AC_FREE, 0x00, U(APP_NAME), APP_NAME_LENGTH));
        // Binary file, short identifier 1: read after the PIN, written only
        // under secure messaging with key 2.
        ASSERT_EQ(1, card.CreateEF(U(BIN), (1 << 3) | ZUSIM_EF_BINARY, FILE_SIZE >> 8,
                                   FILE_SIZE & 0xFF, ZUSIM_AC_PIN | 0, ZUSIM_AC_SM | SM_KEY_NO));
        ASSERT_EQ(1, card.CreateEnd(U(BIN)));
        // Variable records, short identifier 2, free.
        ASSERT_EQ(1, card.CreateEF(U(RECS), (2 << 3) | ZUSIM_EF_VARIABLE, 5, 32, ZUSIM_AC_FREE,
                                   ZUSIM_AC_FREE));
        ASSERT_EQ(1, card.CreateEnd(U(RECS)));
        ASSERT_EQ(1, card.CreateEnd(U(APP)));
        ASSERT_EQ(1, card.SelectDF(U(MF), nullptr, nullptr));
        ASSERT_EQ(1, card.CreateEnd(U(MF)));
    }

    // Selects the application by name and the binary file in it.
    void SelectBinary() {
        unsigned char fci[64];
        unsigned long fciLength = sizeof fci;
        ASSERT_EQ(1, card.SelectDF(U(APP_NAME), APP_NAME_LENGTH, fci, &fciLength));
        ASSERT_GE(fciLength, 2u);
        EXPECT_EQ(0x6F, fci[0]);
        EXPECT_EQ(fciLength - 2, fci[1]);
        ASSERT_EQ(1, card.SelectEF(U(BIN), nullptr, nullptr));
    }

    int Verify(const char* pin, int* tries) {
        return card.VerifyPin(reinterpret_cast<unsigned char*>(const_cast<char*>(pin)),
                              std::strlen(pin), *tries);
    }

    // Writes `data` in pieces of 200 bytes with software MACs.
    int WriteSecurely(const Bytes& data, const unsigned char* key) {
        for (size_t at = 0; at < data.size(); at += 200) {
            size_t n = data.size() - at < 200 ? data.size() - at : 200;
            if (UpdateBinaryWithSoftwareMac(&card, U(key), const_cast<unsigned char*>(&data[at]), n,
                                            at) != 1) {
                return 0;
            }
        }
        return 1;
    }

    CZUICAPI card;
    CZUSAMIC sam;
};

TEST_P(E2EIssue, IssueFromBlank) {
    Issue();
    if (HasFatalFailure()) {
        return;
    }
    // Erasing an issued card takes the erase key that its MF names.
    ASSERT_EQ(1, card.EraseMF());
    Issue();
    if (HasFatalFailure()) {
        return;
    }
    SelectBinary();

    // PIN: a wrong try, the right one, a change.
    int tries = 99;
    EXPECT_EQ(0, Verify("9999", &tries));
    EXPECT_EQ(2, tries);
    EXPECT_EQ(0x63C2, card.GetSW());
    EXPECT_EQ(1, Verify("1234", &tries));
    unsigned char oldPin[] = {'1', '2', '3', '4'}, newPin[] = {'5', '6', '7', '8'};
    EXPECT_EQ(1, card.ChangePin(oldPin, 4, newPin, 4));

    // The binary file takes writes under secure messaging only.
    Bytes data = Pattern(WRITTEN, 3);
    EXPECT_EQ(0, card.UpdateBinaryFile(data.data(), 16, 0));
    EXPECT_EQ(0x6982, card.GetSW());
    ASSERT_EQ(1, WriteSecurely(data, SM_KEY));
    Bytes back(WRITTEN, 0xEE);
    ASSERT_EQ(1, card.ReadBinaryFile(back.data(), WRITTEN, 0));
    EXPECT_EQ(ToHex(data), ToHex(back));
    // The rest of the file is still blank; reading past its end is refused.
    Bytes tail(FILE_SIZE - WRITTEN, 0xEE);
    ASSERT_EQ(1, card.ReadBinaryFile(tail.data(), tail.size(), WRITTEN));
    EXPECT_EQ(ToHex(Bytes(tail.size(), 0)), ToHex(tail));
    EXPECT_EQ(0, card.ReadBinaryFile(tail.data(), 16, FILE_SIZE - 8));

    // A MAC under the wrong key: refused, the file keeps its bytes.
    Bytes other = Pattern(64, 99);
    EXPECT_EQ(0, UpdateBinaryWithSoftwareMac(&card, U(AUTH_KEY), other.data(), other.size(), 0));
    EXPECT_EQ(0x6988, card.GetSW());
    ASSERT_EQ(1, card.ReadBinaryFile(back.data(), WRITTEN, 0));
    EXPECT_EQ(ToHex(data), ToHex(back));

    // Records in the application: append, update, read by number.
    unsigned char recs[2] = {RECS[0], RECS[1]};
    ASSERT_EQ(1, card.SelectEF(recs, nullptr, nullptr));
    Bytes r1 = Pattern(10, 1), r2 = Pattern(20, 2), r1b = Pattern(12, 5);
    EXPECT_EQ(1, card.AppendRecord(r1.data(), r1.size()));
    EXPECT_EQ(1, card.AppendRecord(r2.data(), r2.size()));
    EXPECT_EQ(1, card.UpdateRecord(1, r1b.data(), r1b.size()));
    Bytes got(20, 0xEE);
    EXPECT_EQ(1, card.ReadRecord(2, 20, got.data()));
    EXPECT_EQ(ToHex(r2), ToHex(got));
    got.assign(12, 0xEE);
    EXPECT_EQ(1, card.ReadRecord(1, 12, got.data()));
    EXPECT_EQ(ToHex(r1b), ToHex(got));
    EXPECT_EQ(0, card.ReadRecord(3, 12, got.data()));
    EXPECT_EQ(0x6A83, card.GetSW());

    // Internal authentication: the challenge under the card's key.
    unsigned char challenge[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char answer[8] = {0};
    // The external-authentication key answers no challenge of its own.
    EXPECT_EQ(0, card.InternalAuthentication(AUTH_KEY_NO, challenge, answer));
    EXPECT_EQ(0x6985, card.GetSW());
    ASSERT_EQ(1, card.InternalAuthentication(LOADED_KEY_NO, challenge, answer));
    EXPECT_EQ(ToHex(Encrypt(LOADED_KEY, challenge)), ToHex(answer, 8));

    // External authentication: the card's challenge under the shared key.
    unsigned char cardChallenge[8];
    ASSERT_EQ(1, card.GenerateRandom(cardChallenge, 8));
    Bytes cryptogram = Encrypt(AUTH_KEY, cardChallenge);
    EXPECT_EQ(1, card.ExternalAuthentication(AUTH_KEY_NO, cryptogram.data()));
    // The challenge is used up: the same cryptogram again is refused.
    EXPECT_EQ(0, card.ExternalAuthentication(AUTH_KEY_NO, cryptogram.data()));
    ASSERT_EQ(1, card.GenerateRandom(cardChallenge, 8));
    cryptogram = Encrypt(SM_KEY, cardChallenge);
    EXPECT_EQ(0, card.ExternalAuthentication(AUTH_KEY_NO, cryptogram.data()));

    // The SAM diversifies as softenc does, with its own key and one loaded
    // into it under secure messaging.
    if (!GetParam().sam.empty()) {
        unsigned char factor[8] = {0x20, 0x24, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34};
        unsigned char fromSam[16] = {0}, expected[16];
        ASSERT_EQ(1, sam.Diversify(ZUSIM_SAM_MASTER_KEY_NUMBER, 0x00, factor, fromSam));
        DiversifyKey(ZUSIM_SAM_MASTER_KEY, factor, expected);
        EXPECT_EQ(ToHex(expected, 16), ToHex(fromSam, 16));

        Bytes record = ZUSimTdes2KeyRecord(SAM_LOADED_KEY_NO, LOADED_KEY);
        ASSERT_EQ(1, WriteSAMKeyWithSoftwareCalc(&sam, U(ZUSIM_KEY_LOADING_KEY), record.data(),
                                                 record.size()));
        ASSERT_EQ(1, sam.Diversify(SAM_LOADED_KEY_NO, 0x00, factor, fromSam));
        DiversifyKey(LOADED_KEY, factor, expected);
        EXPECT_EQ(ToHex(expected, 16), ToHex(fromSam, 16));
        // A key block whose MAC was made under another key is refused.
        EXPECT_EQ(0, WriteSAMKeyWithSoftwareCalc(&sam, U(SM_KEY), record.data(), record.size()));
        EXPECT_EQ(0x6988, sam.GetSW());
    }

    // Reopening the reader finds everything the card accepted.
    ASSERT_EQ(1, card.Close());
    ASSERT_EQ(1, card.Open(const_cast<char*>(GetParam().card.c_str()), ZU_PROTOCOL_ANY));
    unsigned char atr[40];
    unsigned long atrLen = sizeof atr;
    ASSERT_EQ(1, card.Reset(atr, &atrLen)); // a PC/SC card keeps its state until reset
    SelectBinary();
    EXPECT_EQ(0, card.ReadBinaryFile(back.data(), 16, 0)); // the PIN is asked again
    EXPECT_EQ(1, Verify("5678", &tries));
    back.assign(WRITTEN, 0xEE);
    ASSERT_EQ(1, card.ReadBinaryFile(back.data(), WRITTEN, 0));
    EXPECT_EQ(ToHex(data), ToHex(back));

    // Run the PIN into its blocked state.
    tries = 99;
    EXPECT_EQ(0, Verify("0000", &tries));
    EXPECT_EQ(2, tries);
    EXPECT_EQ(0, Verify("0000", &tries));
    EXPECT_EQ(1, tries);
    EXPECT_EQ(0, Verify("0000", &tries));
    EXPECT_EQ(0, tries);
    EXPECT_EQ(0x63C0, card.GetSW());
    tries = 99;
    EXPECT_EQ(0, Verify("5678", &tries));
    EXPECT_EQ(0, tries);
    EXPECT_EQ(0x6983, card.GetSW());
    EXPECT_EQ(0, card.ReadBinaryFile(back.data(), 16, 0));
    EXPECT_EQ(0x6982, card.GetSW());
}

// The card leaves in the middle of a write: the write and every later call
// give 0, and what the card accepted before is there when it is back.
TEST_P(E2EIssue, CardRemovedMidway) {
    if (!GetParam().inProcess) {
        GTEST_SKIP() << "a PC/SC card cannot be taken away from here";
    }
    Issue();
    if (HasFatalFailure()) {
        return;
    }
    Bytes data = Pattern(WRITTEN, 11);
    std::string options = GetParam().options.empty() ? "" : GetParam().options + ",";
    // SELECT by name, SELECT EF, VERIFY, then two secure writes of two
    // commands each: the card leaves when the third write asks for its
    // challenge.
    const bool t0 = !GetParam().options.empty();
    // (With T=0 answering each SELECT takes a GET RESPONSE as well.)
    std::string name = "sim:" + options + (t0 ? "remove=9" : "remove=7");
    CZUICAPI leaving;
    ASSERT_EQ(1, leaving.Open(const_cast<char*>(name.c_str()), ZU_PROTOCOL_ANY));
    std::swap(leaving, card);
    SelectBinary();
    int tries = 99;
    ASSERT_EQ(1, Verify("1234", &tries));
    EXPECT_EQ(0, WriteSecurely(data, SM_KEY));
    EXPECT_EQ(0, card.IsCardExist());
    Bytes back(16, 0xEE);
    EXPECT_EQ(0, card.ReadBinaryFile(back.data(), 16, 0));
    EXPECT_EQ(0, Verify("1234", &tries));
    EXPECT_EQ(0, card.SelectDF(U(MF), nullptr, nullptr));
    unsigned long atrLength = 0;
    EXPECT_EQ(0, card.Reset(nullptr, &atrLength));

    // Back in the reader: the first two writes are there, the third is not.
    std::swap(leaving, card);
    ASSERT_EQ(1, card.Close());
    ASSERT_EQ(1, card.Open(const_cast<char*>(GetParam().card.c_str()), ZU_PROTOCOL_ANY));
    SelectBinary();
    ASSERT_EQ(1, Verify("1234", &tries));
    back.assign(WRITTEN, 0xEE);
    ASSERT_EQ(1, card.ReadBinaryFile(back.data(), WRITTEN, 0));
    Bytes expected(data.begin(), data.begin() + 400);
    expected.resize(WRITTEN, 0x00);
    EXPECT_EQ(ToHex(expected), ToHex(back));

    // The SAM leaving between the halves of a diversification.
    std::string samName = "simsam:" + options + (t0 ? "remove=3" : "remove=2");
    CZUSAMIC leavingSam;
    ASSERT_EQ(1, leavingSam.Open(const_cast<char*>(samName.c_str()), ZU_PROTOCOL_ANY));
    unsigned char factor[8] = {1, 2, 3, 4, 5, 6, 7, 8}, key[16] = {0};
    EXPECT_EQ(0, leavingSam.Diversify(ZUSIM_SAM_MASTER_KEY_NUMBER, 0x00, factor, key));
    unsigned char expectedKey[16];
    DiversifyKey(ZUSIM_SAM_MASTER_KEY, factor, expectedKey);
    EXPECT_EQ(ToHex(expectedKey, 8), ToHex(key, 8)); // the left half came
    EXPECT_EQ(0, leavingSam.IsCardExist());
}

INSTANTIATE_TEST_SUITE_P(Readers, E2EIssue, ::testing::ValuesIn(AllReaders()),
                         [](const ::testing::TestParamInfo<Readers>& info) {
                             return info.param.label;
                         });

} // namespace
