#include "options/ZarvoSettings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "options/uAppFolder.h"
#include "support/AtomicFile.h"
#include "support/TextDecode.h"
#include "support/ZarvoText.h"

namespace fs = std::filesystem;

namespace zarvo {

namespace {

// ---- option keys ----

void PutFlag(TVHashedStringList& l, const char* key, bool v) {
    l.SetValue(key, v ? "1" : "0");
}

void PutInt(TVHashedStringList& l, const char* key, int v) {
    l.SetValue(key, std::to_string(v));
}

void PutText(TVHashedStringList& l, const char* key, std::string_view v) {
    if (v.find_first_of("\r\n") == std::string_view::npos) {
        l.SetValue(key, v);
        return;
    }
    std::string s(v);
    std::replace_if(
        s.begin(), s.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    l.SetValue(key, s);
}

// Key1..KeyN for the non-empty lines (not trimmed), then KeyN.
void PutLines(TVHashedStringList& l, const std::string& key, const std::vector<std::string>& lines) {
    int n = 0;
    for (const std::string& line : lines) {
        size_t start = 0;
        while (start <= line.size()) {
            size_t end = line.find_first_of("\r\n", start);
            if (end == std::string::npos) end = line.size();
            if (end > start)
                l.SetValue(key + std::to_string(++n), std::string_view(line).substr(start, end - start));
            start = end + 1;
        }
    }
    l.SetValue(key + "N", std::to_string(n));
}

bool GetFlag(const TVHashedStringList& l, const char* key) {
    return l.GetValue(key) == "1";
}

void GetIfPresent(const TVHashedStringList& l, const char* key, std::string& v) {
    if (l.IndexOfName(key) >= 0) v = l.GetValue(key);
}

void GetLines(const TVHashedStringList& l, const std::string& key, std::vector<std::string>& lines) {
    // A count beyond the list's length cannot be backed by lines; the cap keeps a
    // garbled count from looking up two billion absent keys.
    const int64_t n =
        std::min<int64_t>(StrToIntDef(l.GetValue(key + "N"), -1), static_cast<int64_t>(l.Count()));
    if (n < 0) return;
    lines.clear();
    for (int64_t i = 1; i <= n; ++i) {
        std::string v = l.GetValue(key + std::to_string(i));
        if (!v.empty()) lines.push_back(std::move(v));
    }
}

std::string GetCount(const TVHashedStringList& l, const char* key) {
    return std::to_string(StrToIntDef(l.GetValue(key), 10));
}

void GetPosition(const TVHashedStringList& l, const char* key, int count, int& v) {
    const int32_t p = StrToIntDef(l.GetValue(key), 0);
    if (p >= 0 && p < count) v = p;
}

} // namespace

// ---- option keys ----

void SettingsToList(const TZarvoOptions& o, TVHashedStringList& l) {
    PutFlag(l, "ResolveCountry", o.ResolveCountry);
    PutText(l, "MMDBFilePath", o.MMDBFilePath);
    PutFlag(l, "Append", o.Append);
    PutLines(l, "IPRange", o.IPRanges);
    PutFlag(l, "UsableHostIPAddresses", o.UsableHosts);
    PutFlag(l, "Exclude", o.Exclude);
    PutLines(l, "Exclude", o.ExcludeMasks);
    PutLines(l, "DNS", o.DNSServers);
    PutInt(l, "Mode", o.Mode);
    PutText(l, "TotalCount", o.TotalCount);
    PutText(l, "EachCount", o.EachCount);
    PutFlag(l, "Random", o.Random);
    PutFlag(l, "EscapeIPv6", o.EscapeIPv6);
    PutFlag(l, "AddPort", o.AddPort);
    PutText(l, "Ports", o.Ports);
    PutFlag(l, "GenerateNames", o.GenerateNames);
    PutText(l, "NameTemplate", o.NameTemplate);
    PutText(l, "CounterSymbol", o.CounterSymbol);
    PutText(l, "FirstCounter", o.FirstCounter);
    PutText(l, "CounterStep", o.CounterStep);
    PutText(l, "CounterDigits", o.CounterDigits);
    PutInt(l, "NameDelimiter", o.NameDelimiter);
    PutText(l, "NameCustomDelimiter", o.NameCustomDelimiter);
    PutInt(l, "IPDelimiter", o.IPDelimiter);
    PutInt(l, "ResolvedDelimiter", o.ResolvedDelimiter);
    PutInt(l, "UnresolvedDelimiter", o.UnresolvedDelimiter);
}

std::vector<std::string> SettingsToList(const TZarvoOptions& o) {
    TVHashedStringList l(256);
    SettingsToList(o, l);
    return l.Lines();
}

void SettingsFromList(const TVHashedStringList& l, TZarvoOptions& o) {
    o.ResolveCountry = GetFlag(l, "ResolveCountry");
    o.MMDBFilePath = l.GetValue("MMDBFilePath");
    o.Append = GetFlag(l, "Append");
    GetLines(l, "IPRange", o.IPRanges);
    o.UsableHosts = GetFlag(l, "UsableHostIPAddresses");
    o.Exclude = GetFlag(l, "Exclude");
    GetLines(l, "Exclude", o.ExcludeMasks);
    GetLines(l, "DNS", o.DNSServers);
    const int32_t mode = StrToIntDef(l.GetValue("Mode"), 0);
    o.Mode = mode == 1 || mode == 2 ? mode : 0;
    o.TotalCount = GetCount(l, "TotalCount");
    o.EachCount = GetCount(l, "EachCount");
    o.Random = GetFlag(l, "Random");
    o.EscapeIPv6 = GetFlag(l, "EscapeIPv6");
    o.AddPort = GetFlag(l, "AddPort");
    GetIfPresent(l, "Ports", o.Ports);
    o.GenerateNames = GetFlag(l, "GenerateNames");
    GetIfPresent(l, "NameTemplate", o.NameTemplate);
    GetIfPresent(l, "CounterSymbol", o.CounterSymbol);
    GetIfPresent(l, "FirstCounter", o.FirstCounter);
    GetIfPresent(l, "CounterStep", o.CounterStep);
    GetIfPresent(l, "CounterDigits", o.CounterDigits);
    GetPosition(l, "NameDelimiter", 5, o.NameDelimiter);
    GetIfPresent(l, "NameCustomDelimiter", o.NameCustomDelimiter);
    GetPosition(l, "IPDelimiter", 3, o.IPDelimiter);
    GetPosition(l, "ResolvedDelimiter", 3, o.ResolvedDelimiter);
    GetPosition(l, "UnresolvedDelimiter", 3, o.UnresolvedDelimiter);
}

void SettingsFromList(const std::vector<std::string>& lines, TZarvoOptions& o) {
    TVHashedStringList l(256);
    l.Assign(lines);
    SettingsFromList(l, o);
}

std::string SettingsFilePath(bool seedFromProgramFolder) {
    const std::string dir =
        GetAppSettingsDir(kSettingsAppName, seedFromProgramFolder ? kSettingsFileName : "");
    return GetAppSettingsFileName(kSettingsFileName, dir);
}

// ---- file ----

std::vector<std::string> SettingsTextToLines(std::string_view bytes) {
    return DecodeTextLines(bytes.substr(0, kMaxSettingsFile), kMaxSettingsLine);
}

TVHashedStringList ReadSettingsList(const std::string& path) {
    auto fail = [&](int err) {
        throw Exception(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(err)));
    };
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) fail(errno);
    std::string bytes;
    char buf[1 << 16];
    while (bytes.size() < kMaxSettingsFile) {
        const size_t got = std::fread(buf, 1, sizeof buf, f.get());
        bytes.append(buf, got);
        if (got < sizeof buf) break;
    }
    if (std::ferror(f.get())) fail(errno ? errno : EIO);
    TVHashedStringList l(256);
    l.Assign(SettingsTextToLines(bytes));
    return l;
}

