// The country column of a generation run: one reader per run, city or country
// record by the database type, and a fresh record for every address.
#include <gtest/gtest.h>

#include <sstream>

#include "cli_run.h"
#include "generator/ZarvoUtilsUnit.h"
#include "mmdb/uMMDBInfo.h"
#include "mmdb/uMMDBReader.h"
#include "mmdb_builder.h"
#include "support/uProgress.h"

using namespace zarvo;
using namespace mmdbtest;

namespace {

std::string Code(TCountryColumn& c, const char* address) {
    return c.CountryCode(StrToIPAddr(address));
}

TEST(CountryColumn, CountryAndCityDatabases) {
    // A code with the byte FF between two letters, in a country and in a city database.
    std::string illFormed[2];
    for (int city = 0; city < 2; ++city) {
        Meta m;
        m.NodeCount = 1;
        m.DatabaseType = city ? "Test-City" : "Test-Country";
        illFormed[city] = WriteTemp(Image(Node(24, DataRecord(m, 0), 1),
                                          Map(1) + Str("country") + Map(1) + Str("iso_code") +
                                              Str("A\xFF"
                                                  "B"),
                                          m),
                                    m.DatabaseType + "-ff.mmdb");
    }
    struct Case {
        std::string Db;
        const char* Address;
        const char* Code;
    } cases[] = {
        {TestDb("GeoIP2-Country-Test.mmdb"), "81.2.69.160", "GB"},
        {TestDb("GeoIP2-Country-Test.mmdb"), "2001:218::1", "JP"},
        {TestDb("GeoIP2-Country-Test.mmdb"), "1.2.3.4", ""},
        {TestDb("GeoIP2-City-Test.mmdb"), "81.2.69.142", "GB"},
        {TestDb("GeoIP2-City-Test.mmdb"), "2.125.160.216", "GB"},
        {TestDb("GeoLite2-City-Test.mmdb"), "89.160.20.128", "SE"},
        {TestDb("MaxMind-DB-test-ipv4-24.mmdb"), "1.1.1.1", ""},
        {TestDb("GeoIP2-Country-Test.mmdb"), "::ffff:81.2.69.160", "GB"},
        {illFormed[0], "1.1.1.1",
         "A\xEF\xBF\xBD"
         "B"},
        {illFormed[1], "1.1.1.1",
         "A\xEF\xBF\xBD"
         "B"},
    };
    for (const Case& c : cases) {
        auto col = OpenCountryColumn(c.Db);
        EXPECT_EQ(Code(*col, c.Address), c.Code) << c.Db << " " << c.Address;
    }
}

TEST(CountryColumn, RecordWithoutCountryGivesEmptyCode) {
    // 0.0.0.0/1 is in Germany; 128.0.0.0/1 has a continent but no country. Looked up
    // in turn through the one record of the run, the second must not inherit "DE".
    for (const char* type : {"Test-Country", "Test-City"}) {
        Meta m;
        m.NodeCount = 1;
        m.DatabaseType = type;
        const Bytes de = Map(1) + Str("country") + Map(1) + Str("iso_code") + Str("DE");
        const Bytes none = Map(1) + Str("continent") + Map(1) + Str("code") + Str("EU");
        const std::string path = WriteTemp(
            Image(Node(24, DataRecord(m, 0), DataRecord(m, static_cast<uint32_t>(de.size()))), de + none, m),
            std::string(type) + ".mmdb");
        auto col = OpenCountryColumn(path);
        EXPECT_EQ(Code(*col, "1.1.1.1"), "DE") << type;
        EXPECT_EQ(Code(*col, "200.1.1.1"), "") << type;
        EXPECT_EQ(Code(*col, "2.2.2.2"), "DE") << type;
        EXPECT_EQ(Code(*col, "201.1.1.1"), "") << type;
    }
}

TEST(CountryColumn, OnlyTheCountryIsDecoded) {
    // Both halves point at one country map, first as registered_country, then as
    // country. The second half's city names are no strings: the column does not
    // read the city, so that does not matter to it. A third record's iso_code is
    // no string: that fails the lookup with the conversion message.
    Meta m;
    m.NodeCount = 2;
    m.DatabaseType = "Test-CiTy";
    const Bytes country = Map(1) + Str("iso_code") + Str("NZ");
    const Bytes badCity = Map(1) + Str("names") + Map(1) + Str("en") + U16(3);
    const Bytes good = Map(2) + Str("registered_country") + Ptr(0) + Str("country") + Ptr(0);
    const Bytes bad = Map(3) + Str("registered_country") + Ptr(0) + Str("country") + Ptr(0) + Str("city") +
                      Ptr(static_cast<uint32_t>(country.size()));
    const Bytes badCode = Map(1) + Str("country") + Map(1) + Str("iso_code") + U16(554);
    const uint32_t at = static_cast<uint32_t>(country.size() + badCity.size());
    const uint32_t badAt = at + static_cast<uint32_t>(good.size());
    const uint32_t badCodeAt = badAt + static_cast<uint32_t>(bad.size());
    // 0.0.0.0/1 good, 128.0.0.0/2 bad city, 192.0.0.0/2 bad code.
    const Bytes tree =
        Node(24, DataRecord(m, at), 1) + Node(24, DataRecord(m, badAt), DataRecord(m, badCodeAt));
    const std::string path =
        WriteTemp(Image(tree, country + badCity + good + bad + badCode, m), "only-country.mmdb");
    auto col = OpenCountryColumn(path);
    EXPECT_EQ(Code(*col, "1.1.1.1"), "NZ");
    EXPECT_EQ(Code(*col, "130.1.1.1"), "NZ");
    try {
        Code(*col, "200.1.1.1");
        ADD_FAILURE() << "a numeric iso_code must fail";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Could not convert 'Integer' to 'string'.");
    }
    EXPECT_EQ(Code(*col, "2.1.1.1"), "NZ");
    // The full decode, as the lookup command does it, refuses the city's names.
    TMMDBReader reader(path);
    TMMDBIPCountryCityInfoEx city;
    int32_t prefix;
    EXPECT_THROW(reader.Lookup(TMMDBIPAddress(StrToIPv4("130.1.1.1")), prefix, city), Exception);
}

TEST(CountryColumn, OpeningErrors) {
    try {
        OpenCountryColumn(TestDb("README.md"));
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), "Could not find a MaxMind Db metadata marker in this file (" +
                                             TestDb("README.md") + "). Is this a valid MaxMind Db file?");
    }
}

