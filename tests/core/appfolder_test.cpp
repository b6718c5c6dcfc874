// Where the settings file lives: the three switches and the per-user folder.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "options/ZarvoSettings.h"
#include "options/uAppFolder.h"
#include "test_files.h"

namespace fs = std::filesystem;
using namespace zarvo;

namespace {

class AppFolderTest : public ::testing::Test {
protected:
    test::TTempDir temp{"appfolder"};
    void SetUp() override {
        root = temp.Path().string();
        exeDir = root + "/bin";
        config = root + "/config";
        fs::create_directories(exeDir);
    }
    TAppFolderEnv Env(std::vector<std::string> args = {}) const {
        return {std::move(args), exeDir, config, root};
    }
    void Touch(const std::string& p, const std::string& text = "x") const { std::ofstream(p) << text; }

    std::string root, exeDir, config;
};

} // namespace

TEST_F(AppFolderTest, SwitchPrecedence) {
    struct Case {
        std::vector<std::string> args;
        TAppFolderMode mode;
        const char* dir;  // "$exe" and "$user" stand for the two computed folders
        const char* file; // GetAppSettingsFileName("zarvo2.ini", dir)
    };
    using M = TAppFolderMode;
    const std::string longDir = "/" + std::string(300, 'd');
    const Case cases[] = {
        {{}, M::afNone, "$user", "$user/zarvo2.ini"},
        {{"-appsettingsdir"}, M::afBesideProgram, "$exe", "$exe/zarvo2.ini"},
        {{"-settingsdir", "/s", "-config", "my.ini"}, M::afGivenFolder, "/s", "/s/my.ini"},
        {{"-config", "/x/y.ini"}, M::afBesideProgram, "$exe", "/x/y.ini"},
        {{"-config", "my.ini"}, M::afBesideProgram, "$exe", "$exe/my.ini"},
        {{"-settingsdir", "/s", "-appsettingsdir"}, M::afBesideProgram, "$exe", "$exe/zarvo2.ini"},
        {{"-appsettingsdir", "-settingsdir", "/s"}, M::afGivenFolder, "/s", "/s/zarvo2.ini"},
        {{"-config", "c.ini", "-settingsdir", "/s"}, M::afGivenFolder, "/s", "/s/c.ini"},
        {{"-settingsdir", "/s", "-config", "/x/y.ini"}, M::afGivenFolder, "/s", "/x/y.ini"},
        {{"-settingsdir", "/s/", "-config", "c.ini"}, M::afGivenFolder, "/s/", "/s/c.ini"},
        {{"-settingsdir", "rel"}, M::afGivenFolder, "rel", "rel/zarvo2.ini"},
        {{"-settingsdir"}, M::afNone, "$user", "$user/zarvo2.ini"}, // last, without value: ignored
        {{"-config"}, M::afNone, "$user", "$user/zarvo2.ini"},
        {{"-config", ""}, M::afNone, "$user", "$user/zarvo2.ini"},
        {{"-AppSettingsDir", "--config", "a.ini"}, M::afNone, "$user", "$user/zarvo2.ini"}, // case matters
        {{"x", "-settingsdir", "-config"}, M::afGivenFolder, "-config", "-config/zarvo2.ini"},
        {{"-settingsdir", "/a", "-settingsdir", "/b"}, M::afGivenFolder, "/b", "/b/zarvo2.ini"},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& a : c.args) trace += "[" + a + "] ";
        SCOPED_TRACE(trace);
        auto expand = [&](std::string s) {
            if (s.rfind("$exe", 0) == 0) s.replace(0, 4, exeDir);
            if (s.rfind("$user", 0) == 0) s.replace(0, 5, config + "/Zarvo2");
            return s;
        };
        const TAppFolder f(Env(c.args));
        EXPECT_EQ(f.Mode(), c.mode);
        const std::string dir = f.GetAppSettingsDir("Zarvo2", "");
        EXPECT_EQ(dir, expand(c.dir));
        EXPECT_EQ(f.GetAppSettingsFileName("zarvo2.ini", dir), expand(c.file));
    }
    // Only the first 260 characters of a switch's value count.
    const TAppFolder f(Env({"-settingsdir", longDir, "-config", std::string(270, 'c')}));
    EXPECT_EQ(f.SettingsDir(), longDir.substr(0, 260));
    EXPECT_EQ(f.ConfigFile(), std::string(260, 'c'));
    const TAppFolder u(Env({"-settingsdir", "/" + std::string(300, 'e') + "\xC3\xA9"}));
    EXPECT_EQ(u.SettingsDir().size(), 260u);
    const TAppFolder v(Env({"-settingsdir", "/" + std::string(258, 'e') + "\xC3\xA9\xC3\xA9"}));
    EXPECT_EQ(v.SettingsDir(), "/" + std::string(258, 'e') + "\xC3\xA9"); // characters, not bytes
}

