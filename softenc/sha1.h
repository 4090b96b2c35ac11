// The SHA-1 core (FIPS 180-1) behind CSHA1: initialisation, absorption and
// the final block over the 96-byte SHA1State of softenc.h, and the block
// compression with a portable form and, on x86, a form on the SHA
// instructions chosen at run time.
#ifndef SOFTENC_SHA1_H
#define SOFTENC_SHA1_H

#include "softenc.h"

#include <cstddef>
#include <cstdint>

constexpr unsigned int SHA1_DATA_SIZE = 64;   // bytes per block
constexpr unsigned int SHA1_DIGEST_SIZE = 20; // digest bytes
// NOLINTNEXTLINE(bugprone-reserved-identifier): the core's own name for it
constexpr unsigned int _SHA1_DIGEST_LENGTH = 5; // digest words

static_assert(sizeof(SHA1State::buffer) == SHA1_DATA_SIZE, "one block is buffered");
static_assert(sizeof(SHA1State::chain) == sizeof(uint32_t) * _SHA1_DIGEST_LENGTH,
              "five chaining words");

void SHA1Init(SHA1State* state);
void SHA1Update(SHA1State* state, const unsigned char* input, size_t length);
// Pads, writes the first length (at most 20) digest bytes, and initialises
// the state again.
void SHA1Final(SHA1State* state, unsigned char* digest, unsigned int length);

// Compresses blocks whole 64-byte blocks of data into chain.
typedef void (*SHA1CompressFunction)(uint32_t chain[5], const unsigned char* data, size_t blocks);

void SHA1CompressPortable(uint32_t chain[5], const unsigned char* data, size_t blocks);
#if defined(__x86_64__) || defined(__i386__)
#define SOFTENC_SHA1_SHANI 1
// Needs the SHA extensions and SSE4.1: call only when SHA1HaveSHANI().
void SHA1CompressSHANI(uint32_t chain[5], const unsigned char* data, size_t blocks);
// Whether CPUID's leaf 1 ECX and leaf 7 EBX announce SSSE3, SSE4.1 and the
// SHA extensions, all three of which the SHA-instruction form uses.
bool SHA1ShaniFeatures(unsigned int leaf1Ecx, unsigned int leaf7Ebx);
#endif
// True when the CPU has the SHA extensions and SSE4.1.
bool SHA1HaveSHANI();
// The compression SHA1Update and SHA1Final use: the SHA-instruction form
// when the CPU has it, else the portable one. SHA1UseCompress replaces it,
// for tests and measurements; null restores the automatic choice.
SHA1CompressFunction SHA1CurrentCompress();
void SHA1UseCompress(SHA1CompressFunction compress);

#endif
