// Every fuzz target's seed corpus, played through the target's own checks in
// the normal suite: the corpora keep the inputs that once showed a defect
// (the ATR length a transport over-reports, for one), and the checks hold
// for every operation whichever build runs them.
#include "common/Bytes.h"
#include "ZUICAPI.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

// Each target's entry point, renamed after it by the build.
// clang-format off
#define FUZZ_TARGETS(X)                                                                            \
    X(fuzz_atr) X(fuzz_bcd) X(fuzz_card_ops) X(fuzz_cbc) X(fuzz_desmac) X(fuzz_hash) X(fuzz_hex)   \
    X(fuzz_ip) X(fuzz_pkcs1) X(fuzz_reader) X(fuzz_sim)
// clang-format on
#define DECLARE(name) extern "C" int name(const uint8_t* data, size_t size);
FUZZ_TARGETS(DECLARE)

TEST(FuzzCorpus, EveryTargetKeepsItsPromisesOnEverySeed) {
    const struct {
        const char* name;
        int (*target)(const uint8_t*, size_t);
    } targets[] = {
#define ENTRY(name) {#name, name},
        FUZZ_TARGETS(ENTRY)};
    for (const auto& t : targets) {
        size_t seeds = 0;
        for (const auto& entry :
             std::filesystem::directory_iterator(std::string(ZUIC_CORPUS_DIR) + "/" + t.name)) {
            SCOPED_TRACE(entry.path().string());
            std::ifstream file(entry.path(), std::ios::binary);
            const Bytes seed((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
            EXPECT_EQ(0, t.target(seed.data(), seed.size()));
            ++seeds;
        }
        EXPECT_GE(seeds, 8u) << t.name << ": a corpus too small to stand for its target";
    }
}
