// The DES core behind the cipher classes and CDESMac: key schedules, the
// block transformation and triple DES as three back-to-back passes.
// Internal; not installed.
#ifndef SOFTENC_DESCORE_H
#define SOFTENC_DESCORE_H

#include <cstdint>

// Key schedules, built afresh for each call of a cipher and kept on the
// caller's stack. Each round's subkey is two words (see DESTables.h).
struct DESContext {
    uint32_t encrypt[32]; // rounds 1 to 16
    uint32_t decrypt[32]; // the same rounds in reverse order
};

struct DES3Context {
    uint32_t encrypt[96]; // three 16-round schedules in the order a block meets them
    uint32_t decrypt[96];
};

void DESKeySchedule(uint32_t subkeys[32], const unsigned char key[8]);
void DESSetKey(DESContext* context, const unsigned char key[8]);
void DES3SetKey2(DES3Context* context, const unsigned char key[16]);
void DES3SetKey3(DES3Context* context, const unsigned char key[24]);
void DESCryptBlock(const uint32_t subkeys[32], const unsigned char input[8],
                   unsigned char output[8]);
void DES3CryptBlock(const uint32_t subkeys[96], const unsigned char input[8],
                    unsigned char output[8]);
void DESEncryptBlock(const DESContext* context, const unsigned char input[8],
                     unsigned char output[8]);
void DESDecryptBlock(const DESContext* context, const unsigned char input[8],
                     unsigned char output[8]);
void DES3EncryptBlock(const DES3Context* context, const unsigned char input[8],
                      unsigned char output[8]);
void DES3DecryptBlock(const DES3Context* context, const unsigned char input[8],
                      unsigned char output[8]);

// Many-block forms, for the cipher classes' ECB loops: two independent
// blocks at a time. Each block is read whole before its result is written,
// so input may equal output.
void DESCryptBlocks(const uint32_t subkeys[32], const unsigned char* input, unsigned char* output,
                    unsigned long blocks);
void DES3CryptBlocks(const uint32_t subkeys[96], const unsigned char* input, unsigned char* output,
                     unsigned long blocks);

#endif
