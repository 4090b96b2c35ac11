// softenc under an allocator that fails on demand, counts what it hands out
// and watches what comes back: this program is linked with malloc, calloc,
// realloc and free wrapped, so the library's allocations come through the
// functions below. A failed allocation leaves every object as it was, every
// block taken is given back, also in builds without LeakSanitizer, and none
// holds a secret when it is.
#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
void __real_free(void* block);
}

namespace {

bool g_failing;                // every request fails
size_t g_lastRequest;          // bytes of the last request
long g_live;                   // blocks handed out and not yet freed
const unsigned char* g_secret; // while set, 8 bytes no block may hold when given back
int g_kept;                    // blocks given back holding them

bool HoldsSecret(void* block) {
    if (g_secret == nullptr || block == nullptr) {
        return false;
    }
    const unsigned char* bytes = static_cast<unsigned char*>(block);
    const unsigned char* end = bytes + malloc_usable_size(block);
    return std::search(bytes, end, g_secret, g_secret + 8) != end;
}

} // namespace

extern "C" void* __wrap_malloc(size_t size) {
    g_lastRequest = size;
    void* block = g_failing ? nullptr : __real_malloc(size);
    g_live += block != nullptr;
    return block;
}

// clang makes a malloc whose block is then zeroed a calloc.
extern "C" void* __wrap_calloc(size_t count, size_t size) {
    g_lastRequest = count * size;
    void* block = g_failing ? nullptr : __real_calloc(count, size);
    g_live += block != nullptr;
    return block;
}

// softenc reallocates only blocks it has, and only within their room: past
// it, realloc may move the block and free the old one unwiped.
extern "C" void* __wrap_realloc(void* block, size_t size) {
    g_lastRequest = size;
    g_kept += size > malloc_usable_size(block) && HoldsSecret(block);
    return g_failing ? nullptr : __real_realloc(block, size);
}

extern "C" void __wrap_free(void* block) {
    g_live -= block != nullptr;
    g_kept += HoldsSecret(block);
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
    }
    EXPECT_EQ(live, g_live) << "a block was not given back";
}

// Every block that held a secret is wiped before it is freed or handed to a
// realloc that may move it, and given back; the last row is the watch's own
// check.
TEST(WatchedAllocator, NoBlockGivenBackHoldsASecret) {
    const Bytes key = FromHex("3C A1 5E 97 D2 0B 64 F8 1D 86 E9 42 B7 5A C3 2F"), big(4096, 1);
    const std::pair<const char*, std::function<void()>> rows[] = {
        {"CByteBuffer grown to the end of its room, then past it from its own block",
         [&] {
             CByteBuffer buffer;
             buffer.Append(key.data(), 16);
             unsigned char* block = buffer.Data();
             const unsigned int room = static_cast<unsigned int>(malloc_usable_size(block));
             buffer.Append(big.data(), room - 16);
             EXPECT_EQ(block, buffer.Data()) << "not grown where it stands";
             buffer.Append(big.data(), 4096);
             buffer.Append(buffer.Data(), 16);
             EXPECT_EQ(key, Bytes(buffer.Data() + room + 4096, buffer.Data() + room + 4112));
         }},
        {"CByteBuffer assigned over and emptied",
         [&] {
             CByteBuffer a, b;
             a.Append(key.data(), 16);
             b = a;
             a = CByteBuffer(7u);
             b = CByteBuffer();
         }},
        {"CMD5 dropped before Final", [&] { CMD5().Update(key.data(), 16); }},
        {"CSHA1 dropped before Final", [&] { CSHA1().Update(key.data(), 16); }},
        {"a block freed as it is",
         [&] {
             void* block = std::malloc(16);
             std::memcpy(block, key.data(), 16);
             asm volatile("" : : "r"(block) : "memory");
             std::free(block);
         }},
    };
    for (const auto& row : rows) {
        const long live = g_live;
        g_kept = 0;
        g_secret = key.data();
        row.second();
        g_secret = nullptr;
        EXPECT_EQ(&row == std::end(rows) - 1, g_kept != 0)
            << row.first << ": " << g_kept << " kept";
        EXPECT_EQ(live, g_live) << row.first << ": a block was not given back";
    }
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
