#include "mmdb/uMMDBNetworks.h"

#include <algorithm>

#include "mmdb/uMMDBReader.h"
#include "support/ZarvoText.h"

namespace zarvo {

TMMDBEnumeratorBase::TMMDBEnumeratorBase(TMMDBReader& reader, bool IPv4Only)
    : FReader(reader), byteCount(reader.Metadata().IPVersion() != 6 || IPv4Only ? 4 : 16) {
    // A tree whose branches meet again and again (k -> k + 1 on both sides) has
    // exponentially many paths; most of them lead nowhere, and the walk would go on
    // for ages without a network to show. The steps are budgeted by what they give:
    // a sound tree in one pass over its nodes, plus one descent's worth (the address
    // width) for every network reported, so a tree that shares subtrees (a comb of
    // pointers to one subtree) walks on as long as its networks keep coming.
    FVisitBase = 8 * reader.Metadata().NodeCount() + 1024;
    Reset();
}

void TMMDBEnumeratorBase::Reset() {
    FHaveNode = false;
    nodes.clear();
    FVisited = 0;
    FVisitLimit = FVisitBase;
    TMMDBNetNode start;
    start.Pointer = FReader.TreeStartNode(byteCount * 8);
    nodes.push_back(start);
}

void TMMDBEnumeratorBase::SetNetwork(const TMMDBNetNode& n) {
    bool v4 = byteCount == 4;
    if (!v4 && n.Bit >= 96)
        v4 = std::all_of(n.IPBytes.begin(), n.IPBytes.begin() + 12, [](uint8_t b) { return b == 0; });
    if (v4) {
        FStart = TMMDBIPAddress(n.IPBytes.data() + byteCount - 4, 4);
        FPrefix = byteCount == 4 ? n.Bit : n.Bit - 96;
    } else {
        FStart = TMMDBIPAddress(n.IPBytes.data(), 16);
        FPrefix = n.Bit;
    }
}

namespace {
// Whether the walk reached n through zero bits alone (the way to ::/96).
bool OnZeroPath(const TMMDBNetNode& n) {
    return std::all_of(n.IPBytes.begin(), n.IPBytes.end(), [](uint8_t b) { return b == 0; });
}
} // namespace

bool TMMDBEnumeratorBase::MoveNext() {
    const int64_t r = NextRecord();
    if (r == 0) return false;
    LoadData(r);
    FHaveNode = true;
    return true;
}

int64_t TMMDBEnumeratorBase::NextRecord() {
    FHaveNode = false;
    const int64_t nodeCount = FReader.Metadata().NodeCount();
    while (!nodes.empty()) {
        node = nodes.back();
        nodes.pop_back();
        while (node.Pointer < nodeCount) {
            if (node.Bit / 8 >= byteCount)
                throw Exception(Format("Invalid search tree, bad bit %d", node.Bit));
            if (++FVisited > FVisitLimit)
                throw Exception(Format("Invalid search tree, more than %lld nodes visited",
                                       static_cast<long long>(FVisitLimit)));
            // A way back into the IPv4 tree from elsewhere: those networks come once, as IPv4.
            if (node.Pointer == FIPv4Root && FIPv4Root != 0 && !OnZeroPath(node)) break;
            TMMDBNetNode right = node;
            right.IPBytes[static_cast<size_t>(node.Bit / 8)] |=
                static_cast<uint8_t>(1u << (7 - node.Bit % 8));
            right.Pointer = FReader.ReadNodeRecord(node.Pointer, 1);
            ++right.Bit;
            node.Pointer = FReader.ReadNodeRecord(node.Pointer, 0);
            ++node.Bit;
            nodes.push_back(right);
        }
        if (node.Pointer >= nodeCount && node.Pointer != nodeCount) {
            FVisitLimit += 8 * byteCount;
            SetNetwork(node);
            return node.Pointer;
        }
    }
    return 0;
}

TMMDBNetworkWalk::TMMDBNetworkWalk(TMMDBReader& reader, bool ipv4Only)
    : TMMDBEnumeratorBase(reader, ipv4Only) {
    if (byteCount == 16) {
        const int64_t root = reader.IPv4Root();
        // Only a node can be reached again; a record at the root is a network like any other.
        if (root > 0 && root < reader.Metadata().NodeCount()) FIPv4Root = root;
    }
}

} // namespace zarvo
