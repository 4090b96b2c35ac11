// softenc's DES side: the six block ciphers, the DES core's schedules, the
// MAC engine, key derivation and session MACs, and the CBC filters, against
// the published vectors and OpenSSL's DES. Then the secrets those functions
// handle: none may stay behind in the stack frames they give back.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include "DESCore.h"
#include "softenc.h"
#include "support/GuardedBuffer.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

const Bytes kKey24 = FromHex("0123456789ABCDEF FEDCBA9876543210 89ABCDEF01234567");
const Bytes kKey16(kKey24.begin(), kKey24.begin() + 16);
const Bytes kKey8(kKey24.begin(), kKey24.begin() + 8);
const Bytes kIV = FromHex("1234567890ABCDEF");

Bytes Part(const Bytes& b, size_t from, size_t n) {
    return Bytes(b.begin() + from, b.begin() + from + n);
}
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<unsigned char>(seed + i * 37 + (i >> 3));
    }
    return b;
}

// The reference: OpenSSL's DES and triple DES (EDE; K3 = K1 for a 16-byte
// key), ECB over whole blocks.
Bytes Ecb(Bytes key, Bytes in, bool encrypt) { // copies: OpenSSL takes non-const blocks
    DES_key_schedule k[3];
    for (size_t i = 0; i < 3; ++i) {
        const size_t at = i * 8 < key.size() ? i * 8 : 0;
        DES_set_key_unchecked(reinterpret_cast<DES_cblock*>(key.data() + at), &k[i]);
    }
    Bytes out(in.size() / 8 * 8);
    for (size_t i = 0; i < out.size(); i += 8) {
        auto src = reinterpret_cast<DES_cblock*>(in.data() + i);
        auto dst = reinterpret_cast<DES_cblock*>(out.data() + i);
        if (key.size() == 8) {
            DES_ecb_encrypt(src, dst, &k[0], encrypt ? DES_ENCRYPT : DES_DECRYPT);
        } else {
            DES_ecb3_encrypt(src, dst, &k[0], &k[1], &k[2], encrypt ? DES_ENCRYPT : DES_DECRYPT);
        }
    }
    return out;
}

// ISO/IEC 9797-1 padding method 2, MAC algorithm 1 (8-byte key) or 3 (16),
// leftmost 4 bytes, the initial value XORed into the first block.
Bytes Mac(const Bytes& key, Bytes message, Bytes chain = Bytes(8, 0)) {
    message.push_back(0x80);
    message.resize((message.size() + 7) / 8 * 8, 0x00);
    for (size_t i = 0; i < message.size(); i += 8) {
        for (size_t j = 0; j < 8; ++j) {
            chain[j] ^= message[i + j];
        }
        chain = Ecb(Part(key, 0, 8), chain, true);
    }
    if (key.size() == 16) {
        chain = Ecb(Part(key, 0, 8), Ecb(Part(key, 8, 8), chain, false), true);
    }
    return Part(chain, 0, 4);
}

Bytes Diversified(const Bytes& key, const Bytes& factor) {
    Bytes complement = factor;
    for (auto& b : complement) {
        b = static_cast<unsigned char>(~b);
    }
    return Cat(Ecb(key, factor, true), Ecb(key, complement, true));
}

std::vector<std::vector<std::string>> ReadVectors(const std::string& file) {
    std::ifstream in(std::string(ZUIC_VECTORS_DIR) + "/" + file);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::vector<std::string> row;
        for (std::string f; fields >> f;) {
            row.push_back(f == "-" ? "" : f);
        }
        if (!row.empty() && row[0][0] != '#') {
            rows.push_back(row);
        }
    }
    EXPECT_FALSE(rows.empty()) << file;
    return rows;
}

// One row per cipher class: built on a key that lies at the end of a
// readable page, so that a class copying one key byte too many faults.
struct CipherClass {
    const char* name;
    size_t keyBytes;
    bool encrypt;
    std::function<CBlockCipher*(const unsigned char*)> make;
};
template <class C> std::function<CBlockCipher*(const unsigned char*)> Maker() {
    return [](const unsigned char* key) { return new C(key); };
}
const CipherClass kClasses[] = {
    {"CDESEncryptor", 8, true, Maker<CDESEncryptor>()},
    {"CDESDecryptor", 8, false, Maker<CDESDecryptor>()},
    {"CTDES2Encryptor", 16, true, Maker<CTDES2Encryptor>()},
    {"CTDES2Decryptor", 16, false, Maker<CTDES2Decryptor>()},
    {"CTDES3Encryptor", 24, true, Maker<CTDES3Encryptor>()},
    {"CTDES3Decryptor", 24, false, Maker<CTDES3Decryptor>()},
};
std::unique_ptr<CBlockCipher> Make(const CipherClass& c, const Bytes& key) {
    CGuardedBuffer guarded(key);
    return std::unique_ptr<CBlockCipher>(c.make(guarded.Data()));
}

