// CRandomGenerator: the linear congruential sequence from known seeds, the
// range of GenerateWord, per-thread state and reseeding from the clock.
#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

#include <ctime>
#include <thread>

namespace {

// The generator written out independently: state * 214013 + 2531011,
// bits 16 to 30 of the new state.
struct Model {
    uint32_t state;
    unsigned int Next() {
        state = state * 214013u + 2531011u;
        return (state >> 16) & 0x7FFF;
    }
};

} // namespace

TEST(Random, KnownSequenceFromSeedZero) {
    CRandomGenerator rng;
    rng.Seed(0);
    EXPECT_EQ(38u, rng.GenerateWord(0, 32767));
    EXPECT_EQ(7719u, rng.GenerateWord(0, 32767));
    EXPECT_EQ(21238u, rng.GenerateWord(0, 32767));

    rng.Seed(0);
    unsigned char bytes[3];
    rng.GenerateBlock(bytes, 3);
    EXPECT_EQ("26 27 F6", ToHex(bytes, 3));
}

TEST(Random, GenerateWordScalesEachDraw) {
    const struct {
        unsigned short min, max;
    } ranges[] = {{0, 32767}, {1, 255}, {0, 0}, {7, 7}, {0, 1}, {100, 65535}, {0, 65535}};
    CRandomGenerator rng;
    for (const auto& r : ranges) {
        rng.Seed(12345);
        Model model{12345};
        for (int i = 0; i < 5000; ++i) {
            const unsigned int draw = model.Next();
            const unsigned int expected =
                r.min +
                static_cast<unsigned int>((r.max - r.min) * static_cast<double>(draw) / 32767.0);
            const unsigned int got = rng.GenerateWord(r.min, r.max);
            ASSERT_EQ(expected, got) << r.min << ".." << r.max << " draw " << i;
            ASSERT_GE(got, r.min);
            ASSERT_LE(got, r.max);
        }
    }
}

TEST(Random, GenerateWordOneTo255NeverLeavesItsRange) {
    CRandomGenerator rng;
    rng.Seed(99);
    bool sawMin = false, sawMax = false;
    for (int i = 0; i < 1000000; ++i) {
        const unsigned int w = rng.GenerateWord(1, 255);
        ASSERT_GE(w, 1u);
        ASSERT_LE(w, 255u);
        sawMin |= w == 1;
        sawMax |= w == 255;
    }
    EXPECT_TRUE(sawMin);
    EXPECT_TRUE(sawMax);
}

TEST(Random, BlockBytesAreTheLowBytesOfTheDraws) {
    CRandomGenerator rng;
    rng.Seed(0xDEADBEEF);
    Model model{0xDEADBEEF};
    unsigned char bytes[1000];
    rng.GenerateBlock(bytes, sizeof bytes);
    for (unsigned char b : bytes) {
        ASSERT_EQ(static_cast<unsigned char>(model.Next()), b);
    }
    // Null output or size 0 writes nothing and draws nothing.
    rng.GenerateBlock(nullptr, 10);
    unsigned char untouched = 0xAA;
    rng.GenerateBlock(&untouched, 0);
    EXPECT_EQ(0xAA, untouched);
    EXPECT_EQ(model.Next(), rng.GenerateWord(0, 32767));
}

TEST(Random, StateIsPerThreadAndSharedByObjectsOnAThread) {
    CRandomGenerator a;
    a.Seed(0);
    unsigned int inThread[3] = {};
    std::thread other([&] {
        CRandomGenerator b;
        b.Seed(777);
        for (auto& v : inThread) {
            v = b.GenerateWord(0, 32767);
        }
    });
    other.join();
    Model model{777};
    for (unsigned int v : inThread) {
        EXPECT_EQ(model.Next(), v);
    }
    // The other thread's draws did not move this thread's state; a second
    // object without reseeding continues the same sequence.
    EXPECT_EQ(38u, a.GenerateWord(0, 32767));
    CRandomGenerator* shared = &a;
    EXPECT_EQ(7719u, shared->GenerateWord(0, 32767));
}

// Construction and GenerateRandomBytes reseed from the clock in whole
// seconds. Retried when the second changes during a round.
TEST(Random, ClockSeeding) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::time_t before = std::time(nullptr);
        unsigned char first[16], second[16], fresh[16];
        GenerateRandomBytes(first, sizeof first);
        GenerateRandomBytes(second, sizeof second);
        CRandomGenerator rng; // reseeds: the same bytes again
        rng.GenerateBlock(fresh, sizeof fresh);
        Model model{static_cast<uint32_t>(before)};
        unsigned char expected[16];
        for (auto& b : expected) {
            b = static_cast<unsigned char>(model.Next());
        }
        if (std::time(nullptr) != before) {
            continue;
        }
        EXPECT_EQ(ToHex(first, 16), ToHex(second, 16));
        EXPECT_EQ(ToHex(first, 16), ToHex(fresh, 16));
        EXPECT_EQ(ToHex(expected, 16), ToHex(first, 16));
        return;
    }
    FAIL() << "the clock second changed in every attempt";
}
