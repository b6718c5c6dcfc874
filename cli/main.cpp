#include <signal.h>

#include <iostream>
#include <utility>

#include "cli/FdStream.h"
#include "cli/ZarvoCli.h"
#include "support/AtomicFile.h"

int main(int argc, char** argv) {
    // A reader that goes away (zarvo-cli generate ... | head -1) ends the program
    // by SIGPIPE at the next write, as it ends any filter, also when the parent
    // left the signal ignored or blocked.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t sigpipe;
    sigemptyset(&sigpipe);
    sigaddset(&sigpipe, SIGPIPE);
    ::sigprocmask(SIG_UNBLOCK, &sigpipe, nullptr);
    // Ctrl+C or kill ends a run as it would end any program, but first removes the
    // temporary files of -o and --unresolved: their targets stay as they were.
    // Installed before any thread starts.
    zarvo::RemoveTemporaryFilesOnTermination();

    zarvo::cli::TFdInBuf inBuf(0);
    zarvo::cli::TFdOutBuf outBuf(1);
    std::istream in(&inBuf);
    std::ostream out(&outBuf);
    std::vector<std::string> args(argv + 1, argv + argc);
    return zarvo::cli::RunCli(std::move(args), in, out, std::cerr);
}
