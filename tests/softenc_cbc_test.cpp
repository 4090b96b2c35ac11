// The CBC filters over the six DES ciphers against OpenSSL's DES CBC with
// PKCS #7 padding, fed in random pieces, and the decrypt filter's handling
// of invalid padding, truncated ciphertext and refused ciphers.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

namespace {

// Not const: OpenSSL takes key blocks through a non-const pointer type.
unsigned char kKey[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98,
                          0x76, 0x54, 0x32, 0x10, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67};
const unsigned char kIV[8] = {0x12, 0x34, 0x56, 0x78, 0x90, 0xAB, 0xCD, 0xEF};

// Reference: OpenSSL CBC over PKCS #7-padded data with 1, 2 or 3 keys.
Bytes OpenSSLCBC(int keys, const Bytes& input, bool encrypt) {
    DES_key_schedule k1, k2, k3;
    DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(kKey), &k1);
    DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(kKey + 8), &k2);
    DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(kKey + 16), &k3);
    Bytes data = input;
    if (encrypt) {
        const size_t n = 8 - data.size() % 8;
        data.insert(data.end(), n, static_cast<unsigned char>(n));
    }
    Bytes out(data.size());
    DES_cblock iv;
    std::memcpy(iv, kIV, 8);
    const int mode = encrypt ? DES_ENCRYPT : DES_DECRYPT;
    if (keys == 1) {
        DES_ncbc_encrypt(data.data(), out.data(), static_cast<long>(data.size()), &k1, &iv, mode);
    } else {
        DES_ede3_cbc_encrypt(data.data(), out.data(), static_cast<long>(data.size()), &k1, &k2,
                             keys == 3 ? &k3 : &k1, &iv, mode);
    }
    if (!encrypt && !out.empty()) {
        out.resize(out.size() - out.back());
    }
    return out;
}

struct CipherCase {
    const char* name;
    int keys;
    std::unique_ptr<CBlockCipher> (*encryptor)();
    std::unique_ptr<CBlockCipher> (*decryptor)();
};

template <class C> std::unique_ptr<CBlockCipher> Make() {
    return std::unique_ptr<CBlockCipher>(new C(kKey));
}

const CipherCase kCiphers[] = {
    {"DES", 1, Make<CDESEncryptor>, Make<CDESDecryptor>},
    {"TDES2", 2, Make<CTDES2Encryptor>, Make<CTDES2Decryptor>},
    {"TDES3", 3, Make<CTDES3Encryptor>, Make<CTDES3Decryptor>},
};

template <class Filter>
void FeedInPieces(Filter& filter, const Bytes& input, std::mt19937& gen, unsigned maxPiece) {
    size_t at = 0;
    while (at < input.size()) {
        const size_t n = std::min<size_t>(gen() % (maxPiece + 1), input.size() - at);
        if (n == 1 && gen() % 2 == 0) {
            filter.Update(input[at]); // the single-byte form
        } else {
            filter.Update(input.data() + at, static_cast<unsigned int>(n));
        }
        at += n;
    }
}

Bytes OutputOf(const CByteBuffer& buffer) {
    return Bytes(buffer.Data(), buffer.Data() + buffer.Size());
}

Bytes RandomBytes(std::mt19937& gen, size_t size) {
    Bytes bytes(size);
    for (auto& b : bytes) {
        b = static_cast<unsigned char>(gen());
    }
    return bytes;
}

// A cipher with a chosen block size that encrypts by XOR with 0x5A, to
// drive the filters past 8-byte blocks and to refuse oversized ones.
class XorCipher : public CBlockCipher {
  public:
    explicit XorCipher(unsigned long bs) : bs_(bs) {}
    void ProcessBlocks(const unsigned char* input, unsigned char* output,
                       unsigned long length) override {
        ++calls;
        for (unsigned long i = 0; i < length; ++i) {
            output[i] = input[i] ^ 0x5A;
        }
    }
    void ProcessBlocks(unsigned char* data, unsigned long length) override {
        ProcessBlocks(data, data, length);
    }
    unsigned long BlockSize() override { return bs_; }
    int calls = 0;

  private:
    unsigned long bs_;
};

} // namespace

