// The settings file: a round trip of every option and set, the encodings it is
// read in, garbled files, and writes that fail without harming the old file.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "options/ZarvoSettings.h"
#include "test_files.h"

namespace fs = std::filesystem;
using namespace zarvo;

namespace {

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "zarvo-settings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        path = (fs::path(dir) / "zarvo2.ini").string();
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir, ec);
    }
    void WriteBytes(const std::string& bytes) const {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << bytes;
    }
    std::string ReadBytes() const {
        std::ifstream f(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string dir, path;
};

TZarvoOptions Changed() {
    TZarvoOptions o;
    o.IPRanges = {"A=192.168.1.100/16/24", "2001:db8::/126"};
    o.UsableHosts = o.Exclude = o.EscapeIPv6 = o.AddPort = o.GenerateNames = o.Random = o.Append = true;
    o.ResolveCountry = true;
    o.ExcludeMasks = {"*.0"};
    o.Ports = "22,80";
    o.NameTemplate = "h\xC3\xB4st-\xE2\x82\xAC-#"; // "hôst-€-#"
    o.CounterSymbol = "@";
    o.FirstCounter = "9";
    o.CounterStep = "3";
    o.CounterDigits = "4";
    o.NameDelimiter = ndCustom;
    o.NameCustomDelimiter = ";;";
    o.Mode = gcTotalCount;
    o.TotalCount = "50";
    o.EachCount = "5";
    o.MMDBFilePath = "/srv/geo/City.mmdb";
    o.IPDelimiter = ldSemicolon;
    o.ResolvedDelimiter = ldComma;
    o.UnresolvedDelimiter = ldSemicolon;
    o.DNSServers = {"127.0.0.1", "9.9.9.9"};
    o.DNSTimeoutMs = 1500;
    o.DNSInFlight = 200;
    return o;
}

std::string Utf16(std::u16string_view s, bool bigEndian) {
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : s) {
        const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
        out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
}

} // namespace

