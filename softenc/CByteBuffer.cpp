// CByteBuffer: a byte string in one heap block of exactly its size. Buffers
// hold key components, so no copy of the bytes is ever left in freed memory:
// a block is wiped before it is freed, and a block that must move to grow is
// copied into a fresh one and wiped, never handed to a moving realloc. When
// an allocation fails, the buffer keeps its old block and size.
#include "SecureWipe.h"
#include "softenc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

void WipeAndFree(unsigned char* block, size_t size) {
    SecureWipe(block, size);
    std::free(block);
}

// A block of newSize bytes holding the first oldSize bytes of block, or null
// (block untouched) when none can be had. Grows in place when the block's
// own room suffices; otherwise the bytes move to a fresh block and the old
// one is wiped and freed.
unsigned char* Grow(unsigned char* block, size_t oldSize, size_t newSize) {
#if defined(__GLIBC__)
    if (block != nullptr && newSize <= malloc_usable_size(block)) {
        // Within the block's room realloc keeps the block where it is.
        return static_cast<unsigned char*>(std::realloc(block, newSize));
    }
#endif
    unsigned char* fresh = static_cast<unsigned char*>(std::malloc(newSize));
    if (fresh == nullptr) {
        return nullptr;
    }
    if (block != nullptr) {
        std::memcpy(fresh, block, oldSize);
        WipeAndFree(block, oldSize);
    }
    return fresh;
}

} // namespace

CByteBuffer::CByteBuffer(unsigned int value) : data(nullptr), size(0) {
    unsigned char bytes[4];
    UInt32ToBigEndian(value, bytes, sizeof bytes);
    Append(bytes, sizeof bytes);
}

CByteBuffer::CByteBuffer(const CByteBuffer& other) : data(nullptr), size(0) {
    Append(other);
}

CByteBuffer& CByteBuffer::operator=(const CByteBuffer& other) {
    if (&other == this) {
        return *this;
    }
    if (other.size == 0) {
        WipeAndFree(data, size);
        data = nullptr;
        size = 0;
        return *this;
    }
    // A fresh block first, so that a failure leaves this buffer as it was.
    unsigned char* copy = static_cast<unsigned char*>(std::malloc(other.size));
    if (copy == nullptr) {
        return *this;
    }
    std::memcpy(copy, other.data, other.size);
    WipeAndFree(data, size);
    data = copy;
    size = other.size;
    return *this;
}

CByteBuffer::~CByteBuffer() {
    WipeAndFree(data, size);
    data = nullptr;
    size = 0;
}

void CByteBuffer::Append(const unsigned char* input, unsigned int length) {
    if (length == 0 || input == nullptr || length > UINT32_MAX - size) {
        return;
    }
    // Input may lie inside this buffer's own block, which growing can move
    // (and wipe): remember where, relative to the block.
    const uintptr_t at = reinterpret_cast<uintptr_t>(input);
    const uintptr_t base = reinterpret_cast<uintptr_t>(data);
    const bool inside = data != nullptr && at >= base && at < base + size;
    const size_t offset = inside ? static_cast<size_t>(at - base) : 0;

    unsigned char* grown = Grow(data, size, size_t{size} + length);
    if (grown == nullptr) {
        return; // the old block is still valid and still ours
    }
    if (inside) {
        input = grown + offset;
    }
    std::memcpy(grown + size, input, length);
    data = grown;
    size += length;
}

CByteBuffer& CByteBuffer::Append(const CByteBuffer& other) {
    if (&other != this) {
        Append(other.data, other.size);
    }
    return *this;
}

unsigned int CByteBuffer::CopyTo(unsigned char* output, unsigned int maxLength) const {
    if (data == nullptr || output == nullptr) {
        return 0;
    }
    const unsigned int n = maxLength < size ? maxLength : size;
    std::memcpy(output, data, n);
    return n;
}

void CByteBuffer::Reverse() {
    if (size != 0) {
        ReverseBytes(data, size);
    }
}

unsigned int CByteBuffer::ToUInt32() const {
    unsigned char bytes[4];
    const unsigned int n = CopyTo(bytes, sizeof bytes);
    unsigned int value = 0;
    BigEndianToUInt32(bytes, n, &value);
    return value;
}
