#include "net/IPTypesX.h"

#include <algorithm>
#include <cstring>

namespace zarvo {

namespace {

[[noreturn]] void FailIPv4(std::string_view text) {
    throw EIPv4Error(Format("'%s' is not a valid IPv4 address", std::string(text).c_str()));
}
[[noreturn]] void FailIPv6(std::string_view text) {
    throw EIPv6Error(Format("'%s' is not a valid IPv6 address", std::string(text).c_str()));
}

// Reads the field of s that starts at pos and runs up to the next sep; pos then
// points past the separator. False when no separator is left.
bool NextField(std::string_view s, size_t& pos, char sep, std::string_view& field) {
    if (pos > s.size()) return false;
    const size_t end = s.find(sep, pos);
    if (end == std::string_view::npos) return false;
    field = s.substr(pos, end - pos);
    pos = end + 1;
    return true;
}

// An IPv6 group is read as "$" + text by the integer-text rule: one or more hex
// digits and nothing else, at most FFFF.
bool ParseGroup(std::string_view g, uint16_t& out) {
    if (g.empty() || g.size() > 8) return false;
    uint32_t v = 0;
    for (char c : g) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    if (v > 0xFFFF) return false;
    out = static_cast<uint16_t>(v);
    return true;
}

bool ParseOctet(std::string_view f, bool strict, uint8_t& out) {
    const auto v = TryStrToInt(f);
    if (v && *v >= 0 && *v <= 255) {
        out = static_cast<uint8_t>(*v);
        return true;
    }
    out = 0;
    return !strict;
}

// Four "."-separated fields of text + "."; lenient fields read as 0.
bool ParseDotted(std::string_view text, bool strict, uint8_t (&oct)[4]) {
    std::string s(text);
    s += '.';
    size_t pos = 0;
    for (auto& o : oct) {
        std::string_view f;
        if (!NextField(s, pos, '.', f)) return false;
        if (!ParseOctet(f, strict, o)) return false;
    }
    return true;
}

bool ParseIPv6Impl(std::string_view text, TIPv6& r) {
    std::memset(&r, 0, sizeof r);
    const size_t dc = text.find("::");
    if (dc == std::string_view::npos) {
        std::string s(text);
        s += ':';
        size_t pos = 0;
        for (int i = 7; i >= 0; --i) {
            std::string_view g;
            if (!NextField(s, pos, ':', g) || !ParseGroup(g, r.Groups[i])) return false;
        }
        return true;
    }
    if (text.find('.') != std::string_view::npos) {
        // IPv4-mapped: "::" then FFFF, one unexamined character, then the dotted quad.
        if (text.size() < dc + 6 || !SameText(text.substr(dc + 2, 4), "FFFF")) return false;
        uint8_t oct[4];
        const std::string_view dotted = text.size() > dc + 7 ? text.substr(dc + 7) : std::string_view();
        if (!ParseDotted(dotted, true, oct)) return false;
        r.F = 0xFFFF;
        r.G = static_cast<uint16_t>(oct[0] << 8 | oct[1]);
        r.H = static_cast<uint16_t>(oct[2] << 8 | oct[3]);
        return true;
    }
    std::string s(text);
    s += ':';
    size_t pos = 0;
    int filled = 0;
    while (pos < dc) {
        std::string_view g;
        if (filled >= 8 || !NextField(s, pos, ':', g)) return false;
        if (!ParseGroup(g, r.Groups[7 - filled])) return false;
        ++filled;
    }
    // Eight groups before "::" leave it nothing to stand for.
    if (filled >= 8) return false;
    if (text.size() > dc + 2) {
        uint16_t after[8];
        int n = 0;
        pos = dc + 2;
        std::string_view g;
        while (pos < s.size()) {
            if (n >= 8 - filled || !NextField(s, pos, ':', g) || !ParseGroup(g, after[n])) return false;
            ++n;
        }
        for (int k = 0; k < n; ++k) r.Groups[n - 1 - k] = after[k];
    }
    return true;
}

char* WriteHex(uint16_t v, char* out) {
    static const char digits[] = "0123456789ABCDEF";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const unsigned d = (v >> shift) & 0xF;
        if (d || started || shift == 0) {
            *out++ = digits[d];
            started = true;
        }
    }
    return out;
}

} // namespace

TIPv4 ParseIPv4(std::string_view text, bool raiseOnError, bool& valid) {
    TIPv4 r;
    uint8_t oct[4];
    valid = ParseDotted(text, false, oct);
    if (!valid) {
        if (raiseOnError) FailIPv4(text);
        r.Value = 0;
        return r;
    }
    r.A = oct[0];
    r.B = oct[1];
    r.C = oct[2];
    r.D = oct[3];
    return r;
}

TIPv4 StrToIPv4(std::string_view text) {
    bool valid;
    return ParseIPv4(text, true, valid);
}

namespace {

// Exactly four "."-separated fields, each a number from 0 to 255.
bool DottedWhole(std::string_view text) {
    for (int field = 0; field < 4; ++field) {
        const size_t dot = field < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos) return false;
        const auto v = TryStrToInt(text.substr(0, dot));
        if (!v || *v < 0 || *v > 255) return false;
        text.remove_prefix(field < 3 ? dot + 1 : dot);
    }
    return true;
}

} // namespace

