// The DES core: key schedules, the block transformation with the table-driven
// round, and triple DES as three back-to-back passes.
#include "DESCore.h"

#include "ByteOrder.h"
#include "DESTables.h"

#include <cstddef>

namespace {

using softenc::LoadBigEndian32;
using softenc::RotateLeft32;
using softenc::RotateRight32;
using softenc::StoreBigEndian32;

// The initial permutation as mask-and-swap steps; leaves each half rotated
// left by one bit, as the round expects.
inline void InitialPermutation(uint32_t& l, uint32_t& r) {
    uint32_t t;
    t = ((l >> 4) ^ r) & 0x0F0F0F0F;
    r ^= t;
    l ^= t << 4;
    t = ((l >> 16) ^ r) & 0x0000FFFF;
    r ^= t;
    l ^= t << 16;
    t = ((r >> 2) ^ l) & 0x33333333;
    l ^= t;
    r ^= t << 2;
    t = ((r >> 8) ^ l) & 0x00FF00FF;
    l ^= t;
    r ^= t << 8;
    r = RotateLeft32(r, 1);
    t = (l ^ r) & 0xAAAAAAAA;
    r ^= t;
    l ^= t;
    l = RotateLeft32(l, 1);
}

// The exact inverse of InitialPermutation.
inline void FinalPermutation(uint32_t& l, uint32_t& r) {
    uint32_t t;
    l = RotateRight32(l, 1);
    t = (l ^ r) & 0xAAAAAAAA;
    l ^= t;
    r ^= t;
    r = RotateRight32(r, 1);
    t = ((r >> 8) ^ l) & 0x00FF00FF;
    l ^= t;
    r ^= t << 8;
    t = ((r >> 2) ^ l) & 0x33333333;
    l ^= t;
    r ^= t << 2;
    t = ((l >> 16) ^ r) & 0x0000FFFF;
    r ^= t;
    l ^= t << 16;
    t = ((l >> 4) ^ r) & 0x0F0F0F0F;
    r ^= t;
    l ^= t << 4;
}

// One round: other ^= f(half, subkey). The eight table lookups are combined
// as a tree so that they do not form one chain of dependent XORs.
inline uint32_t F(uint32_t half, const uint32_t* k) {
    const uint32_t(&sp)[8][64] = kDESTables.sp;
    uint32_t a = k[0] ^ half;
    uint32_t b = k[1] ^ RotateRight32(half, 4);
    return ((sp[7][a & 0x3F] ^ sp[5][(a >> 8) & 0x3F]) ^
            (sp[3][(a >> 16) & 0x3F] ^ sp[1][(a >> 24) & 0x3F])) ^
           ((sp[6][b & 0x3F] ^ sp[4][(b >> 8) & 0x3F]) ^
            (sp[2][(b >> 16) & 0x3F] ^ sp[0][(b >> 24) & 0x3F]));
}

// `passes` times 16 rounds over (l, r), swapping the halves after each pass
// as the end of a DES pass does.
template <int Passes> inline void Rounds(const uint32_t* k, uint32_t& l, uint32_t& r) {
    for (int pass = 0; pass < Passes; ++pass) {
        for (int round = 0; round < 16; round += 2, k += 4) {
            l ^= F(r, k);
            r ^= F(l, k + 2);
        }
        uint32_t t = l;
        l = r;
        r = t;
    }
}

// Two independent blocks interleaved, so that one block's lookups overlap
// the other's.
template <int Passes>
inline void Rounds2(const uint32_t* k, uint32_t& l0, uint32_t& r0, uint32_t& l1, uint32_t& r1) {
    for (int pass = 0; pass < Passes; ++pass) {
        for (int round = 0; round < 16; round += 2, k += 4) {
            l0 ^= F(r0, k);
            l1 ^= F(r1, k);
            r0 ^= F(l0, k + 2);
            r1 ^= F(l1, k + 2);
        }
        uint32_t t = l0;
        l0 = r0;
        r0 = t;
        t = l1;
        l1 = r1;
        r1 = t;
    }
}

template <int Passes>
inline void CryptOne(const uint32_t* k, const unsigned char* in, unsigned char* out) {
    uint32_t l = LoadBigEndian32(in), r = LoadBigEndian32(in + 4);
    InitialPermutation(l, r);
    Rounds<Passes>(k, l, r);
    FinalPermutation(l, r);
    StoreBigEndian32(out, l);
    StoreBigEndian32(out + 4, r);
}

template <int Passes>
void CryptBlocks(const uint32_t* k, const unsigned char* in, unsigned char* out,
                 unsigned long blocks) {
    for (; blocks >= 2; blocks -= 2, in += 16, out += 16) {
        uint32_t l0 = LoadBigEndian32(in), r0 = LoadBigEndian32(in + 4);
        uint32_t l1 = LoadBigEndian32(in + 8), r1 = LoadBigEndian32(in + 12);
        InitialPermutation(l0, r0);
        InitialPermutation(l1, r1);
        Rounds2<Passes>(k, l0, r0, l1, r1);
        FinalPermutation(l0, r0);
        FinalPermutation(l1, r1);
        StoreBigEndian32(out, l0);
        StoreBigEndian32(out + 4, r0);
        StoreBigEndian32(out + 8, l1);
        StoreBigEndian32(out + 12, r1);
    }
    if (blocks != 0) {
        CryptOne<Passes>(k, in, out);
    }
}

void Reverse(const uint32_t* encrypt, uint32_t* decrypt) {
    for (size_t j = 0; j < 16; ++j) {
        decrypt[2 * j] = encrypt[30 - 2 * j];
        decrypt[2 * j + 1] = encrypt[31 - 2 * j];
    }
}

void Copy16Rounds(const uint32_t* from, uint32_t* to) {
    for (int i = 0; i < 32; ++i) {
        to[i] = from[i];
    }
}

} // namespace

