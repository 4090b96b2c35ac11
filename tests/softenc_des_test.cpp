// softenc's DES side against the published vectors and OpenSSL's DES: the
// six block ciphers and the core's schedules, the MAC engine, key derivation
// and the session counter, the CBC filters; then the secrets they handle, and
// card data read from a file, none of which may stay behind in the stack
// frames they give back.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include "DESCore.h"
#include "softenc.h"
#include "support/GuardedBuffer.h"
#include "support/Hex.h"
#include "support/RecordingCard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>

namespace {

const Bytes kKey24 = FromHex("0123456789ABCDEF FEDCBA9876543210 89ABCDEF01234567");
const Bytes kKey16(kKey24.begin(), kKey24.begin() + 16), kKey8(kKey24.begin(), kKey24.begin() + 8);
const Bytes kIV = FromHex("1234567890ABCDEF");

Bytes Part(const Bytes& b, size_t from, size_t n) {
    return Bytes(b.begin() + from, b.begin() + from + n);
}
Bytes Cat(Bytes a, const Bytes& b, const Bytes& c = {}, const Bytes& d = {}) {
    for (const Bytes* p : {&b, &c, &d})
        a.insert(a.end(), p->begin(), p->end());
    return a;
}
Bytes Xor(Bytes a, const Bytes& b) {
    for (size_t i = 0; i < a.size(); ++i)
        a[i] ^= b[i];
    return a;
}
Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(seed + i * 37 + (i >> 3));
    return b;
}

// The reference: OpenSSL's DES, or triple DES (EDE, K3 = K1 for a 16-byte
// key), over the whole blocks of in. Takes copies: OpenSSL's blocks are not const.
Bytes Ecb(Bytes key, Bytes in, bool encrypt) {
    DES_key_schedule k[3]; // single DES as EDE under one key thrice
    for (size_t i = 0; i < 3; ++i)
        DES_set_key_unchecked(reinterpret_cast<DES_cblock*>(&key[i * 8 % key.size()]), &k[i]);
    in.resize(in.size() / 8 * 8);
    for (size_t i = 0; i < in.size(); i += 8)
        DES_ecb3_encrypt(reinterpret_cast<DES_cblock*>(&in[i]),
                         reinterpret_cast<DES_cblock*>(&in[i]), &k[0], &k[1], &k[2],
                         encrypt ? DES_ENCRYPT : DES_DECRYPT);
    return in;
}
// ISO/IEC 9797-1 padding method 2, MAC algorithm 1 (8-byte key) or 3 (16),
// leftmost 4 bytes, the initial value XORed into the first block.
Bytes Mac(const Bytes& key, Bytes message, Bytes chain = Bytes(8, 0)) {
    message.push_back(0x80);
    message.resize((message.size() + 7) / 8 * 8, 0x00);
    for (size_t i = 0; i < message.size(); i += 8)
        chain = Ecb(Part(key, 0, 8), Xor(chain, Part(message, i, 8)), true);
    if (key.size() == 16)
        chain = Ecb(Part(key, 0, 8), Ecb(Part(key, 8, 8), chain, false), true);
    return Part(chain, 0, 4);
}
// CBC with PKCS #7 padding.
Bytes Cbc(const Bytes& key, Bytes chain, Bytes plain) {
    plain.resize(plain.size() / 8 * 8 + 8, static_cast<unsigned char>(8 - plain.size() % 8));
    Bytes out;
    for (size_t i = 0; i < plain.size(); i += 8)
        out = Cat(out, chain = Ecb(key, Xor(chain, Part(plain, i, 8)), true));
    return out;
}
// The factor and its complement, each under the two-key triple-DES key.
Bytes Diversified(const Bytes& key, const Bytes& factor) {
    return Cat(Ecb(key, factor, true), Ecb(key, Xor(factor, Bytes(8, 0xFF)), true));
}

// The fields of a vector file, row after row.
std::vector<std::string> ReadVectors(const std::string& file) {
    std::ifstream in(std::string(ZUIC_VECTORS_DIR) + "/" + file);
    std::vector<std::string> fields;
    for (std::string line; std::getline(in, line);)
        if (std::istringstream row(line); line.compare(0, 1, "#") != 0)
            fields.insert(fields.end(), std::istream_iterator<std::string>(row), {});
    EXPECT_FALSE(fields.empty()) << file;
    return fields;
}

