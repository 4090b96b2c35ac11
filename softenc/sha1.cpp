// The SHA-1 core: FIPS 180-1 padding and length encoding over SHA1State,
// and the 80-round block compression, portable and on the x86 SHA
// instructions. The instruction form is compiled for its own target only,
// so the rest of the library keeps to baseline x86-64.
#include "sha1.h"

#include "ByteOrder.h"

#include <atomic>
#include <cassert>
#include <cstring>

#ifdef SOFTENC_SHA1_SHANI
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

using softenc::LoadBigEndian32;
using softenc::RotateLeft32;
using softenc::StoreBigEndian32;

void AddBlocks(SHA1State* state, size_t blocks) {
    uint64_t count = (static_cast<uint64_t>(state->blockCount[1]) << 32) | state->blockCount[0];
    count += blocks;
    state->blockCount[0] = static_cast<uint32_t>(count);
    state->blockCount[1] = static_cast<uint32_t>(count >> 32);
}

std::atomic<SHA1CompressFunction> g_chosenCompress{nullptr};

SHA1CompressFunction BestCompress() {
#ifdef SOFTENC_SHA1_SHANI
    if (SHA1HaveSHANI()) {
        return SHA1CompressSHANI;
    }
#endif
    return SHA1CompressPortable;
}

} // namespace

// The round functions: choose, parity, majority. Majority is written as a
// sum of disjoint terms so that its halves can be computed in parallel.
#define SHA1_CH(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_MAJ(b, c, d) (((b) & (c)) + ((d) & ((b) ^ (c))))

// Word t of the message schedule, kept in a ring of 16 words.
#define SHA1_W(t)                                                                                  \
    ((t) < 16 ? w[(t)&15]                                                                          \
              : (w[(t)&15] = RotateLeft32(                                                         \
                     w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1)))

#define SHA1_ROUND(a, b, c, d, e, f, k, t)                                                         \
    e += RotateLeft32(a, 5) + f(b, c, d) + (k) + SHA1_W(t);                                        \
    b = RotateLeft32(b, 30);

// Five rounds rotate the roles of the five working words back to the start.
#define SHA1_ROUND5(f, k, t)                                                                       \
    SHA1_ROUND(a, b, c, d, e, f, k, (t))                                                           \
    SHA1_ROUND(e, a, b, c, d, f, k, (t) + 1)                                                       \
    SHA1_ROUND(d, e, a, b, c, f, k, (t) + 2)                                                       \
    SHA1_ROUND(c, d, e, a, b, f, k, (t) + 3)                                                       \
    SHA1_ROUND(b, c, d, e, a, f, k, (t) + 4)

void SHA1CompressPortable(uint32_t chain[5], const unsigned char* data, size_t blocks) {
    uint32_t a = chain[0], b = chain[1], c = chain[2], d = chain[3], e = chain[4];
    for (; blocks != 0; --blocks, data += SHA1_DATA_SIZE) {
        uint32_t w[16];
        for (size_t i = 0; i < 16; ++i) {
            w[i] = LoadBigEndian32(data + 4 * i);
        }
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d, e0 = e;
        SHA1_ROUND5(SHA1_CH, 0x5A827999u, 0)
        SHA1_ROUND5(SHA1_CH, 0x5A827999u, 5)
        SHA1_ROUND5(SHA1_CH, 0x5A827999u, 10)
        SHA1_ROUND5(SHA1_CH, 0x5A827999u, 15)
        SHA1_ROUND5(SHA1_PARITY, 0x6ED9EBA1u, 20)
        SHA1_ROUND5(SHA1_PARITY, 0x6ED9EBA1u, 25)
        SHA1_ROUND5(SHA1_PARITY, 0x6ED9EBA1u, 30)
        SHA1_ROUND5(SHA1_PARITY, 0x6ED9EBA1u, 35)
        SHA1_ROUND5(SHA1_MAJ, 0x8F1BBCDCu, 40)
        SHA1_ROUND5(SHA1_MAJ, 0x8F1BBCDCu, 45)
        SHA1_ROUND5(SHA1_MAJ, 0x8F1BBCDCu, 50)
        SHA1_ROUND5(SHA1_MAJ, 0x8F1BBCDCu, 55)
        SHA1_ROUND5(SHA1_PARITY, 0xCA62C1D6u, 60)
        SHA1_ROUND5(SHA1_PARITY, 0xCA62C1D6u, 65)
        SHA1_ROUND5(SHA1_PARITY, 0xCA62C1D6u, 70)
        SHA1_ROUND5(SHA1_PARITY, 0xCA62C1D6u, 75)
        a += a0;
        b += b0;
        c += c0;
        d += d0;
        e += e0;
    }
    chain[0] = a;
    chain[1] = b;
    chain[2] = c;
    chain[3] = d;
    chain[4] = e;
}

