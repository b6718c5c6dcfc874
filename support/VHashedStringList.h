// A name=value string list whose lookups by whole line and by name go through
// hash indexes instead of a linear scan, and the string-keyed hash they are made of.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/TextDecode.h"

namespace zarvo {

class TVStringHash;

// Where a hash that holds no keys of its own finds them (TVStringHash::SetKeySource).
class IVStringHashKeys {
public:
    // The key of Hash's item with this value; Scratch may receive its text.
    virtual std::string_view KeyOf(const TVStringHash& Hash, int32_t Value, std::string& Scratch) const = 0;
    virtual ~IVStringHashKeys() = default;
};

// String-keyed hash of line positions; duplicates are allowed. The items live in
// one array, 12 bytes each (and the key, when the hash holds it), so an index over
// millions of lines is not millions of allocations.
// Size is the initial number of buckets: a settings file with hundreds of stored
// sets holds far more keys than 256 buckets serve well, so the buckets grow fourfold
// when they average four items, keeping the order of equal keys.
class TVStringHash {
public:
    explicit TVStringHash(uint32_t Size);
    virtual ~TVStringHash();
    TVStringHash(const TVStringHash&) = delete;
    TVStringHash& operator=(const TVStringHash&) = delete;

    // Rotate left by 2, xor with each UTF-16 code unit of the key.
    virtual uint32_t HashString(std::string_view Key) const;

    // Puts a new item at the head of the key's chain. Each item carries one mark
    // bit for its owner.
    void Add(std::string_view Key, int32_t Value, bool Mark = false);
    // Puts a new item behind every item of its key, as the oldest of them.
    void AddOldest(std::string_view Key, int32_t Value, bool Mark = false);
    // Removes the first item of the chain with exactly this key and value; *Mark
    // receives its mark.
    bool Delete(std::string_view Key, int32_t Value, bool* Mark = nullptr);
    // Value of the first item with exactly this key; -1 when none.
    int32_t ValueOf(std::string_view Key) const;
    bool Contains(std::string_view Key, int32_t Value) const;
    // Marks the first item with exactly this key, or adds an item when there is
    // none; true when it marked one.
    bool MarkOrAdd(std::string_view Key, int32_t Value);
    // Every value greater than Value is decremented (after a line is removed).
    void DecValues(int32_t Value);
    // Every value greater than Value is incremented.
    void IncValues(int32_t Value);
    // Frees the items, keeps the buckets.
    void Clear();
    uint32_t Size() const { return static_cast<uint32_t>(FBuckets.size()); }
    size_t Count() const { return FCount; }

    // From now on the hash keeps no keys: an item's key is Keys->KeyOf(*this,
    // its value), so each value must stand for one key (a list's line position:
    // the list changes the key of a value only through Delete and Add). Call it on
    // an empty hash, or to name the new owner of the keys (a list that moved).
    void SetKeySource(const IVStringHashKeys* Keys);

private:
    // Link: the next item's slot in the low 31 bits, the mark in the top bit.
    // Hash: the key's hash, so that a walk compares keys only where it matches
    // and growing reads no keys.
    struct TItem {
        uint32_t Link;
        int32_t Value;
        uint32_t Hash;
    };
    static constexpr uint32_t kEnd = 0x7FFFFFFF;
    static constexpr uint32_t kMarkBit = 0x80000000;
    static uint32_t NextOf(const TItem& i) { return i.Link & kEnd; }
    static void SetNext(TItem& i, uint32_t next) { i.Link = (i.Link & kMarkBit) | next; }

    uint32_t HashOf(std::string_view Key) const;
    bool Matches(uint32_t slot, uint32_t hash, std::string_view Key, std::string& scratch) const;
    // The first item with this key (and this value, when given) and the one before it.
    uint32_t Find(uint32_t hash, std::string_view Key, const int32_t* Value, uint32_t* prev) const;
    uint32_t NewItem(std::string_view Key, uint32_t hash, int32_t Value, bool Mark, uint32_t next);
    void FreeItem(uint32_t slot);
    void GrowIfFull();
    void Grow();

