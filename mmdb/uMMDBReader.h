// Reader of MaxMind DB (".mmdb") files: the in-memory image, the metadata, the
// data-section decoder, the search tree walk and the network enumeration.
// Every byte of the image is read through a bounds-checked TByteCursor; a bad
// file ends in an exception with a message, never in a read outside the image.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/IPTypesX.h"
#include "support/ByteCursor.h"
#include "support/LargeMemory.h"
#include "support/ZarvoText.h"

namespace zarvo {

// ---------------------------------------------------------------------------
// Objects the decoder fills: record classes described by key tables.

enum TMMDBKind : uint8_t {
    mkInteger,    // signed 32-bit
    mkInt64,      // signed 64-bit
    mkUInt64,     // unsigned 64-bit
    mkDouble,     // IEEE double
    mkSingle,     // IEEE single
    mkBoolean,    // bool
    mkString,     // std::string (UTF-8)
    mkBytes,      // std::vector<uint8_t>
    mkRecord,     // a TMMDBRecord sub-object
    mkDictionary, // a TMMDBStringDictionary sub-object
    mkStringList, // a TMMDBStringList sub-object
    mkRecordList, // a TMMDBRecordList sub-object
};

class TMMDBRecord;

// One key-table entry: the MaxMind key, the field's kind and how to reach it.
struct TMMDBField {
    const char* Key;
    TMMDBKind Kind;
    void* (*Get)(TMMDBRecord&);
    size_t KeyLength = 0; // set by MMDBKeys
};
using TMMDBKeyTable = std::vector<TMMDBField>;

template <class C, class F, F C::*M> void* MMDBFieldOf(TMMDBRecord& r) {
    return &(static_cast<C&>(r).*M);
}
#define ZARVO_MMDB_FIELD(Class, member, key, kind)                                                           \
    ::zarvo::TMMDBField {                                                                                    \
        key, kind, &::zarvo::MMDBFieldOf<Class, decltype(Class::member), &Class::member>                     \
    }

// The most entries a key table may have (TMMDBRecord keeps a bit for each).
constexpr size_t kMMDBMaxKeys = 32;
// The own entries first, then those of the ancestors.
TMMDBKeyTable MMDBKeys(std::initializer_list<TMMDBField> own, const TMMDBKeyTable& base = {});

class TMMDBRecord {
public:
    TMMDBRecord() = default;
    TMMDBRecord(const TMMDBRecord&) = delete;
    TMMDBRecord& operator=(const TMMDBRecord&) = delete;
    virtual ~TMMDBRecord() = default;
    virtual const char* ClassName() const = 0;
    virtual const TMMDBKeyTable& KeyTable() const = 0;
    // Back to the state of a new object: scalars 0, false or empty, sub-objects emptied,
    // nothing stored.
    void Clear();
    // The first entry whose key matches without regard to ASCII case, or nullptr.
    const TMMDBField* FindField(std::string_view key) const;
    // Whether the data filled the field f of KeyTable() (a field the record's map holds),
    // as against one left as a new object has it.
    bool Stored(const TMMDBField& f) const { return (FStored >> Index(f) & 1) != 0; }
    void MarkStored(const TMMDBField& f) { FStored |= uint32_t{1} << Index(f); }

private:
    size_t Index(const TMMDBField& f) const { return static_cast<size_t>(&f - KeyTable().data()); }
    uint32_t FStored = 0;
    static_assert(kMMDBMaxKeys <= 32);
};

// Language code to text, in insertion order. Emptying keeps the storage, so a
// record refilled for every lookup does not allocate again.
class TMMDBStringDictionary {
public:
    static constexpr const char* kClassName = "TDictionary<System.string,System.string>";
    size_t Count() const { return FCount; }
    const std::string& Key(size_t i) const { return FItems[i].first; }
    const std::string& Value(size_t i) const { return FItems[i].second; }
    // nullptr when the key is absent (the comparison is exact).
    const std::string* Find(std::string_view key) const;
    bool ContainsKey(std::string_view key) const { return Find(key) != nullptr; }
    void Clear() { FCount = 0; }
    // Raises "Duplicates not allowed" when the key is present.
    void Add(std::string_view key, std::string_view value);

private:
    std::vector<std::pair<std::string, std::string>> FItems;
    size_t FCount = 0;
};

class TMMDBStringList : public std::vector<std::string> {
public:
    using std::vector<std::string>::vector;
    static constexpr const char* kClassName = "TList<System.string>";
};

// An owning list of records of one class.
class TMMDBRecordList {
public:
    virtual ~TMMDBRecordList() = default;
    virtual std::string ClassName() const = 0;
    virtual std::unique_ptr<TMMDBRecord> NewItem() const = 0;
    // Identifies the item class.
    virtual const TMMDBKeyTable& ItemTable() const = 0;
    size_t Count() const { return FItems.size(); }
    TMMDBRecord& Item(size_t i) const { return *FItems[i]; }
    void Clear() { FItems.clear(); }
    void Add(std::unique_ptr<TMMDBRecord> item) { FItems.push_back(std::move(item)); }

protected:
    std::vector<std::unique_ptr<TMMDBRecord>> FItems;
};

template <class T> class TMMDBObjectList : public TMMDBRecordList {
public:
    std::string ClassName() const override {
        return std::string("TObjectList<uMMDBInfo.") + T::kClassName + ">";
    }
    std::unique_ptr<TMMDBRecord> NewItem() const override { return std::make_unique<T>(); }
    const TMMDBKeyTable& ItemTable() const override { return T::Table(); }
    const T& operator[](size_t i) const { return static_cast<const T&>(*FItems[i]); }
    T& operator[](size_t i) { return static_cast<T&>(*FItems[i]); }
};

// ---------------------------------------------------------------------------
// The database image (the whole file in memory).

// Offsets are signed 64-bit; cursor positions must hold every one of them.
static_assert(sizeof(size_t) >= sizeof(int64_t));

class TMMDBBuffer {
public:
    virtual ~TMMDBBuffer() = default;
    int32_t Length() const { return FLength; }

