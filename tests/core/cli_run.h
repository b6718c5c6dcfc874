// Runs zarvo-cli in-process with its standard streams captured.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/ZarvoCli.h"

namespace zarvo::test {

struct CliRun {
    int Code;
    std::string Out, Err;
};

inline CliRun Cli(const std::vector<std::string>& args, const std::string& input = {}) {
    std::istringstream in(input);
    std::ostringstream out, err;
    const int code = cli::RunCli(args, in, out, err);
    return {code, out.str(), err.str()};
}

} // namespace zarvo::test
