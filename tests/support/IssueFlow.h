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
        if (UpdateBinaryWithSoftwareMac(&card, U(zuic::democard::kSmKey), U(&data[at]), 200, at) !=
            1) {
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

// The personalisation: erase, then every file created and ended, MF last.
inline std::string Personalise(CZUICAPI& card) {
    using namespace zuic::democard;
    unsigned char serial[8] = {0x20, 0x24, 0, 0, 0, 0, 0x12, 0x34};
    Bytes pin{0x00, ZUSIM_KEY_PIN, 3, '1', '2', '3', '4'};
    Bytes sm = ZUSimTdes2KeyRecord(kSmKeyNo, kSmKey);
    Bytes loaded = ZUSimTdes2KeyRecord(kLoadedKeyNo, kLoadedKey);
    if (card.EraseMF() != 1)
        return "erase";
    if (card.CreateMF(ZUSIM_AC_FREE, 0x02, serial) != 1)
        return "create MF";
    if (card.CreateEF(U(kKeyFile), ZUSIM_EF_KEYS, 0x00, 8, ZUSIM_AC_NEVER, ZUSIM_AC_PIN | 0) != 1)
        return "create key file";
    if (card.WriteKey(0x00, pin.data(), pin.size()) != 1)
        return "write PIN";
    if (card.WriteKey(0x00, sm.data(), sm.size()) != 1)
        return "write key 02";
    CZUSAMIC asLoader(&card);
    if (WriteSAMKeyWithSoftwareCalc(&asLoader, U(ZUSIM_KEY_LOADING_KEY), loaded.data(),
                                    loaded.size()) != 1)
        return "load key 03 encrypted and MACed in software";
    if (card.CreateEnd(U(kKeyFile)) != 1)
        return "end key file";
    if (card.CreateADF(U(kApp), ZUSIM_AC_FREE, 0x00, U(kAppName), kAppNameLength) != 1)
        return "create ADF";
    if (card.CreateEF(U(kBinary), (1 << 3) | ZUSIM_EF_BINARY, 0x04, 0x00, ZUSIM_AC_PIN | 0,
                      ZUSIM_AC_SM | kSmKeyNo) != 1)
        return "create binary file";
    if (card.CreateEnd(U(kBinary)) != 1 || card.CreateEnd(U(kApp)) != 1)
        return "end application";
    if (card.SelectDF(U(MF), nullptr, nullptr) != 1 || card.CreateEnd(U(MF)) != 1)
        return "end MF";
    return "";
}

// Select, verify, the write under secure messaging and the read back.
inline std::string Use(CZUICAPI& card, unsigned seed) {
    Bytes data = Pattern(WRITTEN, seed), back(WRITTEN, 0xEE);
    if (SelectBinary(card) != 1)
        return "select";
    if (VerifyPin(card) != 1)
        return "verify";
    if (WriteSecurely(card, data) != 1)
        return "write 600 bytes with MACs computed in software";
    if (card.ReadBinaryFile(back.data(), WRITTEN, 0) != 1)
        return "read back";
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

} // namespace issueflow

#endif