    virtual std::vector<uint8_t> Read(int64_t offset, int32_t count) const = 0;
    virtual std::string ReadString(int64_t offset, int32_t count) const = 0;
    virtual uint8_t ReadOne(int64_t offset) const = 0;
    virtual void Copy(int64_t offset, uint8_t* arr, size_t count) const = 0;

    // Big-endian accumulation; see each for the width of the arithmetic.
    int32_t ReadInteger(int32_t val, int64_t offset, int32_t size) const;
    int64_t ReadLong(int64_t offset, int32_t size) const;
    uint64_t ReadULong(int64_t offset, int32_t size) const;
    double ReadDouble(int64_t offset) const;
    float ReadFloat(int64_t offset) const;

protected:
    int32_t FLength = 0;
};

// Raises what opening the file as a database raises for what the path names: the reason
// when it names nothing that can be looked at, "Not a regular file" for a directory, a FIFO
// or a device; nothing for a regular file.
void CheckMMDBFileKind(const std::string& filename);

class TMMDBArrayBuffer : public TMMDBBuffer {
public:
    // Reads the whole file and closes it. Files of 2 GiB or more are refused, and so is
    // anything but a regular file (a directory, a FIFO, a device), before it is read.
    explicit TMMDBArrayBuffer(const std::string& filename);
    // An image already in memory (tests and the fuzzer).
    explicit TMMDBArrayBuffer(std::vector<uint8_t> bytes);

    std::vector<uint8_t> Read(int64_t offset, int32_t count) const override;
    std::string ReadString(int64_t offset, int32_t count) const override;
    uint8_t ReadOne(int64_t offset) const override { return Slice(offset, 1).ReadU8(); }
    void Copy(int64_t offset, uint8_t* arr, size_t count) const override;
    // Asks for the cache line at offset ahead of a read; nothing outside the image.
    void Prefetch(int64_t offset) const {
        if (offset >= 0 && offset < FLength) __builtin_prefetch(FData + offset);
    }

