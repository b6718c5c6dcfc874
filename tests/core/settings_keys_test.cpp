// Options written as settings keys and read back, each by its own rule.
#include <gtest/gtest.h>

#include <algorithm>

#include "options/ZarvoSettings.h"

using namespace zarvo;

namespace {

// Every option away from its initial value.
TZarvoOptions Changed() {
    TZarvoOptions o;
    o.IPRanges = {"A=192.168.1.100/16/24", "  ", "2001:db8::/126 ; comment"};
    o.UsableHosts = true;
    o.Unique = true;
    o.Exclude = true;
    o.ExcludeMasks = {"*.0", "*.255"};
    o.EscapeIPv6 = true;
    o.LowerIPv6 = true;
    o.AddPort = true;
    o.Ports = "80,3128-3130";
    o.GenerateNames = true;
    o.NameTemplate = "host-%3-@.example.com";
    o.CounterSymbol = "@";
    o.FirstCounter = "5";
    o.CounterStep = "-2";
    o.CounterDigits = "3";
    o.NameDelimiter = ndCustom;
    o.NameCustomDelimiter = " | ";
    o.Mode = gcForEach;
    o.TotalCount = "123";
    o.EachCount = "7";
    o.Random = true;
    o.Append = true;
    o.ResolveCountry = true;
    o.MMDBFilePath = "/data/GeoLite2-Country.mmdb";
    o.CountryField = "city.names.en";
    o.OnlyCountries = "de, AT";
    o.IPDelimiter = ldComma;
    o.ResolvedDelimiter = ldSemicolon;
    o.UnresolvedDelimiter = ldComma;
    o.DNSServers = {"1.1.1.1"};
    o.DNSTimeoutMs = 250;
    o.DNSInFlight = 4;
    o.DNSRetries = 0;
    return o;
}

TZarvoOptions FromLines(std::vector<std::string> lines, TZarvoOptions o = {}) {
    SettingsFromList(lines, o);
    return o;
}

} // namespace

TEST(SettingsKeys, WrittenInTheirFixedOrder) {
    TZarvoOptions o;
    o.IPRanges = {"10.0.0.0/8", "", "A=192.168.1.100/16/24"};
    EXPECT_EQ(SettingsToList(o), (std::vector<std::string>{
                                     "ResolveCountry=0",
                                     "Append=0",
                                     "IPRange1=10.0.0.0/8",
                                     "IPRange2=A=192.168.1.100/16/24",
                                     "IPRangeN=2",
                                     "UsableHostIPAddresses=0",
                                     "Exclude=0",
                                     "ExcludeN=0",
                                     "DNS1=8.8.8.8",
                                     "DNS2=8.8.4.4",
                                     "DNSN=2",
                                     "Mode=0",
                                     "TotalCount=10",
                                     "EachCount=10",
                                     "Random=0",
                                     "EscapeIPv6=0",
                                     "AddPort=0",
                                     "Ports=80",
                                     "GenerateNames=0",
                                     "NameTemplate=mail#.example.com",
                                     "CounterSymbol=#",
                                     "FirstCounter=1",
                                     "CounterStep=1",
                                     "CounterDigits=1",
                                     "NameDelimiter=0",
                                     "NameCustomDelimiter=|",
                                     "IPDelimiter=0",
                                     "ResolvedDelimiter=0",
                                     "UnresolvedDelimiter=0",
                                     "DNSTimeout=5000",
                                     "DNSInFlight=32",
                                     "DNSRetries=2",
                                     "LowerIPv6=0",
                                     "UniqueIPAddresses=0",
                                     "CountryField=country.iso_code",
                                 }));
}

TEST(SettingsKeys, EveryOptionReadsBackAsWritten) {
    const TZarvoOptions o = Changed();
    const TZarvoOptions back = FromLines(SettingsToList(o));
    EXPECT_TRUE(back == o);
    // and the initial values too, read over changed ones
    const TZarvoOptions initial;
    EXPECT_TRUE(FromLines(SettingsToList(initial), o) == initial);
}