TEST_F(AppFolderTest, FileNameWithoutAFolder) {
    struct Case {
        std::vector<std::string> args;
        const char* file;
    };
    const Case cases[] = {
        {{}, "zarvo2.ini"},
        {{"-settingsdir", "/s"}, "/s/zarvo2.ini"},
        {{"-settingsdir", ""}, "zarvo2.ini"},
        {{"-appsettingsdir", "-config", "c.ini"}, "c.ini"},
        {{"-config", "/etc/z.ini"}, "/etc/z.ini"},
    };
    for (const Case& c : cases) {
        const TAppFolder f(Env(c.args));
        EXPECT_EQ(f.GetAppSettingsFileName("zarvo2.ini", ""), c.file);
    }
}

TEST_F(AppFolderTest, FirstRunCreatesTheUserFolderAndSeedsIt) {
    Touch(exeDir + "/zarvo2.ini", "Ports=8080\r\n");
    Touch(exeDir + "/other.txt");
    Touch(exeDir + "/.hidden.ini");
    fs::create_directory(exeDir + "/dir.ini");
    const TAppFolder f(Env());
    const std::string dir = f.GetAppSettingsDir("Zarvo2", " *.ini ;; other.tx? ");
    EXPECT_EQ(dir, config + "/Zarvo2"); // the configuration folder itself was missing too
    EXPECT_TRUE(fs::is_regular_file(dir + "/zarvo2.ini"));
    EXPECT_TRUE(fs::is_regular_file(dir + "/other.txt"));
    EXPECT_FALSE(fs::exists(dir + "/.hidden.ini"));
    EXPECT_FALSE(fs::exists(dir + "/dir.ini"));

    // An existing folder is taken as it is: nothing is copied again.
    fs::remove(dir + "/zarvo2.ini");
    EXPECT_EQ(f.GetAppSettingsDir("Zarvo2", "zarvo2.ini"), dir);
    EXPECT_FALSE(fs::exists(dir + "/zarvo2.ini"));
}

TEST_F(AppFolderTest, NoSeedFileMeansAnEmptyFolder) {
    const TAppFolder f(Env());
    const std::string dir = f.GetAppSettingsDir("Zarvo2", "zarvo2.ini");
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(AppFolderTest, FallsBackToTheProgramFolder) {
    struct Case {
        const char* what;
        TAppFolderEnv env;
        const char* app;
        std::string dir;
    };
    Touch(root + "/afile");
    const Case cases[] = {
        {"no configuration folder known", {{}, exeDir, "", ""}, "Zarvo2", exeDir},
        {"empty application name", {{}, exeDir, config, root}, "", exeDir},
        {"folder cannot be created", {{}, exeDir, root + "/afile", root}, "Zarvo2", exeDir},
        {"relative XDG_CONFIG_HOME is ignored",
         {{}, exeDir, "rel", root},
         "Zarvo2",
         root + "/.config/Zarvo2"},
        {"name with a leading slash", {{}, exeDir, config, root}, "/Zarvo2", config + "/Zarvo2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(TAppFolder(c.env).GetAppSettingsDir(c.app, ""), c.dir);
    }
}

TEST_F(AppFolderTest, FileMasks) {
    struct Case {
        const char* name;
        const char* mask;
        bool match;
    };
    const Case cases[] = {
        {"zarvo2.ini", "zarvo2.ini", true},
        {"zarvo2.ini", "*.ini", true},
        {"zarvo2.ini", "*", true},
        {"zarvo2.ini", "z?rvo2.*", true},
        {"zarvo2.ini", "Zarvo2.ini", false},
        {"zarvo2.ini", "*.in", false},
        {"zarvo2.ini", "*a*o*", true},
        {"a", "??", false},
        {"\xC3\xA9.ini", "?.ini", true},
        {"", "*", true},
        {"abc", "a*c*", true},
        {"abcbc", "a*bc", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MatchesFileMask(c.name, c.mask), c.match) << c.name << " " << c.mask;
}

TEST_F(AppFolderTest, ProcessWideChoiceSeedsAndLoadsTheFirstRun) {
    Touch(exeDir + "/zarvo2.ini", "Ports=8080\r\nStoredListN=1\r\nStoredList1.Name=seed\r\n");
    SetAppFolder(Env());
    const std::string path = SettingsFilePath(true);
    EXPECT_EQ(path, config + "/Zarvo2/zarvo2.ini");
    TZarvoOptions o;
    TStoredSettingsList sets;
    ASSERT_TRUE(LoadSettingsFile(path, o, sets));
    EXPECT_EQ(o.Ports, "8080");
    ASSERT_EQ(sets.Count(), 1u);
    EXPECT_EQ(sets.GetSettings(0).Name(), "seed");
    SaveSettingsFile(SettingsFilePath(false), o, sets);
    EXPECT_EQ(SettingsFilePath(false), path);

    SetAppFolder(Env({"-settingsdir", root + "/given", "-config", "my.ini"}));
    EXPECT_EQ(SettingsFilePath(true), root + "/given/my.ini");
    SetAppFolder(CurrentAppFolderEnv());
}

TEST(AppFolder, TheProcessKnowsItsOwnArgumentsAndFolder) {
    const TAppFolderEnv env = CurrentAppFolderEnv();
    EXPECT_TRUE(fs::exists(fs::path(env.ExeDir) / "zarvo_core_tests"));
}
