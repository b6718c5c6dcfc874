// The search tree of a MaxMind DB file: one address of either family, and the walk
// from the root to the record that holds an address, one at a time (uMMDBTree.cpp) or
// many in lockstep (uMMDBBatchWalk.cpp).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "mmdb/uMMDBFile.h"
#include "net/IPTypesX.h"

namespace zarvo {

class TMMDBIPAddress {
public:
    TMMDBIPAddress() : FV6(false), FIPv6{} {}
    explicit TMMDBIPAddress(const TIPv4& ipv4) : FV6(false), FIPv6{} { FIPv4 = ipv4; }
    explicit TMMDBIPAddress(const TIPv6& ipv6) : FV6(true), FIPv6(ipv6) {}
    // 4 bytes give IPv4 and 16 IPv6, network order; raises "Bad address size: %d.".
    explicit TMMDBIPAddress(const std::vector<uint8_t>& address)
        : TMMDBIPAddress(address.data(), address.size()) {}
    TMMDBIPAddress(const uint8_t* bytes, size_t count);

    bool IsIPv6() const { return FV6; }
    const TIPv4& IPv4() const { return FIPv4; }
    const TIPv6& IPv6() const { return FIPv6; }
    std::vector<uint8_t> GetAddressBytes() const;
    // Writes 4 or 16 bytes and returns the count.
    int GetAddressBytes(uint8_t* out) const;
    std::string ToString() const;

private:
    bool FV6;
    union {
        TIPv4 FIPv4;
        TIPv6 FIPv6;
    };
};

// The walks over the tree of one image. Attach checked once that the whole tree lies
// inside the image, so the walks read its nodes through a raw pointer. One thread at
// a time (the prefix table is built on the way).
class TMMDBSearchTree {
public:
    // WalkTrees' record value where WalkTree raises an error.
    static constexpr int64_t kWalkFailed = -1;
    // The walks WalkTrees takes down the tree in lockstep.
    static constexpr size_t kWalkLanes = 16;

    // The tree is the image's first nodeCount nodes (two records of recordSize bits
    // each), starting at tree; the caller has checked that they lie inside the image.
    void Attach(const TMMDBArrayBuffer& image, const uint8_t* tree, int64_t nodeCount, int32_t recordSize,
                int32_t ipVersion);

    int64_t NodeCount() const { return FNodeCount; }
    // Record side (0 left, 1 right) of node, through the bounds-checked image.
    int64_t ReadNodeRecord(int64_t node, int side) const;
    // Both records of node (below NodeCount, else an error) in one read: left and right.
    void ReadNode(int64_t node, int64_t& left, int64_t& right) const {
        if (node < 0 || node >= FNodeCount) return ReadNodeChecked(node, left, right);
        // Attach checked the tree's bytes.
        const uint8_t* b = FTree + node * (FRecordSize / 4);
        if (FRecordSize == 24) {
            left = (int64_t(b[0]) << 16) | (int64_t(b[1]) << 8) | b[2];
            right = (int64_t(b[3]) << 16) | (int64_t(b[4]) << 8) | b[5];
        } else if (FRecordSize == 28) {
            b = FTree + node * 7;
            left = (int64_t(b[3] & 0xF0) << 20) | (int64_t(b[0]) << 16) | (int64_t(b[1]) << 8) | b[2];
            right = (int64_t(b[3] & 0x0F) << 24) | (int64_t(b[4]) << 16) | (int64_t(b[5]) << 8) | b[6];
        } else if (FRecordSize == 32) {
            left = (int64_t(b[0]) << 24) | (int64_t(b[1]) << 16) | (int64_t(b[2]) << 8) | b[3];
            right = (int64_t(b[4]) << 24) | (int64_t(b[5]) << 16) | (int64_t(b[6]) << 8) | b[7];
        } else {
            ReadNodeChecked(node, left, right);
        }
    }
    // Where IPv4 addresses start: the node reached by 96 zero bits in an IPv6 tree.
    int64_t IPv4Root();
    int64_t TreeStartNode(int bitCount) { return FIPVersion == 6 && bitCount == 32 ? IPv4Root() : 0; }

