// Command-line arguments: long options ("--reader R", "--reader=R", flags
// such as "--trace"), "-h" for "--help", "--" to end the options, and the
// positional arguments in order.
#ifndef ZUIC_ARGPARSER_H
#define ZUIC_ARGPARSER_H

#include <map>
#include <string>
#include <vector>

namespace zuic {

struct OptionSpec {
    std::string name;      // without the dashes: "reader"
    std::string valueName; // "R" for an option with a value; empty for a flag
    std::string help;
    bool TakesValue() const { return !valueName.empty(); }
};

struct ParsedArgs {
    std::map<std::string, std::string> options; // flags map to ""
    std::vector<std::string> positionals;

    bool Has(const std::string& name) const { return options.count(name) != 0; }
    // The option's value, or null when it was not given.
    const std::string* Value(const std::string& name) const;
};

// Parses args (without the program name) against the options in known.
// Options and positional arguments may come in any order. Returns false and
// sets error for an unknown option, a missing or unexpected value, or an
// option given twice.
bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& known,
               ParsedArgs& parsed, std::string& error);

} // namespace zuic

#endif
