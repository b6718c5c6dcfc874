#include "mmdb/uMMDBCountryBlocks.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "mmdb/uMMDBCountryCodes.h"
#include "mmdb/uMMDBValues.h"
#include "support/LargeMemory.h"
#include "support/ZarvoText.h"

namespace zarvo {

namespace {

// Blocks in ascending order, each merged with its sibling as soon as both are there:
// the networks of a walk are aligned and disjoint, so what stays is the fewest blocks.
class TBlockMerger {
public:
    explicit TBlockMerger(const std::function<void(const TMMDBIPAddress&, int32_t)>& emit) : FEmit(emit) {}

    void Add(const TMMDBIPAddress& start, int32_t prefix) {
        TBlock b;
        b.Size = static_cast<uint8_t>(start.GetAddressBytes(b.Bytes.data()));
        b.Prefix = prefix;
        // IPv6 blocks follow the IPv4 ones: the IPv4 blocks are final.
        if (!FStack.empty() && FStack.back().Size != b.Size) Flush();
        FStack.push_back(b);
        while (FStack.size() >= 2 && Siblings(FStack[FStack.size() - 2], FStack.back())) {
            FStack.pop_back();
            --FStack.back().Prefix;
        }
    }

    // Hands on every block left.
    void Flush() {
        for (const TBlock& b : FStack) FEmit(TMMDBIPAddress(b.Bytes.data(), b.Size), b.Prefix);
        FStack.clear();
    }

private:
    struct TBlock {
        std::array<uint8_t, 16> Bytes{};
        uint8_t Size = 4;
        int32_t Prefix = 0;
    };
    static bool Bit(const TBlock& b, int32_t i) {
        return (b.Bytes[static_cast<size_t>(i / 8)] >> (7 - i % 8)) & 1;
    }
    // a is the lower half and b the upper half of one block.
    static bool Siblings(const TBlock& a, const TBlock& b) {
        if (a.Size != b.Size || a.Prefix != b.Prefix || a.Prefix == 0) return false;
        const int32_t last = a.Prefix - 1;
        if (Bit(a, last) || !Bit(b, last)) return false;
        for (int32_t i = 0; i < last; ++i)
            if (Bit(a, i) != Bit(b, i)) return false;
        return true;
    }

    const std::function<void(const TMMDBIPAddress&, int32_t)>& FEmit;
    std::vector<TBlock> FStack;
};

} // namespace

void MMDBCountryBlocks(TMMDBReader& reader, const std::vector<std::string>& codes, bool ipv4, bool ipv6,
                       const std::function<void(const TMMDBIPAddress& start, int32_t prefix)>& block) {
    if (!ipv4 && !ipv6) return;
    TMMDBCountryCodes countries(reader);
    TBlockMerger merger(block);
    // IPv4 alone: the IPv4 tree is all that needs walking.
    TMMDBNetworkWalk walk(reader, ipv4 && !ipv6);
    while (walk.Next()) {
        const bool v6 = walk.Start().IsIPv6();
        if (v6 ? !ipv6 : !ipv4) continue;
        const std::string& code = countries.CodeOf(walk.Record());
        if (std::find(codes.begin(), codes.end(), code) != codes.end())
            merger.Add(walk.Start(), walk.Prefix());
    }
    merger.Flush();
}

} // namespace zarvo

