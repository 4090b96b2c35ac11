#include "Cli.h"

#include "Commands.h"

namespace zuic {

namespace {

const std::vector<OptionSpec>& GlobalOptions() {
    static const std::vector<OptionSpec> options = {
        {"trace", "", "print every raw exchange with the card, whole"},
        {"show-secrets", "",
         "show the data of VERIFY, CHANGE PIN and the key commands (hidden as ** otherwise)"},
        {"help", "", "print help; zuic COMMAND --help for one command"},
        {"version", "", "print zuic's version"},
    };
    return options;
}

// Every option any command takes, so that options may stand before the
// command name as well as after it.
std::vector<OptionSpec> AllOptions() {
    std::vector<OptionSpec> all = GlobalOptions();
    for (const CommandSpec* command : AllCommands()) {
        for (const OptionSpec& option : command->options) {
            bool known = false;
            for (const OptionSpec& have : all) {
                known = known || have.name == option.name;
            }
            if (!known) {
                all.push_back(option);
            }
        }
    }
    return all;
}

std::string CommandNames() {
    std::string names;
    for (const CommandSpec* command : AllCommands()) {
        names += (names.empty() ? "" : ", ") + command->name;
    }
    return names;
}

// Options in two columns, the help text wrapped at 78 columns.
void PrintOptions(std::ostream& out, const std::vector<OptionSpec>& options) {
    const size_t column = 18;
    const size_t width = 78;
    for (const OptionSpec& option : options) {
        std::string left = "  --" + option.name;
        if (option.TakesValue()) {
            left += " " + option.valueName;
        }
        if (option.name == "help") {
            left += ", -h";
        }
        std::string line = left + std::string(left.size() < column ? column - left.size() : 1, ' ');
        size_t start = 0;
        const std::string& help = option.help;
        while (start < help.size()) {
            size_t room = width - line.size();
            size_t end = help.size();
            if (end - start > room) {
                end = help.rfind(' ', start + room);
                if (end == std::string::npos || end <= start) {
                    end = help.find(' ', start + room);
                    end = end == std::string::npos ? help.size() : end;
                }
            }
            out << line << help.substr(start, end - start) << '\n';
            start = end < help.size() ? end + 1 : end;
            line = std::string(column, ' ');
        }
    }
}

void PrintUsage(std::ostream& out) {
    out << "usage: zuic [--trace] [--show-secrets] COMMAND [options] [arguments]\n"
           "       zuic --version\n";
}

void PrintGeneralHelp(std::ostream& out) {
    PrintUsage(out);
    out << "\nzuic talks to contact smart cards and SAMs through ZUICAPI's reader layer.\n"
           "\nCommands:\n";
    for (const CommandSpec* command : AllCommands()) {
        out << "  " << command->name
            << std::string(command->name.size() < 10 ? 10 - command->name.size() : 1, ' ')
            << command->summary << '\n';
    }
    out << "\nOptions for every command:\n";
    PrintOptions(out, GlobalOptions());
    out << "\nThe data of VERIFY (00 20), CHANGE PIN (80 5E) and the key commands (80 D4,\n"
           "84 D4, 80 D8) show as '** (n bytes)' in every echo and trace unless\n"
           "--show-secrets is given.\n"
           "\nExit status: 0 done; 1 the card refused a command or answered otherwise\n"
           "than expected; 2 bad input; 3 no such reader, no card in it, or the card\n"
           "went away.\n"
           "\nzuic COMMAND --help describes one command.\n";
}

void PrintCommandHelp(std::ostream& out, const CommandSpec& command) {
    out << "usage: zuic " << command.synopsis << "\n\n" << command.summary << ".\n\n";
    out << command.details << "\nOptions:\n";
    PrintOptions(out, command.options);
    PrintOptions(out, GlobalOptions());
}

// The command named on a line that could not be parsed: the first argument
// that is neither an option nor an option's value.
const CommandSpec* CommandOnLine(const std::vector<std::string>& args,
                                 const std::vector<OptionSpec>& options) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            return i + 1 < args.size() ? FindCommand(args[i + 1]) : nullptr;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            return FindCommand(arg);
        }
        if (arg.find('=') == std::string::npos) {
            for (const OptionSpec& option : options) {
                if (arg == "--" + option.name && option.TakesValue()) {
                    ++i;
                }
            }
        }
    }
    return nullptr;
}

} // namespace

int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Output errors(out, err);
    ParsedArgs parsed;
    std::string error;
    const std::vector<OptionSpec> allOptions = AllOptions();
    if (!ParseArgs(args, allOptions, parsed, error)) {
        const CommandSpec* named = CommandOnLine(args, allOptions);
        errors.Error(error + " (see zuic " + (named != nullptr ? named->name + " " : "") +
                     "--help)");
        return kExitBadInput;
    }
    std::vector<std::string>& positionals = parsed.positionals;
    const bool help = parsed.Has("help");
    if (parsed.Has("version") && !help) {
        out << "zuic " << ZUIC_VERSION << " (ZUICAPI " << ZUIC_VERSION << ")\n";
        return kExitOk;
    }
    if (positionals.empty()) {
        if (help) {
            PrintGeneralHelp(out);
            return kExitOk;
        }
        errors.Error("no command given; commands: " + CommandNames() + " (see zuic --help)");
        return kExitBadInput;
    }
    std::string name = positionals.front();
    positionals.erase(positionals.begin());

    // "zuic help" and "zuic help COMMAND" are --help in other words.
    if (name == "help") {
        if (positionals.empty()) {
            PrintGeneralHelp(out);
            return kExitOk;
        }
        const CommandSpec* command = FindCommand(positionals.front());
        if (command == nullptr || positionals.size() > 1) {
            errors.Error("unknown command '" + Printable(positionals.front()) +
                         "'; commands: " + CommandNames());
            return kExitBadInput;
        }
        PrintCommandHelp(out, *command);
        return kExitOk;
    }

    const CommandSpec* command = FindCommand(name);
    if (command == nullptr) {
        errors.Error("unknown command '" + Printable(name) + "'; commands: " + CommandNames() +
                     " (see zuic --help)");
        return kExitBadInput;
    }
    if (help) {
        PrintCommandHelp(out, *command);
        return kExitOk;
    }
    for (const auto& option : parsed.options) {
        bool allowed = false;
        for (const OptionSpec& spec : GlobalOptions()) {
            allowed = allowed || spec.name == option.first;
        }
        for (const OptionSpec& spec : command->options) {
            allowed = allowed || spec.name == option.first;
        }
        if (!allowed) {
            errors.Error("option --" + option.first + " does not apply to " + command->name +
                         " (see zuic " + command->name + " --help)");
            return kExitBadInput;
        }
    }

    Invocation invocation;
    invocation.args = parsed;
    Output output(out, err, parsed.Has("trace"), parsed.Has("show-secrets"));
    int status = command->run(invocation, output);
    out.flush();
    return status;
}

} // namespace zuic