TEST(SettingsKeys, ReadBackRules) {
    struct Case {
        const char* what;
        std::vector<std::string> lines;
        void (*check)(const TZarvoOptions& o, const TZarvoOptions& before);
    };
    const Case cases[] = {
        {"Mode=7 selects All IPs", {"Mode=7"}, [](auto& o, auto&) { EXPECT_EQ(o.Mode, 0); }},
        {"Mode=1", {"Mode=1"}, [](auto& o, auto&) { EXPECT_EQ(o.Mode, 1); }},
        {"Mode absent", {}, [](auto& o, auto&) { EXPECT_EQ(o.Mode, 0); }},
        {"TotalCount=abc", {"TotalCount=abc"}, [](auto& o, auto&) { EXPECT_EQ(o.TotalCount, "10"); }},
        {"TotalCount=007", {"TotalCount=007"}, [](auto& o, auto&) { EXPECT_EQ(o.TotalCount, "7"); }},
        {"TotalCount in hexadecimal",
         {"TotalCount=$10"},
         [](auto& o, auto&) { EXPECT_EQ(o.TotalCount, "16"); }},
        {"TotalCount absent", {}, [](auto& o, auto&) { EXPECT_EQ(o.TotalCount, "10"); }},
        {"EachCount=-5", {"EachCount=-5"}, [](auto& o, auto&) { EXPECT_EQ(o.EachCount, "-5"); }},
        {"EachCount with a trailing blank",
         {"EachCount=5 "},
         [](auto& o, auto&) { EXPECT_EQ(o.EachCount, "10"); }},
        {"flag is set only by 1",
         {"Random=yes", "Append=1", "EscapeIPv6=01"},
         [](auto& o, auto&) {
             EXPECT_FALSE(o.Random);
             EXPECT_TRUE(o.Append);
             EXPECT_FALSE(o.EscapeIPv6);
         }},
        {"absent flags clear", {}, [](auto& o, auto&) { EXPECT_FALSE(o.GenerateNames); }},
        {"NameDelimiter=9 leaves the list",
         {"NameDelimiter=9"},
         [](auto& o, auto& b) { EXPECT_EQ(o.NameDelimiter, b.NameDelimiter); }},
        {"NameDelimiter=-1 leaves the list",
         {"NameDelimiter=-1"},
         [](auto& o, auto& b) { EXPECT_EQ(o.NameDelimiter, b.NameDelimiter); }},
        {"NameDelimiter absent reads 0", {}, [](auto& o, auto&) { EXPECT_EQ(o.NameDelimiter, 0); }},
        {"NameDelimiter=3", {"NameDelimiter=3"}, [](auto& o, auto&) { EXPECT_EQ(o.NameDelimiter, 3); }},
        {"IPDelimiter=3 leaves the list",
         {"IPDelimiter=3", "ResolvedDelimiter=2", "UnresolvedDelimiter=x"},
         [](auto& o, auto& b) {
             EXPECT_EQ(o.IPDelimiter, b.IPDelimiter);
             EXPECT_EQ(o.ResolvedDelimiter, 2);
             EXPECT_EQ(o.UnresolvedDelimiter, 0);
         }},
        {"IPRangeN=0 empties the ranges",
         {"IPRangeN=0", "IPRange1=10.0.0.0/8"},
         [](auto& o, auto&) { EXPECT_TRUE(o.IPRanges.empty()); }},
        {"no IPRangeN leaves the ranges",
         {"IPRange1=10.0.0.0/8"},
         [](auto& o, auto& b) { EXPECT_EQ(o.IPRanges, b.IPRanges); }},
        {"IPRangeN not a number leaves the ranges",
         {"IPRangeN=two", "IPRange1=10.0.0.0/8"},
         [](auto& o, auto& b) { EXPECT_EQ(o.IPRanges, b.IPRanges); }},
        {"missing and empty numbered lines are skipped",
         {"ExcludeN=4", "Exclude1=*.0", "Exclude3=", "Exclude4=*.255", "Exclude5=*.1"},
         [](auto& o, auto&) {
             EXPECT_EQ(o.ExcludeMasks, (std::vector<std::string>{"*.0", "*.255"}));
         }},
        {"a huge count from a garbled file",
         {"DNSN=2147483647", "DNS1=9.9.9.9"},
         [](auto& o, auto&) { EXPECT_EQ(o.DNSServers, (std::vector<std::string>{"9.9.9.9"})); }},
        {"a count beyond the file's lines reads the keys that are there",
         {"IPRangeN=5", "IPRange5=10.0.0.1"},
         [](auto& o, auto&) { EXPECT_EQ(o.IPRanges, (std::vector<std::string>{"10.0.0.1"})); }},
        {"keys numbered far apart read in order of number, up to the count",
         {"DNSN=2147483647", "DNS2147483647=4.4.4.4", "DNS1000=3.3.3.3", "dns7=2.2.2.2", "DNS2=1.1.1.1",
          "DNS02=0.0.0.2", "DNS+3=0.0.0.3", "DNS21474836470=0.0.0.4", "DNS7=5.5.5.5"},
         [](auto& o, auto&) {
             EXPECT_EQ(o.DNSServers, (std::vector<std::string>{"1.1.1.1", "5.5.5.5", "3.3.3.3", "4.4.4.4"}));
         }},
        {"keys above the count are not read",
         {"ExcludeN=10", "Exclude11=*.1", "Exclude10=*.0"},
         [](auto& o, auto&) { EXPECT_EQ(o.ExcludeMasks, (std::vector<std::string>{"*.0"})); }},
        {"a count beyond 32 bits is not an integer and leaves the ranges",
         {"IPRangeN=4000000000", "IPRange1=10.0.0.0/8", "IPRange4000000000=10.0.0.1"},
         [](auto& o, auto& b) { EXPECT_EQ(o.IPRanges, b.IPRanges); }},
        {"keys read only when present",
         {},
         [](auto& o, auto& b) {
             EXPECT_EQ(o.Ports, b.Ports);
             EXPECT_EQ(o.NameTemplate, b.NameTemplate);
             EXPECT_EQ(o.CounterSymbol, b.CounterSymbol);
             EXPECT_EQ(o.FirstCounter, b.FirstCounter);
             EXPECT_EQ(o.CounterStep, b.CounterStep);
             EXPECT_EQ(o.CounterDigits, b.CounterDigits);
             EXPECT_EQ(o.NameCustomDelimiter, b.NameCustomDelimiter);
         }},
        {"a present key with an empty value is taken",
         {"Ports=", "CounterSymbol="},
         [](auto& o, auto&) {
             EXPECT_EQ(o.Ports, "");
             EXPECT_EQ(o.CounterSymbol, "");
         }},
        {"the database path reads empty when absent",
         {},
         [](auto& o, auto&) { EXPECT_EQ(o.MMDBFilePath, ""); }},
        // A file written before the column had a choice: the country code, every address.
        {"the country field absent keeps what was there, the countries read empty",
         {},
         [](auto& o, auto& b) {
             EXPECT_EQ(o.CountryField, b.CountryField);
             EXPECT_EQ(o.OnlyCountries, "");
         }},
        {"the country field and countries as written",
         {"CountryField=location.latitude", "OnlyCountries=LU"},
         [](auto& o, auto&) {
             EXPECT_EQ(o.CountryField, "location.latitude");
             EXPECT_EQ(o.OnlyCountries, "LU");
         }},
        // The lookup's numbers: a file written before they were kept has neither key.
        {"the lookup's numbers absent read as its defaults",
         {},
         [](auto& o, auto&) {
             EXPECT_EQ(o.DNSTimeoutMs, dns::kDefaultTimeoutMs);
             EXPECT_EQ(o.DNSInFlight, dns::kDefaultInFlight);
             EXPECT_EQ(o.DNSRetries, dns::kDefaultRetries);
         }},
        {"the lookup's numbers at their bounds",
         {"DNSTimeout=3600000", "DNSInFlight=1", "DNSRetries=0"},
         [](auto& o, auto&) {
             EXPECT_EQ(o.DNSTimeoutMs, dns::kMaxTimeoutMs);
             EXPECT_EQ(o.DNSInFlight, 1u);
             EXPECT_EQ(o.DNSRetries, 0u);
         }},
        {"the retries at their largest",
         {"DNSRetries=10"},
         [](auto& o, auto&) { EXPECT_EQ(o.DNSRetries, dns::kMaxRetries); }},
        {"the lookup's numbers out of range or not integers read as its defaults",
         {"DNSTimeout=0", "DNSInFlight=1025", "DNSRetries=11"},
         [](auto& o, auto&) {
             EXPECT_EQ(o.DNSTimeoutMs, dns::kDefaultTimeoutMs);
             EXPECT_EQ(o.DNSInFlight, dns::kDefaultInFlight);
             EXPECT_EQ(o.DNSRetries, dns::kDefaultRetries);
         }},
        {"the lookup's numbers negative or not integers read as its defaults",
         {"DNSTimeout=-200", "DNSInFlight=8 ", "DNSRetries=-1"},
         [](auto& o, auto&) {
             EXPECT_EQ(o.DNSTimeoutMs, dns::kDefaultTimeoutMs);
             EXPECT_EQ(o.DNSInFlight, dns::kDefaultInFlight);
             EXPECT_EQ(o.DNSRetries, dns::kDefaultRetries);
         }},
        {"the lookup's numbers in hexadecimal, as every integer",
         {"DNSTimeout=$100", "dnsinflight=0x10", "DNSRETRIES=$3"},
         [](auto& o, auto&) {
             EXPECT_EQ(o.DNSTimeoutMs, 256u);
             EXPECT_EQ(o.DNSInFlight, 16u);
             EXPECT_EQ(o.DNSRetries, 3u);
         }},
        {"keys ignore case and values keep their = signs",
         {"ipRANGEn=1", "iprange1=A=10.0.0.0/8/16"},
         [](auto& o, auto&) { EXPECT_EQ(o.IPRanges, (std::vector<std::string>{"A=10.0.0.0/8/16"})); }},
    };
    const TZarvoOptions before = Changed();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.check(FromLines(c.lines, before), before);
    }
}

