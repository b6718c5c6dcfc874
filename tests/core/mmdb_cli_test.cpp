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

// Strict UTF-8: the well-formed sequences of the Unicode standard and nothing else.
bool StrictUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto b = [&](size_t k) -> unsigned {
            return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
        };
        const unsigned c = b(0);
        size_t n = 0;
        unsigned lo = 0x80, hi = 0xBF;
        if (c < 0x80)
            n = 1;
        else if (c >= 0xC2 && c <= 0xDF)
            n = 2;
        else if (c >= 0xE0 && c <= 0xEF)
            n = 3, lo = c == 0xE0 ? 0xA0u : 0x80u, hi = c == 0xED ? 0x9Fu : 0xBFu;
        else if (c >= 0xF0 && c <= 0xF4)
            n = 4, lo = c == 0xF0 ? 0x90u : 0x80u, hi = c == 0xF4 ? 0x8Fu : 0xBFu;
        else
            return false;
        for (size_t k = 1; k < n; ++k) {
            if (b(k) < (k == 1 ? lo : 0x80u) || b(k) > (k == 1 ? hi : 0xBFu)) return false;
        }
        i += n;
    }
    return true;
}

TEST(MmdbCli, LookupJsonIsValidUtf8) {
    // Every string of the record holds ill-formed bytes; the output reads U+FFFD for them.
    using namespace mmdbtest;
    for (const char* type : {"Test-Country", "Test-City"}) {
        Meta m;
        m.NodeCount = 1;
        m.DatabaseType = type;
        const Bytes rec = Map(3) + Str("country") + Map(2) + Str("iso_code") +
                          Str("A\xFF"
                              "B") +
                          Str("names") + Map(1) + Str("e\xC3") + Str("\xED\xA0\x80") + Str("city") + Map(1) +
                          Str("names") + Map(1) + Str("en") +
                          Str("Z\xFC"
                              "rich") +
                          Str("subdivisions") + Arr(1) + Map(1) + Str("iso_code") + Str("\xF4\x90");
        const std::string db =
            WriteTemp(Image(Node(24, DataRecord(m, 0), 1), rec, m), std::string(type) + "-json.mmdb");
        const CliRun r = Cli({"lookup", "--json", db, "1.1.1.1"});
        EXPECT_EQ(r.Code, 0) << r.Err;
        EXPECT_TRUE(StrictUtf8(r.Out)) << r.Out;
        EXPECT_NE(r.Out.find("\"iso_code\":\"A\xEF\xBF\xBD"
                             "B\""),
                  std::string::npos)
            << r.Out;
        EXPECT_NE(r.Out.find("\"e\xEF\xBF\xBD\":\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""), std::string::npos)
            << r.Out;
        // Lines without --json and the database's CSV lines.
        const CliRun lines = Cli({"lookup", db, "1.1.1.1"});
        EXPECT_EQ(lines.Out, "1.1.1.1\t1\tA\xEF\xBF\xBD"
                             "B\n");
        const CliRun csv = Cli({"mmdb", db});
        EXPECT_TRUE(StrictUtf8(csv.Out)) << csv.Out;
        EXPECT_NE(csv.Out.find("\n0.0.0.0/1,,0,A\xEF\xBF\xBD"
                               "B,0,,0"),
                  std::string::npos)
            << csv.Out;
    }
    EXPECT_TRUE(StrictUtf8("h\xC3\xB4st-\xE2\x82\xAC-\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"));
    for (const char* bad : {"\xFF", "A\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"})
        EXPECT_FALSE(StrictUtf8(bad)) << bad;
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
