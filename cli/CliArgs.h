// Small helpers shared by the subcommands: option scanning and output.
#pragma once

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/StringList.h"

namespace zarvo::cli {

// A mistake in the command's words (exit code 2).
class TUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Walks the arguments; "--name=value" and "--name value" both work.
class TArgParser {
public:
    TArgParser(const std::vector<std::string>& args, std::string command)
        : FArgs(args), FCommand(std::move(command)) {}
    bool Next();
    bool Is(const char* name) const { return FName == name; }
    bool Is(const char* shortName, const char* longName) const { return Is(shortName) || Is(longName); }
    bool IsOption() const { return FIsOption; }
    const std::string& Arg() const { return FArgs[FIndex]; }
    std::string Value();
    // The value as typed, once checked by the integer-text rule.
    std::string IntText();
    uint64_t UIntValue();

private:
    const std::vector<std::string>& FArgs;
    std::string FCommand;
    size_t FIndex = SIZE_MAX;
    std::string FName;
    std::string FInlineValue;
    bool FHasInline = false, FIsOption = false, FOnlyPositional = false;
};

// One line each, "\n" after every line.
void WriteLines(const TStringList& lines, std::ostream& out);
// A message for a terminal: CR LF becomes LF.
std::string PlainMessage(std::string msg);

} // namespace zarvo::cli
