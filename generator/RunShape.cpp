#include "generator/RunShape.h"

#include <algorithm>

#include "generator/ZarvoUtilsUnit.h"
#include "support/SeededPermutation.h"

namespace zarvo {

TShard ParseShard(std::string_view text) {
    const auto fail = [] { throw Exception("--shard takes I/N: share I (1 to N) of N"); };
    const size_t slash = text.find('/');
    if (slash == std::string_view::npos) fail();
    const auto number = [&](std::string_view digits) {
        if (digits.empty() || digits.size() > 9) fail();
        uint64_t v = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') fail();
            v = v * 10 + static_cast<uint64_t>(c - '0');
        }
        return v;
    };
    const uint64_t i = number(text.substr(0, slash)), n = number(text.substr(slash + 1));
    if (i < 1 || n < 1 || i > n) fail();
    return TShard{i - 1, n};
}

namespace {

// Whether the mask holds a "/" or "-" of its own, outside a "[...]" set: no address text
// (hexadecimal digits, ".", ":", the brackets of escaping) has one, so it matches nothing.
bool MatchesNoAddress(std::string_view mask) {
    for (size_t p = 0; p < mask.size(); ++p) {
        if (mask[p] == '/' || mask[p] == '-') return true;
        if (mask[p] != '[') continue;
        // A set, read as the mask compiler reads it: "!", then up to "]", "-" taking the next.
        if (++p < mask.size() && mask[p] == '!') ++p;
        for (; p < mask.size() && mask[p] != ']'; ++p)
            if (mask[p] == '-') ++p;
    }
    return false;
}

} // namespace

void SplitExcludeLines(const std::vector<std::string>& lines, std::vector<std::string>& masks,
                       TRangeSet& blocks) {
    TAddressRange range;
    // Room for every line as an IPv4 block up front: thousands of blocks are not grown by copies.
    blocks.V4.Reserve(blocks.V4.Items().size() + lines.size());
    for (const std::string& line : lines) {
        if (line.find_first_of("/-") == std::string::npos) {
            masks.push_back(line);
        } else if (TryParseAddressRange(line, range)) {
            AddRange(blocks, range);
        } else if (MatchesNoAddress(line)) {
            // Taken as a mask it would drop nothing, silently: a mistyped block, say.
            throw Exception(Format(
                "'%s' is not an address, block or range, and as a mask it matches no address", line.c_str()));
        } else {
            masks.push_back(line);
        }
    }
    blocks.Normalize();
}

template <class U> bool TExcludeBlocks::Find(const TIntervalSet<U>& set, U value, size_t& hint) {
    const auto& items = set.Items();
    if (items.empty()) return false;
    if (hint < items.size()) {
        const auto& h = items[hint];
        if (value >= h.Low) {
            if (value <= h.High) return true;
            // Past this interval: before the next one, or in it.
            if (hint + 1 == items.size() || value < items[hint + 1].Low) return false;
            if (value <= items[hint + 1].High) {
                ++hint;
                return true;
            }
        }
    }
    const auto it = std::lower_bound(items.begin(), items.end(), value,
                                     [](const TInterval<U>& item, U v) { return item.High < v; });
    hint = static_cast<size_t>(it - items.begin());
    if (hint == items.size()) hint = items.size() - 1;
    return it != items.end() && it->Low <= value;
}

bool TExcludeBlocks::Contains(const TIPAddr& addr) const {
    if (addr.ip_family == IPv4) return Find<uint32_t>(FSet.V4, addr.IPv4.Value, FHint4);
    return Find<TUInt128>(FSet.V6, IPv6ToUInt128(addr.IPv6), FHint6);
}

uint64_t TExcludeBlocks::RunV4(uint64_t first, int strideBits, uint64_t count, bool& inside) const {
    const auto& items = FSet.V4.Items();
    // The first block that ends at first or later.
    const auto it =
        std::lower_bound(items.begin(), items.end(), first,
                         [](const TInterval<uint32_t>& item, uint64_t v) { return item.High < v; });
    inside = it != items.end() && it->Low <= first;
    if (inside) return std::min(count, ((it->High - first) >> strideBits) + 1);
    if (it == items.end()) return count;
    // The addresses before the block's start.
    return std::min(count, ((it->Low - first - 1) >> strideBits) + 1);
}