// A cipher built on a key that ends where a readable page ends: a class
// that copies one key byte too many faults.
template <class C> std::unique_ptr<CBlockCipher> Make(const Bytes& key) {
    return std::unique_ptr<CBlockCipher>(new C(CGuardedBuffer(key).Data()));
}

// A class pair against its published vectors (one block a call) and
// OpenSSL (four blocks, which the core takes two at a time, and a tail that
// is neither read nor written); the core's triple-DES contexts alike.
template <class Enc, class Dec> void CheckPair(const char* file, size_t keyBytes) {
    const std::vector<std::string> rows = ReadVectors(file); // key, plaintext, ciphertext
    for (size_t i = 0; i + 3 <= rows.size(); i += 3) {
        Bytes key = FromHex(rows[i]), block = FromHex(rows[i + 1]);
        if (key.size() != keyBytes)
            continue;
        Make<Enc>(key)->ProcessBlocks(block.data(), 8);
        EXPECT_EQ(ToHex(FromHex(rows[i + 2])), ToHex(block)) << rows[i];
        Make<Dec>(key)->ProcessBlocks(block.data(), 8);
        EXPECT_EQ(ToHex(FromHex(rows[i + 1])), ToHex(block)) << rows[i];
    }
    const Bytes key = Part(kKey24, 0, keyBytes), parity = Xor(key, Bytes(24, 0x01)),
                data = Pattern(36, 5);
    for (bool encrypt : {true, false}) {
        const Bytes expected = Ecb(key, data, encrypt);
        Bytes out(36, 0xEE), inPlace = data;
        (encrypt ? Make<Enc>(key) : Make<Dec>(key))->ProcessBlocks(data.data(), out.data(), 36);
        EXPECT_EQ(ToHex(Cat(expected, Bytes(4, 0xEE))), ToHex(out));
        // In place (slot 2) under a key whose parity bits differ: the same.
        (encrypt ? Make<Enc>(parity) : Make<Dec>(parity))->ProcessBlocks(inPlace.data(), 36);
        EXPECT_EQ(ToHex(Cat(expected, Part(data, 32, 4))), ToHex(inPlace));
        if (keyBytes == 8)
            continue;
        DES3Context triple{}; // zeros: no round key may come from an earlier call
        keyBytes == 16 ? DES3SetKey2(&triple, key.data()) : DES3SetKey3(&triple, key.data());
        (encrypt ? DES3EncryptBlock : DES3DecryptBlock)(&triple, data.data(), out.data());
        EXPECT_EQ(ToHex(Part(expected, 0, 8)), ToHex(Part(out, 0, 8)));
    }
}

// Itanium ABI: a virtual member pointer holds 1 + its byte offset in the
// table, where the destructor takes two entries.
template <class F> long Slot(F f) {
    std::uintptr_t raw[2]; // the pointer, then the this-adjustment
    std::memcpy(raw, &f, sizeof raw);
    return (raw[0] & 1) == 0 ? -1 : static_cast<long>((raw[0] - 1) / sizeof(void*)) - 1;
}

Bytes OutputOf(const CByteBuffer& buffer) {
    return Bytes(buffer.Data(), buffer.Data() + buffer.Size());
}

// Feeds input in pieces of `piece` bytes (0: whole).
template <class Filter> void Feed(Filter& filter, const Bytes& input, size_t piece) {
    for (size_t at = 0, n; at < input.size(); at += n)
        filter.Update(input.data() + at,
                      n = std::min(piece ? piece : input.size(), input.size() - at));
}

// Feeds input, expects result from Final and gives the output.
template <class Filter>
Bytes Drain(Filter&& filter, const Bytes& input, size_t piece = 0, int result = 1) {
    Feed(filter, input, piece);
    EXPECT_EQ(result, filter.Final());
    return OutputOf(filter.output);
}

