// softenc: ZUICAPI's own software cryptography.
//
// Single and triple DES, the DES MAC of the cards' secure messaging, key
// diversification and session MACs, and the library's further facilities:
// MD5 and SHA-1, PKCS #1 v1.5 block formatting, a clock-seeded random source
// (not a cryptographic one), converters, a growable byte string and CBC
// filters. Depends on nothing but the standard library.
#ifndef SOFTENC_H
#define SOFTENC_H

#include <cstddef>
#include <cstdint>

// ---- Block ciphers, MAC engine, key derivation and session MACs ----

// ---- Hashes, PKCS #1 padding, random source, converters, byte buffer, CBC filters ----

#endif
