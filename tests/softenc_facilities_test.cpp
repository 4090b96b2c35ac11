// softenc's facilities beside the DES family: MD5 and SHA-1 against the
// published vectors and OpenSSL (also continuing from a state block written
// at fixed offsets), the byte-order helpers, the converters, PKCS #1 v1.5
// block formatting, the random source and the byte buffer. Outputs go into
// buffers with spare EE bytes behind them, which must stay as they were.
#define OPENSSL_SUPPRESS_DEPRECATED // MD5_CTX and SHA_CTX: a running state to start from
#include "ByteOrder.h"
#include "sha1.h"
#include "softenc.h"
#include "support/GuardedBuffer.h"
#include "support/Hex.h"

#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <thread>

namespace {

std::string OpenSSLDigest(const EVP_MD* md, const Bytes& message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(message.data(), message.size(), digest, &length, md, nullptr);
    return ToHex(digest, length);
}

// Bytes 30 to 7F over and over: never zero.
Bytes Pattern(size_t length) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>(0x30 + i % 0x50);
    return bytes;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string Spare(const Bytes& bytes, size_t spare = 4) {
    return ToHex(Cat({bytes, Bytes(spare, 0xEE)}));
}

// Itanium ABI: a virtual member pointer holds 1 + the slot's byte offset.
template <class F> size_t Slot(F f) {
    uintptr_t raw[2];
    std::memcpy(raw, &f, sizeof raw);
    return (raw[0] - 1) / sizeof(void*);
}

} // namespace

TEST(Hash, SlotOrder) {
    EXPECT_EQ((std::vector<size_t>{0, 1, 2, 3, 4, 5}),
              (std::vector<size_t>{Slot(&CHash::DigestSize), Slot(&CHash::Update),
                                   Slot(&CHash::Final), Slot(&CHash::CalculateDigest),
                                   Slot(&CHash::GetState), Slot(&CHash::SetState)}));
}

// RFC 1321 and FIPS 180-1 examples; the one-million-"a" lines feed one byte
// at a time.
TEST(Hash, PublishedVectors) {
    std::ifstream in(std::string(ZUIC_VECTORS_DIR) + "/hash.txt");
    std::string line, algorithm, message, digest;
    unsigned long repeat = 0, count = 0;
    while (std::getline(in, line))
        if (std::istringstream fields(line);
            line[0] != '#' && fields >> algorithm >> repeat >> std::quoted(message) >> digest) {
            CMD5 md5;
            CSHA1 sha1;
            CHash& hash = algorithm == "md5" ? static_cast<CHash&>(md5) : sha1;
            for (; repeat > 0; --repeat)
                hash.Update((const unsigned char*)message.data(), (unsigned int)message.size());
            unsigned char got[20];
            hash.Final(got);
            EXPECT_EQ(ToHex(FromHex(digest)), ToHex(got, hash.DigestSize())) << line;
            ++count;
        }
    EXPECT_EQ(12u, count);
}

// Messages around the block and length-field boundaries, fed in pieces
// through one object per class (so each digest also shows that Final started
// it over), the last piece through CalculateDigest: OpenSSL's digests.
TEST(Hash, PiecesAcrossBoundariesAgreeWithOpenSSL) {
    CMD5 md5;
    CSHA1 sha1;
    for (size_t length : {0, 55, 56, 57, 63, 64, 65, 119, 120, 1000}) {
        const Bytes message = Pattern(length);
        for (size_t piece : {1000, 1, 63, 56})
            for (CHash* hash : {static_cast<CHash*>(&md5), static_cast<CHash*>(&sha1)}) {
                unsigned char digest[20];
                size_t at = 0;
                for (; length - at > piece; at += piece)
                    hash->Update(message.data() + at, piece);
                hash->CalculateDigest(digest, message.data() + at, length - at);
                EXPECT_EQ(OpenSSLDigest(hash == &md5 ? EVP_md5() : EVP_sha1(), message),
                          ToHex(digest, hash->DigestSize()))
                    << length << " bytes in pieces of " << piece;
            }
    }
}

