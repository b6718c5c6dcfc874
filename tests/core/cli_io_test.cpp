// Every input and output path of zarvo-cli against what a broken or hostile
// environment hands it: range input that cannot be read or never ends, output
// that fails or whose reader goes away, multi-line values, and memory that runs
// out. Where signals, exit statuses and memory limits must be real, the built
// program runs in a child process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include "cli/FdStream.h"
#include "cli/GenerateCommand.h"
#include "cli/ZarvoCli.h"
#include "mmdb_builder.h"

namespace fs = std::filesystem;
using namespace zarvo;
using namespace zarvo::cli;
using mmdbtest::TestDb;

namespace {

#ifdef __SANITIZE_ADDRESS__
constexpr bool kAddressSanitizer = true; // its shadow memory needs more address space than a limit leaves
#else
constexpr bool kAddressSanitizer = false;
#endif

const std::string kCannotWrite =
    std::string("zarvo-cli: cannot write output: ") + std::strerror(ENOSPC) + "\n";

struct TFd {
    int Fd = -1;
    explicit TFd(int fd) : Fd(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() { Close(); }
    void Close() {
        if (Fd >= 0) ::close(Fd);
        Fd = -1;
    }
};

struct TRun {
    int Code;
    std::string Out, Err;
};

// In-process, with standard input read from inFd, or standard output written to
// outFd, through the program's own descriptor streams.
TRun RunReading(const std::vector<std::string>& args, int inFd) {
    TFdInBuf buf(inFd);
    std::istream in(&buf);
    std::ostringstream out, err;
    const int code = RunCli(args, in, out, err);
    return {code, out.str(), err.str()};
}

TRun RunWriting(const std::vector<std::string>& args, int outFd) {
    std::istringstream in;
    TFdOutBuf buf(outFd);
    std::ostream out(&buf);
    std::ostringstream err;
    const int code = RunCli(args, in, out, err);
    return {code, "", err.str()};
}

std::string ReplaceAll(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

std::string Replace(std::string text, const std::string& what, const std::string& with) {
    const size_t at = text.find(what);
    return at == std::string::npos ? text : text.replace(at, what.size(), with);
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Utf16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
}

class CliInput : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        dir =
            fs::temp_directory_path() /
            ("zarvo-cli-io-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string File(const std::string& name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return (dir / name).string();
    }
};

// Each hostile input through each way ranges come in: -r FILE, -r - and standard
// input. "%s" in the message stands for the source's name.
TEST_F(CliInput, EveryRangeSourceRefusesWhatItCannotRead) {
    const size_t cap = 1048576;
    struct Case {
        const char* what;
        std::string path, err, out = "";
        std::string fileErr = ""; // what -r FILE says instead of err
    };
    const Case cases[] = {
        {"a folder", dir.string(), "zarvo-cli generate: cannot read %s: Is a directory\n"},
        // A device is no range file; on standard input it is read as a stream.
        {"endless input without a line break", "/dev/zero",
         "zarvo-cli generate: %s, line 1: line longer than 1048576 bytes\n", "",
         "zarvo-cli generate: cannot read %s: Not a regular file (a character device)\n"},
        {"a line over the cap",
         File("long.txt", "10.0.0.1\n; c\n" + std::string(cap + 1, 'a') + "\n10.0.0.2\n"),
         "zarvo-cli generate: %s, line 3: line longer than 1048576 bytes\n"},
        {"a UTF-16 line over the cap", File("long16.txt", Utf16("10.0.0.1\r\n" + std::string(cap + 1, 'a'))),
         "zarvo-cli generate: %s, line 2: line longer than 1048576 UTF-16 code units\n"},
        {"a line at the cap", File("cap.txt", "10.0.0.1\n;" + std::string(cap - 1, 'a') + "\n"), "",
         "10.0.0.1\n"},
        {"a UTF-16 line at the cap", File("cap16.txt", Utf16(";" + std::string(cap - 1, 'a') + "\n10.0.0.1")),
         "", "10.0.0.1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TRun file = RunReading({"generate", "-r", c.path}, -1);
        const std::string fileErr = c.fileErr.empty() ? c.err : c.fileErr;
        EXPECT_EQ(file.Err, fileErr.empty() ? "1 IPs generated.\n"
                                            : Replace(fileErr, "%s", "range file '" + c.path + "'"));
        EXPECT_EQ(file.Out, c.out);
        EXPECT_EQ(file.Code, c.err.empty() ? 0 : 1);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"generate", "-r", "-"}, std::vector<std::string>{"generate"}}) {
            SCOPED_TRACE(args.size() == 1 ? "standard input" : "-r -");
            const TFd in(::open(c.path.c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_GE(in.Fd, 0);
            const TRun r = RunReading(args, in.Fd);
            EXPECT_EQ(r.Err, c.err.empty() ? "1 IPs generated.\n" : Replace(c.err, "%s", "standard input"));
            EXPECT_EQ(r.Out, c.out);
            EXPECT_EQ(r.Code, c.err.empty() ? 0 : 1);
        }
    }
    const std::string missing = (dir / "missing.txt").string();
    EXPECT_EQ(RunReading({"generate", "-r", missing}, -1).Err,
              "zarvo-cli generate: cannot read range file '" + missing + "': " + std::strerror(ENOENT) +
                  "\n");
}

// Every range line generate is given ends as its addresses (a comment as nothing) or as
// a message that names it by its source and number; one line that is no range refuses
// the whole run, so that a list is never taken for whole when a line of it was lost. The
// same through -r FILE, -r - and standard input, for good lines, malformed ones and the
// project's own lists.
TEST_F(CliInput, GenerateAccountsForEveryRangeLine) {
    const auto generated = [](std::vector<std::string> words) {
        words.insert(words.begin(), "generate");
        const TRun r = RunReading(words, -1);
        EXPECT_EQ(r.Code, 0) << r.Err;
        return r.Out;
    };
    const auto saved = [&](const char* delimiter) {
        const std::string path = (dir / (std::string("list-") + delimiter)).string();
        generated({"-o", path, "--list-delimiter", delimiter, "10.9.0.0/30"});
        return FileText(path);
    };
    using Lines = std::vector<std::string>;
    // What each line of the input gives: its lines joined by "\n", "" for a comment or
    // blank, "!" for a message that it is no range.
    struct Case {
        const char* Name;
        std::string Input;
        Lines Gives;
    } cases[] = {
        {"good lines",
         "10.0.0.0/30\n; a comment\n\nA=10.1.2.3/22/24\nfd00::/127\n  10.0.0.10  "
         "\r\n10.0.0.9\n;x=10.0.0.11\n",
         {"10.0.0.0\n10.0.0.1\n10.0.0.2\n10.0.0.3", "", "", "10.1.0.3\n10.1.1.3\n10.1.2.3\n10.1.3.3",
          "FD00::\nFD00::1", "10.0.0.10", "10.0.0.9", "10.0.0.11"}},
        {"a byte-order mark and CR LF",
         "\xEF\xBB\xBF"
         "10.0.0.1\r\n10.0.0.2\r\n",
         {"10.0.0.1", "10.0.0.2"}},
        // A prefix left empty is none, and blanks before the "/" are no part of the address;
        // but an address read only in part (a field taken as 0, text passed over) is no range.
        {"the range box's lenient addresses",
         "10.0.0.0/\n10.0.0.5 /32\n10.0.0.x\n256.1.1.1\n10.0.0.5 GB\n1:2:3:4:5:6:7:8:9\n",
         {"10.0.0.0", "10.0.0.5", "!", "!", "!", "!"}},
        {"malformed lines",
         "bad\n10.0.0.0/33\n::/129\n10.0.0.0/24/16\n10.0.0.0/abc\n10.0.0.0//24\n1.2.3/24\nA=\n"
         "10.0.0.0/24 x\n/24\n1::2::3/64\n\xEF\xBB\xBF\n",
         Lines(12, "!")},
        {"malformed among good ones",
         "10.0.0.1\n; fine\nbad\n\n10.0.0.2\n10.0.0.0/33\n",
         {"10.0.0.1", "", "!", "", "10.0.0.2", "!"}},
        {"generate's lines",
         generated({"10.9.0.0/31", "fd00::/127"}),
         {"10.9.0.0", "10.9.0.1", "FD00::", "FD00::1"}},
        {"generate -o, CR LF between lines", saved("eol"), {"10.9.0.0", "10.9.0.1", "10.9.0.2", "10.9.0.3"}},
        {"generate's lines with ports", generated({"--ports", "80,443", "10.9.0.0/31"}), Lines(4, "!")},
        {"generate's bracketed IPv6 lines", generated({"--escape-ipv6", "fd00::/127"}), Lines(2, "!")},
        {"generate's lines with names", generated({"--names", "host#", "10.9.0.0/31"}), Lines(2, "!")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::string> lines;
        for (size_t at = 0; at < c.Input.size();) {
            const size_t end = std::min(c.Input.find('\n', at), c.Input.size());
            lines.push_back(c.Input.substr(at, end - at));
            at = end + 1;
        }
        ASSERT_EQ(lines.size(), c.Gives.size());
        std::string out, messages;
        size_t made = 0, bad = 0;
        for (size_t k = 0; k < lines.size(); ++k) {
            if (c.Gives[k] == "!") {
                ++bad;
                messages += "zarvo-cli generate: %s, line " + std::to_string(k + 1) + ": '" + lines[k] +
                            "' is no range\n";
            } else if (!c.Gives[k].empty()) {
                out += c.Gives[k] + "\n";
                made += static_cast<size_t>(std::count(c.Gives[k].begin(), c.Gives[k].end(), '\n')) + 1;
            }
        }
        const std::string err = bad == 0 ? std::to_string(made) + " IPs generated.\n"
                                         : messages + "zarvo-cli generate: " + std::to_string(bad) +
                                               (bad == 1 ? " line holds" : " lines hold") +
                                               " no range; nothing was generated\n";
        const std::string path = File("input.txt", c.Input);
        const TRun file = RunReading({"generate", "-r", path}, -1);
        EXPECT_EQ(file.Out, bad ? "" : out);
        EXPECT_EQ(file.Err, ReplaceAll(err, "%s", "range file '" + path + "'"));
        EXPECT_EQ(file.Code, bad ? 1 : 0);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"generate", "-r", "-"}, std::vector<std::string>{"generate"}}) {
            const TFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            const TRun r = RunReading(args, in.Fd);
            EXPECT_EQ(r.Out, file.Out);
            EXPECT_EQ(r.Err, ReplaceAll(err, "%s", "standard input"));
            EXPECT_EQ(r.Code, file.Code);
        }
    }
    // Arguments are named by their place, and by their lines when they hold several.
    const TRun args = RunReading({"generate", "10.0.0.1", "bad", "10.0.0.2\nalso bad"}, -1);
    EXPECT_EQ(args.Err, "zarvo-cli generate: argument 2: 'bad' is no range\n"
                        "zarvo-cli generate: argument 3, line 2: 'also bad' is no range\n"
                        "zarvo-cli generate: 2 lines hold no range; nothing was generated\n");
    EXPECT_EQ(args.Code, 1);
    // A long line is named by its start.
    const TRun longLine = RunReading({"generate", std::string(100, 'x')}, -1);
    EXPECT_EQ(longLine.Err.substr(0, longLine.Err.find('\n')),
              "zarvo-cli generate: argument 1: '" + std::string(80, 'x') + "...' (100 bytes) is no range");
}