#ifdef SOFTENC_SHA1_SHANI

bool SHA1ShaniFeatures(unsigned int leaf1Ecx, unsigned int leaf7Ebx) {
    const bool ssse3 = (leaf1Ecx & (1u << 9)) != 0;
    const bool sse41 = (leaf1Ecx & (1u << 19)) != 0;
    const bool sha = (leaf7Ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

bool SHA1HaveSHANI() {
    unsigned int eax, ebx, ecx, edx;
    if (__get_cpuid_max(0, nullptr) < 7) {
        return false;
    }
    __cpuid(1, eax, ebx, ecx, edx);
    const unsigned int leaf1Ecx = ecx;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    return SHA1ShaniFeatures(leaf1Ecx, ebx);
}

// The four message registers hold the schedule words of four rounds each,
// the earliest word in the highest lane. ABCD sits in one register with A
// highest; E rides in the highest lane of the register SHA1RNDS4 adds to its
// first four words. SHA1NEXTE derives the E of the next four rounds from
// the A of the four before.

// Message words of the next four rounds from the previous sixteen, in w0.
#define SHA1NI_SCHEDULE(w0, w1, w2, w3)                                                            \
    w0 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(w0, w1), w2), w3)

#define SHA1NI_ROUNDS(eUse, eNext, w, f)                                                           \
    eUse = _mm_sha1nexte_epu32(eUse, w);                                                           \
    eNext = abcd;                                                                                  \
    abcd = _mm_sha1rnds4_epu32(abcd, eUse, f)

