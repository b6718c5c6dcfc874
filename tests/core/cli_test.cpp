// The command line, run in-process: options, streams, files and exit codes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/ZarvoCli.h"
#include "test_files.h"

namespace fs = std::filesystem;

namespace {

struct CliResult {
    int code;
    std::string out, err;
};

CliResult Cli(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    const int code = zarvo::cli::RunCli(args, in, out, err);
    return {code, out.str(), err.str()};
}

std::string ReadFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

class CliFiles : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("zarvo-cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
};

TEST(Cli, GenerateToStandardOutput) {
    const CliResult r = Cli({"generate", "192.168.1.0/30", "::1/128"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "192.168.1.0\n192.168.1.1\n192.168.1.2\n192.168.1.3\n::1\n");
    EXPECT_EQ(r.err, "5 IPs generated.\n");
}

TEST(Cli, RangesFromStandardInput) {
    const CliResult r = Cli({"generate", "--usable"}, "; comment\r\nA=10.0.0.0/30\n\n");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "10.0.0.1\n10.0.0.2\n");
}

TEST(Cli, OptionsMeanWhatTheWindowsOptionsMean) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"--total", "3", "10.0.0.0/24", "10.1.0.0/24"}, "10.0.0.0\n10.0.0.1\n10.0.0.2\n"},
        {{"--total", "+0x2", "10.0.0.0/24"}, "10.0.0.0\n10.0.0.1\n"},
        {{"--each=1", "10.0.0.0/24", "10.1.0.0/24"}, "10.0.0.0\n10.1.0.0\n"},
        {{"--exclude", "*.0", "--exclude", "*.3", "10.0.0.0/30"}, "10.0.0.1\n10.0.0.2\n"},
        {{"--escape-ipv6", "--ports", "80", "::1"}, "[::1]:80\n"},
        {{"--ipv6-lower", "--escape-ipv6", "FD00::A/127", "10.0.0.1"}, "[fd00::a]\n[fd00::b]\n10.0.0.1\n"},
        {{"FD00::A/127"}, "FD00::A\nFD00::B\n"},
        {{"--ports", "22,80", "10.0.0.1"}, "10.0.0.1:22\n10.0.0.1:80\n"},
        // Nothing left to make lines of: no line, and no refusal.
        {{"--exclude", "*", "--ports", "80-90", "10.0.0.0/12"}, ""},
        {{"--names", "mail#.example", "--digits", "3", "10.0.0.0/31"},
         "mail001.example 10.0.0.0\nmail002.example 10.0.0.1\n"},
        {{"--names", "h@", "--counter-symbol", "@", "--first", "10", "--step", "-5", "--delimiter", "comma",
          "10.0.0.0/31"},
         "h10,10.0.0.0\nh5,10.0.0.1\n"},
        {{"--names", "%s-%4", "--delimiter", "tab", "web=10.0.0.9"}, "web-9\t10.0.0.9\n"},
        {{"--names", "x", "--delimiter", "semicolon", "10.0.0.9"}, "x;10.0.0.9\n"},
        {{"--names", "x", "--delimiter", " | ", "10.0.0.9"}, "x | 10.0.0.9\n"},
        {{"--first", "5", "10.0.0.9"}, "10.0.0.9\n"}, // counter options do nothing without names
        {{"--names", "%s", "--", "-a=10.0.0.1"}, "-a 10.0.0.1\n"},
        // A word with line breaks holds one range a line, as the window's range lines do.
        {{"10.0.0.1\r\n10.0.0.2"}, "10.0.0.1\n10.0.0.2\n"},
        {{"--names", "%s", "a=10.0.0.2\nb=10.0.0.1"}, "a 10.0.0.2\nb 10.0.0.1\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"generate"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliResult r = Cli(args);
        SCOPED_TRACE(args[1]);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
    }
}

