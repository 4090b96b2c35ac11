// Issuing a card from blank through the library's classes, against the
// simulated card and SAM in process (plainly and with T=0 answering) and,
// when ZUIC_E2E_PCSC_CARD (and ZUIC_E2E_PCSC_SAM) name PC/SC readers, through
// those. Then the same card losing contact in the middle of the work.
#include "ZUICAPI.h"
#include "sim/ZUSim.h"
#include "ZUICSIM.h"
#include "softenc.h"
#include "support/Hex.h"
#include "tools/DemoCard.h"

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

std::vector<Readers> InProcessReaders() {
    return {
        {"InProcess", "sim", "simsam", true, ""},
        {"InProcessT0", "sim:t0", "simsam:t0", true, "t0"},
    };
}

std::vector<Readers> AllReaders() {
    std::vector<Readers> all = InProcessReaders();
    const char* card = std::getenv("ZUIC_E2E_PCSC_CARD");
    const char* sam = std::getenv("ZUIC_E2E_PCSC_SAM");
    if (card != nullptr && *card != '\0') {
        all.push_back({"PCSC", card, sam != nullptr ? sam : "", false, ""});
    }
    return all;
}

using namespace zuic::democard;

const unsigned char SAM_LOADED_KEY_NO = 0x10;

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
        ASSERT_EQ(1, card.CreateEF(U(kKeyFile), ZUSIM_EF_KEYS, 0x00, 8, ZUSIM_AC_NEVER,
                                   ZUSIM_AC_PIN | 0));
        Bytes pin{0x00, ZUSIM_KEY_PIN, 3, '1', '2', '3', '4'};
        ASSERT_EQ(1, card.WriteKey(0x00, pin.data(), pin.size()));
        Bytes auth = ZUSimTdes2KeyRecord(kAuthKeyNo, kAuthKey, ZUSIM_USE_EXTERNAL_AUTH);
        ASSERT_EQ(1, card.WriteKey(0x00, auth.data(), auth.size()));
        Bytes sm = ZUSimTdes2KeyRecord(kSmKeyNo, kSmKey);
        ASSERT_EQ(1, card.WriteKey(0x00, sm.data(), sm.size()));
        // One key under secure messaging, as a SAM would be loaded.
        CZUSAMIC asLoader(&card);
        Bytes loaded = ZUSimTdes2KeyRecord(kLoadedKeyNo, kLoadedKey);
        ASSERT_EQ(1, WriteSAMKeyWithSoftwareCalc(&asLoader, U(ZUSIM_KEY_LOADING_KEY), loaded.data(),
                                                 loaded.size()));
        ASSERT_EQ(1, card.CreateEnd(U(kKeyFile)));

        ASSERT_EQ(1, card.CreateADF(U(kApp), ZUSIM_AC_FREE, 0x00, U(kAppName), kAppNameLength));
        // Binary file, short identifier 1: read after the PIN, written only
        // under secure messaging with key 2.
        ASSERT_EQ(1, card.CreateEF(U(kBinary), (1 << 3) | ZUSIM_EF_BINARY, kFileSize >> 8,
                                   kFileSize & 0xFF, ZUSIM_AC_PIN | 0, ZUSIM_AC_SM | kSmKeyNo));
        ASSERT_EQ(1, card.CreateEnd(U(kBinary)));
        // Variable records, short identifier 2, free.
        ASSERT_EQ(1, card.CreateEF(U(kRecords), (2 << 3) | ZUSIM_EF_VARIABLE, 5, 32, ZUSIM_AC_FREE,
                                   ZUSIM_AC_FREE));
        ASSERT_EQ(1, card.CreateEnd(U(kRecords)));
        ASSERT_EQ(1, card.CreateEnd(U(kApp)));
        ASSERT_EQ(1, card.SelectDF(U(kMf), nullptr, nullptr));
        ASSERT_EQ(1, card.CreateEnd(U(kMf)));
    }

    // Selects the application by name and the binary file in it.
    void SelectBinary() {
        unsigned char fci[64];
        unsigned long fciLength = sizeof fci;
        ASSERT_EQ(1, card.SelectDF(U(kAppName), kAppNameLength, fci, &fciLength));
        ASSERT_GE(fciLength, 2u);
        EXPECT_EQ(0x6F, fci[0]);
        EXPECT_EQ(fciLength - 2, fci[1]);
        ASSERT_EQ(1, card.SelectEF(U(kBinary), nullptr, nullptr));
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
    Bytes data = Pattern(kWritten, 3);
    EXPECT_EQ(0, card.UpdateBinaryFile(data.data(), 16, 0));
    EXPECT_EQ(0x6982, card.GetSW());
    ASSERT_EQ(1, WriteSecurely(data, kSmKey));
    Bytes back(kWritten, 0xEE);
    ASSERT_EQ(1, card.ReadBinaryFile(back.data(), kWritten, 0));
    EXPECT_EQ(ToHex(data), ToHex(back));
    // The rest of the file is still blank; reading past its end is refused.
    Bytes tail(kFileSize - kWritten, 0xEE);
    ASSERT_EQ(1, card.ReadBinaryFile(tail.data(), tail.size(), kWritten));
    EXPECT_EQ(ToHex(Bytes(tail.size(), 0)), ToHex(tail));
    EXPECT_EQ(0, card.ReadBinaryFile(tail.data(), 16, kFileSize - 8));

    // A MAC under the wrong key: refused, the file keeps its bytes.
    Bytes other = Pattern(64, 99);
    EXPECT_EQ(0, UpdateBinaryWithSoftwareMac(&card, U(kAuthKey), other.data(), other.size(), 0));
    EXPECT_EQ(0x6988, card.GetSW());
    ASSERT_EQ(1, card.ReadBinaryFile(back.data(), kWritten, 0));
    EXPECT_EQ(ToHex(data), ToHex(back));

    // Records in the application: append, update, read by number.
    unsigned char recs[2] = {kRecords[0], kRecords[1]};
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
    EXPECT_EQ(0, card.InternalAuthentication(kAuthKeyNo, challenge, answer));
    EXPECT_EQ(0x6985, card.GetSW());
    ASSERT_EQ(1, card.InternalAuthentication(kLoadedKeyNo, challenge, answer));
    EXPECT_EQ(ToHex(Encrypt(kLoadedKey, challenge)), ToHex(answer, 8));

    // External authentication: the card's challenge under the shared key.
    unsigned char cardChallenge[8];
    ASSERT_EQ(1, card.GenerateRandom(cardChallenge, 8));
    Bytes cryptogram = Encrypt(kAuthKey, cardChallenge);
    EXPECT_EQ(1, card.ExternalAuthentication(kAuthKeyNo, cryptogram.data()));
    // The challenge is used up: the same cryptogram again is refused.
    EXPECT_EQ(0, card.ExternalAuthentication(kAuthKeyNo, cryptogram.data()));
    ASSERT_EQ(1, card.GenerateRandom(cardChallenge, 8));
    cryptogram = Encrypt(kSmKey, cardChallenge);
    EXPECT_EQ(0, card.ExternalAuthentication(kAuthKeyNo, cryptogram.data()));

    // The SAM diversifies as softenc does, with its own key and one loaded
    // into it under secure messaging.
    if (!GetParam().sam.empty()) {
        unsigned char factor[8] = {0x20, 0x24, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34};
        unsigned char fromSam[16] = {0}, expected[16];
        ASSERT_EQ(1, sam.Diversify(ZUSIM_SAM_MASTER_KEY_NUMBER, 0x00, factor, fromSam));
        DiversifyKey(ZUSIM_SAM_MASTER_KEY, factor, expected);
        EXPECT_EQ(ToHex(expected, 16), ToHex(fromSam, 16));

        Bytes record = ZUSimTdes2KeyRecord(SAM_LOADED_KEY_NO, kLoadedKey);
        ASSERT_EQ(1, WriteSAMKeyWithSoftwareCalc(&sam, U(ZUSIM_KEY_LOADING_KEY), record.data(),
                                                 record.size()));
        ASSERT_EQ(1, sam.Diversify(SAM_LOADED_KEY_NO, 0x00, factor, fromSam));
        DiversifyKey(kLoadedKey, factor, expected);
        EXPECT_EQ(ToHex(expected, 16), ToHex(fromSam, 16));
        // A key block whose MAC was made under another key is refused.
        EXPECT_EQ(0, WriteSAMKeyWithSoftwareCalc(&sam, U(kSmKey), record.data(), record.size()));
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
    back.assign(kWritten, 0xEE);
    ASSERT_EQ(1, card.ReadBinaryFile(back.data(), kWritten, 0));
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
// Only in process can a card be made to leave at a chosen command; through
// pcscd the removal is the shared-reader test's.
class E2EIssueInProcess : public E2EIssue {};

TEST_P(E2EIssueInProcess, CardRemovedMidway) {
    Issue();
    if (HasFatalFailure()) {
        return;
    }
    Bytes data = Pattern(kWritten, 11);
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
    EXPECT_EQ(0, WriteSecurely(data, kSmKey));
    EXPECT_EQ(0, card.IsCardExist());
    Bytes back(16, 0xEE);
    EXPECT_EQ(0, card.ReadBinaryFile(back.data(), 16, 0));
    EXPECT_EQ(0, Verify("1234", &tries));
    EXPECT_EQ(0, card.SelectDF(U(kMf), nullptr, nullptr));
    unsigned long atrLength = 0;
    EXPECT_EQ(0, card.Reset(nullptr, &atrLength));

    // Back in the reader: the first two writes are there, the third is not.
    std::swap(leaving, card);
    ASSERT_EQ(1, card.Close());
    ASSERT_EQ(1, card.Open(const_cast<char*>(GetParam().card.c_str()), ZU_PROTOCOL_ANY));
    SelectBinary();
    ASSERT_EQ(1, Verify("1234", &tries));
    back.assign(kWritten, 0xEE);
    ASSERT_EQ(1, card.ReadBinaryFile(back.data(), kWritten, 0));
    Bytes expected(data.begin(), data.begin() + 400);
    expected.resize(kWritten, 0x00);
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

std::string Label(const ::testing::TestParamInfo<Readers>& info) {
    return info.param.label;
}

INSTANTIATE_TEST_SUITE_P(Readers, E2EIssue, ::testing::ValuesIn(AllReaders()), Label);
INSTANTIATE_TEST_SUITE_P(Readers, E2EIssueInProcess, ::testing::ValuesIn(InProcessReaders()),
                         Label);

} // namespace
