#include "Reasons.h"

#include "Command.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <cstdio>

namespace zuic {

namespace {

#define ZUIC_CODE(name)                                                                            \
    { name, #name }
const struct {
    long code;
    const char* name;
} kCodes[] = {
    ZUIC_CODE(SCARD_E_CANCELLED),
    ZUIC_CODE(SCARD_E_CANT_DISPOSE),
    ZUIC_CODE(SCARD_E_CARD_UNSUPPORTED),
    ZUIC_CODE(SCARD_E_COMM_DATA_LOST),
    ZUIC_CODE(SCARD_E_DUPLICATE_READER),
    ZUIC_CODE(SCARD_E_INSUFFICIENT_BUFFER),
    ZUIC_CODE(SCARD_E_INVALID_ATR),
    ZUIC_CODE(SCARD_E_INVALID_HANDLE),
    ZUIC_CODE(SCARD_E_INVALID_PARAMETER),
    ZUIC_CODE(SCARD_E_INVALID_TARGET),
    ZUIC_CODE(SCARD_E_INVALID_VALUE),
    ZUIC_CODE(SCARD_E_NO_MEMORY),
    ZUIC_CODE(SCARD_E_NO_READERS_AVAILABLE),
    ZUIC_CODE(SCARD_E_NO_SERVICE),
    ZUIC_CODE(SCARD_E_NO_SMARTCARD),
    ZUIC_CODE(SCARD_E_NOT_READY),
    ZUIC_CODE(SCARD_E_NOT_TRANSACTED),
    ZUIC_CODE(SCARD_E_PCI_TOO_SMALL),
    ZUIC_CODE(SCARD_E_PROTO_MISMATCH),
    ZUIC_CODE(SCARD_E_READER_UNAVAILABLE),
    ZUIC_CODE(SCARD_E_READER_UNSUPPORTED),
    ZUIC_CODE(SCARD_E_SERVER_TOO_BUSY),
    ZUIC_CODE(SCARD_E_SERVICE_STOPPED),
    ZUIC_CODE(SCARD_E_SHARING_VIOLATION),
    ZUIC_CODE(SCARD_E_SYSTEM_CANCELLED),
    ZUIC_CODE(SCARD_E_TIMEOUT),
    ZUIC_CODE(SCARD_E_UNEXPECTED),
    ZUIC_CODE(SCARD_E_UNKNOWN_CARD),
    ZUIC_CODE(SCARD_E_UNKNOWN_READER),
    ZUIC_CODE(SCARD_E_UNSUPPORTED_FEATURE),
    ZUIC_CODE(SCARD_F_COMM_ERROR),
    ZUIC_CODE(SCARD_F_INTERNAL_ERROR),
    ZUIC_CODE(SCARD_F_UNKNOWN_ERROR),
    ZUIC_CODE(SCARD_F_WAITED_TOO_LONG),
    ZUIC_CODE(SCARD_P_SHUTDOWN),
    ZUIC_CODE(SCARD_W_REMOVED_CARD),
    ZUIC_CODE(SCARD_W_RESET_CARD),
    ZUIC_CODE(SCARD_W_UNPOWERED_CARD),
    ZUIC_CODE(SCARD_W_UNRESPONSIVE_CARD),
    ZUIC_CODE(SCARD_W_UNSUPPORTED_CARD),
};
#undef ZUIC_CODE

// The reasons met on a reader, worded around its name.
const struct {
    int reason;
    const char* before;
    const char* after; // null: the reader is not named
} kPhrases[] = {
    {ZU_E_NO_CARD, "no card in reader '", "'"},
    {ZU_E_CARD_REMOVED, "card removed from '", "'"},
    {ZU_E_CARD_RESET, "card in '", "' reset by another program"},
    {ZU_E_READER_GONE, "reader '", "' gone"},
    {ZU_E_NO_READER, "no reader '", "'"},
    {ZU_E_NOT_OPEN, "reader '", "' not open"},
    {ZU_E_TIMEOUT, "another program held the card in '", "' past the timeout"},
    {ZU_E_BAD_ANSWER, "malformed answer from the card in '", "'"},
    {ZU_E_TRANSPORT, "the exchange with '", "' failed"},
    {ZU_E_NO_SERVICE, "PC/SC service not running", nullptr},
};

} // namespace

std::string PCSCCodeName(long code) {
    for (const auto& known : kCodes) {
        if (known.code == code) {
            return known.name;
        }
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code) & 0xFFFFFFFFUL);
    return hex;
}

std::string ReasonMessage(int reason, long pcscCode, const std::string& reader) {
    std::string message = ZUErrorText(reason);
    for (const auto& phrase : kPhrases) {
        if (phrase.reason == reason && (phrase.after == nullptr || !reader.empty())) {
            message = phrase.before;
            if (phrase.after != nullptr) {
                message += reader + phrase.after;
            }
        }
    }
    return pcscCode == 0 ? message : message + " (" + PCSCCodeName(pcscCode) + ")";
}

int ExitStatusFor(int reason) {
    switch (reason) {
    case ZU_E_CARD_REFUSED:
        return kExitRefused;
    case ZU_E_INPUT_TOO_LONG:
    case ZU_E_INPUT_RANGE:
    case ZU_E_INPUT_NULL:
        return kExitBadInput;
    default:
        return kExitNoCard;
    }
}

Failure LastFailure() {
    Failure failure;
    failure.reason = ZUGetLastError();
    failure.pcscCode = ZUGetLastPCSCError();
    if (failure.reason == ZU_E_NONE) {
        failure.reason = ZU_E_TRANSPORT;
    }
    return failure;
}

} // namespace zuic
