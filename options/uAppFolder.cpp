#include "options/uAppFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "support/ZarvoText.h"

namespace fs = std::filesystem;

namespace zarvo {

namespace {

constexpr size_t kMaxPathChars = 260;

// The text split into characters: a UTF-8 lead byte with its continuation bytes.
std::vector<std::string_view> Chars(std::string_view s) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        size_t j = i + 1;
        while (j < s.size() && (static_cast<unsigned char>(s[j]) & 0xC0) == 0x80) ++j;
        out.push_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

std::string FirstChars(std::string_view s, size_t n) {
    std::string out;
    for (std::string_view c : Chars(s)) {
        if (n-- == 0) break;
        out.append(c);
    }
    return out;
}

bool IsFullPath(std::string_view p) {
    return !p.empty() && p.front() == '/';
}

std::string JoinPath(std::string_view dir, std::string_view name) {
    std::string r(dir);
    if (r.empty() || r.back() != '/') r.push_back('/');
    r.append(name);
    return r;
}

void CopySeedFiles(const std::string& from, const std::string& to, std::string_view masks) {
    ForEachListItem(masks, ";", [&](std::string_view mask) {
        std::error_code ec;
        for (fs::directory_iterator it(from, ec), last; !ec && it != last; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            std::error_code ec2;
            if (name.empty() || name.front() == '.' || !it->is_regular_file(ec2)) continue;
            if (!MatchesFileMask(name, mask)) continue;
            fs::copy_file(it->path(), fs::path(to) / name, fs::copy_options::skip_existing, ec2);
        }
    });
}

std::unique_ptr<TAppFolder>& ProcessFolder() {
    static std::unique_ptr<TAppFolder> folder;
    return folder;
}

} // namespace

bool MatchesFileMask(std::string_view name, std::string_view mask) {
    const std::vector<std::string_view> s = Chars(name), m = Chars(mask);
    // Greedy match with one backtrack point, the last "*".
    size_t si = 0, mi = 0, starM = std::string_view::npos, starS = 0;
    while (si < s.size()) {
        if (mi < m.size() && (m[mi] == "?" || m[mi] == s[si])) {
            ++si;
            ++mi;
        } else if (mi < m.size() && m[mi] == "*") {
            starM = mi++;
            starS = si;
        } else if (starM != std::string_view::npos) {
            mi = starM + 1;
            si = ++starS;
        } else {
            return false;
        }
    }
    while (mi < m.size() && m[mi] == "*") ++mi;
    return mi == m.size();
}

TAppFolder::TAppFolder(TAppFolderEnv Env) : FEnv(std::move(Env)) {
    const std::vector<std::string>& a = FEnv.Args;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "-appsettingsdir") {
            FMode = TAppFolderMode::afBesideProgram;
        } else if (a[i] == "-settingsdir" && i + 1 < a.size()) {
            FSettingsDir = FirstChars(a[++i], kMaxPathChars);
            FMode = TAppFolderMode::afGivenFolder;
        } else if (a[i] == "-config" && i + 1 < a.size()) {
            FConfigFile = FirstChars(a[++i], kMaxPathChars);
            if (FMode == TAppFolderMode::afNone && !FConfigFile.empty())
                FMode = TAppFolderMode::afBesideProgram;
        }
    }
}

std::string TAppFolder::UserConfigDir() const {
    // A relative $XDG_CONFIG_HOME is invalid and ignored, as the XDG base directory rules say.
    if (IsFullPath(FEnv.ConfigHome)) return FEnv.ConfigHome;
    if (!FEnv.Home.empty()) return JoinPath(FEnv.Home, ".config");
    return std::string();
}

std::string TAppFolder::GetAppSettingsDir(std::string_view AppName, std::string_view CopyFiles) const {
    switch (FMode) {
    case TAppFolderMode::afBesideProgram:
        return FEnv.ExeDir;
    case TAppFolderMode::afGivenFolder:
        return FSettingsDir;
    case TAppFolderMode::afNone:
        break;
    }
    const std::string base = UserConfigDir();
    if (base.empty() || AppName.empty()) return FEnv.ExeDir;
    const std::string dir = AppName.front() == '/' ? base + std::string(AppName) : JoinPath(base, AppName);
    std::error_code ec;
    if (fs::is_directory(dir, ec)) return dir;
    // A fresh account may lack the configuration folder itself; it is made first.
    fs::create_directories(base, ec);
    ec.clear();
    if (!fs::create_directory(dir, ec) || ec) return fs::is_directory(dir, ec) ? dir : FEnv.ExeDir;
    CopySeedFiles(FEnv.ExeDir, dir, CopyFiles);
    return dir;
}

std::string TAppFolder::GetAppSettingsFileName(std::string_view FileName, std::string_view Dir) const {
    const std::string name = FConfigFile.empty() ? std::string(FileName) : FConfigFile;
    if (IsFullPath(name)) return name;
    if (!Dir.empty()) return JoinPath(Dir, name);
    if (FMode == TAppFolderMode::afGivenFolder && !FSettingsDir.empty()) return JoinPath(FSettingsDir, name);
    return name;
}

TAppFolderEnv CurrentAppFolderEnv() {
    TAppFolderEnv env;
    std::ifstream f("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t start = 0;
    bool first = true;
    while (start < all.size()) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos) end = all.size();
        if (!first) env.Args.emplace_back(all, start, end - start);
        first = false;
        start = end + 1;
    }
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    env.ExeDir = ec ? fs::current_path(ec).string() : exe.parent_path().string();
    if (const char* v = std::getenv("XDG_CONFIG_HOME")) env.ConfigHome = v;
    if (const char* v = std::getenv("HOME")) env.Home = v;
    return env;
}

const TAppFolder& AppFolder() {
    std::unique_ptr<TAppFolder>& f = ProcessFolder();
    if (!f) f = std::make_unique<TAppFolder>(CurrentAppFolderEnv());
    return *f;
}

void SetAppFolder(TAppFolderEnv Env) {
    ProcessFolder() = std::make_unique<TAppFolder>(std::move(Env));
}

std::string GetAppSettingsDir(std::string_view AppName, std::string_view CopyFiles) {
    return AppFolder().GetAppSettingsDir(AppName, CopyFiles);
}

std::string GetAppSettingsFileName(std::string_view FileName, std::string_view Dir) {
    return AppFolder().GetAppSettingsFileName(FileName, Dir);
}

} // namespace zarvo