bool ReadsWhole(std::string_view text) {
    if (text.find(':') == std::string_view::npos) return DottedWhole(text);
    const size_t dc = text.find("::");
    // The full form reads eight groups, and the compressed form stops at a ninth.
    if (dc == std::string_view::npos) return std::count(text.begin(), text.end(), ':') == 7;
    if (text.find('.') == std::string_view::npos) return true;
    return text.find_first_not_of("0:") >= dc && text.size() > dc + 7 && text[dc + 6] == ':' &&
           DottedWhole(text.substr(dc + 7));
}

TIPv6 ParseIPv6(std::string_view text, bool raiseOnError, bool& valid) {
    TIPv6 r;
    valid = ParseIPv6Impl(text, r);
    if (!valid && raiseOnError) FailIPv6(text);
    return r;
}

TIPv6 StrToIPv6(std::string_view text) {
    bool valid;
    return ParseIPv6(text, true, valid);
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

bool TryStrictIPv4(std::string_view text, TIPv4& ip) {
    uint32_t value = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.') return false;
            ++at;
        }
        const size_t start = at;
        unsigned number = 0;
        while (at < text.size() && at - start < 4 && text[at] >= '0' && text[at] <= '9')
            number = number * 10 + static_cast<unsigned>(text[at++] - '0');
        const size_t digits = at - start;
        if (digits == 0 || digits > 3 || number > 255 || (digits > 1 && text[start] == '0')) return false;
        value = value << 8 | number;
    }
    if (at != text.size()) return false;
    ip.Value = value;
    return true;
}

bool TryStrictIPv6(std::string_view text, TIPv6& ip) {
    uint16_t groups[8];      // in written order
    int count = 0, gap = -1; // gap: the groups written before "::"
    size_t at = 0;
    if (text.starts_with("::")) {
        gap = 0;
        at = 2;
    }
    while (at < text.size()) {
        size_t end = at;
        unsigned value = 0;
        while (end < text.size() && end - at < 5 && HexDigit(text[end]) >= 0)
            value = value * 16 + static_cast<unsigned>(HexDigit(text[end++]));
        if (end < text.size() && text[end] == '.') {
            // A dotted quad: the last 32 bits, and the end of the text.
            TIPv4 v4;
            if (count > 6 || !TryStrictIPv4(text.substr(at), v4)) return false;
            groups[count++] = static_cast<uint16_t>(v4.Value >> 16);
            groups[count++] = static_cast<uint16_t>(v4.Value);
            at = text.size();
            break;
        }
        if (end == at || end - at > 4 || count == 8) return false;
        groups[count++] = static_cast<uint16_t>(value);
        at = end;
        if (at == text.size()) break;
        if (text[at] != ':' || ++at == text.size()) return false; // a text may not end in one colon
        if (text[at] == ':') {
            if (gap >= 0) return false;
            gap = count;
            ++at;
        }
    }
    // "::" stands for at least one group.
    if (gap < 0 ? count != 8 : count > 7) return false;
    const int zeros = 8 - count;
    for (int i = 0, from = 0; i < 8; ++i) {
        const bool zero = gap >= 0 && i >= gap && i < gap + zeros;
        ip.Groups[7 - i] = zero ? uint16_t{0} : groups[from++];
    }
    return true;
}

TIPv4 StrictStrToIPv4(std::string_view text) {
    TIPv4 r;
    if (!TryStrictIPv4(text, r)) FailIPv4(text);
    return r;
}

TIPv6 StrictStrToIPv6(std::string_view text) {
    TIPv6 r;
    if (!TryStrictIPv6(text, r)) FailIPv6(text);
    return r;
}

char* IPv4ToChars(const TIPv4& ip, char* out) {
    using ipv4_text::WriteOctet;
    out = WriteOctet(ip.A, out);
    *out++ = '.';
    out = WriteOctet(ip.B, out);
    *out++ = '.';
    out = WriteOctet(ip.C, out);
    *out++ = '.';
    return WriteOctet(ip.D, out);
}

char* IPv6ToChars(const TIPv6& ip, char* out) {
    // Only the first run of zero groups is compressed, even when a later one is longer.
    int zs = -1, ze = -1; // in written order: index 0 is A
    for (int i = 0; i < 8; ++i) {
        if (ip.Groups[7 - i] == 0) {
            zs = i;
            ze = i;
            while (ze + 1 < 8 && ip.Groups[7 - (ze + 1)] == 0) ++ze;
            break;
        }
    }
    for (int i = 0; i < 8; ++i) {
        if (i == zs) {
            *out++ = ':';
            *out++ = ':';
            i = ze;
            continue;
        }
        if (i > 0 && i != ze + 1) *out++ = ':';
        out = WriteHex(ip.Groups[7 - i], out);
    }
    return out;
}

std::string IPv4ToStr(const TIPv4& ip) {
    char buf[kIPv4TextRoom];
    return std::string(buf, IPv4ToChars(ip, buf));
}

std::string IPv6ToStr(const TIPv6& ip) {
    char buf[kIPv6TextRoom];
    return std::string(buf, IPv6ToChars(ip, buf));
}

} // namespace zarvo
