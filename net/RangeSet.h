// Address sets as sorted lists of disjoint intervals, IPv4 and IPv6 apart: union,
// difference, intersection, the fewest CIDR blocks that cover a set, and its exact size.
// IPv6 values are 128-bit integers, so that nothing is rounded or capped.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/uZarvo.h"

namespace zarvo {

using TUInt128 = unsigned __int128;

// The numeric value of an address, and back.
TUInt128 IPv6ToUInt128(const TIPv6& ip);
TIPv6 UInt128ToIPv6(TUInt128 value);

// The address text of RFC 5952: lower-case groups without leading zeros, the longest
// run of two or more zero groups (the first of equals) written "::". It is what
// inet_ntop and Python's ipaddress write, so that the lines compare as text.
// out needs kIPv6TextRoom characters.
char* IPv6ToCanonicalChars(TUInt128 value, char* out);
std::string IPv6ToCanonicalStr(TUInt128 value);

// Low to High, both included.
template <class U> struct TInterval {
    U Low = 0, High = 0;
    bool operator==(const TInterval&) const = default;
};

// A set of addresses of one family (U: uint32_t for IPv4, TUInt128 for IPv6) as
// intervals. Add takes them in any order, overlapping or not; Normalize sorts and
// merges them (touching intervals too) into the set's one form, which the set
// operations and Contains need and keep.
template <class U> class TIntervalSet {
public:
    using TItem = TInterval<U>;
    static constexpr int kWidth = static_cast<int>(sizeof(U) * 8);

    void Add(U low, U high) { FItems.push_back({low, high}); }
    void Reserve(size_t n) { FItems.reserve(n); }
    void Normalize();
    const std::vector<TItem>& Items() const { return FItems; }
    bool Empty() const { return FItems.empty(); }
    // Normalized sets only: binary search.
    bool Contains(U value) const;

    // Normalized sets in, a normalized set out.
    static TIntervalSet Union(const TIntervalSet& a, const TIntervalSet& b);
    static TIntervalSet Subtract(const TIntervalSet& a, const TIntervalSet& b);
    static TIntervalSet Intersect(const TIntervalSet& a, const TIntervalSet& b);

private:
    std::vector<TItem> FItems;
};

using TIPv4Set = TIntervalSet<uint32_t>;
using TIPv6Set = TIntervalSet<TUInt128>;

// The number of addresses of a set, exact: up to 2^32 + 2^128, one more bit than
// 128 holds.
struct TAddressCount {
    TUInt128 Low = 0;
    uint32_t High = 0; // carries out of Low
    void Add(TUInt128 n);
    std::string ToString() const;
    bool operator==(const TAddressCount&) const = default;
};

// An IPv4 and an IPv6 set: what the aggregate command reads and writes.
struct TRangeSet {
    TIPv4Set V4;
    TIPv6Set V6;
    void Normalize() {
        V4.Normalize();
        V6.Normalize();
    }
    TAddressCount Count() const;
    static TRangeSet Union(const TRangeSet& a, const TRangeSet& b);
    static TRangeSet Subtract(const TRangeSet& a, const TRangeSet& b);
    static TRangeSet Intersect(const TRangeSet& a, const TRangeSet& b);
};

// The fewest CIDR blocks whose union is exactly [low, high], in order: calls
// block(start, prefixLength) for each.
template <class U, class F> void ForEachBlock(U low, U high, F&& block);

// One line of an address list: an address, a CIDR block ADDRESS/PREFIX (its address
// taken to the block's start: 10.1.2.3/8 is 10.0.0.0/8) or a range A-B of one family
// with A <= B. Blanks around the parts are passed over; "#" starts a comment. The
// addresses are read strictly (TryStrictIPv4, TryStrictIPv6); a prefix is 0 to 32 or
// 0 to 128 in decimal.
struct TAddressRange {
    TIPAddrFamily Family = zarvo::IPv4;
    TUInt128 Low = 0, High = 0; // an IPv4 range in the low 32 bits
};
enum class TListLine : uint8_t { Blank, Range, Bad };
TListLine ParseRangeLine(std::string_view line, TAddressRange& range);
// The same without comments or blanks (the generator's exclude lines): true for an
// address, block or range.
bool TryParseAddressRange(std::string_view text, TAddressRange& range);
// Adds range to the set of its family.
void AddRange(TRangeSet& set, const TAddressRange& range);

// ---- templates ----

namespace rangeset_detail {
// By Low; a radix sort for large IPv4 lists.
void SortByLow(std::vector<TInterval<uint32_t>>& items);
void SortByLow(std::vector<TInterval<TUInt128>>& items);
// The trailing zero bits of v (the width for 0); std::countr_zero has no 128-bit form.
template <class U> int TrailingZeros(U v) {
    if constexpr (sizeof(U) <= 8) {
        return std::countr_zero(v);
    } else {
        const auto low = static_cast<uint64_t>(v);
        if (low != 0) return std::countr_zero(low);
        return 64 + std::countr_zero(static_cast<uint64_t>(v >> 64));
    }
}
// The index of the highest bit set in v, which is not 0.
template <class U> int HighestBit(U v) {
    if constexpr (sizeof(U) <= 8) {
        return static_cast<int>(std::bit_width(v)) - 1;
    } else {
        const auto high = static_cast<uint64_t>(v >> 64);
        if (high != 0) return 64 + static_cast<int>(std::bit_width(high)) - 1;
        return static_cast<int>(std::bit_width(static_cast<uint64_t>(v))) - 1;
    }
}
} // namespace rangeset_detail

template <class U, class F> void ForEachBlock(U low, U high, F&& block) {
    constexpr int width = static_cast<int>(sizeof(U) * 8);
    constexpr U kMax = ~U{0};
    if (low == 0 && high == kMax) {
        block(U{0}, 0);
        return;
    }
    for (;;) {
        // The largest block that starts at low (its alignment) and ends by high.
        const int align = rangeset_detail::TrailingZeros(low);
        const int fits = rangeset_detail::HighestBit(static_cast<U>(high - low + 1));
        const int bits = std::min(align, fits);
        block(low, width - bits);
        const U last = low + ((U{1} << bits) - 1);
        if (last >= high) return;
        low = last + 1;
    }
}

template <class U> bool TIntervalSet<U>::Contains(U value) const {
    // The first interval that ends at value or later.
    const auto it = std::lower_bound(FItems.begin(), FItems.end(), value,
                                     [](const TItem& item, U v) { return item.High < v; });
    return it != FItems.end() && it->Low <= value;
}

template <class U> void TIntervalSet<U>::Normalize() {
    if (FItems.size() < 2) return;
    rangeset_detail::SortByLow(FItems);
    size_t out = 0;
    for (size_t i = 1; i < FItems.size(); ++i) {
        TItem& cur = FItems[out];
        const TItem& next = FItems[i];
        // Overlapping or touching: one interval. cur.High + 1 would wrap at the top.
        if (next.Low <= cur.High || next.Low - 1 <= cur.High) {
            if (next.High > cur.High) cur.High = next.High;
        } else {
            FItems[++out] = next;
        }
    }
    FItems.resize(out + 1);
}

template <class U> TIntervalSet<U> TIntervalSet<U>::Union(const TIntervalSet& a, const TIntervalSet& b) {
    TIntervalSet r;
    r.FItems.reserve(a.FItems.size() + b.FItems.size());
    std::merge(a.FItems.begin(), a.FItems.end(), b.FItems.begin(), b.FItems.end(),
               std::back_inserter(r.FItems), [](const TItem& x, const TItem& y) { return x.Low < y.Low; });
    r.Normalize();
    return r;
}

template <class U> TIntervalSet<U> TIntervalSet<U>::Subtract(const TIntervalSet& a, const TIntervalSet& b) {
    TIntervalSet r;
    r.FItems.reserve(a.FItems.size());
    size_t j = 0;
    const auto& bs = b.FItems;
    for (const TItem& item : a.FItems) {
        U low = item.Low;
        bool left = true; // some of [low, item.High] is still to place
        // Intervals of b that end before this one starts cannot touch it or a later one.
        while (j < bs.size() && bs[j].High < low) ++j;
        for (size_t k = j; k < bs.size() && bs[k].Low <= item.High; ++k) {
            if (bs[k].Low > low) r.FItems.push_back({low, static_cast<U>(bs[k].Low - 1)});
            if (bs[k].High >= item.High) {
                left = false;
                break;
            }
            low = bs[k].High + 1;
        }
        if (left) r.FItems.push_back({low, item.High});
    }
    return r;
}

template <class U> TIntervalSet<U> TIntervalSet<U>::Intersect(const TIntervalSet& a, const TIntervalSet& b) {
    TIntervalSet r;
    size_t i = 0, j = 0;
    const auto& as = a.FItems;
    const auto& bs = b.FItems;
    while (i < as.size() && j < bs.size()) {
        const U low = std::max(as[i].Low, bs[j].Low);
        const U high = std::min(as[i].High, bs[j].High);
        if (low <= high) r.FItems.push_back({low, high});
        // The one that ends first has nothing more in common with the other list.
        if (as[i].High < bs[j].High)
            ++i;
        else
            ++j;
    }
    return r;
}

extern template class TIntervalSet<uint32_t>;
extern template class TIntervalSet<TUInt128>;

} // namespace zarvo
