// zarvo-cli aggregate: address lists as sets: merged into the fewest CIDR blocks or
// ranges, counted, less a second set or in common with it.
#pragma once

#include <string>
#include <vector>

#include "cli/CliArgs.h"

namespace zarvo::cli {

struct TAggregateArgs {
    bool Help = false;
    bool Ranges = false;
    bool Count = false;
    std::vector<std::string> Files;  // "-" for standard input; none for standard input
    std::vector<std::string> Except; // each subtracted
    std::vector<std::string> Common; // each intersected

    bool operator==(const TAggregateArgs&) const = default;
};

std::vector<TOption> AggregateOptions(TAggregateArgs& into);
std::string AggregateHelp();
// Raises TUsageError (exit code 2); with Help set nothing after --help was read.
TAggregateArgs ParseAggregateArgs(const std::vector<std::string>& args);

} // namespace zarvo::cli
