// The objects the data-section decoder fills: record classes described by key
// tables (the MaxMind key, the field's kind and where it lives), dictionaries of
// names and lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zarvo {

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

} // namespace zarvo
