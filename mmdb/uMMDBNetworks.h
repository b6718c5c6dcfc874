// The network enumeration: a depth-first walk of the search tree that reports each
// network (its first address and prefix) with its record, in ascending order.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "mmdb/uMMDBTree.h"

namespace zarvo {

class TMMDBReader;

// One report of the enumeration: the network's first address, prefix and record.
template <class T> struct TMMDBIteratorNode {
    TMMDBIPAddress Start;
    int32_t Prefix = 0;
    T* Data = nullptr;
};

// One pending subtree of the walk.
struct TMMDBNetNode {
    std::array<uint8_t, 16> IPBytes{}; // the first byteCount bytes are used
    int32_t Bit = 0;
    int64_t Pointer = 0;
};

// The depth-first walk, independent of the record class.
class TMMDBEnumeratorBase {
public:
    virtual ~TMMDBEnumeratorBase() = default;
    bool MoveNext();
    void Reset();

protected:
    TMMDBEnumeratorBase(TMMDBReader& reader, bool IPv4Only);
    // Steps to the next network without loading its record: the tree record value, or
    // 0 when no network is left.
    int64_t NextRecord();
    // Fills (or first creates) the reported record from tree record value r.
    virtual void LoadData(int64_t r) = 0;
    void SetNetwork(const TMMDBNetNode& n);

    TMMDBReader& FReader;
    int byteCount;
    std::vector<TMMDBNetNode> nodes;
    bool FHaveNode = false;
    TMMDBNetNode node;
    int64_t FVisited = 0;
    // The node steps allowed so far: FVisitBase, and more with every network reported.
    int64_t FVisitBase = 0;
    int64_t FVisitLimit = 0;
    TMMDBIPAddress FStart;
    int32_t FPrefix = 0;
    // Over an IPv6 tree, where the IPv4 addresses start (0: nowhere to pass over).
    int64_t FIPv4Root = 0;
};

// Every network of the database, each once, with its tree record value, without
// decoding records: the IPv4 networks in IPv4 form (the tree below ::/96 of an IPv6
// database), then the IPv6 ones. In an IPv6 tree, a branch elsewhere that leads back to
// the IPv4 root (::ffff:0:0/96, 2002::/16) is passed over, as the networks it holds are
// the IPv4 ones again. With ipv4Only, the IPv4 networks alone.
class TMMDBNetworkWalk : public TMMDBEnumeratorBase {
public:
    TMMDBNetworkWalk(TMMDBReader& reader, bool ipv4Only);
    // False when no network is left; raises the errors of a corrupt tree.
    bool Next() { return (FRecord = NextRecord()) != 0; }
    const TMMDBIPAddress& Start() const { return FStart; }
    int32_t Prefix() const { return FPrefix; }
    int64_t Record() const { return FRecord; }

protected:
    void LoadData(int64_t) override {}

private:
    int64_t FRecord = 0;
};

template <class T> class TMMDBEnumerator : public TMMDBEnumeratorBase {
public:
    TMMDBEnumerator(TMMDBReader& reader, bool IPv4Only) : TMMDBEnumeratorBase(reader, IPv4Only) {}
    // The network the enumerator stands on, or nullptr; overwritten by MoveNext.
    const TMMDBIteratorNode<T>* Current() const { return FHaveNode && FIterator.Data ? &FIterator : nullptr; }

protected:
    void LoadData(int64_t r) override;

private:
    TMMDBIteratorNode<T> FIterator;
};

template <class T> class TMMDBEnumerable {
public:
    TMMDBEnumerable(TMMDBReader& reader, bool IPv4Only) : FReader(reader), FIPv4Only(IPv4Only) {}
    std::unique_ptr<TMMDBEnumerator<T>> GetEnumerator() const {
        return std::make_unique<TMMDBEnumerator<T>>(FReader, FIPv4Only);
    }

private:
    TMMDBReader& FReader;
    bool FIPv4Only;
};

// TMMDBEnumerator<T>::LoadData is defined in uMMDBReader.h, where the reader is.

} // namespace zarvo