    std::vector<uint32_t> FBuckets; // first slot of each chain, kEnd when empty
    std::vector<TItem> FItems;
    std::vector<std::string> FKeys; // by slot, while the hash holds its keys
    uint32_t FFree = kEnd;          // free slots, chained through Link
    size_t FCount = 0;
    const IVStringHashKeys* FKeySource = nullptr;
};

// Creates the index objects of a TVHashedStringList; replace it to use another hash.
using TVStringHashClass = std::unique_ptr<TVStringHash> (*)(uint32_t Size);
std::unique_ptr<TVStringHash> CreateVStringHash(uint32_t Size);

// Ordered list of text lines in name=value form ("=" separates name and value),
// names compared without regard to ASCII case. Appending, replacing and deleting a
// line keep valid indexes valid (AutoUpdateHash); other changes drop them and the
// next lookup rebuilds them. After a rebuild, the last of several equal names wins.
//
// The lines live in one character buffer, 8 bytes each beside their text, and the
// indexes read their keys from the lines. A rebuild puts only the winning line of
// equal keys into an index, marked as standing for the older ones, so that a file
// of millions of "=" lines indexes as one item; when such a line goes, the newest
// of the lines it stood for takes its place.
class TVHashedStringList : private IVStringHashKeys {
public:
    explicit TVHashedStringList(uint32_t BucketsSize = 256);
    TVHashedStringList(const TVHashedStringList& other);
    TVHashedStringList& operator=(const TVHashedStringList& other);
    TVHashedStringList(TVHashedStringList&& other) noexcept;
    TVHashedStringList& operator=(TVHashedStringList&& other) noexcept;
    ~TVHashedStringList() override;

    size_t Count() const { return FEntries.size(); }
    bool Empty() const { return FEntries.empty(); }
    // Views into the list: valid until the list changes.
    std::string_view operator[](size_t i) const { return LineOf(FEntries[i]); }
    // Checked access; raises "List index out of bounds (%d)".
    std::string_view Get(size_t i) const;
    // A copy of every line.
    std::vector<std::string> Lines() const;

    // Appends a line and returns its position.
    size_t Add(std::string_view S);
    void Insert(size_t Index, std::string_view S);
    // Replaces line Index by S.
    void Put(size_t Index, std::string_view S);
    void Delete(size_t Index);
    void Clear();
    void Exchange(size_t i, size_t j);
    // Replaces all lines by the given ones.
    void Assign(const std::vector<std::string>& lines);
    // Replaces all lines by those of Text (split as SplitLines does) for which
    // Keep(line) holds. Text becomes the list's buffer: the lines are not copied.
    template <typename Keep> void AssignText(std::string Text, Keep keep);

    // Position of a line equal to S (case ignored), or -1.
    int32_t IndexOf(std::string_view S) const;
    // Position of a line whose name (text before the first "=") equals Name, or -1.
    int32_t IndexOfName(std::string_view Name) const;

    // The text before the first "=" of line i (the whole line when it has none).
    std::string_view Names(size_t i) const;
    // The value of the named line: everything after the "=" that follows the
    // name; empty when absent.
    std::string GetValue(std::string_view Name) const;
    // The numbers k from 1 to Max for which a line is named Prefix followed by k in
    // decimal without a leading zero (the name compared as the indexes compare
    // names), ascending, each once: the keys "Key1".."KeyN" that are there, found in
    // one pass over the lines however large Max is.
    std::vector<uint32_t> NumberedNames(std::string_view Prefix, uint32_t Max) const;
    // Replaces the named line in place, or appends "Name=Value" at the end; an
    // empty value deletes the line instead (unless KeepEmptyValues).
    void SetValue(std::string_view Name, std::string_view Value);

    void UpdateValueHash() const;
    void UpdateNameHash() const;