// A cipher of any block size that XORs with 5A.
struct XorCipher : CBlockCipher {
    explicit XorCipher(unsigned long size) : bs(size) {}
    void ProcessBlocks(const unsigned char* in, unsigned char* out, unsigned long n) override {
        std::transform(in, in + n, out, [](unsigned char b) { return b ^ 0x5A; });
    }
    void ProcessBlocks(unsigned char* d, unsigned long n) override { ProcessBlocks(d, d, n); }
    unsigned long BlockSize() override { return bs; }
    unsigned long bs;
};

const size_t kDeadStack = 32 * 1024;

// Given no secrets, zeros the stack below the caller, so that a later scan
// sees only what the operation under test leaves there; given secrets, the
// ones found there. region is deliberately not initialised.
[[maybe_unused]] __attribute__((noinline)) std::string
DeadStack(const std::vector<Bytes>& secrets) {
    unsigned char region[kDeadStack];
    asm volatile("" : : "r"(region) : "memory");
    std::string found;
    if (secrets.empty())
        std::memset(region, 0, sizeof region);
    for (const Bytes& secret : secrets)
        if (std::search(region, region + kDeadStack, secret.begin(), secret.end()) !=
            region + kDeadStack)
            found += " [" + ToHex(secret) + "]";
    asm volatile("" : : "r"(region) : "memory");
    return found;
}

// Runs f with its frames below the caller's, out of reach of the few bytes
// that the scan's own frame overwrites at its top.
[[maybe_unused]] __attribute__((noinline)) void RunBelow(const std::function<void()>& f) {
    volatile unsigned char pad[512];
    pad[0] = 0;
    f();
    asm volatile("" : : "r"(pad) : "memory");
}

// The scan's own check: a function that keeps a key on its stack and returns.
[[maybe_unused]] __attribute__((noinline)) void LeavesKeyOnStack(const unsigned char* key) {
    unsigned char copy[16];
    std::memcpy(copy, key, sizeof copy);
    asm volatile("" : : "r"(copy) : "memory");
}

// What a computation under a key could leave: its 8-byte parts and the
// first four round keys of each one's schedule, as held in memory.
[[maybe_unused]] std::vector<Bytes> Traces(const Bytes& key) {
    std::vector<Bytes> traces;
    for (size_t i = 0; i < key.size(); i += 8) {
        DESContext context;
        DESSetKey(&context, &key[i]);
        const unsigned char* words = reinterpret_cast<const unsigned char*>(context.encrypt);
        traces.insert(traces.end(), {Part(key, i, 8), Bytes(words, words + 32)});
    }
    return traces;
}

// A MAC under key over data; with no room for one, the engine is dropped
// before Final.
[[maybe_unused]] void MacUnder(const Bytes& key, const Bytes& data, unsigned char* mac) {
    CDESMac engine;
    engine.Init(key.data(), key.size(), nullptr);
    engine.Update(data.data(), data.size());
    if (mac != nullptr)
        engine.Final(mac);
}

} // namespace

TEST(BlockCiphers, VectorsOpenSSLTailsParityAndCoreContexts) {
    CheckPair<CDESEncryptor, CDESDecryptor>("des.txt", 8);
    CheckPair<CTDES2Encryptor, CTDES2Decryptor>("tdes.txt", 16);
    CheckPair<CTDES3Encryptor, CTDES3Decryptor>("tdes.txt", 24);
}

TEST(BlockCiphers, SlotOrderAndSlotTwoReachesSlotOneThroughTheTable) {
    typedef void (CBlockCipher::*OutOfPlace)(const unsigned char*, unsigned char*, unsigned long);
    EXPECT_EQ(1, Slot(static_cast<OutOfPlace>(&CBlockCipher::ProcessBlocks)));
    EXPECT_EQ(2, Slot(static_cast<void (CBlockCipher::*)(unsigned char*, unsigned long)>(
                     &CBlockCipher::ProcessBlocks)));
    EXPECT_EQ(3, Slot(&CBlockCipher::BlockSize));
    struct Spy : CTDES3Decryptor {
        using CTDES3Decryptor::CTDES3Decryptor;
        using CTDES3Decryptor::ProcessBlocks;
        void ProcessBlocks(const unsigned char*, unsigned char* o, unsigned long n) override {
            std::memset(o, 0x5A, n);
        }
    } spy(kKey24.data());
    Bytes block(8);
    static_cast<CBlockCipher&>(spy).ProcessBlocks(block.data(), 8);
    EXPECT_EQ(Bytes(8, 0x5A), block);
}

