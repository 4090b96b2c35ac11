// CByteBuffer and the key containers: construction from a value, appending
// (also a buffer to itself), copying out, reversal, and copies that own
// their blocks.
#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

std::string Content(const CByteBuffer& buffer) {
    return ToHex(buffer.Data(), buffer.Size());
}

CByteBuffer Make(const char* hex) {
    const Bytes bytes = FromHex(hex);
    CByteBuffer buffer;
    buffer.Append(bytes.data(), static_cast<unsigned int>(bytes.size()));
    return buffer;
}

} // namespace

TEST(ByteBuffer, ValueAndToUInt32) {
    const struct {
        const char* bytes;
        unsigned int value;
    } cases[] = {{"12 34", 0x1234},
                 {"01 02 03 04 05", 0x01020304},
                 {"", 0},
                 {"FF", 0xFF},
                 {"DE AD BE EF", 0xDEADBEEF}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.value, Make(c.bytes).ToUInt32()) << c.bytes;
    }
    const CByteBuffer fromValue(0x01020304u);
    EXPECT_EQ("01 02 03 04", Content(fromValue));
    EXPECT_EQ(0x01020304u, fromValue.ToUInt32());
    EXPECT_EQ("00 00 00 00", Content(CByteBuffer(0u)));
}

TEST(ByteBuffer, AppendAndSelfAppend) {
    CByteBuffer empty;
    EXPECT_EQ(nullptr, empty.Data());
    EXPECT_EQ(0u, empty.Size());

    CByteBuffer a = Make("01 02 03");
    a.Append(nullptr, 0);
    const unsigned char x = 0x55;
    a.Append(&x, 0);
    EXPECT_EQ("01 02 03", Content(a));
    a.Append(a);
    EXPECT_EQ("01 02 03", Content(a));
    a += a;
    EXPECT_EQ("01 02 03", Content(a));
    a += Make("04 05");
    a.Append(Make(""));
    EXPECT_EQ("01 02 03 04 05", Content(a));
    // Bytes taken from the buffer's own block, which growing may move.
    for (int i = 0; i < 6; ++i) {
        a.Append(a.Data(), a.Size());
    }
    ASSERT_EQ(5u * 64, a.Size());
    for (unsigned int i = 0; i < a.Size(); ++i) {
        ASSERT_EQ(i % 5 + 1, a.Data()[i]) << i;
    }
}

TEST(ByteBuffer, CopyToAndReverse) {
    const CByteBuffer b = Make("0A 0B 0C");
    const struct {
        unsigned int max, copied;
        const char* out;
    } cases[] = {{10, 3, "0A 0B 0C EE"},
                 {3, 3, "0A 0B 0C EE"},
                 {2, 2, "0A 0B EE EE"},
                 {0, 0, "EE EE EE EE"}};
    for (const auto& c : cases) {
        unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(c.copied, b.CopyTo(out, c.max)) << c.max;
        EXPECT_EQ(c.out, ToHex(out, 4)) << c.max;
    }
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(0u, CByteBuffer().CopyTo(out, 4));
    EXPECT_EQ("EE EE EE EE", ToHex(out, 4));
    EXPECT_EQ(0u, b.CopyTo(nullptr, 4));

    CByteBuffer r = Make("01 02 03 04");
    r.Reverse();
    EXPECT_EQ("04 03 02 01", Content(r));
    CByteBuffer none;
    none.Reverse();
    EXPECT_EQ(0u, none.Size());
}

TEST(ByteBuffer, CopiesOwnTheirBlocks) {
    CByteBuffer original = Make("01 02 03");
    CByteBuffer copy(original);
    ASSERT_NE(original.Data(), copy.Data());
    copy.Data()[0] = 0xFF;
    copy.Append(original);
    EXPECT_EQ("01 02 03", Content(original));
    EXPECT_EQ("FF 02 03 01 02 03", Content(copy));

    CByteBuffer assigned = Make("09");
    assigned = original;
    ASSERT_NE(original.Data(), assigned.Data());
    assigned.Reverse();
    EXPECT_EQ("01 02 03", Content(original));
    EXPECT_EQ("03 02 01", Content(assigned));

    CByteBuffer& self = assigned;
    assigned = self;
    EXPECT_EQ("03 02 01", Content(assigned));
    assigned = CByteBuffer();
    EXPECT_EQ(0u, assigned.Size());
    EXPECT_EQ(nullptr, assigned.Data());
    CByteBuffer fromEmpty(assigned);
    EXPECT_EQ(nullptr, fromEmpty.Data());
}

// The key containers hold buffers only; filled components are released by
// their destructors (LeakSanitizer reports any that are not).
TEST(ByteBuffer, KeyContainers) {
    static_assert(std::is_base_of<CByteBuffer, CKeyComponent>::value, "a component is a buffer");
    static_assert(std::is_base_of<CPublicKeyData, CPrivateKeyData>::value, "public part first");
    static_assert(sizeof(CPrivateKeyData) == 8 * sizeof(CByteBuffer), "eight components");
    const unsigned char byte = 0x01;
    CPrivateKeyData key(1024);
    CKeyComponent* parts[] = {&key.modulus,   &key.publicExponent, &key.privateExponent,
                              &key.prime1,    &key.prime2,         &key.exponent1,
                              &key.exponent2, &key.coefficient};
    for (CKeyComponent* part : parts) {
        EXPECT_EQ(0u, part->Size());
        part->Append(&byte, 1);
    }
    CPublicKeyData pub(2048);
    pub.modulus.Append(&byte, 1);
    pub.publicExponent = key.publicExponent;
    EXPECT_EQ(1u, pub.publicExponent.Size());
}
