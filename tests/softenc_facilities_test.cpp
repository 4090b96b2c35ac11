// softenc's facilities beside the DES family: MD5 and SHA-1 against the
// published vectors and OpenSSL (also continuing from a state block written
// byte by byte), the byte-order helpers, the converters, PKCS #1 v1.5 block
// formatting, the random source and the byte buffer. Outputs go into buffers
// with spare EE bytes behind them, which must stay as they were.
#define OPENSSL_SUPPRESS_DEPRECATED // MD5_CTX and SHA_CTX: a running state to start from
#include "ByteOrder.h"
#include "sha1.h"
#include "softenc.h"
#include "support/Hex.h"

#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Digest(CHash& hash) {
    unsigned char digest[20];
    hash.Final(digest);
    return ToHex(digest, hash.DigestSize());
}

std::string OpenSSLDigest(const EVP_MD* md, const Bytes& message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(message.data(), message.size(), digest, &length, md, nullptr);
    return ToHex(digest, length);
}

// The SHA-1 block compressions this CPU runs; the hash tests run each.
std::vector<SHA1CompressFunction> Compressions() {
    std::vector<SHA1CompressFunction> all = {SHA1CompressPortable};
#ifdef SOFTENC_SHA1_SHANI
    if (SHA1HaveSHANI()) {
        all.push_back(SHA1CompressSHANI);
    }
#endif
    return all;
}

// Bytes i * 7 + 1, none of them zero for lengths below 256 / 7.
Bytes Pattern(size_t length) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    return bytes;
}

Bytes Spare(Bytes bytes, size_t spare = 4) {
    bytes.insert(bytes.end(), spare, 0xEE);
    return bytes;
}

// Itanium ABI: a virtual member pointer holds 1 + the slot's byte offset.
template <class F> size_t Slot(F f) {
    struct {
        uintptr_t ptr;
        ptrdiff_t adj;
    } raw;
    static_assert(sizeof f == sizeof raw, "Itanium member pointer");
    std::memcpy(&raw, &f, sizeof raw);
    return (raw.ptr - 1) / sizeof(void*);
}

} // namespace

TEST(Hash, SlotOrder) {
    EXPECT_EQ(0u, Slot(&CHash::DigestSize));
    EXPECT_EQ(1u, Slot(&CHash::Update));
    EXPECT_EQ(2u, Slot(&CHash::Final));
    EXPECT_EQ(3u, Slot(&CHash::CalculateDigest));
    EXPECT_EQ(4u, Slot(&CHash::GetState));
    EXPECT_EQ(5u, Slot(&CHash::SetState));
}

// RFC 1321 and FIPS 180-1 examples; the one-million-"a" lines feed one byte
// at a time.
TEST(Hash, PublishedVectors) {
    for (SHA1CompressFunction compress : Compressions()) {
        SHA1UseCompress(compress);
        std::ifstream in(std::string(ZUIC_VECTORS_DIR) + "/hash.txt");
        std::string line, algorithm, message, digest;
        unsigned long repeat = 0;
        int count = 0;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            if (line[0] == '#' ||
                !(fields >> algorithm >> repeat >> std::quoted(message) >> digest)) {
                continue;
            }
            CMD5 md5;
            CSHA1 sha1;
            CHash& hash = algorithm == "md5" ? static_cast<CHash&>(md5) : sha1;
            for (unsigned long i = 0; i < repeat; ++i) {
                hash.Update(reinterpret_cast<const unsigned char*>(message.data()),
                            static_cast<unsigned int>(message.size()));
            }
            EXPECT_EQ(ToHex(FromHex(digest)), Digest(hash)) << line;
            ++count;
        }
        EXPECT_EQ(12, count);
    }
    SHA1UseCompress(nullptr);
}

