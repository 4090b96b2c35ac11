// The simulated SAMs and the social-security card through the library's
// classes: key preparation and DES computation, the authentication
// cryptogram that a card accepts, key export, tag-and-length records by
// short identifier, the answer-to-reset file and authentication with data of
// any length.
#include "ZUICAPI.h"
#include "ZUICSIM.h"
#include "support/SimSteps.h"

#include <cstdio>
#include <cstring>

namespace {

template <class Card> void OpenBlank(Card& card, const char* name) {
    ZUSimRegister();
    ASSERT_EQ(1, card.Open(const_cast<char*>(name), ZU_PROTOCOL_ANY));
    ASSERT_EQ(1, card.EraseMF());
}

// The last block of the CBC encryption (zero initial value) of the data,
// zero-filled to whole blocks.
Bytes CbcLastBlock(const unsigned char* key, Bytes data) {
    data.resize((data.size() / 8 + (data.empty() || data.size() % 8 != 0)) * 8, 0x00);
    Bytes chain(8, 0x00);
    for (size_t at = 0; at < data.size(); at += 8) {
        for (size_t i = 0; i < 8; ++i) {
            chain[i] ^= data[at + i];
        }
        chain = Tdes(key, chain);
    }
    return chain;
}

// "6A83" for a refusal with that status word.
std::string Refused(const CZUReader& card) {
    char sw[8];
    std::snprintf(sw, sizeof sw, "%04X", static_cast<unsigned>(card.GetSW()));
    return sw;
}

const unsigned char CARD_KEY[16] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x58, 0x97, 0x93,
                                    0x23, 0x84, 0x62, 0x64, 0x33, 0x83, 0x27, 0x95};
const unsigned char MASTER = ZUSIM_SAM_MASTER_KEY_NUMBER;
const unsigned char* const MK = ZUSIM_SAM_MASTER_KEY;

TEST(SimSam, InitForDESCryptThenDESCrypt) {
    ZUSimRegister();
    ZUSimResetAll();
    CZUSAMIC sam;
    ASSERT_EQ(1, sam.Open(const_cast<char*>("simsam"), ZU_PROTOCOL_ANY));
    Bytes plain = FromHex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
    const Bytes factor = FromHex("10 20 30 40 50 60 70 80");
    unsigned char diversified[16];
    DiversifyKey(MK, factor.data(), diversified);
    Bytes des(16);
    CDESEncryptor(ZUSIM_SAM_DES_KEY).ProcessBlocks(plain.data(), des.data(), 16);
    struct {
        const char* name;
        unsigned char key, kind, p1; // p1: 00 encrypt, 01 decrypt
        Bytes factors, expected;
    } cases[] = {
        {"encrypt with the master key", MASTER, 0x00, 0x00, {}, Tdes(MK, plain)},
        {"decrypt, kind named", MASTER, ZUSIM_KEY_TDES2, 0x01, {}, Tdes(MK, plain, false)},
        {"the single-DES key", ZUSIM_SAM_DES_KEY_NUMBER, ZUSIM_KEY_DES, 0x00, {}, des},
        {"a diversified key", MASTER, 0x00, 0x00, factor, Tdes(diversified, plain)},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(1, sam.InitForDESCrypt(c.key, c.kind, c.factors.empty() ? nullptr : &c.factors[0],
                                         c.factors.size()));
        Bytes out(32, 0xEE);
        unsigned long outLength = out.size();
        ASSERT_EQ(1, sam.DESCrypt(c.p1, plain.data(), plain.size(), out.data(), &outLength));
        EXPECT_EQ(ToHex(c.expected), ToHex(out.data(), outLength));
        // The preparation serves one computation.
        outLength = out.size();
        EXPECT_EQ(0, sam.DESCrypt(c.p1, plain.data(), plain.size(), out.data(), &outLength));
        EXPECT_EQ(0x6985, sam.GetSW());
    }
    unsigned char f[8] = {0}, out[16];
    EXPECT_EQ(0, sam.Diversify(0x55, 0x00, f, out));
    EXPECT_EQ(0x6A88, sam.GetSW());
}

