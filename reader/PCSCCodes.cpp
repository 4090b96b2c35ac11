#include "reader/PCSCCodes.h"
#include "ZUICRD.h"

#include <PCSC/wintypes.h>

#include <cstring>

int ReasonOfPCSC(LONG rv) {
    switch (rv) {
    case SCARD_S_SUCCESS:
        return ZU_E_NONE;
    case SCARD_W_REMOVED_CARD:
        return ZU_E_CARD_REMOVED;
    case SCARD_E_NO_SMARTCARD:
    case SCARD_W_UNPOWERED_CARD:
    case SCARD_W_UNRESPONSIVE_CARD:
        return ZU_E_NO_CARD;
    case SCARD_W_RESET_CARD:
        return ZU_E_CARD_RESET;
    case SCARD_E_READER_UNAVAILABLE:
        return ZU_E_READER_GONE;
    case SCARD_E_UNKNOWN_READER:
    case SCARD_E_NO_READERS_AVAILABLE:
        return ZU_E_NO_READER;
    case SCARD_E_NO_SERVICE:
    case SCARD_E_SERVICE_STOPPED:
    case SCARD_E_INVALID_HANDLE: // a context that a restarted service no longer knows
    case SCARD_F_COMM_ERROR:
        return ZU_E_NO_SERVICE;
    case SCARD_E_TIMEOUT:
    case SCARD_E_SHARING_VIOLATION:
        return ZU_E_TIMEOUT;
    case SCARD_E_CANCELLED:
        return ZU_E_CANCELLED;
    case SCARD_E_NO_MEMORY:
        return ZU_E_NO_MEMORY;
    default:
        return ZU_E_TRANSPORT;
    }
}

std::vector<std::string> SplitMultiString(const std::vector<char>& multi) {
    std::vector<std::string> names;
    for (size_t at = 0; at < multi.size() && multi[at] != '\0';) {
        const char* name = multi.data() + at;
        const size_t length = strnlen(name, multi.size() - at);
        names.emplace_back(name, length);
        at += length + 1;
    }
    return names;
}
