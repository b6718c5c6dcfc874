// zarvo-cli generate --settings FILE [--set NAME]: a window's settings replayed.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/ZarvoCli.h"
#include "options/ZarvoSettings.h"
#include "test_files.h"

namespace fs = std::filesystem;
using namespace zarvo;

namespace {

class SettingsCli : public ::testing::Test {
protected:
    test::TTempDir temp{"settings-cli"};
    void SetUp() override {
        dir = temp.Path().string();
        file = dir + "/zarvo2.ini";

        TZarvoOptions current;
        current.IPRanges = {"192.168.1.0/30"};
        TStoredSettingsList sets;
        TZarvoOptions web;
        web.IPRanges = {"10.0.0.0/29"};
        web.UsableHosts = true;
        web.AddPort = true;
        web.Ports = "80,443";
        web.Mode = gcTotalCount;
        web.TotalCount = "3";
        SaveNamedSettings(sets, "web servers", web);
        SaveSettingsFile(file, current, sets);
    }
    int Run(std::vector<std::string> args) {
        std::istringstream in;
        out.str("");
        err.str("");
        return cli::RunCli(args, in, out, err);
    }
    std::string dir, file;
    std::ostringstream out, err;
};

} // namespace

TEST_F(SettingsCli, TheFilesCurrentOptions) {
    ASSERT_EQ(Run({"generate", "--settings", file}), 0) << err.str();
    EXPECT_EQ(out.str(), "192.168.1.0\n192.168.1.1\n192.168.1.2\n192.168.1.3\n");
    EXPECT_EQ(err.str(), "4 IPs generated.\n");
}

TEST_F(SettingsCli, ANamedSet) {
    ASSERT_EQ(Run({"generate", "--settings", file, "--set", "Web Servers"}), 0) << err.str();
    // usable hosts of 10.0.0.0/29, the first three in order, each with both ports
    EXPECT_EQ(out.str(), "10.0.0.1:80\n10.0.0.1:443\n10.0.0.2:80\n10.0.0.2:443\n10.0.0.3:80\n10.0.0.3:443\n");
}

TEST_F(SettingsCli, CommandLineFlagsOverrideTheFile) {
    ASSERT_EQ(Run({"generate", "--settings", file, "--set", "web servers", "--total", "1", "--ports", "22",
                   "172.16.0.0/30"}),
              0)
        << err.str();
    EXPECT_EQ(out.str(), "172.16.0.1:22\n");
}

TEST_F(SettingsCli, FailuresAreReported) {
    EXPECT_EQ(Run({"generate", "--settings", file, "--set", "office"}), 1);
    EXPECT_EQ(err.str(), "Settings \"office\" not found\n");
    EXPECT_TRUE(out.str().empty());

    EXPECT_EQ(Run({"generate", "--settings", dir + "/missing.ini"}), 1);
    EXPECT_EQ(err.str().rfind("Cannot open file \"" + dir + "/missing.ini\". ", 0), 0u) << err.str();

    EXPECT_EQ(Run({"generate", "--set", "web servers", "10.0.0.0/30"}), 2);
}

TEST_F(SettingsCli, ASetWithoutSomeKeysKeepsTheFilesOptions) {
    // A set written by hand may lack keys: the ranges then come from the file, as in
    // the window, where a set is loaded over the options the file gave at start.
    std::ofstream(file, std::ios::binary)
        << "IPRange1=10.9.0.0/31\r\nIPRangeN=1\r\n"
           "StoredListN=1\r\nStoredList1.Name=ports\r\nStoredList1.Count=2\r\n"
           "StoredList1.Setting1=AddPort=1\r\nStoredList1.Setting2=Ports=22\r\n";
    ASSERT_EQ(Run({"generate", "--settings", file, "--set", "ports"}), 0) << err.str();
    EXPECT_EQ(out.str(), "10.9.0.0:22\n10.9.0.1:22\n");
}

TEST_F(SettingsCli, CountsBeyondTheFilesLinesReadTheKeysThatAreThere) {
    // Numbers past the file's length, as a hand-edited file may have them.
    std::ofstream(file, std::ios::binary)
        << "IPRangeN=5\r\nIPRange5=10.0.0.1\r\n"
           "StoredListN=100\r\nStoredList100.Name=late\r\nStoredList100.Count=9\r\n"
           "StoredList100.Setting8=IPRangeN=40\r\nStoredList100.Setting9=IPRange40=10.7.0.0/31\r\n";
    struct Case {
        std::vector<std::string> args;
        const char* out;
    } cases[] = {
        {{"generate", "--settings", file}, "10.0.0.1\n"},
        {{"generate", "--settings", file, "--set", "late"}, "10.7.0.0\n10.7.0.1\n"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Run(c.args), 0) << err.str();
        EXPECT_EQ(out.str(), c.out);
    }
}