__attribute__((target("sha,sse4.1"))) void
SHA1CompressSHANI(uint32_t chain[5], const unsigned char* data, size_t blocks) {
    // Reverses all 16 bytes: big-endian words, the first in the highest lane.
    const __m128i reverse = _mm_set_epi64x(0x0001020304050607LL, 0x08090A0B0C0D0E0FLL);
    __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chain));
    abcd = _mm_shuffle_epi32(abcd, 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(chain[4]), 0, 0, 0);
    __m128i e1;

    for (; blocks != 0; --blocks, data += SHA1_DATA_SIZE) {
        const __m128i abcdSaved = abcd;
        const __m128i eSaved = e0;
        const __m128i* in = reinterpret_cast<const __m128i*>(data);
        __m128i w0 = _mm_shuffle_epi8(_mm_loadu_si128(in), reverse);
        __m128i w1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), reverse);
        __m128i w2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), reverse);
        __m128i w3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), reverse);

        // Rounds 0 to 3 take E straight from the chaining value.
        e0 = _mm_add_epi32(e0, w0);
        e1 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
        SHA1NI_ROUNDS(e1, e0, w1, 0); // 4-7
        SHA1NI_ROUNDS(e0, e1, w2, 0); // 8-11
        SHA1NI_ROUNDS(e1, e0, w3, 0); // 12-15
        SHA1NI_SCHEDULE(w0, w1, w2, w3);
        SHA1NI_ROUNDS(e0, e1, w0, 0); // 16-19
        SHA1NI_SCHEDULE(w1, w2, w3, w0);
        SHA1NI_ROUNDS(e1, e0, w1, 1); // 20-23
        SHA1NI_SCHEDULE(w2, w3, w0, w1);
        SHA1NI_ROUNDS(e0, e1, w2, 1);
        SHA1NI_SCHEDULE(w3, w0, w1, w2);
        SHA1NI_ROUNDS(e1, e0, w3, 1);
        SHA1NI_SCHEDULE(w0, w1, w2, w3);
        SHA1NI_ROUNDS(e0, e1, w0, 1);
        SHA1NI_SCHEDULE(w1, w2, w3, w0);
        SHA1NI_ROUNDS(e1, e0, w1, 1); // 36-39
        SHA1NI_SCHEDULE(w2, w3, w0, w1);
        SHA1NI_ROUNDS(e0, e1, w2, 2); // 40-43
        SHA1NI_SCHEDULE(w3, w0, w1, w2);
        SHA1NI_ROUNDS(e1, e0, w3, 2);
        SHA1NI_SCHEDULE(w0, w1, w2, w3);
        SHA1NI_ROUNDS(e0, e1, w0, 2);
        SHA1NI_SCHEDULE(w1, w2, w3, w0);
        SHA1NI_ROUNDS(e1, e0, w1, 2);
        SHA1NI_SCHEDULE(w2, w3, w0, w1);
        SHA1NI_ROUNDS(e0, e1, w2, 2); // 56-59
        SHA1NI_SCHEDULE(w3, w0, w1, w2);
        SHA1NI_ROUNDS(e1, e0, w3, 3); // 60-63
        SHA1NI_SCHEDULE(w0, w1, w2, w3);
        SHA1NI_ROUNDS(e0, e1, w0, 3);
        SHA1NI_SCHEDULE(w1, w2, w3, w0);
        SHA1NI_ROUNDS(e1, e0, w1, 3);
        SHA1NI_SCHEDULE(w2, w3, w0, w1);
        SHA1NI_ROUNDS(e0, e1, w2, 3);
        SHA1NI_SCHEDULE(w3, w0, w1, w2);
        SHA1NI_ROUNDS(e1, e0, w3, 3); // 76-79

        // e0 holds ABCD as it was before the last four rounds: its A gives E.
        e0 = _mm_sha1nexte_epu32(e0, eSaved);
        abcd = _mm_add_epi32(abcd, abcdSaved);
    }

    abcd = _mm_shuffle_epi32(abcd, 0x1B);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), abcd);
    chain[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

#else

bool SHA1HaveSHANI() {
    return false;
}

#endif

SHA1CompressFunction SHA1CurrentCompress() {
    SHA1CompressFunction chosen = g_chosenCompress.load(std::memory_order_relaxed);
    if (chosen == nullptr) {
        static const SHA1CompressFunction best = BestCompress();
        chosen = best;
    }
    return chosen;
}

void SHA1UseCompress(SHA1CompressFunction compress) {
    g_chosenCompress.store(compress, std::memory_order_relaxed);
}

void SHA1Init(SHA1State* state) {
    std::memset(state, 0, sizeof *state);
    state->chain[0] = 0x67452301u;
    state->chain[1] = 0xEFCDAB89u;
    state->chain[2] = 0x98BADCFEu;
    state->chain[3] = 0x10325476u;
    state->chain[4] = 0xC3D2E1F0u;
}

void SHA1Update(SHA1State* state, const unsigned char* input, size_t length) {
    if (length == 0) {
        return;
    }
    const SHA1CompressFunction compress = SHA1CurrentCompress();
    // A block copied in through SetState could carry any count; keep it
    // inside the buffer.
    size_t waiting = state->waiting % SHA1_DATA_SIZE;
    if (waiting != 0) {
        const size_t room = SHA1_DATA_SIZE - waiting;
        if (length < room) {
            std::memcpy(state->buffer + waiting, input, length);
            state->waiting = static_cast<uint32_t>(waiting + length);
            return;
        }
        std::memcpy(state->buffer + waiting, input, room);
        compress(state->chain, state->buffer, 1);
        AddBlocks(state, 1);
        input += room;
        length -= room;
    }
    const size_t blocks = length / SHA1_DATA_SIZE;
    if (blocks != 0) {
        compress(state->chain, input, blocks);
        AddBlocks(state, blocks);
        input += blocks * SHA1_DATA_SIZE;
        length -= blocks * SHA1_DATA_SIZE;
    }
    if (length != 0) {
        std::memcpy(state->buffer, input, length);
    }
    state->waiting = static_cast<uint32_t>(length);
}

void SHA1Final(SHA1State* state, unsigned char* digest, unsigned int length) {
    const SHA1CompressFunction compress = SHA1CurrentCompress();
    unsigned int i = state->waiting;
    assert(i < SHA1_DATA_SIZE);
    i %= SHA1_DATA_SIZE;
    const uint32_t waiting = i;

    // 0x80, zeros to the last eight bytes of a block (through an extra block
    // when the length no longer fits behind the message), the bit length.
    state->buffer[i++] = 0x80;
    if (i > SHA1_DATA_SIZE - 8) {
        std::memset(state->buffer + i, 0, SHA1_DATA_SIZE - i);
        compress(state->chain, state->buffer, 1);
        i = 0;
    }
    std::memset(state->buffer + i, 0, SHA1_DATA_SIZE - 8 - i);
    const uint32_t high = (state->blockCount[1] << 9) | (state->blockCount[0] >> 23);
    const uint32_t low = (state->blockCount[0] << 9) | (waiting << 3);
    StoreBigEndian32(state->buffer + SHA1_DATA_SIZE - 8, high);
    StoreBigEndian32(state->buffer + SHA1_DATA_SIZE - 4, low);
    compress(state->chain, state->buffer, 1);

    assert(length <= SHA1_DIGEST_SIZE);
    if (length > SHA1_DIGEST_SIZE) {
        length = SHA1_DIGEST_SIZE;
    }
    const unsigned int words = length / 4;
    for (i = 0; i < words; ++i) {
        StoreBigEndian32(digest + size_t{4} * i, state->chain[i]);
    }
    const unsigned int leftover = length % 4;
    if (leftover != 0) {
        assert(i < _SHA1_DIGEST_LENGTH);
        const uint32_t word = state->chain[i];
        for (unsigned int j = 0; j < leftover; ++j) {
            digest[4 * i + j] = static_cast<unsigned char>(word >> (24 - 8 * j));
        }
    }
    SHA1Init(state);
}
