// softenc's functions that write into a caller's buffer, each given a
// buffer of exactly the size it documents, ending on a page followed by an
// inaccessible one: one byte written too many faults. Inputs lie in such
// buffers too, so that reading past them faults as well. The bytes written
// are published values where they exist, else what the same call writes
// into a roomy buffer, beyond which nothing may change either.
#include "support/GuardedBuffer.h"
#include "softenc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::string Seq(size_t n, unsigned seed) {
    Bytes bytes;
    for (size_t i = 0; i < n; ++i) {
        bytes.push_back(static_cast<unsigned char>(seed + i));
    }
    return ToHex(bytes);
}

std::string Repeat(const std::string& byte, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += (i ? " " : "") + byte;
    }
    return out;
}

std::string Cat(std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& part : parts) {
        if (!part.empty()) {
            out += (out.empty() ? "" : " ") + part;
        }
    }
    return out;
}

typedef std::function<int(unsigned char* out)> Op;

// What op writes into a buffer with 64 bytes to spare: the first size bytes,
// once it is clear that none of the spare ones changed.
std::string Roomy(size_t size, const Op& op) {
    Bytes roomy(size + 64, CGuardedBuffer::FILL);
    op(roomy.data());
    for (size_t i = size; i < roomy.size(); ++i) {
        EXPECT_EQ(CGuardedBuffer::FILL, roomy[i]) << "written past " << size << " at " << i;
    }
    return ToHex(roomy.data(), size);
}

struct Case {
    const char* name;
    size_t size; // the output buffer, exactly what the function documents
    Op op;
    int result;
    std::string written;
};

void RunCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CGuardedBuffer out(c.size);
        EXPECT_EQ(c.result, c.op(out.Data()));
        EXPECT_EQ(c.written, ToHex(out.Contents()));
    }
}

int Done() {
    return 1;
}

TEST(GuardPages, Converters) {
    CGuardedBuffer bytes(FromHex("00 AB 5F"));
    CGuardedBuffer hex(Bytes{'0', 'a', 'F', 'f', 0});
    CGuardedBuffer hexUnterminated(Bytes{'0', 'a', 'F', 'f'});
    CGuardedBuffer ip(Bytes{'1', '9', '2', '.', '1', '6', '8', '.', '0', '.', '1', 0});
    CGuardedBuffer date(FromHex("20 05 12 31"));
    CGuardedBuffer dateTime(FromHex("20 05 12 31 23 59 58"));
    CGuardedBuffer source(FromHex("FF 0F F0"));
    std::vector<Case> cases = {
        {"BytesToHexString", 7,
         [&](unsigned char* o) { return BytesToHexString(bytes.Data(), 3, (char*)o); }, 1,
         "30 30 41 42 35 46 00"},
        {"HexStringToBytes with room 2", 2,
         [&](unsigned char* o) {
             int room = 2;
             return HexStringToBytes(hex.Text(), o, &room) + (room == 2 ? 0 : 10);
         },
         1, "0A FF"},
        {"HexStringToBytes with room 1 writes nothing", 1,
         [&](unsigned char* o) {
             int room = 1;
             return HexStringToBytes(hex.Text(), o, &room);
         },
         0, "EE"},
        {"HexToBytes of 4 characters", 2,
         [&](unsigned char* o) { return HexToBytes(hexUnterminated.Text(), 4, o); }, 1, "0A FF"},
        {"UInt32ToBigEndian into 6", 6,
         [](unsigned char* o) { return UInt32ToBigEndian(0x1234, o, 6); }, 1, "00 00 00 00 12 34"},
        {"UInt32ToBigEndian into 2", 2,
         [](unsigned char* o) { return UInt32ToBigEndian(0x00123456, o, 2); }, 1, "12 34"},
        {"UInt32ToLittleEndian into 2", 2,
         [](unsigned char* o) { return UInt32ToLittleEndian(0x00123456, o, 2); }, 1, "56 34"},
        {"UInt32ToLittleEndian into 5", 5,
         [](unsigned char* o) { return UInt32ToLittleEndian(0x01020304, o, 5); }, 1,
         "04 03 02 01 00"},
        {"UInt16ToBigEndian into 1", 1,
         [](unsigned char* o) { return UInt16ToBigEndian(0x1234, o, 1); }, 1, "12"},
        {"UInt16ToBigEndian into 3", 3,
         [](unsigned char* o) { return UInt16ToBigEndian(0x0034, o, 3); }, 1, "00 00 34"},
        {"UInt16ToLittleEndian into 3", 3,
         [](unsigned char* o) { return UInt16ToLittleEndian(0x1234, o, 3); }, 1, "34 12 00"},
        {"UInt16ToLittleEndian into 0", 0,
         [](unsigned char* o) { return UInt16ToLittleEndian(0x1234, o, 0); }, 1, ""},
        {"ParseIPAddress", 4, [&](unsigned char* o) { return ParseIPAddress(ip.Text(), o); }, 1,
         "C0 A8 00 01"},
        {"BCDDateToString", 9,
         [&](unsigned char* o) {
             BCDDateToString(date.Data(), (char*)o);
             return Done();
         },
         1, ToHex(Bytes{'2', '0', '0', '5', '1', '2', '3', '1', 0})},
        {"BCDDateTimeToString", 15,
         [&](unsigned char* o) {
             BCDDateTimeToString(dateTime.Data(), (char*)o);
             return Done();
         },
         1, ToHex(Bytes{'2', '0', '0', '5', '1', '2', '3', '1', '2', '3', '5', '9', '5', '8', 0})},
        {"ReverseBytes in place", 3,
         [](unsigned char* o) {
             o[0] = 1, o[1] = 2, o[2] = 3;
             ReverseBytes(o, 3);
             return Done();
         },
         1, "03 02 01"},
        {"XorBytes in place", 3,
         [&](unsigned char* o) {
             XorBytes(o, source.Data(), 3);
             return Done();
         },
         1, "11 E1 1E"},
        {"CByteBuffer::CopyTo of 5 of 8", 5,
         [](unsigned char* o) {
             CByteBuffer buffer;
             const Bytes eight = FromHex(Seq(8, 1));
             buffer.Append(eight.data(), 8);
             return static_cast<int>(buffer.CopyTo(o, 5));
         },
         5, Seq(5, 1)},
    };
    RunCases(cases);
}

