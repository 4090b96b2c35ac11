// The six DES and triple-DES classes. Each call builds the key schedule
// from the stored key on the stack and wipes it before returning; the key
// copy is wiped when the object is destroyed.
#include "DESCore.h"
#include "SecureWipe.h"
#include "softenc.h"

#include <cstring>

namespace {

enum Direction { ENCRYPT, DECRYPT };

// Key parts 1: single DES; 2 and 3: triple DES with two or three keys.
template <Direction D, int KeyParts>
void Transform(const unsigned char* key, const unsigned char* input, unsigned char* output,
               unsigned long length) {
    unsigned long blocks = length / 8;
    if (blocks == 0) {
        return;
    }
    if (KeyParts == 1) {
        DESContext context;
        DESSetKey(&context, key);
        DESCryptBlocks(D == ENCRYPT ? context.encrypt : context.decrypt, input, output, blocks);
        SecureWipe(&context, sizeof context);
        return;
    }
    DES3Context context;
    if (KeyParts == 2) {
        DES3SetKey2(&context, key);
    } else {
        DES3SetKey3(&context, key);
    }
    DES3CryptBlocks(D == ENCRYPT ? context.encrypt : context.decrypt, input, output, blocks);
    SecureWipe(&context, sizeof context);
}

} // namespace

#define SOFTENC_DEFINE_CIPHER(Name, Cipher)                                                        \
    Name::Name(const unsigned char* key) {                                                         \
        std::memcpy(m_key, key, sizeof m_key);                                                     \
    }                                                                                              \
    Name::~Name() {                                                                                \
        SecureWipe(m_key, sizeof m_key);                                                           \
    }                                                                                              \
    void Name::ProcessBlocks(const unsigned char* input, unsigned char* output,                    \
                             unsigned long length) {                                               \
        Cipher(m_key, input, output, length);                                                      \
    }                                                                                              \
    void Name::ProcessBlocks(unsigned char* data, unsigned long length) {                          \
        ProcessBlocks(static_cast<const unsigned char*>(data), data, length);                      \
    }

SOFTENC_DEFINE_CIPHER(CDESEncryptor, (Transform<ENCRYPT, 1>))
SOFTENC_DEFINE_CIPHER(CDESDecryptor, (Transform<DECRYPT, 1>))
SOFTENC_DEFINE_CIPHER(CTDES2Encryptor, (Transform<ENCRYPT, 2>))
SOFTENC_DEFINE_CIPHER(CTDES2Decryptor, (Transform<DECRYPT, 2>))
SOFTENC_DEFINE_CIPHER(CTDES3Encryptor, (Transform<ENCRYPT, 3>))
SOFTENC_DEFINE_CIPHER(CTDES3Decryptor, (Transform<DECRYPT, 3>))
