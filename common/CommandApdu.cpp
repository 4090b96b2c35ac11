// Reading and building short command APDUs.
#include "common/CommandApdu.h"

namespace {
const size_t HEADER = 4;
} // namespace

bool CommandApdu::Parse(const unsigned char* apdu, size_t apduLength) {
    if (apdu == nullptr || apduLength < kShortestApdu || apduLength > kLongestApdu) {
        return false;
    }
    cla = apdu[0];
    ins = apdu[1];
    p1 = apdu[2];
    p2 = apdu[3];
    raw = apdu;
    length = apduLength;
    data = nullptr;
    lc = 0;
    le = 0;
    hasLe = false;
    if (apduLength == HEADER) {
        return true;
    }
    if (apduLength == HEADER + 1) {
        hasLe = true;
        le = apdu[4] == 0 ? 256 : apdu[4];
        return true;
    }
    size_t p3 = apdu[4];
    if (p3 == 0) {
        return false; // extended lengths are not supported
    }
    if (apduLength == HEADER + 1 + p3) {
        lc = p3;
        data = apdu + 5;
        return true;
    }
    if (apduLength == HEADER + 2 + p3) {
        lc = p3;
        data = apdu + 5;
        hasLe = true;
        le = apdu[apduLength - 1] == 0 ? 256 : apdu[apduLength - 1];
        return true;
    }
    return false;
}

Bytes BuildCommandApdu(unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2,
                       const unsigned char* data, size_t length) {
    Bytes apdu{cla, ins, p1, p2};
    if (length != 0 && data != nullptr) {
        apdu.push_back(static_cast<unsigned char>(length));
        apdu.insert(apdu.end(), data, data + length);
    }
    return apdu;
}
