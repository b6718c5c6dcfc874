// Every input and output path of zarvo-cli against what a broken or hostile
// environment hands it: range input that cannot be read or never ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/FdStream.h"
#include "cli/ZarvoCli.h"

namespace fs = std::filesystem;
using namespace zarvo;
using namespace zarvo::cli;

namespace {

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

std::string Replace(std::string text, const std::string& what, const std::string& with) {
    const size_t at = text.find(what);
    return at == std::string::npos ? text : text.replace(at, what.size(), with);
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
    };
    const Case cases[] = {
        {"a folder", dir.string(), "zarvo-cli generate: cannot read %s: Is a directory\n"},
        {"endless input without a line break", "/dev/zero",
         "zarvo-cli generate: %s, line 1: line longer than 1048576 bytes\n"},
        {"a line over the cap",
         File("long.txt", "10.0.0.1\n; c\n" + std::string(cap + 1, 'a') + "\n10.0.0.2\n"),
         "zarvo-cli generate: %s, line 3: line longer than 1048576 bytes\n"},
        {"a UTF-16 line over the cap", File("long16.txt", Utf16("10.0.0.1\r\n" + std::string(cap + 1, 'a'))),
         "zarvo-cli generate: %s, line 2: line longer than 1048576 UTF-16 code units\n"},
        {"a line at the cap", File("cap.txt", "10.0.0.1\n" + std::string(cap, 'a') + "\n"), "", "10.0.0.1\n"},
        {"a UTF-16 line at the cap", File("cap16.txt", Utf16(std::string(cap, 'a') + "\n10.0.0.1")), "",
         "10.0.0.1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TRun file = RunReading({"generate", "-r", c.path}, -1);
        EXPECT_EQ(file.Err,
                  c.err.empty() ? "1 IPs generated.\n" : Replace(c.err, "%s", "range file '" + c.path + "'"));
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

} // namespace