TEST(DESMac, VectorsInPiecesOfAnySizeAndTheISOPadding) {
    const std::vector<std::string> rows = ReadVectors("mac.txt"); // key, iv, message, MAC
    for (size_t i = 0; i + 4 <= rows.size(); i += 4) {
        // '-': no initial value, or the empty message.
        auto field = [&](size_t j) { return rows[i + j] == "-" ? Bytes() : FromHex(rows[i + j]); };
        const Bytes key = field(0), iv = field(1), message = field(2);
        for (size_t piece : {0, 1, 3, 8, 9}) {
            CDESMac mac;
            mac.Init(key.data(), key.size(), iv.empty() ? nullptr : iv.data());
            EXPECT_EQ(1, mac.Update(message.data(), 0));
            for (size_t at = 0; at < message.size(); at += piece) {
                piece = piece == 0 ? message.size() : piece;
                EXPECT_EQ(1, mac.Update(message.data() + at, std::min(piece, message.size() - at)));
            }
            unsigned char out[5] = {0, 0, 0, 0, 0xEE};
            mac.Final(out);
            EXPECT_EQ(ToHex(FromHex(rows[i + 3])) + " EE", ToHex(out, 5)) << i << " " << piece;
        }
    }
    // The same padding for a caller's buffer: 80, then 00 up to the next block.
    for (auto c : {std::make_pair(15ul, "80"), std::make_pair(16ul, "80 00 00 00 00 00 00 00")}) {
        Bytes buffer(24, 0xEE);
        unsigned long padded = c.first;
        AppendISOPadding(buffer.data(), &padded);
        EXPECT_EQ(c.second, ToHex(Part(buffer, c.first, padded - c.first)));
    }
}

// Final's 4 bytes, as hex.
static std::string FinalHex(CDESMac& engine) {
    unsigned char mac[4];
    engine.Final(mac);
    return ToHex(mac, 4);
}

TEST(DESMac, InitStatesKeyLengthsAndMemberLayout) {
    const Bytes m = Pattern(21, 3);
    CDESMac e; // each Final leaves it as new for the next case
    Bytes raw(40);
    // Never initialised: Update refuses, Final is algorithm 1 under the zero key.
    EXPECT_EQ(0, e.Update(m.data(), 21));
    EXPECT_EQ(ToHex(Mac(Bytes(8, 0), {})), FinalHex(e));
    // A 16-byte key with equal halves is the 8-byte key alone.
    e.Init(Cat(kKey8, kKey8).data(), 16, nullptr);
    e.Update(m.data(), 21);
    EXPECT_EQ(ToHex(Mac(kKey8, m)), FinalHex(e));
    // A second Init replaces key and initial value and keeps the bytes held,
    // in fields laid out as key (16), key length, buffer (8), fill, chaining value (8).
    e.Init(kKey8.data(), 8, nullptr);
    e.Update(m.data(), 5);
    e.Init(kKey16.data(), 16, kIV.data());
    const uint32_t lengths[2] = {16, 5};
    std::memcpy(raw.data(), static_cast<void*>(&e), 40);
    EXPECT_EQ(ToHex(Cat(kKey16, Part(raw, 16, 4), Part(m, 0, 5))), ToHex(Part(raw, 0, 25)));
    EXPECT_EQ(0, std::memcmp(&raw[16], &lengths[0], 4) | std::memcmp(&raw[28], &lengths[1], 4));
    EXPECT_EQ(ToHex(kIV), ToHex(Part(raw, 32, 8)));
    e.Update(m.data() + 5, 16);
    EXPECT_EQ(ToHex(Mac(kKey16, m, kIV)), FinalHex(e));
    // 17 bytes: refused, a good key after it too, until Final writes zeros
    // and ends the refusal.
    e.Init(kKey24.data(), 17, nullptr);
    e.Init(kKey16.data(), 16, nullptr);
    EXPECT_EQ(0, e.Update(m.data(), 21));
    EXPECT_EQ("00 00 00 00", FinalHex(e));
    e.Init(kKey16.data(), 16, nullptr);
    EXPECT_EQ(1, e.Update(m.data(), 21));
    EXPECT_EQ(ToHex(Mac(kKey16, m)), FinalHex(e));
    std::memcpy(raw.data(), static_cast<void*>(&e), 40);
    EXPECT_EQ(Bytes(40, 0), raw) << "every field zero after Final";
}

