#include "Commands.h"

namespace zuic {

const std::vector<const CommandSpec*>& AllCommands() {
    static const std::vector<const CommandSpec*> commands = {
#define ZUIC_COMMAND(name) &name##Command,
#include "CommandList.h"
#undef ZUIC_COMMAND
    };
    return commands;
}

const CommandSpec* FindCommand(const std::string& name) {
    for (const CommandSpec* command : AllCommands()) {
        if (command->name == name) {
            return command;
        }
    }
    return nullptr;
}

OptionSpec ReaderOption() {
    return {"reader", "R",
            "the reader: a built-in simulated reader (sim...), a PC/SC reader's name or a part "
            "of it, or its index from 0 in the PC/SC list of zuic readers; by default the first "
            "PC/SC reader, else the simulated card"};
}

} // namespace zuic
