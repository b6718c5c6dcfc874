// zarvo-cli aggregate: lists merged, subtracted, intersected and counted; bad lines
// named; the options' words.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "cli/AggregateCommand.h"
#include "core/cli_run.h"
#include "core/test_files.h"

namespace zarvo::test {
namespace {

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(AggregateCli, MergesIntoTheFewestBlocks) {
    struct Case {
        const char* Name;
        std::vector<std::string> Args;
        std::string Input, Out;
    };
    const std::vector<Case> cases = {
        {"nothing", {}, "", ""},
        {"comments and blanks", {}, "# a list\n\n   \n", ""},
        {"one address", {}, "10.0.0.1\n", "10.0.0.1/32\n"},
        {"halves join", {}, "10.0.0.0/25\n10.0.0.128/25\n", "10.0.0.0/24\n"},
        {"a range", {}, "10.0.0.1-10.0.0.6\n", "10.0.0.1/32\n10.0.0.2/31\n10.0.0.4/31\n10.0.0.6/32\n"},
        {"overlaps and repeats",
         {},
         "10.0.0.0/24\n10.0.0.7\n10.0.0.0/24\n10.0.1.0-10.0.1.255\n",
         "10.0.0.0/23\n"},
        {"IPv4 first, each in order",
         {},
         "fd00::2\n192.168.0.0/16\nfd00::1\n10.0.0.0/8\n",
         "10.0.0.0/8\n192.168.0.0/16\nfd00::1/128\nfd00::2/128\n"},
        {"IPv6 as RFC 5952 writes it", {}, "FD00:0000::0/32\n", "fd00::/32\n"},
        {"CR LF, no last line break", {}, "10.0.0.1\r\n10.0.0.0\r\n10.0.0.2", "10.0.0.0/31\n10.0.0.2/32\n"},
        {"everything", {}, "0.0.0.0/1\n128.0.0.0/1\n::/0\n", "0.0.0.0/0\n::/0\n"},
        {"ranges",
         {"--ranges"},
         "10.0.0.5\n10.0.0.6\n10.0.0.9\nfd00::/120\n",
         "10.0.0.5-10.0.0.6\n10.0.0.9-10.0.0.9\nfd00::-fd00::ff\n"},
        {"count", {"--count"}, "10.0.0.0/24\n10.0.0.0/25\nfd00::/64\n", "18446744073709551872\n"},
        {"count of nothing", {"--count"}, "", "0\n"},
        {"count of everything",
         {"--count"},
         "::/0\n0.0.0.0/0\n",
         "340282366920938463463374607436063178752\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"aggregate"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const CliRun r = Cli(args, c.Input);
        EXPECT_EQ(r.Code, 0) << c.Name << ": " << r.Err;
        EXPECT_EQ(r.Out, c.Out) << c.Name;
        EXPECT_EQ(r.Err, "") << c.Name;
    }
}

TEST(AggregateCli, ExceptAndCommon) {
    TTempDir dir("aggregate");
    WriteFile(dir / "a.txt", "10.0.0.0/24\nfd00::/126\n");
    WriteFile(dir / "b.txt", "10.0.0.0/26\n10.0.0.200-10.0.1.5\nfd00::1\n");
    WriteFile(dir / "c.txt", "10.0.0.0/8\n");
    struct Case {
        std::vector<std::string> Args;
        std::string Input, Out;
    };
    const std::vector<Case> cases = {
        {{"--except", dir / "b.txt", dir / "a.txt"},
         "",
         "10.0.0.64/26\n10.0.0.128/26\n10.0.0.192/29\nfd00::/128\nfd00::2/127\n"},
        {{"--common", dir / "b.txt", dir / "a.txt"},
         "",
         "10.0.0.0/26\n10.0.0.200/29\n10.0.0.208/28\n10.0.0.224/27\nfd00::1/128\n"},
        // Every --common narrows; every --except takes away.
        {{"--common", dir / "b.txt", "--common", dir / "c.txt", dir / "a.txt"},
         "",
         "10.0.0.0/26\n10.0.0.200/29\n10.0.0.208/28\n10.0.0.224/27\n"},
        {{"--except", dir / "b.txt", "--except", dir / "c.txt", dir / "a.txt"},
         "",
         "fd00::/128\nfd00::2/127\n"},
        // The lists of several files are one set; "-" is standard input among them.
        {{"--count", dir / "a.txt", "-", dir / "b.txt"}, "192.168.0.0/16\n", "65802\n"},
        {{"--except", "-", dir / "c.txt"}, "10.0.0.0/9\n", "10.128.0.0/9\n"},
        {{"--ranges", "--except", dir / "b.txt", dir / "a.txt"},
         "",
         "10.0.0.64-10.0.0.199\nfd00::-fd00::\nfd00::2-fd00::3\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"aggregate"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const CliRun r = Cli(args, c.Input);
        EXPECT_EQ(r.Code, 0) << r.Err;
        EXPECT_EQ(r.Out, c.Out) << c.Args[0];
    }
}

TEST(AggregateCli, BadLinesAreNamedAndNothingIsPrinted) {
    TTempDir dir("aggregate");
    WriteFile(dir / "x.txt", "10.0.0.1\nfd00::/129\n");
    const CliRun r = Cli({"aggregate", "--except", dir / "x.txt", "-"},
                         "10.0.0.0/24\n# fine\n10.0.0.0/33\n\n10.0.0.9-10.0.0.1\n");
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(
        r.Err,
        "zarvo-cli aggregate: standard input, line 3: '10.0.0.0/33' is no address, CIDR block or range\n"
        "zarvo-cli aggregate: standard input, line 5: '10.0.0.9-10.0.0.1' is no address, CIDR block or "
        "range\n"
        "zarvo-cli aggregate: except file '" +
            dir / "x.txt" + "', line 2: 'fd00::/129' is no address, CIDR block or range\n");

    const CliRun missing = Cli({"aggregate", "--common", dir / "none.txt", dir / "x.txt"});
    EXPECT_EQ(missing.Code, 1);
    EXPECT_EQ(missing.Out, "");
    EXPECT_NE(missing.Err.find("cannot read common file '" + dir / "none.txt" + "': "), std::string::npos)
        << missing.Err;
    EXPECT_NE(missing.Err.find("line 2: 'fd00::/129'"), std::string::npos) << missing.Err;

    const CliRun folder = Cli({"aggregate", dir.Path().string()});
    EXPECT_EQ(folder.Code, 1);
    EXPECT_NE(folder.Err.find("Is a directory"), std::string::npos) << folder.Err;

    const CliRun longLine = Cli({"aggregate"}, "10.0.0.1\n" + std::string(5000, '1') + "\n");
    EXPECT_EQ(longLine.Code, 1);
    EXPECT_EQ(longLine.Out, "");
    EXPECT_NE(longLine.Err.find("standard input, line 2: longer than"), std::string::npos) << longLine.Err;
}

TEST(AggregateCli, Words) {
    EXPECT_EQ(cli::ParseAggregateArgs({"a", "-", "--except=b", "--common", "c", "--except", "d"}),
              (cli::TAggregateArgs{.Files = {"a", "-"}, .Except = {"b", "d"}, .Common = {"c"}}));
    struct Case {
        std::vector<std::string> Args;
        const char* Message;
    };
    const std::vector<Case> bad = {
        {{"--ranges", "--count"}, "--ranges and --count exclude each other"},
        {{"--count", "--ranges"}, "--ranges and --count exclude each other"},
        {{"--except", "-"}, "standard input (-) can be read for one list only"},
        {{"-", "-"}, "standard input (-) can be read for one list only"},
        {{"a", "--common", "-", "--except", "-"}, "standard input (-) can be read for one list only"},
        {{"--except"}, nullptr},
        {{"--bogus"}, nullptr},
        {{""}, "a file name is empty"},
    };
    for (const Case& c : bad) {
        std::vector<std::string> args = {"aggregate"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const CliRun r = Cli(args);
        EXPECT_EQ(r.Code, 2) << c.Args[0];
        EXPECT_EQ(r.Out, "");
        if (c.Message) {
            EXPECT_NE(r.Err.find(c.Message), std::string::npos) << r.Err;
        }
    }
    const CliRun help = Cli({"aggregate", "--help"});
    EXPECT_EQ(help.Code, 0);
    EXPECT_NE(help.Out.find("Usage: zarvo-cli aggregate"), std::string::npos);
    EXPECT_NE(Cli({"--help"}).Out.find("  aggregate   "), std::string::npos);
}

} // namespace
} // namespace zarvo::test
