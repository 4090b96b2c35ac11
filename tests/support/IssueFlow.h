// The issuance flow of `zuic demo --erase`, cut down, for the end-to-end
// tests and benchmarks: erase, MF, key file (PIN, secure-messaging key, a key
// loaded under secure messaging), an application with a binary file written
// only under secure messaging, then PIN, 600 bytes with software MACs and the
// read back.
#ifndef ZU_TEST_ISSUEFLOW_H
#define ZU_TEST_ISSUEFLOW_H

#include "ZUICAPI.h"
#include "ZUICSIM.h"
#include "tools/DemoCard.h"

#include <optional>
#include <string>

namespace issueflow {

using zuic::democard::Pattern;
inline constexpr unsigned char MF[2] = {0x3F, 0x00};
inline constexpr size_t WRITTEN = zuic::democard::kWritten;

inline unsigned char* U(const unsigned char* p) {
    return const_cast<unsigned char*>(p);
}

inline int VerifyPin(CZUICAPI& card) {
    unsigned char pin[4] = {'1', '2', '3', '4'};
    int tries = 0;
    return card.VerifyPin(pin, 4, tries);
}

inline int SelectBinary(CZUICAPI& card) {
    using namespace zuic::democard;
    return card.SelectDF(U(kAppName), kAppNameLength, nullptr, nullptr) == 1 &&
           card.SelectEF(U(kBinary), nullptr, nullptr) == 1;
}

// Writes data in pieces of 200 bytes, each with a MAC computed in software.
inline int WriteSecurely(CZUICAPI& card, const Bytes& data) {
    for (size_t at = 0; at < data.size(); at += 200) {
        if (UpdateBinaryWithSoftwareMac(&card, zuic::democard::kSmKey, &data[at], 200, at) != 1) {
            return 0;
        }
    }
    return 1;
}

// How the flow keeps other programs on the reader out of its sequences.
enum class Holds {
    // Only the holds the card operations take themselves: enough against
    // other programs' commands that leave the card's state alone (GET
    // CHALLENGE), not against one that selects another file in between.
    OperationsOnly,
    // As an issuing application does: the personalisation held as one
    // sequence and the select-verify-write-read as another.
    Sequences,
};

// A step of the flow: the name of the step that failed, if it did.
#define ZU_ISSUE_STEP(call, step)                                                                  \
    if ((call) != 1)                                                                               \
    return step

// The personalisation: erase, then every file created and ended, MF last.
inline std::string Personalise(CZUICAPI& card) {
    using namespace zuic::democard;
    unsigned char serial[8] = {0x20, 0x24, 0, 0, 0, 0, 0x12, 0x34};
    Bytes pin{0x00, ZUSIM_KEY_PIN, 3, '1', '2', '3', '4'};
    Bytes sm = ZUSimTdes2KeyRecord(kSmKeyNo, kSmKey);
    Bytes loaded = ZUSimTdes2KeyRecord(kLoadedKeyNo, kLoadedKey);
    CZUSAMIC asLoader(&card);
    ZU_ISSUE_STEP(card.EraseMF(), "erase");
    ZU_ISSUE_STEP(card.CreateMF(ZUSIM_AC_FREE, 0x02, serial), "create MF");
    ZU_ISSUE_STEP(card.CreateEF(U(kKeyFile), ZUSIM_EF_KEYS, 0, 8, ZUSIM_AC_NEVER, ZUSIM_AC_PIN | 0),
                  "create key file");
    ZU_ISSUE_STEP(card.WriteKey(0x00, pin.data(), pin.size()), "write PIN");
    ZU_ISSUE_STEP(card.WriteKey(0x00, sm.data(), sm.size()), "write key 02");
    ZU_ISSUE_STEP(
        WriteSAMKeyWithSoftwareCalc(&asLoader, ZUSIM_KEY_LOADING_KEY, loaded.data(), loaded.size()),
        "load key 03 encrypted and MACed in software");
    ZU_ISSUE_STEP(card.CreateEnd(U(kKeyFile)), "end key file");
    ZU_ISSUE_STEP(card.CreateADF(U(kApp), ZUSIM_AC_FREE, 0, U(kAppName), kAppNameLength),
                  "create ADF");
    ZU_ISSUE_STEP(card.CreateEF(U(kBinary), (1 << 3) | ZUSIM_EF_BINARY, 0x04, 0x00,
                                ZUSIM_AC_PIN | 0, ZUSIM_AC_SM | kSmKeyNo),
                  "create binary file");
    ZU_ISSUE_STEP(card.CreateEnd(U(kBinary)) == 1 && card.CreateEnd(U(kApp)), "end application");
    ZU_ISSUE_STEP(card.SelectDF(U(MF), nullptr, nullptr) == 1 && card.CreateEnd(U(MF)), "end MF");
    return "";
}

// Select, verify, the write under secure messaging and the read back.
inline std::string Use(CZUICAPI& card, unsigned seed) {
    Bytes data = Pattern(WRITTEN, seed), back(WRITTEN, 0xEE);
    ZU_ISSUE_STEP(SelectBinary(card), "select");
    ZU_ISSUE_STEP(VerifyPin(card), "verify");
    ZU_ISSUE_STEP(WriteSecurely(card, data), "write 600 bytes with MACs computed in software");
    ZU_ISSUE_STEP(card.ReadBinaryFile(back.data(), WRITTEN, 0), "read back");
    return back == data ? "" : "read back other bytes";
}

// The whole flow on `card`. Returns the step that failed, or "" when every
// step passed.
inline std::string Issue(CZUICAPI& card, unsigned seed, Holds holds = Holds::Sequences) {
    for (int phase = 0; phase < 2; ++phase) {
        std::optional<CZUTransaction> hold;
        if (holds == Holds::Sequences) {
            hold.emplace(card);
            if (!hold->Held()) {
                return "hold the card";
            }
        }
        std::string failed = phase == 0 ? Personalise(card) : Use(card, seed);
        if (!failed.empty()) {
            return failed;
        }
    }
    return "";
}

#undef ZU_ISSUE_STEP

} // namespace issueflow

#endif
