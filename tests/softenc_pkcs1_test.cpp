// PKCS #1 v1.5 block types 2 and 1: the block layout, round trips for every
// data length at 1023 and 1024 bits, the rejected blocks, and over-long
// input (refused by an assertion in debug builds, and with nothing written
// in release builds).
#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Both classes behind one interface for the table-driven cases.
struct Scheme {
    const char* name;
    unsigned char type;
    unsigned int (*max)(unsigned int);
    void (*pad)(CRandomGenerator&, const unsigned char*, unsigned int, unsigned char*,
                unsigned int);
    unsigned int (*unpad)(const unsigned char*, unsigned int, unsigned char*);
};

template <class P> unsigned int Max(unsigned int bits) {
    return P().MaxUnpaddedLength(bits);
}
template <class P>
void Pad(CRandomGenerator& rng, const unsigned char* in, unsigned int len, unsigned char* block,
         unsigned int bits) {
    P().Pad(rng, in, len, block, bits);
}
template <class P>
unsigned int Unpad(const unsigned char* block, unsigned int bits, unsigned char* out) {
    return P().Unpad(block, bits, out);
}

const Scheme kSchemes[] = {
    {"encryption", 0x02, Max<CPKCS1EncryptionPadding>, Pad<CPKCS1EncryptionPadding>,
     Unpad<CPKCS1EncryptionPadding>},
    {"signature", 0x01, Max<CPKCS1SignaturePadding>, Pad<CPKCS1SignaturePadding>,
     Unpad<CPKCS1SignaturePadding>},
};

Bytes Data(unsigned int length) {
    Bytes data(length);
    for (unsigned int i = 0; i < length; ++i) {
        data[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    return data;
}

// A hand-built block proper of k bytes: type, padLength padding bytes,
// the separator, then data.
Bytes Block(unsigned char type, unsigned int padLength, unsigned char padByte, const Bytes& data) {
    Bytes block;
    block.push_back(type);
    block.insert(block.end(), padLength, padByte);
    block.push_back(0x00);
    block.insert(block.end(), data.begin(), data.end());
    return block;
}

} // namespace

TEST(PKCS1, MaxUnpaddedLength) {
    const struct {
        unsigned int bits, max;
    } cases[] = {{1024, 118}, {1023, 117}, {2048, 246}, {96, 2}, {95, 1},
                 {88, 1},     {87, 0},     {80, 0},     {8, 0},  {0, 0}};
    for (const Scheme& s : kSchemes) {
        for (const auto& c : cases) {
            EXPECT_EQ(c.max, s.max(c.bits)) << s.name << " " << c.bits;
        }
    }
}

TEST(PKCS1, RoundTripEveryLengthAt1023And1024Bits) {
    CRandomGenerator rng;
    for (const Scheme& s : kSchemes) {
        for (unsigned int bits : {1023u, 1024u}) {
            const unsigned int max = s.max(bits);
            const size_t lead = bits % 8 != 0 ? 1 : 0;
            for (unsigned int length = 0; length <= max; ++length) {
                SCOPED_TRACE(std::string(s.name) + " " + std::to_string(bits) + " bits, length " +
                             std::to_string(length));
                const Bytes data = Data(length);
                Bytes block(128 + 8, 0xEE); // 128 bytes in all, then a guard
                s.pad(rng, data.data(), length, block.data(), bits);
                for (size_t i = 128; i < block.size(); ++i) {
                    ASSERT_EQ(0xEE, block[i]) << "written past the block";
                }
                if (lead != 0) {
                    EXPECT_EQ(0x00, block[0]);
                }
                const unsigned char* proper = block.data() + lead;
                const unsigned int k = bits / 8;
                EXPECT_EQ(s.type, proper[0]);
                for (unsigned int i = 1; i < k - length - 1; ++i) {
                    if (s.type == 0x01) {
                        ASSERT_EQ(0xFF, proper[i]) << i;
                    } else {
                        ASSERT_NE(0x00, proper[i]) << i;
                    }
                }
                EXPECT_EQ(0x00, proper[k - length - 1]);
                EXPECT_EQ(ToHex(data), ToHex(proper + k - length, length));

                Bytes output(max, 0xEE);
                EXPECT_EQ(length, s.unpad(block.data(), bits, output.data()));
                EXPECT_EQ(ToHex(data), ToHex(output.data(), length));
            }
        }
    }
}

TEST(PKCS1, UnpadRejects) {
    const Bytes data = Data(5);
    const unsigned int bits = 1024; // k = 128
    struct Case {
        const char* what;
        unsigned char type;
        Bytes block;
        unsigned int expected;
    };
    for (const Scheme& s : kSchemes) {
        const unsigned char other = s.type == 0x02 ? 0x01 : 0x02;
        const unsigned char pad = s.type == 0x02 ? 0x5C : 0xFF;
        const Case cases[] = {
            {"valid", s.type, Block(s.type, 128 - 7, pad, data), 5},
            {"wrong type", s.type, Block(other, 128 - 7, 0xFF, data), 0},
            {"type 0", s.type, Block(0x00, 128 - 7, 0xFF, data), 0},
            // 110 data bytes behind 7 padding bytes: one too many.
            {"7 padding bytes", s.type, Block(s.type, 7, pad, Data(128 - 9)), 0},
            {"8 padding bytes", s.type, Block(s.type, 8, pad, Data(128 - 10)), 118},
            {"no separator", s.type, Bytes(1, s.type), 0},
            {"empty data", s.type, Block(s.type, 128 - 2, pad, Bytes()), 0},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(s.name) + ": " + c.what);
            Bytes block = c.block;
            block.resize(128, pad); // "no separator": padding to the end
            Bytes output(118, 0xEE);
            EXPECT_EQ(c.expected, s.unpad(block.data(), bits, output.data()));
            if (c.expected == 0) {
                EXPECT_EQ(Bytes(118, 0xEE), output) << "nothing written on rejection";
            }
        }

        // 1023 bits: the leading byte must be zero.
        Bytes lead = Block(s.type, 127 - 7, pad, data);
        lead.insert(lead.begin(), 0x00);
        Bytes output(117);
        EXPECT_EQ(5u, s.unpad(lead.data(), 1023, output.data())) << s.name;
        lead[0] = 0x01;
        EXPECT_EQ(0u, s.unpad(lead.data(), 1023, output.data())) << s.name;

        // Blocks of 10 bytes or less never hold data.
        const Bytes small = Block(s.type, 8, pad, Bytes(1, 0x41));
        EXPECT_EQ(0u, s.unpad(small.data(), 80, output.data())) << s.name;
    }

    // Type 1 takes nothing but FF before the separator; type 2 anything non-zero.
    Bytes sig = Block(0x01, 128 - 7, 0xFF, data);
    sig[40] = 0xFE;
    Bytes output(118);
    EXPECT_EQ(0u, CPKCS1SignaturePadding().Unpad(sig.data(), 1024, output.data()));
    Bytes enc = Block(0x02, 128 - 7, 0xFF, data);
    enc[40] = 0x01;
    EXPECT_EQ(5u, CPKCS1EncryptionPadding().Unpad(enc.data(), 1024, output.data()));
}

