#include "mmdb/uMMDBDecoder.h"

#include <algorithm>
#include <bit>
#include <span>

#include "support/TextDecode.h"
#include "support/ZarvoText.h"

namespace zarvo {

const char* const kMMDBBadDouble =
    "The MaxMind DB file's data section contains bad data: invalid size of double.";
const char* const kMMDBBadFloat =
    "The MaxMind DB file's data section contains bad data: invalid size of float.";
const char* const kMMDBBadBoolean =
    "The MaxMind DB file's data section contains bad data: invalid size of boolean.";

const char* const kMMDBBadPointer =
    "The MaxMind DB file's data section contains bad data: pointer larger than the database.";
const char* const kMMDBBadPayload =
    "The MaxMind DB file's data section contains bad data: value runs past the end of the database.";
const char* const kMMDBBadContainer =
    "The MaxMind DB file's data section contains bad data: map or array larger than the remaining data.";
const char* const kMMDBTooDeep =
    "The MaxMind DB file's data section contains bad data: pointers or nesting deeper than "
    "512 levels.";

namespace {
using T = TMMDBType;

int TypeNumber(TMMDBType t) {
    return static_cast<int>(t);
}

// The kind names the conversion check compares and quotes.
const char* KindName(TMMDBKind k) {
    switch (k) {
    case mkInteger:
        return "Integer";
    case mkInt64:
        return "Int64";
    case mkUInt64:
        return "UInt64";
    case mkDouble:
        return "Double";
    case mkSingle:
        return "Single";
    case mkBoolean:
        return "Boolean";
    case mkString:
        return "string";
    case mkBytes:
        return "TArray<System.Byte>";
    case mkDictionary:
        return TMMDBStringDictionary::kClassName;
    case mkStringList:
        return TMMDBStringList::kClassName;
    default:
        return "";
    }
}

std::string TargetName(TMMDBKind k, void* target) {
    if (k == mkRecord) return static_cast<TMMDBRecord*>(target)->ClassName();
    if (k == mkRecordList) return static_cast<TMMDBRecordList*>(target)->ClassName();
    return KindName(k);
}

// The kind a stored scalar type produces, or nullptr for the others.
const char* ProducedKind(TMMDBType type, TMMDBKind* kind) {
    switch (type) {
    case T::Utf8String:
        *kind = mkString;
        return "string";
    case T::Double:
        *kind = mkDouble;
        return "Double";
    case T::Bytes:
        *kind = mkBytes;
        return "TArray<System.Byte>";
    case T::UInt16:
    case T::Int32:
        *kind = mkInteger;
        return "Integer";
    case T::UInt32:
        *kind = mkInt64;
        return "Int64";
    case T::UInt64:
        *kind = mkUInt64;
        return "UInt64";
    case T::Boolean:
        *kind = mkBoolean;
        return "Boolean";
    case T::Float:
        *kind = mkSingle;
        return "Single";
    default:
        return nullptr;
    }
}

[[noreturn]] void ConvertError(const char* produced, TMMDBKind kind, void* target) {
    throw Exception(Format("Could not convert '%s' to '%s'.", produced, TargetName(kind, target).c_str()));
}

// Dictionary keys are short language codes: plain ASCII passes without the call.
inline bool WellFormed(std::string_view s) {
    for (const char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return IsWellFormedUtf8(s);
    return true;
}

} // namespace

TMMDBDecoder::TMMDBDecoder(std::vector<std::unique_ptr<TMMDBRecord>>* ownerObjects,
                           const TMMDBArrayBuffer* database, int64_t pointerBase, bool followPointers)
    : FOwnerObjects(ownerObjects), FImage(database->Image(kMMDBBadPointer)), _pointerBase(pointerBase),
      _followPointers(followPointers) {}

TMMDBDecoder::TControl TMMDBDecoder::ReadControl(int64_t offset) const {
    // The control byte, an extended type and the size bytes: all raise kMMDBBadPointer
    // when the image ends before them.
    TByteCursor in = At(offset, kMMDBBadPointer);
    TControl c;
    const uint8_t cb = in.ReadU8();
    c.Type = static_cast<TMMDBType>(cb >> 5);
    if (c.Type == T::Extended) {
        const int number = in.ReadU8() + 7;
        if (number < 8)
            throw Exception(Format("Something went horribly wrong in the decoder. An extended type resolved "
                                   "to a type number < 8 (%d)",
                                   number));
        c.Type = static_cast<TMMDBType>(number);
    }
    c.Size = cb & 31;
    if (c.Type != T::Pointer && c.Size >= 29) {
        const uint32_t n = c.Size - 28;
        const uint32_t v = static_cast<uint32_t>(in.ReadBE(n));
        c.Size = (n == 1 ? 29u : n == 2 ? 285u : 65821u) + v;
    }
    c.Payload = static_cast<int64_t>(in.Tell());
    return c;
}

std::pair<int64_t, int64_t> TMMDBDecoder::PointerTarget(uint32_t bits, int64_t position) const {
    const int p = static_cast<int>((bits >> 3) & 3) + 1;
    // The three low bits lead the p bytes, except in a 4-byte pointer.
    const uint64_t start = p == 4 ? 0 : bits & 7;
    const uint32_t v = static_cast<uint32_t>((start << (8 * p)) |
                                             At(position, kMMDBBadPointer).ReadBE(static_cast<size_t>(p)));
    static const int64_t kBias[4] = {0, 2048, 526336, 0};
    return {_pointerBase + static_cast<int64_t>(v) + kBias[p - 1], position + p};
}

void TMMDBDecoder::CheckContainer(const TControl& c) const {
    // Every key and every value takes at least one byte.
    At(c.Payload, kMMDBBadContainer).Need(c.Type == T::Map ? 2ull * c.Size : c.Size);
}

int64_t TMMDBDecoder::DecodeInto(TMMDBRecord& target, int64_t offset) {
    return DecodeAt(mkRecord, &target, offset, 0);
}

int64_t TMMDBDecoder::DecodeInto(TMMDBKind kind, void* target, int64_t offset) {
    return DecodeAt(kind, target, offset, 0);
}

int64_t TMMDBDecoder::DecodeAt(TMMDBKind kind, void* target, int64_t offset, int depth) {
    return DecodeValue(ReadControl(offset), kind, target, depth);
}

int64_t TMMDBDecoder::DecodeValue(const TControl& c, TMMDBKind kind, void* target, int depth) {
    if (depth > kMaxDepth) throw Exception(kMMDBTooDeep);
    switch (c.Type) {
    case T::Pointer: {
        const auto [to, behind] = PointerTarget(c.Size, c.Payload);
        if (_followPointers) DecodeAt(kind, target, to, depth + 1);
        return behind;
    }
    case T::Map:
        CheckContainer(c);
        switch (kind) {
        case mkRecord:
            return FillRecord(*static_cast<TMMDBRecord*>(target), c.Payload, c.Size, depth + 1);
        case mkDictionary:
            return FillDictionary(*static_cast<TMMDBStringDictionary*>(target), c.Payload, c.Size, depth + 1);
        default:
            ConvertError("map", kind, target);
        }
    case T::Array:
        CheckContainer(c);
        switch (kind) {
        case mkStringList:
            return FillStringList(*static_cast<TMMDBStringList*>(target), c.Payload, c.Size, depth + 1);
        case mkRecordList:
            return FillRecordList(*static_cast<TMMDBRecordList*>(target), c.Payload, c.Size, depth + 1);
        default:
            ConvertError("array", kind, target);
        }
    case T::UInt128:
        throw Exception("Unsupported method: DecodeBigInteger");
    default:
        break;
    }
    TMMDBKind produced;
    const char* producedName = ProducedKind(c.Type, &produced);
    if (!producedName) throw Exception(Format("Unable to handle type:%d", TypeNumber(c.Type)));
    if (produced != kind) ConvertError(producedName, kind, target);

    const uint32_t n = c.Size;
    TByteCursor in = At(c.Payload, kMMDBBadPayload);
    switch (c.Type) {
    case T::Utf8String:
        // Ill-formed UTF-8 becomes U+FFFD here, so no output down the line carries it.
        AssignUtf8Replacing(*static_cast<std::string*>(target), in.ReadText(n));
        break;
    case T::Double:
        if (n != 8) throw Exception(kMMDBBadDouble);
        *static_cast<double*>(target) = std::bit_cast<double>(in.ReadU64());
        break;
    case T::Bytes: {
        const std::span<const uint8_t> b = in.ReadBytes(n);
        static_cast<std::vector<uint8_t>*>(target)->assign(b.begin(), b.end());
        break;
    }
    case T::UInt16:
    case T::Int32: {
        // Accumulated in 32 bits: only the last four bytes can survive the shifts.
        const uint32_t keep = std::min<uint32_t>(n, 4);
        in.Skip(n - keep);
        *static_cast<int32_t*>(target) = static_cast<int32_t>(in.ReadBE(keep));
        break;
    }
    case T::UInt32:
    case T::UInt64: {
        const uint32_t keep = std::min<uint32_t>(n, 8);
        in.Skip(n - keep);
        const uint64_t v = in.ReadBE(keep);
        if (c.Type == T::UInt32)
            *static_cast<int64_t*>(target) = static_cast<int64_t>(v);
        else
            *static_cast<uint64_t*>(target) = v;
        break;
    }
    case T::Boolean:
        // The size is the value; no payload follows.
        if (n > 1) throw Exception(kMMDBBadBoolean);
        *static_cast<bool*>(target) = n == 1;
        break;
    case T::Float:
        if (n != 4) throw Exception(kMMDBBadFloat);
        *static_cast<float*>(target) = std::bit_cast<float>(in.ReadU32());
        break;
    default:
        throw Exception(Format("Unable to handle type:%d", TypeNumber(c.Type)));
    }
    return static_cast<int64_t>(in.Tell());
}

bool TMMDBDecoder::ReadStringAt(int64_t offset, int depth, int64_t* behind, std::string_view& text,
                                TMMDBType& type) const {
    for (;;) {
        if (depth > kMaxDepth) throw Exception(kMMDBTooDeep);
        const TControl c = ReadControl(offset);
        if (c.Type == T::Pointer) {
            const auto [to, after] = PointerTarget(c.Size, c.Payload);
            if (behind) *behind = after;
            behind = nullptr; // the caller continues behind the first pointer
            offset = to;
            ++depth;
            continue;
        }
        type = c.Type;
        if (c.Type != T::Utf8String) return false; // reported by the caller
        TByteCursor in = At(c.Payload, kMMDBBadPayload);
        text = in.ReadText(c.Size);
        if (behind) *behind = static_cast<int64_t>(in.Tell());
        return true;
    }
}

std::pair<std::string_view, int64_t> TMMDBDecoder::ReadMapKey(int64_t position, int depth) const {
    int64_t behind = 0;
    std::string_view key;
    TMMDBType type = T::Extended;
    if (!ReadStringAt(position, depth, &behind, key, type))
        throw Exception(Format("Database contains a non-string as map key: %d", TypeNumber(type)));
    return {key, behind};
}

int64_t TMMDBDecoder::FillRecord(TMMDBRecord& rec, int64_t position, uint32_t count, int depth) {
    for (uint32_t i = 0; i < count; ++i) {
        const auto [key, valuePos] = ReadMapKey(position, depth);
        const TMMDBField* f = rec.FindField(key);
        if (f && &rec == FOnlyRecord && f->Get == FOnlyField) {
            position = DecodeOnlyField(*f, rec, valuePos, depth);
        } else if (f && &rec != FOnlyRecord) {
            position = DecodeAt(f->Kind, f->Get(rec), valuePos, depth);
            rec.MarkStored(*f);
        } else {
            // A field the record maps but the caller does not read is stepped over
            // with the size checks its decoding would make, so bad data still fails.
            position = SkipValues(valuePos, 1, f != nullptr);
        }
    }
    return position;
}

int64_t TMMDBDecoder::DecodeOnlyField(const TMMDBField& f, TMMDBRecord& rec, int64_t position, int depth) {
    ++FOnlyVisit.Count;
    FOnlyVisit.Target = -1;
    FOnlyVisit.Passed = false;
    // The steps of DecodeAt, in its order, so that what fails fails as there.
    const TControl c = ReadControl(position);
    if (c.Type == T::Pointer && _followPointers && depth <= kMaxDepth) {
        const auto [to, behind] = PointerTarget(c.Size, c.Payload);
        FOnlyVisit.Target = to;
        FOnlyVisit.Depth = depth + 1;
        if (FOnlyKnown && FOnlyKnown(FOnlyKnownContext, to, depth + 1)) {
            FOnlyVisit.Passed = true;
            return behind;
        }
    }
    return DecodeValue(c, f.Kind, f.Get(rec), depth);
}

int64_t TMMDBDecoder::FillDictionary(TMMDBStringDictionary& dict, int64_t position, uint32_t count,
                                     int depth) {
    dict.Clear();
    for (uint32_t i = 0; i < count; ++i) {
        const auto [key, valuePos] = ReadMapKey(position, depth);
        int64_t behind = 0;
        std::string_view value;
        TMMDBType type = T::Extended;
        if (!ReadStringAt(valuePos, depth, &behind, value, type)) {
            TMMDBKind k;
            if (type == T::Map || type == T::Array)
                ConvertError(type == T::Map ? "map" : "array", mkString, nullptr);
            if (type == T::UInt128) throw Exception("Unsupported method: DecodeBigInteger");
            const char* produced = ProducedKind(type, &k);
            if (!produced) throw Exception(Format("Unable to handle type:%d", TypeNumber(type)));
            ConvertError(produced, mkString, nullptr);
        }
        if (WellFormed(key) && WellFormed(value)) {
            dict.Add(key, value);
        } else {
            std::string k, v;
            AssignUtf8Replacing(k, key);
            AssignUtf8Replacing(v, value);
            dict.Add(k, v);
        }
        position = behind;
    }
    return position;
}

int64_t TMMDBDecoder::FillStringList(TMMDBStringList& list, int64_t position, uint32_t count, int depth) {
    list.clear();
    for (uint32_t i = 0; i < count; ++i) {
        std::string s;
        position = DecodeAt(mkString, &s, position, depth);
        list.push_back(std::move(s));
    }
    return position;
}

int64_t TMMDBDecoder::FillRecordList(TMMDBRecordList& list, int64_t position, uint32_t count, int depth) {
    list.Clear();
    for (uint32_t i = 0; i < count; ++i) {
        std::unique_ptr<TMMDBRecord> item = list.NewItem();
        position = DecodeAt(mkRecord, item.get(), position, depth);
        list.Add(std::move(item));
    }
    return position;
}

int64_t TMMDBDecoder::SkipValues(int64_t position, uint64_t n, bool checkSizes) const {
    // Each step consumes at least one byte, so the loop ends within the image.
    while (n > 0) {
        const TControl c = ReadControl(position);
        switch (c.Type) {
        case T::Pointer:
            position = c.Payload + (((c.Size >> 3) & 3) + 1);
            break;
        case T::Map:
            CheckContainer(c);
            n += 2ull * c.Size;
            position = c.Payload;
            break;
        case T::Array:
            CheckContainer(c);
            n += c.Size;
            position = c.Payload;
            break;
        case T::Boolean:
            if (checkSizes && c.Size > 1) throw Exception(kMMDBBadBoolean);
            position = c.Payload;
            break;
        default: {
            if (checkSizes && c.Type == T::Double && c.Size != 8) throw Exception(kMMDBBadDouble);
            if (checkSizes && c.Type == T::Float && c.Size != 4) throw Exception(kMMDBBadFloat);
            TByteCursor in = At(c.Payload, kMMDBBadPayload);
            in.Skip(c.Size);
            position = static_cast<int64_t>(in.Tell());
            break;
        }
        }
        --n;
    }
    return position;
}

} // namespace zarvo
