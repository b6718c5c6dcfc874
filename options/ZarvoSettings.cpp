#include "options/ZarvoSettings.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>
#include <type_traits>
#include <variant>

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

// The name index's buckets for a list of lines: a bucket a line or so, at least the 256
// of a small file, so that ten thousand range or exclude lines are read in milliseconds.
uint32_t BucketsFor(size_t lines) {
    return static_cast<uint32_t>(std::clamp<size_t>(std::bit_ceil(lines), 256, size_t{1} << 20));
}

void GetLines(const TVHashedStringList& l, const std::string& key, std::vector<std::string>& lines) {
    const int32_t n = StrToIntDef(l.GetValue(key + "N"), -1);
    if (n < 0) return;
    lines.clear();
    // Only the numbers the file holds are looked up, so a garbled count of two
    // billion costs nothing and a count beyond the file's length drops no key.
    const std::vector<uint32_t> numbers = l.NumberedNames(key, static_cast<uint32_t>(n));
    lines.reserve(numbers.size());
    for (const uint32_t i : numbers) {
        std::string v = l.GetValue(key + std::to_string(i));
        if (!v.empty()) lines.push_back(std::move(v));
    }
}

std::string GetCount(const TVHashedStringList& l, const char* key) {
    return std::to_string(StrToIntDef(l.GetValue(key), 10));
}

} // namespace

// ---- option keys ----

// ---- the key table ----
//
// Every option key in the file's order, with the field it holds and its read-back
// rule; writing and reading both walk this one table.