// An IPv4 database: 0.0.0.0/1 is DE, 128.0.0.0/2 empty, 192.0.0.0/2 points behind the file.
std::string HalfBroken() {
    Meta m;
    m.NodeCount = 2;
    m.DatabaseType = "Test-Country";
    const Bytes de = Map(1) + Str("country") + Map(1) + Str("iso_code") + Str("DE");
    return WriteTemp(Image(Node(24, DataRecord(m, 0), 1) + Node(24, 2, 0xFFFFFF), de, m), "half-broken.mmdb");
}

TEST(CountryColumn, BatchedCodesAreTheSingleOnes) {
    // Every address's code or error as CountryCode gives it, over batches that start
    // and end anywhere; the failures in a batch stay with their own addresses.
    std::vector<std::string> addresses;
    uint32_t x = 7;
    for (int k = 0; k < 700; ++k) {
        x = x * 1103515245u + 12345u;
        const uint32_t v = k % 3 == 0 ? x : k % 3 == 1 ? 0x51024500u | (x >> 26) : 0x02000000u | (x >> 12);
        addresses.push_back(IPv4ToStr(MakeIPv4(v)));
        if (k % 7 == 0) addresses.push_back("2001:218::" + std::to_string(k % 100));
        if (k % 11 == 0) addresses.push_back("::ffff:" + IPv4ToStr(MakeIPv4(v)));
    }
    for (const std::string& db : {TestDb("GeoIP2-Country-Test.mmdb"), TestDb("GeoIP2-City-Test.mmdb"),
                                  TestDb("GeoIP2-City-Test-Broken-Double-Format.mmdb"),
                                  TestDb("MaxMind-DB-test-broken-pointers-24.mmdb"), HalfBroken()}) {
        auto single = OpenCountryColumn(db);
        std::vector<std::string> expected;
        for (const std::string& a : addresses) {
            std::string code;
            const std::string error = ErrorOf([&] { code = single->CountryCode(StrToIPAddr(a)); });
            expected.push_back(error.empty() ? "code " + code : "error " + error);
        }
        for (size_t batch : {size_t{1}, size_t{17}, size_t{256}, addresses.size()}) {
            auto batched = OpenCountryColumn(db);
            for (size_t at = 0; at < addresses.size(); at += batch) {
                const size_t n = std::min(batch, addresses.size() - at);
                std::vector<TIPAddr> addrs;
                for (size_t k = at; k < at + n; ++k) addrs.push_back(StrToIPAddr(addresses[k]));
                std::vector<TCountryAnswer> answers(n);
                batched->CountryCodes(addrs, answers);
                for (size_t k = 0; k < n; ++k) {
                    std::string got = "code " + answers[k].Code;
                    if (answers[k].Error)
                        got = "error " + ErrorOf([&] { std::rethrow_exception(answers[k].Error); });
                    ASSERT_EQ(got, expected[at + k])
                        << db << ", batches of " << batch << ", " << addresses[at + k];
                }
            }
        }
        // zarvo-cli lookup's lines carry the same codes, and its messages the same errors.
        std::string input;
        for (const std::string& a : addresses) input += a + "\n";
        for (const char* threads : {"1", "3"}) {
            const test::CliRun run = test::Cli({"lookup", "--threads", threads, db, "-"}, input);
            std::istringstream out(run.Out), err(run.Err);
            for (size_t k = 0; k < addresses.size(); ++k) {
                std::string line, got;
                if (expected[k].starts_with("code ")) {
                    std::getline(out, line);
                    got = "code " + line.substr(line.rfind('\t') + 1);
                    if (got == "code -") got = "code ";
                } else {
                    std::getline(err, line);
                    const std::string head = "line " + std::to_string(k + 1) + ": " + addresses[k] + ": ";
                    got = line.starts_with(head) ? "error " + line.substr(head.size()) : line;
                }
                ASSERT_EQ(got, expected[k])
                    << db << ", lookup on " << threads << " threads, " << addresses[k];
            }
        }
    }
}

