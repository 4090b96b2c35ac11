// CSHA1: the SHA-1 core of sha1.h behind the CHash interface, over a state
// block the object owns on the heap.
#include "SecureWipe.h"
#include "sha1.h"

#include <cstdlib>
#include <cstring>

CSHA1::CSHA1() : state(static_cast<SHA1State*>(std::malloc(sizeof(SHA1State)))) {
    if (state != nullptr) {
        SHA1Init(state);
    }
}

CSHA1::~CSHA1() {
    SecureWipe(state, sizeof(SHA1State)); // message bytes may wait in it
    std::free(state);
}

void CSHA1::Update(const unsigned char* input, unsigned int length) {
    if (state != nullptr) {
        SHA1Update(state, input, length);
    }
}

void CSHA1::Final(unsigned char* digest) {
    if (state != nullptr) {
        SHA1Final(state, digest, SHA1_DIGEST_SIZE);
    }
}

void CSHA1::SetState(const void* block) {
    if (block == nullptr || block == state) {
        return;
    }
    if (state == nullptr) {
        state = static_cast<SHA1State*>(std::malloc(sizeof(SHA1State)));
        if (state == nullptr) {
            return;
        }
    }
    std::memcpy(state, block, sizeof(SHA1State));
}