namespace {

// The block a range's addresses lie in: its kept high bits fixed, all below free.
TInterval<TUInt128> Hull(const TRangePlan& r) {
    const int width = r.First.ip_family == IPv4 ? 32 : 128;
    const int free = std::min(width, r.StepBits + r.Span);
    const TUInt128 value = AddressValue(r.First);
    const TUInt128 low = free >= 128 ? 0 : value >> free << free;
    const TUInt128 ones = free >= 128 ? ~TUInt128{0} : (TUInt128{1} << free) - 1;
    return {low, low | ones};
}

} // namespace

TUniqueFilter::TUniqueFilter(const std::vector<TRangePlan>& ranges) : FOverlaps(ranges.size(), false) {
    // Each family's hulls by their start; a hull that starts by the furthest end seen
    // so far overlaps the one that reached there.
    for (const TIPAddrFamily family : {IPv4, IPv6}) {
        std::vector<std::pair<TInterval<TUInt128>, size_t>> hulls;
        for (size_t i = 0; i < ranges.size(); ++i)
            if (ranges[i].First.ip_family == family) hulls.push_back({Hull(ranges[i]), i});
        std::sort(hulls.begin(), hulls.end(),
                  [](const auto& a, const auto& b) { return a.first.Low < b.first.Low; });
        size_t reach = 0; // the hull that ends furthest so far
        for (size_t k = 1; k < hulls.size(); ++k) {
            if (hulls[k].first.Low <= hulls[reach].first.High) {
                FOverlaps[hulls[k].second] = true;
                FOverlaps[hulls[reach].second] = true;
                FAny = true;
            }
            if (hulls[k].first.High > hulls[reach].first.High) reach = k;
        }
    }
}

bool TUniqueFilter::Admit(int32_t range, const TIPAddr& addr) {
    if (!FOverlaps[static_cast<size_t>(range)]) return true;
    uint64_t hi, lo;
    if (addr.ip_family == IPv4) {
        hi = uint64_t{1} << 63;
        lo = addr.IPv4.Value;
    } else {
        const TUInt128 v = IPv6ToUInt128(addr.IPv6);
        hi = static_cast<uint64_t>(v >> 64);
        lo = static_cast<uint64_t>(v);
    }
    if (2 * (FUsed + 1) > FSlots.size()) Grow();
    const size_t mask = FSlots.size() - 1;
    for (size_t h = static_cast<size_t>(Mix64(hi ^ Mix64(lo))) & mask;; h = (h + 1) & mask) {
        TSlot& s = FSlots[h];
        if (!s.Used) {
            s = {hi, lo, true};
            ++FUsed;
            return true;
        }
        if (s.Hi == hi && s.Lo == lo) return false;
    }
}

void TUniqueFilter::Grow() {
    std::vector<TSlot> old(std::max<size_t>(1024, FSlots.size() * 2));
    old.swap(FSlots);
    const size_t mask = FSlots.size() - 1;
    for (const TSlot& s : old) {
        if (!s.Used) continue;
        size_t h = static_cast<size_t>(Mix64(s.Hi ^ Mix64(s.Lo))) & mask;
        while (FSlots[h].Used) h = (h + 1) & mask;
        FSlots[h] = s;
    }
}

namespace {
template <class U> TUInt128 Inside(const TIntervalSet<U>& set, U low, U high) {
    const auto& items = set.Items();
    auto it = std::lower_bound(items.begin(), items.end(), low,
                               [](const TInterval<U>& item, U v) { return item.High < v; });
    TUInt128 n = 0;
    for (; it != items.end() && it->Low <= high; ++it)
        n += TUInt128{std::min(it->High, high)} - std::max(it->Low, low) + 1;
    return n;
}
} // namespace