// A state block written word by word at the offsets of its layout (MD5:
// chaining words at 0, bit count low and high at 16 and 20, buffer at 24;
// SHA-1: chaining words at 0, block count low and high at 20 and 24, buffer
// at 28, waiting bytes at 92) for n bytes already hashed, up to counts whose
// high words matter; fed 100 more bytes, it ends as OpenSSL does from the
// same running state. SetState with null or the object's own block changes
// nothing, and a block is copied into the object's own, not adopted.
TEST(Hash, StateBlockWrittenByOffsetContinuesAsOpenSSL) {
    const uint32_t a = 0x01234567u, b = 0x89ABCDEFu, c = 0xFEDCBA98u, d = 0x76543210u, e = ~a;
    const Bytes more = Pattern(100);
    for (uint64_t n : {5ull, 0x1FFFFFFFull, 0x4000000038ull, 0x12345678ABCull}) {
        const uint64_t bits = 8 * n, blocks = n / 64;
        const uint32_t w = n % 64, low = uint32_t(bits), high = uint32_t(bits >> 32);
        uint32_t m[22] = {a, b, c, d, low, high};
        uint32_t s[24] = {a, b, c, d, e, uint32_t(blocks), uint32_t(blocks >> 32)};
        s[23] = w;
        MD5_CTX mc = {a, b, c, d, low, high, {}, w};
        SHA_CTX sc = {a, b, c, d, e, low, high, {}, w};
        for (void* buffer :
             {(void*)((char*)m + 24), (void*)((char*)s + 28), (void*)mc.data, (void*)sc.data})
            std::memcpy(buffer, Pattern(w).data(), w);
        unsigned char expected[36], got[36];
        MD5_Update(&mc, more.data(), more.size());
        MD5_Final(expected, &mc);
        SHA1_Update(&sc, more.data(), more.size());
        SHA1_Final(expected + 16, &sc);

        CMD5 md5;
        CSHA1 sha1;
        for (CHash* hash : {static_cast<CHash*>(&md5), static_cast<CHash*>(&sha1)}) {
            void* own = hash->GetState();
            hash->SetState(hash == &md5 ? static_cast<void*>(m) : s);
            hash->SetState(nullptr);
            hash->SetState(hash->GetState());
            EXPECT_EQ(own, hash->GetState());
            hash->Update(more.data(), 100);
        }
        md5.Final(got);
        sha1.Final(got + 16);
        EXPECT_EQ(ToHex(expected, 36), ToHex(got, 36)) << n;
    }
}

// The SHA-1 core pads through an extra block (56 bytes waiting) without
// touching a byte around its state, a digest cut to 7 bytes is the first 7
// of the whole one, and the portable compression reads no further than the
// blocks it is given.
TEST(Hash, Sha1CoreWritesOnlyItsStateAndTheDigestAskedFor) {
    const CGuardedBuffer head(Pattern(128)); // two whole blocks, then a page that faults
    const Bytes tail = Pattern(56), message = Cat({head.Contents(), tail});
    struct {
        unsigned char before[64];
        SHA1State state;
        unsigned char after[64];
    } box;
    std::memset(&box, 0xEE, sizeof box);
    SHA1UseCompress(SHA1CompressPortable);
    SHA1Init(&box.state);
    SHA1Update(&box.state, head.Data(), 128);
    SHA1Update(&box.state, tail.data(), 56);
    Bytes digest(11, 0xEE);
    SHA1Final(&box.state, digest.data(), 7);
    SHA1UseCompress(nullptr);
    EXPECT_EQ(Spare(FromHex(OpenSSLDigest(EVP_sha1(), message).substr(0, 20))), ToHex(digest));
    EXPECT_EQ(Bytes(64, 0xEE), Bytes(box.before, box.before + 64));
    EXPECT_EQ(Bytes(64, 0xEE), Bytes(box.after, box.after + 64));
}

// The SHA-instruction compression is the one in use exactly when the CPU
// lists SHA, SSE4.1 and SSSE3.
TEST(Hash, Sha1InstructionsChosenWhenTheCpuHasThem) {
    std::string flags;
    std::getline(std::ifstream("/proc/cpuinfo"), flags, '\0');
    const bool has = flags.find(" sha_ni") != flags.npos && flags.find(" sse4_1") != flags.npos &&
                     flags.find(" ssse3") != flags.npos;
    EXPECT_EQ(has, SHA1HaveSHANI() && SHA1CurrentCompress() != SHA1CompressPortable);
#ifdef SOFTENC_SHA1_SHANI
    // Each of SSSE3 (leaf 1 ECX bit 9), SSE4.1 (bit 19) and SHA (leaf 7 EBX bit 29) is needed.
    EXPECT_TRUE(SHA1ShaniFeatures(1u << 9 | 1u << 19, 1u << 29));
    EXPECT_FALSE(SHA1ShaniFeatures(1u << 9, 1u << 29) || SHA1ShaniFeatures(1u << 19, 1u << 29) ||
                 SHA1ShaniFeatures(~0u, ~(1u << 29)));
#endif
}