void WriteSettingsList(const std::string& path, const TVHashedStringList& List) {
    TAtomicFileWriter file(path);
    for (const std::string& line : List.Lines()) {
        file.Write(line);
        file.Write("\r\n");
    }
    file.Commit();
}

bool LoadSettingsFile(const std::string& path, TZarvoOptions& current, TStoredSettingsList& sets) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return false;
    const TVHashedStringList l = ReadSettingsList(path);
    SettingsFromList(l, current);
    sets.LoadFromList(l, kStoredListPrefix, kStoredSettingPrefix);
    return true;
}

void SaveSettingsFile(const std::string& path, const TZarvoOptions& current,
                      const TStoredSettingsList& sets) {
    TVHashedStringList l(256);
    SettingsToList(current, l);
    sets.SaveToList(l, kStoredListPrefix, kStoredSettingPrefix);
    WriteSettingsList(path, l);
}

// ---- named sets ----

bool SaveNamedSettings(TStoredSettingsList& sets, const std::string& name, const TZarvoOptions& o) {
    if (name.empty()) return false;
    bool added = false;
    TStoredSettings* s = sets.GetSettingsByName(name);
    if (!s) {
        s = &sets.GetSettings(sets.Add(std::make_unique<TStoredSettings>(name)));
        added = true;
    }
    SettingsToList(o, s->Settings());
    return added;
}

bool LoadNamedSettings(const TStoredSettingsList& sets, const std::string& name, TZarvoOptions& o) {
    const int i = sets.IndexOfName(name);
    if (i < 0) return false;
    SettingsFromList(sets.GetSettings(static_cast<size_t>(i)).Settings(), o);
    return true;
}

bool DeleteNamedSettings(TStoredSettingsList& sets, const std::string& name) {
    const int i = sets.IndexOfName(name);
    if (i < 0) return false;
    sets.Delete(static_cast<size_t>(i));
    return true;
}

std::string SettingsNotFoundMessage(const std::string& name) {
    return Format("Settings \"%s\" not found", name.c_str());
}

void LoadOptionsFromSettingsFile(const std::string& path, const std::string& setName, TZarvoOptions& o) {
    const TVHashedStringList l = ReadSettingsList(path);
    // As in the window: the file's options first, then the named set over them.
    SettingsFromList(l, o);
    if (setName.empty()) return;
    TStoredSettingsList sets;
    sets.LoadFromList(l, kStoredListPrefix, kStoredSettingPrefix);
    if (!LoadNamedSettings(sets, setName, o)) throw Exception(SettingsNotFoundMessage(setName));
}

} // namespace zarvo
