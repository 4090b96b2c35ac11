// Byte-order and rotate helpers of the softenc cores (DES, MD5, SHA-1):
// 32-bit words loaded from and stored to bytes, most or least significant
// byte first, and 32-bit rotations. Internal; not installed.
#ifndef SOFTENC_BYTEORDER_H
#define SOFTENC_BYTEORDER_H

#include <cstdint>
#include <cstring>

namespace softenc {

// The loads read through memcpy and swap when the host order differs, which
// the compilers turn into one load (and a bswap).
inline uint32_t LoadBigEndian32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline uint32_t LoadLittleEndian32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline void StoreBigEndian32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

inline void StoreLittleEndian32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// n from 1 to 31.
inline uint32_t RotateLeft32(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t RotateRight32(uint32_t x, unsigned n) {
    return (x >> n) | (x << (32 - n));
}

} // namespace softenc

#endif
