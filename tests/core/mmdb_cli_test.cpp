// zarvo-cli mmdb and lookup: output, help and exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "cli/ZarvoCli.h"
#include "cli_run.h"
#include "mmdb_builder.h"
#include "net/IPTypesX.h"
#include "support/ZarvoText.h"

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

// The addresses of standard input ("-"): one a line, comments and blanks passed
// over, each line's output as the same address given as an argument has it.
TEST(MmdbCli, LookupFromStandardInput) {
    const std::string country = TestDb("GeoIP2-Country-Test.mmdb");
    const std::string city = TestDb("GeoIP2-City-Test.mmdb");
    const std::string brokenPointers = TestDb("MaxMind-DB-test-broken-pointers-24.mmdb");
    mmdbtest::Meta m;
    m.NodeCount = 1;
    const std::string loop =
        mmdbtest::WriteTemp(mmdbtest::Image(mmdbtest::Node(24, 0, 0), "", m), "loop.mmdb");
    const std::string corrupt =
        "The MaxMind Db file's search tree is corrupt: contains pointer larger than the database.";
    // A city database whose records share their country and location through pointers:
    // the first two share a location that holds a double of the wrong size, and the
    // second has a country whose code is a double.
    mmdbtest::Meta cm;
    cm.NodeCount = 3;
    cm.DatabaseType = "Test-City";
    using mmdbtest::Bytes;
    using mmdbtest::Map;
    using mmdbtest::Ptr;
    using mmdbtest::Str;
    const Bytes de = Map(1) + Str("iso_code") + Str("DE");
    const Bytes badLocation = Map(1) + Str("latitude") + mmdbtest::Ctrl(3, 4) + Bytes(4, '\0');
    const Bytes goodLocation = Map(1) + Str("latitude") + mmdbtest::Dbl(1.5);
    const Bytes badCountry = Map(1) + Str("iso_code") + mmdbtest::Ctrl(3, 4) + Bytes(4, '\0');
    const uint32_t badAt = static_cast<uint32_t>(de.size()),
                   goodAt = badAt + static_cast<uint32_t>(badLocation.size()),
                   badCountryAt = goodAt + static_cast<uint32_t>(goodLocation.size());
    const Bytes shared = de + badLocation + goodLocation + badCountry;
    const Bytes rec1 = Map(2) + Str("country") + Ptr(0) + Str("location") + Ptr(badAt);
    const Bytes rec2 = Map(2) + Str("location") + Ptr(badAt) + Str("country") + Ptr(badCountryAt);
    const Bytes rec3 = Map(2) + Str("country") + Ptr(0) + Str("location") + Ptr(goodAt);
    const auto at = [&](const Bytes& before) {
        return mmdbtest::DataRecord(cm, static_cast<uint32_t>(before.size()));
    };
    const std::string sharedDb = mmdbtest::WriteTemp(
        mmdbtest::Image(mmdbtest::Node(24, 1, 2) + mmdbtest::Node(24, at(shared), at(shared + rec1)) +
                            mmdbtest::Node(24, at(shared), at(shared + rec1 + rec2)),
                        shared + rec1 + rec2 + rec3, cm),
        "shared-city.mmdb");
    // 0.0.0.0/2 and 128.0.0.0/2 lead to the first record, 64.0.0.0/2 to the second.
    const std::string sharedInput = "0.0.0.1\n64.0.0.1\n128.0.0.1\n192.0.0.1\n0.0.0.2\n64.0.0.2\n";
    const std::string badCode = "Could not convert 'Double' to 'string'.";
    const std::string badDouble =
        "The MaxMind DB file's data section contains bad data: invalid size of double.";
    // Two records: the first reached by 0.0.0.0/2 and 128.0.0.0/1, the second by 64.0.0.0/2.
    mmdbtest::Meta am;
    am.NodeCount = 2;
    const Bytes recA = Map(1) + Str("country") + Map(1) + Str("iso_code") + Str("AA");
    const Bytes recB = Map(1) + Str("country") + Map(1) + Str("iso_code") + Str("BB");
    const uint32_t aAt = mmdbtest::DataRecord(am, 0),
                   bAt = mmdbtest::DataRecord(am, static_cast<uint32_t>(recA.size()));
    const std::string alternating = mmdbtest::WriteTemp(
        mmdbtest::Image(mmdbtest::Node(24, 1, aAt) + mmdbtest::Node(24, aAt, bAt), recA + recB, am),
        "alternating.mmdb");
    const std::string alternatingInput = "0.0.0.1\n64.0.0.1\n128.0.0.1\n64.0.0.2\n0.0.0.2\n255.1.2.3\n";
    const auto json = [](const char* address, int prefix, const char* code) {
        return std::string("{\"address\":\"") + address + "\",\"prefix_length\":" + std::to_string(prefix) +
               ",\"found\":true,\"record\":{\"continent\":{\"names\":{},\"code\":\"\",\"geoname_id\":0},"
               "\"country\":{\"names\":{},\"geoname_id\":0,\"iso_code\":\"" +
               code +
               "\",\"is_in_european_union\":false},\"registered_country\":{\"names\":{},\"geoname_id\":0,"
               "\"iso_code\":\"\",\"is_in_european_union\":false},\"represented_country\":{\"type\":\"\","
               "\"names\":{},\"geoname_id\":0,\"iso_code\":\"\",\"is_in_european_union\":false},\"traits\":{"
               "\"is_anonymous_proxy\":false,\"is_satellite_provider\":false}}}\n";
    };
    struct Case {
        const char* Name;
        std::vector<std::string> Options;
        std::string Db, Input, Out, Err;
        int Code;
    } cases[] = {
        {"comments and blanks",
         {},
         country,
         "# addresses\n\n81.2.69.160\n   \t\n  2001:218::1   # Japan\n#1.2.3.4\n",
         "81.2.69.160\t27\tGB\n2001:218::1\t32\tJP\n",
         "",
         0},
        {"empty input", {}, country, "", "", "", 0},
        {"only comments", {}, country, "#\n# 1.2.3.4\n\n", "", "", 0},
        {"invalid lines by number",
         {},
         country,
         "81.2.69.160\nnot-an-address\n\n1.2.3.4\r\n1.2.3\n",
         "81.2.69.160\t27\tGB\n1.2.3.4\t8\t-\n",
         "line 2: not-an-address: 'not-an-address' is not a valid IPv4 address\n"
         "line 5: 1.2.3: '1.2.3' is not a valid IPv4 address\n",
         1},
        // Plain dotted quads and the forms near them, which the full parser reads.
        {"dotted quads and their neighbours",
         {},
         country,
         "0.0.0.0\n255.255.255.255\n1.2.3.04\n01.2.3.4\n1.2.3.256\n1.2.3\n1.2.3.4.5\n1..2.3\n"
         "123.123.123.123\n1234.1.1.1\n1.2.3.-1\n1.2.3.+1\n81.2.69.160\n0.0.0.00\n9.9.9.9\n",
         "0.0.0.0\t8\t-\n255.255.255.255\t3\t-\n1.2.3.4\t8\t-\n1.2.3.4\t8\t-\n1.2.3.0\t8\t-\n1.2.3.4\t8\t-\n"
         "1.0.2.3\t8\t-\n123.123.123.123\t6\t-\n0.1.1.1\t8\t-\n1.2.3.0\t8\t-\n1.2.3.1\t8\t-\n81.2.69."
         "160\t27\tGB\n"
         "0.0.0.0\t8\t-\n9.9.9.9\t7\t-\n",
         "line 6: 1.2.3: '1.2.3' is not a valid IPv4 address\n",
         1},
        {"IPv6 and IPv4-mapped",
         {},
         country,
         "2001:218::1\n::ffff:81.2.69.160\n2001:220::\nfe80::1\n",
         "2001:218::1\t32\tJP\n::ffff:5102:45a0\t123\tGB\n2001:220::\t128\tSE\nfe80::1\t10\t-\n",
         "",
         0},
        {"json",
         {"--json"},
         country,
         "81.2.69.160\n1.2.3.4\n",
         // The record's start; the rest as the arguments print it (checked below).
         "*{\"address\":\"81.2.69.160\",\"prefix_length\":27,\"found\":true,\"record\":{\"continent\":{"
         "\"names\":{\"de\":\"Europa\",\"en\":\"Europe\",\"es\":\"Europa\",\"fr\":\"Europe\",\"ja\":",
         "",
         0},
        {"json of a city database",
         {"--json"},
         city,
         "1.2.3.4\n",
         "{\"address\":\"1.2.3.4\",\"prefix_length\":8,\"found\":false}\n",
         "",
         0},
        {"records that fail to decode",
         {},
         brokenPointers,
         "1.1.1.32\n1.1.1.1\n1.1.1.16\n1.1.1.32\n",
         "1.1.1.1\t32\t\n",
         "line 1: 1.1.1.32: " + corrupt +
             "\nline 3: 1.1.1.16: The MaxMind DB file's data section contains bad data: pointer larger than "
             "the database.\nline 4: 1.1.1.32: " +
             corrupt + "\n",
         1},
        // The lines read a record's country alone, as the country column does.
        {"shared values that fail, every time",
         {},
         sharedDb,
         sharedInput,
         "0.0.0.1\t2\tDE\n128.0.0.1\t2\tDE\n192.0.0.1\t2\tDE\n0.0.0.2\t2\tDE\n",
         "line 2: 64.0.0.1: " + badCode + "\nline 6: 64.0.0.2: " + badCode + "\n",
         1},
        // JSON decodes the whole record.
        {"json of shared values that fail, every time",
         {"--json"},
         sharedDb,
         sharedInput,
         "*{\"address\":\"192.0.0.1\",\"prefix_length\":2,\"found\":true,\"record\":{",
         "line 1: 0.0.0.1: " + badDouble + "\nline 2: 64.0.0.1: " + badDouble + "\nline 3: 128.0.0.1: " +
             badDouble + "\nline 5: 0.0.0.2: " + badDouble + "\nline 6: 64.0.0.2: " + badDouble + "\n",
         1},
        {"records alternating, one reached by two networks",
         {},
         alternating,
         alternatingInput,
         "0.0.0.1\t2\tAA\n64.0.0.1\t2\tBB\n128.0.0.1\t1\tAA\n64.0.0.2\t2\tBB\n0.0.0.2\t2\tAA\n255.1.2."
         "3\t1\tAA\n",
         "",
         0},
        {"json of records alternating",
         {"--json"},
         alternating,
         alternatingInput,
         json("0.0.0.1", 2, "AA") + json("64.0.0.1", 2, "BB") + json("128.0.0.1", 1, "AA") +
             json("64.0.0.2", 2, "BB") + json("0.0.0.2", 2, "AA") + json("255.1.2.3", 1, "AA"),
         "",
         0},
        {"walks that fail",
         {},
         loop,
         "1.2.3.4\n\n::1\n",
         "",
         "line 1: 1.2.3.4: Something bad happened\nline 3: ::1: Something bad happened\n",
         1},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"lookup"};
        args.insert(args.end(), c.Options.begin(), c.Options.end());
        args.push_back(c.Db);
        args.push_back("-");
        const CliRun r = Cli(args, c.Input);
        // "*": the output starts with the rest, and ends as the arguments' (below).
        const bool start = c.Out.starts_with('*');
        const std::string out = start ? c.Out.substr(1) : c.Out;
        EXPECT_EQ(start ? r.Out.substr(0, out.size()) : r.Out, out) << c.Name;
        EXPECT_EQ(r.Err, c.Err) << c.Name;
        EXPECT_EQ(r.Code, c.Code) << c.Name;
        // The same addresses as arguments print the same lines.
        args.pop_back();
        std::istringstream lines(c.Input);
        for (std::string line; std::getline(lines, line);) {
            line = std::string(zarvo::Trim(line.substr(0, line.find('#'))));
            if (!line.empty()) args.push_back(line);
        }
        if (args.back() != c.Db) {
            EXPECT_EQ(Cli(args).Out, r.Out) << c.Name;
        }
    }
    // "-" stands alone.
    const CliRun both = Cli({"lookup", country, "-", "1.2.3.4"});
    EXPECT_EQ(both.Code, 2);
    EXPECT_NE(both.Err.find("give either addresses or '-' for standard input"), std::string::npos);
    // A line too long for an address line ends the run with its number.
    const CliRun tooLong =
        Cli({"lookup", country, "-"}, "1.2.3.4\n" + std::string(1048577, '1') + "\n1.2.3.4\n");
    EXPECT_EQ(tooLong.Out, "1.2.3.4\t8\t-\n");
    EXPECT_EQ(tooLong.Err, "line 2: line longer than 1048576 bytes\n");
    EXPECT_EQ(tooLong.Code, 1);
}

