// CSHA1: the SHA-1 core of sha1.h behind the CHash interface, over a state
// block the object owns on the heap (HashState.h).
#include "HashState.h"
#include "sha1.h"

CSHA1::CSHA1() : state(softenc::NewHashState(SHA1Init)) {}

CSHA1::~CSHA1() {
    softenc::DeleteHashState(state);
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
    softenc::CopyHashState(state, block);
}
