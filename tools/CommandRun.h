// zuic run: a script of APDUs (see Script.h), each checked against the status
// word it expects, stopping at the first mismatch.
#ifndef ZUIC_COMMANDRUN_H
#define ZUIC_COMMANDRUN_H

#include "Output.h"
#include "Script.h"
#include "ZUICRD.h"

#include <string>
#include <vector>

namespace zuic {

// Scripts of more commands than this print a progress line every tenth of
// the way instead of every exchange.
const size_t kProgressThreshold = 300;

// Reads the script at path ("-" for standard input). Returns false and
// reports the problem through output ("script.apdu: line 4: ...").
bool LoadScript(const std::string& path, std::vector<ScriptLine>& lines, Output& output);

// Runs the script on an opened reader and prints a summary. A line's
// expectation is met by the final status word or by the card's first answer
// to the command (so "= 61XX" holds for a command whose data the reader then
// fetched with GET RESPONSE). Exit status 0 when every line met it, 1 at the
// first that did not, or what the reason gives when no answer came (3 for
// reader, card or service trouble); nothing after that line is sent.
int RunScript(CZUReader& reader, const std::string& readerName,
              const std::vector<ScriptLine>& lines, Output& output);

} // namespace zuic

#endif
