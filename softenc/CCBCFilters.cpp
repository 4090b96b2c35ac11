// The CBC filters: cipher-block chaining over any CBlockCipher with PKCS #5
// padding, fed in pieces of any size. The cipher is always called on one
// block at a time. Runs of whole blocks are collected in a local buffer and
// appended to the output together, which spares a reallocation per block;
// the output after each call is the same as block by block.
#include "softenc.h"

#include <cstring>

namespace {

const unsigned int kMaxBlockSize = 64;
const unsigned int kBatchBytes = 4096; // appended before another block would not fit

unsigned int ValidBlockSize(CBlockCipher* cipher) {
    if (cipher == nullptr) {
        return 0;
    }
    const unsigned long bs = cipher->BlockSize();
    return bs >= 1 && bs <= kMaxBlockSize ? static_cast<unsigned int>(bs) : 0;
}

// Appends length bytes; false when the output could not grow.
bool Emit(CByteBuffer& output, const unsigned char* bytes, unsigned int length) {
    if (length == 0) {
        return true;
    }
    const unsigned int before = output.Size();
    output.Append(bytes, length);
    return output.Size() == before + length;
}

} // namespace

// ---- Encryption ----

CCBCEncryptFilter::CCBCEncryptFilter(CBlockCipher* blockCipher, const unsigned char* iv)
    : cipher(blockCipher), chain(), count(0) {
    const unsigned int bs = ValidBlockSize(cipher);
    if (bs == 0) {
        cipher = nullptr; // refused: every later operation does nothing
        return;
    }
    if (iv != nullptr) {
        std::memcpy(chain, iv, bs);
    }
}

unsigned int CCBCEncryptFilter::BlockSize() const {
    return ValidBlockSize(cipher);
}

void CCBCEncryptFilter::FlushBlock() {
    const unsigned int bs = BlockSize();
    count = 0;
    if (bs == 0) {
        return;
    }
    cipher->ProcessBlocks(chain, bs);
    if (!Emit(output, chain, bs)) {
        cipher = nullptr; // a lost block would corrupt the rest: stop here
    }
}

void CCBCEncryptFilter::Update(unsigned char b) {
    const unsigned int bs = BlockSize();
    if (bs == 0) {
        return;
    }
    chain[count] ^= b;
    if (++count == bs) {
        FlushBlock();
    }
}

void CCBCEncryptFilter::Update(const unsigned char* input, unsigned int length) {
    const unsigned int bs = BlockSize();
    if (bs == 0) {
        return;
    }
    // Complete a block begun earlier.
    while (count != 0 && length != 0) {
        Update(*input++);
        --length;
    }
    // Whole blocks: chain, encrypt, collect.
    unsigned char batch[kBatchBytes];
    unsigned int filled = 0;
    while (length >= bs && cipher != nullptr) {
        XorBytes(chain, input, bs);
        cipher->ProcessBlocks(chain, bs);
        std::memcpy(batch + filled, chain, bs);
        filled += bs;
        input += bs;
        length -= bs;
        if (filled + bs > sizeof batch || length < bs) {
            if (!Emit(output, batch, filled)) {
                cipher = nullptr;
            }
            filled = 0;
        }
    }
    // The tail starts the next block.
    while (length != 0) {
        Update(*input++);
        --length;
    }
}

int CCBCEncryptFilter::Final() {
    const unsigned int bs = BlockSize();
    if (bs == 0) {
        return 0;
    }
    // 1 to bs bytes of value n: a whole block when the data end on a
    // block boundary.
    const unsigned char n = static_cast<unsigned char>(bs - count);
    do {
        Update(n);
    } while (count != 0);
    return cipher != nullptr ? 1 : 0;
}

// ---- Decryption ----

CCBCDecryptFilter::CCBCDecryptFilter(CBlockCipher* blockCipher, const unsigned char* iv)
    : cipher(blockCipher), chain(), block(), count(0) {
    const unsigned int bs = ValidBlockSize(cipher);
    if (bs == 0) {
        cipher = nullptr;
        return;
    }
    if (iv != nullptr) {
        std::memcpy(chain, iv, bs);
    }
}

unsigned int CCBCDecryptFilter::BlockSize() const {
    return ValidBlockSize(cipher);
}

void CCBCDecryptFilter::FlushBlock() {
    const unsigned int bs = BlockSize();
    if (bs == 0) {
        return;
    }
    unsigned char plain[kMaxBlockSize];
    cipher->ProcessBlocks(block, plain, bs);
    XorBytes(plain, chain, bs);
    std::memcpy(chain, block, bs);
    count = 0;
    if (!Emit(output, plain, bs)) {
        cipher = nullptr;
    }
}

void CCBCDecryptFilter::Update(unsigned char b) {
    const unsigned int bs = BlockSize();
    if (bs == 0) {
        return;
    }
    // A whole block waits until more input shows it is not the last.
    if (count == bs) {
        FlushBlock();
        if (cipher == nullptr) {
            return;
        }
    }
    block[count++] = b;
}

void CCBCDecryptFilter::Update(const unsigned char* input, unsigned int length) {
    const unsigned int bs = BlockSize();
    if (bs == 0) {
        return;
    }
    while (count < bs && length != 0) {
        Update(*input++);
        --length;
    }
    // Whole blocks: decrypt the held one into the batch, hold the next.
    unsigned char batch[kBatchBytes];
    unsigned int filled = 0;
    while (length >= bs && cipher != nullptr) {
        unsigned char* plain = batch + filled;
        cipher->ProcessBlocks(block, plain, bs);
        XorBytes(plain, chain, bs);
        std::memcpy(chain, block, bs);
        std::memcpy(block, input, bs);
        filled += bs;
        input += bs;
        length -= bs;
        if (filled + bs > sizeof batch || length < bs) {
            if (!Emit(output, batch, filled)) {
                cipher = nullptr;
            }
            filled = 0;
        }
    }
    while (length != 0) {
        Update(*input++);
        --length;
    }
}

int CCBCDecryptFilter::Final() {
    const unsigned int bs = BlockSize();
    // No ciphertext, or a last block that is not whole: there is nothing
    // that could be decrypted.
    if (bs == 0 || count != bs) {
        return 0;
    }
    cipher->ProcessBlocks(block, bs);
    XorBytes(block, chain, bs);
    // Only the last byte decides how much is kept; the result says whether
    // the padding was valid as a whole.
    unsigned int p = block[bs - 1];
    int valid = 1;
    if (p > bs) {
        block[bs - 1] = 0;
        p = 0;
        valid = 0;
    } else if (p == 0) {
        valid = 0;
    } else {
        for (unsigned int i = bs - p; i < bs; ++i) {
            valid &= block[i] == p ? 1 : 0;
        }
    }
    if (!Emit(output, block, bs - p)) {
        return 0;
    }
    return valid;
}