// Itanium ABI: a virtual member pointer holds 1 + its byte offset in the
// table, where the destructor takes two entries.
template <class F> long Slot(F f) {
    struct {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } raw;
    std::memcpy(&raw, &f, sizeof raw);
    return (raw.ptr & 1) == 0 ? -1 : static_cast<long>((raw.ptr - 1) / sizeof(void*)) - 1;
}

} // namespace

TEST(BlockCiphers, PublishedVectorsWithByteZeroMostSignificant) {
    // Rows of one key make one message, so that runs of two blocks and a
    // lone block are both crossed; the decryptor takes it back in place.
    const std::pair<const char*, size_t> files[] = {
        {"des.txt", 8}, {"tdes.txt", 16}, {"tdes.txt", 24}};
    for (const auto& file : files) {
        const CipherClass& enc = kClasses[file.second / 4 - 2];
        const CipherClass& dec = kClasses[file.second / 4 - 1];
        std::vector<std::vector<std::string>> rows = ReadVectors(file.first);
        for (size_t i = 0, next; i < rows.size(); i = next) {
            Bytes plain, cipher;
            for (next = i; next < rows.size() && rows[next][0] == rows[i][0]; ++next) {
                plain = Cat(plain, FromHex(rows[next][1]));
                cipher = Cat(cipher, FromHex(rows[next][2]));
            }
            const Bytes key = FromHex(rows[i][0]);
            if (key.size() != file.second) {
                continue;
            }
            SCOPED_TRACE(rows[i][0]);
            Bytes out(plain.size());
            Make(enc, key)->ProcessBlocks(plain.data(), out.data(), out.size());
            EXPECT_EQ(ToHex(cipher), ToHex(out));
            Make(dec, key)->ProcessBlocks(out.data(), out.size());
            EXPECT_EQ(ToHex(plain), ToHex(out));
        }
    }
}

TEST(BlockCiphers, EveryClassAgreesWithOpenSSLAndLeavesTheTail) {
    const Bytes data = Pattern(44, 5); // five whole blocks and a tail of 4
    Bytes parity = kKey24;
    for (auto& b : parity) {
        b ^= 0x01;
    }
    for (const CipherClass& c : kClasses) {
        SCOPED_TRACE(c.name);
        const Bytes key = Part(kKey24, 0, c.keyBytes);
        const Bytes expected = Ecb(key, data, c.encrypt);
        Bytes out(44, 0xEE);
        Make(c, key)->ProcessBlocks(data.data(), out.data(), 44);
        EXPECT_EQ(ToHex(Cat(expected, Bytes(4, 0xEE))), ToHex(out));
        // In place through slot 2; parity bits ignored.
        Bytes inPlace = data;
        Make(c, Part(parity, 0, c.keyBytes))->ProcessBlocks(inPlace.data(), 44);
        EXPECT_EQ(ToHex(Cat(expected, Part(data, 40, 4))), ToHex(inPlace));
        Bytes untouched(7, 0xEE);
        Make(c, key)->ProcessBlocks(data.data(), untouched.data(), 7);
        EXPECT_EQ(Bytes(7, 0xEE), untouched);
        EXPECT_EQ(8u, Make(c, key)->BlockSize());
    }
    // Equal halves reduce two-key triple DES to single DES.
    const Bytes twice = Cat(kKey8, kKey8);
    Bytes a(40), b(40);
    CTDES2Encryptor(twice.data()).ProcessBlocks(data.data(), a.data(), 40);
    CDESEncryptor(kKey8.data()).ProcessBlocks(data.data(), b.data(), 40);
    EXPECT_EQ(a, b);
}

