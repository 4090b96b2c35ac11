// Every example that zuic's help and README show is run against the
// simulated card and must print what it shows. An example is a line
// "$ zuic ARGS" (in --help indented by two spaces) and the lines under it:
// standard output and error as they come, "..." for any number of lines.
// "$ cat FILE" gives FILE's lines, which later examples name as an argument;
// "$ echo $?" the exit status of the example before. Bytes that a card makes
// up (challenges) and timings are masked on both sides.
#include "tools/Cli.h"
#include "tools/Commands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// Runs the built zuic; standard output and error go to one file, in order.
int RunZuic(const std::vector<std::string>& args, std::string& output) {
    const std::string program = std::string(ZUIC_BINARY_DIR) + "/tools/zuic";
    char path[] = "/tmp/zuic_examples_test_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        return -1;
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fd, 1);
    posix_spawn_file_actions_adddup2(&actions, fd, 2);
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int wstatus = 0;
        if (waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) {
            status = WEXITSTATUS(wstatus);
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fd);
    output = ReadAll(path);
    std::remove(path);
    return status;
}

// Words of a command line as a shell splits them: quotes group, and
// "| tail -N" or "| head -N" at the end keeps that many lines.
std::vector<std::string> Words(const std::string& line, int& tail, int& head) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else {
                word += c;
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (c == ' ') {
            if (inWord) {
                words.push_back(word);
            }
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    tail = head = -1;
    for (size_t i = 0; i + 2 < words.size(); ++i) {
        if (words[i] == "|") {
            int n = std::atoi(words[i + 2].c_str() + 1);
            (words[i + 1] == "tail" ? tail : head) = n;
            words.resize(i);
            break;
        }
    }
    return words;
}

// Challenge bytes (the answer to GET CHALLENGE 00 84) and timings.
std::vector<std::string> Masked(const std::vector<std::string>& lines) {
    static const std::regex seconds("\\([0-9]+\\.[0-9]+ s\\)");
    static const std::regex challenge(">>? 00 84 00 00 ");
    std::vector<std::string> masked;
    bool afterChallenge = false;
    for (std::string line : lines) {
        line = std::regex_replace(line, seconds, "(T s)");
        size_t answer = line.find("< ");
        if (afterChallenge && answer != std::string::npos) {
            line = line.substr(0, answer + 2) + "(random)";
        }
        afterChallenge = std::regex_search(line, challenge);
        masked.push_back(line);
    }
    return masked;
}

// Whether got matches want, where a want line "..." stands for any lines.
bool Matches(const std::vector<std::string>& want, size_t w, const std::vector<std::string>& got,
             size_t g) {
    if (w == want.size()) {
        return g == got.size();
    }
    if (want[w] == "...") {
        for (size_t skip = g; skip <= got.size(); ++skip) {
            if (Matches(want, w + 1, got, skip)) {
                return true;
            }
        }
        return false;
    }
    return g < got.size() && want[w] == got[g] && Matches(want, w + 1, got, g + 1);
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

struct Example {
    std::string command; // after "$ "
    std::vector<std::string> shown;
};

// The examples of one text: lines "$ ..." (after the indent) and what
// follows them up to the next "$" line or the end of the text.
std::vector<Example> ExamplesIn(const std::vector<std::string>& text) {
    std::vector<Example> examples;
    for (const std::string& line : text) {
        if (line.compare(0, 2, "$ ") == 0) {
            examples.push_back({line.substr(2), {}});
        } else if (!examples.empty()) {
            examples.back().shown.push_back(line);
        }
    }
    for (Example& example : examples) {
        while (!example.shown.empty() && example.shown.back().empty()) {
            example.shown.pop_back();
        }
    }
    return examples;
}

// Runs the examples in order; returns how many zuic ran.
int CheckExamples(const std::vector<Example>& examples, const std::string& where) {
    std::map<std::string, std::string> files; // name as shown -> temporary path
    int lastStatus = -1;
    int ran = 0;
    for (const Example& example : examples) {
        SCOPED_TRACE(where + ": $ " + example.command);
        int tail = -1, head = -1;
        std::vector<std::string> words = Words(example.command, tail, head);
        if (words.size() == 2 && words[0] == "cat") {
            char path[] = "/tmp/zuic_examples_file_XXXXXX";
            int fd = mkstemp(path);
            EXPECT_GE(fd, 0);
            close(fd);
            std::ofstream(path) << Joined(example.shown);
            files[words[1]] = path;
            continue;
        }
        if (example.command == "echo $?") {
            EXPECT_EQ(std::vector<std::string>{std::to_string(lastStatus)}, example.shown);
            continue;
        }
        const bool isZuic =
            !words.empty() && (words[0] == "zuic" || words[0] == "./build/tools/zuic");
        if (!isZuic) {
            ADD_FAILURE() << "an example runs zuic, cat or echo $?";
            continue;
        }
        words.erase(words.begin());
        for (std::string& word : words) {
            if (files.count(word) != 0) {
                word = files[word];
            }
        }
        std::string output;
        lastStatus = RunZuic(words, output);
        ++ran;
        std::vector<std::string> got = Lines(output);
        if (tail >= 0 && got.size() > static_cast<size_t>(tail)) {
            got.erase(got.begin(), got.end() - tail);
        }
        if (head >= 0 && got.size() > static_cast<size_t>(head)) {
            got.resize(head);
        }
        for (auto& file : files) { // paths shown as the example names them
            for (std::string& line : got) {
                size_t at;
                while ((at = line.find(file.second)) != std::string::npos) {
                    line.replace(at, file.second.size(), file.first);
                }
            }
        }
        const std::vector<std::string> want = Masked(example.shown);
        got = Masked(got);
        EXPECT_TRUE(Matches(want, 0, got, 0)) << "shown:\n"
                                              << Joined(want) << "printed:\n"
                                              << Joined(got);
    }
    for (auto& file : files) {
        std::remove(file.second.c_str());
    }
    return ran;
}

} // namespace

TEST(ZuicExamples, EveryHelpExamplePrintsWhatItShows) {
    int ran = 0;
    for (const zuic::CommandSpec* command : zuic::AllCommands()) {
        std::vector<std::string> text;
        for (const std::string& line : Lines(command->details)) {
            text.push_back(line.compare(0, 2, "  ") == 0 ? line.substr(2) : line);
        }
        std::vector<Example> examples = ExamplesIn(text);
        // sim --vpcd serves until interrupted: its example needs vpcd and is
        // run by the package check.
        if (command->name == "sim") {
            continue;
        }
        EXPECT_FALSE(examples.empty()) << "zuic " << command->name << " --help has no example";
        ran += CheckExamples(examples, "zuic " + command->name + " --help");
    }
    EXPECT_GE(ran, 8);
}

TEST(ZuicExamples, EveryReadmeExamplePrintsWhatItShows) {
    // README's console blocks; tests/vectors lies two levels below the top.
    const std::string readme = ReadAll(std::string(ZUIC_VECTORS_DIR) + "/../../README.md");
    ASSERT_FALSE(readme.empty());
    std::vector<std::string> block;
    std::vector<Example> examples;
    bool inConsole = false;
    for (const std::string& line : Lines(readme)) {
        if (!inConsole && line == "```console") {
            inConsole = true;
            block.clear();
        } else if (inConsole && line == "```") {
            inConsole = false;
            for (Example& e : ExamplesIn(block)) {
                examples.push_back(e);
            }
        } else if (inConsole) {
            block.push_back(line);
        }
    }
    EXPECT_GE(CheckExamples(examples, "README"), 6);
}

// The man page keeps up with --help: every command, and every option that
// the general help and each command's help list.
TEST(ZuicExamples, TheManPageNamesEveryCommandAndOption) {
    const std::string man = ReadAll(std::string(ZUIC_VECTORS_DIR) + "/../../tools/zuic.1");
    ASSERT_FALSE(man.empty());
    auto has = [&man](const std::string& text) { return man.find(text) != std::string::npos; };
    std::vector<std::vector<std::string>> helps = {{"--help"}};
    for (const zuic::CommandSpec* command : zuic::AllCommands()) {
        EXPECT_TRUE(has("\n.SS " + command->name + "\n") || has("\n.SS \"" + command->name + " "))
            << "no section for " << command->name;
        helps.push_back({command->name, "--help"});
    }
    int options = 0;
    for (const std::vector<std::string>& args : helps) {
        std::ostringstream out, err;
        ASSERT_EQ(0, zuic::Main(args, out, err));
        for (const std::string& line : Lines(out.str())) {
            if (line.compare(0, 4, "  --") != 0) {
                continue;
            }
            std::string name = line.substr(4, line.find_first_of(" ,", 4) - 4);
            std::string roff; // "-" as the man page writes it
            for (char c : name) {
                roff += c == '-' ? std::string("\\-") : std::string(1, c);
            }
            EXPECT_TRUE(has(".B \\-\\-" + roff + "\n") || has(".BI \\-\\-" + roff + " ") ||
                        has(".BR \\-\\-" + roff + " "))
                << "--" << name << " (zuic " << args[0] << ") is not in the man page";
            ++options;
        }
    }
    EXPECT_GE(options, 20);
}
