// How CMD5 and CSHA1 own their state block: one block on the heap, taken
// with malloc and set to the start of a message; wiped before it is freed,
// since message bytes may wait in it; replaced whole by SetState. A block
// that cannot be allocated leaves the object without one, and the object's
// Update and Final then do nothing until SetState supplies one. Internal;
// not installed.
#ifndef SOFTENC_HASHSTATE_H
#define SOFTENC_HASHSTATE_H

#include "SecureWipe.h"

#include <cstdlib>
#include <cstring>

namespace softenc {

// A new block set up by init, or null when it cannot be allocated.
template <class State> State* NewHashState(void (*init)(State*)) {
    State* state = static_cast<State*>(std::malloc(sizeof(State)));
    if (state != nullptr) {
        init(state);
    }
    return state;
}

template <class State> void DeleteHashState(State* state) {
    SecureWipe(state, sizeof(State));
    std::free(state);
}

// Copies a whole block into *state, allocating one first if the object has
// none. Nothing happens for null, for the object's own block, or when no
// block can be allocated.
template <class State> void CopyHashState(State*& state, const void* block) {
    if (block == nullptr || block == state) {
        return;
    }
    if (state == nullptr) {
        state = static_cast<State*>(std::malloc(sizeof(State)));
        if (state == nullptr) {
            return;
        }
    }
    std::memcpy(state, block, sizeof(State));
}

} // namespace softenc

#endif