TEST(BlockCiphers, SlotOrderAndSlotTwoReachesSlotOneThroughTheTable) {
    typedef void (CBlockCipher::*OutOfPlace)(const unsigned char*, unsigned char*, unsigned long);
    typedef void (CBlockCipher::*InPlace)(unsigned char*, unsigned long);
    EXPECT_EQ(1, Slot(static_cast<OutOfPlace>(&CBlockCipher::ProcessBlocks)));
    EXPECT_EQ(2, Slot(static_cast<InPlace>(&CBlockCipher::ProcessBlocks)));
    EXPECT_EQ(3, Slot(&CBlockCipher::BlockSize));
    struct Spy : CTDES3Decryptor {
        using CTDES3Decryptor::CTDES3Decryptor;
        using CTDES3Decryptor::ProcessBlocks;
        void ProcessBlocks(const unsigned char* in, unsigned char* out, unsigned long n) override {
            ++calls;
            CTDES3Decryptor::ProcessBlocks(in, out, n);
        }
        int calls = 0;
    } spy(kKey24.data());
    Bytes block = Pattern(8, 1);
    static_cast<CBlockCipher&>(spy).ProcessBlocks(block.data(), 8);
    EXPECT_EQ(1, spy.calls);
    EXPECT_EQ(ToHex(Ecb(kKey24, Pattern(8, 1), false)), ToHex(block));
}

TEST(DESCore, ContextsAndBlockRoutinesAgreeWithTheClasses) {
    const Bytes block = Pattern(8, 9);
    unsigned char out[8], back[8];
    DESContext single;
    DESSetKey(&single, kKey8.data());
    DESEncryptBlock(&single, block.data(), out);
    EXPECT_EQ(ToHex(Ecb(kKey8, block, true)), ToHex(out, 8));
    DESDecryptBlock(&single, out, back);
    EXPECT_EQ(ToHex(block), ToHex(back, 8));
    DESCryptBlock(single.decrypt, out, back);
    EXPECT_EQ(ToHex(block), ToHex(back, 8));
    for (size_t keyBytes : {16, 24}) {
        SCOPED_TRACE(keyBytes);
        const Bytes key = Part(kKey24, 0, keyBytes);
        DES3Context triple;
        keyBytes == 16 ? DES3SetKey2(&triple, key.data()) : DES3SetKey3(&triple, key.data());
        DES3EncryptBlock(&triple, block.data(), out);
        EXPECT_EQ(ToHex(Ecb(key, block, true)), ToHex(out, 8));
        DES3DecryptBlock(&triple, out, back);
        EXPECT_EQ(ToHex(block), ToHex(back, 8));
        DES3CryptBlock(triple.encrypt, block.data(), back);
        EXPECT_EQ(ToHex(out, 8), ToHex(back, 8));
    }
}

TEST(DESMac, VectorsWholeAndInPiecesOfAnySize) {
    for (const auto& row : ReadVectors("mac.txt")) {
        SCOPED_TRACE(row[0] + " " + row[1] + " " + row[2]);
        const Bytes key = FromHex(row[0]), iv = FromHex(row[1]), message = FromHex(row[2]);
        for (size_t piece : {0, 1, 3, 8, 9, 100}) {
            CDESMac mac;
            mac.Init(key.data(), key.size(), iv.empty() ? nullptr : iv.data());
            EXPECT_EQ(1, mac.Update(message.data(), 0));
            for (size_t at = 0; piece != 0 && at < message.size(); at += piece) {
                EXPECT_EQ(1, mac.Update(message.data() + at, std::min(piece, message.size() - at)));
            }
            if (piece == 0) {
                EXPECT_EQ(1, mac.Update(message.data(), message.size()));
            }
            unsigned char out[5] = {0, 0, 0, 0, 0xEE};
            mac.Final(out);
            EXPECT_EQ(ToHex(FromHex(row[3])) + " EE", ToHex(out, 5));
            EXPECT_EQ(0, mac.Update(message.data(), message.size())) << "Final ends the engine";
        }
    }
}

