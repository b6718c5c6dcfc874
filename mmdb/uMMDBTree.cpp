#include "mmdb/uMMDBTree.h"

#include "support/ZarvoText.h"

namespace zarvo {

using namespace mmdbtree;

TMMDBIPAddress::TMMDBIPAddress(const uint8_t* bytes, size_t count) : FV6(false), FIPv6{} {
    if (count == 4) {
        FIPv4.Value =
            (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
    } else if (count == 16) {
        FV6 = true;
        for (int g = 0; g < 8; ++g)
            FIPv6.Groups[7 - g] = static_cast<uint16_t>((bytes[2 * g] << 8) | bytes[2 * g + 1]);
    } else {
        throw Exception(Format("Bad address size: %d.", static_cast<int>(count)));
    }
}

int TMMDBIPAddress::GetAddressBytes(uint8_t* out) const {
    if (!FV6) {
        out[0] = FIPv4.A;
        out[1] = FIPv4.B;
        out[2] = FIPv4.C;
        out[3] = FIPv4.D;
        return 4;
    }
    for (int g = 0; g < 8; ++g) {
        out[2 * g] = static_cast<uint8_t>(FIPv6.Groups[7 - g] >> 8);
        out[2 * g + 1] = static_cast<uint8_t>(FIPv6.Groups[7 - g]);
    }
    return 16;
}

std::vector<uint8_t> TMMDBIPAddress::GetAddressBytes() const {
    uint8_t b[16];
    const int n = GetAddressBytes(b);
    return std::vector<uint8_t>(b, b + n);
}

std::string TMMDBIPAddress::ToString() const {
    if (!FV6) return IPv4ToStr(FIPv4);
    std::string s = IPv6ToStr(FIPv6);
    for (char& ch : s) ch = AsciiLower(ch);
    return s;
}

// ---------------------------------------------------------------------------

void TMMDBSearchTree::Attach(const TMMDBArrayBuffer& image, const uint8_t* tree, int64_t nodeCount,
                             int32_t recordSize, int32_t ipVersion) {
    FImage = &image;
    FTree = tree;
    FNodeCount = nodeCount;
    FRecordSize = recordSize;
    FIPVersion = ipVersion;
}

int64_t TMMDBSearchTree::ReadNodeRecord(int64_t node, int side) const {
    switch (FRecordSize) {
    case 24:
        return static_cast<int64_t>(FImage->Slice(node * 6 + side * 3, 3).ReadBE<3>());
    case 28: {
        // Bytes 0-2 and 4-6 are the low 24 bits of the left and the right record; the
        // high and the low half of byte 3 lead them.
        const uint64_t b = FImage->Slice(node * 7, 7).ReadBE<7>();
        return static_cast<int64_t>(side == 0 ? (b >> 32) | ((b >> 4) & 0x0F000000) : b & 0x0FFFFFFF);
    }
    case 32:
        return static_cast<int64_t>(FImage->Slice(node * 8 + side * 4, 4).ReadBE<4>());
    default:
        throw Exception(Format("Unknown record size: %d", FRecordSize));
    }
}

void TMMDBSearchTree::ReadNodeChecked(int64_t node, int64_t& left, int64_t& right) const {
    left = ReadNodeRecord(node, 0);
    right = ReadNodeRecord(node, 1);
}

int64_t TMMDBSearchTree::IPv4Root() {
    if (FIPv4Start != 0 || FIPVersion == 4) return FIPv4Start;
    int64_t node = 0;
    for (int i = 0; i < 96 && node < FNodeCount; ++i) node = ReadNodeRecord(node, 0);
    FIPv4Start = node;
    return node;
}

namespace {

// The walk of one address, for one record size.
template <int RecordSize>
int64_t Walk(const uint8_t* tree, int64_t nodeCount, int64_t node, const uint8_t* bytes, int bitCount,
             int& i) {
    while (i < bitCount && node < nodeCount) {
        node = ReadRecord<RecordSize>(tree, node, AddressBit(bytes, i));
        ++i;
    }
    return node;
}

} // namespace

void TMMDBSearchTree::FillPrefixTable(int64_t node, int depth, uint32_t prefix) {
    if (depth == kPrefixBits || node >= FNodeCount) {
        const uint32_t first = prefix << (kPrefixBits - depth), count = 1u << (kPrefixBits - depth);
        for (uint32_t k = 0; k < count; ++k)
            FPrefixTable[first + k] = static_cast<uint64_t>(node) << 8 | static_cast<uint64_t>(depth);
        return;
    }
    FillPrefixTable(ReadNodeRecord(node, 0), depth + 1, prefix << 1);
    FillPrefixTable(ReadNodeRecord(node, 1), depth + 1, prefix << 1 | 1);
}

int64_t TMMDBSearchTree::IPv4WalkStart(const uint8_t* bytes, int64_t node, int& bit) {
    bit = 0;
    if (FRecordSize != 24 && FRecordSize != 28 && FRecordSize != 32) return node;
    // Many IPv4 walks: take the first steps from a table of where each 16-bit prefix
    // leads (the same steps, done once).
    if (FPrefixTable.empty() && ++FIPv4Walks == 256) {
        FPrefixTable.resize(size_t(1) << kPrefixBits);
        FillPrefixTable(node, 0, 0);
    }
    if (FPrefixTable.empty()) return node;
    const uint64_t e = FPrefixTable[(uint32_t(bytes[0]) << 8) | bytes[1]];
    bit = static_cast<int>(e & 0xFF);
    return static_cast<int64_t>(e >> 8);
}

int64_t TMMDBSearchTree::WalkTree(const TMMDBIPAddress& address, int32_t& prefixLength) {
    uint8_t bytes[16];
    const int bitCount = address.GetAddressBytes(bytes) * 8;
    int64_t node = TreeStartNode(bitCount);
    int i = 0;
    if (bitCount == 32) node = IPv4WalkStart(bytes, node, i);
    switch (node < FNodeCount ? FRecordSize : 24) {
    case 24:
        node = Walk<24>(FTree, FNodeCount, node, bytes, bitCount, i);
        break;
    case 28:
        node = Walk<28>(FTree, FNodeCount, node, bytes, bitCount, i);
        break;
    case 32:
        node = Walk<32>(FTree, FNodeCount, node, bytes, bitCount, i);
        break;
    default:
        ReadNodeRecord(node, 0); // raises "Unknown record size"
    }
    prefixLength = i;
    if (node == FNodeCount) return 0;
    if (node > FNodeCount) return node;
    throw Exception("Something bad happened");
}

} // namespace zarvo