TEST(CountryColumn, SharedCountriesGiveTheirOwnCodes) {
    // Records reach their country through pointers, some through the same one; the
    // codes (and errors) are those of decoding every record in full.
    Meta m;
    m.NodeCount = 7; // a full tree of depth 3: eight /3 networks
    m.DatabaseType = "Test-Country";
    const Bytes de = Map(1) + Str("iso_code") + Str("DE");
    const Bytes bad = Map(1) + Str("iso_code") + Map(0);
    const uint32_t deAt = 0, badAt = static_cast<uint32_t>(de.size()),
                   viaAt = badAt + static_cast<uint32_t>(bad.size());
    const Bytes via = Ptr(deAt); // a pointer to the pointer: the country one level deeper
    const std::vector<Bytes> records = {
        Map(1) + Str("country") + Ptr(deAt),
        Map(1) + Str("country") + Ptr(deAt),
        // Named twice: the second fills the same object.
        Map(2) + Str("country") + Ptr(deAt) + Str("country") + Map(1) + Str("iso_code") + Str("FR"),
        Map(2) + Str("country") + Map(1) + Str("names") + Map(0) + Str("country") + Ptr(deAt),
        Map(1) + Str("country") + Ptr(viaAt),
        Map(1) + Str("country") + Ptr(badAt),
        Map(1) + Str("country") + Ptr(deAt) + Str("continent") + Map(0),
        Map(0),
    };
    Bytes data = de + bad + via, tree;
    std::vector<uint32_t> at;
    for (const Bytes& r : records) {
        at.push_back(DataRecord(m, static_cast<uint32_t>(data.size())));
        data += r;
    }
    for (uint32_t n = 0; n < 3; ++n) tree += Node(24, 2 * n + 1, 2 * n + 2);
    for (uint32_t n = 0; n < 4; ++n) tree += Node(24, at[2 * n], at[2 * n + 1]);
    const std::vector<uint8_t> image = Image(tree, data, m);
    const std::string db = WriteTemp(image, "shared-countries.mmdb");
    // Twice over, so that the second round meets every country as known.
    std::vector<std::string> addresses;
    for (int round = 0; round < 2; ++round)
        for (uint32_t k = 0; k < 8; ++k) addresses.push_back(IPv4ToStr(MakeIPv4(k << 29 | 1)));

    TMMDBReader full(image, "full");
    std::vector<std::string> expected;
    for (const std::string& a : addresses) {
        TMMDBIPCountryInfoEx rec;
        int32_t prefix;
        std::string code;
        const std::string error = ErrorOf([&] {
            if (full.Lookup(TMMDBIPAddress(StrToIPv4(a)), prefix, rec)) code = rec.Country().ISOCode();
        });
        expected.push_back(error.empty() ? code : "error " + error);
    }
    EXPECT_EQ(std::vector<std::string>(expected.begin(), expected.begin() + 8),
              (std::vector<std::string>{"DE", "DE", "FR", "DE", "DE",
                                        "error Could not convert 'map' to 'string'.", "DE", ""}));
    auto single = OpenCountryColumn(db);
    auto batched = OpenCountryColumn(db);
    std::vector<TIPAddr> addrs;
    for (const std::string& a : addresses) addrs.push_back(StrToIPAddr(a));
    std::vector<TCountryAnswer> answers(addrs.size());
    batched->CountryCodes(addrs, answers);
    for (size_t k = 0; k < addresses.size(); ++k) {
        std::string code;
        const std::string error = ErrorOf([&] { code = single->CountryCode(addrs[k]); });
        EXPECT_EQ(error.empty() ? code : "error " + error, expected[k]) << addresses[k];
        const std::string batchError =
            answers[k].Error ? ErrorOf([&] { std::rethrow_exception(answers[k].Error); }) : "";
        EXPECT_EQ(batchError.empty() ? answers[k].Code : "error " + batchError, expected[k]) << addresses[k];
    }
}

