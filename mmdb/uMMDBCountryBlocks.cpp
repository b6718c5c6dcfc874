#include "mmdb/uMMDBCountryBlocks.h"

#include <algorithm>
#include <array>

#include "mmdb/uMMDBCountryCodes.h"

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
