#include <iostream>

#include "cli/FdStream.h"
#include "cli/ZarvoCli.h"

int main(int argc, char** argv) {
    zarvo::cli::TFdInBuf inBuf(0);
    zarvo::cli::TFdOutBuf outBuf(1);
    std::istream in(&inBuf);
    std::ostream out(&outBuf);
    const std::vector<std::string> args(argv + 1, argv + argc);
    return zarvo::cli::RunCli(args, in, out, std::cerr);
}
