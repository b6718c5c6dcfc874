// zarvo-cli ended part-way by SIGINT (Ctrl+C) or SIGTERM (kill): the built program
// runs in a child process and gets the real signal while it writes -o FILE or
// waits on a silent DNS server with --unresolved FILE. It must die by that signal
// (the shell's 130 / 143), leave FILE as it was, and leave no temporary file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "common/DnsTestServers.h"
#include "mmdb_builder.h"
#include "test_files.h"

namespace fs = std::filesystem;
using namespace zarvo;
using namespace zarvo::test;

namespace {

const int kSignals[] = {SIGINT, SIGTERM};

// The program with standard input from /dev/null, standard output to /dev/null,
// standard error to a pipe, and SIGINT and SIGTERM as a shell's foreground job
// has them: default action, not blocked.
class TChild {
public:
    explicit TChild(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int err[2];
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        FPid = ::fork();
        if (FPid == 0) {
            // Only calls that are safe between fork and exec.
            const int null = ::open("/dev/null", O_RDWR);
            if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(err[1], 2) < 0) ::_exit(126);
            sigset_t set;
            sigemptyset(&set);
            for (const int sig : kSignals) {
                ::signal(sig, SIG_DFL);
                sigaddset(&set, sig);
            }
            ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(err[1]);
        FErr = err[0];
    }
    ~TChild() {
        if (!FEnded) {
            ::kill(FPid, SIGKILL);
            Wait();
        }
        ::close(FErr);
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    // Polls until ready() holds; false when the program ended first. Bounded, so that
    // a program that never gets there fails the test instead of hanging it.
    bool AwaitRunning(const std::function<bool()>& ready) {
        for (int i = 0; i < 12000; ++i) {
            if (ready()) return true;
            int status = 0;
            if (::waitpid(FPid, &status, WNOHANG) == FPid) {
                FEnded = true;
                FStatus = status;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the program never got there";
        return false;
    }
    void Signal(int sig) { EXPECT_EQ(::kill(FPid, sig), 0); }
    // The status as waitpid gives it.
    int Wait() {
        if (!FEnded) {
            int status = 0;
            while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
            }
            FEnded = true;
            FStatus = status;
        }
        return FStatus;
    }
    std::string Err() {
        std::string text;
        char buf[4096];
        for (ssize_t n; (n = ::read(FErr, buf, sizeof buf)) != 0;) {
            if (n > 0)
                text.append(buf, static_cast<size_t>(n));
            else if (errno != EINTR)
                break;
        }
        return text;
    }

private:
    pid_t FPid = -1;
    int FErr = -1;
    bool FEnded = false;
    int FStatus = 0;
};

std::vector<std::string> Entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The size of the temporary file the atomic writer keeps beside target
// (".NAME.PID-N.tmp"); nullopt while there is none.
std::optional<uintmax_t> TempSize(const fs::path& target) {
    const std::string prefix = "." + target.filename().string() + ".";
    for (const auto& e : fs::directory_iterator(target.parent_path())) {
        const std::string name = e.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".tmp") {
            std::error_code ec;
            const uintmax_t size = fs::file_size(e.path(), ec);
            if (!ec) return size;
        }
    }
    return std::nullopt;
}

std::string ReadFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// What an interrupted run must leave: death by the signal, no word on standard
// error, the folder as it was.
void ExpectEndedBy(TChild& child, int sig, const fs::path& dir, const std::vector<std::string>& entries) {
    const int status = child.Wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(child.Err(), "");
    EXPECT_EQ(Entries(dir), entries);
}

// 4096 addresses by 65535 ports would be some 4.8 GB: the signal comes once the
// temporary file has taken two of the writer's 1 MiB pieces. The country column
// runs its lookups on worker lanes, so there the signal may find another thread.
TEST(CliInterrupt, GenerateToAFileLeavesTheFileAsItWas) {
    std::vector<std::string> plain = {ZARVO_CLI, "generate", "--ports", "1-65535", "10.0.0.0/20"};
    std::vector<std::string> country(plain);
    country.insert(country.end(), {"--country", mmdbtest::TestDb("GeoIP2-Country-Test.mmdb")});
    for (const int sig : kSignals) {
        for (const std::vector<std::string>* args : {&plain, &country}) {
            SCOPED_TRACE(std::string(strsignal(sig)) + (args == &country ? ", country column" : ""));
            const TTempDir dir("interrupt");
            const fs::path file = dir.Path() / "list.txt";
            std::ofstream(file) << "the list of yesterday\n";
            std::vector<std::string> run = *args;
            run.insert(run.end(), {"-o", file.string()});
            TChild child(run);
            const bool running = child.AwaitRunning([&] { return TempSize(file).value_or(0) >= (2u << 20); });
            ASSERT_TRUE(running) << "status " << child.Wait() << ": " << child.Err();
            child.Signal(sig);
            ExpectEndedBy(child, sig, dir.Path(), {"list.txt"});
            EXPECT_EQ(ReadFile(file), "the list of yesterday\n");
        }
    }
}

// A pipe as -o is written in place (there is no file to keep whole): the run ends by
// the signal all the same, and nothing is left beside it.
TEST(CliInterrupt, GenerateToAPipeEndsByTheSignal) {
    for (const int sig : kSignals) {
        SCOPED_TRACE(strsignal(sig));
        const TTempDir dir("interrupt");
        const fs::path fifo = dir.Path() / "pipe";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        std::atomic<uint64_t> bytes{0};
        std::thread reader([&] {
            const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return;
            char piece[1 << 16];
            for (ssize_t n; (n = ::read(fd, piece, sizeof piece)) != 0;) {
                if (n > 0)
                    bytes += static_cast<uint64_t>(n);
                else if (errno != EINTR)
                    break;
            }
            ::close(fd);
        });
        TChild child({ZARVO_CLI, "generate", "--ports", "1-65535", "10.0.0.0/20", "-o", fifo.string()});
        const bool running = child.AwaitRunning([&] { return bytes >= (2u << 20); });
        if (running) child.Signal(sig);
        const int status = child.Wait();
        // A reader still waiting for a writer that never came.
        const int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (unblock >= 0) ::close(unblock);
        reader.join();
        ASSERT_TRUE(running) << "status " << status;
        ExpectEndedBy(child, sig, dir.Path(), {"pipe"});
    }
}

// rdns waiting on a server that never answers (in poll, with a long --timeout):
// the signal ends it at once, and --unresolved FILE stays as it was.
TEST(CliInterrupt, RdnsWaitingForAnswersLeavesTheUnresolvedFileAsItWas) {
    TScriptedDnsServer silent([](const TBytes&) { return std::vector<TDatagram>{}; });
    for (const int sig : kSignals) {
        SCOPED_TRACE(strsignal(sig));
        const TTempDir dir("interrupt");
        const fs::path input = dir.Path() / "addresses.txt";
        const fs::path unresolved = dir.Path() / "unresolved.txt";
        std::ofstream(input) << "10.0.0.1\n10.0.0.2\n";
        std::ofstream(unresolved) << "10.9.9.9\n";
        const size_t asked = silent.QueryCount();
        TChild child({ZARVO_CLI, "rdns", "-s", silent.Server(), "--timeout", "600000", "--unresolved",
                      unresolved.string(), input.string()});
        const bool running = child.AwaitRunning(
            [&] { return silent.QueryCount() >= asked + 2 && TempSize(unresolved).has_value(); });
        ASSERT_TRUE(running) << "status " << child.Wait() << ": " << child.Err();
        child.Signal(sig);
        ExpectEndedBy(child, sig, dir.Path(), {"addresses.txt", "unresolved.txt"});
        EXPECT_EQ(ReadFile(unresolved), "10.9.9.9\n");
    }
}

} // namespace
