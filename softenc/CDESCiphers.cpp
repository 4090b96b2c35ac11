// The six DES and triple-DES classes. Each call builds the key schedule
// from the stored key on the stack; nothing is kept between calls.
#include "DESCore.h"
#include "softenc.h"

#include <cstring>

namespace {

enum Direction { ENCRYPT, DECRYPT };

template <Direction D>
void SingleDES(const unsigned char* key, const unsigned char* input, unsigned char* output,
               unsigned long length) {
    unsigned long blocks = length / 8;
    if (blocks == 0) {
        return;
    }
    DESContext context;
    DESSetKey(&context, key);
    DESCryptBlocks(D == ENCRYPT ? context.encrypt : context.decrypt, input, output, blocks);
}

template <Direction D, int KeyParts>
void TripleDES(const unsigned char* key, const unsigned char* input, unsigned char* output,
               unsigned long length) {
    unsigned long blocks = length / 8;
    if (blocks == 0) {
        return;
    }
    DES3Context context;
    if (KeyParts == 2) {
        DES3SetKey2(&context, key);
    } else {
        DES3SetKey3(&context, key);
    }
    DES3CryptBlocks(D == ENCRYPT ? context.encrypt : context.decrypt, input, output, blocks);
}

} // namespace

#define SOFTENC_DEFINE_CIPHER(Name, Transform)                                                     \
    Name::Name(const unsigned char* key) {                                                         \
        std::memcpy(m_key, key, sizeof m_key);                                                     \
    }                                                                                              \
    void Name::ProcessBlocks(const unsigned char* input, unsigned char* output,                    \
                             unsigned long length) {                                               \
        Transform(m_key, input, output, length);                                                   \
    }                                                                                              \
    void Name::ProcessBlocks(unsigned char* data, unsigned long length) {                          \
        ProcessBlocks(static_cast<const unsigned char*>(data), data, length);                      \
    }

SOFTENC_DEFINE_CIPHER(CDESEncryptor, SingleDES<ENCRYPT>)
SOFTENC_DEFINE_CIPHER(CDESDecryptor, SingleDES<DECRYPT>)
SOFTENC_DEFINE_CIPHER(CTDES2Encryptor, (TripleDES<ENCRYPT, 2>))
SOFTENC_DEFINE_CIPHER(CTDES2Decryptor, (TripleDES<DECRYPT, 2>))
SOFTENC_DEFINE_CIPHER(CTDES3Encryptor, (TripleDES<ENCRYPT, 3>))
SOFTENC_DEFINE_CIPHER(CTDES3Decryptor, (TripleDES<DECRYPT, 3>))
