// The simulated devices' answers: data, then the status word; and their
// answers to reset.
#ifndef ZU_SIMANSWER_H
#define ZU_SIMANSWER_H

#include "common/Bytes.h"
#include "common/CommandApdu.h"

#include <cstddef>
#include <string>

typedef Bytes CZUSimAnswer; // data then SW1 SW2

// The answer: a status word alone, or data followed by it.
CZUSimAnswer SimStatus(unsigned short sw);
CZUSimAnswer SimData(const unsigned char* data, size_t length, unsigned short sw);
inline CZUSimAnswer SimData(const Bytes& data, unsigned short sw) {
    return SimData(data.data(), data.size(), sw);
}
// The answer's status word (0 for an answer of fewer than 2 bytes).
unsigned short SimAnswerSW(const CZUSimAnswer& answer);

// An answer to reset with the given historical bytes (at most 15): offering
// T=1, or T=0 alone.
Bytes SimAnswerToReset(const std::string& historical, bool t0);
// The historical bytes of an answer to reset (empty if it is malformed).
std::string SimHistoricalBytes(const Bytes& atr);

#endif
