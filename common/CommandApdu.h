// A command APDU in the short form of ISO/IEC 7816-4: header, then nothing
// (case 1), Le (case 2), Lc and data (case 3) or Lc, data and Le (case 4).
// A 5-byte command's P3 serves both as Le and, for a command that takes
// data, as an empty data field.
#ifndef ZU_COMMANDAPDU_H
#define ZU_COMMANDAPDU_H

#include "common/Bytes.h"

#include <cstddef>

// Shortest and longest short command: a bare header, and header, Lc, 255
// data bytes and Le.
const size_t kShortestApdu = 4;
const size_t kLongestApdu = 261;

struct CommandApdu {
    // The four cases of ISO/IEC 7816-4: no data and no answer; an answer of
    // Le bytes; Lc data bytes; data and an answer.
    enum Case { kCase1 = 1, kCase2, kCase3, kCase4 };

    unsigned char cla = 0, ins = 0, p1 = 0, p2 = 0;
    const unsigned char* data = nullptr;
    size_t lc = 0;      // data bytes
    size_t le = 0;      // bytes asked for: P3 of a 5-byte command (00: 256), or the trailing Le
    bool hasLe = false; // a 5-byte command or a trailing Le byte
    const unsigned char* raw = nullptr;
    size_t length = 0;

    // Reads apdu[0..length); false when it is no short APDU (too short,
    // too long, P3 00 ahead of data, or Lc disagreeing with the length).
    // The fields point into apdu.
    bool Parse(const unsigned char* apdu, size_t length);

    Case GetCase() const { return lc == 0 ? (hasLe ? kCase2 : kCase1) : (hasLe ? kCase4 : kCase3); }
};

// Header, then Lc and the data when there is any: the shape of every command
// the card classes send.
Bytes BuildCommandApdu(unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2,
                       const unsigned char* data, size_t length);

#endif
