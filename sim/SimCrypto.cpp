// softenc put to the simulated devices' uses.
#include "sim/SimCrypto.h"
#include "softenc.h"

#include <cstring>

namespace {
const size_t BLOCK = 8;

void Transform(const SimBytes& key, const unsigned char* input, unsigned char* output,
               size_t length, bool encrypt) {
    if (key.size() == 8) {
        if (encrypt) {
            CDESEncryptor(key.data()).ProcessBlocks(input, output, length);
        } else {
            CDESDecryptor(key.data()).ProcessBlocks(input, output, length);
        }
    } else if (key.size() == 16) {
        if (encrypt) {
            CTDES2Encryptor(key.data()).ProcessBlocks(input, output, length);
        } else {
            CTDES2Decryptor(key.data()).ProcessBlocks(input, output, length);
        }
    }
}
} // namespace

void SimEncrypt(const SimBytes& key, const unsigned char* input, unsigned char* output,
                size_t length) {
    Transform(key, input, output, length, true);
}

void SimDecrypt(const SimBytes& key, const unsigned char* input, unsigned char* output,
                size_t length) {
    Transform(key, input, output, length, false);
}

bool SimEqual(const unsigned char* a, const unsigned char* b, size_t n) {
    unsigned char difference = 0;
    for (size_t i = 0; i < n; ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    // Through a volatile so that the loop is not cut short at the first
    // difference.
    volatile unsigned char result = difference;
    return result == 0;
}

bool SimSecretMatches(const unsigned char* secret, size_t secretLength, const unsigned char* given,
                      size_t givenLength, size_t room) {
    if (givenLength > room || secretLength > room) {
        return false;
    }
    // Both zero-filled to room bytes, and the lengths compared as well.
    unsigned char difference = static_cast<unsigned char>(secretLength != givenLength);
    for (size_t i = 0; i < room; ++i) {
        const unsigned char s = i < secretLength ? secret[i] : 0;
        const unsigned char g = i < givenLength ? given[i] : 0;
        difference |= static_cast<unsigned char>(s ^ g);
    }
    volatile unsigned char result = difference;
    return result == 0;
}

bool SimMacMatches(const SimBytes& key, const unsigned char* challenge,
                   const unsigned char* message, size_t length, const unsigned char* mac) {
    unsigned char iv[BLOCK] = {0};
    std::memcpy(iv, challenge, 4);
    unsigned char expected[4];
    CDESMac engine;
    engine.Init(key.data(), key.size(), iv);
    engine.Update(message, length);
    engine.Final(expected);
    return SimEqual(expected, mac, sizeof expected);
}

void SimAuthCryptogram(const SimBytes& key, const unsigned char* data, size_t length,
                       unsigned char out[8]) {
    unsigned char chain[BLOCK] = {0};
    size_t done = 0;
    do {
        for (size_t i = 0; i < BLOCK; ++i) {
            unsigned char byte = done + i < length ? data[done + i] : 0;
            chain[i] = static_cast<unsigned char>(chain[i] ^ byte);
        }
        SimEncrypt(key, chain, chain, BLOCK);
        done += BLOCK;
    } while (done < length);
    std::memcpy(out, chain, BLOCK);
}

bool SimUnwrapKeyBlock(const unsigned char* key, const unsigned char* block, size_t length,
                       SimBytes* content) {
    if (length == 0 || length % BLOCK != 0) {
        return false;
    }
    SimBytes plain(length);
    CTDES2Decryptor(key).ProcessBlocks(block, plain.data(), length);
    size_t contentLength = plain[0];
    // The length byte, the content, then 80 and 00 up to the block length:
    // at least the 80, never a whole padding block beyond it.
    size_t padded = (contentLength + 1) / BLOCK * BLOCK + BLOCK;
    if (padded != length || plain[contentLength + 1] != 0x80) {
        return false;
    }
    for (size_t i = contentLength + 2; i < length; ++i) {
        if (plain[i] != 0) {
            return false;
        }
    }
    content->assign(plain.begin() + 1, plain.begin() + 1 + static_cast<long>(contentLength));
    return true;
}

SimBytes SimWrapKeyBlock(const unsigned char* key, const SimBytes& content) {
    // The length byte, the content, 80, then 00 up to a multiple of 8.
    const size_t padded = (content.size() + 1) / BLOCK * BLOCK + BLOCK;
    SimBytes plain(padded, 0x00);
    plain[0] = static_cast<unsigned char>(content.size());
    if (!content.empty()) {
        std::memcpy(plain.data() + 1, content.data(), content.size());
    }
    plain[content.size() + 1] = 0x80;
    SimBytes wrapped(padded);
    CTDES2Encryptor(key).ProcessBlocks(plain.data(), wrapped.data(), padded);
    return wrapped;
}