TUInt128 CountInside(const TRangeSet& blocks, TIPAddrFamily family, TUInt128 low, TUInt128 high) {
    if (family == IPv4)
        return Inside<uint32_t>(blocks.V4, static_cast<uint32_t>(low), static_cast<uint32_t>(high));
    return Inside<TUInt128>(blocks.V6, low, high);
}

TUInt128 AddressValue(const TIPAddr& addr) {
    return addr.ip_family == IPv4 ? TUInt128{addr.IPv4.Value} : IPv6ToUInt128(addr.IPv6);
}

void OrKeyedRandomBits(TIPAddr& addr, uint64_t key, uint64_t id, int firstBit, int count) {
    for (int done = 0; done < count; done += 64) {
        const int n = std::min(64, count - done);
        const uint64_t bits = KeyedRandom64(key + static_cast<uint64_t>(done), id);
        IPAddrOrBits(addr, n == 64 ? bits : bits & ((uint64_t{1} << n) - 1), firstBit + done);
    }
}

namespace {

template <class U>
void KeptRuns(const std::vector<TInterval<U>>& set, const TRangePlan& r, std::vector<TKeptRun>& runs) {
    const TUInt128 low = AddressValue(r.First), high = AddressValue(r.Last());
    const TUInt128 lastPosition = r.Positions() - 1;
    const int step = r.StepBits;
    const TUInt128 below = step >= 128 ? ~TUInt128{0} : (TUInt128{1} << step) - 1;
    const size_t first = runs.size();
    // The first interval that ends at the range's first address or later.
    auto at = std::lower_bound(set.begin(), set.end(), static_cast<U>(low),
                               [](const TInterval<U>& item, U v) { return item.High < v; });
    for (; at != set.end() && TUInt128{at->Low} <= high; ++at) {
        const TUInt128 a = std::max<TUInt128>(at->Low, low) - low,
                       b = std::min<TUInt128>(at->High, high) - low;
        // The positions whose address lies in [a, b] (offsets from the first address).
        const TUInt128 kLow = r.Span == 0 ? 0 : (a >> step) + ((a & below) != 0 ? 1 : 0);
        TUInt128 kHigh = r.Span == 0 ? 0 : b >> step;
        if (r.Span == 0 && a != 0) continue;
        if (kLow > lastPosition) break;
        kHigh = std::min(kHigh, lastPosition);
        if (kLow > kHigh) continue;
        if (runs.size() > first && runs.back().High + 1 == kLow)
            runs.back().High = kHigh;
        else
            runs.push_back({kLow, kHigh});
    }
}

} // namespace

TKeptPositions::TKeptPositions(const std::vector<TRangePlan>& ranges, const TRangeSet& kept) {
    FFirst.reserve(ranges.size() + 1);
    for (const TRangePlan& r : ranges) {
        FFirst.push_back(FRuns.size());
        if (r.First.ip_family == IPv4)
            KeptRuns(kept.V4.Items(), r, FRuns);
        else
            KeptRuns(kept.V6.Items(), r, FRuns);
    }
    FFirst.push_back(FRuns.size());
}

TUInt128 TKeptPositions::Count(size_t from, size_t to) const {
    constexpr TUInt128 kMax = TUInt128{1} << 127;
    TUInt128 n = 0;
    for (size_t i = FFirst[from]; i < FFirst[to]; ++i)
        n = std::min(kMax, n + std::min(kMax, FRuns[i].Size()));
    return n;
}

TIPAddr PositionAddress(const TRangePlan& r, TUInt128 k) {
    TIPAddr addr = r.First;
    const TUInt128 value = r.Span == 0 ? AddressValue(r.First) : AddressValue(r.First) + (k << r.StepBits);
    if (addr.ip_family == IPv4)
        addr.IPv4.Value = static_cast<uint32_t>(value);
    else
        addr.IPv6 = UInt128ToIPv6(value);
    return addr;
}

} // namespace zarvo
