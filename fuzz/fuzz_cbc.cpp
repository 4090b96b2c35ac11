// CCBCDecryptFilter on random ciphertext fed in random pieces, and
// CCBCEncryptFilter followed by it on random plaintext, over DES, both
// triple DES and a toy cipher of any block size from 0 to 80 bytes (the
// filters take 1 to 64 and refuse the rest). The result is compared with
// CBC computed block by block here; the initial vector lies in a heap block
// of exactly one block, and the toy cipher checks that it is only ever
// asked for one whole block.
#include "common/Bytes.h"
#include "FuzzCheck.h"
#include "softenc.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

// A keyed byte permutation of one block: output byte i is input byte
// i + 1 (cyclically) XOR a key byte; the decrypting form undoes it.
class CToyCipher : public CBlockCipher {
  public:
    CToyCipher(unsigned long blockSize, unsigned char key, bool decrypt)
        : m_blockSize(blockSize), m_key(key), m_decrypt(decrypt) {}
    void ProcessBlocks(const unsigned char* input, unsigned char* output,
                       unsigned long length) override {
        FUZZ_CHECK(length == m_blockSize && length >= 1 && length <= 64,
                   "a filter asked for other than one block");
        unsigned char block[64];
        for (unsigned long i = 0; i < length; ++i) {
            const unsigned char k = static_cast<unsigned char>(m_key + 31 * i);
            if (m_decrypt) {
                block[(i + 1) % length] = input[i] ^ k;
            } else {
                block[i] = input[(i + 1) % length] ^ k;
            }
        }
        std::memcpy(output, block, length);
    }
    void ProcessBlocks(unsigned char* data, unsigned long length) override {
        ProcessBlocks(data, data, length);
    }
    unsigned long BlockSize() override { return m_blockSize; }

  private:
    unsigned long m_blockSize;
    unsigned char m_key;
    bool m_decrypt;
};

struct Ciphers {
    std::unique_ptr<CBlockCipher> encrypt;
    std::unique_ptr<CBlockCipher> decrypt;
};

Ciphers PickCiphers(FuzzedDataProvider& in) {
    Bytes key = in.ConsumeBytes<unsigned char>(24);
    key.resize(24);
    Ciphers c;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        c.encrypt.reset(new CDESEncryptor(key.data()));
        c.decrypt.reset(new CDESDecryptor(key.data()));
        break;
    case 1:
        c.encrypt.reset(new CTDES2Encryptor(key.data()));
        c.decrypt.reset(new CTDES2Decryptor(key.data()));
        break;
    case 2:
        c.encrypt.reset(new CTDES3Encryptor(key.data()));
        c.decrypt.reset(new CTDES3Decryptor(key.data()));
        break;
    default: {
        const unsigned long bs = in.ConsumeIntegralInRange<unsigned long>(0, 80);
        c.encrypt.reset(new CToyCipher(bs, key[0], false));
        c.decrypt.reset(new CToyCipher(bs, key[0], true));
        break;
    }
    }
    return c;
}

// Feeds data to a filter in pieces the input chooses, byte by byte or in runs.
template <class Filter> void Feed(FuzzedDataProvider& in, Filter& filter, const Bytes& data) {
    size_t at = 0;
    while (at < data.size()) {
        size_t piece = in.ConsumeIntegralInRange<size_t>(0, data.size() - at);
        if (in.remaining_bytes() == 0) {
            piece = data.size() - at;
        }
        if (piece == 1 && in.ConsumeBool()) {
            filter.Update(data[at]);
        } else {
            std::unique_ptr<unsigned char[]> run(new unsigned char[piece]);
            if (piece != 0) {
                std::memcpy(run.get(), data.data() + at, piece);
            }
            filter.Update(run.get(), static_cast<unsigned int>(piece));
        }
        at += piece;
    }
}

Bytes Output(const CByteBuffer& output) {
    return output.Size() == 0 ? Bytes() : Bytes(output.Data(), output.Data() + output.Size());
}

