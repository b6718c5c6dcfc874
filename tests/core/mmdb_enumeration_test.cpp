// Network enumeration and the database rendered as CSV lines (the lines mode of
// the line reader included).
#include <gtest/gtest.h>

#include <functional>

#include "mmdb/uMMDBCountryBlocks.h"
#include "mmdb/uMMDBInfo.h"
#include "mmdb/uMMDBLineReader.h"
#include "mmdb/uMMDBReader.h"
#include "mmdb_builder.h"
#include "readers/uLineReaderWriter.h"

using namespace zarvo;
using namespace mmdbtest;

namespace {

Bytes CountryRecord(const std::string& iso) {
    return Map(1) + Str("country") + Map(2) + Str("iso_code") + Str(iso) + Str("geoname_id") + U32(7);
}

template <class T = TMMDBIPCountryInfo> std::vector<std::string> Networks(TMMDBReader& r, bool ipv4Only) {
    std::vector<std::string> out;
    auto e = r.EnumerateNetworks<T>(ipv4Only).GetEnumerator();
    while (e->MoveNext()) {
        const auto* n = e->Current();
        out.push_back(n->Start.ToString() + "/" + std::to_string(n->Prefix) + " " +
                      n->Data->Country().ISOCode());
    }
    EXPECT_EQ(e->Current(), nullptr);
    return out;
}

// A full IPv4 tree of the given depth whose leaves alternate between two records.
std::vector<uint8_t> FullTree(int depth, Meta m, const std::string& codeA = "AA",
                              const std::string& codeB = "BB") {
    const uint32_t inner = (1u << depth) - 1;
    m.NodeCount = inner;
    const Bytes a = CountryRecord(codeA), b = CountryRecord(codeB);
    Bytes tree;
    for (uint32_t i = 0; i < inner; ++i) {
        if (2 * i + 1 < inner)
            tree += Node(24, 2 * i + 1, 2 * i + 2);
        else
            tree += Node(24, DataRecord(m, 0), DataRecord(m, static_cast<uint32_t>(a.size())));
    }
    return Image(tree, a + b, m);
}

TEST(MMDBEnumeration, RootWithTwoRecordsLeftFirst) {
    Meta m;
    m.NodeCount = 1;
    const Bytes de = CountryRecord("DE");
    TMMDBReader r(Image(Node(24, DataRecord(m, static_cast<uint32_t>(de.size())), DataRecord(m, 0)),
                        de + CountryRecord("FR"), m),
                  "two");
    EXPECT_EQ(Networks(r, true), (std::vector<std::string>{"0.0.0.0/1 FR", "128.0.0.0/1 DE"}));
}

TEST(MMDBEnumeration, StartNodeCases) {
    // The IPv4 root of this IPv6 database is itself a data record: one network /0.
    TMMDBReader noV4(TestDb("MaxMind-DB-no-ipv4-search-tree.mmdb"));
    auto e = noV4.EnumerateNetworks<TMMDBIPCountryInfo>(true).GetEnumerator();
    // Its records are strings, which a country record cannot take.
    EXPECT_EQ(ErrorOf([&] { e->MoveNext(); }), "Could not convert 'string' to 'TMMDBIPCountryInfo'.");
    // A start node equal to NodeCount: no networks at all.
    Meta empty;
    empty.NodeCount = 0;
    TMMDBReader r(Image("", "", empty), "empty");
    EXPECT_TRUE(Networks(r, true).empty());
}

TEST(MMDBEnumeration, SharedRecordsAndReset) {
    TMMDBReader r(FullTree(3, Meta()), "full");
    const std::vector<std::string> expected = {"0.0.0.0/3 AA",   "32.0.0.0/3 BB",  "64.0.0.0/3 AA",
                                               "96.0.0.0/3 BB",  "128.0.0.0/3 AA", "160.0.0.0/3 BB",
                                               "192.0.0.0/3 AA", "224.0.0.0/3 BB"};
    auto e = r.EnumerateNetworks<TMMDBIPCountryInfo>(true).GetEnumerator();
    std::vector<std::string> got;
    while (e->MoveNext())
        got.push_back(e->Current()->Start.ToString() + "/" + std::to_string(e->Current()->Prefix) + " " +
                      e->Current()->Data->Country().ISOCode());
    EXPECT_EQ(got, expected);
    e->Reset();
    ASSERT_TRUE(e->MoveNext());
    EXPECT_EQ(e->Current()->Start.ToString(), "0.0.0.0");
}

TEST(MMDBEnumeration, IPv6WalkReportsIPv4NetworksUnderTheZeroBytes) {
    TMMDBReader r(TestDb("MaxMind-DB-test-mixed-24.mmdb"));
    const std::vector<std::string> v4 = Networks(r, true);
    ASSERT_FALSE(v4.empty());
    EXPECT_EQ(v4[0], "1.1.1.1/32 ");
    const std::vector<std::string> all = Networks(r, false);
    // ::1.1.1.1/128 lies under the twelve zero bytes: reported as 1.1.1.1/32; the
    // ::ffff:0:0/96 alias repeats the IPv4 networks as IPv6 ones.
    EXPECT_EQ(all[0], "1.1.1.1/32 ");
    EXPECT_NE(std::find(all.begin(), all.end(), "::ffff:101:101/128 "), all.end());
}

TEST(MMDBEnumeration, ShortIPv6NetworksStayIPv6) {
    // ::/1 holds a record. Under IPv4Only the IPv4 root is that record: one network
    // 0.0.0.0/0. In the 128-bit walk it is ::/1, not an IPv4 network of prefix -95.
    Meta m;
    m.NodeCount = 1;
    m.IPVersion = 6;
    TMMDBReader r(Image(Node(24, DataRecord(m, 0), 1), CountryRecord("DE"), m), "v6");
    EXPECT_EQ(Networks(r, true), (std::vector<std::string>{"0.0.0.0/0 DE"}));
    EXPECT_EQ(Networks(r, false), (std::vector<std::string>{"::/1 DE"}));
}

TEST(MMDBEnumeration, RefilledRecordForgetsTheEarlierNetwork) {
    Meta m;
    m.NodeCount = 1;
    const Bytes de = CountryRecord("DE");
    const Bytes none = Map(1) + Str("continent") + Map(1) + Str("code") + Str("EU");
    TMMDBReader r(
        Image(Node(24, DataRecord(m, 0), DataRecord(m, static_cast<uint32_t>(de.size()))), de + none, m),
        "fresh");
    EXPECT_EQ(Networks(r, true), (std::vector<std::string>{"0.0.0.0/1 DE", "128.0.0.0/1 "}));
}

TRangeSet AllIPv4() {
    TRangeSet all;
    all.V4.Add(0, ~0u);
    return all;
}

// Node k leads to node k + 1 on both sides for k < last: a chain whose every node is
// met by both branches of the one before, 2^(k+1) times in the walk.
Bytes Chain(uint32_t last) {
    Bytes tree;
    for (uint32_t k = 0; k < last; ++k) tree += Node(24, k + 1, k + 1);
    return tree;
}

TEST(MMDBEnumeration, WalkStepsAreBoundedByTheNetworksReported) {
    struct Case {
        const char* what;
        int64_t nodeCount;
        // The tree, given the record values of AA and BB.
        std::function<Bytes(uint32_t aa, uint32_t bb)> tree;
        size_t networks; // reported before the error, or taken without one
        const char* error;
        // The country walk's, where it differs: it names the budget it started with.
        const char* countryError = nullptr;
    };
    const Case cases[] = {
        {"both records of the root point back at it: deeper than 32 bits", 1,
         [](uint32_t, uint32_t) { return Node(24, 0, 0); }, 0, "Invalid search tree, bad bit 32"},
        {"a network on the left, the root again on the right", 1,
         [](uint32_t aa, uint32_t) { return Node(24, aa, 0); }, 32, "Invalid search tree, bad bit 32"},
        {"2^31 empty branches: the walk gives up instead of running for hours", 31,
         [](uint32_t, uint32_t) { return Chain(31); }, 0,
         "Invalid search tree, more than 1272 nodes visited"},
        {"a network, then 1023 steps to nothing, again and again", 31,
         [](uint32_t aa, uint32_t) {
             return Chain(20) + Node(24, aa, 21) + Chain(30).substr(21 * 6) + Node(24, 31, 31);
         },
         2, "Invalid search tree, more than 1336 nodes visited",
         "Invalid search tree, more than 1272 nodes visited"},
        // The branches share every node, as in the IPv4 aliases of an IPv6 tree: 2^32
        // networks, read as long as the reader wants them.
        {"a comb of pointers to one subtree", 32,
         [](uint32_t aa, uint32_t bb) { return Chain(31) + Node(24, aa, bb); }, 5000, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Meta m;
        m.NodeCount = c.nodeCount;
        const Bytes aa = CountryRecord("AA");
        TMMDBReader r(Image(c.tree(DataRecord(m, 0), DataRecord(m, static_cast<uint32_t>(aa.size()))),
                            aa + CountryRecord("BB"), m),
                      "hostile");
        auto e = r.EnumerateNetworks<TMMDBIPCountryInfo>(true).GetEnumerator();
        size_t networks = 0;
        const std::string error = ErrorOf([&] {
            while (networks < 5000 && e->MoveNext()) ++networks;
        });
        EXPECT_EQ(networks, c.networks);
        EXPECT_EQ(error, c.error);
        // The walk of a country's addresses keeps the same budget and fails alike.
        if (*c.error) {
            for (const char* code : {"AA", "BB"})
                EXPECT_EQ(ErrorOf([&] { MMDBCountryAddresses(r, {code}, AllIPv4()); }),
                          c.countryError ? c.countryError : c.error)
                    << code;
        }
    }
    TMMDBReader broken(TestDb("MaxMind-DB-test-broken-search-tree-24.mmdb"));
    EXPECT_EQ(ErrorOf([&] { Networks(broken, true); }), "Invalid search tree, bad bit 32");
    EXPECT_EQ(ErrorOf([&] { MMDBCountryAddresses(broken, {"GB"}, AllIPv4()); }),
              "Invalid search tree, bad bit 32");
}

// ---------------------------------------------------------------------------

std::vector<std::string> AllLines(TLineReader& r) {
    std::vector<std::string> out;
    while (!r.EndOfLines()) out.push_back(r.ReadLine());
    return out;
}

TEST(LineReader, LinesMode) {
    auto* lines = new TStringList;
    lines->Add("a");
    lines->Add("b");
    lines->Add("c");
    TLineReader r(lines, true);
    EXPECT_EQ(r.StreamPosition(), 0);
    EXPECT_EQ(r.StreamSize(), 0);
    EXPECT_EQ(r.ReadLine(), "a");
    r.GotoNextLine();
    EXPECT_EQ(r.LineIndex(), 2);
    EXPECT_FALSE(r.EndOfLines());
    EXPECT_EQ(r.ReadLine(), "c");
    EXPECT_TRUE(r.EndOfLines());
    EXPECT_EQ(r.ReadLine(), "");
    r.GotoNextLine();
    EXPECT_EQ(r.LineIndex(), 3);
    EXPECT_EQ(r.StreamSize(), 0);
    TStringList kept;
    kept.Add("x");
    {
        TLineReader borrowed(&kept, false);
        EXPECT_EQ(borrowed.ReadLine(), "x");
        borrowed.Close();
        EXPECT_TRUE(borrowed.EndOfLines());
    }
    EXPECT_EQ(kept.Count(), 1u);
}

TEST(MMDBMetaReader, CountryDatabaseLines) {
    Meta m;
    // A Latin-1 description and a code with the byte FF read with U+FFFD.
    m.Description = {{"en", "English"}, {"de", "Deutsch"}, {"fr", "Francais"}, {"es", "Espa\xF1ol"}};
    m.Languages = {"en", "de"};
    m.BuildEpoch = 86400 * 365; // 1971-01-01
    const std::string path = WriteTemp(FullTree(10, m, "AA",
                                                "A\xFF"
                                                "B"),
                                       "full10.mmdb");
    TMMDBMetaReader r(path, 1024, "dd.mm.yyyy");
    const std::vector<std::string> lines = AllLines(r);
    ASSERT_EQ(lines.size(), 1000u);
    const std::vector<std::string> head(lines.begin(), lines.begin() + 15);
    EXPECT_EQ(head,
              (std::vector<std::string>{
                  "binary_format_major_version,2", "binary_format_minor_version,0", "build_epoch,01.01.1971",
                  "database_type,Test", "description.en,English", "description.de,Deutsch",
                  "description.fr,Francais", "description.es,Espa\xEF\xBF\xBDol", "ip_version,4",
                  "language[0],en", "language[1],de", "node_count,1023", "record_size,24",
                  "network,continent_code,continent_geoname_id,country_iso_code,country_geoname_id,"
                  "registered_country_iso_code,registered_country_geoname_id",
                  "0.0.0.0/10,,0,AA,7,,0"}));
    EXPECT_EQ(lines[15], "0.64.0.0/10,,0,A\xEF\xBF\xBD"
                         "B,7,,0");
}

TEST(MMDBMetaReader, LimitTestedAfterEachRowAndEmptyDatabases) {
    Meta many;
    for (int i = 0; i < 1000; ++i) many.Languages.push_back("l" + std::to_string(i));
    const std::string path = WriteTemp(FullTree(2, many), "many-languages.mmdb");
    TMMDBMetaReader r(path, 0);
    const std::vector<std::string> lines = AllLines(r);
    ASSERT_EQ(lines.size(), 1009u); // 1007 metadata lines, then the header and one row
    EXPECT_EQ(lines[1007].substr(0, 8), "network,");
    EXPECT_EQ(lines[1008], "0.0.0.0/2,,0,AA,7,,0");

    // A comb of 2^32 networks over 32 nodes: its 1000 lines.
    Meta comb;
    comb.NodeCount = 32;
    const Bytes aa = CountryRecord("AA");
    const Bytes tree =
        Chain(31) + Node(24, DataRecord(comb, 0), DataRecord(comb, static_cast<uint32_t>(aa.size())));
    TMMDBMetaReader c(WriteTemp(Image(tree, aa + CountryRecord("BB"), comb), "comb.mmdb"), 0);
    const std::vector<std::string> cl = AllLines(c);
    ASSERT_EQ(cl.size(), 1000u);
    EXPECT_EQ(cl[8], "0.0.0.0/32,,0,AA,7,,0");
    EXPECT_EQ(cl[999], "0.0.3.223/32,,0,BB,7,,0");

    Meta empty;
    empty.NodeCount = 0;
    TMMDBMetaReader e(WriteTemp(Image("", "", empty), "no-networks.mmdb"), 0);
    const std::vector<std::string> el = AllLines(e);
    ASSERT_EQ(el.size(), 8u);
    EXPECT_EQ(el.back().substr(0, 8), "network,");
}

TEST(MMDBMetaReader, CityRows) {
    Meta m;
    m.DatabaseType = "Test-CITY";
    m.NodeCount = 1;
    const Bytes rec = Map(4) + Str("country") + Map(1) + Str("iso_code") + Str("GB") + Str("city") + Map(2) +
                      Str("geoname_id") + U32(42) + Str("names") + Map(1) + Str("de") + Str("London") +
                      Str("subdivisions") + Arr(2) + Map(1) + Str("names") + Map(1) + Str("fr") +
                      Str("Angleterre") + Map(1) + Str("names") + Map(1) + Str("en") + Str("Greater London") +
                      Str("postal") + Map(1) + Str("code") + Str("EC1");
    const std::string path = WriteTemp(Image(Node(24, DataRecord(m, 0), 1), rec, m), "city.mmdb");
    TMMDBMetaReader r(path, 0);
    const std::vector<std::string> lines = AllLines(r);
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[7],
              "network,continent_code,continent_geoname_id,country_iso_code,country_geoname_id,"
              "registered_country_iso_code,registered_country_geoname_id,city_geoname_id,en_city_name,"
              "en_state_name,postal_code");
    EXPECT_EQ(lines[8], "0.0.0.0/1,,0,GB,0,,0,42,,Greater London,EC1");
}

TEST(MMDBMetaReader, TestDatabasesAndErrors) {
    TMMDBMetaReader city(TestDb("GeoIP2-City-Test.mmdb"), 0);
    const std::vector<std::string> lines = AllLines(city);
    EXPECT_EQ(lines[3], "database_type,GeoIP2-City");
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "81.2.69.142/31,EU,6255148,GB,2635167,US,6252001,2643743,London,England,"),
              lines.end());
    EXPECT_EQ(ErrorOf([] { TMMDBMetaReader r(TestDb("README.md"), 0); }).substr(0, 52),
              "Could not find a MaxMind Db metadata marker in this ");
    EXPECT_EQ(ErrorOf([] { TMMDBMetaReader r(TestDb("MaxMind-DB-test-broken-search-tree-24.mmdb"), 0); }),
              "Invalid search tree, bad bit 32");
    // Through the reader class, as the viewer creates it.
    const TLineReaderClass cls = TMMDBMetaReader::ReaderClass("yyyy");
    std::unique_ptr<TLineReader> viaClass = cls(TestDb("GeoIP2-Country-Test.mmdb"), 1024);
    viaClass->GotoNextLine();
    viaClass->GotoNextLine();
    EXPECT_EQ(viaClass->ReadLine().substr(0, 12), "build_epoch,");
}