TEST(PKCS1, EmptyInputFillsTheBlockWithPadding) {
    CRandomGenerator rng;
    for (const Scheme& s : kSchemes) {
        Bytes block(128, 0xEE);
        s.pad(rng, nullptr, 0, block.data(), 1024);
        EXPECT_EQ(s.type, block[0]);
        EXPECT_EQ(0x00, block[127]) << "separator as the last byte";
        Bytes output(118, 0xEE);
        EXPECT_EQ(0u, s.unpad(block.data(), 1024, output.data()));
    }
}

TEST(PKCS1, EncryptionPaddingIsNeverZeroForAnySeed) {
    CRandomGenerator rng;
    const Bytes data = Data(1);
    for (unsigned int seed = 0; seed < 2000; ++seed) {
        rng.Seed(seed * 2654435761u);
        Bytes block(128);
        CPKCS1EncryptionPadding().Pad(rng, data.data(), 1, block.data(), 1024);
        for (unsigned int i = 1; i < 126; ++i) {
            ASSERT_NE(0x00, block[i]) << "seed " << seed << " byte " << i;
        }
    }
}

// Input longer than the block takes: the assertion fires in debug builds;
// without assertions nothing at all is written.
TEST(PKCS1, OverlongInputWritesNothing) {
    CRandomGenerator rng;
    for (const Scheme& s : kSchemes) {
        for (unsigned int bits : {1023u, 1024u, 80u}) {
            SCOPED_TRACE(std::string(s.name) + " " + std::to_string(bits));
            const unsigned int length = s.max(bits) + 1;
            const Bytes data = Data(length);
            Bytes block(128 + length, 0xEE);
#ifdef NDEBUG
            s.pad(rng, data.data(), length, block.data(), bits);
            EXPECT_EQ(Bytes(128 + length, 0xEE), block);
#else
            GTEST_FLAG_SET(death_test_style, "threadsafe");
            EXPECT_DEATH(s.pad(rng, data.data(), length, block.data(), bits),
                         "inputLen <= MaxUnpaddedLength");
#endif
        }
    }
}
