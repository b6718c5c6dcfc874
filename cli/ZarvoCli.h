// The command line's entry: takes the arguments (without the program name) and the
// three standard streams, returns the exit code. main() only forwards here.
#pragma once

#include <csignal>
#include <iosfwd>
#include <string>
#include <vector>

namespace zarvo::cli {

// Exit code 0 on success, 1 for a failed run (also when standard output cannot be
// written: "zarvo-cli: cannot write output: REASON"), 2 for bad words. A closed pipe
// ends the program by SIGPIPE before a write returns; if the signal is blocked or
// ignored (as in a test) the run ends quietly with kExitBrokenPipe. The arguments are
// taken over (main moves them in): the command's own are them less the first, not a copy.
int RunCli(std::vector<std::string> args, std::istream& in, std::ostream& out, std::ostream& err);

// The status a shell shows for a process that SIGPIPE ended.
inline constexpr int kExitBrokenPipe = 128 + SIGPIPE;

// One subcommand: its name, a one-line summary, and its entry.
struct TCommand {
    const char* Name;
    const char* Summary;
    int (*Run)(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
};

int RunGenerate(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
int RunMmdb(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
int RunLookup(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
int RunRdns(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
int RunView(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
int RunAggregate(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                 std::ostream& err);

} // namespace zarvo::cli