TEST(DESMac, EngineStatesAndKeyLengths) {
    const Bytes message = Pattern(21, 3);
    auto run = [&](const std::function<void(CDESMac&)>& steps) {
        CDESMac engine;
        steps(engine);
        unsigned char mac[4];
        engine.Final(mac);
        return ToHex(mac, 4);
    };
    // Never initialised: Update refuses, Final is algorithm 1 under the zero key.
    EXPECT_EQ(ToHex(Mac(Bytes(8, 0), {})),
              run([&](CDESMac& e) { EXPECT_EQ(0, e.Update(message.data(), 21)); }));
    // A 16-byte key with equal halves is the 8-byte key alone.
    const Bytes twice = Cat(kKey8, kKey8);
    EXPECT_EQ(ToHex(Mac(kKey8, message)), run([&](CDESMac& e) {
                  e.Init(twice.data(), 16, nullptr);
                  e.Update(message.data(), 21);
              }));
    // A second Init replaces key and initial value and keeps the bytes held.
    EXPECT_EQ(ToHex(Mac(kKey16, message, kIV)), run([&](CDESMac& e) {
                  e.Init(kKey8.data(), 8, nullptr);
                  e.Update(message.data(), 5);
                  e.Init(kKey16.data(), 16, kIV.data());
                  e.Update(message.data() + 5, 16);
              }));
    // Longer than 16: refused, until Final writes zeros and frees the engine.
    EXPECT_EQ("00 00 00 00", run([&](CDESMac& e) {
                  e.Init(kKey16.data(), 16, nullptr);
                  e.Update(message.data(), 5);
                  e.Init(kKey24.data(), 17, nullptr);
                  e.Init(kKey16.data(), 16, nullptr);
                  EXPECT_EQ(0, e.Update(message.data(), 21));
              }));
    EXPECT_EQ(ToHex(Mac(kKey16, message)), run([&](CDESMac& e) {
                  e.Init(kKey24.data(), 24, nullptr);
                  unsigned char ignored[4];
                  e.Final(ignored);
                  e.Init(kKey16.data(), 16, nullptr);
                  EXPECT_EQ(1, e.Update(message.data(), 21));
              }));
}

TEST(DESMac, MemberLayoutAndEveryFieldZeroAfterFinal) {
    CDESMac engine;
    engine.Init(kKey16.data(), 16, kIV.data());
    engine.Update(Pattern(3, 7).data(), 3);
    unsigned char raw[40];
    std::memcpy(raw, static_cast<void*>(&engine), sizeof raw);
    const uint32_t sixteen = 16, three = 3;
    EXPECT_EQ(ToHex(kKey16), ToHex(raw, 16));
    EXPECT_EQ(0, std::memcmp(raw + 16, &sixteen, 4));
    EXPECT_EQ(ToHex(Pattern(3, 7)), ToHex(raw + 20, 3));
    EXPECT_EQ(0, std::memcmp(raw + 28, &three, 4));
    EXPECT_EQ(ToHex(kIV), ToHex(raw + 32, 8));
    unsigned char mac[4];
    engine.Final(mac);
    std::memcpy(raw, static_cast<void*>(&engine), sizeof raw);
    EXPECT_EQ(ToHex(Bytes(40, 0)), ToHex(raw, 40));
}

TEST(DESMac, AppendISOPaddingAddsOneToEightBytes) {
    for (unsigned long length : {15ul, 16ul, 9ul}) {
        SCOPED_TRACE(length);
        Bytes buffer(length + 9, 0xEE);
        unsigned long padded = length;
        AppendISOPadding(buffer.data(), &padded);
        const unsigned long added = 8 - length % 8;
        EXPECT_EQ(length + added, padded);
        Bytes expected = Cat(Bytes(length, 0xEE), Bytes{0x80});
        expected = Cat(Cat(expected, Bytes(added - 1, 0x00)), Bytes(9 - added, 0xEE));
        EXPECT_EQ(ToHex(expected), ToHex(buffer));
    }
}

TEST(KeyDerivation, DiversificationAgainstOpenSSL) {
    const Bytes factors = Pattern(24, 0x90);
    unsigned char out[16];
    DiversifyKey(kKey16.data(), factors.data(), out);
    EXPECT_EQ(ToHex(Diversified(kKey16, Part(factors, 0, 8))), ToHex(out, 16));
    Bytes aliased = kKey16;
    DiversifyKey(aliased.data(), factors.data(), aliased.data());
    EXPECT_EQ(ToHex(out, 16), ToHex(aliased));
    // Chains of none, one and three factors, for both key lengths.
    for (size_t keyBytes : {8, 16}) {
        Bytes expected = Part(kKey16, 0, keyBytes);
        for (size_t count = 0; count <= 3; ++count) {
            SCOPED_TRACE(std::to_string(keyBytes) + " " + std::to_string(count));
            if (count != 0) {
                const Bytes factor = Part(factors, 8 * (count - 1), 8);
                expected =
                    keyBytes == 8 ? Ecb(expected, factor, true) : Diversified(expected, factor);
            }
            if (count == 2) {
                continue;
            }
            CGuardedBuffer result(keyBytes);
            EXPECT_EQ(1, DiversifyKeyChain(kKey16.data(), keyBytes, factors.data(), 8 * count,
                                           result.Data()));
            EXPECT_EQ(ToHex(expected), ToHex(result.Contents()));
        }
    }
    // Refused before anything is written: a 12-byte key, a factor of 12.
    for (auto lengths : {std::make_pair(12, 8), std::make_pair(16, 12), std::make_pair(8, 12)}) {
        Bytes untouched(16, 0xEE);
        EXPECT_EQ(0, DiversifyKeyChain(kKey16.data(), lengths.first, factors.data(), lengths.second,
                                       untouched.data()));
        EXPECT_EQ(Bytes(16, 0xEE), untouched);
    }
}

