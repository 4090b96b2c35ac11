// Many-block forms of the DES core, for the cipher classes' ECB loops: two
// independent blocks at a time. Each block is read whole before its result
// is written, so input may equal output.
#ifndef SOFTENC_DESCORE_H
#define SOFTENC_DESCORE_H

#include <cstdint>

void DESCryptBlocks(const uint32_t subkeys[32], const unsigned char* input, unsigned char* output,
                    unsigned long blocks);
void DES3CryptBlocks(const uint32_t subkeys[96], const unsigned char* input, unsigned char* output,
                     unsigned long blocks);

#endif
