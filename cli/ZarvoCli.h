// The command line's entry: takes the arguments (without the program name) and the
// three standard streams, returns the exit code. main() only forwards here.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace zarvo::cli {

int RunCli(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

// One subcommand: its name, a one-line summary, and its entry.
struct TCommand {
    const char* Name;
    const char* Summary;
    int (*Run)(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
};

int RunGenerate(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
int RunMmdb(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
int RunLookup(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

} // namespace zarvo::cli