namespace {

enum class TKeyRule : uint8_t {
    Flag,          // "1"/"0"; anything else reads as unticked
    Text,          // always read; an absent key reads as ""
    TextIfPresent, // read only when the key is there
    Count,         // read by the integer rule, 10 when not an integer
    Lines,         // Key1..KeyN and KeyN; read only when KeyN is 0 or more
    Mode,          // "Total Count" (1) or "For Each Range" (2); anything else "All IPs"
    Position,      // a list position; read only when it lies in the list
    Number,        // a number from 1 to High; anything else reads as Default
};

using TKeyField =
    std::variant<bool TZarvoOptions::*, std::string TZarvoOptions::*,
                 std::vector<std::string> TZarvoOptions::*, TGenerateCounts TZarvoOptions::*,
                 TNameDelimiter TZarvoOptions::*, TListDelimiter TZarvoOptions::*, unsigned TZarvoOptions::*>;

struct TSettingKey {
    const char* Name;
    TKeyRule Rule;
    TKeyField Field;
    int Positions = 0;    // the list's length, for TKeyRule::Position
    unsigned High = 0;    // the largest value, for TKeyRule::Number
    unsigned Default = 0; // the value of a key that is absent or out of range, for TKeyRule::Number
    unsigned Low = 1;     // the smallest value, for TKeyRule::Number
};

const TSettingKey kSettingKeys[] = {
    {"ResolveCountry", TKeyRule::Flag, &TZarvoOptions::ResolveCountry},
    {"MMDBFilePath", TKeyRule::Text, &TZarvoOptions::MMDBFilePath},
    {"Append", TKeyRule::Flag, &TZarvoOptions::Append},
    {"IPRange", TKeyRule::Lines, &TZarvoOptions::IPRanges},
    {"UsableHostIPAddresses", TKeyRule::Flag, &TZarvoOptions::UsableHosts},
    {"Exclude", TKeyRule::Flag, &TZarvoOptions::Exclude},
    {"Exclude", TKeyRule::Lines, &TZarvoOptions::ExcludeMasks},
    {"DNS", TKeyRule::Lines, &TZarvoOptions::DNSServers},
    {"Mode", TKeyRule::Mode, &TZarvoOptions::Mode},
    {"TotalCount", TKeyRule::Count, &TZarvoOptions::TotalCount},
    {"EachCount", TKeyRule::Count, &TZarvoOptions::EachCount},
    {"Random", TKeyRule::Flag, &TZarvoOptions::Random},
    {"EscapeIPv6", TKeyRule::Flag, &TZarvoOptions::EscapeIPv6},
    {"AddPort", TKeyRule::Flag, &TZarvoOptions::AddPort},
    {"Ports", TKeyRule::TextIfPresent, &TZarvoOptions::Ports},
    {"GenerateNames", TKeyRule::Flag, &TZarvoOptions::GenerateNames},
    {"NameTemplate", TKeyRule::TextIfPresent, &TZarvoOptions::NameTemplate},
    {"CounterSymbol", TKeyRule::TextIfPresent, &TZarvoOptions::CounterSymbol},
    {"FirstCounter", TKeyRule::TextIfPresent, &TZarvoOptions::FirstCounter},
    {"CounterStep", TKeyRule::TextIfPresent, &TZarvoOptions::CounterStep},
    {"CounterDigits", TKeyRule::TextIfPresent, &TZarvoOptions::CounterDigits},
    {"NameDelimiter", TKeyRule::Position, &TZarvoOptions::NameDelimiter, kNameDelimiterCount},
    {"NameCustomDelimiter", TKeyRule::TextIfPresent, &TZarvoOptions::NameCustomDelimiter},
    {"IPDelimiter", TKeyRule::Position, &TZarvoOptions::IPDelimiter, kListDelimiterCount},
    {"ResolvedDelimiter", TKeyRule::Position, &TZarvoOptions::ResolvedDelimiter, kListDelimiterCount},
    {"UnresolvedDelimiter", TKeyRule::Position, &TZarvoOptions::UnresolvedDelimiter, kListDelimiterCount},
    // Added later than the keys above: a file without them gets the lookup's defaults.
    {"DNSTimeout", TKeyRule::Number, &TZarvoOptions::DNSTimeoutMs, 0, dns::kMaxTimeoutMs,
     dns::kDefaultTimeoutMs},
    {"DNSInFlight", TKeyRule::Number, &TZarvoOptions::DNSInFlight, 0, dns::kMaxInFlight,
     dns::kDefaultInFlight},
    {"DNSRetries", TKeyRule::Number, &TZarvoOptions::DNSRetries, 0, dns::kMaxRetries, dns::kDefaultRetries,
     0},
    // A file without it writes IPv6 in upper case, as it always did.
    {"LowerIPv6", TKeyRule::Flag, &TZarvoOptions::LowerIPv6},
    {"UniqueIPAddresses", TKeyRule::Flag, &TZarvoOptions::Unique},
    // A file without them shows the country code of every address, as it always did.
    {"CountryField", TKeyRule::TextIfPresent, &TZarvoOptions::CountryField},
    {"OnlyCountries", TKeyRule::Text, &TZarvoOptions::OnlyCountries},
};

template <class T> T& FieldOf(TZarvoOptions& o, const TSettingKey& k) {
    return o.*std::get<T TZarvoOptions::*>(k.Field);
}
template <class T> const T& FieldOf(const TZarvoOptions& o, const TSettingKey& k) {
    return o.*std::get<T TZarvoOptions::*>(k.Field);
}

// The integer a choice field holds, whichever enum it is.
int ChoiceOf(const TZarvoOptions& o, const TSettingKey& k) {
    return std::visit(
        [&](auto field) -> int {
            using T = std::remove_cvref_t<decltype(o.*field)>;
            if constexpr (std::is_enum_v<T>)
                return static_cast<int>(o.*field);
            else
                throw std::logic_error("not a choice");
        },
        k.Field);
}

void SetChoice(TZarvoOptions& o, const TSettingKey& k, int v) {
    std::visit(
        [&](auto field) {
            using T = std::remove_cvref_t<decltype(o.*field)>;
            if constexpr (std::is_enum_v<T>) o.*field = static_cast<T>(v);
        },
        k.Field);
}

} // namespace

void SettingsToList(const TZarvoOptions& o, TVHashedStringList& l) {
    for (const TSettingKey& k : kSettingKeys) {
        switch (k.Rule) {
        case TKeyRule::Flag:
            PutFlag(l, k.Name, FieldOf<bool>(o, k));
            break;
        case TKeyRule::Text:
        case TKeyRule::TextIfPresent:
        case TKeyRule::Count:
            PutText(l, k.Name, FieldOf<std::string>(o, k));
            break;
        case TKeyRule::Lines:
            PutLines(l, k.Name, FieldOf<std::vector<std::string>>(o, k));
            break;
        case TKeyRule::Mode:
        case TKeyRule::Position:
            PutInt(l, k.Name, ChoiceOf(o, k));
            break;
        case TKeyRule::Number:
            l.SetValue(k.Name, std::to_string(FieldOf<unsigned>(o, k)));
            break;
        }
    }
}

std::vector<std::string> SettingsToList(const TZarvoOptions& o) {
    TVHashedStringList l(256);
    SettingsToList(o, l);
    return l.Lines();
}

