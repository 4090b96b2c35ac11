// Which reader a command uses, and opening it with a card in it. Every
// failure here gets a one-line message: an unknown reader with the list of
// known ones, no reader at all, no card, the PC/SC service not running. The
// commands exit with status 3 for all of them.
#ifndef ZUIC_READERSELECTION_H
#define ZUIC_READERSELECTION_H

#include "BuiltInReaders.h"
#include "Command.h"
#include "Output.h"
#include "ZUICRD.h"

#include <functional>
#include <string>
#include <vector>

namespace zuic {

struct KnownReaders {
    std::vector<std::string> pcsc; // in the order the PC/SC service lists them
    std::vector<BuiltInReader> builtIn;
    // Why the PC/SC list is empty when the service could not give one
    // (ZU_E_NO_SERVICE), with the PC/SC code.
    int pcscReason = ZU_E_NONE;
    long pcscCode = 0;

    // The PC/SC readers and the built-in ones of this process.
    static KnownReaders Current();
    // "'sim', 'simsam', 'ACS ACR38U 00 00'", or "none".
    std::string List() const;
};

struct ReaderChoice {
    std::string name; // as shown to the user
    bool builtIn = false;
    int pcscIndex = -1; // position in KnownReaders::pcsc
};

// Picks the reader: with a requested number (up to 4 digits), the PC/SC
// reader of that index; with a requested name, the built-in reader of exactly
// that name (or that name, a colon and the simulator's options), else the PC/SC reader of exactly
// that name, else the first PC/SC reader whose name contains it; with none, the first PC/SC reader,
// else the first built-in one. Returns false and sets error otherwise.
bool ChooseReader(const std::string* requested, const KnownReaders& known, ReaderChoice& choice,
                  std::string& error);

// Opens the chosen reader and checks that a card is in it. Returns false and
// sets error, with the reason the reader layer gave, when it cannot be opened
// or holds no card.
bool OpenReader(CZUReader& reader, const ReaderChoice& choice, std::string& error);

// Checks that the card of an opened reader is there ("no card in reader
// 'NAME'" otherwise).
bool RequireCard(CZUReader& reader, const std::string& name, std::string& error);

// How atr, send and run reach the card: chooses the reader from --reader
// (null for the default) among the readers of this process, opens it, checks
// for a card and returns what run returns with the reader and its name. When
// that fails, reports the problem through output and returns kExitNoCard.
int RunOnCommandReader(const std::string* requested, Output& output,
                       const std::function<int(CZUReader&, const std::string&)>& run);

} // namespace zuic

#endif