TEST(CBCFilter, AllCiphersAgreeWithOpenSSLOnRandomLengthsAndPieces) {
    std::mt19937 gen(1977);
    for (const CipherCase& c : kCiphers) {
        for (size_t length = 0; length <= 100; ++length) {
            SCOPED_TRACE(std::string(c.name) + " length " + std::to_string(length));
            const Bytes plain = RandomBytes(gen, length);
            const Bytes expected = OpenSSLCBC(c.keys, plain, true);
            ASSERT_EQ(8 * (length / 8 + 1), expected.size());

            auto encryptor = c.encryptor();
            CCBCEncryptFilter enc(encryptor.get(), kIV);
            FeedInPieces(enc, plain, gen, 20);
            EXPECT_EQ(1, enc.Final());
            EXPECT_EQ(ToHex(expected), ToHex(OutputOf(enc.output)));

            auto decryptor = c.decryptor();
            CCBCDecryptFilter dec(decryptor.get(), kIV);
            FeedInPieces(dec, expected, gen, 20);
            EXPECT_EQ(1, dec.Final());
            EXPECT_EQ(ToHex(plain), ToHex(OutputOf(dec.output)));
            EXPECT_EQ(ToHex(plain), ToHex(OpenSSLCBC(c.keys, expected, false)));
        }
    }
}

TEST(CBCFilter, FixedPieceSizesGiveTheSameCiphertext) {
    std::mt19937 gen(8);
    const Bytes plain = RandomBytes(gen, 5000); // more than one internal batch
    const Bytes expected = OpenSSLCBC(2, plain, true);
    for (unsigned piece : {1u, 7u, 8u, 9u, 17u, 4096u, 5000u}) {
        SCOPED_TRACE(piece);
        CTDES2Encryptor cipher(kKey);
        CCBCEncryptFilter enc(&cipher, kIV);
        for (size_t at = 0; at < plain.size(); at += piece) {
            enc.Update(plain.data() + at,
                       static_cast<unsigned int>(std::min<size_t>(piece, plain.size() - at)));
        }
        ASSERT_EQ(1, enc.Final());
        EXPECT_EQ(expected, OutputOf(enc.output));

        CTDES2Decryptor inverse(kKey);
        CCBCDecryptFilter dec(&inverse, kIV);
        for (size_t at = 0; at < expected.size(); at += piece) {
            dec.Update(expected.data() + at,
                       static_cast<unsigned int>(std::min<size_t>(piece, expected.size() - at)));
        }
        ASSERT_EQ(1, dec.Final());
        EXPECT_EQ(plain, OutputOf(dec.output));
    }
}

TEST(CBCFilter, EncryptEdgeCases) {
    // Nothing in: one block, E(IV ^ 08..08). Null IV means zeros.
    CDESEncryptor cipher(kKey);
    CCBCEncryptFilter empty(&cipher, kIV);
    ASSERT_EQ(1, empty.Final());
    unsigned char block[8];
    for (int i = 0; i < 8; ++i) {
        block[i] = kIV[i] ^ 0x08;
    }
    cipher.ProcessBlocks(block, 8);
    EXPECT_EQ(ToHex(block, 8), ToHex(OutputOf(empty.output)));

    CCBCEncryptFilter zeroIV(&cipher, nullptr);
    const Bytes eight(8, 0x33);
    zeroIV.Update(eight.data(), 8);
    ASSERT_EQ(1, zeroIV.Final());
    ASSERT_EQ(16u, zeroIV.output.Size());
    CDESDecryptor inverse(kKey);
    CCBCDecryptFilter dec(&inverse, nullptr);
    dec.Update(zeroIV.output.Data(), 16);
    ASSERT_EQ(1, dec.Final());
    EXPECT_EQ(eight, OutputOf(dec.output));
}

TEST(CBCFilter, DecryptHoldsTheLastBlockBack) {
    std::mt19937 gen(3);
    const Bytes cipherText = OpenSSLCBC(1, RandomBytes(gen, 20), true); // 24 bytes
    CDESDecryptor cipher(kKey);
    CCBCDecryptFilter dec(&cipher, kIV);
    dec.Update(cipherText.data(), 8);
    EXPECT_EQ(0u, dec.output.Size());
    dec.Update(cipherText[8]);
    EXPECT_EQ(8u, dec.output.Size()) << "the first block goes out once a ninth byte came";
    dec.Update(cipherText.data() + 9, 15);
    EXPECT_EQ(16u, dec.output.Size());
    EXPECT_EQ(1, dec.Final());
    EXPECT_EQ(20u, dec.output.Size());
}