TEST_F(SettingsFile, EveryOptionAndSetSurvivesTheFile) {
    const TZarvoOptions current = Changed();
    TStoredSettingsList sets;
    TZarvoOptions officeOptions;
    officeOptions.IPRanges = {"10.0.0.0/30"};
    SaveNamedSettings(sets, "office", officeOptions);
    SaveNamedSettings(sets, "web servers", current);
    SaveSettingsFile(path, current, sets);

    const std::string bytes = ReadBytes();
    EXPECT_EQ(bytes.rfind("ResolveCountry=1\r\n", 0), 0u); // no byte-order mark
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    EXPECT_NE(bytes.find("\r\nStoredListN=2\r\nStoredList1.Name=office\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("\r\nStoredList2.Setting2=MMDBFilePath=/srv/geo/City.mmdb\r\n"), std::string::npos);

    TZarvoOptions back;
    TStoredSettingsList backSets;
    ASSERT_TRUE(LoadSettingsFile(path, back, backSets));
    EXPECT_TRUE(back == current);
    ASSERT_EQ(backSets.Count(), 2u);
    EXPECT_EQ(backSets.GetSettings(1).Name(), "web servers");
    TZarvoOptions fromSet;
    ASSERT_TRUE(LoadNamedSettings(backSets, "Web Servers", fromSet));
    EXPECT_TRUE(fromSet == current);
    ASSERT_TRUE(LoadNamedSettings(backSets, "office", fromSet));
    EXPECT_TRUE(fromSet == officeOptions);

    // Saving again what was loaded gives the same file.
    SaveSettingsFile(path, back, backSets);
    EXPECT_EQ(ReadBytes(), bytes);
}

TEST_F(SettingsFile, NoFileChangesNothing) {
    TZarvoOptions o = Changed();
    TStoredSettingsList sets;
    SaveNamedSettings(sets, "keep", o);
    EXPECT_FALSE(LoadSettingsFile(path, o, sets));
    EXPECT_TRUE(o == Changed());
    EXPECT_EQ(sets.Count(), 1u);
}

TEST_F(SettingsFile, ReadInEveryEncodingItMayCarry) {
    // "NameTemplate=hôst-€-😀" and a count, in each form a file may take.
    const std::string utf8 = "NameTemplate=h\xC3\xB4st-\xE2\x82\xAC-\xF0\x9F\x98\x80\r\nTotalCount=7\r\n";
    const std::u16string u16 = u"NameTemplate=h\u00F4st-\u20AC-\U0001F600\r\nTotalCount=7\r\n";
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"UTF-8", utf8},
        {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF" + utf8},
        {"UTF-16 LE", Utf16(u16, false)},
        {"UTF-16 BE", Utf16(u16, true)},
        {"LF line ends", "NameTemplate=h\xC3\xB4st-\xE2\x82\xAC-\xF0\x9F\x98\x80\nTotalCount=7"},
        {"CR line ends", "NameTemplate=h\xC3\xB4st-\xE2\x82\xAC-\xF0\x9F\x98\x80\rTotalCount=7\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(c.bytes);
        TZarvoOptions o;
        TStoredSettingsList sets;
        ASSERT_TRUE(LoadSettingsFile(path, o, sets));
        EXPECT_EQ(o.NameTemplate, "h\xC3\xB4st-\xE2\x82\xAC-\xF0\x9F\x98\x80");
        EXPECT_EQ(o.TotalCount, "7");
    }
}

TEST(SettingsText, MalformedTextBecomesReplacementCharacters) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"a stray continuation byte", "A=\x80x", {"A=" + fffd + "x"}},
        {"a truncated sequence at the end", "A=\xE2\x82", {"A=" + fffd}},
        {"an overlong encoding", "A=\xC0\xAF", {"A=" + fffd + fffd}},
        // Each maximal ill-formed part one U+FFFD, as everywhere text is decoded.
        {"an encoded surrogate", "A=\xED\xA0\x80", {"A=" + fffd + fffd + fffd}},
        {"beyond U+10FFFF", "A=\xF4\x90\x80\x80", {"A=" + fffd + fffd + fffd + fffd}},
        {"Latin-1 text", "A=caf\xE9\r\nB=1", {"A=caf" + fffd, "B=1"}},
        {"UTF-16 LE with a lone surrogate",
         std::string("\xFF\xFE"
                     "A\0=\0\x00\xD8x\0",
                     10),
         {"A=" + fffd + "x"}},
        {"UTF-16 BE with an odd byte count", std::string("\xFE\xFF\0A\0=\0x\0", 9), {"A=x" + fffd}},
        {"only a byte-order mark", "\xEF\xBB\xBF", {}},
        {"NUL bytes stay characters", std::string("A=\0b", 4), {std::string("A=\0b", 4)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(SettingsTextToLines(c.bytes), c.lines);
    }
}

TEST_F(SettingsFile, GarbledFilesLoadWhatTheyCan) {
    // Random bytes with good lines and a line far too long for any setting between them.
    std::mt19937 rng(5);
    std::string bytes;
    for (int i = 0; i < 2000; ++i) bytes.push_back(static_cast<char>(rng()));
    bytes += "\r\nPorts=8080\r\n";
    bytes += "NameTemplate=" + std::string(kMaxSettingsLine + 10, 'x') + "\r\n";
    for (int i = 0; i < 2000; ++i) bytes.push_back(static_cast<char>(rng()));
    bytes += "\nStoredListN=999999999\nStoredList1.Name=ok\nStoredList1.Count=2000000000\n"
             "StoredList1.Setting1=Random=1\nIPRangeN=2147483647\nIPRange1=10.0.0.0/30\n";
    WriteBytes(bytes);

    TZarvoOptions o;
    TStoredSettingsList sets;
    ASSERT_TRUE(LoadSettingsFile(path, o, sets));
    EXPECT_EQ(o.Ports, "8080");
    EXPECT_EQ(o.NameTemplate, TZarvoOptions().NameTemplate); // the huge line was dropped
    EXPECT_EQ(o.IPRanges, (std::vector<std::string>{"10.0.0.0/30"}));
    ASSERT_EQ(sets.Count(), 1u);
    EXPECT_EQ(sets.GetSettings(0).Settings().Lines(), (std::vector<std::string>{"Random=1"}));
}

TEST_F(SettingsFile, RandomBytesNeverBreakTheReader) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        std::string bytes;
        const size_t n = rng() % 600;
        // A few known prefixes make the decoders and the key readers take every path.
        static const char* const kHeads[] = {"", "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF", "IPRangeN=3\n"};
        bytes += kHeads[round % 5];
        for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<char>(rng() % 4 ? rng() % 128 : rng()));
        TZarvoOptions o;
        TStoredSettingsList sets;
        SettingsFromList(SettingsTextToLines(bytes), o);
        TVHashedStringList l(256);
        l.Assign(SettingsTextToLines(bytes));
        sets.LoadFromList(l, kStoredListPrefix, kStoredSettingPrefix);
        // The file read keeps the lines that have a name, in their order.
        WriteBytes(bytes);
        std::vector<std::string> named;
        for (const std::string& line : SettingsTextToLines(bytes))
            if (line.find('=') != std::string::npos) named.push_back(line);
        EXPECT_EQ(ReadSettingsList(path).Lines(), named);
        // Whatever was read is written back as whole lines.
        for (const std::string& line : SettingsToList(o))
            EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    }
}