TEST(Cli, SeedMakesRandomRunsRepeatable) {
    const std::vector<std::string> args{"generate", "--random", "--total", "20", "--seed", "7", "fd00::/64"};
    const CliResult a = Cli(args), b = Cli(args);
    EXPECT_EQ(a.code, 0);
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(std::count(a.out.begin(), a.out.end(), '\n'), 20);
    const CliResult c = Cli({"generate", "--random", "--total", "20", "--seed", "8", "fd00::/64"});
    EXPECT_NE(a.out, c.out);
}

TEST(Cli, Errors) {
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string errStart;
    };
    const Case cases[] = {
        {{}, 2, "Usage: zarvo-cli"},
        {{"frobnicate"}, 2, "zarvo-cli: unknown command 'frobnicate'"},
        {{"generate", "--bogus"}, 2, "zarvo-cli generate: unknown option '--bogus'"},
        {{"generate", "--total", "ten", "10.0.0.0/24"},
         2,
         "zarvo-cli generate: 'ten' is not a valid integer value"},
        // A count asks for addresses: none, or fewer than none, is no count.
        {{"generate", "--total", "-1", "10.0.0.0/28"},
         2,
         "zarvo-cli generate: --total takes a count of 1 or more, not '-1'\n"},
        {{"generate", "--each", "-2147483648", "10.0.0.0/28"},
         2,
         "zarvo-cli generate: --each takes a count of 1 or more, not '-2147483648'\n"},
        {{"generate", "--total=0", "10.0.0.0/28"},
         2,
         "zarvo-cli generate: --total takes a count of 1 or more"},
        {{"generate", "--each", "-0x1", "10.0.0.0/28"},
         2,
         "zarvo-cli generate: --each takes a count of 1 or more"},
        {{"generate", "--total", "2147483648", "10.0.0.0/28"},
         2,
         "zarvo-cli generate: '2147483648' is not a valid"},
        {{"generate", "--total", "1", "--each", "1"},
         2,
         "zarvo-cli generate: give only one of --total and --each"},
        {{"generate", "--ports"}, 2, "zarvo-cli generate: option '--ports' needs a value"},
        {{"generate", "--set", "x", "10.0.0.1"}, 2, "zarvo-cli generate: --set needs --settings FILE"},
        {{"generate", "--list-delimiter", "pipe"}, 2, "zarvo-cli generate: --list-delimiter takes"},
        {{"generate", "10.0.0.0/8"}, 1, "Too many IPs (2^24)\nMax. IP count: 1000000\n"},
        {{"generate", "--exclude", "[", "10.0.0.1"}, 1, "'[' is an invalid mask at (2)\n"},
        {{"generate", "--exclude", "10.0.0.0/33", "10.0.0.1"},
         1,
         "'10.0.0.0/33' is not an address, block or range, and as a mask it matches no address\n"},
        {{"generate", "--country", "/nonexistent.mmdb", "10.0.0.1"}, 1, "MMDB File not found\n"},
        {{"generate", "--country", "", "10.0.0.1"},
         2,
         "zarvo-cli generate: option '--country' needs a value that is not empty\n"},
        {{"generate", "-o", "", "10.0.0.1"},
         2,
         "zarvo-cli generate: option '-o' needs a value that is not empty\n"},
        {{"generate", "--output=", "10.0.0.1"},
         2,
         "zarvo-cli generate: option '--output' needs a value that is not empty\n"},
        {{"generate", "--names", "a\nb", "10.0.0.1"},
         2,
         "zarvo-cli generate: option '--names' takes one line; its value holds a line break\n"},
        {{"generate", "-r", "/nonexistent/ranges.txt"}, 1, "zarvo-cli generate: cannot read range file"},
    };
    for (const auto& c : cases) {
        const CliResult r = Cli(c.args);
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.back());
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.err.substr(0, c.errStart.size()), c.errStart);
        if (c.code == 1) {
            EXPECT_EQ(r.out, "");
        }
    }
}

