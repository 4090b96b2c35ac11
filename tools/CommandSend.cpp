#include "CommandSend.h"

#include "Commands.h"
#include "ReaderSelection.h"
#include "common/StatusWords.h"

namespace zuic {

namespace {

int RunSend(const Invocation& invocation, Output& output) {
    const std::vector<std::string>& args = invocation.args.positionals;
    if (args.empty()) {
        output.Error("send needs at least one APDU (see zuic send --help)");
        return kExitBadInput;
    }
    std::vector<Apdu> apdus;
    if (!ParseApduArguments(args, apdus, output)) {
        return kExitBadInput;
    }
    return RunOnCommandReader(invocation.Reader(), output,
                              [&](CZUReader& reader, const std::string& name) {
                                  return SendApdus(reader, name, apdus, output);
                              });
}

std::string Plural(size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

} // namespace

bool ParseApduArguments(const std::vector<std::string>& args, std::vector<Apdu>& apdus,
                        Output& output) {
    apdus.clear();
    for (size_t i = 0; i < args.size(); ++i) {
        Apdu apdu;
        std::string error;
        if (!Apdu::Parse(args[i], apdu, error)) {
            std::string hint;
            // "zuic send 00 A4 00 00" hands over four one-byte arguments.
            if (args.size() > 1 && args[i].find_first_of(" \t:") == std::string::npos &&
                args[i].size() <= 4) {
                hint = " (write each APDU as one argument: quote it when it has spaces)";
            }
            // A long argument is shown by its start: enough to find it. A PIN
            // or key in it stays hidden, as in the echo.
            std::string shown = Printable(args[i]);
            Bytes bytes;
            std::string hexError;
            if (!output.ShowingSecrets() && ParseHex(args[i], bytes, hexError) &&
                bytes.size() > 5 && CarriesSecret(bytes.data(), bytes.size())) {
                shown = FormatCommand(bytes.data(), bytes.size(), false);
            }
            std::string message = "APDU " + std::to_string(i + 1) + " ('";
            message += shown;
            message += "'): ";
            message += error;
            message += hint;
            output.Error(message);
            apdus.clear();
            return false;
        }
        apdus.push_back(apdu);
    }
    return true;
}

void PrintCommand(Output& output, const std::string& label, const Bytes& command) {
    output.Out() << label << "> " << output.Command(command.data(), command.size()) << '\n';
}

void PrintAnswer(Output& output, const ExchangeOutcome& outcome, const std::string& suffix) {
    output.Data("< ", outcome.data.data(), outcome.data.size());
    if (!outcome.answered && outcome.sw == 0) {
        output.Out() << "  no answer from the card (the exchange failed)" << suffix << '\n';
    } else {
        output.Out() << "  SW " << FormatStatusWord(outcome.sw) << ' '
                     << DescribeStatusWord(outcome.sw) << suffix << '\n';
    }
}

std::string FailureText(const ExchangeOutcome& outcome, const std::string& readerName) {
    if (outcome.failure.reason == ZU_E_CARD_REFUSED) {
        return FormatStatusWord(outcome.sw) + " " + DescribeStatusWord(outcome.sw);
    }
    return ReasonMessage(outcome.failure.reason, outcome.failure.pcscCode, readerName);
}

int SendApdus(CZUReader& reader, const std::string& readerName, const std::vector<Apdu>& apdus,
              Output& output) {
    CardExchange exchange(reader, output);
    for (size_t i = 0; i < apdus.size(); ++i) {
        PrintCommand(output, "", apdus[i].Wire());
        ExchangeOutcome outcome = exchange.Send(apdus[i]);
        PrintAnswer(output, outcome, "");
        if (!outcome.accepted) {
            size_t left = apdus.size() - i - 1;
            std::string what =
                outcome.failure.reason == ZU_E_CARD_REFUSED ? " refused by the card: " : ": ";
            output.Error("APDU " + std::to_string(i + 1) + what + FailureText(outcome, readerName) +
                         (left != 0 ? "; " + Plural(left, "APDU") + " not sent" : ""));
            return ExitStatusFor(outcome.failure.reason);
        }
    }
    return kExitOk;
}

const CommandSpec sendCommand = {
    "send",
    "send [--reader R] APDU...",
    "send APDUs given in hex and show the card's answers",
    "Sends each APDU in turn and prints the command, the answer's data and the\n"
    "status word with its ISO/IEC 7816-4 meaning. Each argument is one APDU in\n"
    "hex, spaces and colons allowed (quote it when it has spaces): a short\n"
    "APDU of 4 to 261 bytes, CLA INS P1 P2 [Lc data] [Le], whose length must\n"
    "agree with Lc. Every APDU is checked before the first is sent.\n"
    "\n"
    "The reader answers 61 XX with GET RESPONSE and 6C XX by sending the\n"
    "command again with Le = XX, and shows the data they bring; --trace shows\n"
    "those exchanges. A 4-byte APDU goes with P3 = 00.\n"
    "\n"
    "Exit status 0 when the card accepted every APDU (90 00); 1 when it\n"
    "refused one, after which no further APDU is sent; 2 for bad input; 3 for\n"
    "reader, card or service trouble, named in the message: no such reader, no\n"
    "card, the card removed or reset by another program, the reader or the\n"
    "PC/SC service gone, the card held by another program past the timeout.\n"
    "\n"
    "The data of VERIFY and of the key commands show as '** (n bytes)' unless\n"
    "--show-secrets is given.\n"
    "\n"
    "Examples (each zuic process has its own simulated card, blank at first,\n"
    "so that it has no master file yet; the challenge is random):\n"
    "  $ zuic send --reader sim 0084000004 '00 A4 00 00 02 3F 00'\n"
    "  > 00 84 00 00 04\n"
    "  < 5C 1E 93 07\n"
    "    SW 90 00 success\n"
    "  > 00 A4 00 00 02 3F 00\n"
    "    SW 6A 82 file not found\n"
    "  zuic: APDU 2 refused by the card: 6A 82 file not found\n"
    "  $ zuic send --reader sim '00 20 00 00 04 31 32 33 34'\n"
    "  > 00 20 00 00 04 ** (4 bytes)\n"
    "    SW 6A 88 referenced data or reference data not found\n"
    "  zuic: APDU 1 refused by the card: 6A 88 referenced data or reference data not found\n",
    {ReaderOption()},
    &RunSend,
};

} // namespace zuic
