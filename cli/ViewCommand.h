// zarvo-cli view: the file viewer's preview and row count on the command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/CliArgs.h"

namespace zarvo::cli {

struct TViewArgs {
    bool Help = false;
    bool Count = false;
    bool NoHeader = false;
    bool CellLineBreaks = false;
    bool BackslashEscapes = false;
    int32_t Max = 1000;
    std::string File;

    bool operator==(const TViewArgs&) const = default;
};

std::vector<TOption> ViewOptions(TViewArgs& into);
std::string ViewHelp();
// Raises TUsageError (exit code 2); with Help set nothing after --help was read.
TViewArgs ParseViewArgs(const std::vector<std::string>& args);

// A field for one tab-separated output line: backslash, tab, LF and CR written as
// \\, \t, \n and \r.
std::string EscapeField(std::string_view value);

} // namespace zarvo::cli