// The DES core's right rotation (the rest of the helpers serve the digests
// above as well).
TEST(ByteOrder, RotateRight) {
    EXPECT_EQ(0x81234567u, softenc::RotateRight32(0x12345678u, 4));
}

TEST(Converters, Hexadecimal) {
    char text[9] = "xxxxxxxx";
    EXPECT_EQ(1, BytesToHexString(FromHex("00 AB 5F").data(), 3, text));
    EXPECT_EQ(std::string("00AB5F\0x", 8), std::string(text, 8));
    EXPECT_EQ(1, BytesToHexString(nullptr, 3, text));
    EXPECT_EQ(0, BytesToHexString(FromHex("00").data(), 1, nullptr) + text[0]); // text now ""
    unsigned char nibble = 7;
    EXPECT_EQ(7, HexCharToNibble('G', &nibble) + nibble); // refused, nibble unchanged

    // Text (- for none), room, result, count afterwards, the bytes written
    // into a buffer preset to EE (the bytes before a bad pair stay written).
    std::istringstream rows(
        "0123456789ABCDEFabcdef 11 1 11 0123456789ABCDEFABCDEF 0aFf 2 1 2 0AFF 0aFf 1 0 1 EE "
        "abc 4 0 4 EE 0102 -1 0 -1 EE - 4 1 0 EE 12zz 4 0 4 12 0/ 1 0 1 EE 0: 1 0 1 EE "
        "0@ 1 0 1 EE 0G 1 0 1 EE 0` 1 0 1 EE 0g 1 0 1 EE");
    std::string hex, bytes;
    int room, result, count;
    while (rows >> hex >> room >> result >> count >> bytes) {
        Bytes out(12, 0xEE);
        EXPECT_EQ(result, HexStringToBytes(hex == "-" ? "" : hex.c_str(), out.data(), &room))
            << hex;
        EXPECT_EQ(count, room) << hex;
        EXPECT_EQ(Spare(FromHex(bytes), 12 - bytes.size() / 2), ToHex(out)) << hex;
    }
    EXPECT_EQ(0, HexStringToBytes(nullptr, &nibble, &room));
    unsigned char raw[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    // The first 6 characters only; then an odd length, null and a bad pair.
    EXPECT_EQ(1, HexToBytes("a1B2c3ff", 6, raw) + HexToBytes("a1B", 3, raw) +
                     HexToBytes(nullptr, 2, raw) + HexToBytes("x1", 2, raw));
    EXPECT_EQ("A1 B2 C3 EE", ToHex(raw, 4));
}

// Little-endian reads take the first bytes, big-endian ones the last. Rows:
// the bytes (- for none), then LE32 BE32 LE16 BE16.
TEST(Converters, BytesToIntegers) {
    std::istringstream rows("0102030405 4030201 2030405 201 405 1234 3412 1234 3412 1234 "
                            "AB AB AB AB AB - 0 0 0 0");
    std::string hex;
    unsigned int expected[4];
    while (rows >> hex >> std::hex >> expected[0] >> expected[1] >> expected[2] >> expected[3]) {
        const Bytes in = Cat({FromHex(hex == "-" ? "" : hex), {0xEE}}); // never a null pointer
        const unsigned int n = static_cast<unsigned int>(in.size() - 1);
        unsigned int v32[2] = {7, 7};
        unsigned short v16[2] = {7, 7};
        EXPECT_EQ(4, LittleEndianToUInt32(in.data(), n, &v32[0]) +
                         BigEndianToUInt32(in.data(), n, &v32[1]) +
                         LittleEndianToUInt16(in.data(), n, &v16[0]) +
                         BigEndianToUInt16(in.data(), n, &v16[1]));
        EXPECT_EQ(std::vector<unsigned int>(expected, expected + 4),
                  (std::vector<unsigned int>{v32[0], v32[1], v16[0], v16[1]}));
    }
    unsigned int v32 = 7;
    unsigned short v16 = 7;
    EXPECT_EQ(0, LittleEndianToUInt32(nullptr, 4, &v32) + BigEndianToUInt32(nullptr, 4, &v32) +
                     LittleEndianToUInt16(nullptr, 2, &v16) + BigEndianToUInt16(nullptr, 2, &v16));
    EXPECT_EQ(14u, v32 + v16);
}

// Wider fields are zero-filled; into narrower ones the little-endian forms
// keep the low bytes, the big-endian forms the top bytes from the first
// non-zero one (UInt16ToBigEndian into 1 byte: the low one when the high one
// is zero).
TEST(Converters, IntegersToBytes) {
    // Form, value, field length, the bytes written (- for none).
    std::istringstream rows(
        "BE32 1234 6 000000001234 BE32 123456 2 1234 BE32 1234 2 1234 BE32 12345678 3 123456 "
        "BE32 12345678 4 12345678 BE32 56 1 56 LE32 123456 2 5634 LE32 12345678 6 785634120000 "
        "LE16 1234 1 34 LE16 1234 3 341200 BE16 1234 1 12 BE16 34 1 34 BE16 1234 3 001234 "
        "BE16 1234 2 1234 BE16 1234 0 -");
    std::string form, bytes;
    unsigned int value, length;
    while (rows >> form >> std::hex >> value >> std::dec >> length >> bytes) {
        Bytes out(length + 4, 0xEE);
        EXPECT_EQ(1, form == "LE32"   ? UInt32ToLittleEndian(value, out.data(), length)
                     : form == "BE32" ? UInt32ToBigEndian(value, out.data(), length)
                     : form == "LE16" ? UInt16ToLittleEndian(value, out.data(), length)
                                      : UInt16ToBigEndian(value, out.data(), length));
        EXPECT_EQ(Spare(FromHex(bytes == "-" ? "" : bytes)), ToHex(out)) << form << " " << value;
    }
    EXPECT_EQ(0, UInt32ToLittleEndian(1, nullptr, 4) + UInt32ToBigEndian(1, nullptr, 4) +
                     UInt16ToLittleEndian(1, nullptr, 2) + UInt16ToBigEndian(1, nullptr, 2));
}

TEST(Converters, BCDDatesAndTimes) {
    // Leap years by 4, not by 100 unless by 400 (1000 is not one); month
    // lengths; day and month bytes; the year's BCD digits.
    std::istringstream dates("20000229 1 19000229 0 20040229 1 20050229 0 10000229 0 20050228 1 "
                             "20050431 0 20050430 1 20051231 1 20051232 0 20051200 0 2005011A 0 "
                             "20050A01 0 20051301 0 2A051201 0 20A51201 0 19991231 1");
    // Each byte read as 10 * high nibble + low nibble: 0A is 10, 5A is 60.
    std::istringstream times("235959 1 240000 0 126000 0 120060 0 0A0000 1 00005A 0 1E0000 0");
    std::string bcd;
    int valid;
    while (dates >> bcd >> valid)
        EXPECT_EQ(valid, IsValidBCDDate(FromHex(bcd).data())) << bcd;
    while (times >> bcd >> valid)
        EXPECT_EQ(valid, IsValidBCDTime(FromHex(bcd).data())) << bcd;
    char text[16] = "xxxxxxxxxxxxxxx";
    BCDDateToString(FromHex("20 05 12 31").data(), text);
    EXPECT_EQ(std::string("20051231\0x", 10), std::string(text, 10));
    BCDDateTimeToString(FromHex("20 05 12 31 23 59 08").data(), text);
    EXPECT_EQ(std::string("20051231235908\0", 15), std::string(text, 15));
}

TEST(Converters, IPv4AddressesAndDigitStrings) {
    // An address and its bytes, or - when it is refused and nothing written.
    std::istringstream rows("192.168.0.1 C0A80001 001.002.003.004 01020304 192.168.0.256 - "
                            "192.168.0 - 1.2.3.4.5 - 1..2.3 - 1.2.3. - 1.2.3.4a - 1.2.3.0004 -");
    std::string text, bytes;
    unsigned char ip[4];
    while (rows >> text >> bytes) {
        std::memset(ip, 0xEE, 4);
        EXPECT_EQ(bytes != "-", ParseIPAddress(text.c_str(), ip)) << text;
        EXPECT_EQ(bytes != "-" ? ToHex(FromHex(bytes)) : "EE EE EE EE", ToHex(ip, 4)) << text;
    }
    EXPECT_EQ(0, ParseIPAddress(nullptr, ip));
    EXPECT_EQ(2, IsDigitString("") + IsDigitString("0123456789"));
    EXPECT_EQ(0, IsDigitString("12a4") + IsDigitString("1/") + IsDigitString(":") +
                     IsDigitString(nullptr));
}

// Both block types at 1023 bits (a leading zero byte, then 127) and 1024
// bits (128), for every data length the block takes: the layout byte by byte,
// type 2's padding being the generator's consecutive GenerateWord(1, 255)
// draws, and Unpad giving the data back (none from an empty one).
TEST(PKCS1, PadLayoutAndRoundTrip) {
    const CPKCS1EncryptionPadding enc;
    const CPKCS1SignaturePadding sig;
    CRandomGenerator rng;
    for (unsigned int bits : {1023u, 1024u}) {
        const unsigned int lead = bits % 8 != 0 ? 1 : 0, k = bits / 8;
        EXPECT_EQ(2 * (k - 10), enc.MaxUnpaddedLength(bits) + sig.MaxUnpaddedLength(bits));
        for (unsigned int length = 0; length <= k - 10; ++length) {
            const Bytes data = Pattern(length);
            for (unsigned char type : {1, 2}) {
                Bytes block(lead + k + 4, 0xEE), output(k, 0xEE), padding;
                rng.Seed(length);
                type == 2 ? enc.Pad(rng, data.data(), length, block.data(), bits)
                          : sig.Pad(rng, data.data(), length, block.data(), bits);
                rng.Seed(length);
                while (padding.size() < k - length - 2)
                    padding.push_back(type == 2 ? rng.GenerateWord(1, 255) : 0xFF);
                EXPECT_EQ(Spare(Cat({Bytes(lead, 0x00), {type}, padding, {0x00}, data})),
                          ToHex(block))
                    << bits << " bits, type " << int(type) << ", length " << length;
                EXPECT_EQ(length, type == 2 ? enc.Unpad(block.data(), bits, output.data())
                                            : sig.Unpad(block.data(), bits, output.data()));
                EXPECT_EQ(Spare(data, k - length), ToHex(output));
            }
        }
    }
}

// Blocks of the given size whose data fill the rest after the head; e for
// type 2, s for type 1: taken (1) or refused (0) with the output untouched.
TEST(PKCS1, UnpadRefusals) {
    std::istringstream rows(
        "1024 e 1 025C5C5C5C5C5C5C5C00 1024 e 0 025C5C5C5C5C5C5C00 " // 8 padding bytes, 7
        "1024 s 1 01FFFFFFFFFFFFFFFF00 1024 s 0 01FFFFFFFFFFFFFF00 "
        "1024 s 0 01FFFFFFFFFEFFFFFFFF00 1024 e 1 02FFFFFFFFFE01FFFF00 " // FE: type 1 only
        "1024 e 0 01FFFFFFFFFFFFFFFF00 1024 s 0 025C5C5C5C5C5C5C5C00 "   // the other type
        "1024 e 0 02 "                                                   // no separator
        "1023 e 1 00025C5C5C5C5C5C5C5C00 1023 e 0 01025C5C5C5C5C5C5C5C00 "
        "88 s 1 01FFFFFFFFFFFFFFFF00 80 s 0 01FFFFFFFFFFFFFFFF00"); // k 11: 1 data byte; k 10: none
    int bits, accepted;
    std::string kind, head;
    while (rows >> bits >> kind >> accepted >> head) {
        const size_t size = (bits + 7) / 8;
        const Bytes data = Pattern(size - head.size() / 2), block = Cat({FromHex(head), data});
        Bytes output(size, 0xEE);
        EXPECT_EQ(accepted ? data.size() : 0u,
                  kind == "s" ? CPKCS1SignaturePadding().Unpad(block.data(), bits, output.data())
                              : CPKCS1EncryptionPadding().Unpad(block.data(), bits, output.data()))
            << head;
        EXPECT_EQ(accepted ? Spare(data, size - data.size()) : Spare({}, size), ToHex(output));
    }
    EXPECT_EQ(0u, CPKCS1EncryptionPadding().MaxUnpaddedLength(87));
}

// From seed 0 the draws are 38, 7719, 21238; GenerateWord turns one draw r
// into min + (max - min) * r / 32767, truncated. The last two seeds make the
// first draw 0 and 32767: min and max themselves.
TEST(Random, DrawsScaledIntoTheirRangeFromOneStatePerThread) {
    // Seed (A170F641 and F01BF641 the last two), min, max, three words.
    std::istringstream rows("0 0 32767 38 7719 21238 0 1 255 1 60 165 0 100 65535 175 15514 42511 "
                            "2708534849 1 255 1 1 60 4028364353 1 255 255 120 108");
    unsigned int seed, min, max, words[3];
    CRandomGenerator rng;
    while (rows >> seed >> min >> max >> words[0] >> words[1] >> words[2]) {
        rng.Seed(seed);
        for (unsigned int word : words)
            EXPECT_EQ(word, rng.GenerateWord(min, max)) << seed << " " << min;
    }
    // GenerateBlock: the low byte of each draw; nothing for null or size 0.
    unsigned char bytes[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    rng.Seed(0);
    rng.GenerateBlock(nullptr, 3);
    rng.GenerateBlock(bytes, 0);
    rng.GenerateBlock(bytes, 3);
    EXPECT_EQ("26 27 F6 EE EE", ToHex(bytes, 5));

    // One state per thread, shared by the objects on it: another thread's
    // seeding and draws leave this thread's sequence where it was.
    CRandomGenerator a, b;
    a.Seed(0);
    EXPECT_EQ(38u, a.GenerateWord(0, 32767));
    std::thread([] { CRandomGenerator().GenerateWord(0, 1); }).join();
    EXPECT_EQ(7719u, b.GenerateWord(0, 32767));
}

// The block's pointer first, then the 32-bit size; a private key is eight
// buffers.
TEST(ByteBuffer, MemberOrder) {
    const CByteBuffer buffer(0x01020304u);
    uintptr_t raw[2];
    std::memcpy(raw, &buffer, sizeof raw);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.Data()), raw[0]);
    EXPECT_EQ(4u, uint32_t(raw[1]));
    EXPECT_EQ(8 * sizeof raw, sizeof(CPrivateKeyData));
}

