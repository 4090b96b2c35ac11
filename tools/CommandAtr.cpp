#include "CommandAtr.h"

#include "AtrParser.h"
#include "Commands.h"
#include "common/HexText.h"
#include "ReaderSelection.h"
#include "Reasons.h"

namespace zuic {

namespace {

int RunAtr(const Invocation& invocation, Output& output) {
    const std::vector<std::string>& args = invocation.args.positionals;
    if (!args.empty()) {
        if (invocation.Reader() != nullptr) {
            output.Error("atr takes either --reader or an ATR in hex, not both");
            return kExitBadInput;
        }
        // The ATR may come as one argument or as several groups of hex.
        std::string text;
        for (const std::string& arg : args) {
            text += arg + " ";
        }
        Bytes atr;
        std::string error;
        if (!ParseHex(text, atr, error)) {
            output.Error("ATR '" + Printable(text.substr(0, text.size() - 1)) +
                         "': malformed hex: " + error);
            return kExitBadInput;
        }
        if (atr.size() > 64) {
            output.Error("ATR of " + std::to_string(atr.size()) + " bytes: an ATR has at most 33");
            return kExitBadInput;
        }
        return ExplainAtrBytes(atr.data(), atr.size(), output);
    }
    return RunOnCommandReader(
        invocation.Reader(), output,
        [&](CZUReader& reader, const std::string& name) { return PrintAtr(reader, name, output); });
}

} // namespace

int ExplainAtrBytes(const unsigned char* atr, size_t length, Output& output) {
    output.Out() << "ATR: " << FormatHex(atr, length) << '\n';
    const AtrInfo info = ParseAtr(atr, length);
    for (const std::string& line : ExplainAtr(info)) {
        output.Out() << line << '\n';
    }
    return info.wellFormed && (!info.hasTck || info.tckCorrect) ? kExitOk : kExitRefused;
}

int PrintAtr(CZUReader& reader, const std::string& readerName, Output& output) {
    // ISO/IEC 7816-3 bounds an answer to reset at 33 bytes; leave room for
    // readers that report more.
    unsigned char atr[64];
    unsigned long atrLen = sizeof atr;
    if (reader.Reset(atr, &atrLen) == 0) {
        const Failure failure = LastFailure();
        output.Error(ReasonMessage(failure.reason, failure.pcscCode, readerName));
        return ExitStatusFor(failure.reason);
    }
    if (atrLen == 0) {
        output.Error("no card in reader '" + readerName + "' (the reset gave an empty ATR)");
        return kExitNoCard;
    }
    output.Out() << "reader: " << readerName << '\n';
    return ExplainAtrBytes(atr, atrLen, output);
}

const CommandSpec atrCommand = {
    "atr",
    "atr [--reader R] | atr ATR",
    "reset the card and explain its answer to reset (ATR)",
    "Resets (cold reset) the card in the reader and prints its answer to reset\n"
    "in hex, then each field as ISO/IEC 7816-3 reads it: TS (the convention),\n"
    "T0, every interface byte (TA1 Fi and Di with the clock and bit-rate\n"
    "figures, TC1 extra guard time, TDi protocols, for T=1 IFSC, BWI and CWI),\n"
    "the historical bytes and TCK, checked. Given an ATR in hex instead, it\n"
    "explains that one and reaches no reader. A malformed or truncated ATR gets\n"
    "one line 'error: ...' saying where it stops making sense.\n"
    "\n"
    "Exit status 0 for a sound ATR; 1 when it is malformed or its TCK is\n"
    "wrong; 2 for bad input; 3 for reader, card or service trouble (no such\n"
    "reader, no card, the reader or the PC/SC service gone), named in the\n"
    "message.\n"
    "\n"
    "Examples:\n"
    "  $ zuic atr --reader sim\n"
    "  reader: sim\n"
    "  ATR: 3B 8A 01 5A 55 53 49 4D 2D 43 41 52 44 EA\n"
    "    TS   3B  direct convention\n"
    "    T0   8A  K=10 historical bytes; TD1 follows\n"
    "    TD1  01  protocol T=1; no interface bytes follow\n"
    "    historical bytes (10): 5A 55 53 49 4D 2D 43 41 52 44  proprietary, \"ZUSIM-CARD\"\n"
    "    TCK  EA  check byte correct\n"
    "  $ zuic atr 3B 02 14\n"
    "  ATR: 3B 02 14\n"
    "    TS   3B  direct convention\n"
    "    T0   02  K=2 historical bytes; no interface bytes follow\n"
    "    historical bytes (2): 14  proprietary\n"
    "    error: the ATR ends after 3 bytes: T0 announces 2 historical bytes, 1 follow\n",
    {ReaderOption()},
    &RunAtr,
};

} // namespace zuic