TEST(KeyDerivation, XorKeyMacAgainstOpenSSL) {
    // Inputs at page ends: nothing beyond the 16 key bytes is read.
    const CGuardedBuffer key(kKey16), data(Pattern(13, 1));
    Bytes xorKey(8);
    for (size_t i = 0; i < 8; ++i) {
        xorKey[i] = kKey16[i] ^ kKey16[i + 8];
    }
    unsigned char mac[4];
    CalcXorKeyMac(key.Data(), data.Data(), 13, mac);
    EXPECT_EQ(ToHex(Mac(xorKey, Pattern(13, 1))), ToHex(mac, 4));
}

// The session state (key, remembered value, counter) is the library's own;
// found by its contents, so that the counter can be set near a carry.
unsigned char* FindSessionState(const Bytes& contents) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range, perms, offset, device, inode, path;
        fields >> range >> perms >> offset >> device >> inode >> path;
        if (perms.compare(0, 2, "rw") != 0 || path.empty() || path[0] != '/') {
            continue;
        }
        auto begin = reinterpret_cast<unsigned char*>(std::stoul(range, nullptr, 16));
        auto end = reinterpret_cast<unsigned char*>(
            std::stoul(range.substr(range.find('-') + 1), nullptr, 16));
        auto found = std::search(begin, end, contents.begin(), contents.end());
        if (found != end) {
            return found;
        }
    }
    return nullptr;
}

TEST(KeyDerivation, SessionMacAgainstOpenSSLAndTheCounter) {
    const CGuardedBuffer factor(Pattern(8, 0x40)), input(FromHex("11223344")),
        sequence(FromHex("0007")), value(FromHex("00000100")), data6(Pattern(6, 0x60)),
        data7(Pattern(7, 0x70));
    const unsigned char code = 0x06;
    const Bytes derived = Diversified(kKey16, factor.Contents());
    auto calc = [&](const std::string& counter) {
        SCOPED_TRACE(counter);
        unsigned char counterOut[4], mac[4];
        CalcSessionMac(kKey16.data(), factor.Data(), input.Data(), sequence.Data(), value.Data(),
                       code, data6.Data(), data7.Data(), counterOut, mac);
        EXPECT_EQ(counter, ToHex(counterOut, 4));
        const Bytes block =
            Cat(Cat(input.Contents(), sequence.Contents()), Part(FromHex(counter), 2, 2));
        const Bytes sessionKey = Ecb(derived, block, true);
        const Bytes covered =
            Cat(Cat(Cat(value.Contents(), {code}), data6.Contents()), data7.Contents());
        EXPECT_EQ(ToHex(Mac(sessionKey, covered)), ToHex(mac, 4));
        return sessionKey;
    };
    // The first session after loading takes counter 00 00 00 01; a wrong MAC
    // leaves it, the right one advances it.
    Bytes sessionKey = calc("00 00 00 01");
    EXPECT_EQ(0, VerifySessionMac(Bytes(4, 0x00).data()));
    sessionKey = calc("00 00 00 01");
    EXPECT_EQ(1, VerifySessionMac(Mac(sessionKey, value.Contents()).data()));
    sessionKey = calc("00 00 00 02");
    unsigned char* state =
        FindSessionState(Cat(Cat(sessionKey, value.Contents()), FromHex("00000002")));
    ASSERT_NE(nullptr, state);
    const std::pair<const char*, const char*> carries[] = {{"00 01 FF FF", "00 02 00 00"},
                                                           {"00 FF FF FF", "01 00 00 00"},
                                                           {"FF FF FF FF", "00 00 00 00"}};
    for (const auto& carry : carries) {
        std::memcpy(state + 12, FromHex(carry.first).data(), 4);
        EXPECT_EQ(1, VerifySessionMac(Mac(sessionKey, value.Contents()).data()));
        sessionKey = calc(carry.second);
    }
}