// Standard input made on demand, noting how much output there is each time more is read.
class TGeneratedInput : public std::streambuf {
public:
    TGeneratedInput(uint32_t lines, const std::ostringstream& out) : FLines(lines), FOut(out) {}
    std::vector<std::streamoff> OutputAtReads;

protected:
    int_type underflow() override {
        if (FNext == FLines) return traits_type::eof();
        OutputAtReads.push_back(const_cast<std::ostringstream&>(FOut).tellp());
        FPiece.clear();
        for (int k = 0; k < 1000 && FNext < FLines; ++k, ++FNext)
            FPiece += zarvo::IPv4ToStr(zarvo::MakeIPv4(0x51024500u + FNext * 2654435761u)) + "\n";
        setg(FPiece.data(), FPiece.data(), FPiece.data() + FPiece.size());
        return traits_type::to_int_type(FPiece[0]);
    }

private:
    uint32_t FLines, FNext = 0;
    const std::ostringstream& FOut;
    std::string FPiece;
};

TEST(MmdbCli, LookupStreamsALargeInput) {
    // The lines of the first addresses are out before the last ones are read.
    const uint32_t n = 200000;
    std::ostringstream out, err;
    TGeneratedInput source(n, out);
    std::istream in(&source);
    const int code = zarvo::cli::RunCli({"lookup", TestDb("GeoIP2-City-Test.mmdb"), "-"}, in, out, err);
    EXPECT_EQ(code, 0) << err.str();
    const std::string text = out.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), n);
    ASSERT_FALSE(source.OutputAtReads.empty());
    EXPECT_GT(source.OutputAtReads.back(), std::streamoff(text.size() / 2));
    // Line by line as the arguments give them.
    const std::string first = zarvo::IPv4ToStr(zarvo::MakeIPv4(0x51024500u));
    const CliRun single = Cli({"lookup", TestDb("GeoIP2-City-Test.mmdb"), first});
    EXPECT_EQ(text.substr(0, single.Out.size()), single.Out);
}

