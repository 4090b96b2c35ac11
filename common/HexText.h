// Hex text for the command line: reading APDUs and status words as typed by a
// user, and writing card bytes back.
#ifndef ZU_HEXTEXT_H
#define ZU_HEXTEXT_H

#include <cstddef>
#include <string>

#include "common/Bytes.h"

// Reads hex digits grouped by spaces, tabs and colons ("00 A4 04 00",
// "00A40400", "00:a4:04:00"). Each group must hold whole bytes, so "0 A4" is
// refused rather than guessed at. On failure returns false, leaves bytes
// empty and sets error to a short description ("'G' is not a hex digit").
bool ParseHex(const std::string& text, Bytes& bytes, std::string& error);

// "00 A4 04 00": upper-case pairs separated by one space.
std::string FormatHex(const unsigned char* data, size_t length);
inline std::string FormatHex(const Bytes& bytes) {
    return FormatHex(bytes.data(), bytes.size());
}

// A character as it can stand inside quotes in a one-line message: itself
// when printable ASCII, "\\xNN" otherwise.
std::string PrintableCharacter(char c);

// The value of one hex digit, or -1.
int HexDigitValue(char c);

#endif