// Messages around the block and length-field boundaries, fed in pieces
// through one object per class (so each digest also shows that Final started
// it over), the last piece through CalculateDigest: OpenSSL's digests.
TEST(Hash, PiecesAcrossBoundariesAgreeWithOpenSSL) {
    const std::vector<std::vector<size_t>> pieceSets = {
        {1000}, {1}, {63, 1, 57}, {55, 56, 64, 65}, {0, 130}};
    for (SHA1CompressFunction compress : Compressions()) {
        SHA1UseCompress(compress);
        CMD5 md5;
        CSHA1 sha1;
        for (size_t length : {0, 55, 56, 57, 63, 64, 65, 119, 120, 1000}) {
            const Bytes message = Pattern(length);
            for (const auto& pieces : pieceSets) {
                for (CHash* hash : {static_cast<CHash*>(&md5), static_cast<CHash*>(&sha1)}) {
                    unsigned char digest[20];
                    for (size_t at = 0, i = 0;; at += pieces[i++ % pieces.size()]) {
                        const size_t n = std::min(pieces[i % pieces.size()], length - at);
                        const unsigned int piece = static_cast<unsigned int>(n);
                        if (at + n == length) {
                            hash->CalculateDigest(digest, message.data() + at, piece);
                            break;
                        }
                        hash->Update(message.data() + at, piece);
                    }
                    EXPECT_EQ(OpenSSLDigest(hash == &md5 ? EVP_md5() : EVP_sha1(), message),
                              ToHex(digest, hash->DigestSize()))
                        << length << " bytes, first piece " << pieces[0];
                }
            }
        }
    }
    SHA1UseCompress(nullptr);
}

// A state block written byte by byte at the offsets of its layout (MD5:
// chaining words at 0, bit count low and high at 16 and 20, buffer at 24;
// SHA-1: chaining words at 0, block count low and high at 20 and 24, buffer
// at 28, waiting count at 92) for n bytes already hashed, up to counts whose
// high words matter; fed 100 more bytes, it ends as OpenSSL does from the
// same running state. SetState with null or the object's own block, in
// between, changes nothing, and the block is copied, not adopted.
TEST(Hash, StateBlockWrittenByOffsetContinuesAsOpenSSL) {
    const uint32_t chain[5] = {0x01234567u, 0x89ABCDEFu, 0xFEDCBA98u, 0x76543210u, 0xF0E1D2C3u};
    const Bytes more = Pattern(100);
    auto put = [](unsigned char* at, uint32_t v) { std::memcpy(at, &v, 4); };
    for (uint64_t n : {5ull, 0x1FFFFFFFull, 0x4000000038ull, 0x12345678ABCull}) {
        SCOPED_TRACE(n);
        const uint32_t waiting = static_cast<uint32_t>(n % 64);
        const uint64_t bits = 8 * n, blocks = n / 64;
        unsigned char m[88] = {}, s[96] = {};
        std::memcpy(m, chain, 16);
        std::memcpy(s, chain, 20);
        put(m + 16, static_cast<uint32_t>(bits));
        put(m + 20, static_cast<uint32_t>(bits >> 32));
        put(s + 20, static_cast<uint32_t>(blocks));
        put(s + 24, static_cast<uint32_t>(blocks >> 32));
        put(s + 92, waiting);
        std::memcpy(m + 24, Pattern(waiting).data(), waiting);
        std::memcpy(s + 28, Pattern(waiting).data(), waiting);

        MD5_CTX mc = {chain[0],
                      chain[1],
                      chain[2],
                      chain[3],
                      static_cast<uint32_t>(bits),
                      static_cast<uint32_t>(bits >> 32),
                      {},
                      waiting};
        SHA_CTX sc = {chain[0], chain[1], chain[2], chain[3], chain[4], mc.Nl, mc.Nh, {}, waiting};
        std::memcpy(mc.data, m + 24, waiting);
        std::memcpy(sc.data, s + 28, waiting);
        unsigned char md[16], sd[20];
        MD5_Update(&mc, more.data(), more.size());
        MD5_Final(md, &mc);
        SHA1_Update(&sc, more.data(), more.size());
        SHA1_Final(sd, &sc);

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
        EXPECT_EQ(ToHex(md, 16), Digest(md5));
        EXPECT_EQ(ToHex(sd, 20), Digest(sha1));
    }
}