TEST(KeyDerivation, DiversificationAndXorKeyMacAgainstOpenSSL) {
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
            CGuardedBuffer result(keyBytes);
            EXPECT_EQ(1, DiversifyKeyChain(kKey16.data(), keyBytes, factors.data(), 8 * count,
                                           result.Data()));
            EXPECT_EQ(ToHex(expected), ToHex(result.Contents())) << keyBytes << " " << count;
            const Bytes factor = Part(factors, 8 * count % 24, 8);
            expected = keyBytes == 8 ? Ecb(expected, factor, true) : Diversified(expected, factor);
        }
    }
    // The XOR-key MAC: algorithm 1 under the halves XORed, no byte read
    // beyond the 16 of the key.
    CalcXorKeyMac(CGuardedBuffer(kKey16).Data(), factors.data(), 13, out);
    EXPECT_EQ(ToHex(Mac(Xor(kKey8, Part(kKey16, 8, 8)), Part(factors, 0, 13))), ToHex(out, 4));
    // Refused before anything is written (into no room at all): a 12-byte
    // key, a factor of 12.
    EXPECT_EQ(0, DiversifyKeyChain(kKey16.data(), 12, factors.data(), 8, CGuardedBuffer(0).Data()));
    EXPECT_EQ(0,
              DiversifyKeyChain(kKey16.data(), 16, factors.data(), 12, CGuardedBuffer(0).Data()));
}

// The session state (key, remembered value, counter) is the library's own;
// found by its contents in the writable data of a loaded file, read past
// the sanitizer's guards around globals.
__attribute__((no_sanitize("address"))) static unsigned char* FindSessionState(const Bytes& want) {
    std::ifstream maps("/proc/self/maps");
    unsigned long begin, end;
    for (std::string perms, rest; (maps >> std::hex >> begin).ignore() >> end >> perms;) {
        std::getline(maps, rest);
        if (perms[1] != 'w' || rest.find('/') == std::string::npos)
            continue;
        for (auto p = reinterpret_cast<unsigned char*>(begin); begin + want.size() <= end;
             ++p, ++begin)
            for (size_t k = 0; p[k] == want[k];) // want is never empty
                if (++k == want.size())
                    return p;
    }
    return nullptr;
}

TEST(KeyDerivation, SessionMacAgainstOpenSSLAndTheCounterCarry) {
    const CGuardedBuffer factor(Pattern(8, 0x40)), input(Pattern(4, 1)), sequence(Pattern(2, 2)),
        value(Pattern(4, 3)), data6(Pattern(6, 0x60)), data7(Pattern(7, 0x70));
    auto calc = [&](const std::string& counter) {
        unsigned char counterOut[4], mac[4];
        CalcSessionMac(kKey16.data(), factor.Data(), input.Data(), sequence.Data(), value.Data(),
                       0x06, data6.Data(), data7.Data(), counterOut, mac);
        EXPECT_EQ(counter, ToHex(counterOut, 4));
        const Bytes sessionKey =
            Ecb(Diversified(kKey16, factor.Contents()),
                Cat(input.Contents(), sequence.Contents(), Part(FromHex(counter), 2, 2)), true);
        const Bytes covered = Cat(value.Contents(), {0x06}, data6.Contents(), data7.Contents());
        EXPECT_EQ(ToHex(Mac(sessionKey, covered)), ToHex(mac, 4)) << counter;
        return sessionKey;
    };
    // The first session after loading takes counter 00 00 00 01; a wrong MAC
    // leaves it, the right one advances it.
    Bytes sessionKey = calc("00 00 00 01");
    EXPECT_EQ(0, VerifySessionMac(Bytes(4, 0x00).data()));
    sessionKey = calc("00 00 00 01");
    EXPECT_EQ(1, VerifySessionMac(Mac(sessionKey, value.Contents()).data()));
    sessionKey = calc("00 00 00 02");
    unsigned char* state = FindSessionState(Cat(sessionKey, value.Contents(), FromHex("00000002")));
    ASSERT_NE(nullptr, state);
    // Counter before a good verification, and after it.
    for (const char* carry : {"0001FFFF00020000", "00FFFFFF01000000", "FFFFFFFF00000000"}) {
        std::memcpy(state + 12, FromHex(carry).data(), 4);
        EXPECT_EQ(1, VerifySessionMac(Mac(sessionKey, value.Contents()).data()));
        sessionKey = calc(ToHex(Part(FromHex(carry), 4, 4)));
    }
}

