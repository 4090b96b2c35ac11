// CRandomGenerator: a linear congruential generator with one state word per
// thread, seeded from the clock. Predictable by design; not for keys.
#include "softenc.h"

#include <ctime>

namespace {

thread_local uint32_t t_state = 0;

// The next draw, 0 to 32767: bits 16 to 30 of the advanced state.
unsigned int Draw() {
    t_state = t_state * 214013u + 2531011u;
    return (t_state >> 16) & 0x7FFFu;
}

} // namespace

void CRandomGenerator::Seed() {
    t_state = static_cast<uint32_t>(std::time(nullptr));
}

void CRandomGenerator::Seed(unsigned int seed) {
    t_state = seed;
}

void CRandomGenerator::GenerateBlock(unsigned char* output, unsigned int size) {
    if (output == nullptr) {
        return;
    }
    for (unsigned int i = 0; i < size; ++i) {
        output[i] = static_cast<unsigned char>(Draw());
    }
}

unsigned int CRandomGenerator::GenerateWord(unsigned short min, unsigned short max) {
    const unsigned int r = Draw();
    // Signed span: with max below min the result still lies between them.
    const double span = static_cast<double>(static_cast<int>(max) - static_cast<int>(min));
    return static_cast<unsigned int>(min + static_cast<int>(span * r / 32767.0));
}

void GenerateRandomBytes(unsigned char* output, unsigned int size) {
    CRandomGenerator rng;
    rng.GenerateBlock(output, size);
}
