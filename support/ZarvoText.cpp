#include "support/ZarvoText.h"

#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <vector>

namespace zarvo {

std::string Format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, ap2);
        out.resize(static_cast<size_t>(n));
    }
    va_end(ap2);
    return out;
}

namespace {
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
} // namespace

std::optional<int32_t> TryStrToInt(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
        neg = s[i] == '-';
        ++i;
    }
    unsigned base = 10;
    if (i < s.size() && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i < s.size() && (s[i] == 'x' || s[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size()) return std::nullopt;
    // The magnitude may reach 2^31 only for a negative value.
    const uint64_t limit = neg ? 0x80000000ull : 0x7FFFFFFFull;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        const int d = HexDigit(s[i]);
        if (d < 0 || static_cast<unsigned>(d) >= base) return std::nullopt;
        v = v * base + static_cast<unsigned>(d);
        if (v > limit) return std::nullopt;
    }
    return neg ? static_cast<int32_t>(-static_cast<int64_t>(v)) : static_cast<int32_t>(v);
}

int32_t StrToIntDef(std::string_view text, int32_t def) {
    return TryStrToInt(text).value_or(def);
}

int32_t StrToInt(std::string_view text) {
    if (auto v = TryStrToInt(text)) return *v;
    throw Exception(Format("'%s' is not a valid integer value", std::string(text).c_str()));
}

std::string_view TrimLeft(std::string_view t) {
    size_t b = 0;
    while (b < t.size() && static_cast<unsigned char>(t[b]) <= ' ') ++b;
    return t.substr(b);
}

std::string_view TrimRight(std::string_view t) {
    size_t e = t.size();
    while (e > 0 && static_cast<unsigned char>(t[e - 1]) <= ' ') --e;
    return t.substr(0, e);
}

std::string_view Trim(std::string_view t) {
    return TrimRight(TrimLeft(t));
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

bool EndsWithText(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && SameText(text.substr(text.size() - suffix.size()), suffix);
}

void ReplaceAll(std::string& text, std::string_view what, std::string_view with) {
    if (what.empty()) return;
    size_t pos = text.find(what);
    if (pos == std::string::npos) return;
    std::string out;
    size_t from = 0;
    while (pos != std::string::npos) {
        out.append(text, from, pos - from);
        out.append(with);
        from = pos + what.size();
        pos = text.find(what, from);
    }
    out.append(text, from, std::string::npos);
    text.swap(out);
}

std::string FormatByteSize(uint64_t bytes) {
    static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    if (bytes < 1024) return Format("%llu bytes", static_cast<unsigned long long>(bytes));
    size_t unit = 0;
    double value = static_cast<double>(bytes) / 1024;
    // Round first: 1048575 bytes read "1 MB", not "1024 KB".
    while (unit + 1 < std::size(kUnits) && value >= 1023.95) {
        value /= 1024;
        ++unit;
    }
    std::string text = Format("%.1f", value);
    if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0) text.resize(text.size() - 2);
    return text + " " + kUnits[unit];
}

void AppendEscaped(std::string& out, std::string_view text, TEscapeStyle style) {
    const bool json = style == TEscapeStyle::Json;
    size_t plain = 0; // the start of the run that needs no escape
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const char* escape = nullptr;
        switch (c) {
        case '\\':
            escape = "\\\\";
            break;
        case '\t':
            escape = "\\t";
            break;
        case '\n':
            escape = "\\n";
            break;
        case '\r':
            escape = "\\r";
            break;
        case '"':
            if (json) escape = "\\\"";
            break;
        default:
            if (!json || c >= 0x20) continue;
        }
        if (!escape && !(json && c < 0x20)) continue;
        out.append(text.data() + plain, i - plain);
        plain = i + 1;
        if (escape) {
            out += escape;
        } else {
            static const char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    out.append(text.data() + plain, text.size() - plain);
}

} // namespace zarvo
