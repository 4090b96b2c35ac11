// A script of APDUs for "zuic run": one command a line, "#" starts a comment,
// and a line may end with "= SW", the status word it expects (4 hex digits,
// X for any digit: "= 9000", "= 61XX", "= 63CX"). A line without one
// expects the reader to accept the command (90 00).
//
//   # select the master file, then read 8 bytes of the current file
//   00 A4 00 00 02 3F 00      = 9000
//   00 B0 00 00 08
#ifndef ZUIC_SCRIPT_H
#define ZUIC_SCRIPT_H

#include "Apdu.h"
#include "StatusWordPattern.h"

#include <istream>
#include <string>
#include <vector>

namespace zuic {

struct ScriptLine {
    int number = 0; // from 1, counting every line of the file
    Apdu apdu;
    bool hasExpectation = false;
    StatusWordPattern expected; // 90 00 when the line names none
};

// Reads the whole script. On the first line that cannot be parsed returns
// false and sets error to "line N: what is wrong".
bool ParseScript(std::istream& in, std::vector<ScriptLine>& lines, std::string& error);

// The same for one line: false with error (no line number) when it cannot be
// parsed, true with isCommand false for a blank or comment line.
bool ParseScriptLine(const std::string& text, ScriptLine& line, bool& isCommand,
                     std::string& error);

} // namespace zuic

#endif