// A settings file is read whole or refused with its size: a range line that crosses
// the cap never comes out cut ("10.0.0.12"). The files are sparse: only their line
// at the end takes room.
TEST_F(SettingsCli, AFileOverTheCapIsRefusedWithItsSize) {
    const std::string line = "\nIPRange1=10.0.0.128/25\r\n";
    struct Case {
        const char* what;
        uint64_t size, lineEnd; // the file's size; where the range line ends
    };
    const uint64_t cap = kMaxSettingsFile;
    const Case cases[] = {
        {"the line ends at the cap", cap, cap},
        {"one byte more", cap + 1, cap},
        {"the line crosses the cap", cap + 10, cap + 10},
        {"16 GiB", uint64_t(16) << 30, uint64_t(16) << 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::ofstream f(file, std::ios::binary | std::ios::trunc);
            f << "IPRangeN=1\r\n";
            f.seekp(static_cast<std::streamoff>(c.lineEnd - line.size()));
            f << line;
        }
        fs::resize_file(file, c.size);
        const int code = Run({"generate", "--settings", file});
        if (c.size <= cap) {
            EXPECT_EQ(code, 0) << err.str();
            EXPECT_EQ(err.str(), "128 IPs generated.\n");
            EXPECT_EQ(out.str().substr(0, 22), "10.0.0.128\n10.0.0.129\n");
            continue;
        }
        EXPECT_EQ(code, 1);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(err.str(), "Cannot open file \"" + file + "\". File too large: " + std::to_string(c.size) +
                                 " bytes; a settings file may hold at most 67108864 bytes (64 MiB)\n");
    }
}

TEST_F(SettingsCli, ASettingsFilesCountIsTakenAsTheWindowTakesIt) {
    // Only the command line's own count must be 1 or more: a file's count is read as the
    // window reads it, one that is no integer as the default 10, and 0 or less as none.
    struct Case {
        const char* count;
        const char* out;
    } cases[] = {
        {"2", "10.0.0.0\n10.0.0.1\n"},
        {"x", "10.0.0.0\n10.0.0.1\n10.0.0.2\n10.0.0.3\n10.0.0.4\n10.0.0.5\n10.0.0.6\n10.0.0.7\n10.0.0.8\n10."
              "0.0.9\n"},
        {"0", ""},
        {"-1", ""},
    };
    for (const Case& c : cases) {
        std::ofstream(file, std::ios::binary)
            << "IPRange1=10.0.0.0/28\r\nIPRangeN=1\r\nMode=1\r\nTotalCount=" << c.count << "\r\n";
        ASSERT_EQ(Run({"generate", "--settings", file}), 0) << err.str();
        EXPECT_EQ(out.str(), c.out) << c.count;
    }
    EXPECT_EQ(Run({"generate", "--settings", file, "--total", "0"}), 2);
    EXPECT_EQ(Run({"generate", "--settings", file, "--total", "1"}), 0);
    EXPECT_EQ(out.str(), "10.0.0.0\n");
}

TEST_F(SettingsCli, ARangeLineOfTheFileThatIsNoRangeIsNamed) {
    // The window passes over it; the command line names it and makes nothing.
    std::ofstream(file, std::ios::binary)
        << "IPRange1=10.0.0.0/31\r\nIPRange2=; a note\r\nIPRange3=bad\r\nIPRangeN=3\r\n";
    EXPECT_EQ(Run({"generate", "--settings", file}), 1);
    EXPECT_EQ(err.str(), "zarvo-cli generate: settings file '" + file +
                             "', range line 3: 'bad' is no range\n"
                             "zarvo-cli generate: 1 line holds no range; nothing was generated\n");
    EXPECT_EQ(out.str(), "");
    // Ranges given on the command line take the file's place.
    EXPECT_EQ(Run({"generate", "--settings", file, "10.0.0.5"}), 0);
    EXPECT_EQ(out.str(), "10.0.0.5\n");
}

// The window's "IPv6 in lower case" goes with its settings, and a named set with it.
TEST_F(SettingsCli, IPv6InLowerCaseFromTheFile) {
    TZarvoOptions current;
    current.IPRanges = {"FD00::A/127"};
    current.LowerIPv6 = true;
    TStoredSettingsList sets;
    TZarvoOptions upper = current;
    upper.LowerIPv6 = false;
    SaveNamedSettings(sets, "upper", upper);
    SaveSettingsFile(file, current, sets);
    ASSERT_EQ(Run({"generate", "--settings", file}), 0) << err.str();
    EXPECT_EQ(out.str(), "fd00::a\nfd00::b\n");
    ASSERT_EQ(Run({"generate", "--settings", file, "--set", "upper"}), 0) << err.str();
    EXPECT_EQ(out.str(), "FD00::A\nFD00::B\n");
    ASSERT_EQ(Run({"generate", "--settings", file, "--set", "upper", "--ipv6-lower"}), 0) << err.str();
    EXPECT_EQ(out.str(), "fd00::a\nfd00::b\n");
}