    // The tree record value for the address (0: none) and the prefix length.
    int64_t WalkTree(const TMMDBIPAddress& address, int32_t& prefixLength);
    // The walks of many addresses at once (see TMMDBReader::WalkTrees).
    void WalkTrees(std::span<const TMMDBIPAddress> addresses, std::span<int64_t> records,
                   std::span<int32_t> prefixLengths);

private:
    // ReadNode through the bounds-checked image, with ReadNodeRecord's errors.
    void ReadNodeChecked(int64_t node, int64_t& left, int64_t& right) const;
    void FillPrefixTable(int64_t node, int depth, uint32_t prefix);
    // The node and the bit an IPv4 walk starts from: the start node and bit 0, or
    // where the prefix table leads once it is built.
    int64_t IPv4WalkStart(const uint8_t* bytes, int64_t node, int& bit);
    template <int RecordSize>
    void WalkLanes(std::span<const TMMDBIPAddress> addresses, std::span<int64_t> records,
                   std::span<int32_t> prefixLengths);

    static constexpr int kPrefixBits = 16;
    // Node (or record) and depth reached by each 16-bit IPv4 prefix; built after
    // some IPv4 walks, so single lookups do not pay for it.
    std::vector<uint64_t> FPrefixTable;
    int FIPv4Walks = 0;

    const TMMDBArrayBuffer* FImage = nullptr;
    const uint8_t* FTree = nullptr;
    int64_t FNodeCount = 0;
    int32_t FRecordSize = 0;
    int32_t FIPVersion = 0;
    int64_t FIPv4Start = 0;
};

// How the walks read the tree: the records of a node for each record size.
namespace mmdbtree {

// The bytes of one record of a node: where it starts and its last byte.
template <int RecordSize> const uint8_t* RecordBytes(const uint8_t* tree, int64_t node, unsigned bit) {
    if constexpr (RecordSize == 28)
        return tree + node * 7 + bit * 3;
    else
        return tree + node * (RecordSize / 4) + bit * (RecordSize / 8);
}
template <int RecordSize> constexpr int kRecordBytes = RecordSize == 28 ? 4 : RecordSize / 8;

template <int RecordSize> int64_t ReadRecord(const uint8_t* tree, int64_t node, unsigned bit) {
    const uint8_t* b = RecordBytes<RecordSize>(tree, node, bit);
    if constexpr (RecordSize == 24) {
        return (int64_t(b[0]) << 16) | (int64_t(b[1]) << 8) | b[2];
    } else if constexpr (RecordSize == 28) {
        // The left record takes the high half of the middle byte, the right one its low half.
        return bit ? (int64_t(b[0] & 0x0F) << 24) | (int64_t(b[1]) << 16) | (int64_t(b[2]) << 8) | b[3]
                   : (int64_t(b[3] & 0xF0) << 20) | (int64_t(b[0]) << 16) | (int64_t(b[1]) << 8) | b[2];
    } else {
        return (int64_t(b[0]) << 24) | (int64_t(b[1]) << 16) | (int64_t(b[2]) << 8) | b[3];
    }
}

// Asks for the record's cache lines (one, or two where it straddles a line end).
template <int RecordSize> void FetchRecord(const uint8_t* tree, int64_t node, unsigned bit) {
    const uint8_t* b = RecordBytes<RecordSize>(tree, node, bit);
    __builtin_prefetch(b);
    __builtin_prefetch(b + kRecordBytes<RecordSize> - 1);
}

inline unsigned AddressBit(const uint8_t* bytes, int i) {
    return (bytes[i >> 3] >> (7 - (i & 7))) & 1;
}

} // namespace mmdbtree

} // namespace zarvo