TEST(Cli, HelpDocumentsEveryOptionWithAnExample) {
    const CliResult r = Cli({"generate", "--help"});
    EXPECT_EQ(r.code, 0);
    for (const char* opt :
         {"--ranges",   "--total",       "--each",       "--random", "--seed",           "--usable",
          "--exclude",  "--escape-ipv6", "--ports",      "--names",  "--counter-symbol", "--first",
          "--step",     "--digits",      "--delimiter",  "--output", "--list-delimiter", "--country",
          "--settings", "--set",         "--ipv6-lower", "Examples:"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
    EXPECT_EQ(Cli({"--help"}).code, 0);
}

// The version is the build's (the project version in CMakeLists.txt); the program's
// help lists --version among its own options.
TEST(Cli, VersionOfTheBuild) {
    const CliResult version = Cli({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, std::string("zarvo-cli ") + ZARVO_VERSION + "\n");
    EXPECT_EQ(version.err, "");
    const CliResult help = Cli({"--help"});
    EXPECT_NE(help.out.find("\n      --version "), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("\n  -h, --help "), std::string::npos) << help.out;
}

TEST_F(CliFiles, RangeFileAndSavedListBytes) {
    std::ofstream(dir / "ranges.txt") << "10.0.0.0/31\n; \xEF\xBB\xBF\n10.0.0.5\n";
    struct Case {
        const char* delimiter;
        std::string bytes;
    };
    const Case cases[] = {
        {"eol", "10.0.0.0\r\n10.0.0.1\r\n10.0.0.5"},
        {"comma", "10.0.0.0,10.0.0.1,10.0.0.5"},
        {"semicolon", "10.0.0.0;10.0.0.1;10.0.0.5"},
    };
    for (const auto& c : cases) {
        const fs::path out = dir / (std::string(c.delimiter) + ".txt");
        const CliResult r = Cli({"generate", "-r", (dir / "ranges.txt").string(), "-o", out.string(),
                                 "--list-delimiter", c.delimiter});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "3 IPs generated.\n");
        EXPECT_EQ(ReadFile(out), c.bytes) << c.delimiter;
    }
    // An empty list writes an empty file; a name template keeps its UTF-8 bytes.
    const fs::path empty = dir / "empty.txt";
    EXPECT_EQ(Cli({"generate", "-o", empty.string(), "; no range"}).code, 0);
    EXPECT_TRUE(fs::exists(empty));
    EXPECT_EQ(ReadFile(empty), "");
    const fs::path utf8 = dir / "utf8.txt";
    EXPECT_EQ(Cli({"generate", "--names", "h\xC3\xA9te#", "-o", utf8.string(), "10.0.0.1"}).code, 0);
    EXPECT_EQ(ReadFile(utf8), "h\xC3\xA9te1 10.0.0.1");

    // A run refused up front leaves an existing file as it was.
    const fs::path keep = dir / "keep.txt";
    std::ofstream(keep) << "old";
    EXPECT_EQ(Cli({"generate", "-o", keep.string(), "10.0.0.0/8"}).code, 1);
    EXPECT_EQ(ReadFile(keep), "old");

    const CliResult bad = Cli({"generate", "-o", (dir / "no/such/dir/x.txt").string(), "10.0.0.1"});
    EXPECT_EQ(bad.code, 1);
    EXPECT_EQ(bad.err.rfind("Cannot create file \"" + (dir / "no/such/dir/x.txt").string() + "\". ", 0), 0u);
}

// The output file is replaced only by a run that completes: not by one that fails
// part-way (lines already written) nor by one whose writing fails.
TEST_F(CliFiles, AFailedRunLeavesTheOutputFileAsItWas) {
    const fs::path keep = dir / "keep.txt";
    const std::string broken =
        std::string(ZARVO_TESTDATA_DIR) + "/mmdb/GeoIP2-City-Test-Broken-Double-Format.mmdb";
    // Some 260000 lines, several megabytes, reach the file before the last address
    // meets the broken record.
    const std::vector<std::string> partWay = {"generate",    "--country",   broken,         "-o",
                                              keep.string(), "10.0.0.0/14", "2.125.160.216"};
    const CliResult r = Cli(partWay);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "The MaxMind DB file's data section contains bad data: invalid size of double.\n");
    EXPECT_TRUE(fs::is_empty(dir)); // no output file, no temporary file
    std::ofstream(keep) << "old";
    EXPECT_EQ(Cli(partWay).code, 1);
    EXPECT_EQ(ReadFile(keep), "old");

    // A file size limit makes the writing fail, as a full disk would.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 64 << 10;
    void (*oldHandler)(int) = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const CliResult tooLarge = Cli({"generate", "-o", keep.string(), "10.0.0.0/16"});
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(tooLarge.code, 1);
    EXPECT_EQ(tooLarge.err, "Cannot create file \"" + keep.string() + "\". " + std::strerror(EFBIG) + "\n");
    EXPECT_EQ(ReadFile(keep), "old");

    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(dir), {}), std::vector<fs::path>{keep});
    // Without the failing address the same run replaces the file.
    EXPECT_EQ(Cli({"generate", "--country", broken, "-o", keep.string(), "10.0.0.0/14"}).code, 0);
    const std::string lines = ReadFile(keep);
    EXPECT_EQ(lines.size(), 3706878u);
    EXPECT_EQ(lines.substr(lines.size() - 15), "\r\n10.3.255.255 ");
}

