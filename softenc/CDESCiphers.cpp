// The six DES and triple-DES classes. Each call builds the key schedule
// from the stored key on the stack and wipes it before returning; the key
// copy is wiped when the object is destroyed.
#include "DESCore.h"
#include "SecureWipe.h"
#include "softenc.h"

#include <cstring>

namespace {

enum Direction { ENCRYPT, DECRYPT };

// The decryption schedule of a key: its encryption rounds in reverse order.
void DecryptSchedule(uint32_t subkeys[32], const unsigned char key[8]) {
    uint32_t rounds[32];
    DESKeySchedule(rounds, key);
    for (size_t j = 0; j < 16; ++j) {
        subkeys[2 * j] = rounds[30 - 2 * j];
        subkeys[2 * j + 1] = rounds[31 - 2 * j];
    }
    SecureWipe(rounds, sizeof rounds);
}

template <Direction D> void Schedule(uint32_t subkeys[32], const unsigned char key[8]) {
    if (D == ENCRYPT) {
        DESKeySchedule(subkeys, key);
    } else {
        DecryptSchedule(subkeys, key);
    }
}

// Key parts 1: single DES; 2 and 3: triple DES with two or three keys
// (K3 = K1 for two). Only the schedule of the direction at hand is built:
// encryption runs E(K1) D(K2) E(K3), decryption D(K3) E(K2) D(K1).
template <Direction D, int KeyParts>
void Transform(const unsigned char* key, const unsigned char* input, unsigned char* output,
               unsigned long length) {
    unsigned long blocks = length / 8;
    if (blocks == 0) {
        return;
    }
    if (KeyParts == 1) {
        uint32_t subkeys[32];
        Schedule<D>(subkeys, key);
        DESCryptBlocks(subkeys, input, output, blocks);
        SecureWipe(subkeys, sizeof subkeys);
        return;
    }
    constexpr Direction OTHER = D == ENCRYPT ? DECRYPT : ENCRYPT;
    uint32_t subkeys[96];
    if (KeyParts == 3) {
        Schedule<D>(subkeys, D == ENCRYPT ? key : key + 16);
        Schedule<OTHER>(subkeys + 32, key + 8);
        Schedule<D>(subkeys + 64, D == ENCRYPT ? key + 16 : key);
    } else {
        Schedule<D>(subkeys, key);
        Schedule<OTHER>(subkeys + 32, key + 8);
        std::memcpy(subkeys + 64, subkeys, 32 * sizeof subkeys[0]);
    }
    DES3CryptBlocks(subkeys, input, output, blocks);
    SecureWipe(subkeys, sizeof subkeys);
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