namespace {

// OpenSSL CBC with PKCS #7 padding, as ECB over the chained blocks.
Bytes Cbc(const Bytes& key, const Bytes& iv, const Bytes& plain) {
    Bytes padded = plain, chain = iv, out;
    padded.resize(plain.size() / 8 * 8 + 8, static_cast<unsigned char>(8 - plain.size() % 8));
    for (size_t i = 0; i < padded.size(); i += 8) {
        for (size_t j = 0; j < 8; ++j) {
            chain[j] ^= padded[i + j];
        }
        chain = Ecb(key, chain, true);
        out = Cat(out, chain);
    }
    return out;
}

Bytes OutputOf(const CByteBuffer& buffer) {
    return Bytes(buffer.Data(), buffer.Data() + buffer.Size());
}

// Feeds input in pieces of `piece` bytes (0: whole), single bytes through
// the one-byte Update.
template <class Filter> void Feed(Filter& filter, const Bytes& input, size_t piece) {
    for (size_t at = 0; at < input.size(); at += piece) {
        piece = piece == 0 ? input.size() : piece;
        const size_t n = std::min(piece, input.size() - at);
        if (n == 1) {
            filter.Update(input[at]);
        } else {
            filter.Update(input.data() + at, static_cast<unsigned int>(n));
        }
    }
}

// A cipher of any block size that XORs with 5A, counting its calls.
struct XorCipher : CBlockCipher {
    explicit XorCipher(unsigned long size) : bs(size) {}
    void ProcessBlocks(const unsigned char* in, unsigned char* out, unsigned long n) override {
        ++calls;
        for (unsigned long i = 0; i < n; ++i) {
            out[i] = in[i] ^ 0x5A;
        }
    }
    void ProcessBlocks(unsigned char* data, unsigned long n) override {
        ProcessBlocks(data, data, n);
    }
    unsigned long BlockSize() override { return bs; }
    unsigned long bs;
    int calls = 0;
};

} // namespace

TEST(CBCFilters, EveryCipherAgreesWithOpenSSLInPiecesOfAnySize) {
    for (size_t keyBytes : {8, 16, 24}) {
        const Bytes key = Part(kKey24, 0, keyBytes);
        const CipherClass& enc = kClasses[keyBytes / 4 - 2];
        const CipherClass& dec = kClasses[keyBytes / 4 - 1];
        for (size_t length : {0, 7, 8, 17, 40, 4200}) { // 4200: beyond one internal batch
            const Bytes plain = Pattern(length, 11), expected = Cbc(key, kIV, plain);
            for (size_t piece : {0, 1, 7, 8, 9, 17}) {
                SCOPED_TRACE(std::to_string(keyBytes) + " " + std::to_string(length) + " " +
                             std::to_string(piece));
                auto encryptor = Make(enc, key), decryptor = Make(dec, key);
                CCBCEncryptFilter e(encryptor.get(), kIV.data());
                Feed(e, plain, piece);
                EXPECT_EQ(1, e.Final());
                EXPECT_EQ(expected, OutputOf(e.output));
                CCBCDecryptFilter d(decryptor.get(), kIV.data());
                Feed(d, expected, piece);
                // The last block waits for Final.
                EXPECT_EQ(expected.size() - 8, d.output.Size());
                EXPECT_EQ(1, d.Final());
                EXPECT_EQ(plain, OutputOf(d.output));
            }
        }
    }
    // No initial value means zeros.
    CDESEncryptor cipher(kKey8.data());
    CCBCEncryptFilter zero(&cipher, nullptr);
    EXPECT_EQ(1, zero.Final());
    EXPECT_EQ(Cbc(kKey8, Bytes(8, 0), {}), OutputOf(zero.output));
}

TEST(CBCFilters, DecryptKeepsWhatTheLastByteOfTheLastBlockSays) {
    struct {
        const char* lastBlock; // decrypted
        int result;
        const char* kept;
    } const cases[] = {
        {"41 42 43 05 05 05 05 05", 1, "41 42 43"},
        {"08 08 08 08 08 08 08 08", 1, ""},
        {"41 42 43 04 05 05 05 05", 0, "41 42 43"}, // only the last byte decides what is kept
        {"41 42 43 44 45 46 47 00", 0, "41 42 43 44 45 46 47 00"},
        {"41 42 43 44 45 46 47 09", 0, "41 42 43 44 45 46 47 00"}, // above bs: last byte 0
    };
    const Bytes first = Pattern(8, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lastBlock);
        // Two blocks under a zero initial value: C1 = E(P1), C2 = E(P2 ^ C1).
        const Bytes c1 = Ecb(kKey8, first, true);
        Bytes second = FromHex(c.lastBlock);
        for (size_t j = 0; j < 8; ++j) {
            second[j] ^= c1[j];
        }
        CDESDecryptor cipher(kKey8.data());
        CCBCDecryptFilter d(&cipher, nullptr);
        Feed(d, Cat(c1, Ecb(kKey8, second, true)), 0);
        EXPECT_EQ(c.result, d.Final());
        EXPECT_EQ(ToHex(Cat(first, FromHex(c.kept))), ToHex(OutputOf(d.output)));
    }
    // No ciphertext, or a last block that is not whole: nothing to decrypt.
    for (size_t length : {0, 7, 15}) {
        CDESDecryptor cipher(kKey8.data());
        CCBCDecryptFilter d(&cipher, nullptr);
        Feed(d, Pattern(length, 1), 0);
        EXPECT_EQ(0, d.Final());
        EXPECT_EQ(length / 8 * 8, d.output.Size());
    }
}

