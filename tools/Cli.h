// zuic's front: reads the command line, finds the subcommand, prints help,
// and hands the subcommand its options and arguments.
#ifndef ZUIC_CLI_H
#define ZUIC_CLI_H

#include <ostream>
#include <string>
#include <vector>

namespace zuic {

// Runs zuic with args (without the program name), writing to out and err.
// Returns the exit status.
int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace zuic

#endif
