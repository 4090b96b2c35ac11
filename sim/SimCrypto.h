// The simulated devices' cryptography, built on softenc: ECB with a DES or
// two-key triple-DES key, the secure-messaging MAC check, the authentication
// cryptogram over data of any length and the wrapped key blocks of WRITE KEY
// and key export.
#ifndef ZU_SIMCRYPTO_H
#define ZU_SIMCRYPTO_H

#include <cstddef>
#include <vector>

typedef std::vector<unsigned char> SimBytes;

// Whether a[0..n) equals b[0..n), in a time that depends on n alone.
bool SimEqual(const unsigned char* a, const unsigned char* b, size_t n);

// Whether a secret of secretLength bytes (at most room) equals the given
// bytes, in a time that depends on room alone: neither where the first
// wrong byte lies nor the secret's length shows. False for given bytes
// longer than room.
bool SimSecretMatches(const unsigned char* secret, size_t secretLength, const unsigned char* given,
                      size_t givenLength, size_t room);

// ECB over whole blocks with an 8-byte (DES) or 16-byte (two-key triple
// DES) key; `length` is a multiple of 8.
void SimEncrypt(const SimBytes& key, const unsigned char* input, unsigned char* output,
                size_t length);
void SimDecrypt(const SimBytes& key, const unsigned char* input, unsigned char* output,
                size_t length);

// Whether `mac` (4 bytes) is the secure-messaging MAC of message[0..length)
// under the key (16 bytes: MAC algorithm 3; 8: algorithm 1) with the
// initial value challenge[0..4) 00 00 00 00.
bool SimMacMatches(const SimBytes& key, const unsigned char* challenge,
                   const unsigned char* message, size_t length, const unsigned char* mac);

// The last block of the CBC encryption (zero initial value) of the data
// zero-filled to a multiple of 8 bytes (one zero block for no data).
void SimAuthCryptogram(const SimBytes& key, const unsigned char* data, size_t length,
                       unsigned char out[8]);

// The plain content of a wrapped key block: decrypts it with two-key triple
// DES and checks the leading length byte and the 80 00 ... padding. False
// for a block that is not so formed.
bool SimUnwrapKeyBlock(const unsigned char* key, const unsigned char* block, size_t length,
                       SimBytes* content);
// Wraps content (at most 254 bytes) the other way round.
SimBytes SimWrapKeyBlock(const unsigned char* key, const SimBytes& content);

#endif
