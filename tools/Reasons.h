// Why a command failed, as zuic says it: the reader layer's reason
// (ZUGetLastError) in words that name the reader and the PC/SC code behind
// it, and the exit status that the reason gives.
#ifndef ZUIC_REASONS_H
#define ZUIC_REASONS_H

#include "ZUICRD.h"

#include <string>

namespace zuic {

// The name of a PC/SC code, "SCARD_W_REMOVED_CARD"; a code not known here
// in hex, "0x80100099".
std::string PCSCCodeName(long code);

// One line for a reason met on a reader: "card removed from 'Virtual PCD 00
// 00' (SCARD_W_REMOVED_CARD)", "PC/SC service not running
// (SCARD_E_NO_SERVICE)", "no card in reader 'sim:remove=0'"; without a
// reader's name, the reason's own text.
std::string ReasonMessage(int reason, long pcscCode, const std::string& reader);

// The exit status for the reason of a failure: 1 for the card's refusal, 2
// for refused input, 3 for reader, card or service trouble (a hold that
// timed out behind another program included).
int ExitStatusFor(int reason);

struct Failure {
    int reason = ZU_E_NONE;
    long pcscCode = 0;
};

// Why the calling thread's last operation failed, as it left it; an
// operation that failed without leaving a reason counts as a failed exchange
// (ZU_E_TRANSPORT).
Failure LastFailure();

} // namespace zuic

#endif
