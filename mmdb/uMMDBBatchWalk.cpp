// The batched lookups: many walks down the tree in lockstep, so that their cache
// misses overlap instead of queueing.
#include "mmdb/uMMDBTree.h"

#include "support/ZarvoText.h"

namespace zarvo {

using namespace mmdbtree;

template <int RecordSize>
void TMMDBSearchTree::WalkLanes(std::span<const TMMDBIPAddress> addresses, std::span<int64_t> records,
                                std::span<int32_t> prefixLengths) {
    struct TLane {
        int64_t Node;
        int Bit, BitCount;
        size_t Index;
        uint8_t Bytes[16];
    };
    TLane lanes[kWalkLanes];
    const uint8_t* const tree = FTree;
    const int64_t nodeCount = FNodeCount;
    // A walk that has left the tree or used up its bits ends as WalkTree's does.
    const auto finish = [&](const TLane& l) {
        prefixLengths[l.Index] = l.Bit;
        records[l.Index] = l.Node == nodeCount ? 0 : l.Node > nodeCount ? l.Node : kWalkFailed;
    };
    // Puts the next address that needs a step into the lane, its first node asked for;
    // false when none is left. Addresses that need no step are finished on the way.
    size_t next = 0;
    const auto start = [&](TLane& l) {
        while (next < addresses.size()) {
            // The prefix table's entry of an IPv4 address a few starts ahead.
            if (const size_t ahead = next + kWalkLanes;
                ahead < addresses.size() && !FPrefixTable.empty() && !addresses[ahead].IsIPv6())
                __builtin_prefetch(&FPrefixTable[addresses[ahead].IPv4().Value >> 16]);
            l.Index = next++;
            l.BitCount = addresses[l.Index].GetAddressBytes(l.Bytes) * 8;
            l.Node = TreeStartNode(l.BitCount);
            l.Bit = 0;
            if (l.BitCount == 32) l.Node = IPv4WalkStart(l.Bytes, l.Node, l.Bit);
            if (l.Bit < l.BitCount && l.Node < nodeCount) {
                FetchRecord<RecordSize>(tree, l.Node, AddressBit(l.Bytes, l.Bit));
                return true;
            }
            finish(l);
        }
        return false;
    };
    size_t active = 0;
    while (active < kWalkLanes && start(lanes[active])) ++active;
    // Each round takes one step of every walk in flight: the node it reads was asked
    // for a round earlier. A finished walk makes room for the next address; a lane
    // left empty takes the last one's place, which has had its step this round.
    while (active > 0) {
        for (size_t j = active; j-- > 0;) {
            TLane& l = lanes[j];
            l.Node = ReadRecord<RecordSize>(tree, l.Node, AddressBit(l.Bytes, l.Bit));
            ++l.Bit;
            if (l.Bit < l.BitCount && l.Node < nodeCount) {
                FetchRecord<RecordSize>(tree, l.Node, AddressBit(l.Bytes, l.Bit));
                continue;
            }
            finish(l);
            if (!start(l)) l = lanes[--active];
        }
    }
}

void TMMDBSearchTree::WalkTrees(std::span<const TMMDBIPAddress> addresses, std::span<int64_t> records,
                                std::span<int32_t> prefixLengths) {
    if (records.size() < addresses.size() || prefixLengths.size() < addresses.size())
        throw Exception("WalkTrees: fewer results than addresses");
    switch (FRecordSize) {
    case 24:
        return WalkLanes<24>(addresses, records, prefixLengths);
    case 28:
        return WalkLanes<28>(addresses, records, prefixLengths);
    case 32:
        return WalkLanes<32>(addresses, records, prefixLengths);
    default:
        // No tree walk can step with this record size: each address as WalkTree takes it.
        for (size_t k = 0; k < addresses.size(); ++k) {
            prefixLengths[k] = 0;
            try {
                records[k] = WalkTree(addresses[k], prefixLengths[k]);
            } catch (const Exception&) {
                records[k] = kWalkFailed;
            }
        }
    }
}

} // namespace zarvo
