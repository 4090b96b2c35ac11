// What the reader library makes of PC/SC's answers, in one place for the
// transport and the wait for a card: the reason a PC/SC code stands for, and
// the reader names of an SCardListReaders multi-string.
#ifndef ZU_PCSCCODES_H
#define ZU_PCSCCODES_H

#include <PCSC/winscard.h>

#include <string>
#include <vector>

// The ZUError for a PC/SC result (ZU_E_NONE for success, ZU_E_TRANSPORT for
// a code with no reason of its own).
int ReasonOfPCSC(LONG rv);

// The names in a multi-string ("A\0B\0\0"), up to its end or the first
// empty name; a string without its final NULs is read to its size.
std::vector<std::string> SplitMultiString(const std::vector<char>& multi);

#endif