// CBC decryption of whole blocks, here, one block at a time.
Bytes DecryptBlocks(CBlockCipher& cipher, const Bytes& iv, const Bytes& ciphertext, size_t blocks) {
    const size_t bs = iv.size();
    Bytes plain;
    Bytes chain = iv;
    for (size_t b = 0; b < blocks; ++b) {
        Bytes block(ciphertext.begin() + b * bs, ciphertext.begin() + (b + 1) * bs);
        Bytes out(bs);
        cipher.ProcessBlocks(block.data(), out.data(), bs);
        for (size_t i = 0; i < bs; ++i) {
            out[i] ^= chain[i];
        }
        plain.insert(plain.end(), out.begin(), out.end());
        chain = block;
    }
    return plain;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Ciphers ciphers = PickCiphers(in);
    const unsigned long bs = ciphers.decrypt->BlockSize();
    const bool usable = bs >= 1 && bs <= 64;
    const bool nullIv = in.ConsumeBool();
    Bytes iv = in.ConsumeBytes<unsigned char>(usable ? bs : 0);
    iv.resize(usable ? bs : 0);
    std::unique_ptr<unsigned char[]> ivBlock(new unsigned char[iv.size()]);
    if (!iv.empty()) {
        std::memcpy(ivBlock.get(), iv.data(), iv.size());
    }
    const unsigned char* ivPtr = nullIv ? nullptr : ivBlock.get();
    if (nullIv) {
        iv.assign(iv.size(), 0);
    }

    if (in.ConsumeBool()) {
        // Random ciphertext.
        const Bytes ciphertext =
            in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<size_t>(0, 600));
        CCBCDecryptFilter filter(ciphers.decrypt.get(), ivPtr);
        Feed(in, filter, ciphertext);
        const int result = filter.Final();
        const Bytes got = Output(filter.output);
        if (!usable) {
            FUZZ_CHECK(result == 0 && got.empty(), "a refused block size produced output");
            return 0;
        }
        const size_t whole = ciphertext.size() / bs;
        if (ciphertext.empty() || ciphertext.size() % bs != 0) {
            // No last whole block to strip: the whole blocks before are out.
            FUZZ_CHECK(result == 0, "ciphertext without a last block accepted");
            FUZZ_CHECK(got == DecryptBlocks(*ciphers.decrypt, iv, ciphertext, whole),
                       "the blocks before the end are wrong");
            return 0;
        }
        Bytes plain = DecryptBlocks(*ciphers.decrypt, iv, ciphertext, whole);
        const unsigned int p = plain.back();
        bool valid = p >= 1 && p <= bs;
        for (size_t i = 0; valid && i < p; ++i) {
            valid = plain[plain.size() - 1 - i] == p;
        }
        if (p > bs) {
            plain.back() = 0; // the whole block, its last byte cleared
        } else {
            plain.resize(plain.size() - p);
        }
        FUZZ_CHECK(got == plain, "the plaintext is wrong");
        FUZZ_CHECK(result == (valid ? 1 : 0), "the padding was judged wrongly");
        return 0;
    }

    // Random plaintext there and back.
    const Bytes plaintext =
        in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<size_t>(0, 600));
    CCBCEncryptFilter encrypt(ciphers.encrypt.get(), ivPtr);
    Feed(in, encrypt, plaintext);
    const int encrypted = encrypt.Final();
    const Bytes ciphertext = Output(encrypt.output);
    if (!usable) {
        FUZZ_CHECK(encrypted == 0 && ciphertext.empty(), "a refused block size produced output");
        return 0;
    }
    FUZZ_CHECK(encrypted == 1, "encryption failed");
    FUZZ_CHECK(ciphertext.size() == bs * (plaintext.size() / bs + 1), "the ciphertext's length");
    Bytes padded = plaintext;
    const size_t n = bs - plaintext.size() % bs;
    padded.insert(padded.end(), n, static_cast<unsigned char>(n));
    FUZZ_CHECK(DecryptBlocks(*ciphers.decrypt, iv, ciphertext, ciphertext.size() / bs) == padded,
               "the ciphertext does not decrypt to the padded plaintext");
    CCBCDecryptFilter decrypt(ciphers.decrypt.get(), ivPtr);
    Feed(in, decrypt, ciphertext);
    FUZZ_CHECK(decrypt.Final() == 1, "valid padding judged invalid");
    FUZZ_CHECK(Output(decrypt.output) == plaintext, "the round trip lost the plaintext");
    return 0;
}
