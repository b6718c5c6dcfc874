// zarvo-cli view: the records as the viewer parses them, the count, databases by
// extension and by content, and the exit codes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
