// zuic readers: the PC/SC readers and the built-in simulated ones, each with
// whether a card is in it.
#include "Commands.h"
#include "ReaderSelection.h"
#include "Reasons.h"

#include <cstdio>

namespace zuic {

namespace {

std::string CardState(CZUReader& reader, bool opened) {
    return (opened && reader.IsCardExist() != 0) ? "card present" : "no card";
}

std::string Padded(const std::string& text, size_t width) {
    return text.size() >= width ? text + "  " : text + std::string(width - text.size() + 2, ' ');
}

int RunReaders(const Invocation& invocation, Output& output) {
    if (!invocation.args.positionals.empty()) {
        output.Error("readers takes no arguments (got '" +
                     Printable(invocation.args.positionals.front()) + "')");
        return kExitBadInput;
    }
    KnownReaders known = KnownReaders::Current();
    std::ostream& out = output.Out();

    out << "PC/SC readers:\n";
    if (known.pcsc.empty()) {
        // "PC/SC service not running (SCARD_E_NO_SERVICE)" without pcscd.
        out << "  "
            << (known.pcscReason == ZU_E_NONE ? std::string("none connected")
                                              : ReasonMessage(known.pcscReason, known.pcscCode, ""))
            << '\n';
    } else {
        size_t width = 0;
        for (const std::string& name : known.pcsc) {
            width = name.size() > width ? name.size() : width;
        }
        for (size_t i = 0; i < known.pcsc.size(); ++i) {
            CZUReader reader;
            bool opened = reader.Open(static_cast<int>(i), ZU_PROTOCOL_ANY) != 0;
            out << "  " << Padded(known.pcsc[i], width) << CardState(reader, opened) << '\n';
        }
    }

    out << "Built-in readers:\n";
    if (known.builtIn.empty()) {
        out << "  none (this zuic was built without the simulated card)\n";
    } else {
        size_t width = 0;
        size_t describedWidth = 0;
        for (const BuiltInReader& r : known.builtIn) {
            width = r.name.size() > width ? r.name.size() : width;
            describedWidth =
                r.description.size() > describedWidth ? r.description.size() : describedWidth;
        }
        for (const BuiltInReader& r : known.builtIn) {
            CZUReader reader;
            std::string name = r.name;
            bool opened = reader.Open(&name[0], ZU_PROTOCOL_ANY) != 0;
            out << "  " << Padded(r.name, width) << Padded(r.description, describedWidth)
                << CardState(reader, opened) << '\n';
        }
    }
    return kExitOk;
}

} // namespace

const CommandSpec readersCommand = {
    "readers",
    "readers",
    "list the PC/SC readers and the built-in simulated readers",
    "Lists every PC/SC reader that the PC/SC service (pcscd) knows, or says\n"
    "that the service is not running, then the readers built into zuic (the\n"
    "simulated card and SAM, when zuic was built with them), each with whether\n"
    "a card is in it. Any of these names can be given to --reader; for a PC/SC\n"
    "reader a part of its name will do, or its index in this list, from 0.\n"
    "\n"
    "Example (the PC/SC readers are those of the machine):\n"
    "  $ zuic readers\n"
    "  PC/SC readers:\n"
    "  ...\n"
    "  Built-in readers:\n"
    "    sim       simulated card                  card present\n"
    "    simsam    simulated SAM                   card present\n"
    "    simsb     simulated social-security card  card present\n"
    "    simsbsam  simulated social-security SAM   card present\n",
    {},
    &RunReaders,
};

} // namespace zuic
