// zuic atr: resets the card and prints its answer to reset.
#ifndef ZUIC_COMMANDATR_H
#define ZUIC_COMMANDATR_H

#include "Output.h"
#include "ZUICRD.h"

#include <string>

namespace zuic {

// Resets the card of an opened reader and prints "ATR: 3B ..."; a card that
// does not answer is reported as missing (exit status 2).
int PrintAtr(CZUReader& reader, const std::string& readerName, Output& output);

} // namespace zuic

#endif