TEST(CBCFilters, BlockSizesOneToSixtyFourAndTheRefusals) {
    for (unsigned long bs : {1ul, 64ul}) {
        XorCipher forth(bs), back(bs);
        const Bytes plain = Pattern(100, 1), iv = Pattern(64, 9);
        CCBCEncryptFilter e(&forth, iv.data());
        Feed(e, plain, 0);
        EXPECT_EQ(1, e.Final());
        EXPECT_EQ((100 / bs + 1) * bs, e.output.Size());
        CCBCDecryptFilter d(&back, iv.data());
        Feed(d, OutputOf(e.output), 0);
        EXPECT_EQ(1, d.Final());
        EXPECT_EQ(plain, OutputOf(d.output));
    }
    // Block size 0 or above 64, or no cipher: nothing happens at all.
    for (unsigned long bs : {0ul, 65ul, 1ul << 33}) {
        XorCipher refused(bs);
        for (CBlockCipher* cipher :
             {static_cast<CBlockCipher*>(&refused), static_cast<CBlockCipher*>(nullptr)}) {
            CCBCEncryptFilter e(cipher, kIV.data());
            Feed(e, Pattern(100, 1), 0);
            e.Update(0x01);
            EXPECT_EQ(0, e.Final());
            CCBCDecryptFilter d(cipher, kIV.data());
            Feed(d, Pattern(100, 1), 0);
            d.Update(0x01);
            EXPECT_EQ(0, d.Final());
            EXPECT_EQ(0u, e.output.Size() + d.output.Size());
        }
        EXPECT_EQ(0, refused.calls);
    }
}

TEST(CBCFilters, MemberLayouts) {
    XorCipher cipher(8);
    CBlockCipher* pointer = &cipher;
    CCBCEncryptFilter e(&cipher, kIV.data());
    CCBCDecryptFilter d(&cipher, kIV.data());
    const Bytes input = Pattern(11, 3);
    Feed(e, input, 0);
    Feed(d, input, 0);
    unsigned char raw[160];
    const uint32_t three = 3;
    // Encrypt: cipher, chain (64), count, output.
    std::memcpy(raw, static_cast<void*>(&e), 96);
    EXPECT_EQ(0, std::memcmp(raw, &pointer, sizeof pointer));
    Bytes chain = OutputOf(e.output);
    for (size_t j = 0; j < 3; ++j) {
        chain[j] ^= input[8 + j];
    }
    EXPECT_EQ(ToHex(chain), ToHex(raw + 8, 8));
    EXPECT_EQ(0, std::memcmp(raw + 72, &three, 4));
    EXPECT_EQ(0, std::memcmp(raw + 80, &e.output, sizeof e.output));
    // Decrypt: cipher, chain (64), block (64), count, output.
    std::memcpy(raw, static_cast<void*>(&d), 160);
    EXPECT_EQ(0, std::memcmp(raw, &pointer, sizeof pointer));
    EXPECT_EQ(ToHex(Part(input, 0, 8)), ToHex(raw + 8, 8));
    EXPECT_EQ(ToHex(Part(input, 8, 3)), ToHex(raw + 72, 3));
    EXPECT_EQ(0, std::memcmp(raw + 136, &three, 4));
    EXPECT_EQ(0, std::memcmp(raw + 144, &d.output, sizeof d.output));
}

