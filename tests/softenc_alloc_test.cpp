// softenc under an allocator that fails on demand: this test program is
// linked with malloc and realloc wrapped, so the library's allocations go
// through the functions below. A failed allocation must leave every object
// consistent, lose nothing and leak nothing (run under LeakSanitizer).
#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>

extern "C" {
void* __real_malloc(size_t size);
void* __real_realloc(void* block, size_t size);
void* __wrap_malloc(size_t size);
void* __wrap_realloc(void* block, size_t size);
}

namespace {

int g_failures = 0; // allocations refused while a FailingAllocator lives
bool g_failing = false;

void* Refuse() {
    ++g_failures;
    return nullptr;
}

// Every malloc and realloc fails while an object of this class exists.
struct FailingAllocator {
    FailingAllocator() {
        g_failures = 0;
        g_failing = true;
    }
    ~FailingAllocator() { g_failing = false; }
};

std::string Content(const CByteBuffer& buffer) {
    return ToHex(buffer.Data(), buffer.Size());
}

} // namespace

extern "C" void* __wrap_malloc(size_t size) {
    return g_failing ? Refuse() : __real_malloc(size);
}

extern "C" void* __wrap_realloc(void* block, size_t size) {
    return g_failing ? Refuse() : __real_realloc(block, size);
}

TEST(FailingAllocator, AppendKeepsTheOldBlockAndSize) {
    const Bytes bytes = FromHex("01 02 03 04");
    CByteBuffer buffer;
    buffer.Append(bytes.data(), 4);
    const unsigned char* block = buffer.Data();
    {
        FailingAllocator failing;
        buffer.Append(bytes.data(), 4);
        buffer.Append(buffer.Data(), 2);
        buffer += buffer;
        EXPECT_GE(g_failures, 2) << "the seam is not in the allocation path";
    }
    EXPECT_EQ(block, buffer.Data());
    EXPECT_EQ("01 02 03 04", Content(buffer));
    buffer.Append(bytes.data(), 1); // and it still grows afterwards
    EXPECT_EQ("01 02 03 04 01", Content(buffer));
}

TEST(FailingAllocator, ConstructionAndAssignment) {
    const Bytes bytes = FromHex("0A 0B");
    CByteBuffer source;
    source.Append(bytes.data(), 2);
    CByteBuffer target;
    const unsigned char one = 1;
    target.Append(&one, 1);
    {
        FailingAllocator failing;
        CByteBuffer fromValue(0x01020304u);
        EXPECT_EQ(0u, fromValue.Size());
        EXPECT_EQ(nullptr, fromValue.Data());
        CByteBuffer copy(source);
        EXPECT_EQ(0u, copy.Size());
        target = source; // cannot copy: left as it was
        EXPECT_GE(g_failures, 3);
    }
    EXPECT_EQ("01", Content(target));
    EXPECT_EQ("0A 0B", Content(source));
    target = source;
    EXPECT_EQ("0A 0B", Content(target));
}

TEST(FailingAllocator, CBCFiltersStopAndReportFailure) {
    const unsigned char key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes plain(40, 0x11);
    CDESEncryptor encryptor(key);
    CCBCEncryptFilter enc(&encryptor, nullptr);
    enc.Update(plain.data(), 16);
    ASSERT_EQ(16u, enc.output.Size());
    {
        FailingAllocator failing;
        enc.Update(plain.data(), 24);
    }
    EXPECT_EQ(0, enc.Final()) << "a lost block must not be reported as done";
    EXPECT_EQ(16u, enc.output.Size());

    CCBCEncryptFilter whole(&encryptor, nullptr);
    whole.Update(plain.data(), 40);
    ASSERT_EQ(1, whole.Final());
    CDESDecryptor decryptor(key);
    CCBCDecryptFilter dec(&decryptor, nullptr);
    dec.Update(whole.output.Data(), 16);
    const unsigned int before = dec.output.Size(); // the first block; the second is held
    ASSERT_EQ(8u, before);
    {
        FailingAllocator failing;
        dec.Update(whole.output.Data() + 16, 32);
    }
    EXPECT_EQ(0, dec.Final());
    EXPECT_EQ(before, dec.output.Size());
}

template <class Hash> void CheckHashWithoutState(const char* emptyDigest) {
    FailingAllocator* failing = new FailingAllocator;
    Hash hash;
    delete failing;
    EXPECT_EQ(nullptr, hash.GetState());
    const unsigned char abc[] = {'a', 'b', 'c'};
    hash.Update(abc, 3);
    unsigned char digest[20];
    std::fill(digest, digest + 20, 0xEE);
    hash.Final(digest);
    EXPECT_EQ(Bytes(20, 0xEE), Bytes(digest, digest + 20)) << "Final writes nothing";
    hash.CalculateDigest(digest, abc, 3);
    EXPECT_EQ(Bytes(20, 0xEE), Bytes(digest, digest + 20));

    // SetState allocates a block: refused while allocation fails, then taken.
    Hash fresh;
    {
        FailingAllocator again;
        hash.SetState(fresh.GetState());
    }
    EXPECT_EQ(nullptr, hash.GetState());
    hash.SetState(fresh.GetState());
    ASSERT_NE(nullptr, hash.GetState());
    ASSERT_NE(fresh.GetState(), hash.GetState());
    hash.Final(digest);
    EXPECT_EQ(emptyDigest, ToHex(digest, hash.DigestSize()));
}

TEST(FailingAllocator, HashWithoutStateBlock) {
    CheckHashWithoutState<CMD5>("D4 1D 8C D9 8F 00 B2 04 E9 80 09 98 EC F8 42 7E");
    CheckHashWithoutState<CSHA1>("DA 39 A3 EE 5E 6B 4B 0D 32 55 BF EF 95 60 18 90 AF D8 07 09");
}