class CountryRun : public ::testing::Test {
protected:
    TProgress progress;
    TZarvoUtils u{&progress};
    TGenerateRequest q;
    std::vector<std::string> Run(const std::vector<std::string>& ranges) {
        q.IPRanges = ranges;
        q.ResolveCountry = true;
        std::string result;
        EXPECT_TRUE(u.PerformGenerateIPList(q, result));
        std::vector<std::string> lines;
        for (size_t i = 0; i < u.IPList().Count(); ++i) lines.emplace_back(u.IPList()[i]);
        return lines;
    }
};

TEST_F(CountryRun, LinesEndInTheCode) {
    q.MMDBFilePath = TestDb("GeoIP2-Country-Test.mmdb");
    EXPECT_EQ(Run({"81.2.69.140/30"}),
              (std::vector<std::string>{"81.2.69.140 ", "81.2.69.141 ", "81.2.69.142 GB", "81.2.69.143 GB"}));
    q.GenerateNames = true;
    q.Names.Template = "name";
    q.Names.Symbol = "#";
    q.Names.Delimiter = ",";
    q.Ports = "80";
    EXPECT_EQ(Run({"81.2.69.160"}), (std::vector<std::string>{"name,81.2.69.160:80,GB"}));
}

TEST_F(CountryRun, BadDataInTheRecordFailsTheRun) {
    // The record's location holds a double of the wrong size: not a country field,
    // but the data is broken, and the run says so instead of giving codes.
    q.MMDBFilePath = TestDb("GeoIP2-City-Test-Broken-Double-Format.mmdb");
    q.IPRanges = {"2.125.160.216"};
    q.ResolveCountry = true;
    std::string result;
    try {
        u.PerformGenerateIPList(q, result);
        ADD_FAILURE() << "the run must fail";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(),
                     "The MaxMind DB file's data section contains bad data: invalid size of double.");
    }
    EXPECT_EQ(u.IPList().Count(), 0u);
}

TEST_F(CountryRun, NotADatabaseFailsTheRun) {
    q.MMDBFilePath = TestDb("README.md");
    q.IPRanges = {"10.0.0.0/30"};
    q.ResolveCountry = true;
    std::string result;
    EXPECT_THROW(u.PerformGenerateIPList(q, result), Exception);
}

