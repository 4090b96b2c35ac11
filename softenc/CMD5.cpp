// CMD5: MD5 as in RFC 1321 over a state block the object owns on the heap
// (HashState.h).
// The block transform is unrolled into its 64 steps and reads the message
// words straight from the input.
#include "ByteOrder.h"
#include "HashState.h"
#include "softenc.h"

#include <cstring>

namespace {

using softenc::LoadLittleEndian32;
using softenc::RotateLeft32;
using softenc::StoreLittleEndian32;

// The four auxiliary functions. Each step adds the message word and the
// constant first and the function of b last, so that only the function and
// the rotation wait for the previous step's result. G is written as a sum
// of disjoint terms for the same reason: c & ~d does not need b.
#define MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))

#define MD5_STEP(f, a, b, c, d, x, t, s)                                                           \
    a += (x) + (t);                                                                                \
    a += f(b, c, d);                                                                               \
    a = RotateLeft32(a, s) + (b);

#define MD5_STEP_G(a, b, c, d, x, t, s)                                                            \
    a += (x) + (t) + ((c) & ~(d));                                                                 \
    a += (b) & (d);                                                                                \
    a = RotateLeft32(a, s) + (b);

void MD5Compress(uint32_t chain[4], const unsigned char* data, size_t blocks) {
    uint32_t a = chain[0], b = chain[1], c = chain[2], d = chain[3];
    for (; blocks != 0; --blocks, data += 64) {
        uint32_t x[16];
        for (size_t i = 0; i < 16; ++i) {
            x[i] = LoadLittleEndian32(data + 4 * i);
        }
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        MD5_STEP(MD5_F, a, b, c, d, x[0], 0xD76AA478u, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[1], 0xE8C7B756u, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070DBu, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[3], 0xC1BDCEEEu, 22)
        MD5_STEP(MD5_F, a, b, c, d, x[4], 0xF57C0FAFu, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787C62Au, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[6], 0xA8304613u, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[7], 0xFD469501u, 22)
        MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098D8u, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8B44F7AFu, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[10], 0xFFFF5BB1u, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895CD7BEu, 22)
        MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6B901122u, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[13], 0xFD987193u, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[14], 0xA679438Eu, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49B40821u, 22)

        MD5_STEP_G(a, b, c, d, x[1], 0xF61E2562u, 5)
        MD5_STEP_G(d, a, b, c, x[6], 0xC040B340u, 9)
        MD5_STEP_G(c, d, a, b, x[11], 0x265E5A51u, 14)
        MD5_STEP_G(b, c, d, a, x[0], 0xE9B6C7AAu, 20)
        MD5_STEP_G(a, b, c, d, x[5], 0xD62F105Du, 5)
        MD5_STEP_G(d, a, b, c, x[10], 0x02441453u, 9)
        MD5_STEP_G(c, d, a, b, x[15], 0xD8A1E681u, 14)
        MD5_STEP_G(b, c, d, a, x[4], 0xE7D3FBC8u, 20)
        MD5_STEP_G(a, b, c, d, x[9], 0x21E1CDE6u, 5)
        MD5_STEP_G(d, a, b, c, x[14], 0xC33707D6u, 9)
        MD5_STEP_G(c, d, a, b, x[3], 0xF4D50D87u, 14)
        MD5_STEP_G(b, c, d, a, x[8], 0x455A14EDu, 20)
        MD5_STEP_G(a, b, c, d, x[13], 0xA9E3E905u, 5)
        MD5_STEP_G(d, a, b, c, x[2], 0xFCEFA3F8u, 9)
        MD5_STEP_G(c, d, a, b, x[7], 0x676F02D9u, 14)
        MD5_STEP_G(b, c, d, a, x[12], 0x8D2A4C8Au, 20)

        MD5_STEP(MD5_H, a, b, c, d, x[5], 0xFFFA3942u, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771F681u, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6D9D6122u, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[14], 0xFDE5380Cu, 23)
        MD5_STEP(MD5_H, a, b, c, d, x[1], 0xA4BEEA44u, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4BDECFA9u, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[7], 0xF6BB4B60u, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[10], 0xBEBFBC70u, 23)
        MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289B7EC6u, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[0], 0xEAA127FAu, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[3], 0xD4EF3085u, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881D05u, 23)
        MD5_STEP(MD5_H, a, b, c, d, x[9], 0xD9D4D039u, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[12], 0xE6DB99E5u, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1FA27CF8u, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[2], 0xC4AC5665u, 23)

        MD5_STEP(MD5_I, a, b, c, d, x[0], 0xF4292244u, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432AFF97u, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[14], 0xAB9423A7u, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[5], 0xFC93A039u, 21)
        MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655B59C3u, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8F0CCC92u, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[10], 0xFFEFF47Du, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845DD1u, 21)
        MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6FA87E4Fu, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[15], 0xFE2CE6E0u, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[6], 0xA3014314u, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4E0811A1u, 21)
        MD5_STEP(MD5_I, a, b, c, d, x[4], 0xF7537E82u, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[11], 0xBD3AF235u, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2AD7D2BBu, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[9], 0xEB86D391u, 21)

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    chain[0] = a;
    chain[1] = b;
    chain[2] = c;
    chain[3] = d;
}

void MD5Init(MD5State* state) {
    std::memset(state, 0, sizeof *state);
    state->chain[0] = 0x67452301u;
    state->chain[1] = 0xEFCDAB89u;
    state->chain[2] = 0x98BADCFEu;
    state->chain[3] = 0x10325476u;
}

void MD5Update(MD5State* state, const unsigned char* input, unsigned int length) {
    if (length == 0) {
        return;
    }
    unsigned int index = (state->bitCount[0] >> 3) & 63;
    const uint32_t bits = length << 3;
    state->bitCount[0] += bits;
    if (state->bitCount[0] < bits) {
        ++state->bitCount[1];
    }
    state->bitCount[1] += length >> 29;

    const unsigned int room = 64 - index;
    if (length >= room) {
        std::memcpy(state->buffer + index, input, room);
        MD5Compress(state->chain, state->buffer, 1);
        input += room;
        length -= room;
        const unsigned int blocks = length / 64;
        MD5Compress(state->chain, input, blocks);
        input += size_t{64} * blocks;
        length -= 64 * blocks;
        index = 0;
    }
    if (length != 0) {
        std::memcpy(state->buffer + index, input, length);
    }
}

void MD5Final(MD5State* state, unsigned char digest[16]) {
    static const unsigned char padding[64] = {0x80};
    unsigned char bits[8];
    StoreLittleEndian32(bits, state->bitCount[0]);
    StoreLittleEndian32(bits + 4, state->bitCount[1]);
    const unsigned int index = (state->bitCount[0] >> 3) & 63;
    MD5Update(state, padding, index < 56 ? 56 - index : 120 - index);
    MD5Update(state, bits, 8);
    for (size_t i = 0; i < 4; ++i) {
        StoreLittleEndian32(digest + 4 * i, state->chain[i]);
    }
    MD5Init(state); // clears the whole block, message bytes included
}

} // namespace

CMD5::CMD5() : state(softenc::NewHashState(MD5Init)) {}

CMD5::~CMD5() {
    softenc::DeleteHashState(state);
}

void CMD5::Update(const unsigned char* input, unsigned int length) {
    if (state != nullptr) {
        MD5Update(state, input, length);
    }
}

void CMD5::Final(unsigned char* digest) {
    if (state != nullptr) {
        MD5Final(state, digest);
    }
}

void CMD5::SetState(const void* block) {
    softenc::CopyHashState(state, block);
}
