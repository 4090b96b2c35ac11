// T=0 answering: 61 XX with GET RESPONSE, 6C XX with the command again.
#include "sim/CZUSimT0Adapter.h"
#include "sim/SimAnswer.h"
#include "common/Instructions.h"
#include "common/StatusWords.h"

#include <algorithm>
#include <cstring>

namespace {
const size_t MOST_DATA = 256;

unsigned char LengthByte(size_t length) {
    return static_cast<unsigned char>(length & 0xFF); // 256 is 00
}
} // namespace

std::vector<unsigned char> CZUSimT0Adapter::PowerOn() {
    m_waiting.clear();
    m_resendAnswer.clear();
    return SimAnswerToReset(SimHistoricalBytes(m_card->PowerOn()), true);
}

void CZUSimT0Adapter::PowerOff() {
    m_waiting.clear();
    m_resendAnswer.clear();
    m_card->PowerOff();
}

std::vector<unsigned char> CZUSimT0Adapter::Process(const unsigned char* apdu, size_t length) {
    if (apdu == nullptr) {
        m_waiting.clear();
        m_resendAnswer.clear();
        return m_card->Process(apdu, length);
    }
    const bool bare = length == 5;
    if (bare && apdu[0] == CLA_ISO && apdu[1] == INS_GET_RESPONSE && !m_waiting.empty()) {
        if (apdu[2] != 0x00 || apdu[3] != 0x00) {
            m_waiting.clear();
            return SimStatus(SW_WRONG_P1P2);
        }
        const size_t asked = apdu[4] == 0 ? MOST_DATA : apdu[4];
        if (asked > m_waiting.size()) {
            return SimStatus(
                static_cast<unsigned short>(SW_WRONG_LE | LengthByte(m_waiting.size())));
        }
        CZUSimAnswer answer(m_waiting.begin(), m_waiting.begin() + static_cast<long>(asked));
        m_waiting.erase(m_waiting.begin(), m_waiting.begin() + static_cast<long>(asked));
        const unsigned short sw =
            m_waiting.empty()
                ? static_cast<unsigned short>(SW_OK)
                : static_cast<unsigned short>(SW_MORE_DATA |
                                              LengthByte(std::min(m_waiting.size(), MOST_DATA)));
        answer.push_back(static_cast<unsigned char>(sw >> 8));
        answer.push_back(static_cast<unsigned char>(sw & 0xFF));
        return answer;
    }
    m_waiting.clear();
    if (bare && !m_resendAnswer.empty() && std::memcmp(apdu, m_resendHeader, 4) == 0 &&
        apdu[4] == LengthByte(m_resendAnswer.size() - 2)) {
        CZUSimAnswer answer;
        answer.swap(m_resendAnswer);
        return answer;
    }
    m_resendAnswer.clear();

    CZUSimAnswer answer = m_card->Process(apdu, length);
    const unsigned short sw = SimAnswerSW(answer);
    const size_t dataLength = answer.size() >= 2 ? answer.size() - 2 : 0;
    if (dataLength == 0 || length < 5) {
        return answer;
    }
    if (length > 5) {
        // A command with data: the answer's data wait for GET RESPONSE.
        if (sw != SW_OK) {
            return SimStatus(sw);
        }
        m_waiting.assign(answer.begin(), answer.end() - 2);
        return SimStatus(static_cast<unsigned short>(SW_MORE_DATA |
                                                     LengthByte(std::min(dataLength, MOST_DATA))));
    }
    const size_t asked = apdu[4] == 0 ? MOST_DATA : apdu[4];
    if (dataLength != asked) {
        if (sw != SW_OK) {
            return SimStatus(sw);
        }
        std::memcpy(m_resendHeader, apdu, 4);
        m_resendAnswer = answer;
        return SimStatus(static_cast<unsigned short>(SW_WRONG_LE | LengthByte(dataLength)));
    }
    return answer;
}
