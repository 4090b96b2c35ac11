// zuic: the command-line program of ZUICAPI.
#include "BuiltInReaders.h"
#include "Cli.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    zuic::RegisterBuiltInReaders();
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    return zuic::Main(args, std::cout, std::cerr);
}