TEST_F(CountryRun, AFailureComesInItsPlace) {
    // The lookups go in batches, but a run fails at the first line that fails: a
    // corrupt record after the memory budget is used up leaves the budget's message,
    // and one before it its own.
    const std::string corrupt =
        "The MaxMind Db file's search tree is corrupt: contains pointer larger than the database.";
    const struct {
        std::vector<std::string> Ranges;
        uint64_t Budget; // in lines of "10.0.0.N DE"
        std::string Error;
    } cases[] = {
        {{"10.0.0.0/29", "200.0.0.1"}, 5, "Too many lines (more than 5)"},
        {{"10.0.0.0/29", "200.0.0.1"}, 0, corrupt},
        {{"10.0.0.0/30", "200.0.0.1", "10.0.0.4/30"}, 5, corrupt},
        {{"10.0.0.0/30", "130.0.0.1", "10.0.0.4/30"}, 9, ""},
    };
    for (const auto& c : cases) {
        TProgress p;
        TZarvoUtils run(&p);
        TGenerateRequest rq;
        rq.IPRanges = c.Ranges;
        rq.ResolveCountry = true;
        rq.MMDBFilePath = HalfBroken();
        rq.MemoryBudget = c.Budget * TStringList::LineCost(std::string("10.0.0.0 DE").size());
        std::string result;
        const std::string error = ErrorOf([&] { run.PerformGenerateIPList(rq, result); });
        EXPECT_EQ(error.substr(0, c.Error.size()), c.Error) << c.Ranges[1] << " " << c.Budget;
        EXPECT_EQ(error.empty(), c.Error.empty()) << error;
        if (c.Error.empty()) {
            EXPECT_EQ(run.IPList().Count(), 9u);
            EXPECT_EQ(run.IPList()[4], "130.0.0.1 ");
        }
    }
}

// --only-country: a run keeps the lines of the full run whose address is in the
// countries, as if the full list were filtered; counts count kept addresses.
TEST_F(CountryRun, OnlyCountriesKeepWhatFilteringTheFullRunKeeps) {
    q.MMDBFilePath = TestDb("GeoIP2-Country-Test.mmdb");
    const std::vector<std::string> ranges = {"81.2.69.0/24",   "10.0.0.0/30",    "A=89.160.20.7/16/24",
                                             "2.125.160.0/24", "2001:218::/126", "89.160.20.96/27"};
    struct Case {
        const char* What;
        std::function<void(TGenerateRequest&)> Set;
    };
    const Case cases[] = {
        {"all", [](TGenerateRequest&) {}},
        {"usable hosts", [](TGenerateRequest& r) { r.UsableHosts = true; }},
        {"a block and a mask excluded",
         [](TGenerateRequest& r) {
             r.ExcludeMasks = {"81.2.69.14[0-5]", "89.160.20.112/29", "*.3"};
         }},
        {"ports and names",
         [](TGenerateRequest& r) {
             r.Ports = "80,443";
             r.GenerateNames = true;
             r.Names.Template = "h%4-%s"; // a counter numbers the kept lines: below
             r.Names.Symbol = "#";
         }},
        {"unique over overlapping ranges", [](TGenerateRequest& r) { r.Unique = true; }},
        {"a field as the column", [](TGenerateRequest& r) { r.CountryField = "country.names.en"; }},
    };
    const auto inCountries = [](const std::string& line) {
        return line.ends_with(" GB") || line.ends_with(" SE") || line.ends_with(" JP") ||
               line.ends_with(" United Kingdom") || line.ends_with(" Sweden") || line.ends_with(" Japan");
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        q = TGenerateRequest();
        q.MMDBFilePath = TestDb("GeoIP2-Country-Test.mmdb");
        c.Set(q);
        const std::vector<std::string> full = Run(ranges);
        std::vector<std::string> want;
        std::copy_if(full.begin(), full.end(), std::back_inserter(want), inCountries);
        q.OnlyCountries = {"GB", "SE", "JP"};
        EXPECT_EQ(Run(ranges), want);
        EXPECT_EQ(u.LinesWithoutKept(), (std::vector<size_t>{1, 2}));
        // The first ones of them with a total; a shard's lines are every third.
        q.Mode = gcTotalCount;
        q.Count = 40;
        const std::vector<std::string> first = Run(ranges);
        const std::ptrdiff_t perAddress = q.Ports ? 2 : 1; // the total counts addresses
        EXPECT_EQ(first, std::vector<std::string>(
                             want.begin(), want.begin() + std::min(40 * perAddress, std::ssize(want))));
        q.Shard = TShard{1, 3};
        std::vector<std::string> shard;
        for (size_t k = 1; k < first.size(); k += 3) shard.push_back(first[k]);
        EXPECT_EQ(Run(ranges), shard);
        q.Shard = TShard{};
        q.CountOnly = true;
        Run(ranges);
        EXPECT_EQ(u.LineCount(), first.size());
    }
}