TEST(CBCFilters, AgreeWithOpenSSLInPiecesOfAnySize) {
    // The filters see the cipher only through its slots: one class pair serves.
    for (size_t length : {0, 7, 8, 17, 40, 4200}) { // 4200: beyond one internal batch
        const Bytes plain = Pattern(length, 11), expected = Cbc(kKey24, kIV, plain);
        for (size_t piece : {0, 1, 7, 8, 9, 17}) {
            SCOPED_TRACE(length * 100 + piece);
            CTDES3Encryptor forth(kKey24.data());
            CTDES3Decryptor back(kKey24.data());
            EXPECT_EQ(expected, Drain(CCBCEncryptFilter(&forth, kIV.data()), plain, piece));
            EXPECT_EQ(plain, Drain(CCBCDecryptFilter(&back, kIV.data()), expected, piece));
        }
    }
}

TEST(CBCFilters, DecryptKeepsWhatTheLastByteOfTheLastBlockSays) {
    const std::tuple<const char*, int, const char*> cases[] = {
        // decrypted last block, result, bytes kept of it
        {"41 42 43 05 05 05 05 05", 1, "41 42 43"},
        {"08 08 08 08 08 08 08 08", 1, ""},
        {"41 42 43 04 05 05 05 05", 0, "41 42 43"}, // only the last byte decides what is kept
        {"41 42 43 44 45 46 47 00", 0, "41 42 43 44 45 46 47 00"},
        {"41 42 43 44 45 46 47 09", 0, "41 42 43 44 45 46 47 00"}, // above bs: last byte 0
    };
    const Bytes first = Pattern(8, 0), c1 = Ecb(kKey8, first, true); // zero initial value
    CDESDecryptor cipher(kKey8.data());
    for (const auto& c : cases) {
        CCBCDecryptFilter d(&cipher, nullptr);
        Feed(d, Cat(c1, Ecb(kKey8, Xor(FromHex(std::get<0>(c)), c1), true)), 0);
        EXPECT_EQ(std::get<1>(c), d.Final()) << std::get<0>(c);
        EXPECT_EQ(ToHex(Cat(first, FromHex(std::get<2>(c)))), ToHex(OutputOf(d.output)));
    }
    // No ciphertext, or a last block that is not whole: nothing to decrypt.
    for (size_t length : {0, 7, 15})
        EXPECT_EQ(length / 8 * 8,
                  Drain(CCBCDecryptFilter(&cipher, nullptr), Pattern(length, 1), 0, 0).size());
}