// Ciphertext whose last block decrypts to a chosen plaintext block: the
// plaintext blocks are encrypted without padding by OpenSSL.
TEST(CBCFilter, DecryptPaddingCases) {
    struct Case {
        const char* lastBlock; // decrypted last block
        int result;
        const char* output; // plaintext appended for the last block
    };
    const Case cases[] = {
        {"41 42 43 05 05 05 05 05", 1, "41 42 43"},
        {"41 42 43 44 45 46 47 01", 1, "41 42 43 44 45 46 47"},
        {"08 08 08 08 08 08 08 08", 1, ""},
        // Only the last byte decides what is kept; the others make it invalid.
        {"41 42 43 04 05 05 05 05", 0, "41 42 43"},
        {"41 42 43 44 45 46 07 02", 0, "41 42 43 44 45 46"},
        // 0 keeps the whole block; above the block size keeps it with a 0 last byte.
        {"41 42 43 44 45 46 47 00", 0, "41 42 43 44 45 46 47 00"},
        {"41 42 43 44 45 46 47 09", 0, "41 42 43 44 45 46 47 00"},
        {"41 42 43 44 45 46 47 FF", 0, "41 42 43 44 45 46 47 00"},
    };
    const Bytes first = FromHex("00 11 22 33 44 55 66 77");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lastBlock);
        Bytes plain = first;
        const Bytes last = FromHex(c.lastBlock);
        plain.insert(plain.end(), last.begin(), last.end());
        Bytes cipherText(16);
        DES_key_schedule k;
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(kKey), &k);
        DES_cblock iv;
        std::memcpy(iv, kIV, 8);
        DES_ncbc_encrypt(plain.data(), cipherText.data(), 16, &k, &iv, DES_ENCRYPT);

        CDESDecryptor cipher(kKey);
        CCBCDecryptFilter dec(&cipher, kIV);
        dec.Update(cipherText.data(), 16);
        EXPECT_EQ(c.result, dec.Final());
        Bytes expected = first;
        const Bytes tail = FromHex(c.output);
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_EQ(ToHex(expected), ToHex(OutputOf(dec.output)));
    }
}

TEST(CBCFilter, DecryptRefusesMissingOrTruncatedCiphertext) {
    std::mt19937 gen(4);
    const Bytes cipherText = OpenSSLCBC(1, RandomBytes(gen, 13), true); // 16 bytes
    for (size_t length : {0, 1, 7, 9, 15}) {
        SCOPED_TRACE(length);
        CDESDecryptor cipher(kKey);
        CCBCDecryptFilter dec(&cipher, kIV);
        dec.Update(cipherText.data(), static_cast<unsigned int>(length));
        const unsigned int before = dec.output.Size();
        EXPECT_EQ(0, dec.Final());
        EXPECT_EQ(before, dec.output.Size()) << "nothing appended for an unfinished block";
        EXPECT_EQ(length > 8 ? 8u : 0u, before);
    }
}

TEST(CBCFilter, LargerBlocksAndRefusedBlockSizes) {
    // Block size 64 works (the largest the filters take).
    XorCipher wide(64);
    const Bytes plain(100, 0x11);
    CCBCEncryptFilter enc(&wide, nullptr);
    enc.Update(plain.data(), 100);
    ASSERT_EQ(1, enc.Final());
    ASSERT_EQ(128u, enc.output.Size());
    XorCipher wideBack(64);
    CCBCDecryptFilter dec(&wideBack, nullptr);
    dec.Update(enc.output.Data(), 128);
    ASSERT_EQ(1, dec.Final());
    EXPECT_EQ(plain, OutputOf(dec.output));

    // Block sizes 0 and above 64 are refused: nothing happens at all.
    for (unsigned long bs : {0ul, 65ul, 1000ul}) {
        SCOPED_TRACE(bs);
        XorCipher refused(bs);
        CCBCEncryptFilter e(&refused, plain.data());
        e.Update(plain.data(), 100);
        e.Update(0x01);
        EXPECT_EQ(0, e.Final());
        EXPECT_EQ(0u, e.output.Size());
        CCBCDecryptFilter d(&refused, plain.data());
        d.Update(plain.data(), 100);
        d.Update(0x01);
        EXPECT_EQ(0, d.Final());
        EXPECT_EQ(0u, d.output.Size());
        EXPECT_EQ(0, refused.calls);
    }
    CCBCEncryptFilter noCipher(nullptr, nullptr);
    noCipher.Update(plain.data(), 100);
    EXPECT_EQ(0, noCipher.Final());
}
