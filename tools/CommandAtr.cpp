#include "CommandAtr.h"

#include "Commands.h"
#include "HexCodec.h"
#include "ReaderSelection.h"

namespace zuic {

namespace {

int RunAtr(const Invocation& invocation, Output& output) {
    if (!invocation.args.positionals.empty()) {
        output.Error("atr takes no arguments (got '" +
                     Printable(invocation.args.positionals.front()) + "')");
        return kExitBadInput;
    }
    CZUReader reader;
    std::string name;
    if (!OpenCommandReader(invocation.Reader(), reader, name, output)) {
        return kExitBadInput;
    }
    return PrintAtr(reader, name, output);
}

} // namespace

int PrintAtr(CZUReader& reader, const std::string& readerName, Output& output) {
    // ISO/IEC 7816-3 bounds an answer to reset at 33 bytes; leave room for
    // readers that report more.
    unsigned char atr[64];
    unsigned long atrLen = sizeof atr;
    if (reader.Reset(atr, &atrLen) == 0) {
        output.Error("no card in reader '" + readerName + "' (the reset got no answer)");
        return kExitBadInput;
    }
    if (atrLen == 0) {
        output.Error("no card in reader '" + readerName + "' (the reset gave an empty ATR)");
        return kExitBadInput;
    }
    output.Out() << "reader: " << readerName << '\n' << "ATR: " << FormatHex(atr, atrLen) << '\n';
    return kExitOk;
}

const CommandSpec atrCommand = {
    "atr",
    "atr [--reader R]",
    "reset the card and print its answer to reset (ATR)",
    "Resets (cold reset) the card in the reader and prints its answer to reset\n"
    "in hex. A reader without a card is bad input (exit status 2).\n"
    "\n"
    "Example:\n"
    "  $ zuic atr --reader sim\n"
    "  reader: sim\n"
    "  ATR: 3B 02 14 50\n",
    {ReaderOption()},
    &RunAtr,
};

} // namespace zuic
