#include "ArgParser.h"

#include "Output.h"

namespace zuic {

namespace {

const OptionSpec* Find(const std::vector<OptionSpec>& known, const std::string& name) {
    for (const OptionSpec& spec : known) {
        if (spec.name == name) {
            return &spec;
        }
    }
    return nullptr;
}

} // namespace

const std::string* ParsedArgs::Value(const std::string& name) const {
    auto it = options.find(name);
    return it == options.end() ? nullptr : &it->second;
}

bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& known,
               ParsedArgs& parsed, std::string& error) {
    parsed = ParsedArgs();
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name;
        std::string value;
        bool inlineValue = false;
        if (arg == "-h") {
            name = "help";
        } else if (arg.compare(0, 2, "--") == 0) {
            size_t eq = arg.find('=');
            name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                inlineValue = true;
            }
        } else {
            error = "unknown option '" + Printable(arg) + "'";
            return false;
        }
        const OptionSpec* spec = Find(known, name);
        if (spec == nullptr) {
            error = "unknown option '--" + Printable(name) + "'";
            return false;
        }
        if (parsed.Has(name)) {
            error = "option --" + name + " given more than once";
            return false;
        }
        if (!spec->TakesValue()) {
            if (inlineValue) {
                error = "option --" + name + " takes no value";
                return false;
            }
        } else if (!inlineValue) {
            if (i + 1 >= args.size() || args[i + 1].compare(0, 2, "--") == 0) {
                error = "option --" + name + " needs a value (" + spec->valueName + ")";
                return false;
            }
            value = args[++i];
        }
        if (spec->TakesValue() && value.empty()) {
            error = "option --" + name + " needs a value (" + spec->valueName + ")";
            return false;
        }
        parsed.options[name] = value;
    }
    return true;
}

} // namespace zuic
