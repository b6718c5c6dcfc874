// The data-section decoder: fills records, dictionaries and lists from the
// data-section encoding, every read of the image bounds-checked.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "mmdb/uMMDBFile.h"
#include "mmdb/uMMDBRecord.h"
#include "support/ByteCursor.h"

namespace zarvo {

// The data-section types, numbered as the format numbers them (libmaxminddb's
// MMDB_DATA_TYPE_*). A control byte's three high bits give 1 to 7; 0 (Extended)
// says that the next byte holds the type less 7, so a value past Float is a type
// the format does not define.
enum class TMMDBType : int32_t {
    Extended = 0,
    Pointer = 1,
    Utf8String = 2,
    Double = 3,
    Bytes = 4,
    UInt16 = 5,
    UInt32 = 6,
    Map = 7,
    Int32 = 8,
    UInt64 = 9,
    UInt128 = 10,
    Array = 11,
    Container = 12,
    EndMarker = 13,
    Boolean = 14,
    Float = 15,
};

// The messages of bad data in the data section.
extern const char* const kMMDBBadDouble;
extern const char* const kMMDBBadFloat;
extern const char* const kMMDBBadBoolean;
extern const char* const kMMDBBadPointer;
extern const char* const kMMDBBadPayload;
extern const char* const kMMDBBadContainer;
extern const char* const kMMDBTooDeep;

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
        TMMDBType Type = TMMDBType::Extended;
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

    // The key text (a view into the image) and the offset behind the key.
    std::pair<std::string_view, int64_t> ReadMapKey(int64_t position, int depth) const;
    // A cursor over the payload at offset whose reads raise kMMDBBadPayload past the image.
    TByteCursor PayloadAt(int64_t offset) const { return At(offset, kMMDBBadPayload); }

private:
    int64_t DecodeAt(TMMDBKind kind, void* target, int64_t offset, int depth);
    int64_t DecodeValue(const TControl& c, TMMDBKind kind, void* target, int depth);
    int64_t FillRecord(TMMDBRecord& rec, int64_t position, uint32_t count, int depth);
    int64_t DecodeOnlyField(const TMMDBField& f, TMMDBRecord& rec, int64_t position, int depth);
    int64_t FillDictionary(TMMDBStringDictionary& dict, int64_t position, uint32_t count, int depth);
    int64_t FillStringList(TMMDBStringList& list, int64_t position, uint32_t count, int depth);
    int64_t FillRecordList(TMMDBRecordList& list, int64_t position, uint32_t count, int depth);
    // Follows pointers to a string; false (and its type) when the value is no string.
    bool ReadStringAt(int64_t offset, int depth, int64_t* behind, std::string_view& text,
                      TMMDBType& type) const;
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

} // namespace zarvo
