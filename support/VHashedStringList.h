// A name=value string list whose lookups by whole line and by name go through
// hash indexes instead of a linear scan, and the string-keyed hash they are made of.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

// One chain item of a hash bucket.
struct TVHashItem {
    TVHashItem* Next = nullptr;
    std::string Key;
    int32_t Value = 0;
};

// String-keyed hash of line positions; duplicates are allowed. Owns its items.
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

    // Puts a new item at the head of the key's chain.
    void Add(std::string_view Key, int32_t Value);
    // Removes the first item of the chain with exactly this key and value.
    bool Delete(std::string_view Key, int32_t Value);
    // Value of the first item with exactly this key; -1 when none.
    int32_t ValueOf(std::string_view Key) const;
    // Every value greater than Value is decremented (after a line is removed).
    void DecValues(int32_t Value);
    // Every value greater than Value is incremented.
    void IncValues(int32_t Value);
    void Clear();
    uint32_t Size() const { return static_cast<uint32_t>(FBuckets.size()); }

private:
    // The hash's low bits vary little between keys that differ only in digits
    // ("StoredList12.Setting3"), so they are mixed before the bucket is chosen.
    size_t Bucket(std::string_view Key, size_t buckets) const;
    size_t Bucket(std::string_view Key) const { return Bucket(Key, FBuckets.size()); }
    void Grow();
    std::vector<TVHashItem*> FBuckets;
    size_t FCount = 0;
};

// Creates the index objects of a TVHashedStringList; replace it to use another hash.
using TVStringHashClass = std::unique_ptr<TVStringHash> (*)(uint32_t Size);
std::unique_ptr<TVStringHash> CreateVStringHash(uint32_t Size);

// Ordered list of text lines in name=value form ("=" separates name and value),
// names compared without regard to ASCII case. Appending, replacing and deleting a
// line keep valid indexes valid (AutoUpdateHash); other changes drop them and the
// next lookup rebuilds them. After a rebuild, the last of several equal names wins.
class TVHashedStringList {
public:
    explicit TVHashedStringList(uint32_t BucketsSize = 256);
    TVHashedStringList(const TVHashedStringList& other);
    TVHashedStringList& operator=(const TVHashedStringList& other);
    ~TVHashedStringList();

    size_t Count() const { return FLines.size(); }
    bool Empty() const { return FLines.empty(); }
    const std::string& operator[](size_t i) const { return FLines[i]; }
    // Checked access; raises "List index out of bounds (%d)".
    const std::string& Get(size_t i) const;
    const std::vector<std::string>& Lines() const { return FLines; }

    // Appends a line and returns its position.
    size_t Add(std::string_view S);
    void Insert(size_t Index, std::string_view S);
    // Replaces line Index by S.
    void Put(size_t Index, std::string_view S);
    void Delete(size_t Index);
    void Clear();
    void Exchange(size_t i, size_t j);
    // Replaces all lines by the given ones.
    void Assign(std::vector<std::string> lines);

    // Position of a line equal to S (case ignored), or -1.
    int32_t IndexOf(std::string_view S) const;
    // Position of a line whose name (text before the first "=") equals Name, or -1.
    int32_t IndexOfName(std::string_view Name) const;

    // The text before the first "=" of line i (the whole line when it has none).
    std::string_view Names(size_t i) const;
    // The value of the named line: everything after the "=" that follows the
    // name; empty when absent.
    std::string GetValue(std::string_view Name) const;
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
    std::string HashKey(std::string_view s) const;
    void Invalidate() {
        FValueHashValid = false;
        FNameHashValid = false;
    }
    static bool NameOf(std::string_view line, std::string_view& name);

    std::vector<std::string> FLines;
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

} // namespace zarvo
