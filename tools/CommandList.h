// zuic's subcommands, in the order "zuic --help" lists them. Each line names
// the CommandSpec that the file Command<Name>.cpp defines as
// <name>Command; adding a subcommand is one line here and that one file. A
// subcommand that needs the simulated card puts its line, and its file's
// body, inside #if defined(ZUIC_HAVE_SIM).
ZUIC_COMMAND(readers)
ZUIC_COMMAND(atr)
ZUIC_COMMAND(watch)
ZUIC_COMMAND(send)
ZUIC_COMMAND(run)
ZUIC_COMMAND(sim)
ZUIC_COMMAND(demo)