// The SAM's 80 FC cryptogram (M1AuthAndKeyCalc) opens a card whose key is diversified from the
// SAM's master key with the card's serial number.
TEST(SimSam, M1AuthAndKeyCalcOpensADiversifiedCard) {
    ZUSimRegister();
    ZUSimResetAll();
    CZUICAPI card;
    CZUSAMIC sam;
    OpenBlank(card, "sim");
    ASSERT_EQ(1, sam.Open(const_cast<char*>("simsam"), ZU_PROTOCOL_ANY));
    unsigned char serial[8] = {0x19, 0x70, 0x01, 0x01, 0x00, 0x00, 0x00, 0x42};
    unsigned char cardKey[16], keys[2] = {0x00, 0x01};
    ASSERT_EQ(1, sam.Diversify(MASTER, 0x00, serial, cardKey));
    ASSERT_EQ(1, card.CreateMF(0x00, 0x00, serial));
    ASSERT_EQ(1, card.CreateEF(keys, ZUSIM_EF_KEYS, 0, 4, ZUSIM_AC_NEVER, ZUSIM_AC_NEVER));
    Bytes record = ZUSimTdes2KeyRecord(0x05, cardKey);
    ASSERT_EQ(1, card.WriteKey(0x00, record.data(), record.size()));
    ASSERT_EQ(1, card.CreateEnd(keys));
    // Ended, with write condition "never": plain key writes are refused now.
    EXPECT_EQ(0, card.WriteKey(0x00, record.data(), record.size()));
    EXPECT_EQ(0x6986, card.GetSW());

    // The SAM's cryptogram over a serial number and the card's challenge.
    auto cryptogram = [&](const unsigned char* serialNumber) {
        unsigned char input[16], out[8];
        std::memcpy(input, serialNumber, 8);
        EXPECT_EQ(1, card.GenerateRandom(input + 8, 8));
        unsigned long length = sizeof out;
        EXPECT_EQ(1, sam.M1AuthAndKeyCalc(MASTER, 0x00, input, 16, out, &length));
        EXPECT_EQ(8u, length);
        return Bytes(out, out + 8);
    };
    Bytes right = cryptogram(serial);
    EXPECT_EQ(1, card.ExternalAuthentication(0x05, right.data()));
    const unsigned char otherSerial[8] = {0};
    Bytes wrong = cryptogram(otherSerial);
    EXPECT_EQ(0, card.ExternalAuthentication(0x05, wrong.data()));
    EXPECT_EQ(0x6300, card.GetSW());
}