// The SHA-1 core pads through an extra block (56 bytes waiting) without
// touching a byte around its state, and a digest cut to 7 bytes is the
// first 7 of the whole one.
TEST(Hash, Sha1CoreWritesOnlyItsStateAndTheDigestAskedFor) {
    const Bytes message = Pattern(120);
    for (unsigned int length : {20u, 7u}) {
        struct {
            unsigned char before[64];
            SHA1State state;
            unsigned char after[64];
        } box;
        std::memset(&box, 0xEE, sizeof box);
        SHA1Init(&box.state);
        SHA1Update(&box.state, message.data(), message.size());
        Bytes digest(length + 4, 0xEE);
        SHA1Final(&box.state, digest.data(), length);
        Bytes whole = FromHex(OpenSSLDigest(EVP_sha1(), message));
        whole.resize(length);
        EXPECT_EQ(ToHex(Spare(whole)), ToHex(digest));
        EXPECT_EQ(Bytes(64, 0xEE), Bytes(box.before, box.before + 64));
        EXPECT_EQ(Bytes(64, 0xEE), Bytes(box.after, box.after + 64));
    }
}

// The SHA-instruction compression is the one in use exactly when the CPU
// lists SHA, SSE4.1 and SSSE3.
TEST(Hash, Sha1InstructionsChosenWhenTheCpuHasThem) {
    std::ifstream in("/proc/cpuinfo");
    std::string line, flag;
    while (std::getline(in, line) && line.rfind("flags", 0) != 0) {
    }
    std::istringstream flags(line);
    int found = 0;
    while (flags >> flag) {
        found += flag == "sha_ni" || flag == "sse4_1" || flag == "ssse3";
    }
#ifdef SOFTENC_SHA1_SHANI
    EXPECT_EQ(found == 3, SHA1HaveSHANI());
    EXPECT_EQ(found == 3 ? SHA1CompressSHANI : SHA1CompressPortable, SHA1CurrentCompress());
#endif
}

