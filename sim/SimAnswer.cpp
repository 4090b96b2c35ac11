// The simulated devices' answers and answers to reset.
#include "sim/SimAnswer.h"

CZUSimAnswer SimStatus(unsigned short sw) {
    return CZUSimAnswer{static_cast<unsigned char>(sw >> 8), static_cast<unsigned char>(sw & 0xFF)};
}

CZUSimAnswer SimData(const unsigned char* data, size_t length, unsigned short sw) {
    CZUSimAnswer answer;
    answer.reserve(length + 2);
    if (length != 0) {
        answer.assign(data, data + length);
    }
    answer.push_back(static_cast<unsigned char>(sw >> 8));
    answer.push_back(static_cast<unsigned char>(sw & 0xFF));
    return answer;
}

unsigned short SimAnswerSW(const CZUSimAnswer& answer) {
    if (answer.size() < 2) {
        return 0;
    }
    return static_cast<unsigned short>((answer[answer.size() - 2] << 8) | answer.back());
}

std::vector<unsigned char> SimAnswerToReset(const std::string& historical, bool t0) {
    const size_t count = historical.size() < 15 ? historical.size() : 15;
    std::vector<unsigned char> atr{0x3B};
    if (t0) {
        atr.push_back(static_cast<unsigned char>(count));
        atr.insert(atr.end(), historical.begin(), historical.begin() + static_cast<long>(count));
        return atr;
    }
    atr.push_back(static_cast<unsigned char>(0x80 | count)); // TD1 follows
    atr.push_back(0x01);                                     // T=1, nothing more
    atr.insert(atr.end(), historical.begin(), historical.begin() + static_cast<long>(count));
    unsigned char check = 0;
    for (size_t i = 1; i < atr.size(); ++i) {
        check = static_cast<unsigned char>(check ^ atr[i]);
    }
    atr.push_back(check);
    return atr;
}

std::string SimHistoricalBytes(const std::vector<unsigned char>& atr) {
    if (atr.size() < 2) {
        return std::string();
    }
    size_t count = atr[1] & 0x0F;
    size_t at = 1;
    unsigned char indicator = atr[1];
    for (;;) {
        const unsigned char present = static_cast<unsigned char>(indicator >> 4);
        ++at;
        for (int bit = 0; bit < 3; ++bit) {
            if (present & (1 << bit)) {
                ++at; // TAi, TBi, TCi
            }
        }
        if ((present & 0x08) == 0) {
            break;
        }
        if (at >= atr.size()) {
            return std::string();
        }
        indicator = atr[at]; // TDi
    }
    if (at + count > atr.size()) {
        return std::string();
    }
    return std::string(atr.begin() + static_cast<long>(at),
                       atr.begin() + static_cast<long>(at + count));
}
