#include "CommandRun.h"

#include "CardExchange.h"
#include "CommandSend.h"
#include "Commands.h"
#include "ReaderSelection.h"
#include "common/StatusWords.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sys/stat.h>

namespace zuic {

namespace {

int RunRun(const Invocation& invocation, Output& output) {
    const std::vector<std::string>& args = invocation.args.positionals;
    if (args.size() != 1) {
        output.Error(args.empty() ? "run needs a script file (see zuic run --help)"
                                  : "run takes one script file, got " +
                                        std::to_string(args.size()) + " arguments");
        return kExitBadInput;
    }
    std::vector<ScriptLine> lines;
    if (!LoadScript(args.front(), lines, output)) {
        return kExitBadInput;
    }
    return RunOnCommandReader(invocation.Reader(), output,
                              [&](CZUReader& reader, const std::string& name) {
                                  return RunScript(reader, name, lines, output);
                              });
}

bool Met(const ScriptLine& line, const ExchangeOutcome& outcome) {
    if (!outcome.answered && outcome.sw == 0) {
        return false;
    }
    if (!line.hasExpectation) {
        return outcome.accepted;
    }
    return line.expected.Matches(outcome.sw) ||
           (!outcome.raw.empty() && line.expected.Matches(outcome.firstSw));
}

std::string Seconds(std::chrono::steady_clock::duration elapsed) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f s", std::chrono::duration<double>(elapsed).count());
    return buffer;
}

} // namespace

bool LoadScript(const std::string& path, std::vector<ScriptLine>& lines, Output& output) {
    std::string error;
    bool parsed = false;
    if (path == "-") {
        parsed = ParseScript(std::cin, lines, error);
    } else {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            output.Error("cannot read script '" + Printable(path, 200) +
                         "': " + std::strerror(errno));
            return false;
        }
        if (S_ISDIR(info.st_mode)) {
            output.Error("cannot read script '" + Printable(path, 200) + "': it is a directory");
            return false;
        }
        std::ifstream in(path);
        if (!in) {
            output.Error("cannot read script '" + Printable(path, 200) +
                         "': " + std::strerror(errno));
            return false;
        }
        parsed = ParseScript(in, lines, error);
    }
    if (!parsed) {
        output.Error(Printable(path, 200) + ": " + error);
        return false;
    }
    if (lines.empty()) {
        output.Error(Printable(path, 200) + ": the script has no commands");
        return false;
    }
    return true;
}

int RunScript(CZUReader& reader, const std::string& readerName,
              const std::vector<ScriptLine>& lines, Output& output) {
    std::ostream& out = output.Out();
    const bool quiet = lines.size() > kProgressThreshold && !output.Tracing();
    const size_t step = (lines.size() + 9) / 10;
    const auto start = std::chrono::steady_clock::now();
    CardExchange exchange(reader, output);

    for (size_t i = 0; i < lines.size(); ++i) {
        const ScriptLine& line = lines[i];
        const std::string label = "line " + std::to_string(line.number) + " ";
        if (!quiet) {
            PrintCommand(output, label, line.apdu.Wire());
        }
        ExchangeOutcome outcome = exchange.Send(line.apdu);
        const bool met = Met(line, outcome);
        std::string suffix;
        if (line.hasExpectation) {
            suffix = "  [expected " + line.expected.ToString();
            if (met && !line.expected.Matches(outcome.sw)) {
                suffix += ": first answer " + FormatStatusWord(outcome.firstSw);
            }
            suffix += met ? "]" : ": mismatch]";
        }
        if (!met) {
            if (quiet) {
                PrintCommand(output, label, line.apdu.Wire());
            }
            PrintAnswer(output, outcome, suffix);
            const std::string wanted =
                line.hasExpectation ? line.expected.ToString() : "90 00 (success)";
            const bool answered = outcome.sw != 0; // a failed exchange leaves 00 00
            const std::string got = !answered ? "no answer: " + FailureText(outcome, readerName)
                                              : FormatStatusWord(outcome.sw) + " (" +
                                                    DescribeStatusWord(outcome.sw) + ")";
            std::string message = "line " + std::to_string(line.number) + ": expected ";
            message += wanted;
            message += ", got ";
            message += got;
            output.Error(message);
            out << "summary: " << lines.size() << " commands, " << i + 1 << " run, " << i
                << " as expected, mismatch at line " << line.number << ", " << lines.size() - i - 1
                << " not run (" << Seconds(std::chrono::steady_clock::now() - start) << ")\n";
            return answered ? kExitRefused : ExitStatusFor(outcome.failure.reason);
        }
        if (!quiet) {
            PrintAnswer(output, outcome, suffix);
        } else if ((i + 1) % step == 0 && i + 1 != lines.size()) {
            out << "progress: " << i + 1 << " of " << lines.size() << " commands ("
                << (i + 1) * 100 / lines.size() << "%)\n";
            out.flush();
        }
    }
    out << "summary: " << lines.size() << " commands, " << lines.size() << " run, " << lines.size()
        << " as expected (" << Seconds(std::chrono::steady_clock::now() - start) << ")\n";
    return kExitOk;
}

const CommandSpec runCommand = {
    "run",
    "run [--reader R] FILE",
    "run a script of APDUs, checking each status word",
    "Runs a script of APDUs (FILE, or - for standard input), one a line, and\n"
    "stops at the first line whose answer is not the one it expects. Text from\n"
    "# to the end of a line is a comment. A line may end with '= SW', the\n"
    "status word it expects: four hex digits, X for any digit (= 9000,\n"
    "= 6A82, = 61XX, = 63CX). A line without one expects 90 00. The whole\n"
    "script is read and checked before its first command is sent; a line that\n"
    "cannot be parsed is bad input (exit status 2) and is named by its number.\n"
    "\n"
    "The reader answers 61 XX with GET RESPONSE and 6C XX by sending the\n"
    "command again with Le = XX; an expectation is met by the final status\n"
    "word or by the card's first answer, so '= 61XX' holds for a command whose\n"
    "data then came with GET RESPONSE. Scripts of more than 300 commands print\n"
    "a progress line every tenth of the way instead of every exchange.\n"
    "\n"
    "Exit status 0 when every line met its expectation, 1 at the first that\n"
    "did not (nothing after it is sent), 2 for bad input, 3 for reader, card\n"
    "or service trouble, named in the message (no such reader, no card, the\n"
    "card removed or reset, the reader or the PC/SC service gone, the card\n"
    "held by another program past the timeout).\n"
    "\n"
    "Example (the simulated card starts blank: the script creates its master\n"
    "file first):\n"
    "  $ cat select.apdu\n"
    "  # create the master file, select it, ask for a challenge, look for a file\n"
    "  80 E0 00 00 0A 00 02 20 26 00 00 00 00 12 34\n"
    "  00 A4 00 00 02 3F 00   = 9000\n"
    "  00 84 00 00 04\n"
    "  00 A4 00 00 02 12 34   = 6A82   # no such file\n"
    "  $ zuic run --reader sim select.apdu\n"
    "  line 2 > 80 E0 00 00 0A 00 02 20 26 00 00 00 00 12 34\n"
    "    SW 90 00 success\n"
    "  line 3 > 00 A4 00 00 02 3F 00\n"
    "  < 6F 16 83 02 3F 00 82 01 38 8A 01 01 85 0A 00 02\n"
    "    20 26 00 00 00 00 12 34\n"
    "    SW 90 00 success  [expected 90 00]\n"
    "  ...\n"
    "  summary: 4 commands, 4 run, 4 as expected (0.00 s)\n",
    {ReaderOption()},
    &RunRun,
};

} // namespace zuic