    // The whole image; a read outside it raises message.
    TByteCursor Image(const char* message = TByteCursor::kPastEnd) const {
        return TByteCursor(FData, static_cast<size_t>(FLength), message);
    }
    // The count bytes at offset as a cursor of their own; raises the image's
    // out-of-range message unless all of them lie inside it.
    TByteCursor Slice(int64_t offset, int64_t count) const {
        if (offset < 0 || count < 0 || !Image().Fits(static_cast<size_t>(offset), static_cast<size_t>(count)))
            OutOfRange(offset, count);
        return TByteCursor(FData + offset, static_cast<size_t>(count));
    }

private:
    [[noreturn]] void OutOfRange(int64_t offset, int64_t count) const;
    // The image: read from the file into FRaw (not zero-filled first), or handed over.
    TLargeArray<uint8_t> FRaw;
    std::vector<uint8_t> _fileBytes;
    const uint8_t* FData = nullptr;
};

extern const std::array<uint8_t, 14> kMMDBMetadataMarker;

// ---------------------------------------------------------------------------
// Metadata.

class TMMDBMetadata : public TMMDBRecord {
public:
    static constexpr const char* kClassName = "TMMDBMetadata";
    const char* ClassName() const override { return kClassName; }
    const TMMDBKeyTable& KeyTable() const override;

    int32_t BinaryFormatMajorVersion() const { return FBinaryFormatMajorVersion; }
    int32_t BinaryFormatMinorVersion() const { return FBinaryFormatMinorVersion; }
    uint64_t BuildEpoch() const { return FBuildEpoch; }
    const std::string& DatabaseType() const { return FDatabaseType; }
    const TMMDBStringDictionary& Description() const { return FDescription; }
    int32_t IPVersion() const { return FIPVersion; }
    const TMMDBStringList& Languages() const { return FLanguages; }
    int64_t NodeCount() const { return FNodeCount; }
    int32_t RecordSize() const { return FRecordSize; }

    int64_t NodeByteSize() const { return FRecordSize / 4; }
    int64_t SearchTreeSize() const { return NodeByteSize() * FNodeCount; }
    // Seconds since 1970-01-01 00:00 UTC; no time-zone conversion.
    std::chrono::sys_seconds BuildDate() const {
        return std::chrono::sys_seconds(std::chrono::seconds(static_cast<int64_t>(FBuildEpoch)));
    }

private:
    int32_t FBinaryFormatMajorVersion = 0;
    int32_t FBinaryFormatMinorVersion = 0;
    uint64_t FBuildEpoch = 0;
    std::string FDatabaseType;
    TMMDBStringDictionary FDescription;
    int32_t FIPVersion = 0;
    TMMDBStringList FLanguages;
    int64_t FNodeCount = 0;
    int32_t FRecordSize = 0;
};

// ---------------------------------------------------------------------------
// The data-section decoder: fills targets from the data-section encoding.

class TMMDBDecoder {
public:
    // Nesting of maps, arrays and pointers beyond this ends the decode with an error,
    // so pointer loops and hostile nesting cannot exhaust the stack.
    static constexpr int kMaxDepth = 512;

    TMMDBDecoder(std::vector<std::unique_ptr<TMMDBRecord>>* ownerObjects, const TMMDBArrayBuffer* database,
                 int64_t pointerBase, bool followPointers);

    // Fills the existing record from the value whose control byte is at offset;
    // returns the offset behind that value.
    int64_t DecodeInto(TMMDBRecord& target, int64_t offset);
    // Same for any target kind (a field of a record).
    int64_t DecodeInto(TMMDBKind kind, void* target, int64_t offset);
    // A new object of class T, owned by the owner list, filled from offset.
    template <class T> T* DecodeNew(int64_t offset) {
        auto obj = std::make_unique<T>();
        T* raw = obj.get();
        FOwnerObjects->push_back(std::move(obj));
        DecodeInto(*raw, offset);
        return raw;
    }

    struct TControl {
        int32_t Type = 0;
        uint32_t Size = 0; // for a pointer: the five low control bits
        int64_t Payload = 0;
    };
    // Fills only one field of one record object (its other keys are stepped over,
    // with the same bounds checks), for callers that read a single field; nullptr
    // restores full decoding.
    void SetOnlyField(const TMMDBRecord* record, void* (*field)(TMMDBRecord&)) {
        FOnlyRecord = record;
        FOnlyField = field;
    }
    // How the only field was met since the caller last reset it: how often, and for
    // the last time the target and depth of the pointer it was reached through (-1
    // for none) and whether that decode was passed over as known.
    struct TOnlyFieldVisit {
        int Count = 0;
        int64_t Target = -1;
        int Depth = 0;
        bool Passed = false;
    };
    TOnlyFieldVisit& OnlyFieldVisit() { return FOnlyVisit; }
    // While set, a decode of the only field through a pointer whose target and depth
    // known(target, depth) accepts is passed over: the caller has seen that decode
    // succeed before, and a decode at the same place and depth succeeds again (its
    // errors depend on nothing else), so the caller can take its result from there.
    using TKnownTarget = bool (*)(const void* context, int64_t target, int depth);
    void SetOnlyFieldKnown(TKnownTarget known, const void* context) {
        FOnlyKnown = known;
        FOnlyKnownContext = context;
    }

