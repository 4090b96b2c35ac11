// zuic atr: resets the card and prints its answer to reset, explained; or
// explains an ATR given in hex.
#ifndef ZUIC_COMMANDATR_H
#define ZUIC_COMMANDATR_H

#include "Output.h"
#include "ZUICRD.h"

#include <string>

namespace zuic {

// Prints "ATR: 3B ..." and the explanation of each field. Returns 0, or 1
// when the ATR is malformed or its TCK is wrong.
int ExplainAtrBytes(const unsigned char* atr, size_t length, Output& output);

// Resets the card of an opened reader and prints "reader: NAME" and its ATR,
// explained; a card that does not answer is reported as missing (exit
// status 3).
int PrintAtr(CZUReader& reader, const std::string& readerName, Output& output);

} // namespace zuic

#endif