TEST(SettingsKeys, EmptyValuesAreNotWrittenAndReadBackAsInitial) {
    TZarvoOptions o;
    o.Ports.clear();
    o.NameCustomDelimiter.clear();
    o.TotalCount.clear();
    const std::vector<std::string> lines = SettingsToList(o);
    for (const std::string& l : lines) {
        EXPECT_NE(l.rfind("Ports=", 0), 0u) << l;
        EXPECT_NE(l.back(), '=') << l;
    }
    const TZarvoOptions fresh = FromLines(lines); // as after the next start
    EXPECT_EQ(fresh.Ports, "80");
    EXPECT_EQ(fresh.NameCustomDelimiter, "|");
    EXPECT_EQ(fresh.TotalCount, "10");
}

TEST(SettingsKeys, WritingIntoExistingLinesRewritesThemInPlace) {
    TZarvoOptions o = Changed();
    o.IPRanges = {"10.0.0.0/8", "10.1.0.0/16", "10.2.0.0/16"};
    TVHashedStringList l(256);
    SettingsToList(o, l);
    const std::vector<std::string> first = l.Lines();

    o.IPRanges = {"192.168.0.0/24"};
    o.Ports.clear();
    o.Random = false;
    SettingsToList(o, l);
    EXPECT_EQ(l.Count(), first.size() - 1); // Ports removed; nothing else added or moved
    EXPECT_EQ(l.IndexOfName("Ports"), -1);
    EXPECT_EQ(l.IndexOfName("Random"), std::find(first.begin(), first.end(), "Random=1") - first.begin());
    EXPECT_EQ(l.GetValue("IPRange1"), "192.168.0.0/24");
    EXPECT_EQ(l.GetValue("IPRange3"), "10.2.0.0/16"); // above the count: stays, never read
    EXPECT_EQ(l.GetValue("IPRangeN"), "1");
    TZarvoOptions back = Changed();
    SettingsFromList(l, back);
    EXPECT_EQ(back.IPRanges, (std::vector<std::string>{"192.168.0.0/24"}));
    EXPECT_EQ(back.Ports, Changed().Ports); // absent: left as it was
}

