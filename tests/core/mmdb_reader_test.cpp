// Opening databases, the metadata, the search tree walk and lookups, over the
// format's test databases and over images built for the edge cases.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "generator/ZarvoUtilsUnit.h"
#include "mmdb/uMMDBInfo.h"
#include "mmdb/uMMDBReader.h"
#include "mmdb_builder.h"
#include "net/IPTypesX.h"

using namespace zarvo;
using namespace mmdbtest;

namespace {

TMMDBIPAddress V4(const char* s) {
    return TMMDBIPAddress(StrToIPv4(s));
}
TMMDBIPAddress V6(const char* s) {
    return TMMDBIPAddress(StrToIPv6(s));
}

// An IPv4 database whose root splits 0.0.0.0/1 and 128.0.0.0/1 into two records.
std::vector<uint8_t> TwoHalves(const Bytes& left, const Bytes& right, int recordSize = 24) {
    Meta m;
    m.NodeCount = 1;
    m.RecordSize = recordSize;
    return Image(Node(recordSize, DataRecord(m, 0), DataRecord(m, static_cast<uint32_t>(left.size()))),
                 left + right, m);
}

TEST(MMDBReader, OpensAndReadsMetadata) {
    TMMDBReader r(TestDb("GeoIP2-Country-Test.mmdb"));
    const TMMDBMetadata& m = r.Metadata();
    EXPECT_EQ(m.BinaryFormatMajorVersion(), 2);
    EXPECT_EQ(m.DatabaseType(), "GeoIP2-Country");
    EXPECT_EQ(m.IPVersion(), 6);
    EXPECT_EQ(m.RecordSize(), 28);
    EXPECT_EQ(m.NodeCount(), 1704);
    EXPECT_EQ(m.NodeByteSize(), 7);
    EXPECT_EQ(m.SearchTreeSize(), 7 * 1704);
    ASSERT_EQ(m.Languages().size(), 1u);
    EXPECT_EQ(m.Languages()[0], "en");
    ASSERT_NE(m.Description().Find("en"), nullptr);
    EXPECT_GT(m.BuildEpoch(), 1500000000u);
}

TEST(MMDBReader, MetadataThroughPointers) {
    TMMDBReader r(TestDb("MaxMind-DB-test-metadata-pointers.mmdb"));
    EXPECT_EQ(r.Metadata().DatabaseType(), "Lots of pointers in metadata");
    EXPECT_EQ(r.Metadata().Languages(), (TMMDBStringList{{"en", "es", "zh"}}));
}

TEST(MMDBReader, DerivedSizesAndBuildDate) {
    Meta m;
    m.NodeCount = 1000;
    m.RecordSize = 28;
    const Bytes tree(7000, '\0');
    TMMDBReader r(Image(tree, "", m), "sizes");
    EXPECT_EQ(r.Metadata().NodeByteSize(), 7);
    EXPECT_EQ(r.Metadata().SearchTreeSize(), 7000);
    EXPECT_EQ(r.Metadata().BuildDate().time_since_epoch().count(), 0);
    // Tree record value NodeCount + 16 is the first byte of the data section, 7016.
    EXPECT_EQ(r.RecordOffset(1000 + 16), 7016);
}

TEST(MMDBReader, RecordSizesAndNodeReading) {
    Meta m;
    m.NodeCount = 1;
    m.RecordSize = 28;
    const Bytes node("\x12\x34\x56\xAB\x78\x9A\xBC", 7);
    TMMDBReader r(Image(node, "", m), "n28");
    EXPECT_EQ(r.ReadNodeRecord(0, 0), 0xA123456);
    EXPECT_EQ(r.ReadNodeRecord(0, 1), 0xB789ABC);
    for (int size : {24, 28, 32}) {
        const Bytes de = Map(1) + Str("country") + Map(1) + Str("iso_code") + Str("DE");
        const Bytes fr = Map(1) + Str("country") + Map(1) + Str("iso_code") + Str("FR");
        TMMDBReader db(TwoHalves(de, fr, size), "halves");
        TMMDBIPCountryInfoEx rec;
        int32_t prefix = -1;
        ASSERT_TRUE(db.Lookup(V4("200.1.2.3"), prefix, rec)) << size;
        EXPECT_EQ(prefix, 1);
        EXPECT_EQ(rec.Country().ISOCode(), "FR");
        ASSERT_TRUE(db.Lookup(V4("10.1.2.3"), prefix, rec));
        EXPECT_EQ(rec.Country().ISOCode(), "DE");
    }
}

TEST(MMDBReader, UnknownRecordSizeAtFirstNodeRead) {
    Meta m;
    m.NodeCount = 1;
    m.RecordSize = 20;
    TMMDBReader r(Image(Bytes(5, '\0'), "", m), "rs");
    TMMDBIPCountryInfoEx rec;
    int32_t prefix;
    EXPECT_EQ(ErrorOf([&] { r.Lookup(V4("1.2.3.4"), prefix, rec); }), "Unknown record size: 20");
    Meta none;
    none.NodeCount = 1;
    none.RecordSize = 0;
    TMMDBReader z(Image("", "", none), "rs0");
    EXPECT_EQ(ErrorOf([&] { z.Lookup(V4("1.2.3.4"), prefix, rec); }), "Unknown record size: 0");
}

TEST(MMDBReader, MetadataMarkerSearch) {
    const std::string name = "no-marker.mmdb";
    const std::string path = WriteTemp(std::vector<uint8_t>(100, 0xAB), name);
    EXPECT_EQ(ErrorOf([&] { TMMDBReader r(path); }),
              "Could not find a MaxMind Db metadata marker in this file (" + path +
                  "). Is this a valid MaxMind Db file?");
    const std::string empty = WriteTemp({}, "empty.mmdb");
    EXPECT_NE(ErrorOf([&] { TMMDBReader r(empty); }).find("Could not find a MaxMind Db metadata marker"),
              std::string::npos);
    // The marker as the last 14 bytes: the metadata starts at the end of the file.
    const Bytes only = Marker();
    EXPECT_EQ(ErrorOf([&] { TMMDBReader r(std::vector<uint8_t>(only.begin(), only.end()), "m"); }),
              "The MaxMind DB file's data section contains bad data: pointer larger than the database.");
    // Two markers: the later one wins.
    Meta early, late;
    early.DatabaseType = "early";
    late.DatabaseType = "late";
    const Bytes img = Bytes(16, '\0') + Marker() + MetadataMap(early) + Marker() + MetadataMap(late);
    TMMDBReader r(std::vector<uint8_t>(img.begin(), img.end()), "two");
    EXPECT_EQ(r.Metadata().DatabaseType(), "late");
}

// The message of opening path, or "". The open runs aside: should it block (a FIFO
// without a writer), a writer is opened to release it and the test fails instead
// of hanging.
std::string OpenError(const std::string& path) {
    auto open = std::async(std::launch::async, [&] { return ErrorOf([&] { TMMDBReader r(path); }); });
    if (open.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return open.get();
    const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
    open.wait();
    return "blocked";
}

TEST(MMDBReader, FileErrors) {
    EXPECT_NE(ErrorOf([] { TMMDBReader r("/nonexistent/x.mmdb"); }).find("/nonexistent/x.mmdb"),
              std::string::npos);
    // Only a regular file (or a link to one) is read; anything else is refused
    // before a byte of it is read.
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(::testing::TempDir()) / ("zarvo-mmdb-kinds-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "folder.mmdb");
    ASSERT_EQ(::mkfifo((dir / "fifo.mmdb").c_str(), 0600), 0);
    Meta m;
    m.NodeCount = 1;
    const std::vector<uint8_t> db = Image(Node(24, 1, 1), "", m);
    std::ofstream((dir / "db.mmdb").string(), std::ios::binary)
        .write(reinterpret_cast<const char*>(db.data()), static_cast<std::streamsize>(db.size()));
    fs::create_symlink(dir / "db.mmdb", dir / "link.mmdb");
    const auto refused = [](const std::string& p, const char* why) {
        return "Cannot open file \"" + p + "\". " + why;
    };
    const std::string folder = (dir / "folder.mmdb").string(), fifo = (dir / "fifo.mmdb").string(),
                      missing = (dir / "missing.mmdb").string();
    const struct {
        std::string Path, Error;
    } cases[] = {
        {folder, refused(folder, "Not a regular file")},
        {fifo, refused(fifo, "Not a regular file")},
        {"/dev/null", refused("/dev/null", "Not a regular file")},
        {missing, refused(missing, "No such file or directory")},
        {(dir / "db.mmdb").string(), ""},
        {(dir / "link.mmdb").string(), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(OpenError(c.Path), c.Error) << c.Path;
    fs::remove_all(dir);
    // 2 GiB and more: refused before anything is read (a sparse file costs no disk).
    const std::string big = std::string(::testing::TempDir()) + "big.mmdb";
    { std::ofstream(big, std::ios::binary | std::ios::trunc); }
    std::error_code ec;
    std::filesystem::resize_file(big, 2147483648ull, ec);
    if (ec) GTEST_SKIP() << "no sparse file: " << ec.message();
    EXPECT_EQ(
        ErrorOf([&] { TMMDBReader r(big); }),
        "The file \"" + big +
            "\" is too large for a MaxMind Db file: 2147483648 bytes, at most 2147483647 are supported.");
    std::filesystem::remove(big);
}

TEST(MMDBReader, SearchTreeMustFitTheFile) {
    EXPECT_EQ(ErrorOf([] { TMMDBReader r(TestDb("GeoIP2-City-Test-Invalid-Node-Count.mmdb")); }),
              "The MaxMind Db file's search tree is corrupt: the search tree is larger than the database.");
    Meta m;
    m.NodeCount = 100; // 600 bytes of tree, none present
    EXPECT_NE(ErrorOf([&] { TMMDBReader r(Image(Bytes(6, '\0'), "", m), "t"); }), "");
}

TEST(MMDBReader, KnownAddressesOfTheTestDatabases) {
    TMMDBReader country(TestDb("GeoIP2-Country-Test.mmdb"));
    TMMDBIPCountryInfoEx rec;
    int32_t prefix = -1;
    ASSERT_TRUE(country.Lookup(V6("2001:218::1"), prefix, rec));
    EXPECT_EQ(prefix, 32);
    EXPECT_EQ(rec.Country().ISOCode(), "JP");
    ASSERT_TRUE(country.Lookup(V4("81.2.69.160"), prefix, rec));
    EXPECT_EQ(prefix, 27); // counted from the IPv4 root
    EXPECT_EQ(rec.Country().ISOCode(), "GB");
    EXPECT_EQ(rec.Country().Names().Find("en") ? *rec.Country().Names().Find("en") : "", "United Kingdom");

    TMMDBReader city(TestDb("GeoIP2-City-Test.mmdb"));
    TMMDBIPCountryCityInfoEx c;
    ASSERT_TRUE(city.Lookup(V4("81.2.69.142"), prefix, c));
    EXPECT_EQ(c.Country().ISOCode(), "GB");
    EXPECT_EQ(*c.City().Names().Find("en"), "London");
    EXPECT_EQ(c.City().GeonameId(), 2643743);
    EXPECT_DOUBLE_EQ(c.Location().Latitude(), 51.5142);
    EXPECT_EQ(c.Location().TimeZone(), "Europe/London");
    ASSERT_EQ(c.Subdivisions().Count(), 1u);
    EXPECT_EQ(c.Subdivisions()[0].ISOCode(), "ENG");
}

TEST(MMDBReader, TreeStartsAndPrefixLengths) {
    for (const char* name :
         {"MaxMind-DB-test-ipv4-24.mmdb", "MaxMind-DB-test-ipv4-28.mmdb", "MaxMind-DB-test-ipv4-32.mmdb"}) {
        TMMDBReader r(TestDb(name));
        TMMDBIPCountryInfoEx rec;
        int32_t prefix = -1;
        EXPECT_TRUE(r.Lookup(V4("1.1.1.1"), prefix, rec)) << name;
        EXPECT_EQ(prefix, 32);
        EXPECT_TRUE(r.Lookup(V4("1.1.1.3"), prefix, rec));
        EXPECT_EQ(prefix, 31);
        EXPECT_FALSE(r.Lookup(V4("1.1.1.33"), prefix, rec));
        // An IPv6 address in an IPv4 tree stops within 32 bits, without an error.
        r.Lookup(V6("101:101::"), prefix, rec);
        EXPECT_LE(prefix, 32);
        // An IPv4 database has no IPv4 root of its own.
        EXPECT_EQ(r.IPv4Root(), 0);
        EXPECT_EQ(r.TreeStartNode(32), 0);
    }
    TMMDBReader mixed(TestDb("MaxMind-DB-test-mixed-24.mmdb"));
    TMMDBIPCountryInfoEx rec;
    int32_t prefix = -1;
    ASSERT_TRUE(mixed.Lookup(V4("1.1.1.3"), prefix, rec));
    EXPECT_EQ(prefix, 31);
    ASSERT_TRUE(mixed.Lookup(V6("::ffff:1.1.1.3"), prefix, rec));
    EXPECT_EQ(prefix, 127);
    EXPECT_GT(mixed.IPv4Root(), 0);
    EXPECT_EQ(mixed.TreeStartNode(32), mixed.IPv4Root());
    EXPECT_EQ(mixed.TreeStartNode(128), 0);
}

TEST(MMDBReader, MissLeavesRecordAsItWas) {
    Meta m;
    m.NodeCount = 1;
    const Bytes de = Map(1) + Str("country") + Map(1) + Str("iso_code") + Str("DE");
    TMMDBReader r(Image(Node(24, DataRecord(m, 0), 1), de, m), "miss");
    TMMDBIPCountryInfoEx rec;
    int32_t prefix = -1;
    ASSERT_TRUE(r.Lookup(V4("1.0.0.0"), prefix, rec));
    EXPECT_FALSE(r.Lookup(V4("128.0.0.0"), prefix, rec));
    EXPECT_EQ(prefix, 1);
    EXPECT_EQ(rec.Country().ISOCode(), "DE");
}

TEST(MMDBReader, ReusedRecordKeepsNothingOfAnEarlierAddress) {
    // 0.0.0.0/1 has a country; 128.0.0.0/1 only a continent.
    const Bytes de = Map(2) + Str("country") + Map(2) + Str("iso_code") + Str("DE") + Str("names") + Map(1) +
                     Str("en") + Str("Germany") + Str("continent") + Map(1) + Str("code") + Str("EU");
    const Bytes noCountry = Map(1) + Str("continent") + Map(1) + Str("code") + Str("AS");
    TMMDBReader r(TwoHalves(de, noCountry), "fresh");
    TMMDBIPCountryInfoEx rec;
    int32_t prefix;
    ASSERT_TRUE(r.Lookup(V4("1.1.1.1"), prefix, rec));
    EXPECT_EQ(rec.Country().ISOCode(), "DE");
    ASSERT_TRUE(r.Lookup(V4("200.1.1.1"), prefix, rec));
    EXPECT_EQ(rec.Country().ISOCode(), "");
    EXPECT_EQ(rec.Country().Names().Count(), 0u);
    EXPECT_EQ(rec.Continent().Code(), "AS");
}

TEST(MMDBReader, CorruptTreesEndInErrors) {
    TMMDBIPCountryInfoEx rec;
    int32_t prefix;
    // Every record points back at the root: still inside the tree after all 32 bits.
    Meta loop;
    loop.NodeCount = 1;
    TMMDBReader l(Image(Node(24, 0, 0), "", loop), "loop");
    EXPECT_EQ(ErrorOf([&] { l.Lookup(V4("1.2.3.4"), prefix, rec); }), "Something bad happened");
    // A 128-bit address in that tree walks 128 steps at most.
    EXPECT_EQ(ErrorOf([&] { l.Lookup(V6("::1"), prefix, rec); }), "Something bad happened");
    EXPECT_EQ(prefix, 128);
    // A record behind the end of the file.
    Meta far;
    far.NodeCount = 1;
    TMMDBReader f(Image(Node(24, 0xFFFFFF, 0xFFFFFF), "", far), "far");
    EXPECT_EQ(ErrorOf([&] { f.Lookup(V4("1.2.3.4"), prefix, rec); }),
              "The MaxMind Db file's search tree is corrupt: contains pointer larger than the database.");
    TMMDBReader pointers(TestDb("MaxMind-DB-test-broken-pointers-24.mmdb"));
    EXPECT_EQ(ErrorOf([&] { pointers.Lookup(V4("1.1.1.32"), prefix, rec); }),
              "The MaxMind Db file's search tree is corrupt: contains pointer larger than the database.");
    EXPECT_EQ(ErrorOf([&] { pointers.Lookup(V4("1.1.1.16"), prefix, rec); }),
              "The MaxMind DB file's data section contains bad data: pointer larger than the database.");
    // The reader stays usable after a failed lookup.
    EXPECT_TRUE(pointers.Lookup(V4("1.1.1.1"), prefix, rec));
}

TEST(MMDBReader, RecordIntoTheSeparatorIsACorruptTree) {
    // 0.0.0.0/1 holds a record; 128.0.0.0/1 holds NodeCount + gap, which for a gap
    // below 16 points into the separator in front of the data section. A lookup,
    // the country column and the enumeration all refuse it as a corrupt tree.
    const std::string corrupt =
        "The MaxMind Db file's search tree is corrupt: contains pointer larger than the database.";
    const Bytes de = Map(1) + Str("country") + Map(1) + Str("iso_code") + Str("DE");
    const struct {
        uint32_t Gap;
        std::string Error, Code;
    } cases[] = {{1, corrupt, ""}, {15, corrupt, ""}, {16, "", "DE"}};
    for (int size : {24, 28, 32}) {
        for (const auto& c : cases) {
            const std::string at = std::to_string(size) + " bits, gap " + std::to_string(c.Gap);
            Meta m;
            m.NodeCount = 1;
            m.RecordSize = size;
            const std::string path = WriteTemp(
                Image(Node(size, DataRecord(m, 0), static_cast<uint32_t>(m.NodeCount) + c.Gap), de, m),
                "separator.mmdb");
            TMMDBReader r(path);
            TMMDBIPCountryInfoEx rec;
            int32_t prefix;
            EXPECT_EQ(ErrorOf([&] { r.Lookup(V4("200.1.2.3"), prefix, rec); }), c.Error) << at;
            EXPECT_EQ(rec.Country().ISOCode(), c.Code) << at;

            auto column = OpenCountryColumn(path);
            EXPECT_EQ(column->CountryCode(StrToIPAddr("1.2.3.4")), "DE") << at;
            std::string code;
            EXPECT_EQ(ErrorOf([&] { code = column->CountryCode(StrToIPAddr("200.1.2.3")); }), c.Error) << at;
            EXPECT_EQ(code, c.Code) << at;

            // The sound network comes first; the other one ends the walk.
            std::vector<std::string> networks;
            auto e = r.EnumerateNetworks<TMMDBIPCountryInfo>(true).GetEnumerator();
            EXPECT_EQ(ErrorOf([&] {
                          while (e->MoveNext())
                              networks.push_back(e->Current()->Start.ToString() + "/" +
                                                 std::to_string(e->Current()->Prefix) + " " +
                                                 e->Current()->Data->Country().ISOCode());
                      }),
                      c.Error)
                << at;
            std::vector<std::string> expected = {"0.0.0.0/1 DE"};
            if (c.Error.empty()) expected.push_back("128.0.0.0/1 DE");
            EXPECT_EQ(networks, expected) << at;
        }
    }
    // The same image among the fuzz regressions (24 bits, gap 1).
    TMMDBReader regression(std::string(ZARVO_SOURCE_DIR) + "/fuzz/regressions/mmdb/record-in-separator");
    TMMDBIPCountryInfoEx rec;
    int32_t prefix;
    EXPECT_EQ(ErrorOf([&] { regression.Lookup(V4("200.1.2.3"), prefix, rec); }), corrupt);
}

TEST(MMDBReader, ManyIPv4WalksGiveTheSameAnswers) {
    // After some walks the reader takes the first 16 steps from a table; the answers
    // must be those of a fresh reader, for records above and below depth 16.
    const Bytes a = Map(0), b = Map(1) + Str("x") + Str("y");
    Meta m;
    m.NodeCount = 3; // 0.0.0.0/2 and 64.0.0.0/2 records, 128.0.0.0/1 empty below node 2
    const std::vector<uint8_t> shallow =
        Image(Node(24, 1, 2) + Node(24, DataRecord(m, 0), DataRecord(m, 1)) + Node(24, 3, 3), a + b, m);
    for (const std::string& db : {TestDb("GeoIP2-City-Test.mmdb"), TestDb("MaxMind-DB-test-mixed-28.mmdb"),
                                  TestDb("MaxMind-DB-test-ipv4-32.mmdb"), std::string()}) {
        auto open = [&] { return db.empty() ? TMMDBReader(shallow, "shallow") : TMMDBReader(db); };
        TMMDBReader warm = open();
        uint32_t x = 12345;
        std::vector<uint32_t> addrs;
        for (int k = 0; k < 600; ++k) {
            x = x * 1103515245u + 12345u;
            // Half of them near the networks of the test databases.
            addrs.push_back(k % 2 ? x : (k % 4 ? 0x01010100u : 0x51024500u) | (x >> 24));
        }
        for (uint32_t v : addrs) {
            int32_t warmPrefix = -1, freshPrefix = -1;
            const int64_t warmRecord = warm.WalkTree(TMMDBIPAddress(MakeIPv4(v)), warmPrefix);
            TMMDBReader fresh = open();
            const int64_t freshRecord = fresh.WalkTree(TMMDBIPAddress(MakeIPv4(v)), freshPrefix);
            ASSERT_EQ(warmRecord, freshRecord) << db << " " << IPv4ToStr(MakeIPv4(v));
            ASSERT_EQ(warmPrefix, freshPrefix) << db << " " << IPv4ToStr(MakeIPv4(v));
        }
    }
}

TEST(MMDBIPAddress, BytesAndText) {
    const TMMDBIPAddress a = V4("1.2.3.4");
    EXPECT_EQ(a.GetAddressBytes(), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(a.ToString(), "1.2.3.4");
    const TMMDBIPAddress b(
        std::vector<uint8_t>{0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xAB, 0xCD});
    EXPECT_TRUE(b.IsIPv6());
    EXPECT_EQ(b.GetAddressBytes()[14], 0xAB);
    EXPECT_EQ(b.ToString(), "2001:db8::abcd");
    EXPECT_EQ(ErrorOf([] { TMMDBIPAddress x(std::vector<uint8_t>{1, 2, 3}); }), "Bad address size: 3.");
}

TEST(MMDBInfo, CityDatabaseTypes) {
    struct Case {
        const char* Type;
        bool City;
    } cases[] = {{"GeoIP2-City", true},
                 {"GeoLite2-CITY", true},
                 {"x-cItY", true},
                 {"GeoIP2-Country", false},
                 {"", false},
                 {"city", false},
                 {"GeoIP2-City-Europe", false}};
    for (const Case& c : cases) EXPECT_EQ(IsCityDatabaseType(c.Type), c.City) << c.Type;
}

} // namespace
