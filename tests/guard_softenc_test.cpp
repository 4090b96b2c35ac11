// softenc's functions that write into a caller's buffer, each given a
// buffer of exactly the size it documents, ending on a page followed by an
// inaccessible one: one byte written too many faults. Inputs lie in such
// buffers too, so that reading past them faults as well. The bytes written
// are published values where they exist, else what the same call writes
// into a roomy buffer, beyond which nothing may change either.
#include "support/GuardHex.h"
#include "support/GuardedBuffer.h"
#include "softenc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>
#include <string>

namespace {

// op's result, or 1 for the functions that return nothing.
template <class Op> int Call(const Op& op, unsigned char* out) {
    if constexpr (std::is_void<decltype(op(out))>::value) {
        op(out);
        return 1;
    } else {
        return op(out);
    }
}

// op, given a guarded buffer of `size` bytes: its result and the buffer
// afterwards.
template <class Op>
void Writes(const char* name, size_t size, int result, const std::string& written, const Op& op) {
    SCOPED_TRACE(name);
    CGuardedBuffer out(size);
    EXPECT_EQ(result, Call(op, out.Data()));
    EXPECT_EQ(written, ToHex(out.Contents()));
}

// As Writes, expecting what op writes into a buffer with 64 bytes to spare,
// once it is clear that none of the spare ones changed.
template <class Op> void WritesAsRoomy(const char* name, size_t size, int result, const Op& op) {
    SCOPED_TRACE(name);
    Bytes roomy(size + 64, CGuardedBuffer::FILL);
    Call(op, roomy.data());
    EXPECT_EQ(Unwritten(64), ToHex(roomy.data() + size, 64)) << "written past " << size;
    Writes(name, size, result, ToHex(roomy.data(), size), op);
}

TEST(GuardPages, Converters) {
    CGuardedBuffer bytes(FromHex("00 AB 5F"));
    CGuardedBuffer hex(Bytes{'0', 'a', 'F', 'f', 0});
    CGuardedBuffer hexUnterminated(Bytes{'0', 'a', 'F', 'f'});
    CGuardedBuffer ip(Bytes{'1', '9', '2', '.', '1', '6', '8', '.', '0', '.', '1', 0});
    CGuardedBuffer date(FromHex("20 05 12 31"));
    CGuardedBuffer dateTime(FromHex("20 05 12 31 23 59 58"));
    CGuardedBuffer source(FromHex("FF 0F F0"));
    auto text = [](const std::string& s) {
        return ToHex(Bytes(s.c_str(), s.c_str() + s.size() + 1));
    };
    Writes("BytesToHexString", 7, 1, text("00AB5F"),
           [&](auto o) { return BytesToHexString(bytes.Data(), 3, (char*)o); });
    Writes("HexStringToBytes with room 2", 2, 1, "0A FF", [&](auto o) {
        int room = 2;
        return HexStringToBytes(hex.Text(), o, &room) + (room == 2 ? 0 : 10);
    });
    Writes("HexStringToBytes with room 1 writes nothing", 1, 0, Unwritten(1), [&](auto o) {
        int room = 1;
        return HexStringToBytes(hex.Text(), o, &room);
    });
    Writes("HexToBytes of 4 characters", 2, 1, "0A FF",
           [&](auto o) { return HexToBytes(hexUnterminated.Text(), 4, o); });
    // Each into more room than the value needs and into less.
    Writes("UInt32ToBigEndian into 6", 6, 1, "00 00 00 00 12 34",
           [](auto o) { return UInt32ToBigEndian(0x1234, o, 6); });
    Writes("UInt32ToBigEndian into 2", 2, 1, "12 34",
           [](auto o) { return UInt32ToBigEndian(0x00123456, o, 2); });
    Writes("UInt32ToLittleEndian into 2", 2, 1, "56 34",
           [](auto o) { return UInt32ToLittleEndian(0x00123456, o, 2); });
    Writes("UInt32ToLittleEndian into 5", 5, 1, "04 03 02 01 00",
           [](auto o) { return UInt32ToLittleEndian(0x01020304, o, 5); });
    Writes("UInt16ToBigEndian into 1", 1, 1, "12",
           [](auto o) { return UInt16ToBigEndian(0x1234, o, 1); });
    Writes("UInt16ToBigEndian into 3", 3, 1, "00 00 34",
           [](auto o) { return UInt16ToBigEndian(0x0034, o, 3); });
    Writes("UInt16ToLittleEndian into 3", 3, 1, "34 12 00",
           [](auto o) { return UInt16ToLittleEndian(0x1234, o, 3); });
    Writes("UInt16ToLittleEndian into 0", 0, 1, "",
           [](auto o) { return UInt16ToLittleEndian(0x1234, o, 0); });
    Writes("ParseIPAddress", 4, 1, "C0 A8 00 01",
           [&](auto o) { return ParseIPAddress(ip.Text(), o); });
    Writes("BCDDateToString", 9, 1, text("20051231"),
           [&](auto o) { BCDDateToString(date.Data(), (char*)o); });
    Writes("BCDDateTimeToString", 15, 1, text("20051231235958"),
           [&](auto o) { BCDDateTimeToString(dateTime.Data(), (char*)o); });
    Writes("ReverseBytes in place", 3, 1, "03 02 01", [](auto o) {
        o[0] = 1, o[1] = 2, o[2] = 3;
        ReverseBytes(o, 3);
    });
    Writes("XorBytes in place", 3, 1, "11 E1 1E", [&](auto o) { XorBytes(o, source.Data(), 3); });
    Writes("CByteBuffer::CopyTo of 5 of 8", 5, 5, Seq(5, 1), [](auto o) {
        CByteBuffer buffer;
        const Bytes eight = FromHex(Seq(8, 1));
        buffer.Append(eight.data(), 8);
        return static_cast<int>(buffer.CopyTo(o, 5));
    });
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
    WritesAsRoomy("CDESMac::Final", 4, 1, [&](auto o) {
        CDESMac engine;
        engine.Init(key.Data(), 16, iv.Data());
        engine.Update(message.Data(), 21);
        engine.Final(o);
    });
    // Padding after whole blocks and after all but one byte.
    auto pad = [](unsigned long length) {
        return [length](auto o) {
            unsigned long padded = length;
            AppendISOPadding(o, &padded);
            return static_cast<int>(padded);
        };
    };
    Writes("AppendISOPadding after 16 bytes", 24, 24, Cat({Unwritten(16), "80", Repeat(0, 7)}),
           pad(16));
    Writes("AppendISOPadding after 15 bytes", 16, 16, Cat({Unwritten(15), "80"}), pad(15));
    WritesAsRoomy("DiversifyKey", 16, 1,
                  [&](auto o) { DiversifyKey(key.Data(), factor.Data(), o); });
    WritesAsRoomy("DiversifyKeyChain, 16-byte key", 16, 1,
                  [&](auto o) { return DiversifyKeyChain(key.Data(), 16, factors.Data(), 16, o); });
    WritesAsRoomy("DiversifyKeyChain, 8-byte key", 8, 1,
                  [&](auto o) { return DiversifyKeyChain(key8.Data(), 8, factors.Data(), 16, o); });
    Writes("DiversifyKeyChain refuses a 12-byte key", 12, 0, Unwritten(12),
           [&](auto o) { return DiversifyKeyChain(key.Data(), 12, factors.Data(), 16, o); });
    WritesAsRoomy("CalcXorKeyMac", 4, 1,
                  [&](auto o) { CalcXorKeyMac(key.Data(), message.Data(), 21, o); });
    // The session MAC, with its counter into a guarded buffer of 4 as well.
    CGuardedBuffer counter(4);
    WritesAsRoomy("CalcSessionMac", 4, 1, [&](auto o) {
        CalcSessionMac(key.Data(), factor.Data(), four.Data(), two.Data(), four.Data(), 0x07,
                       six.Data(), seven.Data(), counter.Data(), o);
    });
    EXPECT_EQ("00 00 00 01", ToHex(counter.Contents()));
}

TEST(GuardPages, CiphersLeaveTheTailAlone) {
    // FIPS PUB 81's DES example; 13 and 15 bytes: the last 5 and 7 are
    // neither read nor written, so buffers of 8 suffice.
    CGuardedBuffer key(
        FromHex("01 23 45 67 89 AB CD EF 23 45 67 89 AB CD EF 01 45 67 89 AB CD EF 01 23"));
    CGuardedBuffer plain(FromHex("4E 6F 77 20 69 73 20 74"));
    const std::string cipher = "3F A4 0E 8A 98 4D 48 15";
    Writes("CDESEncryptor, 13 bytes asked", 8, 1, cipher,
           [&](auto o) { CDESEncryptor(key.Data()).ProcessBlocks(plain.Data(), o, 13); });
    Writes("CDESEncryptor in place, 15 bytes asked", 8, 1, cipher, [&](auto o) {
        std::memcpy(o, plain.Data(), 8);
        CDESEncryptor(key.Data()).ProcessBlocks(o, 15);
    });
    WritesAsRoomy("CTDES3Encryptor, 13 bytes asked", 8, 1,
                  [&](auto o) { CTDES3Encryptor(key.Data()).ProcessBlocks(plain.Data(), o, 13); });
    Writes("CTDES2Decryptor of nothing whole", 0, 1, "",
           [&](auto o) { CTDES2Decryptor(key.Data()).ProcessBlocks(plain.Data(), o, 7); });
}

TEST(GuardPages, HashesPaddingAndRandom) {
    CGuardedBuffer abc(Bytes{'a', 'b', 'c'});
    CGuardedBuffer data(FromHex(Seq(117, 0x40)));
    const std::string pkcs1Block = Cat({"00 01", Repeat(0xFF, 8), "00", Seq(117, 0x40)});
    CGuardedBuffer signatureBlock(FromHex(pkcs1Block));
    Writes("CMD5::Final", 16, 1, "90 01 50 98 3C D2 4F B0 D6 96 3F 7D 28 E1 7F 72", [&](auto o) {
        CMD5 md5;
        md5.Update(abc.Data(), 3);
        md5.Final(o);
    });
    Writes("CSHA1::CalculateDigest", 20, 1,
           "A9 99 3E 36 47 06 81 6A BA 3E 25 71 78 50 C2 6C 9C D0 D8 9D",
           [&](auto o) { CSHA1().CalculateDigest(o, abc.Data(), 3); });
    Writes("CPKCS1SignaturePadding::Pad, 1023 bits", 128, 1, pkcs1Block, [&](auto o) {
        CRandomGenerator rng;
        CPKCS1SignaturePadding().Pad(rng, data.Data(), 117, o, 1023);
    });
    Writes("CPKCS1SignaturePadding::Unpad into MaxUnpaddedLength", 117, 117, Seq(117, 0x40),
           [&](auto o) {
               return static_cast<int>(
                   CPKCS1SignaturePadding().Unpad(signatureBlock.Data(), 1023, o));
           });
    WritesAsRoomy("CPKCS1EncryptionPadding::Pad, 1024 bits", 128, 1, [&](auto o) {
        CRandomGenerator rng;
        rng.Seed(0);
        CPKCS1EncryptionPadding().Pad(rng, data.Data(), 117, o, 1024);
    });
    Writes("CRandomGenerator::GenerateBlock", 3, 1, "26 27 F6", [](auto o) {
        CRandomGenerator rng;
        rng.Seed(0);
        rng.GenerateBlock(o, 3);
    });
    // GenerateRandomBytes reseeds from the clock: its bytes are not known,
    // only where they go.
    CGuardedBuffer random(64);
    GenerateRandomBytes(random.Data(), 64);
    EXPECT_NE(Unwritten(64), ToHex(random.Contents()));
}

} // namespace
