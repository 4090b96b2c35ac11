// The calling thread's reason for its last failure, and the words for
// reasons and status words.
#include "ZUICRD.h"
#include "common/StatusWords.h"

#include <cstdio>

namespace {

struct LastError {
    int reason = ZU_E_NONE;
    long pcscCode = 0;
};
thread_local LastError t_lastError;

// Indexed by ZUError.
const char* const REASON_TEXTS[] = {
    "no error",
    "the card refused the command",
    "input longer than the command can carry",
    "offset or position out of range",
    "a required pointer was null",
    "reader object not open",
    "no such reader",
    "no card in the reader",
    "card removed",
    "card reset by another program",
    "reader gone",
    "PC/SC service not running",
    "another program held the card past the timeout",
    "malformed answer from the card",
    "PC/SC transport failure",
    "out of memory or no thread",
    "this thread already holds the reader",
    "hold broken: the connection was reopened",
    "reader object inherited across fork",
    "transaction ended from another thread",
    "host's trace hook or transport threw an exception",
    "no card came before the timeout",
    "waiting for a card was cancelled",
    "not supported by this reader",
};
const int REASON_COUNT = static_cast<int>(sizeof REASON_TEXTS / sizeof REASON_TEXTS[0]);

} // namespace

int ZUGetLastError(void) {
    return t_lastError.reason;
}

long ZUGetLastPCSCError(void) {
    return t_lastError.pcscCode;
}

void ZUSetLastError(int reason, long pcscCode) {
    t_lastError.reason = reason;
    t_lastError.pcscCode = pcscCode;
}

const char* ZUErrorText(int reason) {
    if (reason < 0 || reason >= REASON_COUNT) {
        return "unknown reason";
    }
    return REASON_TEXTS[reason];
}

const char* ZUStatusWordText(unsigned short sw) {
    // Kept per thread: valid until the thread's next call.
    thread_local char text[128];
    try {
        std::snprintf(text, sizeof text, "%s", DescribeStatusWord(sw).c_str());
    } catch (...) {
        std::snprintf(text, sizeof text, "status word %04X", sw);
    }
    return text;
}
