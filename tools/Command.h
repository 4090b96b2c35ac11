// A subcommand of zuic: its name, its help, the options it takes and the
// function that carries it out. Each subcommand is one Command*.cpp file
// that defines its CommandSpec, and one line in CommandList.h.
#ifndef ZUIC_COMMAND_H
#define ZUIC_COMMAND_H

#include "ArgParser.h"
#include "Output.h"

#include <string>
#include <vector>

namespace zuic {

// zuic's exit statuses.
enum ExitStatus {
    kExitOk = 0,       // everything done, every command accepted or as expected
    kExitRefused = 1,  // the card refused a command, or answered otherwise than expected
    kExitBadInput = 2, // bad arguments, script or APDU
    kExitNoCard = 3,   // reader, card or service trouble: no such reader, no card, card gone
};

// What a subcommand is handed: its options and its arguments after the name.
struct Invocation {
    ParsedArgs args;                    // options, and positionals without the command name
    const std::string* Reader() const { // --reader, or null
        return args.Value("reader");
    }
};

struct CommandSpec {
    std::string name;
    std::string synopsis; // "send [--reader R] APDU..."
    std::string summary;  // one line for the command list
    std::string details;  // the rest of "zuic NAME --help": arguments, output, examples
    std::vector<OptionSpec> options;
    int (*run)(const Invocation& invocation, Output& output);
};

// The --reader option as the commands that reach a card declare it.
OptionSpec ReaderOption();

// Whether --show-secrets was given: PINs and keys then show in every echo
// and trace line.
inline bool ShowSecrets(const Invocation& invocation) {
    return invocation.args.Has("show-secrets");
}

} // namespace zuic

#endif
