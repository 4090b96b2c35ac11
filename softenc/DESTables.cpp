// DES constant tables, built at compile time from the standard's definitions.
#include "DESTables.h"

// The definitions below have external linkage through their declarations in
// the header; being constexpr they also feed the table builder.
constexpr unsigned char kDESSBox[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11},
};

constexpr unsigned char kDESP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                     2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr unsigned char kDESPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                                       10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                                       63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                                       14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr unsigned char kDESPC2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr unsigned char kDESShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

namespace {

constexpr uint32_t RotateLeft(uint32_t x, unsigned n) {
    return n == 0 ? x : (x << n) | (x >> (32 - n));
}

// Bit position (0 = least significant) of a subkey bit: key group g (1-8),
// bit p within the group (0 = its first, most significant bit), in the
// packed pair of subkey words.
constexpr unsigned SubkeyBit(unsigned g, unsigned p) {
    unsigned field = (g % 2 == 0) ? (8 - g) / 2 * 8 : (7 - g) / 2 * 8;
    unsigned word = (g % 2 == 0) ? 32 : 0;
    return word + field + (5 - p);
}

constexpr DESTables Build() {
    DESTables t{};
    for (unsigned box = 0; box < 8; ++box) {
        for (unsigned b = 0; b < 64; ++b) {
            unsigned row = ((b >> 4) & 2) | (b & 1);
            unsigned column = (b >> 1) & 15;
            uint32_t s = static_cast<uint32_t>(kDESSBox[box][row * 16 + column]) << (4 * (7 - box));
            uint32_t permuted = 0;
            for (unsigned j = 0; j < 32; ++j) {
                if ((s >> (32 - kDESP[j])) & 1) {
                    permuted |= uint32_t{1} << (31 - j);
                }
            }
            t.sp[box][b] = RotateLeft(permuted, 1);
        }
    }
    for (unsigned j = 0; j < 8; ++j) {
        for (unsigned v = 0; v < 256; ++v) {
            uint64_t cd = 0;
            for (unsigned o = 0; o < 56; ++o) {
                unsigned k = kDESPC1[o] - 1u; // 0-based key bit, 0 = MSB of byte 0
                if (k / 8 == j && ((v >> (7 - k % 8)) & 1)) {
                    cd |= uint64_t{1} << (55 - o);
                }
            }
            t.pc1[j][v] = cd;
        }
    }
    for (unsigned j = 0; j < 7; ++j) {
        for (unsigned v = 0; v < 256; ++v) {
            uint64_t packed = 0;
            for (unsigned o = 0; o < 48; ++o) {
                unsigned m = kDESPC2[o] - 1u; // 0-based C||D bit, 0 = bit 55
                if (m / 8 == j && ((v >> (7 - m % 8)) & 1)) {
                    packed |= uint64_t{1} << SubkeyBit(o / 6 + 1, o % 6);
                }
            }
            t.pc2[j][v] = packed;
        }
    }
    return t;
}

} // namespace

constexpr DESTables kDESTables = Build();
