#include "net/uZarvo.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "support/ZarvoRandom.h"

namespace zarvo {

TIPAddr StrToIPAddr(std::string_view text) {
    TIPAddr r;
    if (text.find(':') != std::string_view::npos) {
        r.ip_family = IPv6;
        r.IPv6 = StrToIPv6(text);
    } else {
        r.ip_family = IPv4;
        r.IPv4 = StrToIPv4(text);
    }
    return r;
}

TIPAddr StrictStrToIPAddr(std::string_view text) {
    TIPAddr r;
    if (text.find(':') != std::string_view::npos) {
        r.ip_family = IPv6;
        r.IPv6 = StrictStrToIPv6(text);
    } else {
        r.ip_family = IPv4;
        r.IPv4 = StrictStrToIPv4(text);
    }
    return r;
}

bool TryStrToIPAddr(std::string_view text, TIPAddr& addr) {
    bool valid;
    if (text.find(':') != std::string_view::npos) {
        const TIPv6 v = ParseIPv6(text, false, valid);
        if (valid) {
            addr = TIPAddr();
            addr.ip_family = IPv6;
            addr.IPv6 = v;
        }
    } else {
        const TIPv4 v = ParseIPv4(text, false, valid);
        if (valid) {
            addr = TIPAddr();
            addr.ip_family = IPv4;
            addr.IPv4 = v;
        }
    }
    return valid;
}

bool TryWholeStrToIPAddr(std::string_view text, TIPAddr& addr) {
    return TryStrToIPAddr(text, addr) && ReadsWhole(text);
}

char* IPAddrToChars(const TIPAddr& addr, bool escapeIPv6, char* out) {
    if (addr.ip_family == IPv4) return IPv4ToChars(addr.IPv4, out);
    if (!escapeIPv6) return IPv6ToChars(addr.IPv6, out);
    *out++ = '[';
    out = IPv6ToChars(addr.IPv6, out);
    *out++ = ']';
    return out;
}

char* IPAddrToChars(const TIPAddr& addr, bool escapeIPv6, bool lowerIPv6, char* out) {
    char* const begin = out;
    char* const end = IPAddrToChars(addr, escapeIPv6, out);
    // The digits A to F are the only letters of the text.
    if (lowerIPv6 && addr.ip_family == IPv6)
        for (char* p = begin; p != end; ++p)
            if (*p >= 'A' && *p <= 'F') *p = static_cast<char>(*p - 'A' + 'a');
    return end;
}

std::string IPAddrToStr(const TIPAddr& addr, bool escapeIPv6) {
    char buf[kIPAddrTextRoom];
    return std::string(buf, IPAddrToChars(addr, escapeIPv6, buf));
}

std::string IPAddrQuadrant(const TIPAddr& addr, int n) {
    if (addr.ip_family == IPv4) {
        if (n < 1 || n > 4) return {};
        return std::to_string(addr.IPv4.Groups[4 - n]);
    }
    if (n < 1 || n > 8) return {};
    char buf[8];
    const int len = std::snprintf(buf, sizeof buf, "%x", addr.IPv6.Groups[8 - n]);
    return std::string(buf, static_cast<size_t>(len));
}

namespace {
int Width(TIPAddrFamily f) {
    return f == IPv4 ? 32 : 128;
}

// Bits are numbered from 0 (least significant); the 128-bit view works on Values.
inline unsigned __int128 Get128(const TIPv6& v) {
    unsigned __int128 r = 0;
    for (int k = 3; k >= 0; --k) r = (r << 32) | v.Values[k];
    return r;
}
inline void Set128(TIPv6& v, unsigned __int128 x) {
    for (int k = 0; k < 4; ++k) {
        v.Values[k] = static_cast<uint32_t>(x);
        x >>= 32;
    }
}
inline unsigned __int128 LowOnes(int n) { // n from 0 to 128
    if (n <= 0) return 0;
    if (n >= 128) return ~static_cast<unsigned __int128>(0);
    return (static_cast<unsigned __int128>(1) << n) - 1;
}
} // namespace

TIPAddr MakeIPAddrMask(TIPAddrFamily family, int netBits, int hostFrom) {
    const int w = Width(family);
    const int net = netBits < 0 ? 0 : (netBits > w ? w : netBits);
    const int host = hostFrom < 0 ? 0 : (hostFrom > w ? w : hostFrom);
    // Ones above the network prefix and below the host prefix.
    const unsigned __int128 m = ~LowOnes(w - net) | LowOnes(w - host);
    TIPAddr r;
    r.ip_family = family;
    if (family == IPv4)
        r.IPv4.Value = static_cast<uint32_t>(m);
    else
        Set128(r.IPv6, m);
    return r;
}

void IPAddrAddBit(TIPAddr& addr, int bit) {
    if (addr.ip_family == IPv4) {
        addr.IPv4.Value += static_cast<uint32_t>(1) << ((bit % 32 + 32) % 32);
        return;
    }
    if (bit < 0 || bit >= 128) return;
    // A carry out of the top group is dropped: the address wraps around.
    Set128(addr.IPv6, Get128(addr.IPv6) + (static_cast<unsigned __int128>(1) << bit));
}

void IPAddrRandomBits(TIPAddr& addr, int firstBit, int count) {
    if (count <= 0) return;
    const int w = Width(addr.ip_family);
    int lo = firstBit < 0 ? 0 : firstBit;
    const int64_t hiExcl = static_cast<int64_t>(firstBit) + count;
    const int hi = hiExcl > w ? w : static_cast<int>(hiExcl);
    if (lo >= hi) return;
    // Each position gets one uniform bit; drawing 64 at a time gives the same
    // distribution. Bits are only ever set.
    if (addr.ip_family == IPv4) {
        // One draw covers the 32 bits: the same draw and bits as the general way.
        const uint64_t field = (uint64_t{1} << hi) - (uint64_t{1} << lo);
        addr.IPv4.Value |= static_cast<uint32_t>((Random64() << lo) & field);
        return;
    }
    unsigned __int128 bits = 0;
    for (int pos = lo; pos < hi; pos += 64) bits |= static_cast<unsigned __int128>(Random64()) << pos;
    bits &= LowOnes(hi) & ~LowOnes(lo);
    if (addr.ip_family == IPv4)
        addr.IPv4.Value |= static_cast<uint32_t>(bits);
    else
        Set128(addr.IPv6, Get128(addr.IPv6) | bits);
}

void IPAddrOrBits(TIPAddr& addr, uint64_t value, int shift) {
    if (value == 0 || shift < 0 || shift >= Width(addr.ip_family)) return;
    if (addr.ip_family == IPv4)
        addr.IPv4.Value |= static_cast<uint32_t>(value << shift);
    else
        Set128(addr.IPv6, Get128(addr.IPv6) | static_cast<unsigned __int128>(value) << shift);
}

bool IPAddrEqual(const TIPAddr& a, const TIPAddr& b) {
    if (a.ip_family != b.ip_family) return false;
    if (a.ip_family == IPv4) return a.IPv4.Value == b.IPv4.Value;
    return std::memcmp(&a.IPv6, &b.IPv6, sizeof(TIPv6)) == 0;
}

void IPAddrAnd(TIPAddr& a, const TIPAddr& b) {
    if (a.ip_family != b.ip_family) return;
    if (a.ip_family == IPv4)
        a.IPv4.Value &= b.IPv4.Value;
    else
        for (int k = 0; k < 4; ++k) a.IPv6.Values[k] &= b.IPv6.Values[k];
}

void IPAddrOr(TIPAddr& a, const TIPAddr& b) {
    if (a.ip_family != b.ip_family) return;
    if (a.ip_family == IPv4)
        a.IPv4.Value |= b.IPv4.Value;
    else
        for (int k = 0; k < 4; ++k) a.IPv6.Values[k] |= b.IPv6.Values[k];
}

void IPAddrNot(TIPAddr& a) {
    if (a.ip_family == IPv4)
        a.IPv4.Value = ~a.IPv4.Value;
    else
        for (auto& v : a.IPv6.Values) v = ~v;
}

bool IPAddrMaskedEqual(const TIPAddr& a, const TIPAddr& b, const TIPAddr& mask) {
    if (a.ip_family != b.ip_family || a.ip_family != mask.ip_family) return false;
    if (a.ip_family == IPv4) return (a.IPv4.Value & mask.IPv4.Value) == (b.IPv4.Value & mask.IPv4.Value);
    for (int k = 0; k < 4; ++k)
        if ((a.IPv6.Values[k] & mask.IPv6.Values[k]) != (b.IPv6.Values[k] & mask.IPv6.Values[k]))
            return false;
    return true;
}

// ---- wildcard masks ----

namespace {
constexpr int kMaxCards = 30; // separate "*" wildcards a mask may hold
}

bool TMask::Element::Matches(char c) const {
    const char u = AsciiUpper(c);
    switch (kind) {
    case mkLiteral:
        return u == literal;
    case mkAny:
        return true;
    case mkSet:
        return set.test(static_cast<unsigned char>(u)) != negate;
    case mkStar:
        break;
    }
    return false;
}

TMask::TMask(std::string_view mask) {
    auto fail = [&](size_t pos) {
        throw Exception(
            Format("'%s' is an invalid mask at (%d)", std::string(mask).c_str(), static_cast<int>(pos) + 1));
    };
    bool pendingStar = false;
    int cards = 0;
    auto write = [&](const Element& e, size_t pos) {
        if (pendingStar) {
            if (++cards > kMaxCards) fail(pos);
            Element star;
            star.kind = mkStar;
            FElements.push_back(star);
            pendingStar = false;
        }
        FElements.push_back(e);
    };
    size_t p = 0;
    for (; p < mask.size(); ++p) {
        const char c = mask[p];
        Element e;
        if (c == '*') {
            pendingStar = true;
        } else if (c == '?') {
            // A "?" right behind a "*" is dropped.
            if (!pendingStar) {
                e.kind = mkAny;
                write(e, p);
            }
        } else if (c == '[') {
            e.kind = mkSet;
            ++p;
            if (p < mask.size() && mask[p] == '!') {
                e.negate = true;
                ++p;
            }
            int last = -1;
            while (p < mask.size() && mask[p] != ']') {
                if (mask[p] == '-') {
                    if (last < 0) fail(p);
                    ++p;
                    if (p >= mask.size()) fail(p);
                    const int high = static_cast<unsigned char>(AsciiUpper(mask[p]));
                    for (int ch = last; ch <= high; ++ch) e.set.set(static_cast<size_t>(ch));
                } else {
                    last = static_cast<unsigned char>(AsciiUpper(mask[p]));
                    e.set.set(static_cast<size_t>(last));
                }
                ++p;
            }
            if (p >= mask.size() || e.set.none()) fail(p);
            write(e, p);
        } else {
            e.kind = mkLiteral;
            e.literal = AsciiUpper(c);
            write(e, p);
        }
    }
    if (pendingStar) {
        if (++cards > kMaxCards) fail(p);
        Element star;
        star.kind = mkStar;
        FElements.push_back(star);
    }
}

bool TMask::Matches(std::string_view text) const {
    // Every element but "*" matches one character, so the classic greedy match
    // with a single backtrack point to the last "*" is exact.
    const size_t np = FElements.size();
    size_t t = 0, p = 0, starP = SIZE_MAX, starT = 0;
    while (t < text.size()) {
        if (p < np && FElements[p].kind == mkStar) {
            starP = p++;
            starT = t;
        } else if (p < np && FElements[p].Matches(text[t])) {
            ++p;
            ++t;
        } else if (starP != SIZE_MAX) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < np && FElements[p].kind == mkStar) ++p;
    return p == np;
}

const TMask& TExcludeList::GetExcludeMask(int32_t index) const {
    if (index < 0 || index >= Count()) throw Exception(Format("List index out of bounds (%d)", index));
    return *FMasks[static_cast<size_t>(index)];
}

bool TMask::MatchesEverything() const {
    return !FElements.empty() &&
           std::all_of(FElements.begin(), FElements.end(), [](const Element& e) { return e.kind == mkStar; });
}

bool TExcludeList::ExcludesEverything() const {
    return std::any_of(FMasks.begin(), FMasks.end(), [](const auto& m) { return m->MatchesEverything(); });
}

bool TExcludeList::Excludes(std::string_view text) const {
    for (const auto& m : FMasks)
        if (m->Matches(text)) return true;
    return false;
}

} // namespace zarvo