TEST(SettingsKeys, LineBreaksInsideValuesCannotForgeKeys) {
    TZarvoOptions o;
    o.Ports = "80\r\nStoredListN=5";
    o.IPRanges = {"10.0.0.0/8\r", "10.1.0.0/16\n10.2.0.0/16"};
    const std::vector<std::string> lines = SettingsToList(o);
    for (const std::string& l : lines) EXPECT_EQ(l.find_first_of("\r\n"), std::string::npos) << l;
    const TZarvoOptions back = FromLines(lines);
    EXPECT_EQ(back.Ports, "80  StoredListN=5");
    EXPECT_EQ(back.IPRanges, (std::vector<std::string>{"10.0.0.0/8", "10.1.0.0/16", "10.2.0.0/16"}));
}

TEST(NamedSettings, SaveLoadAndDelete) {
    TStoredSettingsList sets;
    TZarvoOptions o = Changed();
    EXPECT_FALSE(SaveNamedSettings(sets, "", o));
    EXPECT_EQ(sets.Count(), 0u);
    EXPECT_TRUE(SaveNamedSettings(sets, "Office", o));

    TZarvoOptions other;
    other.Ports = "443";
    EXPECT_FALSE(SaveNamedSettings(sets, "office", other)); // overwrites Office
    ASSERT_EQ(sets.Count(), 1u);
    EXPECT_EQ(sets.GetSettings(0).Name(), "Office");
    EXPECT_EQ(sets.GetSettings(0).Settings().GetValue("Ports"), "443");

    TZarvoOptions loaded = Changed();
    EXPECT_TRUE(LoadNamedSettings(sets, "OFFICE", loaded));
    EXPECT_TRUE(loaded == other);

    TZarvoOptions untouched = Changed();
    EXPECT_FALSE(LoadNamedSettings(sets, "home", untouched));
    EXPECT_TRUE(untouched == Changed());
    EXPECT_EQ(SettingsNotFoundMessage("home"), "Settings \"home\" not found");

    EXPECT_FALSE(DeleteNamedSettings(sets, "home"));
    EXPECT_EQ(sets.Count(), 1u);
    EXPECT_TRUE(DeleteNamedSettings(sets, "Office"));
    EXPECT_EQ(sets.Count(), 0u);
}

