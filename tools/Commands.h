// The table of zuic's subcommands.
#ifndef ZUIC_COMMANDS_H
#define ZUIC_COMMANDS_H

#include "Command.h"

#include <string>
#include <vector>

namespace zuic {

#define ZUIC_COMMAND(name) extern const CommandSpec name##Command;
#include "CommandList.h"
#undef ZUIC_COMMAND

// Every subcommand, in the order of CommandList.h.
const std::vector<const CommandSpec*>& AllCommands();

// The subcommand of that name, or null.
const CommandSpec* FindCommand(const std::string& name);

} // namespace zuic

#endif
