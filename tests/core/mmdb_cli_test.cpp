// zarvo-cli mmdb and lookup: output, help and exit codes.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/ZarvoCli.h"
#include "cli_run.h"
#include "mmdb_builder.h"

using mmdbtest::TestDb;

namespace {

using zarvo::test::Cli;
using zarvo::test::CliRun;

TEST(MmdbCli, LookupLines) {
    const CliRun r = Cli({"lookup", TestDb("GeoIP2-Country-Test.mmdb"), "81.2.69.160", "2001:218::1",
                          "1.2.3.4", "MaxMind-DB-test-ipv4-24.mmdb"});
    EXPECT_EQ(r.Code, 1); // the last word is no address
    EXPECT_EQ(r.Out, "81.2.69.160\t27\tGB\n2001:218::1\t32\tJP\n1.2.3.4\t8\t-\n");
    EXPECT_NE(r.Err.find("MaxMind-DB-test-ipv4-24.mmdb: "), std::string::npos);
}

TEST(MmdbCli, LookupJson) {
    const CliRun r = Cli({"lookup", "--json", TestDb("GeoIP2-City-Test.mmdb"), "81.2.69.142", "1.2.3.4"});
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out.rfind(
                  "{\"address\":\"81.2.69.142\",\"prefix_length\":31,\"found\":true,\"record\":{\"city\"", 0),
              0u);
    EXPECT_NE(r.Out.find("\"iso_code\":\"GB\""), std::string::npos);
    EXPECT_NE(r.Out.find("{\"address\":\"1.2.3.4\",\"prefix_length\":8,\"found\":false}\n"),
              std::string::npos);
}

TEST(MmdbCli, MmdbLines) {
    const CliRun r = Cli({"mmdb", "--date-format", "yyyy", TestDb("MaxMind-DB-test-ipv4-24.mmdb")});
    EXPECT_EQ(r.Code, 0);
    EXPECT_NE(r.Out.find("database_type,Test\n"), std::string::npos);
    EXPECT_NE(r.Out.find("\n1.1.1.1/32,,0,,0,,0\n1.1.1.2/31,,0,,0,,0\n"), std::string::npos);
}

TEST(MmdbCli, ErrorsAndHelp) {
    struct Case {
        std::vector<std::string> Args;
        int Code;
        const char* InErr;
    } cases[] = {
        {{"mmdb", TestDb("README.md")}, 1, "Could not find a MaxMind Db metadata marker in this file ("},
        {{"mmdb", TestDb("MaxMind-DB-test-broken-search-tree-24.mmdb")},
         1,
         "Invalid search tree, bad bit 32\n"},
        {{"lookup", "/nonexistent.mmdb", "1.2.3.4"}, 1, "Cannot open file \"/nonexistent.mmdb\"."},
        {{"mmdb"}, 2, "give the database file"},
        {{"mmdb", ""}, 2, "zarvo-cli mmdb: the database file name is empty\n"},
        {{"lookup", "", "1.2.3.4"}, 2, "zarvo-cli lookup: the database file name is empty\n"},
        {{"lookup", "", TestDb("GeoIP2-Country-Test.mmdb"), "1.2.3.4"},
         2,
         "zarvo-cli lookup: the database file name is empty\n"},
        {{"lookup", TestDb("GeoIP2-Country-Test.mmdb")}, 2, "give at least one address"},
        {{"lookup", "--bogus"}, 2, "unknown option '--bogus'"},
    };
    for (const Case& c : cases) {
        const CliRun r = Cli(c.Args);
        EXPECT_EQ(r.Code, c.Code) << c.Args[0];
        EXPECT_NE(r.Err.find(c.InErr), std::string::npos) << r.Err;
    }
    for (const char* cmd : {"mmdb", "lookup"}) {
        const CliRun r = Cli({cmd, "--help"});
        EXPECT_EQ(r.Code, 0);
        EXPECT_EQ(r.Out.rfind(std::string("Usage: zarvo-cli ") + cmd, 0), 0u);
    }
}

} // namespace
