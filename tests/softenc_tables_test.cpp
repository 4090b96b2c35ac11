// The DES core's compile-time tables, rebuilt here bit by bit from the
// textbook definitions (S-boxes, P, PC-1, PC-2 with 1-based bit numbers, bit 1
// the most significant) in the plainest way, and compared entry by entry.
#include "DESTables.h"

#include <gtest/gtest.h>

#include <set>

namespace {

uint32_t RotateLeft1(uint32_t x) {
    return (x << 1) | (x >> 31);
}

// Bit k (1-based from the most significant) of an n-bit value.
uint64_t Bit(uint64_t value, unsigned n, unsigned k) {
    return (value >> (n - k)) & 1;
}

// S-box `box` output for a 6-bit input b1..b6: row b1 b6, column b2..b5,
// placed at bits 4*box+1..4*box+4 of the 32-bit word before P, then P,
// then the core's one-bit left rotation.
uint32_t ReferenceSP(unsigned box, unsigned input) {
    unsigned row = (Bit(input, 6, 1) << 1) | Bit(input, 6, 6);
    unsigned column = (input >> 1) & 0x0F;
    uint32_t s = kDESSBox[box][row * 16 + column];
    uint32_t beforeP = s << (28 - 4 * box);
    uint32_t afterP = 0;
    for (unsigned k = 1; k <= 32; ++k)
        afterP |= static_cast<uint32_t>(Bit(beforeP, 32, kDESP[k - 1])) << (32 - k);
    return RotateLeft1(afterP);
}

// Key byte `index` holding `value`, through PC-1, into the 56-bit C||D.
uint64_t ReferencePC1(unsigned index, unsigned value) {
    uint64_t key = static_cast<uint64_t>(value) << (56 - 8 * index);
    uint64_t cd = 0;
    for (unsigned k = 1; k <= 56; ++k)
        cd |= Bit(key, 64, kDESPC1[k - 1]) << (56 - k);
    return cd;
}

// C||D byte `index` (from the top) holding `value`, through PC-2, into the
// subkey pair: key group g (1-8) of six bits goes to the first word (high
// half) for even g, the second for odd g, at byte field 24, 16, 8 or 0.
uint64_t ReferencePC2(unsigned index, unsigned value) {
    static const unsigned kField[4] = {24, 16, 8, 0};
    uint64_t cd = static_cast<uint64_t>(value) << (48 - 8 * index);
    uint64_t pair = 0;
    for (unsigned k = 1; k <= 48; ++k) {
        unsigned group = (k - 1) / 6 + 1;
        unsigned within = (k - 1) % 6;
        unsigned word = (group % 2 == 0) ? 32 : 0;
        unsigned position = word + kField[(group - 1) / 2] + 5 - within;
        pair |= Bit(cd, 56, kDESPC2[k - 1]) << position;
    }
    return pair;
}

TEST(SoftencDESTables, DefinitionsAreWellFormed) {
    for (unsigned box = 0; box < 8; ++box)
        for (unsigned row = 0; row < 4; ++row) {
            std::set<unsigned> values(&kDESSBox[box][row * 16], &kDESSBox[box][row * 16 + 16]);
            EXPECT_EQ(values.size(), 16u) << "S" << box + 1 << " row " << row;
            EXPECT_EQ(*values.rbegin(), 15u);
        }
    std::set<unsigned> p(kDESP, kDESP + 32);
    EXPECT_EQ(p.size(), 32u);
    std::set<unsigned> pc1(kDESPC1, kDESPC1 + 56);
    EXPECT_EQ(pc1.size(), 56u);
    for (unsigned bit : pc1)
        EXPECT_NE(bit % 8, 0u) << "PC-1 takes a parity bit";
    std::set<unsigned> pc2(kDESPC2, kDESPC2 + 48);
    EXPECT_EQ(pc2.size(), 48u);
    EXPECT_EQ(*pc2.rbegin(), 56u);
    unsigned shifts = 0;
    for (unsigned s : kDESShifts)
        shifts += s;
    EXPECT_EQ(shifts, 28u) << "C and D must come full circle";
    // A few entries as the standard prints them.
    EXPECT_EQ(kDESSBox[0][0], 14);
    EXPECT_EQ(kDESSBox[7][63], 11);
    EXPECT_EQ(kDESP[0], 16);
    EXPECT_EQ(kDESPC1[0], 57);
    EXPECT_EQ(kDESPC2[47], 32);
}

TEST(SoftencDESTables, RebuiltTablesMatch) {
    int mismatches = 0;
    for (unsigned box = 0; box < 8; ++box)
        for (unsigned input = 0; input < 64; ++input)
            if (kDESTables.sp[box][input] != ReferenceSP(box, input)) {
                ADD_FAILURE() << "SP " << box << "," << input;
                ++mismatches;
            }
    for (unsigned index = 0; index < 8; ++index)
        for (unsigned value = 0; value < 256; ++value)
            if (kDESTables.pc1[index][value] != ReferencePC1(index, value)) {
                ADD_FAILURE() << "PC-1 " << index << "," << value;
                ++mismatches;
            }
    for (unsigned index = 0; index < 7; ++index)
        for (unsigned value = 0; value < 256; ++value)
            if (kDESTables.pc2[index][value] != ReferencePC2(index, value)) {
                ADD_FAILURE() << "PC-2 " << index << "," << value;
                ++mismatches;
            }
    EXPECT_EQ(mismatches, 0);
}

} // namespace