void DESKeySchedule(uint32_t subkeys[32], const unsigned char key[8]) {
    const DESTables& t = kDESTables;
    uint64_t cd = t.pc1[0][key[0]] | t.pc1[1][key[1]] | t.pc1[2][key[2]] | t.pc1[3][key[3]] |
                  t.pc1[4][key[4]] | t.pc1[5][key[5]] | t.pc1[6][key[6]] | t.pc1[7][key[7]];
    uint32_t c = static_cast<uint32_t>(cd >> 28) & 0x0FFFFFFF;
    uint32_t d = static_cast<uint32_t>(cd) & 0x0FFFFFFF;
    for (size_t round = 0; round < 16; ++round) {
        unsigned s = kDESShifts[round];
        c = ((c << s) | (c >> (28 - s))) & 0x0FFFFFFF;
        d = ((d << s) | (d >> (28 - s))) & 0x0FFFFFFF;
        uint64_t v = (uint64_t{c} << 28) | d;
        uint64_t packed = t.pc2[0][(v >> 48) & 0xFF] | t.pc2[1][(v >> 40) & 0xFF] |
                          t.pc2[2][(v >> 32) & 0xFF] | t.pc2[3][(v >> 24) & 0xFF] |
                          t.pc2[4][(v >> 16) & 0xFF] | t.pc2[5][(v >> 8) & 0xFF] |
                          t.pc2[6][v & 0xFF];
        subkeys[2 * round] = static_cast<uint32_t>(packed >> 32);
        subkeys[2 * round + 1] = static_cast<uint32_t>(packed);
    }
}

void DESSetKey(DESContext* context, const unsigned char key[8]) {
    DESKeySchedule(context->encrypt, key);
    Reverse(context->encrypt, context->decrypt);
}

// The triple-DES schedules are built in place, with no schedule left in a
// temporary on the stack.
void DES3SetKey2(DES3Context* context, const unsigned char key[16]) {
    DESKeySchedule(context->encrypt, key);                 // E(K1)
    DESKeySchedule(context->decrypt + 32, key + 8);        // E(K2), the middle of the decryption
    Reverse(context->encrypt, context->decrypt);           // D(K1)
    Reverse(context->decrypt + 32, context->encrypt + 32); // D(K2)
    Copy16Rounds(context->encrypt, context->encrypt + 64);
    Copy16Rounds(context->decrypt, context->decrypt + 64);
}

void DES3SetKey3(DES3Context* context, const unsigned char key[24]) {
    DESKeySchedule(context->encrypt, key);                 // E(K1)
    DESKeySchedule(context->decrypt + 32, key + 8);        // E(K2)
    DESKeySchedule(context->encrypt + 64, key + 16);       // E(K3)
    Reverse(context->encrypt + 64, context->decrypt);      // D(K3)
    Reverse(context->decrypt + 32, context->encrypt + 32); // D(K2)
    Reverse(context->encrypt, context->decrypt + 64);      // D(K1)
}

void DESCryptBlock(const uint32_t subkeys[32], const unsigned char input[8],
                   unsigned char output[8]) {
    CryptOne<1>(subkeys, input, output);
}

void DES3CryptBlock(const uint32_t subkeys[96], const unsigned char input[8],
                    unsigned char output[8]) {
    CryptOne<3>(subkeys, input, output);
}

void DESEncryptBlock(const DESContext* context, const unsigned char input[8],
                     unsigned char output[8]) {
    CryptOne<1>(context->encrypt, input, output);
}

void DESDecryptBlock(const DESContext* context, const unsigned char input[8],
                     unsigned char output[8]) {
    CryptOne<1>(context->decrypt, input, output);
}

void DES3EncryptBlock(const DES3Context* context, const unsigned char input[8],
                      unsigned char output[8]) {
    CryptOne<3>(context->encrypt, input, output);
}

void DES3DecryptBlock(const DES3Context* context, const unsigned char input[8],
                      unsigned char output[8]) {
    CryptOne<3>(context->decrypt, input, output);
}

void DESCryptBlocks(const uint32_t subkeys[32], const unsigned char* input, unsigned char* output,
                    unsigned long blocks) {
    CryptBlocks<1>(subkeys, input, output, blocks);
}

void DES3CryptBlocks(const uint32_t subkeys[96], const unsigned char* input, unsigned char* output,
                     unsigned long blocks) {
    CryptBlocks<3>(subkeys, input, output, blocks);
}
