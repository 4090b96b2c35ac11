// CByteBuffer: a byte string in one heap block of exactly its size, grown
// by reallocation. Every allocation goes through std::realloc; when it
// fails, the buffer keeps its old block and size.
#include "softenc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

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
        std::free(data);
        data = nullptr;
        size = 0;
        return *this;
    }
    // A fresh block first, so that a failure leaves this buffer as it was.
    unsigned char* copy = static_cast<unsigned char*>(std::realloc(nullptr, other.size));
    if (copy == nullptr) {
        return *this;
    }
    std::memcpy(copy, other.data, other.size);
    std::free(data);
    data = copy;
    size = other.size;
    return *this;
}

CByteBuffer::~CByteBuffer() {
    std::free(data);
    data = nullptr;
    size = 0;
}

void CByteBuffer::Append(const unsigned char* input, unsigned int length) {
    if (length == 0 || input == nullptr || length > UINT32_MAX - size) {
        return;
    }
    // Input may lie inside this buffer's own block, which the reallocation
    // can move: remember where, relative to the block.
    const uintptr_t at = reinterpret_cast<uintptr_t>(input);
    const uintptr_t base = reinterpret_cast<uintptr_t>(data);
    const bool inside = data != nullptr && at >= base && at < base + size;
    const size_t offset = inside ? static_cast<size_t>(at - base) : 0;

    unsigned char* grown = static_cast<unsigned char*>(std::realloc(data, size + length));
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
