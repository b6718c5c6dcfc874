// zarvo-cli view: the records as the viewer parses them, the count, databases by
// extension and by content, and the exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "cli/ViewCommand.h"
#include "cli/ZarvoCli.h"
#include "cli_run.h"
#include "mmdb/uMMDBLineReader.h"
#include "mmdb_builder.h"
#include "test_files.h"

using namespace zarvo;

namespace {

using zarvo::test::Cli;
using zarvo::test::CliRun;

TEST(ViewCli, Records) {
    test::TTempDir dir("view-cli");
    const std::string csv = dir / "f.csv";
    std::ofstream(csv, std::ios::binary)
        << "h1;h2\r\n a ; \"b\\\"c\" \r\n\"x\ty\";\"1\r\n2\"\r\nback\\slash;z\r\n";
    const struct {
        std::vector<std::string> Args;
        std::string Out;
        bool More;
    } cases[] = {
        // Broken quoting: the whole line, blanks and all, is the one value.
        {{"view", csv}, "h1\th2\n a ; \"b\\\\\"c\" \n\"x\\ty\";\"1\n2\"\nback\\\\slash\tz\n", false},
        {{"view", "--backslash-escapes", "--cell-line-breaks", csv},
         "h1\th2\na\tb\"c\nx\\ty\t1\\r\\n2\nback\\\\slash\tz\n",
         false},
        {{"view", "--max", "1", "--no-header", csv}, "h1\th2\n", true},
    };
    for (const auto& c : cases) {
        const CliRun r = Cli(c.Args);
        EXPECT_EQ(r.Code, 0) << r.Err;
        EXPECT_EQ(r.Out, c.Out) << c.Args[1];
        EXPECT_EQ(r.Err.find("more lines follow") != std::string::npos, c.More) << r.Err;
    }
}

TEST(ViewCli, CountAndDatabases) {
    test::TTempDir dir("view-cli-count");
    const std::string csv = dir / "f.csv";
    std::ofstream(csv, std::ios::binary) << "a\nb\nc\n";
    const std::string disguised = dir / "db.bin";
    std::filesystem::copy_file(mmdbtest::TestDb("GeoIP2-Country-Test.mmdb"), disguised);
    EXPECT_EQ(Cli({"view", "--count", csv}).Out, "2\n");
    EXPECT_EQ(Cli({"view", "--count", "--no-header", csv}).Out, "3\n");
    // A database by its content: no header, the metadata lines first.
    const CliRun db = Cli({"view", disguised});
    EXPECT_EQ(db.Code, 0);
    EXPECT_EQ(db.Out.rfind("binary_format_major_version\t2\n", 0), 0u);
    const CliRun named = Cli({"view", "--count", mmdbtest::TestDb("GeoIP2-Country-Test.mmdb")});
    EXPECT_EQ(named.Code, 0);
    EXPECT_EQ(std::to_string(std::count(db.Out.begin(), db.Out.end(), '\n')) + "\n", named.Out);
    EXPECT_EQ(ViewerFileKind(disguised), TViewerFileKind::Database);
    EXPECT_EQ(ViewerFileKind(csv), TViewerFileKind::Text);
}

// The lines of a file as std::getline splits them (LF only): the reference for
// files whose lines the viewer must give as they are, pseudo-files among them.
int64_t ReferenceLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    int64_t n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
}

int64_t OutputLines(const std::string& out) {
    return std::count(out.begin(), out.end(), '\n');
}

