// A command APDU as the simulated card reads it, in the short form of
// ISO/IEC 7816-4: header, then nothing (case 1), Le (case 2), Lc and data
// (case 3) or Lc, data and Le (case 4). A 5-byte command's P3 serves both as
// Le and, for a command that takes data, as an empty data field.
#ifndef ZU_CZUSIMAPDU_H
#define ZU_CZUSIMAPDU_H

#include <cstddef>
#include <string>
#include <vector>

typedef std::vector<unsigned char> CZUSimAnswer; // data then SW1 SW2

struct CZUSimApdu {
    unsigned char cla = 0, ins = 0, p1 = 0, p2 = 0;
    const unsigned char* data = nullptr;
    size_t lc = 0;      // data bytes
    size_t le = 0;      // bytes asked for: P3 of a 5-byte command (00: 256), or the trailing Le
    bool hasLe = false; // a 5-byte command or a trailing Le byte
    const unsigned char* raw = nullptr;
    size_t length = 0;

    // Reads apdu[0..length); false when it is no short APDU (too short,
    // too long, or Lc disagreeing with the length).
    bool Parse(const unsigned char* apdu, size_t length);
};

// The answer: a status word alone, or data followed by it.
CZUSimAnswer SimStatus(unsigned short sw);
CZUSimAnswer SimData(const unsigned char* data, size_t length, unsigned short sw);
inline CZUSimAnswer SimData(const std::vector<unsigned char>& data, unsigned short sw) {
    return SimData(data.data(), data.size(), sw);
}
// The answer's status word (0 for an answer of fewer than 2 bytes).
unsigned short SimAnswerSW(const CZUSimAnswer& answer);

// An answer to reset with the given historical bytes (at most 15): offering
// T=1, or T=0 alone.
std::vector<unsigned char> SimAnswerToReset(const std::string& historical, bool t0);
// The historical bytes of an answer to reset (empty if it is malformed).
std::string SimHistoricalBytes(const std::vector<unsigned char>& atr);

#endif
