// What shapes a run besides its ranges: the share of it that this process makes
// (shards), the excluded blocks and ranges, and the filter that keeps each address
// once across overlapping ranges.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/RangeSet.h"

namespace zarvo {

struct TRangePlan;

// Share Index (0-based) of Count: the run's lines Index, Index + Count, ... (0-based).
// So the shards of a run hold its lines, each in one shard, their sizes within one.
struct TShard {
    uint64_t Index = 0, Count = 1;
    bool Active() const { return Count > 1; }
    bool Wants(uint64_t line) const { return line % Count == Index; }
    // Whether any of the lines first .. first + n - 1 is this shard's.
    bool WantsAny(TUInt128 first, uint64_t n) const {
        if (Count == 1) return n > 0;
        const auto at = static_cast<uint64_t>(first % Count);
        // The first line of this shard at or after first.
        const uint64_t ahead = (Index + Count - at) % Count;
        return ahead < n;
    }
    // How many of lines 0 .. total - 1 are this shard's.
    uint64_t LinesOf(uint64_t total) const { return total / Count + (Index < total % Count ? 1 : 0); }
    bool operator==(const TShard&) const = default;
};

// Reads "I/N" (1 <= I <= N, decimal); raises Exception "--shard takes I/N with 1 <= I <= N".
TShard ParseShard(std::string_view text);

// The exclude lines that are an address, a CIDR block or an A-B range (a line holding
// "/" or "-" that TryParseAddressRange reads) go to blocks; the others, masks, to masks.
// An address text never holds "/" or "-", so no mask that could match one is taken; a
// line that is no range and, as a mask, holds "/" or "-" outside a set matches nothing,
// and raises Exception naming it.
void SplitExcludeLines(const std::vector<std::string>& lines, std::vector<std::string>& masks,
                       TRangeSet& blocks);

// Membership in the excluded blocks, quick for the addresses of a walk in order: the
// interval of the last answer is tried first, then a binary search.
class TExcludeBlocks {
public:
    explicit TExcludeBlocks(const TRangeSet& set) : FSet(set) {}
    bool Empty() const { return FSet.V4.Empty() && FSet.V6.Empty(); }
    bool Contains(const TIPAddr& addr) const;
    // Of the IPv4 addresses first + (j << strideBits), j = 0 .. count - 1 (count > 0, all
    // within 32 bits), how many from the first on are all in the blocks or all outside
    // them (at least one); inside tells which. A walk in order passes over an excluded
    // block whole, and makes the addresses between blocks a run at a time.
    uint64_t RunV4(uint64_t first, int strideBits, uint64_t count, bool& inside) const;

private:
    template <class U> static bool Find(const TIntervalSet<U>& set, U value, size_t& hint);
    const TRangeSet& FSet;
    mutable size_t FHint4 = 0, FHint6 = 0;
};

// --unique: an address is let through the first time only. Only the ranges whose
// blocks overlap another range's can repeat an address (one range never does), so only
// their addresses are remembered; runs of ranges apart cost nothing.
class TUniqueFilter {
public:
    TUniqueFilter() = default;
    explicit TUniqueFilter(const std::vector<TRangePlan>& ranges);
    bool Active() const { return FAny; }
    // True the first time addr comes from a range that overlaps another.
    bool Admit(int32_t range, const TIPAddr& addr);

private:
    void Grow();
    std::vector<bool> FOverlaps;
    bool FAny = false;
    // Open addressing over the addresses (family in the top bit of Hi for IPv4).
    struct TSlot {
        uint64_t Hi = 0, Lo = 0;
        bool Used = false;
    };
    std::vector<TSlot> FSlots;
    size_t FUsed = 0;
};

// --only-country: the positions of each range whose address is kept (the database
// places it in one of the countries), as runs of positions in ascending order. A
// position k of a range stands for First + k * 2^StepBits (the range has no random
// bits), and its runs end where the range's walk ends (TRangePlan::Positions).
struct TKeptRun {
    TUInt128 Low = 0, High = 0; // positions, both included
    TUInt128 Size() const { return High - Low + 1; }
};
class TKeptPositions {
public:
    TKeptPositions() = default;
    // kept: a normalized set of the addresses to keep.
    TKeptPositions(const std::vector<TRangePlan>& ranges, const TRangeSet& kept);
    std::span<const TKeptRun> Of(size_t range) const {
        return std::span<const TKeptRun>(FRuns).subspan(FFirst[range], FFirst[range + 1] - FFirst[range]);
    }
    // The kept addresses of ranges [from, to), at most 2^127.
    TUInt128 Count(size_t from, size_t to) const;

private:
    std::vector<TKeptRun> FRuns;
    std::vector<size_t> FFirst; // each range's first run in FRuns, and their end
};

// The address of position k of r, when r has no random bits.
TIPAddr PositionAddress(const TRangePlan& r, TUInt128 k);

// The number of addresses of family in blocks from low to high.
TUInt128 CountInside(const TRangeSet& blocks, TIPAddrFamily family, TUInt128 low, TUInt128 high);
// An address as its number (IPv4 in the low 32 bits).
TUInt128 AddressValue(const TIPAddr& addr);

// ORs count bits, drawn from (key, id) by KeyedRandom64, into addr from firstBit up:
// the random low bits of a random run's position, the same in every shard.
void OrKeyedRandomBits(TIPAddr& addr, uint64_t key, uint64_t id, int firstBit, int count);

} // namespace zarvo