TEST(GuardPages, MacsPaddingAndDerivation) {
    CGuardedBuffer key(FromHex(Seq(16, 0x01)));
    CGuardedBuffer key8(FromHex(Seq(8, 0x01)));
    CGuardedBuffer iv(FromHex(Seq(8, 0x80)));
    CGuardedBuffer message(FromHex(Seq(21, 0x30)));
    CGuardedBuffer factor(FromHex(Seq(8, 0x90)));
    CGuardedBuffer factors(FromHex(Seq(16, 0xA0)));
    CGuardedBuffer four(FromHex("01 02 03 04"));
    CGuardedBuffer two(FromHex("05 06"));
    CGuardedBuffer six(FromHex(Seq(6, 0x10)));
    CGuardedBuffer seven(FromHex(Seq(7, 0x20)));
    const Op mac = [&](unsigned char* o) {
        CDESMac engine;
        engine.Init(key.Data(), 16, iv.Data());
        engine.Update(message.Data(), 21);
        engine.Final(o);
        return Done();
    };
    const Op diversify = [&](unsigned char* o) {
        DiversifyKey(key.Data(), factor.Data(), o);
        return Done();
    };
    const Op chain16 = [&](unsigned char* o) {
        return DiversifyKeyChain(key.Data(), 16, factors.Data(), 16, o);
    };
    const Op chain8 = [&](unsigned char* o) {
        return DiversifyKeyChain(key8.Data(), 8, factors.Data(), 16, o);
    };
    const Op xorMac = [&](unsigned char* o) {
        CalcXorKeyMac(key.Data(), message.Data(), 21, o);
        return Done();
    };
    // The session MAC, with its counter into a guarded buffer of 4 as well.
    CGuardedBuffer counter(4);
    const Op sessionMac = [&](unsigned char* o) {
        CalcSessionMac(key.Data(), factor.Data(), four.Data(), two.Data(), four.Data(), 0x07,
                       six.Data(), seven.Data(), counter.Data(), o);
        return Done();
    };
    std::vector<Case> cases = {
        {"CDESMac::Final", 4, mac, 1, Roomy(4, mac)},
        {"AppendISOPadding after 16 bytes", 24,
         [](unsigned char* o) {
             unsigned long length = 16;
             AppendISOPadding(o, &length);
             return static_cast<int>(length);
         },
         24, Cat({Repeat("EE", 16), "80", Repeat("00", 7)})},
        {"AppendISOPadding after 15 bytes", 16,
         [](unsigned char* o) {
             unsigned long length = 15;
             AppendISOPadding(o, &length);
             return static_cast<int>(length);
         },
         16, Cat({Repeat("EE", 15), "80"})},
        {"DiversifyKey", 16, diversify, 1, Roomy(16, diversify)},
        {"DiversifyKeyChain, 16-byte key", 16, chain16, 1, Roomy(16, chain16)},
        {"DiversifyKeyChain, 8-byte key", 8, chain8, 1, Roomy(8, chain8)},
        {"DiversifyKeyChain refuses a 12-byte key", 12,
         [&](unsigned char* o) { return DiversifyKeyChain(key.Data(), 12, factors.Data(), 16, o); },
         0, Repeat("EE", 12)},
        {"CalcXorKeyMac", 4, xorMac, 1, Roomy(4, xorMac)},
        {"CalcSessionMac", 4, sessionMac, 1, Roomy(4, sessionMac)},
    };
    RunCases(cases);
    EXPECT_EQ("00 00 00 01", ToHex(counter.Contents()));
}