// The options as the engine's request: numbers from their texts, the switched-off
// options left out, and the checks in the window's order.
TEST(SettingsKeys, OptionsBecomeOneRequest) {
    const TGenerateRequest r = MakeGenerateRequest(Changed());
    EXPECT_EQ(r.IPRanges, Changed().IPRanges);
    EXPECT_EQ(r.Mode, gcForEach);
    EXPECT_EQ(r.Count, 7);
    EXPECT_TRUE(r.GenerateNames);
    EXPECT_EQ(r.Names.Template, "host-%3-@.example.com");
    EXPECT_EQ(r.Names.Symbol, "@");
    EXPECT_EQ(r.Names.First, 5);
    EXPECT_EQ(r.Names.Step, -2);
    EXPECT_EQ(r.Names.Digits, 3);
    EXPECT_EQ(r.Names.Delimiter, " | ");
    EXPECT_EQ(r.Ports, std::optional<std::string>("80,3128-3130"));
    EXPECT_EQ(r.ExcludeMasks, (std::vector<std::string>{"*.0", "*.255"}));
    EXPECT_TRUE(r.UsableHosts && r.EscapeIPv6 && r.LowerIPv6 && r.RandomOrder && r.Append &&
                r.ResolveCountry);
    EXPECT_EQ(r.MMDBFilePath, "/data/GeoLite2-Country.mmdb");
    EXPECT_EQ(r.CountryField, "city.names.en");
    EXPECT_EQ(r.OnlyCountries, (std::vector<std::string>{"DE", "AT"}));
    EXPECT_EQ(r.MemoryBudget, DefaultMemoryBudget());
    EXPECT_EQ(r.MaxIPs, kMaxIPs);

    TZarvoOptions off = Changed();
    off.GenerateNames = off.AddPort = off.Exclude = false;
    off.Mode = gcAllCount;
    const TGenerateRequest plain = MakeGenerateRequest(off);
    EXPECT_FALSE(plain.GenerateNames);
    EXPECT_EQ(plain.Names.Template, "");
    EXPECT_EQ(plain.Names.Delimiter, " ");
    EXPECT_FALSE(plain.Ports);
    EXPECT_TRUE(plain.ExcludeMasks.empty());
    EXPECT_EQ(plain.Count, 0);
    // A blank field is the country code; the countries go with the column alone.
    off.CountryField = " ";
    off.ResolveCountry = false;
    const TGenerateRequest noColumn = MakeGenerateRequest(off);
    EXPECT_EQ(noColumn.CountryField, kDefaultCountryField);
    EXPECT_TRUE(noColumn.OnlyCountries.empty());
    off.ResolveCountry = true;
    off.OnlyCountries = "DE,D1";
    try {
        MakeGenerateRequest(off);
        ADD_FAILURE() << "not a country code";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Only countries takes two-letter country codes separated by commas, not 'D1'");
    }

    // The database path is asked for before any number is read.
    TZarvoOptions bad = Changed();
    bad.MMDBFilePath.clear();
    bad.EachCount = "x";
    EXPECT_THROW(MakeGenerateRequest(bad), EOptionMissing);
    bad.ResolveCountry = false;
    try {
        MakeGenerateRequest(bad);
        ADD_FAILURE() << "not a number";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "'x' is not a valid integer value");
    }
}