std::string Utf16(std::u16string_view s, bool bigEndian) {
    return zarvo::test::Utf16Bytes(s, bigEndian);
}

TEST_F(CliFiles, RangeTextInEveryEncodingAFileMayCarry) {
    // Ranges as editors save them; labels go through the name template ("%s").
    const std::string two = "10.0.0.1\n10.0.0.2\n";
    struct Case {
        const char* what;
        std::string bytes, out;
        bool labels = false;
    };
    const Case cases[] = {
        {"UTF-8 byte-order mark",
         "\xEF\xBB\xBF"
         "10.0.0.1\n10.0.0.2\n",
         two},
        {"UTF-16 LE", Utf16(u"10.0.0.1\r\n10.0.0.2\r\n", false), two},
        {"UTF-16 BE", Utf16(u"10.0.0.1\r\n10.0.0.2", true), two},
        {"CR LF", "10.0.0.1\r\n10.0.0.2\r\n", two},
        {"CR", "10.0.0.1\r10.0.0.2\r", two},
        {"UTF-8 byte-order mark before a label",
         "\xEF\xBB\xBF"
         "a=10.0.0.1",
         "a 10.0.0.1\n", true},
        {"UTF-16 label", Utf16(u"\u00E9t\u00E9=10.0.0.1", false), "\xC3\xA9t\xC3\xA9 10.0.0.1\n", true},
        {"malformed bytes in a label", "caf\xE9=10.0.0.1\r\n", "caf\xEF\xBF\xBD 10.0.0.1\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream(dir / "ranges.txt", std::ios::binary | std::ios::trunc) << c.bytes;
        const std::vector<std::string> names =
            c.labels ? std::vector<std::string>{"--names", "%s"} : std::vector<std::string>{};
        for (const std::vector<std::string>& source :
             {std::vector<std::string>{"-r", (dir / "ranges.txt").string()}, {"-r", "-"}, {}}) {
            std::vector<std::string> args{"generate"};
            args.insert(args.end(), names.begin(), names.end());
            args.insert(args.end(), source.begin(), source.end());
            const CliResult r = Cli(args, source.empty() || source[1] == "-" ? c.bytes : "");
            EXPECT_EQ(r.code, 0) << r.err;
            EXPECT_EQ(r.out, c.out) << (source.empty() ? "standard input" : source[1]);
        }
    }
}

// The command line cannot give an empty database path (exit 2); a settings file
// that ticks the country column without a path still gets the window's message.
TEST_F(CliFiles, ASettingsFileWithoutADatabasePathIsReported) {
    std::ofstream(dir / "zarvo2.ini") << "ResolveCountry=1\r\nMMDBFilePath=\r\n";
    const CliResult r = Cli({"generate", "--settings", (dir / "zarvo2.ini").string(), "10.0.0.1"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Please, enter GeoIP2 MMDB File Path\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(CliFiles, AFolderAsRangeFileIsReported) {
    const CliResult r = Cli({"generate", "-r", dir.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zarvo-cli generate: cannot read range file '" + dir.string() + "': Is a directory\n");
}

} // namespace