namespace zarvo {

std::vector<std::string> ParseCountryCodes(std::string_view text, std::string_view option) {
    std::vector<std::string> codes;
    for (size_t start = 0;;) {
        const size_t comma = text.find(',', start);
        std::string code(
            Trim(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start)));
        for (char& c : code) c = AsciiUpper(c);
        if (code.size() != 2 ||
            !std::all_of(code.begin(), code.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
            throw Exception(Format("%.*s takes two-letter country codes separated by commas, not '%s'",
                                   static_cast<int>(option.size()), option.data(), code.c_str()));
        codes.push_back(std::move(code));
        if (comma == std::string_view::npos) return codes;
        start = comma + 1;
    }
}

namespace {

// Whether a tree record value's country.iso_code is one of the codes. Each record is
// read once, as far as its country: its answer is kept in two bits at its place in
// the data section (a table a quarter of the section's size, quicker than a hash of
// half a million records), and each country object's answer by its place.
class TCountryDecider {
public:
    TCountryDecider(TMMDBReader& reader, const std::vector<std::string>& codes)
        : FReader(reader), FValues(reader.Decoder()), FCodes(codes),
          FNodeCount(reader.Metadata().NodeCount()),
          // Zeroed pages from the system as they are first touched, not a memset of all.
          FMarksSize(static_cast<size_t>(std::max<int64_t>(reader.DataSectionEnd(), 0) / 4 + 1)),
          FMarks(static_cast<uint8_t*>(std::calloc(FMarksSize, 1)), &std::free) {
        if (!FMarks) throw std::bad_alloc();
        // Nearly every page is touched, at random: a few faults for huge pages instead
        // of one for every 4 KiB.
        AdviseHugePages(FMarks.get(), FMarksSize);
    }

    // Asks for the cache line of record value r's mark ahead of Kept.
    void Prefetch(int64_t r) const {
        const auto at = static_cast<uint64_t>(r - FNodeCount);
        if (at / 4 < FMarksSize) __builtin_prefetch(FMarks.get() + at / 4);
    }

    bool Kept(int64_t r) {
        // Neighbouring networks often share their record.
        if (r == FLast) return FLastKept;
        FLast = r;
        const auto at = static_cast<uint64_t>(r - FNodeCount);
        // Records met lately first: they answer most leaves without a trip to the
        // large table. Only places read before, and so checked, are there.
        uint64_t& recent = FRecent[(at * 0x9E3779B97F4A7C15u) >> (64 - kRecentBits)];
        if ((recent >> 1) == at) return FLastKept = (recent & 1) != 0;
        FLastKept = Decide(r, at);
        recent = at << 1 | (FLastKept ? 1u : 0u);
        return FLastKept;
    }

private:
    static constexpr int kRecentBits = 13;

    bool Decide(int64_t r, uint64_t at) {
        const int64_t offset = FReader.RecordOffset(r); // raises for a place outside the data section
        uint8_t& marks = FMarks.get()[at / 4];
        const unsigned mark = (static_cast<unsigned>(marks) >> (at % 4 * 2)) & 3u;
        if (mark != 0) return mark == 2;
        bool kept = false;
        if (const int64_t country = FValues.FieldOffset(offset, FCountryPath); country >= 0) {
            auto known = FCountries.find(country);
            if (known == FCountries.end()) {
                std::string code;
                FValues.AppendField(country, FIsoCodePath, code);
                known =
                    FCountries.emplace(country, std::find(FCodes.begin(), FCodes.end(), code) != FCodes.end())
                        .first;
            }
            kept = known->second;
        }
        marks = static_cast<uint8_t>(marks | (kept ? 2u : 1u) << (at % 4 * 2));
        return kept;
    }

    TMMDBReader& FReader;
    TMMDBValueReader FValues;
    const TMMDBFieldPath FCountryPath = ParseMMDBFieldPath("country");
    const TMMDBFieldPath FIsoCodePath = ParseMMDBFieldPath("iso_code");
    const std::vector<std::string>& FCodes;
    const int64_t FNodeCount;
    const size_t FMarksSize;
    // 2 bits a place: 0 not read yet, 1 another country, 2 kept.
    std::unique_ptr<uint8_t, decltype(&std::free)> FMarks;
    std::unordered_map<int64_t, bool> FCountries;
    // (place << 1 | kept), 0 empty: a place is 16 or more.
    std::array<uint64_t, size_t{1} << kRecentBits> FRecent{};
    int64_t FLast = -1;
    bool FLastKept = false;
};

// The depth-first walk of one family's tree from start, over the subtrees that meet
// within alone; the kept networks, clipped to within, go to out. The networks come in
// ascending order; they are decided a batch at a time, their marks asked for ahead, so
// that the table's cache misses overlap instead of queueing.
template <class U> class TCountryWalk {
public:
    TCountryWalk(TMMDBReader& reader, const TIntervalSet<U>& within, TCountryDecider& decide,
                 TIntervalSet<U>& out)
        : FReader(reader), FWithin(within.Items()), FDecide(decide), FOut(out),
          FNodeCount(reader.Metadata().NodeCount()), FBudget(FullBudget()), FLowestBudget(FBudget) {}

    // From node (or record) start, the block of bit bits at low.
    void Run(int64_t start, U low = 0, int bit = 0) {
        if (FWithin.empty()) return;
        std::vector<TItem> stack{{start, low, bit, false}};
        while (!stack.empty()) {
            const TItem it = stack.back();
            stack.pop_back();
            const U high = it.Bit == 0 ? ~U{0} : static_cast<U>(it.Low | ((U{1} << (kWidth - it.Bit)) - 1));
            auto at = FWithin.end();
            bool inside = it.Inside;
            if (!inside) {
                // The first interval of within that ends at Low or later.
                at = std::lower_bound(FWithin.begin(), FWithin.end(), it.Low,
                                      [](const TInterval<U>& item, U v) { return item.High < v; });
                if (at == FWithin.end() || at->Low > high) continue;
                // Then all of the block's descendants meet that interval alone.
                inside = at->Low <= it.Low && high <= at->High;
            }
            if (it.Node >= FNodeCount) {
                if (it.Node > FNodeCount)
                    Leaf({it.Node, it.Low, high, inside, static_cast<size_t>(at - FWithin.begin())});
                continue;
            }
            try {
                Branch(it, inside, stack);
            } catch (...) {
                // The networks met before the fault are decided first, as one at a time would.
                Drain();
                throw;
            }
        }
        Drain();
        if (FHasPending) FOut.Add(FPending.Low, FPending.High);
    }

    // The budget the walk starts from, and where it stands at its end and where it
    // stood lowest (at most where it would have stood, as kept networks wait in a batch).
    int64_t FullBudget() const { return 8 * FNodeCount + 1024; }
    void SetBudget(int64_t budget) { FBudget = FLowestBudget = budget; }
    int64_t Budget() const { return FBudget; }
    int64_t LowestBudget() const { return FLowestBudget; }

private:
    static constexpr int kWidth = TIntervalSet<U>::kWidth;
    static constexpr size_t kBatch = 32;
    struct TItem {
        int64_t Node;
        U Low;
        int Bit;
        bool Inside; // the block lies inside one interval of within
    };
    struct TLeaf {
        int64_t Record;
        U Low, High;
        bool Inside;
        size_t At; // the first interval of within it meets, unless Inside
    };

    void Branch(const TItem& it, bool inside, std::vector<TItem>& stack) {
        if (it.Bit >= kWidth) throw Exception(Format("Invalid search tree, bad bit %d", it.Bit));
        // As TMMDBNetworkWalk budgets its steps: a sound tree in one pass, and a descent's
        // worth for every network it keeps, so that a tree whose branches meet again and
        // again cannot keep the walk going for ages.
        if (--FBudget < FLowestBudget) FLowestBudget = FBudget;
        if (FBudget < 0) {
            Drain(); // the kept networks waiting there add to the budget
            if (FBudget < 0)
                throw Exception(Format("Invalid search tree, more than %lld nodes visited",
                                       static_cast<long long>(FullBudget())));
        }
        int64_t left = 0, right = 0;
        FReader.ReadNode(it.Node, left, right);
        const U half = U{1} << (kWidth - 1 - it.Bit);
        stack.push_back({right, static_cast<U>(it.Low | half), it.Bit + 1, inside});
        stack.push_back({left, it.Low, it.Bit + 1, inside});
    }

    void Leaf(const TLeaf& leaf) {
        FDecide.Prefetch(leaf.Record);
        FBatch[FBatchSize++] = leaf;
        if (FBatchSize == kBatch) Drain();
    }

    void Drain() {
        const size_t n = FBatchSize;
        FBatchSize = 0;
        for (size_t k = 0; k < n; ++k) {
            const TLeaf& leaf = FBatch[k];
            if (!FDecide.Kept(leaf.Record)) continue;
            FBudget += kWidth;
            if (leaf.Inside) {
                Keep(leaf.Low, leaf.High);
                continue;
            }
            for (auto at = FWithin.begin() + static_cast<std::ptrdiff_t>(leaf.At);
                 at != FWithin.end() && at->Low <= leaf.High; ++at)
                Keep(std::max(at->Low, leaf.Low), std::min(at->High, leaf.High));
        }
    }

    // Ascending and disjoint: a piece that starts where the last ended extends it.
    void Keep(U low, U high) {
        if (FHasPending && FPending.High != ~U{0} && static_cast<U>(FPending.High + 1) == low) {
            FPending.High = high;
            return;
        }
        if (FHasPending) FOut.Add(FPending.Low, FPending.High);
        FPending = {low, high};
        FHasPending = true;
    }

    TMMDBReader& FReader;
    const std::vector<TInterval<U>>& FWithin;
    TCountryDecider& FDecide;
    TIntervalSet<U>& FOut;
    const int64_t FNodeCount;
    int64_t FBudget;
    int64_t FLowestBudget;
    std::array<TLeaf, kBatch> FBatch{};
    size_t FBatchSize = 0;
    TInterval<U> FPending;
    bool FHasPending = false;
};

// The two halves of the tree below start walked at once, each by its own reader and
// decider; true when both went through and the one walk would have too (its budget
// carried from the first half into the second). Otherwise nothing is kept and the one
// walk is left to give the error where it meets it.
template <class U>
bool WalkHalves(TMMDBReader& reader, const std::vector<std::string>& codes, int64_t start,
                const TIntervalSet<U>& within, TCountryDecider& decide, TIntervalSet<U>& out) {
    int64_t left = 0, right = 0;
    reader.ReadNode(start, left, right);
    // The second lane's state lives on its own thread's stack: next to the first one's,
    // their busy fields would share cache lines, and both lanes ran at half speed.
    bool rightDone = false;
    int64_t rightLowest = 0;
    TIntervalSet<U> outRight;
    const std::unique_ptr<TMMDBReader> twin = reader.Twin();
    const auto walkRight = [&] {
        try {
            TCountryDecider decideRight(*twin, codes);
            TIntervalSet<U> kept;
            TCountryWalk<U> walk(*twin, within, decideRight, kept);
            // Each half starts where the one walk stands after the root.
            walk.SetBudget(walk.FullBudget() - 1);
            walk.Run(right, static_cast<U>(U{1} << (TIntervalSet<U>::kWidth - 1)), 1);
            rightLowest = walk.LowestBudget();
            outRight = std::move(kept);
            rightDone = true;
        } catch (...) {
        }
    };
    std::thread other;
    try {
        other = std::thread(walkRight);
    } catch (const std::system_error&) {
        return false; // no thread to be had: the one walk
    }
    TIntervalSet<U> outLeft;
    TCountryWalk<U> walkLeft(reader, within, decide, outLeft);
    walkLeft.SetBudget(walkLeft.FullBudget() - 1);
    bool leftDone = false;
    try {
        walkLeft.Run(left, U{0}, 1);
        leftDone = true;
    } catch (...) {
    }
    other.join();
    // What the first half used up or added, the one walk's second half starts with.
    if (!leftDone || !rightDone || rightLowest + (walkLeft.Budget() - walkLeft.FullBudget() + 1) < 0)
        return false;
    for (const TIntervalSet<U>* half : {&outLeft, &outRight})
        for (const TInterval<U>& i : half->Items()) out.Add(i.Low, i.High);
    return true;
}

// One walk of the tree below start, or two lanes on two halves where the machine has
// the cores and the root is a node.
template <class U>
void WalkCountries(TMMDBReader& reader, const std::vector<std::string>& codes, int64_t start,
                   const TIntervalSet<U>& within, TCountryDecider& decide, TIntervalSet<U>& out) {
    if (within.Empty()) return;
    if (std::thread::hardware_concurrency() >= 2 && start >= 0 && start < reader.Metadata().NodeCount() &&
        WalkHalves(reader, codes, start, within, decide, out))
        return;
    TCountryWalk<U>(reader, within, decide, out).Run(start);
}

} // namespace

TRangeSet MMDBCountryAddresses(TMMDBReader& reader, const std::vector<std::string>& codes,
                               const TRangeSet& within) {
    TCountryDecider decide(reader, codes);
    TRangeSet kept;
    if (!within.V4.Empty())
        WalkCountries(reader, codes, reader.TreeStartNode(32), within.V4, decide, kept.V4);
    if (!within.V6.Empty()) WalkCountries(reader, codes, int64_t{0}, within.V6, decide, kept.V6);
    kept.Normalize();
    return kept;
}

} // namespace zarvo