TEST(SimSam, ExportKeyAndAnyLengthAuthentication) {
    ZUSimRegister();
    ZUSimResetAll();
    CZUSBSAMIC sam;
    ASSERT_EQ(1, sam.Open(const_cast<char*>("simsbsam"), ZU_PROTOCOL_ANY));
    // Export of the master key, plain and diversified, wrapped with key 02.
    Bytes factor = FromHex("01 02 03 04 05 06 07 08");
    unsigned char diversified[16];
    DiversifyKey(MK, factor.data(), diversified);
    for (const unsigned char* key : {MK, const_cast<const unsigned char*>(diversified)}) {
        const bool plainKey = key == MK;
        SCOPED_TRACE(plainKey ? "as stored" : "diversified");
        unsigned char out[64];
        unsigned long length = sizeof out;
        ASSERT_EQ(1, sam.ExportKey(MASTER, ZUSIM_SAM_TRANSPORT_KEY_NUMBER,
                                   plainKey ? nullptr : factor.data(), plainKey ? 0 : 8, out,
                                   &length));
        ASSERT_EQ(24u, length);
        EXPECT_EQ("10 " + ToHex(key, 16) + " 80 00 00 00 00 00 00",
                  ToHex(Tdes(ZUSIM_SAM_TRANSPORT_KEY, Bytes(out, out + 24), false)));
    }

    // Authentication with data of any length, with keys loaded first under
    // secure messaging: 00 for internal, 04 for external authentication.
    for (Bytes record : {ZUSimTdes2KeyRecord(0x00, CARD_KEY, ZUSIM_USE_INTERNAL_AUTH),
                         ZUSimTdes2KeyRecord(0x04, CARD_KEY, ZUSIM_USE_EXTERNAL_AUTH)}) {
        ASSERT_EQ(1, WriteSAMKeyWithSoftwareCalc(&sam,
                                                 const_cast<unsigned char*>(ZUSIM_KEY_LOADING_KEY),
                                                 record.data(), record.size()));
    }
    for (size_t length : {1u, 8u, 13u, 16u, 255u}) {
        SCOPED_TRACE(length);
        Bytes challenge(length);
        for (size_t i = 0; i < length; ++i) {
            challenge[i] = static_cast<unsigned char>(i * 3 + 1);
        }
        unsigned char answer[8] = {0};
        ASSERT_EQ(1, sam.InternalAuthentication(challenge.data(), challenge.size(), answer));
        EXPECT_EQ(ToHex(CbcLastBlock(CARD_KEY, challenge)), ToHex(answer, 8));
    }
    // External: 11 bytes of terminal data, then the cryptogram over the
    // challenge and them; a challenge serves once.
    unsigned char challenge[8];
    ASSERT_EQ(1, sam.GenerateRandom(challenge, 8));
    const std::string terminal = " 54 45 52 4D 49 4E 41 4C 2D 30 31";
    Bytes field =
        FromHex(terminal + ToHex(CbcLastBlock(CARD_KEY, FromHex(ToHex(challenge, 8) + terminal))));
    EXPECT_EQ(1, sam.ExternalAuthentication(0x04, field.data(), field.size()));
    ASSERT_EQ(1, sam.GenerateRandom(challenge, 8));
    EXPECT_EQ(0, sam.ExternalAuthentication(0x04, field.data(), field.size()));
    EXPECT_EQ(0, sam.ExternalAuthentication(0x04, field.data(), 7)); // shorter than a cryptogram
    EXPECT_EQ(0x6700, sam.GetSW());
}