void SettingsFromList(const TVHashedStringList& l, TZarvoOptions& o) {
    for (const TSettingKey& k : kSettingKeys) {
        switch (k.Rule) {
        case TKeyRule::Flag:
            FieldOf<bool>(o, k) = GetFlag(l, k.Name);
            break;
        case TKeyRule::Text:
            FieldOf<std::string>(o, k) = l.GetValue(k.Name);
            break;
        case TKeyRule::TextIfPresent:
            GetIfPresent(l, k.Name, FieldOf<std::string>(o, k));
            break;
        case TKeyRule::Count:
            FieldOf<std::string>(o, k) = GetCount(l, k.Name);
            break;
        case TKeyRule::Lines:
            GetLines(l, k.Name, FieldOf<std::vector<std::string>>(o, k));
            break;
        case TKeyRule::Mode: {
            const int32_t mode = StrToIntDef(l.GetValue(k.Name), 0);
            SetChoice(o, k, mode == gcTotalCount || mode == gcForEach ? mode : gcAllCount);
            break;
        }
        case TKeyRule::Position: {
            const int32_t p = StrToIntDef(l.GetValue(k.Name), 0);
            if (p >= 0 && p < k.Positions) SetChoice(o, k, p);
            break;
        }
        case TKeyRule::Number: {
            const int32_t v = StrToIntDef(l.GetValue(k.Name), -1);
            FieldOf<unsigned>(o, k) =
                v >= 0 && static_cast<unsigned>(v) >= k.Low && static_cast<unsigned>(v) <= k.High
                    ? static_cast<unsigned>(v)
                    : k.Default;
            break;
        }
        }
    }
}

void SettingsFromList(const std::vector<std::string>& lines, TZarvoOptions& o) {
    TVHashedStringList l(BucketsFor(lines.size()));
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
    return DecodeTextLines(bytes, kMaxSettingsLine);
}

namespace {

std::string SettingsFileTooLargeMessage(const std::string& path, std::optional<uint64_t> size) {
    const std::string what = size ? Format("%llu bytes", static_cast<unsigned long long>(*size))
                                  : Format("more than %zu bytes", kMaxSettingsFile);
    return Format("Cannot open file \"%s\". File too large: %s; a settings file may hold at most %zu bytes "
                  "(%zu MiB)",
                  path.c_str(), what.c_str(), kMaxSettingsFile, kMaxSettingsFile >> 20);
}

} // namespace

TVHashedStringList ReadSettingsList(const std::string& path) {
    auto fail = [&](int err) {
        throw Exception(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(err)));
    };
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) fail(errno);
    std::string bytes;
    struct stat st {};
    // A file over the cap is refused whole, never read in part: a cut would end the
    // file inside a line, and the next save would drop everything after it.
    if (::fstat(::fileno(f.get()), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        if (static_cast<uint64_t>(st.st_size) > kMaxSettingsFile)
            throw Exception(SettingsFileTooLargeMessage(path, static_cast<uint64_t>(st.st_size)));
        bytes.reserve(static_cast<size_t>(st.st_size));
    }
    // One byte past the cap tells a stream (or a file that grew) that is too long.
    char buf[1 << 16];
    while (bytes.size() <= kMaxSettingsFile) {
        const size_t got =
            std::fread(buf, 1, std::min(sizeof buf, kMaxSettingsFile + 1 - bytes.size()), f.get());
        bytes.append(buf, got);
        if (got == 0) break;
    }
    if (bytes.size() > kMaxSettingsFile) throw Exception(SettingsFileTooLargeMessage(path, std::nullopt));
    if (std::ferror(f.get())) fail(errno ? errno : EIO);
    f.reset();
    // The text becomes the list's buffer. Only name=value lines are kept: every
    // reader of the file looks lines up by name, and a line without "=" has none
    // (64 MB of empty lines would otherwise cost an entry each).
    std::string text = DecodeTextBuffer(std::move(bytes));
    TVHashedStringList l(BucketsFor(static_cast<size_t>(std::count(text.begin(), text.end(), '\n'))));
    l.AssignText(std::move(text), [](std::string_view line) {
        return line.size() <= kMaxSettingsLine && line.find('=') != std::string_view::npos;
    });
    return l;
}

void WriteSettingsList(const std::string& path, const TVHashedStringList& List) {
    TAtomicFileWriter file(path);
    for (size_t i = 0; i < List.Count(); ++i) {
        file.Write(List[i]);
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