// Each range's count counts its kept addresses; random order draws among them alone,
// the shards of a seeded run hold its lines, and a range without any is told.
TEST_F(CountryRun, OnlyCountriesCountsAndRandomOrder) {
    q.MMDBFilePath = TestDb("GeoIP2-Country-Test.mmdb");
    q.OnlyCountries = {"GB"};
    const std::vector<std::string> ranges = {"81.2.69.0/24", "89.160.20.0/24", "2.125.160.0/24"};
    q.Mode = gcForEach;
    q.Count = 10;
    std::vector<std::string> lines = Run(ranges);
    ASSERT_EQ(lines.size(), 18u); // 10 of the first range's 66, the third's 8
    EXPECT_EQ(lines[0], "81.2.69.142 GB");
    EXPECT_EQ(lines[10], "2.125.160.216 GB");
    EXPECT_EQ(u.LinesWithoutKept(), std::vector<size_t>{1});
    std::string result;
    u.PerformGenerateIPList(q, result);
    EXPECT_EQ(result, "18 IPs generated. 1 range holds no address in GB.");
    // A name's counter numbers the lines made.
    q.GenerateNames = true;
    q.Names.Template = "n#";
    q.Names.Symbol = "#";
    lines = Run(ranges);
    EXPECT_EQ(lines[0], "n1 81.2.69.142 GB");
    EXPECT_EQ(lines[10], "n11 2.125.160.216 GB");
    q.GenerateNames = false;
    q.Names = TNameSettings();

    for (const TGenerateCounts mode : {gcTotalCount, gcForEach, gcAllCount}) {
        SCOPED_TRACE(static_cast<int>(mode));
        q.Mode = mode;
        q.Count = 50;
        q.RandomOrder = true;
        q.RandomSeed = 11;
        lines = Run(ranges);
        const size_t want = mode == gcTotalCount ? 50 : mode == gcForEach ? 58 : 74;
        EXPECT_EQ(lines.size(), want);
        for (const std::string& l : lines) EXPECT_TRUE(l.ends_with(" GB")) << l;
        std::vector<std::string> sorted = lines;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
        std::vector<std::string> shards;
        for (uint64_t i = 0; i < 4; ++i) {
            q.Shard = TShard{i, 4};
            for (const std::string& l : Run(ranges)) shards.push_back(l);
        }
        q.Shard = TShard{};
        std::sort(shards.begin(), shards.end());
        EXPECT_EQ(shards, sorted);
    }
}

// The column's value by path, as lookup --field prints it; the country code's path
// gives the lines of the default column byte for byte.
TEST_F(CountryRun, FieldColumn) {
    q.MMDBFilePath = TestDb("GeoIP2-City-Test.mmdb");
    const std::vector<std::string> ranges = {"81.2.69.140/30", "2.125.160.216", "10.0.0.1"};
    const std::vector<std::string> codes = Run(ranges);
    q.CountryField = "country.iso_code";
    EXPECT_EQ(Run(ranges), codes);
    const struct {
        const char* Field;
        std::vector<std::string> Lines;
    } cases[] = {
        {"city.names.en",
         {"81.2.69.140 ", "81.2.69.141 ", "81.2.69.142 London", "81.2.69.143 London", "2.125.160.216 Boxford",
          "10.0.0.1 "}},
        {"location.latitude",
         {"81.2.69.140 ", "81.2.69.141 ", "81.2.69.142 51.5142", "81.2.69.143 51.5142", "2.125.160.216 51.75",
          "10.0.0.1 "}},
        {"subdivisions.0.iso_code",
         {"81.2.69.140 ", "81.2.69.141 ", "81.2.69.142 ENG", "81.2.69.143 ENG", "2.125.160.216 ENG",
          "10.0.0.1 "}},
        {"continent",
         {"81.2.69.140 ", "81.2.69.141 ",
          R"(81.2.69.142 {"code":"EU","geoname_id":6255148,"names":{"de":"Europa","en":"Europe","es":"Europa","fr":"Europe","ja":"ヨーロッパ","pt-BR":"Europa","ru":"Европа","zh-CN":"欧洲"}})",
          R"(81.2.69.143 {"code":"EU","geoname_id":6255148,"names":{"de":"Europa","en":"Europe","es":"Europa","fr":"Europe","ja":"ヨーロッパ","pt-BR":"Europa","ru":"Европа","zh-CN":"欧洲"}})",
          R"(2.125.160.216 {"code":"EU","geoname_id":6255148,"names":{"de":"Europa","en":"Europe","es":"Europa","fr":"Europe","ja":"ヨーロッパ","pt-BR":"Europa","ru":"Европа","zh-CN":"欧洲"}})",
          "10.0.0.1 "}},
    };
    for (const auto& c : cases) {
        q.CountryField = c.Field;
        EXPECT_EQ(Run(ranges), c.Lines) << c.Field;
    }
    q.CountryField = "city..en";
    EXPECT_EQ(ErrorOf([&] { Run(ranges); }), "the field path 'city..en' has an empty part");
}

