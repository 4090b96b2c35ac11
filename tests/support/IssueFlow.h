// The issuance flow of `zuic demo --erase`, cut down, for the shared-reader
// tests and benchmarks: erase, MF, key file (PIN, secure-messaging key, a key
// loaded under secure messaging), an application with a binary file written
// only under secure messaging, then PIN, 600 bytes with software MACs and the
// read back.
#ifndef ZU_TEST_ISSUEFLOW_H
#define ZU_TEST_ISSUEFLOW_H

#include "ZUICAPI.h"
#include "sim/ZUSim.h"
#include "ZUICSIM.h"

#include <optional>
#include <string>
#include <vector>

namespace issueflow {

inline constexpr unsigned char MF[2] = {0x3F, 0x00};
inline constexpr unsigned char KEYS[2] = {0x00, 0x01};
inline constexpr unsigned char APP[2] = {0xDF, 0x01};
inline constexpr unsigned char BIN[2] = {0x01, 0x01};
inline constexpr unsigned char APP_NAME[] = "ZUSIM.APP1";
inline constexpr unsigned char SM_KEY[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                                             0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7};
inline constexpr unsigned char LOADED_KEY[16] = {0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78,
                                                 0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0};
inline constexpr size_t WRITTEN = 600;

inline unsigned char* U(const unsigned char* p) {
    return const_cast<unsigned char*>(p);
}

inline std::vector<unsigned char> Pattern(size_t length, unsigned seed) {
    std::vector<unsigned char> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 7 + seed) & 0xFF);
    }
    return bytes;
}

inline int VerifyPin(CZUICAPI& card) {
    unsigned char pin[4] = {'1', '2', '3', '4'};
    int tries = 0;
    return card.VerifyPin(pin, 4, tries);
}

inline int SelectBinary(CZUICAPI& card) {
    return card.SelectDF(U(APP_NAME), 10, nullptr, nullptr) == 1 &&
                   card.SelectEF(U(BIN), nullptr, nullptr) == 1
               ? 1
               : 0;
}

inline int WriteSecurely(CZUICAPI& card, const std::vector<unsigned char>& data) {
    for (size_t at = 0; at < data.size(); at += 200) {
        if (UpdateBinaryWithSoftwareMac(&card, U(SM_KEY), const_cast<unsigned char*>(&data[at]),
                                        200, at) != 1) {
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
    if (card.EraseMF() != 1)
        return "erase";
    unsigned char serial[8] = {0x20, 0x24, 0, 0, 0, 0, 0x12, 0x34};
    if (card.CreateMF(ZUSIM_AC_FREE, 0x02, serial) != 1)
        return "create MF";
    if (card.CreateEF(U(KEYS), ZUSIM_EF_KEYS, 0x00, 8, ZUSIM_AC_NEVER, ZUSIM_AC_PIN | 0) != 1)
        return "create key file";
    std::vector<unsigned char> pin{0x00, ZUSIM_KEY_PIN, 3, '1', '2', '3', '4'};
    if (card.WriteKey(0x00, pin.data(), pin.size()) != 1)
        return "write PIN";
    std::vector<unsigned char> sm = ZUSimTdes2KeyRecord(0x02, SM_KEY);
    if (card.WriteKey(0x00, sm.data(), sm.size()) != 1)
        return "write key 02";
    CZUSAMIC asLoader(&card);
    std::vector<unsigned char> loaded = ZUSimTdes2KeyRecord(0x03, LOADED_KEY);
    if (WriteSAMKeyWithSoftwareCalc(&asLoader, U(ZUSIM_KEY_LOADING_KEY), loaded.data(),
                                    loaded.size()) != 1)
        return "load key 03 encrypted and MACed in software";
    if (card.CreateEnd(U(KEYS)) != 1)
        return "end key file";
    if (card.CreateADF(U(APP), ZUSIM_AC_FREE, 0x00, U(APP_NAME), 10) != 1)
        return "create ADF";
    if (card.CreateEF(U(BIN), (1 << 3) | ZUSIM_EF_BINARY, 0x04, 0x00, ZUSIM_AC_PIN | 0,
                      ZUSIM_AC_SM | 0x02) != 1)
        return "create binary file";
    if (card.CreateEnd(U(BIN)) != 1 || card.CreateEnd(U(APP)) != 1)
        return "end application";
    if (card.SelectDF(U(MF), nullptr, nullptr) != 1 || card.CreateEnd(U(MF)) != 1)
        return "end MF";
    return "";
}

// Select, verify, the write under secure messaging and the read back.
inline std::string Use(CZUICAPI& card, unsigned seed) {
    if (SelectBinary(card) != 1)
        return "select";
    if (VerifyPin(card) != 1)
        return "verify";
    std::vector<unsigned char> data = Pattern(WRITTEN, seed);
    if (WriteSecurely(card, data) != 1)
        return "write 600 bytes with MACs computed in software";
    std::vector<unsigned char> back(WRITTEN, 0xEE);
    if (card.ReadBinaryFile(back.data(), WRITTEN, 0) != 1)
        return "read back";
    if (back != data)
        return "read back other bytes";
    return "";
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