// The run of args in-process, aside: should it wait on path (a FIFO without a writer), a
// writer is opened to release it and the run reports "blocked" instead of hanging.
TRun RunAside(const std::vector<std::string>& args, const std::string& path) {
    auto run = std::async(std::launch::async, [&] {
        std::istringstream in;
        std::ostringstream out, err;
        const int code = RunCli(args, in, out, err);
        return TRun{code, out.str(), err.str()};
    });
    if (run.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return run.get();
    const TFd writer(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    run.wait();
    return {-1, "", "blocked"};
}

// Every file named on the command line is read only when it can be: a regular file, or
// a shell's pipe where a stream is read ("<(...)"). A named FIFO, which may never get a
// writer, a folder or a device is refused at once with the reason, as range files are.
TEST_F(CliInput, EveryFileTheCommandLineReadsIsRefusedAtOnceWhenItIsNoFile) {
    const std::string fifo = (dir / "fifo").string(), folder = dir.string(),
                      missing = (dir / "missing").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string noFile = std::strerror(ENOENT);
    // A shell's pipe with the given text, as "<(printf ...)" hands it over.
    const auto shellPipe = [](const std::string& text, std::unique_ptr<TFd>& keep) {
        int ends[2];
        EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        EXPECT_EQ(::write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(ends[1]);
        keep = std::make_unique<TFd>(ends[0]);
        return "/dev/fd/" + std::to_string(ends[0]);
    };
    struct Case {
        std::vector<std::string> Args; // "%s": the path
        std::string Path, Err;         // "%s": the path
        int Code = 1;
        std::string Out = "";
    };
    const std::string range = "zarvo-cli generate: cannot read range file '%s': ";
    const std::string settings = "Cannot open file \"%s\". ";
    std::unique_ptr<TFd> rangesPipe, settingsPipe, dbPipe;
    const Case cases[] = {
        {{"generate", "-r", "%s"}, fifo, range + "Not a regular file (a FIFO)\n"},
        {{"generate", "-r", "%s"}, "/dev/null", range + "Not a regular file (a character device)\n"},
        {{"generate", "-r", "%s"}, missing, range + noFile + "\n"},
        {{"generate", "-r", "%s"},
         shellPipe("10.0.0.0/31\n", rangesPipe),
         "2 IPs generated.\n",
         0,
         "10.0.0.0\n10.0.0.1\n"},
        {{"generate", "--settings", "%s", "10.0.0.1"}, fifo, settings + "Not a regular file (a FIFO)\n"},
        {{"generate", "--settings", "%s", "10.0.0.1"}, folder, settings + "Is a directory\n"},
        {{"generate", "--settings", "%s", "10.0.0.1"},
         "/dev/zero",
         settings + "Not a regular file (a character device)\n"},
        {{"generate", "--settings", "%s", "10.0.0.1"}, missing, settings + noFile + "\n"},
        {{"generate", "--settings", "%s"},
         shellPipe("IPRange1=10.0.0.2\r\nIPRangeN=1\r\n", settingsPipe),
         "1 IPs generated.\n",
         0,
         "10.0.0.2\n"},
        {{"generate", "--country", "%s", "10.0.0.1"}, fifo, settings + "Not a regular file\n"},
        {{"generate", "--country", "%s", "10.0.0.1"}, folder, settings + "Not a regular file\n"},
        {{"generate", "--country", "%s", "10.0.0.1"}, missing, "MMDB File not found\n"},
        {{"generate", "--country", "%s", "10.0.0.1"},
         shellPipe(FileText(TestDb("MaxMind-DB-test-ipv4-24.mmdb")), dbPipe),
         settings + "Not a regular file\n"},
        {{"lookup", "%s", "1.2.3.4"}, fifo, settings + "Not a regular file\n"},
        {{"lookup", "%s", "-"}, "/dev/zero", settings + "Not a regular file\n"},
        {{"mmdb", "%s"}, fifo, settings + "Not a regular file\n"},
        {{"view", "%s"}, fifo, "Cannot open %s.  Not a regular file\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.Args;
        for (std::string& a : args) a = Replace(a, "%s", c.Path);
        SCOPED_TRACE(args[0] + " " + args[1] + " " + c.Path);
        const TRun r = RunAside(args, c.Path);
        EXPECT_EQ(r.Err, Replace(c.Err, "%s", c.Path));
        EXPECT_EQ(r.Code, c.Code);
        EXPECT_EQ(r.Out, c.Out);
    }
}

// Output to a full disk: every command says so with the reason, exits 1, and
// generate tells no result for lines that were lost.
TEST(CliOutput, AFailedWriteIsReportedWithItsReason) {
    const std::string db = TestDb("GeoIP2-Country-Test.mmdb");
    const std::vector<std::string> commands[] = {
        {"generate", "10.0.0.0/30"},
        {"generate", "--names", "host#", "10.0.0.0/16"}, // many chunks
        {"generate", "--country", db, "81.2.69.160"},    // held until the run is complete
        {"generate", "--help"},
        {"mmdb", db},
        {"mmdb", "--help"},
        {"lookup", db, "81.2.69.160"},
        {"lookup", db, "81.2.69.160", "not-an-address"},
        {"lookup", "--help"},
        {"rdns", "--help"},
        {"--help"},
        {"--version"},
    };
    for (const std::vector<std::string>& args : commands) {
        SCOPED_TRACE(args[0] + " " + args[1 % args.size()]);
        const TFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
        ASSERT_GE(full.Fd, 0);
        const TRun r = RunWriting(args, full.Fd);
        EXPECT_EQ(r.Code, 1);
        EXPECT_EQ(r.Err, kCannotWrite);
    }
    // -o FILE reports its own way, naming the file.
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(RunCli({"generate", "-o", "/dev/full", "10.0.0.0/30"}, in, out, err), 1);
    EXPECT_EQ(err.str(), "Cannot create file \"/dev/full\". " + std::string(std::strerror(ENOSPC)) + "\n");
}

// A stream that fails without saying why still fails the run.
TEST(CliOutput, AStreamWithoutAReasonFailsTheRunToo) {
    struct TFailing : std::streambuf {
        int_type overflow(int_type) override { return traits_type::eof(); }
    } failing;
    std::istringstream in;
    std::ostream out(&failing);
    std::ostringstream err;
    EXPECT_EQ(RunCli({"generate", "10.0.0.0/30"}, in, out, err), 1);
    EXPECT_EQ(err.str(), "zarvo-cli: cannot write output\n");
}

// In a process that ignores SIGPIPE (as this one does here) a reader that goes away
// surfaces as EPIPE: the run ends without a message and with the status a shell
// shows for SIGPIPE, to standard output and to -o alike.
TEST(CliOutput, AReaderThatGoesAwayEndsTheRunQuietly) {
    void (*saved)(int) = ::signal(SIGPIPE, SIG_IGN);
    for (bool toFile : {false, true}) {
        SCOPED_TRACE(toFile ? "-o /dev/fd/N" : "standard output");
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        TFd readEnd(ends[0]), writeEnd(ends[1]);
        // The reader takes one piece and leaves; the run has far more to write.
        std::thread reader([&readEnd] {
            char piece[4096];
            (void)!::read(readEnd.Fd, piece, sizeof piece);
            readEnd.Close();
        });
        TRun r;
        if (toFile) {
            std::istringstream in;
            std::ostringstream out, err;
            const int code = RunCli(
                {"generate", "-o", "/dev/fd/" + std::to_string(writeEnd.Fd), "10.0.0.0/14"}, in, out, err);
            r = {code, out.str(), err.str()};
        } else {
            r = RunWriting({"generate", "10.0.0.0/14"}, writeEnd.Fd);
        }
        reader.join();
        EXPECT_EQ(r.Code, kExitBrokenPipe);
        EXPECT_EQ(r.Err, "");
    }
    ::signal(SIGPIPE, saved);
}

// ---- the built program ----

enum class TSigpipe { Default, Ignored, Blocked };

struct TChild {
    std::vector<std::string> Args; // Args[0] is the program
    std::string Stdout = "";       // a path; empty: a pipe nobody reads
    bool Append = false;           // Stdout opened for appending
    bool AtEnd = false;            // Stdout's offset at its end
    TSigpipe Sigpipe = TSigpipe::Default;
    rlim_t AddressSpace = RLIM_INFINITY;
};

struct TExit {
    int Status; // as waitpid gives it
    std::string Err;
};

TExit RunChild(const TChild& c) {
    std::vector<char*> argv;
    for (const std::string& a : c.Args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int err[2], out[2] = {-1, -1};
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    if (c.Stdout.empty()) {
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        ::close(out[0]); // nobody will read
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only calls that are safe between fork and exec.
        const int o =
            c.Stdout.empty() ? out[1] : ::open(c.Stdout.c_str(), O_WRONLY | (c.Append ? O_APPEND : 0));
        if (c.AtEnd && o >= 0) ::lseek(o, 0, SEEK_END);
        const int i = ::open("/dev/null", O_RDONLY);
        if (o < 0 || i < 0 || ::dup2(o, 1) < 0 || ::dup2(i, 0) < 0 || ::dup2(err[1], 2) < 0) ::_exit(126);
        if (c.Sigpipe == TSigpipe::Ignored) ::signal(SIGPIPE, SIG_IGN);
        if (c.Sigpipe == TSigpipe::Blocked) {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGPIPE);
            ::sigprocmask(SIG_BLOCK, &set, nullptr);
        }
        const struct rlimit limit = {c.AddressSpace, c.AddressSpace};
        if (c.AddressSpace != RLIM_INFINITY) ::setrlimit(RLIMIT_AS, &limit);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(err[1]);
    if (out[1] >= 0) ::close(out[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(err[0], buf, sizeof buf)) != 0;) {
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
        else if (errno != EINTR)
            break;
    }
    ::close(err[0]);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return {status, text};
}

TEST(CliProcess, AFullDiskIsReportedWithItsReason) {
    const std::string db = TestDb("GeoIP2-Country-Test.mmdb");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{ZARVO_CLI, "generate", "10.0.0.0/30"},
          {ZARVO_CLI, "generate", "--help"},
          {ZARVO_CLI, "mmdb", db},
          {ZARVO_CLI, "lookup", db, "81.2.69.160"}}) {
        SCOPED_TRACE(args[1] + " " + args[2]);
        const TExit r = RunChild({.Args = args, .Stdout = "/dev/full"});
        ASSERT_TRUE(WIFEXITED(r.Status));
        EXPECT_EQ(WEXITSTATUS(r.Status), 1);
        EXPECT_EQ(r.Err, kCannotWrite);
    }
}

// zarvo-cli generate ... | head -1: SIGPIPE ends the program, silently, whatever
// the parent left the signal as.
TEST(CliProcess, AClosedPipeEndsTheProgramBySigpipe) {
    for (TSigpipe inherited : {TSigpipe::Default, TSigpipe::Ignored, TSigpipe::Blocked}) {
        SCOPED_TRACE(static_cast<int>(inherited));
        const TExit r = RunChild({.Args = {ZARVO_CLI, "generate", "10.0.0.0/12"}, .Sigpipe = inherited});
        ASSERT_TRUE(WIFSIGNALED(r.Status)) << r.Status;
        EXPECT_EQ(WTERMSIG(r.Status), SIGPIPE);
        EXPECT_EQ(r.Err, "");
    }
}

// Endless ranges on standard input fill any memory; the run then says so in the
// system's words. (Under AddressSanitizer no address-space limit can be set.)
TEST(CliProcess, MemoryThatRunsOutIsSaidInTheSystemsWords) {
    if (kAddressSanitizer) GTEST_SKIP() << "address-space limit under AddressSanitizer";
    const TExit r = RunChild({.Args = {"/bin/sh", "-c", "yes | exec \"$0\" generate", ZARVO_CLI},
                              .Stdout = "/dev/null",
                              .AddressSpace = rlim_t{256} << 20});
    ASSERT_TRUE(WIFEXITED(r.Status)) << r.Status;
    EXPECT_EQ(WEXITSTATUS(r.Status), 1);
    EXPECT_EQ(r.Err, "Not enough memory\n");
}

// 256 addresses by 65535 ports: all 16776960 lines stream out, in a few MB of
// memory (the address space is capped far below what holding them would take).
TEST(CliProcess, PortLinesStreamInBoundedMemory) {
    if (kAddressSanitizer) GTEST_SKIP() << "address-space limit under AddressSanitizer";
    const fs::path fifo = fs::temp_directory_path() / ("zarvo-ports-" + std::to_string(::getpid()));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    uint64_t lines = 0, bytes = 0;
    std::string tail;
    std::thread reader([&] {
        const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        static char piece[1 << 16];
        for (ssize_t n; (n = ::read(fd, piece, sizeof piece)) != 0;) {
            if (n < 0) {
                if (errno == EINTR) continue;
                break;
            }
            bytes += static_cast<uint64_t>(n);
            lines += static_cast<uint64_t>(std::count(piece, piece + n, '\n'));
            tail.append(piece, static_cast<size_t>(n));
            if (tail.size() > 64) tail.erase(0, tail.size() - 64);
        }
        ::close(fd);
    });
    const TExit r = RunChild({.Args = {ZARVO_CLI, "generate", "--ports", "1-65535", "10.0.0.0/24"},
                              .Stdout = fifo.string(),
                              .AddressSpace = rlim_t{128} << 20});
    reader.join();
    fs::remove(fifo);
    ASSERT_TRUE(WIFEXITED(r.Status)) << r.Status;
    EXPECT_EQ(WEXITSTATUS(r.Status), 0);
    EXPECT_EQ(r.Err, "16776960 IPs generated.\n");
    EXPECT_EQ(lines, 256u * 65535u);
    // Each address's text and ":" and line break 65535 times, and the port digits:
    // 9 of one digit, 90 of two, 900 of three, 9000 of four, 55536 of five.
    uint64_t want = 0;
    for (int a = 0; a < 256; ++a)
        want += 65535 * (std::to_string(a).size() + 9) + 9 + 90 * 2 + 900 * 3 + 9000 * 4 + 55536 * 5;
    EXPECT_EQ(bytes, want);
    EXPECT_EQ(tail.substr(tail.size() - 34), "10.0.0.255:65534\n10.0.0.255:65535\n");
}

// With the country column a run can fail part-way on a bad database. Standard output on
// a regular file is cut back to where the run began (its lines streamed there); opened
// for appending, it gets the lines only once the run is complete. Either way a failed
// run leaves the file as it was, and a run that completes writes what a pipe gets.
TEST(CliProcess, CountryLinesOnAFileAreTakenBackWhenTheRunFails) {
    const std::string broken = TestDb("GeoIP2-City-Test-Broken-Double-Format.mmdb");
    const fs::path file = fs::temp_directory_path() / ("zarvo-takeback-" + std::to_string(::getpid()));
    // Some 260000 lines come before the last address meets the broken record.
    const std::vector<std::string> fails = {ZARVO_CLI, "generate",    "--country",
                                            broken,    "10.0.0.0/14", "2.125.160.216"};
    const std::vector<std::string> completes(fails.begin(), fails.end() - 1);
    std::istringstream none;
    std::ostringstream piped, pipedErr;
    ASSERT_EQ(RunCli(std::vector<std::string>(completes.begin() + 1, completes.end()), none, piped, pipedErr),
              0);
    for (const bool append : {false, true}) {
        for (const bool fail : {true, false}) {
            SCOPED_TRACE(std::string(append ? "appending, " : "at the end, ") +
                         (fail ? "fails" : "completes"));
            std::ofstream(file) << "before\n";
            const TExit r = RunChild(
                {.Args = fail ? fails : completes, .Stdout = file.string(), .Append = append, .AtEnd = true});
            ASSERT_TRUE(WIFEXITED(r.Status)) << r.Status;
            EXPECT_EQ(WEXITSTATUS(r.Status), fail ? 1 : 0);
            EXPECT_EQ(r.Err,
                      fail ? "The MaxMind DB file's data section contains bad data: invalid size of double.\n"
                           : "262144 IPs generated.\n");
            std::ifstream in(file, std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(text.size(), fail ? 7 : 7 + piped.str().size());
            EXPECT_TRUE(text == "before\n" + (fail ? std::string() : piped.str()));
        }
    }
    fs::remove(file);
}

// ---- values that would split an output line ----

TEST(CliLines, ASettingsValueWithALineBreakIsRefusedByItsKey) {
    struct Case {
        std::string TZarvoOptions::*field;
        const char* key;
    };
    const Case cases[] = {
        {&TZarvoOptions::NameTemplate, "NameTemplate"},
        {&TZarvoOptions::CounterSymbol, "CounterSymbol"},
        {&TZarvoOptions::NameCustomDelimiter, "NameCustomDelimiter"},
    };
    EXPECT_NO_THROW(CheckSingleLineSettings(TZarvoOptions{}, "s.ini"));
    for (const Case& c : cases) {
        for (const char* value : {"a\nb", "\r", "a\r\n"}) {
            TZarvoOptions o;
            o.*c.field = value;
            try {
                CheckSingleLineSettings(o, "s.ini");
                ADD_FAILURE() << c.key << " taken";
            } catch (const Exception& e) {
                EXPECT_EQ(std::string(e.what()),
                          std::string("zarvo-cli generate: settings file 's.ini': the value of ") + c.key +
                              " holds a line break");
            }
        }
    }
}

// A settings file cannot carry a line break into a value either: its lines end at
// CR or LF. The lines written are the lines counted.
TEST_F(CliInput, ASettingsFileCannotSplitAnOutputLine) {
    const std::string ini = File("zarvo2.ini", "GenerateNames=1\r\nNameTemplate=a\rb#\r\nCounterSymbol=#\r\n"
                                               "NameDelimiter=4\r\nNameCustomDelimiter=|\n|\r\n"
                                               "IPRangeN=1\r\nIPRange1=10.0.0.0/30\r\n");
    const TRun r = RunReading({"generate", "--settings", ini}, -1);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "a|10.0.0.0\na|10.0.0.1\na|10.0.0.2\na|10.0.0.3\n");
    EXPECT_EQ(r.Err, "4 IPs generated.\n");
}

} // namespace