    TControl ReadControl(int64_t offset) const;
    // The absolute target of a pointer and the offset behind its bytes.
    std::pair<int64_t, int64_t> PointerTarget(uint32_t bits, int64_t position) const;
    // Steps over n values without following pointers; with checkSizes the doubles,
    // floats and booleans met on the way must have their type's size.
    int64_t SkipValues(int64_t position, uint64_t n, bool checkSizes = false) const;

private:
    int64_t DecodeAt(TMMDBKind kind, void* target, int64_t offset, int depth);
    int64_t DecodeValue(const TControl& c, TMMDBKind kind, void* target, int depth);
    int64_t FillRecord(TMMDBRecord& rec, int64_t position, uint32_t count, int depth);
    int64_t DecodeOnlyField(const TMMDBField& f, TMMDBRecord& rec, int64_t position, int depth);
    int64_t FillDictionary(TMMDBStringDictionary& dict, int64_t position, uint32_t count, int depth);
    int64_t FillStringList(TMMDBStringList& list, int64_t position, uint32_t count, int depth);
    int64_t FillRecordList(TMMDBRecordList& list, int64_t position, uint32_t count, int depth);
    // The key text (a view into the image) and the offset behind the key.
    std::pair<std::string_view, int64_t> ReadMapKey(int64_t position, int depth) const;
    // Follows pointers to a string; false (and its type) when the value is no string.
    bool ReadStringAt(int64_t offset, int depth, int64_t* behind, std::string_view& text,
                      int32_t& type) const;
    // A cursor over the image at offset whose failed reads raise message; a
    // negative offset wraps to one behind every image and fails the check too.
    TByteCursor At(int64_t offset, const char* message) const {
        return FImage.At(static_cast<size_t>(offset), message);
    }
    void CheckContainer(const TControl& c) const;

    std::vector<std::unique_ptr<TMMDBRecord>>* FOwnerObjects;
    // The database image (not owned); every read of it is checked.
    TByteCursor FImage;
    int64_t _pointerBase;
    bool _followPointers;
    const TMMDBRecord* FOnlyRecord = nullptr;
    void* (*FOnlyField)(TMMDBRecord&) = nullptr;
    TOnlyFieldVisit FOnlyVisit;
    TKnownTarget FOnlyKnown = nullptr;
    const void* FOnlyKnownContext = nullptr;
};

// ---------------------------------------------------------------------------
// One address of either family.

class TMMDBIPAddress {
public:
    TMMDBIPAddress() : _v6(false), _ipv6{} {}
    explicit TMMDBIPAddress(const TIPv4& ipv4) : _v6(false), _ipv6{} { _ipv4 = ipv4; }
    explicit TMMDBIPAddress(const TIPv6& ipv6) : _v6(true), _ipv6(ipv6) {}
    // 4 bytes give IPv4 and 16 IPv6, network order; raises "Bad address size: %d.".
    explicit TMMDBIPAddress(const std::vector<uint8_t>& address)
        : TMMDBIPAddress(address.data(), address.size()) {}
    TMMDBIPAddress(const uint8_t* bytes, size_t count);

    bool IsIPv6() const { return _v6; }
    const TIPv4& IPv4() const { return _ipv4; }
    const TIPv6& IPv6() const { return _ipv6; }
    std::vector<uint8_t> GetAddressBytes() const;
    // Writes 4 or 16 bytes and returns the count.
    int GetAddressBytes(uint8_t* out) const;
    std::string ToString() const;

private:
    bool _v6;
    union {
        TIPv4 _ipv4;
        TIPv6 _ipv6;
    };
};

// ---------------------------------------------------------------------------
// The reader and the network enumeration.

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
    // Fills (or first creates) the reported record from tree record value r.
    virtual void LoadData(int64_t r) = 0;
    void SetNetwork(const TMMDBNetNode& n);

    TMMDBReader& _reader;
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
};