TEST_F(SettingsFile, ThousandsOfSetsLoadWithTheirValues) {
    const int n = 3000;
    auto options = [](int i) {
        TZarvoOptions o;
        o.IPRanges = {Format("10.%d.%d.0/24", i / 256, i % 256)};
        o.Ports = std::to_string(1000 + i);
        o.Random = i % 2;
        o.NameTemplate = Format("host%d-#", i);
        return o;
    };
    TStoredSettingsList sets;
    for (int i = 0; i < n; ++i) SaveNamedSettings(sets, Format("set %d", i), options(i));
    SaveSettingsFile(path, TZarvoOptions(), sets);
    // Counts that promise far more lines than there are change nothing.
    std::string garbled = ReadBytes();
    ReplaceAll(garbled, ".Count=", ".Count=2000000000\r\nX=");
    for (const std::string& bytes : {ReadBytes(), garbled}) {
        WriteBytes(bytes);
        TZarvoOptions o;
        TStoredSettingsList back;
        ASSERT_TRUE(LoadSettingsFile(path, o, back));
        ASSERT_EQ(back.Count(), static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(back.GetSettings(static_cast<size_t>(i)).Name(), Format("set %d", i));
            TZarvoOptions fromSet;
            ASSERT_TRUE(LoadNamedSettings(back, Format("SET %d", i), fromSet));
            ASSERT_TRUE(fromSet == options(i)) << i;
        }
    }
}

// Peak memory while reading files made of the shortest lines there are, where a
// string and index entry per line once cost fifty times the file: the file and
// its lines must now stay within a few times its size.
class SettingsReadMemory : public SettingsFile, public ::testing::WithParamInterface<const char*> {};

TEST_P(SettingsReadMemory, StaysWithinAFewTimesTheFile) {
    const size_t size = size_t(8) << 20;
    {
        // Written in pieces, so that the file is not in memory before it is read.
        std::string piece;
        while (piece.size() < (64 << 10)) piece += GetParam();
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        for (size_t written = 0; written < size; written += piece.size()) f << piece;
    }
    struct rusage before {
    }, after{};
    ASSERT_EQ(::getrusage(RUSAGE_SELF, &before), 0);
    TZarvoOptions o;
    TStoredSettingsList sets;
    ASSERT_TRUE(LoadSettingsFile(path, o, sets));
    ASSERT_EQ(::getrusage(RUSAGE_SELF, &after), 0);
    // The rise of the process's peak (in KB); less than the rise when the peak
    // was set before, so a run of many tests in one process may see none. A plain
    // build takes at most 5 times the file, the sanitizers' shadow a little more.
    const long grown = after.ru_maxrss - before.ru_maxrss;
    EXPECT_LT(grown * 1024, static_cast<long>(7 * size)) << "peak grew by " << grown << " KB";
}

