#include "net/RangeSet.h"

#include <array>
#include <cstring>

namespace zarvo {

TUInt128 IPv6ToUInt128(const TIPv6& ip) {
    // Values[0] holds the lowest 32 bits, and the layout is little-endian.
    TUInt128 v;
    std::memcpy(&v, ip.Values, sizeof v);
    return v;
}

TIPv6 UInt128ToIPv6(TUInt128 value) {
    TIPv6 ip;
    std::memcpy(ip.Values, &value, sizeof value);
    return ip;
}

char* IPv6ToCanonicalChars(TUInt128 value, char* out) {
    std::array<uint16_t, 8> g; // in written order
    for (int i = 0; i < 8; ++i) g[static_cast<size_t>(i)] = static_cast<uint16_t>(value >> (112 - 16 * i));
    int bestAt = -1, bestLength = 1; // a single zero group is written "0"
    for (int i = 0; i < 8;) {
        if (g[static_cast<size_t>(i)] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && g[static_cast<size_t>(j)] == 0) ++j;
        if (j - i > bestLength) {
            bestAt = i;
            bestLength = j - i;
        }
        i = j;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        if (i == bestAt) {
            *out++ = ':';
            if (i == 0) *out++ = ':';
            i += bestLength - 1;
            continue;
        }
        const unsigned v = g[static_cast<size_t>(i)];
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = (v >> shift) & 0xF;
            if (digit != 0 || started || shift == 0) {
                *out++ = kHex[digit];
                started = true;
            }
        }
        if (i < 7) *out++ = ':';
    }
    return out;
}

std::string IPv6ToCanonicalStr(TUInt128 value) {
    char buf[kIPv6TextRoom];
    return std::string(buf, IPv6ToCanonicalChars(value, buf));
}

namespace {

// Sorts by Low in three passes of 11 bits (stable, so each pass keeps the one before).
void RadixSortByLow(std::vector<TInterval<uint32_t>>& items) {
    std::vector<TInterval<uint32_t>> scratch(items.size());
    constexpr int kBits = 11;
    constexpr uint32_t kBuckets = 1u << kBits;
    for (int shift = 0; shift < 32; shift += kBits) {
        std::vector<size_t> starts(kBuckets + 1, 0);
        for (const auto& item : items) ++starts[((item.Low >> shift) & (kBuckets - 1)) + 1];
        // All in one bucket: this pass would change nothing.
        if (std::find(starts.begin(), starts.end(), items.size()) != starts.end()) continue;
        for (uint32_t b = 0; b < kBuckets; ++b) starts[b + 1] += starts[b];
        for (const auto& item : items) scratch[starts[(item.Low >> shift) & (kBuckets - 1)]++] = item;
        items.swap(scratch);
    }
}

} // namespace

namespace rangeset_detail {

void SortByLow(std::vector<TInterval<uint32_t>>& items) {
    if (items.size() < 4096) {
        std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.Low < b.Low; });
        return;
    }
    RadixSortByLow(items);
}

void SortByLow(std::vector<TInterval<TUInt128>>& items) {
    std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.Low < b.Low; });
}

} // namespace rangeset_detail

template class TIntervalSet<uint32_t>;
template class TIntervalSet<TUInt128>;

void TAddressCount::Add(TUInt128 n) {
    const TUInt128 sum = Low + n;
    if (sum < Low) ++High;
    Low = sum;
}

std::string TAddressCount::ToString() const {
    // Long division by 10 of High:Low, seen as five 32-bit digits.
    std::array<uint32_t, 5> digits = {High, static_cast<uint32_t>(Low >> 96),
                                      static_cast<uint32_t>(Low >> 64), static_cast<uint32_t>(Low >> 32),
                                      static_cast<uint32_t>(Low)};
    std::string text;
    for (;;) {
        uint64_t rest = 0;
        bool zero = true;
        for (uint32_t& d : digits) {
            const uint64_t cur = rest << 32 | d;
            d = static_cast<uint32_t>(cur / 10);
            rest = cur % 10;
            zero = zero && d == 0;
        }
        text.push_back(static_cast<char>('0' + rest));
        if (zero) break;
    }
    return {text.rbegin(), text.rend()};
}