template <class T> class TMMDBEnumerator : public TMMDBEnumeratorBase {
public:
    TMMDBEnumerator(TMMDBReader& reader, bool IPv4Only) : TMMDBEnumeratorBase(reader, IPv4Only) {}
    // The network the enumerator stands on, or nullptr; overwritten by MoveNext.
    const TMMDBIteratorNode<T>* Current() const { return FHaveNode && _iterator.Data ? &_iterator : nullptr; }

protected:
    void LoadData(int64_t r) override;

private:
    TMMDBIteratorNode<T> _iterator;
};

template <class T> class TMMDBEnumerable {
public:
    TMMDBEnumerable(TMMDBReader& reader, bool IPv4Only) : _reader(reader), FIPv4Only(IPv4Only) {}
    std::unique_ptr<TMMDBEnumerator<T>> GetEnumerator() const {
        return std::make_unique<TMMDBEnumerator<T>>(_reader, FIPv4Only);
    }

private:
    TMMDBReader& _reader;
    bool FIPv4Only;
};

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
    int64_t WalkTree(const TMMDBIPAddress& address, int32_t& prefixLength);

    // WalkTrees' record value where WalkTree raises an error.
    static constexpr int64_t kWalkFailed = -1;
    // The walks of many addresses at once: records[k] and prefixLengths[k] are what
    // WalkTree gives for addresses[k], or kWalkFailed (and the prefix length it sets)
    // where WalkTree raises, which a call of WalkTree at that address then raises.
    // Up to kWalkLanes walks go down the tree in lockstep, each fetching its next node
    // one step ahead, so that their cache misses overlap instead of queueing.
    static constexpr size_t kWalkLanes = 16;
    void WalkTrees(std::span<const TMMDBIPAddress> addresses, std::span<int64_t> records,
                   std::span<int32_t> prefixLengths);

    // A new object owned by the reader, filled from tree record value r.
    template <class T> T* LoadRecord(int64_t r) { return FDecoder->DecodeNew<T>(RecordOffset(r)); }
    // Empties result and fills it from tree record value r.
    void LoadRecordInto(int64_t r, TMMDBRecord& result);
    // The file offset of the data of tree record value r; a corrupt tree unless it lies
    // between the start of the data section and the end of the file.
    int64_t RecordOffset(int64_t r) const;
    // Asks for the first bytes of the data of tree record value r ahead of decoding
    // them; nothing when r is no record value.
    void PrefetchRecord(int64_t r) const {
        _database->Prefetch(FMetadata->SearchTreeSize() + r - FNodeCount);
    }

    int64_t TreeStartNode(int bitCount);
    int64_t IPv4Root();
    int64_t ReadNodeRecord(int64_t node, int side) const;

    template <class T> TMMDBEnumerable<T> EnumerateNetworks(bool IPv4Only) {
        return TMMDBEnumerable<T>(*this, IPv4Only);
    }

    // Used by the decoder when it creates objects for data records.
    std::vector<std::unique_ptr<TMMDBRecord>>& FindOwnerObjects() { return FFindOwnerObjects; }

private:
    TMMDBReader(std::shared_ptr<const TMMDBArrayBuffer> image, const std::string& name);
    void Open();
    int64_t LocateMetadata() const;
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

    std::shared_ptr<const TMMDBArrayBuffer> _database;
    std::string _fileName;
    int64_t FIPv4Start = 0;
    std::unique_ptr<TMMDBMetadata> FMetadata;
    std::unique_ptr<TMMDBDecoder> FDecoder;
    std::vector<std::unique_ptr<TMMDBRecord>> FMetaOwnerObjects;
    std::vector<std::unique_ptr<TMMDBRecord>> FFindOwnerObjects;
    // The search tree, which the walk reads without the cursor: Open checked once
    // that NodeCount nodes fit in the image, so every node below NodeCount is inside it.
    const uint8_t* FTree = nullptr;
    // Copies of the metadata the tree walk needs on every step.
    int64_t FNodeCount = 0;
    int32_t FRecordSize = 0;
    int32_t FNodeByteSize = 0;
};

template <class T> void TMMDBEnumerator<T>::LoadData(int64_t r) {
    if (!_iterator.Data)
        _iterator.Data = _reader.LoadRecord<T>(r);
    else
        _reader.LoadRecordInto(r, *_iterator.Data);
    _iterator.Start = FStart;
    _iterator.Prefix = FPrefix;
}

} // namespace zarvo