TEST(SimSocialSecurityCard, RecordsAtrFileAndAuthentication) {
    ZUSimResetAll();
    CZUSBIC card;
    OpenBlank(card, "simsb");
    unsigned char serial[8] = {0};
    ASSERT_EQ(1, card.CreateMF(0x00, 0x00, serial));
    // The answer-to-reset file, with its body.
    unsigned char atrId[2] = {0x2F, 0x01};
    Bytes body = FromHex("80 31 80 65 B0 85 03 00 EF 12 0F FF 82 90 00");
    ASSERT_EQ(1, card.CreateATRFile(atrId, ZUSIM_AC_NEVER, body.data(), body.size()));
    ASSERT_EQ(1, card.CreateEnd(atrId));
    ASSERT_EQ(1, card.SelectEF(atrId, nullptr, nullptr));
    Bytes back(body.size(), 0xEE);
    ASSERT_EQ(1, card.ReadBinaryFile(back.data(), back.size(), 0));
    EXPECT_EQ(ToHex(body), ToHex(back));
    EXPECT_EQ(0, card.UpdateBinaryFile(body.data(), 2, 0));
    EXPECT_EQ(0x6986, card.GetSW());

    // Keys: 00 for internal and 02 for external authentication, 01 for the
    // MAC of record file 0006.
    unsigned char keysId[2] = {0x00, 0x01};
    ASSERT_EQ(1, card.CreateEF(keysId, ZUSIM_EF_KEYS, 0, 4, ZUSIM_AC_NEVER, ZUSIM_AC_FREE));
    for (Bytes key : {ZUSimTdes2KeyRecord(0x00, CARD_KEY, ZUSIM_USE_INTERNAL_AUTH),
                      ZUSimTdes2KeyRecord(0x01, ZUSIM_SAM_TRANSPORT_KEY),
                      ZUSimTdes2KeyRecord(0x02, CARD_KEY, ZUSIM_USE_EXTERNAL_AUTH)}) {
        ASSERT_EQ(1, card.WriteKey(0x00, key.data(), key.size()));
    }
    ASSERT_EQ(1, card.CreateEnd(keysId));
    // Tag-and-length records, short identifier 5; file 0006 with SFI 6
    // written under secure messaging with key 1.
    unsigned char tlvId[2] = {0x00, 0x05}, macId[2] = {0x00, 0x06}, mf[2] = {0x3F, 0x00};
    ASSERT_EQ(1,
              card.CreateEF(tlvId, (5 << 3) | ZUSIM_EF_TLV, 4, 40, ZUSIM_AC_FREE, ZUSIM_AC_FREE));
    ASSERT_EQ(1, card.CreateEnd(tlvId));
    ASSERT_EQ(1, card.CreateEF(macId, (6 << 3) | ZUSIM_EF_FIXED, 2, 8, ZUSIM_AC_FREE,
                               ZUSIM_AC_SM | 0x01));
    unsigned char zeros[8] = {0};
    ASSERT_EQ(1, card.AppendRecord(zeros, 8));
    ASSERT_EQ(1, card.AppendRecord(zeros, 8));
    ASSERT_EQ(1, card.CreateEnd(macId));
    ASSERT_EQ(1, card.SelectDF(mf, nullptr, nullptr));

    Bytes name = FromHex("4A 4F 48 4E 20 44 4F 45"), birth = FromHex("19 70 01 01");
    Bytes orphan = FromHex("5F 01 00");
    EXPECT_EQ(0, card.AppendRecord(orphan.data(), orphan.size())); // no current EF
    EXPECT_EQ(0x6986, card.GetSW());
    // By short identifier alone; the file becomes current.
    EXPECT_EQ(0, card.UpdateRecord(0x5F, 1, 5, 4, name.data(), name.size())); // no record 1 yet
    EXPECT_EQ(0x6A83, card.GetSW());
    Bytes first = FromHex("5F 08 " + ToHex(name)), second = FromHex("5F 04 00 00 00 00");
    ASSERT_EQ(1, card.AppendRecord(first.data(), first.size()));
    ASSERT_EQ(1, card.AppendRecord(second.data(), second.size()));
    ASSERT_EQ(1, card.UpdateRecord(0x60, 2, 5, 4, birth.data(), birth.size()));
    // A record whose length byte does not fit is refused.
    Bytes bad = FromHex("5F 05 01 02");
    EXPECT_EQ(0, card.UpdateRecord(2, 5, 4, bad.data(), bad.size()));
    EXPECT_EQ(0x6A80, card.GetSW());

    // Record `number` of SFI `sfi` read for `length` bytes: the first `shown`
    // bytes that came, or the status word of the refusal.
    auto read = [&](unsigned char number, unsigned char sfi, unsigned long length, int withoutTag,
                    size_t shown) {
        unsigned char value[64];
        std::memset(value, 0xEE, sizeof value);
        if (card.ReadRecord(number, sfi, 4, length, value, withoutTag) != 1) {
            return Refused(card);
        }
        return ToHex(value, shown);
    };
    EXPECT_EQ(ToHex(name), read(1, 5, 8, 1, 8));
    EXPECT_EQ("19 70 01 01", read(2, 5, 4, 1, 4));
    EXPECT_EQ("60 04 19 70 01 01", read(2, 5, 6, 0, 6));
    // More than the record holds: the reader asks again with the record's length.
    EXPECT_EQ("19 70 01 01", read(2, 5, 20, 1, 4));
    EXPECT_EQ("6A83", read(3, 5, 4, 1, 4));
    EXPECT_EQ("6A82", read(1, 7, 4, 1, 4));

    // UpdateRecordWithMAC: the data and the MAC the caller computed.
    for (const unsigned char* key : {ZUSIM_SAM_MASTER_KEY, ZUSIM_SAM_TRANSPORT_KEY}) {
        unsigned char iv[8] = {0};
        ASSERT_EQ(1, card.GenerateRandom(iv, 4));
        Bytes data = FromHex("01 02 03 04 05 06 07 08");
        Bytes header = FromHex("04 DC 02 34 0C"); // record 2 of SFI 6, mode 4
        Bytes mac(4);
        CDESMac engine;
        engine.Init(key, 16, iv);
        engine.Update(header.data(), header.size());
        engine.Update(data.data(), data.size());
        engine.Final(mac.data());
        data.insert(data.end(), mac.begin(), mac.end());
        const bool right = key == ZUSIM_SAM_TRANSPORT_KEY;
        EXPECT_EQ(right ? 1 : 0, card.UpdateRecordWithMAC(2, 6, 4, data.data(), data.size()));
        EXPECT_EQ(right ? "01 02 03 04 05 06 07 08" : "00 00 00 00 00 00 00 00",
                  read(2, 6, 8, 0, 8));
    }
    EXPECT_EQ(0, card.UpdateRecord(2, 6, 4, zeros, 8)); // plain: refused
    EXPECT_EQ(0x6982, card.GetSW());

    // Authentication with data of any length, through both class forms.
    Bytes challenge = FromHex("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10");
    unsigned char answer[8];
    ASSERT_EQ(1, card.InternalAuthentication(challenge.data(), challenge.size(), answer));
    EXPECT_EQ(ToHex(CbcLastBlock(CARD_KEY, challenge)), ToHex(answer, 8));
    CZUICAPI& general = card;
    ASSERT_EQ(1, general.InternalAuthentication(0x00, challenge.data(), answer));
    EXPECT_EQ(ToHex(Tdes(CARD_KEY, Bytes(challenge.begin(), challenge.begin() + 8))),
              ToHex(answer, 8));
    unsigned char cardChallenge[8];
    ASSERT_EQ(1, card.GenerateRandom(cardChallenge, 8));
    Bytes cryptogram = Tdes(CARD_KEY, Bytes(cardChallenge, cardChallenge + 8));
    EXPECT_EQ(1, card.ExternalAuthentication(0x02, cryptogram.data(), cryptogram.size()));
}

