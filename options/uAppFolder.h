// Where the settings file lives: the per-user folder by default, or a place given
// by the switches "-appsettingsdir", "-settingsdir DIR" and "-config FILE".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

enum class TAppFolderMode {
    afNone,          // the per-user folder
    afBesideProgram, // the executable's folder
    afGivenFolder,   // the folder of "-settingsdir"
};

// What the folder choice depends on; the process-wide values come from
// /proc/self/cmdline, /proc/self/exe and the environment.
struct TAppFolderEnv {
    std::vector<std::string> Args; // the arguments, without the program name
    std::string ExeDir;            // folder holding the executable
    std::string ConfigHome;        // $XDG_CONFIG_HOME (used only when it is a full path)
    std::string Home;              // $HOME
};

class TAppFolder {
public:
    // Scans the arguments once, left to right, with case: "-appsettingsdir" selects
    // beside-the-program, "-settingsdir DIR" the given folder (the two override each
    // other by position), "-config FILE" names the file and selects beside-the-program
    // only when no mode was chosen before it. A switch missing its value is ignored.
    explicit TAppFolder(TAppFolderEnv Env);

    // The settings folder. In the default mode: <config home>/AppName, created on
    // the first run, when the ";"-separated masks of CopyFiles are copied into it
    // from the executable's folder (never overwriting). The executable's folder when
    // the per-user folder cannot be found or created. A given folder is neither
    // tested nor created.
    std::string GetAppSettingsDir(std::string_view AppName, std::string_view CopyFiles) const;
    // The "-config" file, else FileName; unchanged when it is a full path ("/..."),
    // else placed in Dir, else in the given folder, else the bare name.
    std::string GetAppSettingsFileName(std::string_view FileName, std::string_view Dir) const;

    TAppFolderMode Mode() const { return FMode; }
    const std::string& SettingsDir() const { return FSettingsDir; }
    const std::string& ConfigFile() const { return FConfigFile; }
    // $XDG_CONFIG_HOME, else $HOME/.config; empty when neither is known.
    std::string UserConfigDir() const;

private:
    TAppFolderEnv FEnv;
    TAppFolderMode FMode = TAppFolderMode::afNone;
    std::string FSettingsDir;
    std::string FConfigFile;
};

// The process's own arguments, executable folder and environment.
TAppFolderEnv CurrentAppFolderEnv();

// The process-wide choice, made on first use from CurrentAppFolderEnv() unless
// SetAppFolder came first (tests, or a main that filters its arguments). Call
// SetAppFolder before other threads use these.
const TAppFolder& AppFolder();
void SetAppFolder(TAppFolderEnv Env);
std::string GetAppSettingsDir(std::string_view AppName, std::string_view CopyFiles);
std::string GetAppSettingsFileName(std::string_view FileName, std::string_view Dir);

// Wildcard match of a file name: "*" any run, "?" one character; case matters.
bool MatchesFileMask(std::string_view name, std::string_view mask);

} // namespace zarvo
