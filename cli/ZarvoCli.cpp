#include "cli/ZarvoCli.h"

#include <cerrno>
#include <iostream>
#include <new>

#include "cli/CliArgs.h"

namespace zarvo::cli {

namespace {

const TCommand kCommands[] = {
    {"generate", "turn IP ranges into address lines", &RunGenerate},
    {"mmdb", "print a MaxMind DB file as metadata and CSV rows", &RunMmdb},
    {"lookup", "look addresses up in a MaxMind DB file", &RunLookup},
    {"rdns", "reverse DNS lookup of address lines (PTR queries)", &RunRdns},
    {"view", "print a CSV or text file as the file viewer shows it, or count its rows", &RunView},
    {"aggregate", "merge address lists into the fewest CIDR blocks; subtract, intersect, count",
     &RunAggregate},
};

void PrintUsage(std::ostream& os) {
    os << "Usage: zarvo-cli COMMAND [OPTIONS]\n\nCommands:\n";
    for (const TCommand& c : kCommands)
        os << "  " << c.Name << std::string(12 - std::string(c.Name).size(), ' ') << c.Summary << "\n";
    // Listed as the commands list theirs, so that the manual page and the shell
    // completion can be held to the same form.
    os << "\nOptions:\n"
       << OptionsHelp(
              {{.Short = "-h", .Long = "--help", .Kind = TOptionKind::Help, .Help = "this help"},
               {.Long = "--version", .Kind = TOptionKind::Help, .Help = "print the version and exit"}});
    os << "\nRun 'zarvo-cli COMMAND --help' for the options of a command.\n"
       << "Version " << ZARVO_VERSION << "\n";
}

int Dispatch(std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        PrintUsage(err);
        return 2;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        PrintUsage(out);
        return 0;
    }
    if (args[0] == "--version") {
        out << "zarvo-cli " << ZARVO_VERSION << "\n";
        return 0;
    }
    for (const TCommand& c : kCommands)
        if (args[0] == c.Name) {
            args.erase(args.begin());
            return c.Run(args, in, out, err);
        }
    err << "zarvo-cli: unknown command '" << args[0] << "'\n\n";
    PrintUsage(err);
    return 2;
}

} // namespace

int RunCli(std::vector<std::string> args, std::istream& in, std::ostream& out, std::ostream& err) {
    try {
        const int code = Dispatch(args, in, out, err);
        CheckOutput(out);
        return code;
    } catch (const TOutputError& e) {
        // The reader went away (| head -1): nothing failed that the user must hear of.
        if (e.Errno == EPIPE) return kExitBrokenPipe;
        err << "zarvo-cli: " << e.what() << "\n";
    } catch (const std::bad_alloc&) {
        err << kNotEnoughMemory << "\n";
    }
    return 1;
}

} // namespace zarvo::cli