// The general card keeps to 8-byte authentication data.
TEST(SimSocialSecurityCard, GeneralCardRefusesOtherLengths) {
    ZUSimResetAll();
    CZUSBIC asSocial;
    OpenBlank(asSocial, "sim");
    unsigned char serial[8] = {0}, keysId[2] = {0x00, 0x01};
    ASSERT_EQ(1, asSocial.CreateMF(0x00, 0x00, serial));
    ASSERT_EQ(1, asSocial.CreateEF(keysId, ZUSIM_EF_KEYS, 0, 4, ZUSIM_AC_NEVER, ZUSIM_AC_FREE));
    Bytes k0 = ZUSimTdes2KeyRecord(0x00, CARD_KEY);
    ASSERT_EQ(1, asSocial.WriteKey(0x00, k0.data(), k0.size()));
    unsigned char challenge[16] = {0}, answer[8];
    EXPECT_EQ(1, asSocial.InternalAuthentication(challenge, 8, answer));
    EXPECT_EQ(0, asSocial.InternalAuthentication(challenge, 16, answer));
    EXPECT_EQ(0x6700, asSocial.GetSW());
    // Nor does it take the answer-to-reset file's form or tag-and-length files.
    unsigned char atrId[2] = {0x2F, 0x01}, body[4] = {1, 2, 3, 4}, tlvId[2] = {0x00, 0x05};
    EXPECT_EQ(0, asSocial.CreateATRFile(atrId, 0x00, body, 3));
    EXPECT_EQ(0x6700, asSocial.GetSW());
    EXPECT_EQ(0, asSocial.CreateEF(tlvId, ZUSIM_EF_TLV, 4, 40, 0x00, 0x00));
    EXPECT_EQ(0x6A80, asSocial.GetSW());
}

} // namespace