// Nothing is appended for length 0, null input or the buffer itself; bytes
// from elsewhere and from the buffer's own block (at its start and inside
// it) arrive whole when growing moves the block.
TEST(ByteBuffer, Append) {
    CByteBuffer a(0x01020304u), b;
    a.Append(a.Data(), 0);
    a.Append(nullptr, 3);
    a.Append(a);
    a += a;
    b += a;
    b.Append(a);
    EXPECT_EQ("01 02 03 04 01 02 03 04", ToHex(b.Data(), b.Size()));

    const Bytes first = Cat({FromHex("01 02 03 04"), Pattern(32)}), twice = Cat({first, first});
    CByteBuffer c(0x01020304u);
    c.Append(first.data() + 4, 32); // bytes from elsewhere, and the block moves
    c.Append(c.Data(), 36);
    c.Append(c.Data() + 1, 71);
    EXPECT_EQ(ToHex(Cat({twice, Bytes(twice.begin() + 1, twice.end())})),
              ToHex(c.Data(), c.Size()));
}

TEST(ByteBuffer, CopyToReverseAndToUInt32) {
    CByteBuffer b;
    b.Append(FromHex("0A 0B 0C").data(), 3);
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(0u, CByteBuffer().CopyTo(out, 4) + b.CopyTo(nullptr, 4) + b.CopyTo(out, 0));
    EXPECT_EQ(2u, b.CopyTo(out, 2));
    EXPECT_EQ("0A 0B EE EE", ToHex(out, 4));
    EXPECT_EQ(3u, b.CopyTo(out, 10));
    EXPECT_EQ("0A 0B 0C EE", ToHex(out, 4));
    EXPECT_EQ(0x0A0B0Cu + 0, b.ToUInt32() + CByteBuffer().ToUInt32());
    b.Reverse();
    b.Append(FromHex("01 02").data(), 2);
    EXPECT_EQ("0C 0B 0A 01 02", ToHex(b.Data(), b.Size()));
    EXPECT_EQ(0x0C0B0A01u, b.ToUInt32());

    const CByteBuffer original(0x01020304u); // copies own their blocks
    CByteBuffer copy(original), assigned(0x0Au);
    assigned = original;
    copy.Reverse();
    assigned.Append(original);
    EXPECT_EQ("01 02 03 04 / 04 03 02 01 / 01 02 03 04 01 02 03 04",
              ToHex(original.Data(), 4) + " / " + ToHex(copy.Data(), 4) + " / " +
                  ToHex(assigned.Data(), assigned.Size()));
    assigned = CByteBuffer();
    EXPECT_TRUE(assigned.Data() == nullptr && assigned.Size() == 0);
}