    bool AutoUpdateHash() const { return FAutoUpdateHash; }
    void SetAutoUpdateHash(bool v) { FAutoUpdateHash = v; }
    bool KeepEmptyValues() const { return FKeepEmptyValues; }
    void SetKeepEmptyValues(bool v) { FKeepEmptyValues = v; }
    TVStringHashClass HashClass() const { return FHashClass; }
    void SetHashClass(TVStringHashClass c);
    bool CaseSensitive() const { return FCaseSensitive; }
    void SetCaseSensitive(bool v);
    uint32_t BucketsSize() const { return FBucketsSize; }

    // Index state, for tests of the upkeep rules.
    bool ValueHashValid() const { return FValueHashValid; }
    bool NameHashValid() const { return FNameHashValid; }

private:
    // An entry packs the line's offset in FText (high 40 bits) and its length (low
    // 24 bits); a line of kLongLine characters or more has its length in the 8
    // bytes before its text and kLongLine in the entry.
    static constexpr int kLenBits = 24;
    static constexpr uint64_t kLongLine = (uint64_t{1} << kLenBits) - 1;
    std::string_view LineOf(uint64_t entry) const;
    static uint64_t Pack(size_t offset, size_t length);
    // Bytes of FText an entry uses.
    static size_t Footprint(uint64_t entry, size_t length);
    uint64_t Store(std::string_view s);
    void Retire(size_t i) { FDead += Footprint(FEntries[i], (*this)[i].size()); }
    void CompactIfSparse();
    void Compact();

    std::string HashKey(std::string_view s) const;
    void Invalidate() {
        FValueHashValid = false;
        FNameHashValid = false;
    }
    static bool NameOf(std::string_view line, std::string_view& name);

    // The two indexes share the upkeep; ByName picks the name index.
    bool IndexKey(bool ByName, std::string_view line, std::string& key) const;
    TVStringHash& HashOf(bool ByName) const { return ByName ? *FNameHash : *FValueHash; }
    bool IndexValid(bool ByName) const { return ByName ? FNameHashValid : FValueHashValid; }
    void Rebuild(bool ByName) const;
    void Refold(bool ByName, const std::string& key);
    std::string_view KeyOf(const TVStringHash& Hash, int32_t Value, std::string& Scratch) const override;
    void MoveFrom(TVHashedStringList& other) noexcept;

    std::string FText;
    std::vector<uint64_t> FEntries;
    size_t FDead = 0; // bytes of FText no line uses
    uint32_t FBucketsSize;
    mutable std::unique_ptr<TVStringHash> FValueHash;
    mutable std::unique_ptr<TVStringHash> FNameHash;
    mutable bool FValueHashValid = false;
    mutable bool FNameHashValid = false;
    bool FAutoUpdateHash = true;
    bool FKeepEmptyValues = false;
    bool FCaseSensitive = false;
    TVStringHashClass FHashClass = &CreateVStringHash;
};

template <typename Keep> void TVHashedStringList::AssignText(std::string Text, Keep keep) {
    Clear();
    FText = std::move(Text);
    struct TLongLine {
        size_t Index, Start, Length;
    };
    std::vector<TLongLine> longLines; // too long for an entry: copied below
    size_t used = 0;
    const std::string_view text(FText);
    // At most one line per line break and one after the last: reserved once,
    // entries do not pass through a copy at twice the size while growing (the
    // space of lines not kept is never touched).
    FEntries.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n') +
                                         std::count(text.begin(), text.end(), '\r')) +
                     1);
    ForEachLine(text, [&](size_t start, size_t length) {
        if (!keep(text.substr(start, length))) return;
        if (length >= kLongLine) {
            longLines.push_back({FEntries.size(), start, length});
            FEntries.push_back(0);
            return;
        }
        FEntries.push_back(Pack(start, length));
        used += length;
    });
    FDead = FText.size() - used;
    for (const TLongLine& l : longLines) // Store may move FText: copy from it afresh
        FEntries[l.Index] = Store(std::string(std::string_view(FText).substr(l.Start, l.Length)));
    CompactIfSparse();
}

} // namespace zarvo
