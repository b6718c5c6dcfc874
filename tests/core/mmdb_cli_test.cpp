// zarvo-cli mmdb and lookup: output, help and exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "cli/ZarvoCli.h"
#include "cli_run.h"
#include "mmdb_builder.h"
#include "net/IPTypesX.h"
#include "support/ZarvoText.h"
#include "test_files.h"

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
    // A record prints what it holds: here a country with its code, and nothing else.
    const auto json = [](const char* address, int prefix, const char* code) {
        return std::string("{\"address\":\"") + address + "\",\"prefix_length\":" + std::to_string(prefix) +
               ",\"found\":true,\"record\":{\"country\":{\"iso_code\":\"" + code + "\"}}}\n";
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
        // Plain dotted quads and the forms near them: only four decimal numbers 0 to 255
        // without a leading zero are an address, as inet_pton reads them.
        {"dotted quads and their neighbours",
         {},
         country,
         "0.0.0.0\n255.255.255.255\n1.2.3.04\n01.2.3.4\n1.2.3.256\n1.2.3\n1.2.3.4.5\n1..2.3\n"
         "123.123.123.123\n1234.1.1.1\n1.2.3.-1\n1.2.3.+1\n81.2.69.160\n0.0.0.00\n9.9.9.9\n",
         "0.0.0.0\t8\t-\n255.255.255.255\t3\t-\n123.123.123.123\t6\t-\n81.2.69.160\t27\tGB\n9.9.9.9\t7\t-\n",
         "line 3: 1.2.3.04: '1.2.3.04' is not a valid IPv4 address\n"
         "line 4: 01.2.3.4: '01.2.3.4' is not a valid IPv4 address\n"
         "line 5: 1.2.3.256: '1.2.3.256' is not a valid IPv4 address\n"
         "line 6: 1.2.3: '1.2.3' is not a valid IPv4 address\n"
         "line 7: 1.2.3.4.5: '1.2.3.4.5' is not a valid IPv4 address\n"
         "line 8: 1..2.3: '1..2.3' is not a valid IPv4 address\n"
         "line 10: 1234.1.1.1: '1234.1.1.1' is not a valid IPv4 address\n"
         "line 11: 1.2.3.-1: '1.2.3.-1' is not a valid IPv4 address\n"
         "line 12: 1.2.3.+1: '1.2.3.+1' is not a valid IPv4 address\n"
         "line 14: 0.0.0.00: '0.0.0.00' is not a valid IPv4 address\n",
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
        // The same addresses as arguments print the same lines, and the same messages
        // with the addresses' places for line numbers.
        args.pop_back();
        std::istringstream lines(c.Input);
        std::string err = c.Err;
        uint64_t number = 0, place = 0;
        for (std::string line; std::getline(lines, line);) {
            ++number;
            line = std::string(zarvo::Trim(line.substr(0, line.find('#'))));
            if (line.empty()) continue;
            args.push_back(line);
            ++place;
            const std::string from = "line " + std::to_string(number) + ": " + line + ": ";
            if (const size_t found = err.find(from); found != std::string::npos)
                err.replace(found, from.size(), "line " + std::to_string(place) + ": " + line + ": ");
        }
        if (args.back() != c.Db) {
            const CliRun a = Cli(args);
            EXPECT_EQ(a.Out, r.Out) << c.Name;
            EXPECT_EQ(a.Err, err) << c.Name;
            EXPECT_EQ(a.Code, c.Code) << c.Name;
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

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every line a lookup is given ends as its output line or as a message that names it by
// its number, from standard input and as arguments alike, and the exit status says
// whether any did not: for good lines, malformed ones and the project's own lists.
TEST(MmdbCli, LookupAccountsForEveryLine) {
    const std::string db = TestDb("GeoIP2-Country-Test.mmdb");
    zarvo::test::TTempDir dir("lookup-lines");
    const auto generated = [](std::vector<std::string> words) {
        words.insert(words.begin(), "generate");
        const CliRun r = Cli(words);
        EXPECT_EQ(r.Code, 0) << r.Err;
        return r.Out;
    };
    // generate -o's file in each list delimiter.
    const auto saved = [&](const char* delimiter) {
        const std::string path = dir / (std::string("list-") + delimiter);
        generated({"-o", path, "--list-delimiter", delimiter, "81.2.69.160/30"});
        return FileText(path);
    };
    const std::string gb = "\t27\tGB", jp = "\t32\tJP";
    const std::vector<std::string> four = {"81.2.69.160" + gb, "81.2.69.161" + gb, "81.2.69.162" + gb,
                                           "81.2.69.163" + gb};
    // What each line of the input gives, in order: its output line, "" for a line passed
    // over (blank or comment), "!" for a message that it is not a valid address.
    struct Case {
        const char* Name;
        std::string Input;
        std::vector<std::string> Gives;
    } cases[] = {
        {"good lines",
         "81.2.69.160\n2001:218::1\n::ffff:81.2.69.160\n1.2.3.4\n0.0.0.0\n255.255.255.255\n"
         "  81.2.69.161  # a note\n2001:218:0:0:0:0:0:1\n2001:0218::0001\n2001:218::ABCD\n::ffff:5102:45a0\n"
         "# a comment\n\n\t",
         {"81.2.69.160" + gb, "2001:218::1" + jp, "::ffff:5102:45a0\t123\tGB", "1.2.3.4\t8\t-",
          "0.0.0.0\t8\t-", "255.255.255.255\t3\t-", "81.2.69.161" + gb, "2001:218::1" + jp,
          "2001:218::1" + jp, "2001:218::abcd" + jp, "::ffff:5102:45a0\t123\tGB", "", "", ""}},
        {"a byte-order mark and CR LF",
         "\xEF\xBB\xBF"
         "81.2.69.160\r\n1.2.3\r\n2001:218::1\r\n",
         {"81.2.69.160" + gb, "!", "2001:218::1" + jp}},
        {"malformed IPv4",
         "81.2.69.160/32\n81.2.69.x\na.b.c.d\n256.1.1.1\n01.2.3.4\n1.2.3.04\n1.2.3\n1.2.3.4.5\n1..2.3\n"
         "0x51.2.69.160\n1.2.3.-1\n+1.2.3.4\n1.2.3.4 5\nhost.example.com\n81.2.69.160;\n",
         std::vector<std::string>(15, "!")},
        {"malformed IPv6",
         "2001:218::1/32\n[2001:218::1]\nfe80::1%eth0\n1:2:3:4:5:6:7\n1:2:3:4:5:6:7:8:9\n1::2::3\n12345::\n"
         "::ffff:01.2.3.4\n::ffff:256.1.1.1\n:::\n1:2:3:4::5:6:7:8\ng::\n",
         std::vector<std::string>(12, "!")},
        {"malformed between good ones",
         "81.2.69.160\n81.2.69.x\n\n81.2.69.161\n1.2.3\n",
         {"81.2.69.160" + gb, "!", "", "81.2.69.161" + gb, "!"}},
        {"generate's lines",
         generated({"81.2.69.160/30", "2001:218::/127"}),
         {four[0], four[1], four[2], four[3], "2001:218::" + jp, "2001:218::1" + jp}},
        {"generate's lines with ports", generated({"--ports", "80,443", "81.2.69.160/31"}),
         std::vector<std::string>(4, "!")},
        {"generate's lines with names", generated({"--names", "host-#", "81.2.69.160/31"}),
         std::vector<std::string>(2, "!")},
        {"generate's lines with names after a tab",
         generated({"--names", "host-#", "--delimiter", "tab", "81.2.69.160/31"}),
         std::vector<std::string>(2, "!")},
        {"generate's bracketed IPv6 lines", generated({"--escape-ipv6", "2001:218::/127"}),
         std::vector<std::string>(2, "!")},
        {"generate's lines with a country", generated({"--country", db, "81.2.69.160/31"}),
         std::vector<std::string>(2, "!")},
        {"generate -o, CR LF between lines", saved("eol"), four},
        {"generate -o, commas between lines", saved("comma"), {"!"}},
        {"generate -o, semicolons between lines", saved("semicolon"), {"!"}},
        {"lookup's own lines", Cli({"lookup", db, "81.2.69.160", "2001:218::1"}).Out, {"!", "!"}},
    };
    for (const Case& c : cases) {
        // The lines as the reader cuts them: at LF, the last one with or without it.
        std::vector<std::string> lines;
        for (size_t at = 0; at < c.Input.size();) {
            const size_t end = std::min(c.Input.find('\n', at), c.Input.size());
            lines.push_back(c.Input.substr(at, end - at));
            at = end + 1;
        }
        ASSERT_EQ(lines.size(), c.Gives.size()) << c.Name;
        std::string out, err, argsErr;
        std::vector<std::string> args = {"lookup", "--", db};
        for (size_t k = 0; k < lines.size(); ++k) {
            std::string line = lines[k];
            if (k == 0 && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
            const std::string text(zarvo::Trim(line.substr(0, line.find('#'))));
            if (c.Gives[k].empty()) {
                EXPECT_TRUE(text.empty()) << c.Name << ": " << line;
                continue;
            }
            args.push_back(text);
            if (c.Gives[k] != "!") {
                out += c.Gives[k] + "\n";
                continue;
            }
            const std::string reason = "'" + text + "' is not a valid " +
                                       (text.find(':') != std::string::npos ? "IPv6" : "IPv4") + " address\n";
            err += "line " + std::to_string(k + 1) + ": " + text + ": " + reason;
            argsErr += "line " + std::to_string(args.size() - 3) + ": " + text + ": " + reason;
        }
        const int code = err.empty() ? 0 : 1;
        const CliRun fromInput = Cli({"lookup", db, "-"}, c.Input);
        EXPECT_EQ(fromInput.Out, out) << c.Name;
        EXPECT_EQ(fromInput.Err, err) << c.Name;
        EXPECT_EQ(fromInput.Code, code) << c.Name;
        const CliRun fromArgs = Cli(args);
        EXPECT_EQ(fromArgs.Out, out) << c.Name;
        EXPECT_EQ(fromArgs.Err, argsErr) << c.Name;
        EXPECT_EQ(fromArgs.Code, code) << c.Name;
    }
}

} // namespace

namespace {

// lookup --field and --network: the values in the order given, empty where the record
// lacks one, "-" for an address in no network; maps and arrays as compact JSON.
TEST(MmdbCli, LookupFieldsAndNetwork) {
    struct Case {
        std::vector<std::string> Words;
        std::string Out;
    };
    const std::string city = TestDb("GeoIP2-City-Test.mmdb");
    const std::vector<Case> cases = {
        {{"lookup", "--field", "city.names.en", "--field", "location.latitude", "--field", "no_such_key",
          "--field", "subdivisions.0.iso_code", city, "81.2.69.160", "1.2.3.4"},
         "81.2.69.160\t27\tLondon\t51.5142\t\tENG\n1.2.3.4\t8\t-\t-\t-\t-\n"},
        {{"lookup", "--network", "--field", "country.iso_code", city, "81.2.69.160", "2001:218::1"},
         "81.2.69.160\t81.2.69.160/27\tGB\n2001:218::1\t2001:218::/32\tJP\n"},
        {{"lookup", "--network", city, "81.2.69.160"}, "81.2.69.160\t81.2.69.160/27\tGB\n"},
        {{"lookup", "--field", "autonomous_system_number", "--field", "autonomous_system_organization",
          TestDb("GeoLite2-ASN-Test.mmdb"), "1.128.0.1"},
         "1.128.0.1\t11\t1221\tTelstra Pty Ltd\n"},
        {{"lookup", "--field", "subdivisions", "--field", "location", city, "81.2.69.160"},
         "81.2.69.160\t27\t[{\"geoname_id\":6269131,\"iso_code\":\"ENG\",\"names\":{\"en\":\"England\","
         "\"es\":"
         "\"Inglaterra\",\"fr\":\"Angleterre\",\"pt-BR\":\"Inglaterra\"}}]\t{\"accuracy_radius\":100,"
         "\"latitude\":51.5142,\"longitude\":-0.0931,\"time_zone\":\"Europe/London\"}\n"},
        {{"lookup", "--json", "--network", TestDb("GeoLite2-ASN-Test.mmdb"), "1.128.0.1"},
         "{\"address\":\"1.128.0.1\",\"network\":\"1.128.0.0/11\",\"found\":true,\"record\":{}}\n"},
    };
    for (const Case& c : cases) {
        const CliRun r = Cli(c.Words);
        EXPECT_EQ(r.Code, 0) << r.Err;
        EXPECT_EQ(r.Out, c.Out) << c.Words[1];
    }
}

// Values of every type of the decoder test database: integers exact, uint128 too.
TEST(MmdbCli, LookupFieldTypes) {
    const CliRun r =
        Cli({"lookup", "--field", "uint128", "--field", "int32", "--field", "boolean", "--field", "double",
             "--field", "bytes", "--field", "array", TestDb("MaxMind-DB-test-decoder.mmdb"), "1.1.1.1"});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "1.1.1.1\t24\t1329227995784915872903807060280344576\t-268435456\ttrue\t42.123456\t"
                     "[0,0,0,42]\t[1,2,3]\n");
}

TEST(MmdbCli, MmdbAllAndCountryBlocks) {
    // Every network, past the viewer's 1000 lines: the ISP test database has 2129.
    const CliRun all = Cli({"mmdb", "--all", TestDb("GeoIP2-ISP-Test.mmdb")});
    EXPECT_EQ(all.Code, 0) << all.Err;
    EXPECT_GT(std::count(all.Out.begin(), all.Out.end(), '\n'), 2100);
    const CliRun capped = Cli({"mmdb", TestDb("GeoIP2-ISP-Test.mmdb")});
    EXPECT_EQ(std::count(capped.Out.begin(), capped.Out.end(), '\n'), 1000);
    EXPECT_EQ(all.Out.rfind(capped.Out, 0), 0u); // the capped lines are the first ones

    const CliRun v4 =
        Cli({"mmdb", "--networks", "--country", "se", "--ipv4", TestDb("GeoIP2-City-Test.mmdb")});
    EXPECT_EQ(v4.Code, 0) << v4.Err;
    EXPECT_EQ(v4.Out, "89.160.20.112/28\n89.160.20.128/25\n");
}

TEST(MmdbCli, NewOptionsRefuseMistakes) {
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"lookup", "--field", "a..b", "x.mmdb", "1.2.3.4"},
             {"lookup", "--field", "", "x.mmdb", "1.2.3.4"},
             {"lookup", "--json", "--field", "a", "x.mmdb", "-"},
             {"mmdb", "--networks", "x.mmdb"},
             {"mmdb", "--country", "DE", "x.mmdb"},
             {"mmdb", "--networks", "--country", "DE,,FR", "x.mmdb"},
             {"mmdb", "--networks", "--country", "DE", "--all", "x.mmdb"},
             {"mmdb", "--ipv6", "x.mmdb"},
         }) {
        const CliRun r = Cli(words);
        EXPECT_EQ(r.Code, 2) << words[1] << " " << words[2] << ": " << r.Err;
    }
}

} // namespace
