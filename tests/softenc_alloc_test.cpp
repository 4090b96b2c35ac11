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
#include <memory>

extern "C" {
void* __real_malloc(size_t size);
void* __real_realloc(void* block, size_t size);
void __real_free(void* block);
void* __wrap_malloc(size_t size);
void* __wrap_realloc(void* block, size_t size);
void __wrap_free(void* block);
}

namespace {

struct {
    bool failing;       // every request fails
    size_t lastRequest; // bytes of the last request
    long live;          // blocks handed out and not yet freed
} g_heap;

// Every malloc and realloc fails while one of these lives.
struct Failing {
    Failing() { g_heap.failing = true; }
    ~Failing() { g_heap.failing = false; }
};

std::string Content(const CByteBuffer& buffer) {
    return ToHex(buffer.Data(), buffer.Size());
}

} // namespace

extern "C" void* __wrap_malloc(size_t size) {
    g_heap.lastRequest = size;
    void* block = g_heap.failing ? nullptr : __real_malloc(size);
    g_heap.live += block != nullptr;
    return block;
}

extern "C" void* __wrap_realloc(void* block, size_t size) {
    g_heap.lastRequest = size;
    void* moved = g_heap.failing ? nullptr : __real_realloc(block, size);
    g_heap.live += block == nullptr && moved != nullptr;
    return moved;
}

extern "C" void __wrap_free(void* block) {
    g_heap.live -= block != nullptr;
    __real_free(block);
}

TEST(FailingAllocator, ByteBufferKeepsItsBlockAndSize) {
    const long live = g_heap.live;
    {
        const unsigned char bytes[4] = {5, 6, 7, 8};
        CByteBuffer buffer(0x01020304u), source(0x0A0B0C0Du), target(0x01u);
        const unsigned char* block = buffer.Data();
        {
            Failing failing;
            buffer.Append(bytes, 4);
            buffer.Append(buffer.Data(), 2);
            buffer += source;
            CByteBuffer fromValue(0x01020304u), copy(source);
            target = source;
            EXPECT_EQ(nullptr, fromValue.Data());
            EXPECT_EQ(0u, fromValue.Size() + copy.Size());
        }
        EXPECT_EQ(block, buffer.Data());
        EXPECT_EQ("01 02 03 04", Content(buffer));
        EXPECT_EQ("00 00 00 01", Content(target));
        buffer.Append(bytes, 1); // and it grows again afterwards
        EXPECT_EQ("01 02 03 04 05", Content(buffer));
        target = CByteBuffer();
    }
    EXPECT_EQ(live, g_heap.live) << "a block was not given back";
}

// Lengths up to the end of the 32-bit size ask for a block (and get none
// here); one more would wrap the size and is refused without asking.
TEST(FailingAllocator, AppendRefusesALengthThatWrapsTheSize) {
    CByteBuffer buffer(0x01020304u);
    Failing failing;
    g_heap.lastRequest = 0;
    buffer.Append(buffer.Data(), UINT32_MAX - 3);
    EXPECT_EQ(0u, g_heap.lastRequest);
    buffer.Append(buffer.Data(), UINT32_MAX - 4);
    EXPECT_EQ(UINT32_MAX, g_heap.lastRequest);
    EXPECT_EQ(4u, buffer.Size());
}

// A hash whose state block could not be had does nothing (and writes no
// digest) until SetState gives it one, which may fail the same way.
template <class Hash> void CheckHashWithoutState(const char* emptyDigest) {
    Hash fresh;
    auto failing = std::make_unique<Failing>();
    Hash hash;
    hash.SetState(fresh.GetState());
    failing.reset();
    EXPECT_EQ(nullptr, hash.GetState());
    const unsigned char abc[] = {'a', 'b', 'c'};
    unsigned char digest[20];
    std::memset(digest, 0xEE, sizeof digest);
    hash.Update(abc, 3);
    hash.CalculateDigest(digest, abc, 3);
    EXPECT_EQ(Bytes(20, 0xEE), Bytes(digest, digest + 20));
    hash.SetState(fresh.GetState());
    ASSERT_NE(nullptr, hash.GetState());
    EXPECT_NE(fresh.GetState(), hash.GetState());
    hash.Final(digest);
    EXPECT_EQ(emptyDigest, ToHex(digest, hash.DigestSize()));
}

TEST(FailingAllocator, HashWithoutStateBlock) {
    const long live = g_heap.live;
    CheckHashWithoutState<CMD5>("D4 1D 8C D9 8F 00 B2 04 E9 80 09 98 EC F8 42 7E");
    CheckHashWithoutState<CSHA1>("DA 39 A3 EE 5E 6B 4B 0D 32 55 BF EF 95 60 18 90 AF D8 07 09");
    EXPECT_EQ(live, g_heap.live);
}

// A CBC filter whose output cannot grow stops, keeps what it had, and
// reports the loss from Final.
TEST(FailingAllocator, CBCFiltersStopAndReportFailure) {
    const unsigned char key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes plain(40, 0x11);
    CDESEncryptor encryptor(key);
    CCBCEncryptFilter enc(&encryptor, nullptr), whole(&encryptor, nullptr);
    enc.Update(plain.data(), 16);
    {
        Failing failing;
        enc.Update(plain.data(), 24);
    }
    EXPECT_EQ(0, enc.Final());
    EXPECT_EQ(16u, enc.output.Size());

    whole.Update(plain.data(), 40);
    ASSERT_EQ(1, whole.Final());
    CDESDecryptor decryptor(key);
    CCBCDecryptFilter dec(&decryptor, nullptr);
    dec.Update(whole.output.Data(), 16); // the first block out, the second held back
    {
        Failing failing;
        dec.Update(whole.output.Data() + 16, 32);
    }
    EXPECT_EQ(0, dec.Final());
    EXPECT_EQ(8u, dec.output.Size());
}
