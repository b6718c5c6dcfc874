#include "options/ZarvoSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <variant>

#include "support/ZarvoText.h"
#include "options/uAppFolder.h"

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

// ---- text decoding ----

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

constexpr uint32_t kReplacement = 0xFFFD;

// UTF-8 with every malformed sequence (bad lead, truncated, overlong, surrogate,
// beyond U+10FFFF) replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        size_t need = 0;
        uint32_t v = 0, min = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 2, v = c & 0x1F, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 3, v = c & 0x0F, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 4, v = c & 0x07, min = 0x10000;
        }
        size_t k = 1;
        for (; k < need && i + k < s.size(); ++k) {
            const unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) break;
            v = (v << 6) | (d & 0x3F);
        }
        if (need != 0 && k == need && v >= min && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
            out.append(s.substr(i, need));
            i += need;
        } else {
            AppendUtf8(out, kReplacement);
            i += std::max<size_t>(k, 1);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::string_view s, bool bigEndian) {
    std::string out;
    out.reserve(s.size());
    const size_t units = s.size() / 2;
    auto unit = [&](size_t i) -> uint32_t {
        const unsigned char a = static_cast<unsigned char>(s[2 * i]),
                            b = static_cast<unsigned char>(s[2 * i + 1]);
        return bigEndian ? (uint32_t(a) << 8 | b) : (uint32_t(b) << 8 | a);
    };
    for (size_t i = 0; i < units; ++i) {
        const uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const uint32_t lo = unit(i + 1);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, u >= 0xD800 && u <= 0xDFFF ? kReplacement : u);
    }
    if (s.size() % 2) AppendUtf8(out, kReplacement);
    return out;
}

[[noreturn]] void CannotCreate(const std::string& path, int err) {
    throw Exception(Format("Cannot create file \"%s\". %s", path.c_str(), std::strerror(err)));
}

// Owns a file descriptor and the temporary file's name until the rename succeeds.
struct TTempFile {
    int fd = -1;
    std::string name;
    ~TTempFile() {
        if (fd >= 0) ::close(fd);
        if (!name.empty()) ::unlink(name.c_str());
    }
};

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) {
            errno = ENOSPC;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
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
};

using TKeyField = std::variant<bool TZarvoOptions::*, std::string TZarvoOptions::*,
                               std::vector<std::string> TZarvoOptions::*, TGenerateCounts TZarvoOptions::*,
                               TNameDelimiter TZarvoOptions::*, TListDelimiter TZarvoOptions::*>;

struct TSettingKey {
    const char* Name;
    TKeyRule Rule;
    TKeyField Field;
    int Positions = 0; // the list's length, for TKeyRule::Position
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
        }
    }
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
    if (bytes.size() > kMaxSettingsFile) bytes = bytes.substr(0, kMaxSettingsFile);
    std::string text;
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF")
        text = SanitizeUtf8(bytes.substr(3));
    else if (bytes.substr(0, 2) == "\xFF\xFE")
        text = Utf16ToUtf8(bytes.substr(2), false);
    else if (bytes.substr(0, 2) == "\xFE\xFF")
        text = Utf16ToUtf8(bytes.substr(2), true);
    else
        text = SanitizeUtf8(bytes);

    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        if (end - start <= kMaxSettingsLine) lines.emplace_back(text, start, end - start);
        start = end;
        if (start < text.size() && text[start] == '\r') ++start;
        if (start < text.size() && text[start] == '\n') ++start;
    }
    return lines;
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
    // Through a link the file it names is replaced, not the link.
    std::error_code ec;
    fs::path target(path);
    if (fs::is_symlink(target, ec)) {
        const fs::path resolved = fs::weakly_canonical(target, ec);
        if (!ec) target = resolved;
    }
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");

    std::string text;
    for (const std::string& line : List.Lines()) text.append(line).append("\r\n");

    static std::atomic<unsigned> counter{0};
    TTempFile tmp;
    for (int attempt = 0; tmp.fd < 0; ++attempt) {
        const std::string name = (dir / ("." + target.filename().string() + "." + std::to_string(::getpid()) +
                                         "-" + std::to_string(counter++) + ".tmp"))
                                     .string();
        tmp.fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (tmp.fd >= 0)
            tmp.name = name;
        else if (errno != EEXIST || attempt >= 100)
            CannotCreate(path, errno);
    }
    // The new file keeps the old one's permissions (say, 0600 chosen by the user).
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) (void)::fchmod(tmp.fd, st.st_mode & 07777);
    if (!WriteAll(tmp.fd, text.data(), text.size())) CannotCreate(path, errno);
    if (::fsync(tmp.fd) != 0) CannotCreate(path, errno);
    const int fd = tmp.fd;
    tmp.fd = -1;
    if (::close(fd) != 0) CannotCreate(path, errno);
    if (::rename(tmp.name.c_str(), target.c_str()) != 0) CannotCreate(path, errno);
    tmp.name.clear();
    // The rename itself reaches the disk with the folder.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)::fsync(dfd);
        ::close(dfd);
    }
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