TEST(MMDBMetaReader, ShortDateFormats) {
    // Thursday, 2024-03-07, in Arabic-Indic digits.
    TDateTexts arabic = TDateTexts::English();
    for (size_t k = 0; k < 10; ++k) arabic.Digits[k] = "\xD9" + std::string(1, static_cast<char>(0xA0 + k));
    const uint64_t kMarch7 = 1709769600;
    struct Case {
        uint64_t epoch;
        const char* format;
        const char* text;
        const TDateTexts& texts = TDateTexts::English();
    } cases[] = {
        // The command line's default and its runs of d, m and y.
        {0, "yyyy-mm-dd", "1970-01-01"},
        {951782400, "d/M/yyyy", "29/2/2000"},
        {951782400 + 86399, "dd.MM.yy", "29.02.00"},
        {kMarch7, "dd.mm.yyyy", "07.03.2024"},
        {kMarch7, "y yyy", "24 2024"},
        // Short formats of Qt's locales: en_US, de_DE, sv_SE, en_GB, C, bg_BG, ko_KR.
        {kMarch7, "M/d/yy", "3/7/24"},
        {kMarch7, "dd.MM.yy", "07.03.24"},
        {kMarch7, "yyyy-MM-dd", "2024-03-07"},
        {kMarch7, "dd/MM/yyyy", "07/03/2024"},
        {kMarch7, "d MMM yyyy", "7 Mar 2024"},
        {kMarch7, "d.MM.yy '\xD0\xB3'.", "7.03.24 \xD0\xB3."},
        {kMarch7, "yy. M. d.", "24. 3. 7."},
        // Names, quotes and long runs as Qt reads them.
        {kMarch7, "dddd, d MMMM yyyy", "Thursday, 7 March 2024"},
        {0, "ddd MMM", "Thu Jan"},
        {kMarch7 + 3 * 86400, "ddd", "Sun"},
        {kMarch7, "ddddd MMMMM", "Thursday7 March3"},
        {kMarch7, "'d''M' d", "d'M 7"},
        {kMarch7, "'' d", "' 7"},
        {kMarch7, "d 'yy", "7 yy"},
        {kMarch7, "d/M/yyyy", "\xD9\xA7/\xD9\xA3/\xD9\xA2\xD9\xA0\xD9\xA2\xD9\xA4", arabic},
        {kMarch7, "dd", "\xD9\xA0\xD9\xA7", arabic},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatShortDate(c.epoch, c.format, c.texts), c.text) << c.format;
}

} // namespace