TEST(CBCFilters, BlockSizesOneToSixtyFourRefusalsAndMemberLayouts) {
    const Bytes plain = Pattern(100, 1);
    for (unsigned long bs : {1ul, 64ul}) {
        XorCipher forth(bs), back(bs);
        const Bytes sent = Drain(CCBCEncryptFilter(&forth, Pattern(64, 9).data()), plain);
        EXPECT_EQ((100 / bs + 1) * bs, sent.size());
        EXPECT_EQ(plain, Drain(CCBCDecryptFilter(&back, Pattern(64, 9).data()), sent));
    }
    // Block size 0 or above 64, or no cipher: nothing happens at all.
    for (unsigned long bs : {0ul, 65ul, 1ul << 33}) {
        XorCipher refused(bs);
        for (CBlockCipher* cipher : std::initializer_list<CBlockCipher*>{&refused, nullptr}) {
            CCBCEncryptFilter e(cipher, kIV.data());
            CCBCDecryptFilter d(cipher, kIV.data());
            Feed(e, plain, 0);
            Feed(d, plain, 1);
            EXPECT_EQ(0u, e.Final() + d.Final() + e.output.Size() + d.output.Size());
        }
    }
    // Member layouts. Encrypt: cipher, chain (64), count, output; decrypt: cipher, chain
    // (64), block (64), count, output.
    XorCipher cipher(8);
    CBlockCipher* pointer = &cipher;
    CCBCEncryptFilter e(&cipher, nullptr); // no initial value: zeros
    CCBCDecryptFilter d(&cipher, kIV.data());
    const Bytes input = Pattern(11, 3);
    Feed(e, input, 0);
    Feed(d, input, 0);
    const uint32_t three = 3;
    Bytes raw(160);
    std::memcpy(raw.data(), static_cast<void*>(&e), 96);
    EXPECT_EQ(0, std::memcmp(&raw[0], &pointer, 8) | std::memcmp(&raw[72], &three, 4) |
                     std::memcmp(&raw[80], &e.output, sizeof e.output));
    EXPECT_EQ(ToHex(Xor(OutputOf(e.output), Cat(Part(input, 8, 3), Bytes(5, 0)))),
              ToHex(Part(raw, 8, 8)));
    std::memcpy(raw.data(), static_cast<void*>(&d), 160);
    EXPECT_EQ(0, std::memcmp(&raw[0], &pointer, 8) | std::memcmp(&raw[136], &three, 4) |
                     std::memcmp(&raw[144], &d.output, sizeof d.output));
    EXPECT_EQ(ToHex(input), ToHex(Cat(Part(raw, 8, 8), Part(raw, 72, 3))));
}

// In optimised builds only: unoptimised and sanitised code keeps copies of
// key words in the spill slots of its frames, which no wipe in the source
// reaches and which a shipped build does not have.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(SecretWipe, NothingSecretStaysInTheStackFramesGivenBack) {
    // The scan's own check: a copy of a key left on the stack is found.
    const Bytes key = FromHex("3C A1 5E 97 D2 0B 64 F8 1D 86 E9 42 B7 5A C3 2F");
    const std::vector<Bytes> left = {key}; // made first: building it would use the dead stack
    DeadStack({});
    RunBelow([&] { LeavesKeyOnStack(key.data()); });
    EXPECT_NE("", DeadStack(left));

    const Bytes key24 = Cat(key, kIV), factor = Pattern(8, 0x21), data = Pattern(13, 5);
    unsigned char mac[4], counter[4];
    // The derived key, and the complement of the factor that gives its right half.
    const std::vector<Bytes> diversified =
        Traces(Cat(Diversified(key, factor), Xor(factor, Bytes(8, 0xFF))));
    RecordingCard<CZUICAPI> card; // whose file holds the key
    card.Answer(1, ToHex(key));
    const std::pair<std::function<void()>, std::vector<Bytes>> cases[] = {
        {[&] { CTDES3Decryptor(key24.data()).ProcessBlocks(Bytes(data).data(), 8); },
         Traces(key24)},
        {[&] { MacUnder(key, data, mac); }, Traces(key)},
        // Dropped before Final: the key and the bytes held.
        {[&] { MacUnder(key, Part(data, 0, 5), nullptr); },
         {Part(key, 0, 8), Part(key, 8, 8), Part(data, 0, 5)}},
        {[&] { DiversifyKey(key.data(), factor.data(), Bytes(16).data()); }, diversified},
        {[&] { CalcXorKeyMac(key.data(), data.data(), 13, mac); },
         Traces(Xor(Part(key, 0, 8), Part(key, 8, 8)))},
        {[&] {
             CalcSessionMac(key.data(), factor.data(), data.data(), data.data(), data.data(), 0x5A,
                            data.data(), data.data(), counter, mac);
         },
         diversified},
        {[&] { card.ReadBinaryFile(Bytes(16).data(), 16, 0); }, {key}},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DeadStack({});
        RunBelow(cases[i].first);
        EXPECT_EQ("", DeadStack(cases[i].second)) << "case " << i;
    }
}
#endif