TEST(CountryColumnThreads, GiveTheLinesOfOneThread) {
    // Lookups spread over threads give the lines and the failure that one thread
    // gives, in the same order, over runs of many batches, held or handed to a sink.
    const struct {
        const char* Name;
        std::string Db;
        std::vector<std::string> Ranges;
        bool Random, Sink;
        uint64_t Budget; // lines of "10.0.0.0 DE" (longer ones take more)
        size_t Lines;
    } cases[] = {
        {"random", TestDb("GeoIP2-City-Test.mmdb"), {"0.0.0.0/0", "2001:218::/112"}, true, false, 0, 30000},
        {"randomToASink", TestDb("GeoIP2-City-Test.mmdb"), {"0.0.0.0/0"}, true, true, 0, 30000},
        {"ordered", HalfBroken(), {"10.0.0.0/18", "130.0.0.1", "10.1.0.0/18"}, false, false, 0, 32769},
        {"orderedToASink", HalfBroken(), {"10.0.0.0/17", "130.0.0.1", "10.1.0.0/17"}, false, true, 0, 65537},
        {"failing", HalfBroken(), {"10.0.0.0/18", "200.0.0.1", "10.1.0.0/18"}, false, false, 0, 0},
        // The budget runs out part-way through a batch.
        {"budget", HalfBroken(), {"10.0.0.0/18"}, false, false, 10001, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> lines[2];
        std::string errors[2];
        for (int t = 0; t < 2; ++t) {
            TZarvoUtils run(nullptr);
            TGenerateRequest rq;
            rq.IPRanges = c.Ranges;
            rq.ResolveCountry = true;
            rq.MMDBFilePath = c.Db;
            rq.CountryLanes = t == 0 ? 1 : 3;
            if (c.Budget)
                rq.MemoryBudget = c.Budget * TStringList::LineCost(std::string("10.0.0.0 DE").size());
            if (c.Sink)
                rq.LineSink = [&lines, t](const TStringList& chunk) {
                    EXPECT_LE(chunk.Count(), 65536u);
                    for (size_t i = 0; i < chunk.Count(); ++i) lines[t].emplace_back(chunk[i]);
                };
            if (c.Random) {
                rq.RandomOrder = true;
                rq.RandomSeed = 7;
                rq.Mode = gcTotalCount;
                rq.Count = 30000;
            }
            std::string result;
            errors[t] = ErrorOf([&] { run.PerformGenerateIPList(rq, result); });
            for (size_t i = 0; i < run.IPList().Count(); ++i) lines[t].emplace_back(run.IPList()[i]);
        }
        EXPECT_EQ(errors[0], errors[1]) << c.Name;
        EXPECT_EQ(lines[0], lines[1]) << c.Name;
        EXPECT_EQ(lines[0].size(), c.Lines) << c.Name;
        if (c.Budget) {
            EXPECT_EQ(errors[0].substr(0, 26), "Too many lines (more than ") << errors[0];
        }
    }
}

} // namespace
