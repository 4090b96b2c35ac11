// zuic send: APDUs given in hex, each printed with the card's answer data and
// status word.
#ifndef ZUIC_COMMANDSEND_H
#define ZUIC_COMMANDSEND_H

#include "Apdu.h"
#include "CardExchange.h"
#include "Output.h"
#include "Reasons.h"
#include "ZUICRD.h"

#include <string>
#include <vector>

namespace zuic {

// Reads every argument as one APDU. Returns false and reports the first bad
// one ("APDU 2: APDU too short: ...") through output.
bool ParseApduArguments(const std::vector<std::string>& args, std::vector<Apdu>& apdus,
                        Output& output);

// Sends the APDUs in order on an opened reader and prints each answer; stops
// at the first that is not accepted, naming why. Exit status 0 when all were
// accepted, else the one its reason gives (ExitStatusFor).
int SendApdus(CZUReader& reader, const std::string& readerName, const std::vector<Apdu>& apdus,
              Output& output);

// Why an exchange was not accepted: the status word and its meaning for the
// card's refusal, else the reader's trouble (ReasonMessage).
std::string FailureText(const ExchangeOutcome& outcome, const std::string& readerName);

// How send and run print an exchange: "> command" before it is sent (the
// trace lines follow it), then "< data" lines and "  SW 90 00 success"
// followed by suffix.
void PrintCommand(Output& output, const std::string& label, const Bytes& command);
void PrintAnswer(Output& output, const ExchangeOutcome& outcome, const std::string& suffix);

} // namespace zuic

#endif
