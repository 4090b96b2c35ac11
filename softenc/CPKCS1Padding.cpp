// PKCS #1 v1.5 block types 2 (encryption) and 1 (signature). Both classes
// share one formatting and one parsing routine that differ only in the
// type byte and in how padding bytes are made and checked.
#include "softenc.h"

#include <cassert>
#include <cstring>

namespace {

enum BlockType : unsigned char { SIGNATURE = 0x01, ENCRYPTION = 0x02 };

unsigned int MaxUnpadded(unsigned int pkcsBlockLen) {
    const unsigned int k = pkcsBlockLen / 8;
    return k > 10 ? k - 10 : 0;
}

void PadBlock(BlockType type, CRandomGenerator& rng, const unsigned char* input,
              unsigned int inputLen, unsigned char* pkcsBlock, unsigned int pkcsBlockLen) {
    const unsigned int k = pkcsBlockLen / 8;
    // Too long for the block, or (below 16 bits) no room even for the type
    // byte and the separator: nothing is written.
    if (inputLen > MaxUnpadded(pkcsBlockLen) || k < 2) {
        return;
    }
    if (pkcsBlockLen % 8 != 0) {
        *pkcsBlock++ = 0x00;
    }
    pkcsBlock[0] = type;
    const unsigned int separator = k - inputLen - 1;
    for (unsigned int i = 1; i < separator; ++i) {
        pkcsBlock[i] =
            type == ENCRYPTION ? static_cast<unsigned char>(rng.GenerateWord(1, 255)) : 0xFF;
    }
    pkcsBlock[separator] = 0x00;
    if (inputLen != 0) {
        std::memcpy(pkcsBlock + separator + 1, input, inputLen);
    }
}

unsigned int UnpadBlock(BlockType type, const unsigned char* pkcsBlock, unsigned int pkcsBlockLen,
                        unsigned char* output) {
    const unsigned int maxLength = MaxUnpadded(pkcsBlockLen);
    // No block that small holds data (and below 8 bits there is no block
    // proper to read at all).
    if (maxLength == 0) {
        return 0;
    }
    if (pkcsBlockLen % 8 != 0) {
        if (*pkcsBlock++ != 0x00) {
            return 0;
        }
    }
    pkcsBlockLen /= 8; // from here on the length of the block proper, in bytes
    if (pkcsBlock[0] != type) {
        return 0;
    }
    unsigned int i = 1;
    while (i < pkcsBlockLen) {
        const unsigned char b = pkcsBlock[i++];
        if (b == 0x00) {
            break;
        }
        if (type == SIGNATURE && b != 0xFF) {
            return 0;
        }
    }
    // clang-format off
    assert(i==pkcsBlockLen || pkcsBlock[i-1]==0);
    // clang-format on
    // Also rejects a padding string shorter than 8 bytes.
    const unsigned int length = pkcsBlockLen - i;
    if (length > maxLength) {
        return 0;
    }
    if (length != 0) {
        std::memcpy(output, pkcsBlock + i, length);
    }
    return length;
}

} // namespace

unsigned int CPKCS1EncryptionPadding::MaxUnpaddedLength(unsigned int paddedLength) const {
    return MaxUnpadded(paddedLength);
}

void CPKCS1EncryptionPadding::Pad(CRandomGenerator& rng, const unsigned char* input,
                                  unsigned int inputLen, unsigned char* pkcsBlock,
                                  unsigned int pkcsBlockLen) const {
    assert(inputLen <= MaxUnpaddedLength(pkcsBlockLen));
    PadBlock(ENCRYPTION, rng, input, inputLen, pkcsBlock, pkcsBlockLen);
}

unsigned int CPKCS1EncryptionPadding::Unpad(const unsigned char* pkcsBlock,
                                            unsigned int pkcsBlockLen,
                                            unsigned char* output) const {
    return UnpadBlock(ENCRYPTION, pkcsBlock, pkcsBlockLen, output);
}

unsigned int CPKCS1SignaturePadding::MaxUnpaddedLength(unsigned int paddedLength) const {
    return MaxUnpadded(paddedLength);
}

void CPKCS1SignaturePadding::Pad(CRandomGenerator& rng, const unsigned char* input,
                                 unsigned int inputLen, unsigned char* pkcsBlock,
                                 unsigned int pkcsBlockLen) const {
    assert(inputLen <= MaxUnpaddedLength(pkcsBlockLen));
    PadBlock(SIGNATURE, rng, input, inputLen, pkcsBlock, pkcsBlockLen);
}

unsigned int CPKCS1SignaturePadding::Unpad(const unsigned char* pkcsBlock,
                                           unsigned int pkcsBlockLen, unsigned char* output) const {
    return UnpadBlock(SIGNATURE, pkcsBlock, pkcsBlockLen, output);
}
