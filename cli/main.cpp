#include <iostream>

#include "cli/ZarvoCli.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    return zarvo::cli::RunCli(args, std::cin, std::cout, std::cerr);
}