TEST(ByteOrder, LoadsStoresAndRotations) {
    const unsigned char bytes[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(0x12345678u, softenc::LoadBigEndian32(bytes));
    EXPECT_EQ(0x78563412u, softenc::LoadLittleEndian32(bytes));
    unsigned char out[8];
    softenc::StoreBigEndian32(out, 0x89ABCDEFu);
    softenc::StoreLittleEndian32(out + 4, 0x89ABCDEFu);
    EXPECT_EQ("89 AB CD EF EF CD AB 89", ToHex(out, 8));
    EXPECT_EQ(0x00000003u, softenc::RotateLeft32(0x80000001u, 1));
    EXPECT_EQ(0xC0000000u, softenc::RotateRight32(0x80000001u, 1));
    EXPECT_EQ(0x81234567u, softenc::RotateRight32(0x12345678u, 4));
}

TEST(Converters, Hexadecimal) {
    char text[8];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(1, BytesToHexString(FromHex("00 AB 5F").data(), 3, text));
    EXPECT_EQ(std::string("00AB5F\0x", 8), std::string(text, 8));
    EXPECT_EQ(1, BytesToHexString(nullptr, 3, text));
    EXPECT_STREQ("", text);
    EXPECT_EQ(0, BytesToHexString(FromHex("00").data(), 1, nullptr));

    const std::string digits = "0123456789ABCDEFabcdef";
    for (size_t i = 0; i < digits.size(); ++i) {
        unsigned char nibble = 0x77;
        EXPECT_EQ(1, HexCharToNibble(digits[i], &nibble));
        EXPECT_EQ(i < 16 ? i : i - 6, nibble) << digits[i];
    }
    for (char c : std::string("/:@G`g \0", 8)) {
        unsigned char nibble = 0x77;
        EXPECT_EQ(0, HexCharToNibble(c, &nibble)) << c;
        EXPECT_EQ(0x77, nibble) << c;
    }

    const struct {
        const char* hex;
        int room, result, countOut;
        const char* output; // of 4 bytes preset to EE
    } strings[] = {
        {"0aFf", 2, 1, 2, "0A FF EE EE"},
        {"0aFf", 4, 1, 2, "0A FF EE EE"},
        {"0aFf", 1, 0, 1, "EE EE EE EE"},
        {"0G", 4, 0, 4, "EE EE EE EE"},
        {"abc", 4, 0, 4, "EE EE EE EE"},
        {"", 4, 1, 0, "EE EE EE EE"},
        {"0102", -1, 0, -1, "EE EE EE EE"},
        {"12zz", 4, 0, 4, "12 EE EE EE"}, // the bytes before a bad pair stay written
        {nullptr, 4, 0, 4, "EE EE EE EE"},
    };
    for (const auto& s : strings) {
        unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        int count = s.room;
        EXPECT_EQ(s.result, HexStringToBytes(s.hex, out, &count)) << s.hex;
        EXPECT_EQ(s.countOut, count) << s.hex;
        EXPECT_EQ(s.output, ToHex(out, 4)) << s.hex;
    }
    unsigned char raw[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(1, HexToBytes("a1B2c3ff", 6, raw)); // the first 6 characters only
    EXPECT_EQ("A1 B2 C3 EE", ToHex(raw, 4));
    EXPECT_EQ(1, HexToBytes("0aFf", 4, raw));
    EXPECT_EQ(0, HexToBytes("a1B", 3, raw));
    EXPECT_EQ(0, HexToBytes(nullptr, 2, raw));
    EXPECT_EQ(0, HexToBytes("x1", 2, raw));
    EXPECT_EQ("0A FF C3 EE", ToHex(raw, 4));
}

TEST(Converters, XorAndReverse) {
    Bytes a = FromHex("01 02 03 04 05");
    XorBytes(a.data(), FromHex("FF 0F F0 00 55").data(), 4);
    EXPECT_EQ("FE 0D F3 04 05", ToHex(a));
    for (const char* hex : {"", "01", "01 02", "01 02 03 04 05"}) {
        const Bytes bytes = FromHex(hex);
        Bytes reversed = bytes;
        ReverseBytes(reversed.data(), static_cast<unsigned int>(reversed.size()));
        EXPECT_EQ(Bytes(bytes.rbegin(), bytes.rend()), reversed) << hex;
    }
}

// Little-endian reads take the first bytes, big-endian ones the last.
TEST(Converters, BytesToIntegers) {
    const struct {
        const char* bytes;
        unsigned int little32, big32;
        unsigned short little16, big16;
    } rows[] = {
        {"01 02 03 04 05", 0x04030201, 0x02030405, 0x0201, 0x0405},
        {"12 34", 0x3412, 0x1234, 0x3412, 0x1234},
        {"AB", 0xAB, 0xAB, 0xAB, 0xAB},
        {"", 0, 0, 0, 0},
    };
    for (const auto& r : rows) {
        const Bytes in = Spare(FromHex(r.bytes)); // a non-null pointer for ""
        const unsigned int n = static_cast<unsigned int>(in.size() - 4);
        unsigned int v32 = 0xDEAD;
        unsigned short v16 = 0xBEEF;
        EXPECT_EQ(1, LittleEndianToUInt32(in.data(), n, &v32));
        EXPECT_EQ(r.little32, v32) << r.bytes;
        EXPECT_EQ(1, BigEndianToUInt32(in.data(), n, &v32));
        EXPECT_EQ(r.big32, v32) << r.bytes;
        EXPECT_EQ(1, LittleEndianToUInt16(in.data(), n, &v16));
        EXPECT_EQ(r.little16, v16) << r.bytes;
        EXPECT_EQ(1, BigEndianToUInt16(in.data(), n, &v16));
        EXPECT_EQ(r.big16, v16) << r.bytes;
    }
    unsigned int v32 = 7;
    unsigned short v16 = 7;
    EXPECT_EQ(0, LittleEndianToUInt32(nullptr, 4, &v32) + BigEndianToUInt32(nullptr, 4, &v32) +
                     LittleEndianToUInt16(nullptr, 2, &v16) + BigEndianToUInt16(nullptr, 2, &v16));
    EXPECT_EQ(7u, v32 + v16 - 7);
}

// Wider fields are zero-filled; into narrower ones the little-endian forms
// keep the low bytes, the big-endian forms the top bytes from the first
// non-zero one (and UInt16ToBigEndian into 1 byte the low one when the high
// one is zero).
TEST(Converters, IntegersToBytes) {
    enum Form { LE32, BE32, LE16, BE16 };
    const struct {
        Form form;
        unsigned int value, length;
        const char* bytes;
    } rows[] = {
        {BE32, 0x1234, 6, "00 00 00 00 12 34"},
        {BE32, 0x00123456, 2, "12 34"},
        {BE32, 0x1234, 2, "12 34"},
        {BE32, 0x12345678, 3, "12 34 56"},
        {BE32, 0x12345678, 4, "12 34 56 78"},
        {BE32, 0x00000056, 1, "56"},
        {LE32, 0x00123456, 2, "56 34"},
        {LE32, 0x12345678, 6, "78 56 34 12 00 00"},
        {LE16, 0x1234, 1, "34"},
        {LE16, 0x1234, 3, "34 12 00"},
        {BE16, 0x1234, 1, "12"},
        {BE16, 0x0034, 1, "34"},
        {BE16, 0x1234, 2, "12 34"},
        {BE16, 0x1234, 3, "00 12 34"},
        {BE16, 0x1234, 0, ""},
    };
    for (const auto& r : rows) {
        Bytes out(r.length + 4, 0xEE);
        const unsigned short v16 = static_cast<unsigned short>(r.value);
        const int result = r.form == LE32   ? UInt32ToLittleEndian(r.value, out.data(), r.length)
                           : r.form == BE32 ? UInt32ToBigEndian(r.value, out.data(), r.length)
                           : r.form == LE16 ? UInt16ToLittleEndian(v16, out.data(), r.length)
                                            : UInt16ToBigEndian(v16, out.data(), r.length);
        EXPECT_EQ(1, result) << r.bytes;
        EXPECT_EQ(ToHex(Spare(FromHex(r.bytes))), ToHex(out)) << r.form << " " << r.value;
    }
    EXPECT_EQ(0, UInt32ToLittleEndian(1, nullptr, 4) + UInt32ToBigEndian(1, nullptr, 4) +
                     UInt16ToLittleEndian(1, nullptr, 2) + UInt16ToBigEndian(1, nullptr, 2));
}

TEST(Converters, BCDDatesAndTimes) {
    const struct {
        const char* date;
        int valid;
    } dates[] = {
        // Leap years: by 4, not by 100 unless by 400; 1000 is not one.
        {"20 00 02 29", 1},
        {"19 00 02 29", 0},
        {"20 04 02 29", 1},
        {"20 05 02 29", 0},
        {"10 00 02 29", 0},
        {"20 05 02 28", 1},
        // Month lengths, day and month bytes, BCD digits of the year.
        {"20 05 04 31", 0},
        {"20 05 04 30", 1},
        {"20 05 12 31", 1},
        {"20 05 12 32", 0},
        {"20 05 12 00", 0},
        {"20 05 01 1A", 0},
        {"20 05 0A 01", 0},
        {"20 05 13 01", 0},
        {"2A 05 12 01", 0},
        {"20 A5 12 01", 0},
        {"19 99 12 31", 1},
    };
    for (const auto& d : dates) {
        EXPECT_EQ(d.valid, IsValidBCDDate(FromHex(d.date).data())) << d.date;
    }
    // Each byte read as 10 * high nibble + low nibble: 0A is 10, 5A is 60.
    const struct {
        const char* time;
        int valid;
    } times[] = {{"23 59 59", 1}, {"24 00 00", 0}, {"12 60 00", 0}, {"12 00 60", 0},
                 {"0A 00 00", 1}, {"00 00 5A", 0}, {"1E 00 00", 0}};
    for (const auto& t : times) {
        EXPECT_EQ(t.valid, IsValidBCDTime(FromHex(t.time).data())) << t.time;
    }

    char text[18];
    std::memset(text, 'x', sizeof text);
    BCDDateToString(FromHex("20 05 12 31").data(), text);
    EXPECT_EQ(std::string("20051231\0x", 10), std::string(text, 10));
    BCDDateTimeToString(FromHex("20 05 12 31 23 59 08").data(), text);
    EXPECT_EQ(std::string("20051231235908\0x", 16), std::string(text, 16));
}

TEST(Converters, IPv4AddressesAndDigitStrings) {
    const struct {
        const char* text;
        const char* bytes; // of 4 preset to EE: written only on success
    } addresses[] = {
        {"192.168.0.1", "C0 A8 00 01"},   {"001.002.003.004", "01 02 03 04"},
        {"192.168.0.256", "EE EE EE EE"}, {"192.168.0", "EE EE EE EE"},
        {"1.2.3.4.5", "EE EE EE EE"},     {"1..2.3", "EE EE EE EE"},
        {"1.2.3.", "EE EE EE EE"},        {"1.2.3.4a", "EE EE EE EE"},
        {"1.2.3.0004", "EE EE EE EE"},    {nullptr, "EE EE EE EE"},
    };
    for (const auto& a : addresses) {
        unsigned char ip[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(a.bytes[0] != 'E', ParseIPAddress(a.text, ip)) << a.text;
        EXPECT_EQ(a.bytes, ToHex(ip, 4)) << a.text;
    }
    EXPECT_EQ(1, IsDigitString(""));
    EXPECT_EQ(1, IsDigitString("0123456789"));
    EXPECT_EQ(0, IsDigitString("12a4") + IsDigitString("1/") + IsDigitString(":") +
                     IsDigitString(nullptr));
}

namespace {

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::string Content(const CByteBuffer& buffer) {
    return ToHex(buffer.Data(), buffer.Size());
}

} // namespace

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
        EXPECT_EQ(k - 10, enc.MaxUnpaddedLength(bits));
        EXPECT_EQ(k - 10, sig.MaxUnpaddedLength(bits));
        for (unsigned int length = 0; length <= k - 10; ++length) {
            const Bytes data = Pattern(length);
            for (unsigned char type : {1, 2}) {
                SCOPED_TRACE(std::to_string(bits) + " bits, type " + std::to_string(type) +
                             ", length " + std::to_string(length));
                Bytes block(lead + k + 4, 0xEE);
                rng.Seed(length);
                if (type == 2) {
                    enc.Pad(rng, data.data(), length, block.data(), bits);
                } else {
                    sig.Pad(rng, data.data(), length, block.data(), bits);
                }
                rng.Seed(length);
                Bytes expected = {0x00, type};
                expected.erase(expected.begin(), expected.begin() + 1 - lead);
                while (expected.size() < lead + k - length - 1) {
                    expected.push_back(type == 2 ? rng.GenerateWord(1, 255) : 0xFF);
                }
                expected.push_back(0x00);
                EXPECT_EQ(ToHex(Spare(Cat({expected, data}))), ToHex(block));

                Bytes output(k, 0xEE);
                EXPECT_EQ(length, type == 2 ? enc.Unpad(block.data(), bits, output.data())
                                            : sig.Unpad(block.data(), bits, output.data()));
                EXPECT_EQ(ToHex(Spare(data, k - length)), ToHex(output));
            }
        }
    }
}

// Blocks of 1024 bits unless said, their data filling the rest: Unpad
// takes them or refuses them with the output untouched.
TEST(PKCS1, UnpadRefusals) {
    const struct {
        unsigned int bits;
        bool signature, accepted;
        Bytes head;
    } rows[] = {
        {1024, false, true, Cat({{2}, Bytes(8, 0x5C), {0}})}, // 8 padding bytes: the fewest
        {1024, false, false, Cat({{2}, Bytes(7, 0x5C), {0}})},
        {1024, true, true, Cat({{1}, Bytes(8, 0xFF), {0}})},
        {1024, true, false, Cat({{1}, Bytes(7, 0xFF), {0}})},
        {1024, true, false, Cat({{1}, Bytes(9, 0xFF), {0xFE}, Bytes(9, 0xFF), {0}})},
        {1024, false, true, Cat({{2}, Bytes(9, 0xFF), {0x01}, {0}})}, // any non-zero padding
        {1024, false, false, Cat({{1}, Bytes(8, 0xFF), {0}})},        // the other type
        {1024, true, false, Cat({{2}, Bytes(8, 0x5C), {0}})},
        {1024, false, false, Cat({{2}, Bytes(127, 0x5C)})}, // no separator
        {1023, false, true, Cat({{0, 2}, Bytes(8, 0x5C), {0}})},
        {1023, false, false, Cat({{1, 2}, Bytes(8, 0x5C), {0}})}, // leading byte not zero
        {88, true, true, Cat({{1}, Bytes(8, 0xFF), {0}})},        // k = 11: 1 data byte
        {80, true, false, Cat({{1}, Bytes(8, 0xFF), {0}})},       // k = 10: no data ever
    };
    for (const auto& r : rows) {
        const size_t size = (r.bits + 7) / 8;
        const Bytes data = Pattern(size - r.head.size());
        const Bytes block = Cat({r.head, data});
        Bytes output(size, 0xEE);
        EXPECT_EQ(r.accepted ? data.size() : 0u,
                  r.signature
                      ? CPKCS1SignaturePadding().Unpad(block.data(), r.bits, output.data())
                      : CPKCS1EncryptionPadding().Unpad(block.data(), r.bits, output.data()))
            << ToHex(r.head);
        EXPECT_EQ(ToHex(Spare(r.accepted ? data : Bytes(), size - (r.accepted ? data.size() : 0))),
                  ToHex(output))
            << ToHex(r.head);
    }
    EXPECT_EQ(1u, CPKCS1EncryptionPadding().MaxUnpaddedLength(88));
    EXPECT_EQ(0u, CPKCS1EncryptionPadding().MaxUnpaddedLength(87));
}

// Input longer than the block takes trips an assertion in debug builds and
// writes nothing without assertions.
TEST(PKCS1, OverlongInputWritesNothing) {
    CRandomGenerator rng;
    const Bytes data = Pattern(119);
    Bytes block(128, 0xEE);
#ifdef NDEBUG
    CPKCS1EncryptionPadding().Pad(rng, data.data(), 119, block.data(), 1024);
    CPKCS1SignaturePadding().Pad(rng, data.data(), 1, block.data(), 80);
    EXPECT_EQ(Bytes(128, 0xEE), block);
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(CPKCS1EncryptionPadding().Pad(rng, data.data(), 119, block.data(), 1024),
                 "inputLen <= MaxUnpaddedLength");
#endif
}

// From seed 0 the draws are 38, 7719, 21238; GenerateWord turns one draw r
// into min + (max - min) * r / 32767, truncated. The last two seeds make the
// first draw 0 and 32767: min and max themselves.
TEST(Random, DrawsScaledIntoTheirRange) {
    const struct {
        unsigned int seed;
        unsigned short min, max;
        unsigned int words[3];
    } rows[] = {
        {0, 0, 32767, {38, 7719, 21238}},       {0, 1, 255, {1, 60, 165}},
        {0, 100, 65535, {175, 15514, 42511}},   {0xA170F641u, 1, 255, {1, 1, 60}},
        {0xF01BF641u, 1, 255, {255, 120, 108}},
    };
    CRandomGenerator rng;
    for (const auto& r : rows) {
        rng.Seed(r.seed);
        for (unsigned int word : r.words) {
            EXPECT_EQ(word, rng.GenerateWord(r.min, r.max)) << r.seed << " " << r.min;
        }
    }
    // GenerateBlock: the low byte of each draw; nothing for null or size 0.
    unsigned char bytes[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    rng.Seed(0);
    rng.GenerateBlock(nullptr, 3);
    rng.GenerateBlock(bytes, 0);
    rng.GenerateBlock(bytes, 3);
    EXPECT_EQ("26 27 F6 EE EE", ToHex(bytes, 5));
}

// One state per thread, shared by the objects on it: another thread's
// seeding and draws leave this thread's sequence where it was.
TEST(Random, StatePerThreadSharedByObjects) {
    CRandomGenerator a, b;
    a.Seed(0);
    EXPECT_EQ(38u, a.GenerateWord(0, 32767));
    unsigned int other = 0;
    std::thread([&] {
        CRandomGenerator c;
        c.Seed(0);
        other = c.GenerateWord(0, 32767) + c.GenerateWord(0, 32767);
    }).join();
    EXPECT_EQ(38u + 7719u, other);
    EXPECT_EQ(7719u, b.GenerateWord(0, 32767));
}

// Construction and GenerateRandomBytes seed from the clock in whole seconds:
// within one second both give the sequence of Seed(time(nullptr)).
TEST(Random, ClockSeeding) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::time_t before = std::time(nullptr);
        unsigned char first[8], second[8], expected[8];
        GenerateRandomBytes(first, 8);
        CRandomGenerator().GenerateBlock(second, 8);
        CRandomGenerator rng;
        rng.Seed(static_cast<unsigned int>(before));
        rng.GenerateBlock(expected, 8);
        if (std::time(nullptr) == before) {
            EXPECT_EQ(ToHex(expected, 8), ToHex(first, 8));
            EXPECT_EQ(ToHex(expected, 8), ToHex(second, 8));
            return;
        }
    }
    FAIL() << "the clock's second changed in every attempt";
}