TAddressCount TRangeSet::Count() const {
    TAddressCount n;
    for (const auto& r : V4.Items()) n.Add(TUInt128{r.High} - r.Low + 1);
    for (const auto& r : V6.Items()) {
        // [0, max] holds 2^128 addresses, one more than the difference can say.
        const TUInt128 less = r.High - r.Low;
        n.Add(less);
        n.Add(1);
    }
    return n;
}

TRangeSet TRangeSet::Union(const TRangeSet& a, const TRangeSet& b) {
    return {TIPv4Set::Union(a.V4, b.V4), TIPv6Set::Union(a.V6, b.V6)};
}

TRangeSet TRangeSet::Subtract(const TRangeSet& a, const TRangeSet& b) {
    return {TIPv4Set::Subtract(a.V4, b.V4), TIPv6Set::Subtract(a.V6, b.V6)};
}

TRangeSet TRangeSet::Intersect(const TRangeSet& a, const TRangeSet& b) {
    return {TIPv4Set::Intersect(a.V4, b.V4), TIPv6Set::Intersect(a.V6, b.V6)};
}

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// One address, strictly; IPv6 when it holds a ":".
bool ReadAddress(std::string_view text, TIPAddrFamily& family, TUInt128& value) {
    if (text.find(':') == std::string_view::npos) {
        TIPv4 ip;
        if (!TryStrictIPv4(text, ip)) return false;
        family = zarvo::IPv4;
        value = ip.Value;
        return true;
    }
    TIPv6 ip;
    if (!TryStrictIPv6(text, ip)) return false;
    family = zarvo::IPv6;
    value = IPv6ToUInt128(ip);
    return true;
}

// A prefix length in decimal, one to three digits, at most max.
bool ReadPrefix(std::string_view text, int max, int& prefix) {
    if (text.empty() || text.size() > 3) return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v > max) return false;
    prefix = v;
    return true;
}

} // namespace

bool TryParseAddressRange(std::string_view text, TAddressRange& range) {
    text = TrimBlanks(text);
    if (const size_t dash = text.find('-'); dash != std::string_view::npos) {
        TIPAddrFamily highFamily;
        if (!ReadAddress(TrimBlanks(text.substr(0, dash)), range.Family, range.Low) ||
            !ReadAddress(TrimBlanks(text.substr(dash + 1)), highFamily, range.High))
            return false;
        return highFamily == range.Family && range.Low <= range.High;
    }
    const size_t slash = text.find('/');
    if (!ReadAddress(TrimBlanks(text.substr(0, slash)), range.Family, range.Low)) return false;
    if (slash == std::string_view::npos) {
        range.High = range.Low;
        return true;
    }
    const int width = range.Family == zarvo::IPv4 ? 32 : 128;
    int prefix = 0;
    if (!ReadPrefix(TrimBlanks(text.substr(slash + 1)), width, prefix)) return false;
    const int hostBits = width - prefix;
    const TUInt128 host = hostBits == 128 ? ~TUInt128{0} : (TUInt128{1} << hostBits) - 1;
    range.Low &= ~host;
    range.High = range.Low | host;
    return true;
}

TListLine ParseRangeLine(std::string_view line, TAddressRange& range) {
    if (const size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    if (TrimBlanks(line).empty()) return TListLine::Blank;
    return TryParseAddressRange(line, range) ? TListLine::Range : TListLine::Bad;
}

void AddRange(TRangeSet& set, const TAddressRange& range) {
    if (range.Family == zarvo::IPv4)
        set.V4.Add(static_cast<uint32_t>(range.Low), static_cast<uint32_t>(range.High));
    else
        set.V6.Add(range.Low, range.High);
}

} // namespace zarvo
