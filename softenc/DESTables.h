// The constant tables of the DES core, generated at compile time from the
// S-boxes, the P permutation, PC-1 and PC-2 of FIPS PUB 46-3.
//
// Layout used by the core routines:
// - Between the initial and final permutations each 32-bit half is held
//   rotated left by one bit. Then the eight 6-bit groups of the expansion E
//   are plain byte fields: groups 2, 4, 6, 8 are bits 24-29, 16-21, 8-13 and
//   0-5 of the half, groups 1, 3, 5, 7 the same bits of the half rotated
//   right by four.
// - SP[i][b] is S-box i+1's output for the 6-bit input b, put through P and
//   rotated left by one bit, ready to be XORed into the other half.
// - A round subkey is two words: the first holds key groups 2, 4, 6, 8, the
//   second groups 1, 3, 5, 7, in the same byte fields.
#ifndef SOFTENC_DESTABLES_H
#define SOFTENC_DESTABLES_H

#include <cstdint>

struct DESTables {
    uint32_t sp[8][64];
    // PC-1 by key byte: key byte j with value v contributes pc1[j][v] to the
    // 56-bit C||D register (C in bits 55-28, D in bits 27-0).
    uint64_t pc1[8][256];
    // PC-2 by C||D byte: byte j (from the top, 7 bytes) with value v
    // contributes pc2[j][v]: first subkey word in the high 32 bits, second
    // in the low 32 bits.
    uint64_t pc2[7][256];
};

extern const DESTables kDESTables;

// The standard's definitions the tables are built from (1-based bit
// numbers, bit 1 the most significant), kept for the tests that rebuild
// the tables bit by bit.
extern const unsigned char kDESSBox[8][64]; // [box][row * 16 + column]
extern const unsigned char kDESP[32];
extern const unsigned char kDESPC1[56];
extern const unsigned char kDESPC2[48];
extern const unsigned char kDESShifts[16];

#endif
