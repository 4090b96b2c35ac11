// softenc under an allocator that fails on demand and counts what it hands
// out: this program is linked with malloc, realloc and free wrapped, so the
// library's allocations come through the functions below. A failed
// allocation leaves every object as it was, and every block taken is given
// back, also in builds without LeakSanitizer.
#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

extern "C" {
void* __real_malloc(size_t size);
void* __real_realloc(void* block, size_t size);
void __real_free(void* block);
}

namespace {

bool g_failing;       // every request fails
size_t g_lastRequest; // bytes of the last request
long g_live;          // blocks handed out by malloc and not yet freed

} // namespace

extern "C" void* __wrap_malloc(size_t size) {
    g_lastRequest = size;
    void* block = g_failing ? nullptr : __real_malloc(size);
    g_live += block != nullptr;
    return block;
}

// softenc reallocates only blocks it has, and only within their room.
extern "C" void* __wrap_realloc(void* block, size_t size) {
    g_lastRequest = size;
    return g_failing ? nullptr : __real_realloc(block, size);
}

extern "C" void __wrap_free(void* block) {
    g_live -= block != nullptr;
    __real_free(block);
}

// Lengths up to the end of the 32-bit size ask for a block (and get none
// here); one more would wrap the size and is refused without asking.
TEST(FailingAllocator, ByteBufferKeepsItsBlockAndSize) {
    const long live = g_live;
    {
        const unsigned char bytes[4] = {5, 6, 7, 8};
        CByteBuffer buffer(0x01020304u), target(0x01u);
        const unsigned char* block = buffer.Data();
        g_failing = true;
        buffer.Append(bytes, 4);
        buffer.Append(buffer.Data(), 2);
        buffer += target;
        CByteBuffer fromValue(0x01020304u), copy(buffer);
        target = buffer;
        g_lastRequest = 0;
        buffer.Append(buffer.Data(), UINT32_MAX - 3);
        EXPECT_EQ(0u, g_lastRequest);
        buffer.Append(buffer.Data(), UINT32_MAX - 4);
        EXPECT_EQ(UINT32_MAX, g_lastRequest);
        g_failing = false;
        EXPECT_EQ(nullptr, fromValue.Data());
        EXPECT_EQ(0u, fromValue.Size() + copy.Size());
        EXPECT_EQ(block, buffer.Data());
        EXPECT_EQ("01 02 03 04 00 00 00 01",
                  ToHex(buffer.Data(), buffer.Size()) + " " + ToHex(target.Data(), target.Size()));
        buffer.Append(bytes, 1); // and it grows again afterwards
        EXPECT_EQ("01 02 03 04 05", ToHex(buffer.Data(), buffer.Size()));
        target = CByteBuffer();
        // The hashes' state blocks are given back as well.
        CSHA1 sha1;
        CMD5 md5;
    }
    EXPECT_EQ(live, g_live) << "a block was not given back";
}

// A hash whose state block could not be had does nothing (and writes no
// digest) until SetState gives it one, which may fail the same way.
TEST(FailingAllocator, HashWithoutStateBlock) {
    unsigned char digest[20];
    std::memset(digest, 0xEE, sizeof digest);
    CSHA1 fresh;
    g_failing = true;
    CMD5 md5;
    CSHA1 sha1;
    sha1.SetState(fresh.GetState());
    g_failing = false;
    md5.CalculateDigest(digest, digest, 3);
    sha1.CalculateDigest(digest, digest, 3);
    EXPECT_EQ(Bytes(20, 0xEE), Bytes(digest, digest + 20));
    sha1.SetState(fresh.GetState());
    sha1.Final(digest);
    EXPECT_EQ("DA 39 A3 EE 5E 6B 4B 0D 32 55 BF EF 95 60 18 90 AF D8 07 09", ToHex(digest, 20));
}

// A CBC filter whose output cannot grow stops and reports the loss from
// Final, even where the rest of its input would have been whole.
TEST(FailingAllocator, CBCFiltersReportALostBlock) {
    const unsigned char key[8] = {1, 2, 3, 4, 5, 6, 7, 8}, data[24] = {};
    CDESEncryptor encryptor(key);
    CDESDecryptor decryptor(key);
    CCBCEncryptFilter whole(&encryptor, nullptr), enc(&encryptor, nullptr);
    CCBCDecryptFilter dec(&decryptor, nullptr);
    whole.Update(data, 24);
    ASSERT_EQ(1, whole.Final());
    g_failing = true;
    enc.Update(data, 24);
    dec.Update(whole.output.Data(), 32);
    g_failing = false;
    EXPECT_EQ(0, enc.Final() + dec.Final());
    EXPECT_EQ(0u, enc.output.Size() + dec.output.Size());
    // The last block, kept back until Final, and no room for its 4 bytes then.
    CCBCEncryptFilter four(&encryptor, nullptr);
    four.Update(data, 20);
    CCBCDecryptFilter last(&decryptor, (four.Final(), four.output.Data() + 8));
    last.Update(four.output.Data() + 16, 8);
    g_failing = true;
    EXPECT_EQ(0, last.Final());
    g_failing = false;
}