TEST(MmdbCli, LookupThreadsGiveTheLinesOfOne) {
    // Many batches over several threads: the same lines, messages and exit code as on one
    // thread, for valid and invalid lines, failing records, lines and JSON.
    std::string input;
    uint32_t x = 11;
    for (int k = 0; k < 12000; ++k) {
        x = x * 1103515245u + 12345u;
        if (k % 997 == 0) input += "not an address\n";
        if (k % 500 == 0) input += "# comment\n\n";
        const uint32_t v = k % 2 ? x : k % 4 ? 0x51024500u | (x >> 26) : 0x027DA000u | (x >> 20);
        input += zarvo::IPv4ToStr(zarvo::MakeIPv4(v)) + (k % 7 == 0 ? "  # note\n" : "\n");
        if (k % 13 == 0) input += "2001:218::" + std::to_string(k % 50) + "\n";
    }
    for (const char* db : {"GeoIP2-City-Test.mmdb", "GeoIP2-City-Test-Broken-Double-Format.mmdb"})
        for (const bool json : {false, true}) {
            std::vector<std::string> args = {"lookup", TestDb(db), "-"};
            if (json) args.insert(args.begin() + 1, "--json");
            std::vector<std::string> one = args, three = args;
            one.insert(one.begin() + 1, {"--threads", "1"});
            three.insert(three.begin() + 1, {"--threads", "3"});
            const CliRun a = Cli(one, input), b = Cli(three, input);
            EXPECT_EQ(a.Code, 1) << db; // the invalid lines
            EXPECT_EQ(b.Code, a.Code) << db;
            EXPECT_EQ(b.Out, a.Out) << db << json;
            EXPECT_EQ(b.Err, a.Err) << db << json;
            EXPECT_GT(std::count(a.Out.begin(), a.Out.end(), '\n'), 6000) << db;
        }
    EXPECT_EQ(Cli({"lookup", "--threads", "0", TestDb("GeoIP2-City-Test.mmdb"), "-"}).Code, 2);
}

} // namespace