namespace {

const size_t kDeadStack = 32 * 1024;

// Zeros the stack below the caller, so that a later scan sees only what the
// operation under test left there.
__attribute__((noinline)) void ClearDeadStack() {
    unsigned char region[kDeadStack];
    std::memset(region, 0, sizeof region);
    asm volatile("" : : "r"(region) : "memory");
}

// The secrets found in the stack below the caller: the frames that the
// previous call used. region is deliberately not initialised.
__attribute__((noinline)) std::string DeadStackHolds(const std::vector<Bytes>* secrets) {
    unsigned char region[kDeadStack];
    asm volatile("" : : "r"(region) : "memory");
    std::string found;
    for (const Bytes& secret : *secrets) {
        if (std::search(region, region + kDeadStack, secret.begin(), secret.end()) !=
            region + kDeadStack) {
            found += " [" + ToHex(secret) + "]";
        }
    }
    asm volatile("" : : "r"(region) : "memory");
    return found;
}

// Runs f with its frames below the caller's, out of reach of the few bytes
// that the scan's own frame overwrites at its top.
__attribute__((noinline)) void RunBelow(const std::function<void()>& f) {
    volatile unsigned char pad[512];
    pad[0] = 0;
    f();
    asm volatile("" : : "r"(pad) : "memory");
}

// The scan's own check: a function that leaves a key on its stack.
__attribute__((noinline)) void LeavesKeyOnStack(const unsigned char* key) {
    unsigned char copy[16];
    std::memcpy(copy, key, sizeof copy);
    asm volatile("" : : "r"(copy) : "memory");
}

const Bytes kSecret =
    FromHex("3C A1 5E 97 D2 0B 64 F8 1D 86 E9 42 B7 5A C3 2F D7 31 9B 4E A6 58 0C E3");

// The first four round keys of an 8-byte key's schedule, as held in memory.
Bytes Schedule(const Bytes& key8) {
    DESContext context;
    DESSetKey(&context, key8.data());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(context.encrypt);
    Bytes words(p, p + 32);
    std::memset(&context, 0, sizeof context);
    return words;
}
// What a computation under a key could leave: its 8-byte parts and their schedules.
std::vector<Bytes> Traces(const Bytes& key) {
    std::vector<Bytes> traces;
    for (size_t i = 0; i < key.size(); i += 8) {
        traces.push_back(Part(key, i, 8));
        traces.push_back(Schedule(Part(key, i, 8)));
    }
    return traces;
}

} // namespace

TEST(SecretWipe, NothingSecretStaysInTheStackFramesGivenBack) {
    std::vector<Bytes> secrets = {Part(kSecret, 0, 16)};
    ClearDeadStack();
    EXPECT_EQ("", DeadStackHolds(&secrets));
    RunBelow([] { LeavesKeyOnStack(kSecret.data()); });
    EXPECT_NE("", DeadStackHolds(&secrets)) << "the scan finds a key left behind";

    const Bytes key = Part(kSecret, 0, 16), factor = Pattern(8, 0x21), data = Pattern(13, 5);
    Bytes xorKey(8), complement(8);
    for (size_t i = 0; i < 8; ++i) {
        xorKey[i] = key[i] ^ key[i + 8];
        complement[i] = static_cast<unsigned char>(~factor[i]);
    }
    std::vector<Bytes> diversified = Traces(Diversified(key, factor));
    diversified.push_back(complement);
    const struct {
        const char* name;
        std::function<void()> run;
        std::vector<Bytes> secrets;
    } cases[] = {
        {"CTDES3Decryptor",
         [&] {
             Bytes b = data;
             CTDES3Decryptor(kSecret.data()).ProcessBlocks(b.data(), 8);
         },
         Traces(kSecret)},
        {"CDESMac",
         [&] {
             unsigned char mac[4];
             CDESMac engine;
             engine.Init(key.data(), 16, nullptr);
             engine.Update(data.data(), data.size());
             engine.Final(mac);
         },
         Traces(key)},
        {"CDESMac destroyed before Final",
         [&] {
             CDESMac engine;
             engine.Init(key.data(), 16, nullptr);
             engine.Update(data.data(), 5);
         },
         {Part(key, 0, 8), Part(key, 8, 8), Part(data, 0, 5)}},
        {"DiversifyKey",
         [&] {
             Bytes out(16);
             DiversifyKey(key.data(), factor.data(), out.data());
         },
         diversified},
        {"CalcXorKeyMac",
         [&] {
             unsigned char mac[4];
             CalcXorKeyMac(key.data(), data.data(), 13, mac);
         },
         Traces(xorKey)},
        {"CalcSessionMac",
         [&] {
             unsigned char counter[4], mac[4];
             CalcSessionMac(key.data(), factor.data(), data.data(), data.data(), data.data(), 0x5A,
                            data.data(), data.data(), counter, mac);
         },
         Traces(Diversified(key, factor))},
    };
    for (const auto& c : cases) {
        ClearDeadStack();
        RunBelow(c.run);
        EXPECT_EQ("", DeadStackHolds(&c.secrets)) << c.name << " leaves a secret on the stack";
    }
}