// The block's pointer first, then the 32-bit size; the key containers are
// their components one after the other, the public part first.
TEST(ByteBuffer, MemberOrderAndKeyContainers) {
    const CByteBuffer buffer(0x01020304u);
    unsigned char* data = nullptr;
    uint32_t size = 0;
    std::memcpy(&data, &buffer, sizeof data);
    std::memcpy(&size, reinterpret_cast<const unsigned char*>(&buffer) + sizeof data, 4);
    EXPECT_EQ(buffer.Data(), data);
    EXPECT_EQ(4u, size);
    EXPECT_EQ(2 * sizeof(void*), sizeof buffer);

    CPrivateKeyData key(1024);
    CKeyComponent* parts[] = {&key.modulus,   &key.publicExponent, &key.privateExponent,
                              &key.prime1,    &key.prime2,         &key.exponent1,
                              &key.exponent2, &key.coefficient};
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(i * sizeof buffer, static_cast<size_t>(reinterpret_cast<char*>(parts[i]) -
                                                         reinterpret_cast<char*>(&key)));
        EXPECT_EQ(0u, parts[i]->Size());
        parts[i]->Append(buffer.Data(), 1); // released with the key (LeakSanitizer)
    }
    EXPECT_EQ(8 * sizeof buffer, sizeof key);
}

