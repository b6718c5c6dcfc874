// Reader of MaxMind DB (".mmdb") files: the facade over the file's layout and
// metadata (uMMDBFile.h), the data-section decoder (uMMDBDecoder.h), the search tree
// and its batched walks (uMMDBTree.h) and the network enumeration (uMMDBNetworks.h).
// Every byte of the image is read through a bounds-checked TByteCursor; a bad
// file ends in an exception with a message, never in a read outside the image.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "mmdb/uMMDBDecoder.h"
#include "mmdb/uMMDBFile.h"
#include "mmdb/uMMDBNetworks.h"
#include "mmdb/uMMDBRecord.h"
#include "mmdb/uMMDBTree.h"

namespace zarvo {

class TMMDBReader {
public:
    explicit TMMDBReader(const std::string& Filename);
    // Over an image already in memory; name stands in messages for the file name.
    TMMDBReader(std::vector<uint8_t> image, const std::string& name);
    ~TMMDBReader();
    // Another reader over the same image, for another thread: the two share the bytes,
    // which no reader changes, and nothing else (each has its decoder and its tables).
    std::unique_ptr<TMMDBReader> Twin() const;
    TMMDBReader(const TMMDBReader&) = delete;
    TMMDBReader& operator=(const TMMDBReader&) = delete;

    const TMMDBMetadata& Metadata() const { return *FMetadata; }
    TMMDBDecoder& Decoder() { return *FDecoder; }
    const std::string& FileName() const { return _fileName; }

    // True and the record refilled (from a fresh state) when the tree holds a
    // record for the address; false and the record untouched otherwise.
    bool Lookup(const TMMDBIPAddress& address, int32_t& prefixLength, TMMDBRecord& result);
    // The tree record value for the address (0: none) and the prefix length.
    int64_t WalkTree(const TMMDBIPAddress& address, int32_t& prefixLength) {
        return FTree.WalkTree(address, prefixLength);
    }

    // WalkTrees' record value where WalkTree raises an error.
    static constexpr int64_t kWalkFailed = TMMDBSearchTree::kWalkFailed;
    // The walks of many addresses at once: records[k] and prefixLengths[k] are what
    // WalkTree gives for addresses[k], or kWalkFailed (and the prefix length it sets)
    // where WalkTree raises, which a call of WalkTree at that address then raises.
    // Up to kWalkLanes walks go down the tree in lockstep, each fetching its next node
    // one step ahead, so that their cache misses overlap instead of queueing.
    static constexpr size_t kWalkLanes = TMMDBSearchTree::kWalkLanes;
    void WalkTrees(std::span<const TMMDBIPAddress> addresses, std::span<int64_t> records,
                   std::span<int32_t> prefixLengths) {
        FTree.WalkTrees(addresses, records, prefixLengths);
    }

    // A new object owned by the reader, filled from tree record value r.
    template <class T> T* LoadRecord(int64_t r) { return FDecoder->DecodeNew<T>(RecordOffset(r)); }
    // Empties result and fills it from tree record value r.
    void LoadRecordInto(int64_t r, TMMDBRecord& result);
    // The file offset of the data of tree record value r; a corrupt tree unless it lies
    // between the start of the data section and the end of the file.
    int64_t RecordOffset(int64_t r) const;
    // The tree record values of data records lie below NodeCount plus this.
    int64_t DataSectionEnd() const { return FDatabase->Length() - FMetadata->SearchTreeSize(); }
    // Asks for the first bytes of the data of tree record value r ahead of decoding
    // them; nothing when r is no record value.
    void PrefetchRecord(int64_t r) const {
        FDatabase->Prefetch(FMetadata->SearchTreeSize() + r - FNodeCount);
    }

    int64_t TreeStartNode(int bitCount) { return FTree.TreeStartNode(bitCount); }
    int64_t IPv4Root() { return FTree.IPv4Root(); }
    int64_t ReadNodeRecord(int64_t node, int side) const { return FTree.ReadNodeRecord(node, side); }
    void ReadNode(int64_t node, int64_t& left, int64_t& right) const { FTree.ReadNode(node, left, right); }

    template <class T> TMMDBEnumerable<T> EnumerateNetworks(bool IPv4Only) {
        return TMMDBEnumerable<T>(*this, IPv4Only);
    }

    // Used by the decoder when it creates objects for data records.
    std::vector<std::unique_ptr<TMMDBRecord>>& FindOwnerObjects() { return FFindOwnerObjects; }

private:
    TMMDBReader(std::shared_ptr<const TMMDBArrayBuffer> image, const std::string& name);
    void Open();

    std::shared_ptr<const TMMDBArrayBuffer> FDatabase;
    std::string _fileName;
    std::unique_ptr<TMMDBMetadata> FMetadata;
    std::unique_ptr<TMMDBDecoder> FDecoder;
    std::vector<std::unique_ptr<TMMDBRecord>> FMetaOwnerObjects;
    std::vector<std::unique_ptr<TMMDBRecord>> FFindOwnerObjects;
    TMMDBSearchTree FTree;
    // A copy of the metadata's node count, which every record offset needs.
    int64_t FNodeCount = 0;
};

template <class T> void TMMDBEnumerator<T>::LoadData(int64_t r) {
    if (!FIterator.Data)
        FIterator.Data = FReader.LoadRecord<T>(r);
    else
        FReader.LoadRecordInto(r, *FIterator.Data);
    FIterator.Start = FStart;
    FIterator.Prefix = FPrefix;
}

} // namespace zarvo
