// Refusing the Nth command.
#include "sim/CZUSimRefusal.h"
#include "sim/SimAnswer.h"
#include "common/StatusWords.h"

std::vector<unsigned char> CZUSimRefusal::Process(const unsigned char* apdu, size_t length) {
    if (++m_count == m_position) {
        return SimStatus(SW_NO_DIAGNOSIS);
    }
    return m_card->Process(apdu, length);
}