// Nothing is appended for length 0, null input or the buffer itself; bytes
// taken from the buffer's own block (at its start and inside it) arrive
// whole when growing moves the block.
TEST(ByteBuffer, Append) {
    CByteBuffer a(0x01020304u), b;
    a.Append(a.Data(), 0);
    a.Append(nullptr, 3);
    a.Append(a);
    a += a;
    EXPECT_EQ("01 02 03 04", Content(a));
    EXPECT_EQ(nullptr, b.Data());
    b += a;
    b.Append(a);
    EXPECT_EQ("01 02 03 04 01 02 03 04", Content(b));

    const Bytes first = Pattern(32);
    CByteBuffer c;
    c.Append(first.data(), 32);
    c.Append(c.Data(), 32);
    c.Append(c.Data() + 1, 63);
    const Bytes twice = Cat({first, first});
    EXPECT_EQ(ToHex(Cat({twice, Bytes(twice.begin() + 1, twice.end())})), Content(c));
}

TEST(ByteBuffer, CopyToReverseAndToUInt32) {
    CByteBuffer b;
    b.Append(FromHex("0A 0B 0C").data(), 3);
    const struct {
        unsigned int max, copied;
        const char* out;
    } rows[] = {{10, 3, "0A 0B 0C EE"}, {2, 2, "0A 0B EE EE"}, {0, 0, "EE EE EE EE"}};
    for (const auto& r : rows) {
        unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(r.copied, b.CopyTo(out, r.max));
        EXPECT_EQ(r.out, ToHex(out, 4));
    }
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(0u, CByteBuffer().CopyTo(out, 4) + b.CopyTo(nullptr, 4));
    EXPECT_EQ("EE EE EE EE", ToHex(out, 4));
    EXPECT_EQ(0x0A0B0Cu, b.ToUInt32());
    b.Reverse();
    b.Append(FromHex("01 02").data(), 2);
    EXPECT_EQ("0C 0B 0A 01 02", Content(b));
    EXPECT_EQ(0x0C0B0A01u, b.ToUInt32());
    EXPECT_EQ(0u, CByteBuffer().ToUInt32());
}

TEST(ByteBuffer, CopiesOwnTheirBlocks) {
    const CByteBuffer original(0x01020304u);
    CByteBuffer copy(original), assigned(0x0Au);
    assigned = original;
    copy.Reverse();
    assigned.Append(original);
    EXPECT_EQ("01 02 03 04", Content(original));
    EXPECT_EQ("04 03 02 01", Content(copy));
    EXPECT_EQ("01 02 03 04 01 02 03 04", Content(assigned));
    CByteBuffer& same = assigned;
    assigned = same;
    EXPECT_EQ(8u, assigned.Size());
    assigned = CByteBuffer();
    EXPECT_EQ(nullptr, assigned.Data());
    EXPECT_EQ(0u, assigned.Size());
}