INSTANTIATE_TEST_SUITE_P(ShortLines, SettingsReadMemory,
                         ::testing::Values("=\n", "a=\n", "\n", "=\r\n", "StoredList1.Setting1=\n"));

TEST_F(SettingsFile, AnUnreadableFileIsReported) {
    fs::create_directory(path); // a folder where the file should be
    TZarvoOptions o;
    TStoredSettingsList sets;
    try {
        LoadSettingsFile(path, o, sets);
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot open file \"" + path + "\". ", 0), 0u) << e.what();
    }
    EXPECT_THROW(LoadOptionsFromSettingsFile((fs::path(dir) / "none.ini").string(), "", o), Exception);
}

// A stream has no size to refuse it by: it is read up to one byte past the cap, and
// refused then, never taken cut.
TEST_F(SettingsFile, AStreamPastTheCapIsRefused) {
    try {
        ReadSettingsList("/dev/zero");
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file \"/dev/zero\". File too large: more than 67108864 "
                                         "bytes; a settings file may hold at most 67108864 bytes (64 MiB)");
    }
}

TEST_F(SettingsFile, AWriteThatFailsMidwayLeavesTheOldFileWhole) {
    TStoredSettingsList sets;
    SaveSettingsFile(path, TZarvoOptions(), sets);
    const std::string old = ReadBytes();

    // A file size limit makes the write fail part way, as a full disk would.
    TZarvoOptions big;
    for (int i = 0; i < 2000; ++i) big.IPRanges.push_back("10.0." + std::to_string(i % 256) + ".0/24");
    std::string message;
    try {
        const test::TFileSizeLimit limit(4096);
        SaveSettingsFile(path, big, sets);
    } catch (const Exception& e) {
        message = e.what();
    }

    EXPECT_EQ(message.rfind("Cannot create file \"" + path + "\". ", 0), 0u) << message;
    EXPECT_EQ(ReadBytes(), old);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"zarvo2.ini"})); // no temporary file left
    SaveSettingsFile(path, big, sets);                              // and the next save works
    EXPECT_GT(ReadBytes().size(), 4096u);
}

TEST_F(SettingsFile, AWriteToAReadOnlyFolderFailsAndKeepsTheFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    TStoredSettingsList sets;
    SaveSettingsFile(path, TZarvoOptions(), sets);
    const std::string old = ReadBytes();
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_THROW(SaveSettingsFile(path, Changed(), sets), Exception);
    fs::permissions(dir, fs::perms::owner_all);
    EXPECT_EQ(ReadBytes(), old);
}

TEST_F(SettingsFile, AFolderInThePlaceOfTheFileIsReportedAndLeftAlone) {
    fs::create_directory(path);
    fs::create_directory(fs::path(path) / "inside");
    TStoredSettingsList sets;
    EXPECT_THROW(SaveSettingsFile(path, TZarvoOptions(), sets), Exception);
    EXPECT_TRUE(fs::is_directory(fs::path(path) / "inside"));
    EXPECT_EQ(Entries(), (std::vector<std::string>{"zarvo2.ini"}));
    EXPECT_THROW(SaveSettingsFile((fs::path(dir) / "no" / "zarvo2.ini").string(), TZarvoOptions(), sets),
                 Exception);
}

TEST_F(SettingsFile, ReplacingKeepsPermissionsAndLinks) {
    const std::string real = (fs::path(dir) / "real.ini").string();
    TStoredSettingsList sets;
    SaveSettingsFile(real, TZarvoOptions(), sets);
    ASSERT_EQ(::chmod(real.c_str(), 0600), 0);
    fs::create_symlink("real.ini", path);

    SaveSettingsFile(path, Changed(), sets);
    EXPECT_TRUE(fs::is_symlink(path));
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    TZarvoOptions back;
    ASSERT_TRUE(LoadSettingsFile(real, back, sets));
    EXPECT_TRUE(back == Changed());
}