// The kinds of files a user hands zarvo-cli view, each checked for every line being
// accounted for: printed as a record, joined into the record before it (a quote
// left open with --cell-line-breaks), or named by the message of a failure; the
// count agrees, and no note says that more follows when all was read.
TEST(ViewCli, EveryLineOfEveryKindOfFileIsAccountedFor) {
    test::TTempDir dir("view-cli-kinds");
    const auto file = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return dir / name;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const std::string marker = "a,b\n1,2\n\xAB\xCD\xEFMaxMind.com\n3,4\n";
    const std::string markerOut = "a\tb\n1\t2\n" + fffd + fffd + fffd + "MaxMind.com\n3\t4\n";
    // A record with a field of 100,000 characters between two short ones: the line is
    // cut at 65535 characters, inside the quotes, and the field ends there.
    const std::string longRecords =
        "id,data,end\n1,\"" + std::string(100000, 'Y') + "\",end\n2,\"short\",end\n";
    const std::string longOut = "id\tdata\tend\n1\t" + std::string(65535 - 3, 'Y') + "\n2\tshort\tend\n";
    const std::string database = mmdbtest::TestDb("GeoIP2-Country-Test.mmdb");
    std::filesystem::copy_file(database, dir / "renamed.dat");
    std::filesystem::copy_file(mmdbtest::TestDb("GeoIP2-City-Test-Invalid-Node-Count.mmdb"),
                               dir / "broken.bin");
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const CliRun dbRun = Cli({"view", database});
    ASSERT_EQ(dbRun.Code, 0) << dbRun.Err;

    struct Case {
        const char* Name;
        std::string File;
        std::vector<std::string> Options;
        int Code;
        std::optional<std::string> Out; // unset: not compared
        int64_t Lines;                  // the file's lines; -1: ReferenceLines, -2: as counted (binary)
        int64_t Joined;                 // lines joined into the record before them
        bool Text;                      // read as text: the count leaves out a header line
        std::string InErr;
    };
    const Case cases[] = {
        {"CSV with CR LF",
         file("a.csv", "h1,h2\r\n1,2\r\n3,\"4,5\"\r\n"),
         {},
         0,
         "h1\th2\n1\t2\n3\t4,5\n",
         3,
         0,
         true,
         ""},
        {"text without a final break",
         file("notes.txt", "one;x\ntwo"),
         {"--no-header"},
         0,
         "one\tx\ntwo\n",
         2,
         0,
         true,
         ""},
        {"UTF-16 LE",
         file("le.csv", test::Utf16Bytes(u"a,\u00e9\r\nb,x", false)),
         {},
         0,
         "a\t\xC3\xA9\nb\tx\n",
         2,
         0,
         true,
         ""},
        {"UTF-16 BE",
         file("be.csv", test::Utf16Bytes(u"a;\U0001F600\nb;x\n", true)),
         {},
         0,
         "a\t\xF0\x9F\x98\x80\nb\tx\n",
         2,
         0,
         true,
         ""},
        {"ill-formed UTF-8",
         file("bad.csv", "a\xED\xA0\x80,\xC3\n\xFF\n\xE2\x82z\n"),
         {"--no-header"},
         0,
         "a" + fffd + fffd + fffd + "\t" + fffd + "\n" + fffd + "\n" + fffd + "z\n",
         3,
         0,
         true,
         ""},
        // A line over the cap is one record, cut there, and named.
        {"a line over the cap",
         file("long.txt", std::string(70000, 'x') + "\n"),
         {"--no-header"},
         0,
         std::string(65535, 'x') + "\n",
         1,
         0,
         true,
         "zarvo-cli view: " + (dir / "long.txt") + ": line 1: longer than 65535 characters, cut there\n"},
        {"a quoted field over the cap",
         file("quoted.csv", longRecords),
         {},
         0,
         longOut,
         3,
         0,
         true,
         "zarvo-cli view: " + (dir / "quoted.csv") + ": line 2: longer than 65535 characters, cut there\n"},
        // The quote the cut leaves open does not join the next line.
        {"a quoted field over the cap with --cell-line-breaks",
         file("quoted.csv", longRecords),
         {"--cell-line-breaks"},
         0,
         longOut,
         3,
         0,
         true,
         "zarvo-cli view: " + (dir / "quoted.csv") + ": line 2: longer than 65535 characters, cut there\n"},
        {"a stray quote with --cell-line-breaks",
         file("stray.csv", "h\n\"open\nx\ny\n"),
         {"--cell-line-breaks"},
         0,
         "h\n\"open\\r\\nx\\r\\ny\n",
         4,
         2,
         true,
         ""},
        {"empty", file("empty.csv", ""), {}, 0, "", 0, 0, true, ""},
        {"pseudo-file", "/proc/self/status", {"--no-header"}, 0, std::nullopt, -1, 0, true, ""},
        {"pseudo-file with a header", "/proc/self/mounts", {}, 0, std::nullopt, -1, 0, true, ""},
        {"database", database, {}, 0, dbRun.Out, OutputLines(dbRun.Out), 0, false, ""},
        {"database by its content",
         dir / "renamed.dat",
         {},
         0,
         dbRun.Out,
         OutputLines(dbRun.Out),
         0,
         false,
         ""},
        {"a marker in a .csv", file("m.csv", marker), {}, 0, markerOut, 4, 0, true, ""},
        {"a marker in a .TXT", file("m.TXT", marker), {}, 0, markerOut, 4, 0, true, ""},
        {"a marker in another name", file("m.dat", marker), {}, 0, markerOut, 4, 0, true, ""},
        {"a database that does not open, by its content",
         dir / "broken.bin",
         {"--no-header"},
         0,
         std::nullopt,
         -2,
         0,
         true,
         ""},
        {"a database that does not open, by its name",
         mmdbtest::TestDb("GeoIP2-City-Test-Invalid-Node-Count.mmdb"),
         {},
         1,
         "",
         0,
         0,
         false,
         "search tree is corrupt"},
        {"missing", dir / "none.csv", {}, 1, "", 0, 0, true, dir / "none.csv"},
        {"a directory",
         dir.Path().string(),
         {},
         1,
         "",
         0,
         0,
         true,
         dir.Path().string() + ".  Is a directory"},
        {"a FIFO", fifo, {}, 1, "", 0, 0, true, fifo + ".  Not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::string> args = {"view", "--max", "2147483647"};
        args.insert(args.end(), c.Options.begin(), c.Options.end());
        args.push_back(c.File);
        const CliRun r = Cli(args);
        EXPECT_EQ(r.Code, c.Code) << r.Err;
        if (c.Out) {
            EXPECT_EQ(r.Out, *c.Out);
        }
        EXPECT_EQ(r.Err.find("more lines follow"), std::string::npos) << r.Err;
        if (c.Code != 0) {
            EXPECT_NE(r.Err.find(c.InErr), std::string::npos) << r.Err;
            continue;
        }
        EXPECT_EQ(r.Err, c.InErr);
        const std::string counted = Cli({"view", "--count", "--no-header", c.File}).Out;
        const int64_t lines = c.Lines >= 0    ? c.Lines
                              : c.Lines == -1 ? ReferenceLines(c.File)
                                              : std::stoll(counted);
        EXPECT_GT(lines + (c.Lines == 0 ? 1 : 0), 0);
        EXPECT_EQ(OutputLines(r.Out) + c.Joined, lines);
        EXPECT_EQ(counted, std::to_string(lines) + "\n");
        EXPECT_EQ(Cli({"view", "--count", c.File}).Out,
                  std::to_string(c.Text && lines > 0 ? lines - 1 : lines) + "\n");
    }
}

// Where a run stops short of the end, the note says so; a database, which is shown
// as at most 1000 lines by design, says that instead of pointing at --max.
TEST(ViewCli, NotesWhenMoreFollows) {
    test::TTempDir dir("view-cli-more");
    const std::string csv = dir / "f.csv";
    std::ofstream(csv, std::ios::binary) << "h\n1\n2\n3\n";
    const std::string isp = mmdbtest::TestDb("GeoIP2-ISP-Test.mmdb");
    const std::string small = mmdbtest::TestDb("GeoIP2-Country-Test.mmdb");
    const struct {
        std::vector<std::string> Args;
        std::string Err;
    } cases[] = {
        {{"view", "--max", "2", csv}, "zarvo-cli view: more lines follow (2+ rows; see --max, --count)\n"},
        // The last line asked for is the last one: nothing follows.
        {{"view", "--max", "3", csv}, ""},
        {{"view", "--max", "3", "--no-header", csv},
         "zarvo-cli view: more lines follow (3+ rows; see --max, --count)\n"},
        {{"view", isp},
         "zarvo-cli view: a database is shown as at most 1000 lines: its metadata, a header and its first "
         "networks\n"},
        {{"view", "--max", "5000", isp},
         "zarvo-cli view: a database is shown as at most 1000 lines: its metadata, a header and its first "
         "networks\n"},
        {{"view", "--max", "10", isp}, "zarvo-cli view: more lines follow (10+ rows; see --max, --count)\n"},
        {{"view", small}, ""},
    };
    for (const auto& c : cases) {
        const CliRun r = Cli(c.Args);
        EXPECT_EQ(r.Code, 0);
        EXPECT_EQ(r.Err, c.Err) << c.Args.back();
    }
    EXPECT_EQ(OutputLines(Cli({"view", isp}).Out), 1000);
}

TEST(ViewCli, ErrorsAndHelp) {
    test::TTempDir dir("view-cli-err");
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::vector<std::string> Args;
        int Code;
        std::string InErr;
    } cases[] = {
        {{"view", dir / "none.csv"}, 1, "File \"" + (dir / "none.csv") + "\" does not exist.\n"},
        {{"view", "--count", dir / "none.csv"}, 1, "does not exist."},
        {{"view", dir.Path().string()}, 1, "Is a directory"},
        {{"view", "--count", fifo}, 1, "Not a regular file"},
        {{"view"}, 2, "give the file"},
        {{"view", "a", "b"}, 2, "give one file"},
        {{"view", "--max", "0", "a"}, 2, "--max takes 1 to 2147483647"},
        {{"view", "--bogus", "a"}, 2, "unknown option '--bogus'"},
    };
    for (const auto& c : cases) {
        const CliRun r = Cli(c.Args);
        EXPECT_EQ(r.Code, c.Code) << c.Args.back();
        EXPECT_NE(r.Err.find(c.InErr), std::string::npos) << r.Err;
    }
    const CliRun help = Cli({"view", "--help"});
    EXPECT_EQ(help.Code, 0);
    EXPECT_EQ(help.Out.rfind("Usage: zarvo-cli view", 0), 0u);
    EXPECT_NE(help.Out.find("zarvo-cli view --count big.csv"), std::string::npos);
}

TEST(ViewCli, EscapeField) {
    EXPECT_EQ(cli::EscapeField("a\tb\nc\rd\\e"), "a\\tb\\nc\\rd\\\\e");
}

} // namespace