TEST(GuardPages, CiphersLeaveTheTailAlone) {
    // FIPS PUB 81's DES example; 13 and 15 bytes: the last 5 and 7 are
    // neither read nor written, so buffers of 8 suffice.
    CGuardedBuffer key(FromHex("01 23 45 67 89 AB CD EF 23 45 67 89 AB CD EF 01 45 67 89 AB CD EF "
                               "01 23"));
    CGuardedBuffer plain(FromHex("4E 6F 77 20 69 73 20 74"));
    const Op tdes3 = [&](unsigned char* o) {
        CTDES3Encryptor(key.Data()).ProcessBlocks(plain.Data(), o, 13);
        return Done();
    };
    std::vector<Case> cases = {
        {"CDESEncryptor, 13 bytes asked", 8,
         [&](unsigned char* o) {
             CDESEncryptor(key.Data()).ProcessBlocks(plain.Data(), o, 13);
             return Done();
         },
         1, "3F A4 0E 8A 98 4D 48 15"},
        {"CDESEncryptor in place, 15 bytes asked", 8,
         [&](unsigned char* o) {
             std::memcpy(o, plain.Data(), 8);
             CDESEncryptor(key.Data()).ProcessBlocks(o, 15);
             return Done();
         },
         1, "3F A4 0E 8A 98 4D 48 15"},
        {"CTDES3Encryptor, 13 bytes asked", 8, tdes3, 1, Roomy(8, tdes3)},
        {"CTDES2Decryptor of nothing whole", 0,
         [&](unsigned char* o) {
             CTDES2Decryptor(key.Data()).ProcessBlocks(plain.Data(), o, 7);
             return Done();
         },
         1, ""},
    };
    RunCases(cases);
}

TEST(GuardPages, HashesPaddingAndRandom) {
    CGuardedBuffer abc(Bytes{'a', 'b', 'c'});
    CGuardedBuffer data(FromHex(Seq(117, 0x40)));
    const std::string pkcs1Block = Cat({"00 01", Repeat("FF", 8), "00", Seq(117, 0x40)});
    CGuardedBuffer signatureBlock(FromHex(pkcs1Block));
    const Op encryptionPad = [&](unsigned char* o) {
        CRandomGenerator rng;
        rng.Seed(0);
        CPKCS1EncryptionPadding().Pad(rng, data.Data(), 117, o, 1024);
        return Done();
    };
    std::vector<Case> cases = {
        {"CMD5::Final", 16,
         [&](unsigned char* o) {
             CMD5 md5;
             md5.Update(abc.Data(), 3);
             md5.Final(o);
             return Done();
         },
         1, "90 01 50 98 3C D2 4F B0 D6 96 3F 7D 28 E1 7F 72"},
        {"CSHA1::CalculateDigest", 20,
         [&](unsigned char* o) {
             CSHA1 sha1;
             sha1.CalculateDigest(o, abc.Data(), 3);
             return Done();
         },
         1, "A9 99 3E 36 47 06 81 6A BA 3E 25 71 78 50 C2 6C 9C D0 D8 9D"},
        {"CPKCS1SignaturePadding::Pad, 1023 bits", 128,
         [&](unsigned char* o) {
             CRandomGenerator rng;
             CPKCS1SignaturePadding().Pad(rng, data.Data(), 117, o, 1023);
             return Done();
         },
         1, pkcs1Block},
        {"CPKCS1SignaturePadding::Unpad into MaxUnpaddedLength", 117,
         [&](unsigned char* o) {
             return static_cast<int>(
                 CPKCS1SignaturePadding().Unpad(signatureBlock.Data(), 1023, o));
         },
         117, Seq(117, 0x40)},
        {"CPKCS1EncryptionPadding::Pad, 1024 bits", 128, encryptionPad, 1,
         Roomy(128, encryptionPad)},
        {"CRandomGenerator::GenerateBlock", 3,
         [](unsigned char* o) {
             CRandomGenerator rng;
             rng.Seed(0);
             rng.GenerateBlock(o, 3);
             return Done();
         },
         1, "26 27 F6"},
    };
    RunCases(cases);

    // GenerateRandomBytes reseeds from the clock: its bytes are not known,
    // only where they go.
    CGuardedBuffer random(64);
    GenerateRandomBytes(random.Data(), 64);
    EXPECT_NE(Repeat("EE", 64), ToHex(random.Contents()));
}

} // namespace
