#include "mmdb/uMMDBReader.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <span>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/LargeMemory.h"
#include "support/TextDecode.h"

namespace zarvo {

namespace {
const char* const kBadDouble =
    "The MaxMind DB file's data section contains bad data: invalid size of double.";
const char* const kBadFloat = "The MaxMind DB file's data section contains bad data: invalid size of float.";
const char* const kBadBoolean =
    "The MaxMind DB file's data section contains bad data: invalid size of boolean.";

const char* const kBadPointer =
    "The MaxMind DB file's data section contains bad data: pointer larger than the database.";
const char* const kBadPayload =
    "The MaxMind DB file's data section contains bad data: value runs past the end of the database.";
const char* const kBadContainer =
    "The MaxMind DB file's data section contains bad data: map or array larger than the remaining data.";
const char* const kTooDeep =
    "The MaxMind DB file's data section contains bad data: pointers or nesting deeper than "
    "512 levels.";
const char* const kTreeCorrupt =
    "The MaxMind Db file's search tree is corrupt: contains pointer larger than the database.";
const char* const kTreeTooLarge =
    "The MaxMind Db file's search tree is corrupt: the search tree is larger than the database.";

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
const char* ProducedKind(int32_t type, TMMDBKind* kind) {
    switch (type) {
    case 2:
        *kind = mkString;
        return "string";
    case 3:
        *kind = mkDouble;
        return "Double";
    case 4:
        *kind = mkBytes;
        return "TArray<System.Byte>";
    case 5:
    case 8:
        *kind = mkInteger;
        return "Integer";
    case 6:
        *kind = mkInt64;
        return "Int64";
    case 9:
        *kind = mkUInt64;
        return "UInt64";
    case 14:
        *kind = mkBoolean;
        return "Boolean";
    case 15:
        *kind = mkSingle;
        return "Single";
    default:
        return nullptr;
    }
}

[[noreturn]] void ConvertError(const char* produced, TMMDBKind kind, void* target) {
    throw Exception(Format("Could not convert '%s' to '%s'.", produced, TargetName(kind, target).c_str()));
}

const char* const kNotARegularFile = "Cannot open file \"%s\". Not a regular file";

} // namespace

const std::array<uint8_t, 14> kMMDBMetadataMarker = {0xAB, 0xCD, 0xEF, 'M', 'a', 'x', 'M',
                                                     'i',  'n',  'd',  '.', 'c', 'o', 'm'};

// ---------------------------------------------------------------------------

TMMDBKeyTable MMDBKeys(std::initializer_list<TMMDBField> own, const TMMDBKeyTable& base) {
    TMMDBKeyTable t(own);
    t.insert(t.end(), base.begin(), base.end());
    if (t.size() > kMMDBMaxKeys) throw std::logic_error("a key table of more than kMMDBMaxKeys entries");
    for (TMMDBField& f : t) f.KeyLength = std::strlen(f.Key);
    return t;
}

namespace {
// Dictionary keys are short language codes: plain ASCII passes without the call.
inline bool WellFormed(std::string_view s) {
    for (const char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return IsWellFormedUtf8(s);
    return true;
}
} // namespace

const TMMDBField* TMMDBRecord::FindField(std::string_view key) const {
    // The first field whose key is the same but for case; databases mostly write the
    // keys as the tables do, so an exact match is tried first, and a field whose first
    // letter differs is passed over without the full comparison.
    for (const TMMDBField& f : KeyTable()) {
        if (f.KeyLength != key.size()) continue;
        if (key.empty() || std::memcmp(f.Key, key.data(), key.size()) == 0) return &f;
        if (AsciiLower(f.Key[0]) == AsciiLower(key[0]) && SameText(std::string_view(f.Key, f.KeyLength), key))
            return &f;
    }
    return nullptr;
}

void TMMDBRecord::Clear() {
    FStored = 0;
    for (const TMMDBField& f : KeyTable()) {
        void* p = f.Get(*this);
        switch (f.Kind) {
        case mkInteger:
            *static_cast<int32_t*>(p) = 0;
            break;
        case mkInt64:
            *static_cast<int64_t*>(p) = 0;
            break;
        case mkUInt64:
            *static_cast<uint64_t*>(p) = 0;
            break;
        case mkDouble:
            *static_cast<double*>(p) = 0;
            break;
        case mkSingle:
            *static_cast<float*>(p) = 0;
            break;
        case mkBoolean:
            *static_cast<bool*>(p) = false;
            break;
        case mkString:
            static_cast<std::string*>(p)->clear();
            break;
        case mkBytes:
            static_cast<std::vector<uint8_t>*>(p)->clear();
            break;
        case mkRecord:
            static_cast<TMMDBRecord*>(p)->Clear();
            break;
        case mkDictionary:
            static_cast<TMMDBStringDictionary*>(p)->Clear();
            break;
        case mkStringList:
            static_cast<TMMDBStringList*>(p)->clear();
            break;
        case mkRecordList:
            static_cast<TMMDBRecordList*>(p)->Clear();
            break;
        }
    }
}

const std::string* TMMDBStringDictionary::Find(std::string_view key) const {
    for (size_t i = 0; i < FCount; ++i)
        if (FItems[i].first == key) return &FItems[i].second;
    return nullptr;
}

void TMMDBStringDictionary::Add(std::string_view key, std::string_view value) {
    if (ContainsKey(key)) throw Exception("Duplicates not allowed");
    if (FCount == FItems.size()) FItems.emplace_back();
    FItems[FCount].first.assign(key);
    FItems[FCount].second.assign(value);
    ++FCount;
}

// ---------------------------------------------------------------------------

int32_t TMMDBBuffer::ReadInteger(int32_t val, int64_t offset, int32_t size) const {
    uint32_t v = static_cast<uint32_t>(val);
    for (int32_t i = 0; i < size; ++i) v = (v << 8) | ReadOne(offset + i);
    return static_cast<int32_t>(v);
}

int64_t TMMDBBuffer::ReadLong(int64_t offset, int32_t size) const {
    return static_cast<int64_t>(ReadULong(offset, size));
}

uint64_t TMMDBBuffer::ReadULong(int64_t offset, int32_t size) const {
    uint64_t v = 0;
    for (int32_t i = 0; i < size; ++i) v = (v << 8) | ReadOne(offset + i);
    return v;
}

double TMMDBBuffer::ReadDouble(int64_t offset) const {
    return std::bit_cast<double>(ReadULong(offset, 8));
}

float TMMDBBuffer::ReadFloat(int64_t offset) const {
    return std::bit_cast<float>(static_cast<uint32_t>(ReadULong(offset, 4)));
}

void CheckMMDBFileKind(const std::string& filename) {
    const char* name = filename.c_str();
    struct stat st;
    if (::stat(name, &st) != 0)
        throw Exception(Format("Cannot open file \"%s\". %s", name, std::strerror(errno)));
    if (!S_ISREG(st.st_mode)) throw Exception(Format(kNotARegularFile, name));
}

TMMDBArrayBuffer::TMMDBArrayBuffer(const std::string& filename) {
    const char* name = filename.c_str();
    // A directory, a FIFO or a device is refused before it is opened: opening some
    // devices does something, and a FIFO without a writer would block.
    CheckMMDBFileKind(filename);
    struct stat st;
    // The path may name something else by now: O_NONBLOCK keeps a FIFO from blocking
    // the open, and the descriptor is checked again. A regular file's reads never block.
    const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw Exception(Format("Cannot open file \"%s\". %s", name, std::strerror(errno)));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::fstat(fd, &st) != 0)
        throw Exception(Format("Cannot read file \"%s\". %s", name, std::strerror(errno)));
    if (!S_ISREG(st.st_mode)) throw Exception(Format(kNotARegularFile, name));
    // Offsets and lengths are signed 32-bit quantities throughout the format's readers.
    if (st.st_size > INT32_MAX)
        throw Exception(
            Format("The file \"%s\" is too large for a MaxMind Db file: %lld bytes, at most 2147483647 "
                   "are supported.",
                   name, static_cast<long long>(st.st_size)));
    const size_t size = static_cast<size_t>(st.st_size);
    FRaw = MakeLargeArray<uint8_t>(size + 1);
    FData = FRaw.get();
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::read(fd, FRaw.get() + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw Exception(Format("Cannot read file \"%s\". %s", name,
                                   n < 0 ? std::strerror(errno) : "Unexpected end of file"));
        done += static_cast<size_t>(n);
    }
    FLength = static_cast<int32_t>(size);
}

TMMDBArrayBuffer::TMMDBArrayBuffer(std::vector<uint8_t> bytes) : _fileBytes(std::move(bytes)) {
    FData = _fileBytes.data();
    if (_fileBytes.size() > static_cast<size_t>(INT32_MAX))
        throw Exception(
            "The image is too large for a MaxMind Db file: at most 2147483647 bytes are supported.");
    FLength = static_cast<int32_t>(_fileBytes.size());
}

void TMMDBArrayBuffer::OutOfRange(int64_t offset, int64_t count) const {
    throw Exception(
        Format("The MaxMind DB file's data section contains bad data: %lld bytes at offset %lld lie "
               "outside the database (%d bytes).",
               static_cast<long long>(count), static_cast<long long>(offset), FLength));
}

std::vector<uint8_t> TMMDBArrayBuffer::Read(int64_t offset, int32_t count) const {
    const std::span<const uint8_t> b = Slice(offset, count).ReadBytes(static_cast<size_t>(count));
    return std::vector<uint8_t>(b.begin(), b.end());
}

std::string TMMDBArrayBuffer::ReadString(int64_t offset, int32_t count) const {
    return std::string(Slice(offset, count).ReadText(static_cast<size_t>(count)));
}

void TMMDBArrayBuffer::Copy(int64_t offset, uint8_t* arr, size_t count) const {
    const std::span<const uint8_t> b = Slice(offset, static_cast<int64_t>(count)).ReadBytes(count);
    std::copy(b.begin(), b.end(), arr);
}

// ---------------------------------------------------------------------------

const TMMDBKeyTable& TMMDBMetadata::KeyTable() const {
    using M = TMMDBMetadata;
    static const TMMDBKeyTable t = MMDBKeys({
        ZARVO_MMDB_FIELD(M, FBinaryFormatMajorVersion, "binary_format_major_version", mkInteger),
        ZARVO_MMDB_FIELD(M, FBinaryFormatMinorVersion, "binary_format_minor_version", mkInteger),
        ZARVO_MMDB_FIELD(M, FBuildEpoch, "build_epoch", mkUInt64),
        ZARVO_MMDB_FIELD(M, FDatabaseType, "database_type", mkString),
        ZARVO_MMDB_FIELD(M, FDescription, "description", mkDictionary),
        ZARVO_MMDB_FIELD(M, FIPVersion, "ip_version", mkInteger),
        ZARVO_MMDB_FIELD(M, FLanguages, "languages", mkStringList),
        ZARVO_MMDB_FIELD(M, FNodeCount, "node_count", mkInt64),
        ZARVO_MMDB_FIELD(M, FRecordSize, "record_size", mkInteger),
    });
    return t;
}

// ---------------------------------------------------------------------------

TMMDBDecoder::TMMDBDecoder(std::vector<std::unique_ptr<TMMDBRecord>>* ownerObjects,
                           const TMMDBArrayBuffer* database, int64_t pointerBase, bool followPointers)
    : FOwnerObjects(ownerObjects), FImage(database->Image(kBadPointer)), _pointerBase(pointerBase),
      _followPointers(followPointers) {}

TMMDBDecoder::TControl TMMDBDecoder::ReadControl(int64_t offset) const {
    // The control byte, an extended type and the size bytes: all raise kBadPointer
    // when the image ends before them.
    TByteCursor in = At(offset, kBadPointer);
    TControl c;
    const uint8_t cb = in.ReadU8();
    c.Type = cb >> 5;
    if (c.Type == 0) {
        c.Type = in.ReadU8() + 7;
        if (c.Type < 8)
            throw Exception(Format("Something went horribly wrong in the decoder. An extended type resolved "
                                   "to a type number < 8 (%d)",
                                   c.Type));
    }
    c.Size = cb & 31;
    if (c.Type != 1 && c.Size >= 29) {
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
    const uint32_t v =
        static_cast<uint32_t>((start << (8 * p)) | At(position, kBadPointer).ReadBE(static_cast<size_t>(p)));
    static const int64_t kBias[4] = {0, 2048, 526336, 0};
    return {_pointerBase + static_cast<int64_t>(v) + kBias[p - 1], position + p};
}

void TMMDBDecoder::CheckContainer(const TControl& c) const {
    // Every key and every value takes at least one byte.
    At(c.Payload, kBadContainer).Need(c.Type == 7 ? 2ull * c.Size : c.Size);
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
    if (depth > kMaxDepth) throw Exception(kTooDeep);
    switch (c.Type) {
    case 1: {
        const auto [to, behind] = PointerTarget(c.Size, c.Payload);
        if (_followPointers) DecodeAt(kind, target, to, depth + 1);
        return behind;
    }
    case 7:
        CheckContainer(c);
        switch (kind) {
        case mkRecord:
            return FillRecord(*static_cast<TMMDBRecord*>(target), c.Payload, c.Size, depth + 1);
        case mkDictionary:
            return FillDictionary(*static_cast<TMMDBStringDictionary*>(target), c.Payload, c.Size, depth + 1);
        default:
            ConvertError("map", kind, target);
        }
    case 11:
        CheckContainer(c);
        switch (kind) {
        case mkStringList:
            return FillStringList(*static_cast<TMMDBStringList*>(target), c.Payload, c.Size, depth + 1);
        case mkRecordList:
            return FillRecordList(*static_cast<TMMDBRecordList*>(target), c.Payload, c.Size, depth + 1);
        default:
            ConvertError("array", kind, target);
        }
    case 10:
        throw Exception("Unsupported method: DecodeBigInteger");
    default:
        break;
    }
    TMMDBKind produced;
    const char* producedName = ProducedKind(c.Type, &produced);
    if (!producedName) throw Exception(Format("Unable to handle type:%d", c.Type));
    if (produced != kind) ConvertError(producedName, kind, target);

    const uint32_t n = c.Size;
    TByteCursor in = At(c.Payload, kBadPayload);
    switch (c.Type) {
    case 2:
        // Ill-formed UTF-8 becomes U+FFFD here, so no output down the line carries it.
        AssignUtf8Replacing(*static_cast<std::string*>(target), in.ReadText(n));
        break;
    case 3:
        if (n != 8) throw Exception(kBadDouble);
        *static_cast<double*>(target) = std::bit_cast<double>(in.ReadU64());
        break;
    case 4: {
        const std::span<const uint8_t> b = in.ReadBytes(n);
        static_cast<std::vector<uint8_t>*>(target)->assign(b.begin(), b.end());
        break;
    }
    case 5:
    case 8: {
        // Accumulated in 32 bits: only the last four bytes can survive the shifts.
        const uint32_t keep = std::min<uint32_t>(n, 4);
        in.Skip(n - keep);
        *static_cast<int32_t*>(target) = static_cast<int32_t>(in.ReadBE(keep));
        break;
    }
    case 6:
    case 9: {
        const uint32_t keep = std::min<uint32_t>(n, 8);
        in.Skip(n - keep);
        const uint64_t v = in.ReadBE(keep);
        if (c.Type == 6)
            *static_cast<int64_t*>(target) = static_cast<int64_t>(v);
        else
            *static_cast<uint64_t*>(target) = v;
        break;
    }
    case 14:
        // The size is the value; no payload follows.
        if (n > 1) throw Exception(kBadBoolean);
        *static_cast<bool*>(target) = n == 1;
        break;
    case 15:
        if (n != 4) throw Exception(kBadFloat);
        *static_cast<float*>(target) = std::bit_cast<float>(in.ReadU32());
        break;
    default:
        throw Exception(Format("Unable to handle type:%d", c.Type));
    }
    return static_cast<int64_t>(in.Tell());
}

bool TMMDBDecoder::ReadStringAt(int64_t offset, int depth, int64_t* behind, std::string_view& text,
                                int32_t& type) const {
    for (;;) {
        if (depth > kMaxDepth) throw Exception(kTooDeep);
        const TControl c = ReadControl(offset);
        if (c.Type == 1) {
            const auto [to, after] = PointerTarget(c.Size, c.Payload);
            if (behind) *behind = after;
            behind = nullptr; // the caller continues behind the first pointer
            offset = to;
            ++depth;
            continue;
        }
        type = c.Type;
        if (c.Type != 2) return false; // reported by the caller
        TByteCursor in = At(c.Payload, kBadPayload);
        text = in.ReadText(c.Size);
        if (behind) *behind = static_cast<int64_t>(in.Tell());
        return true;
    }
}

std::pair<std::string_view, int64_t> TMMDBDecoder::ReadMapKey(int64_t position, int depth) const {
    int64_t behind = 0;
    std::string_view key;
    int32_t type = 0;
    if (!ReadStringAt(position, depth, &behind, key, type))
        throw Exception(Format("Database contains a non-string as map key: %d", type));
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
    if (c.Type == 1 && _followPointers && depth <= kMaxDepth) {
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
        int32_t type = 0;
        if (!ReadStringAt(valuePos, depth, &behind, value, type)) {
            TMMDBKind k;
            if (type == 7 || type == 11) ConvertError(type == 7 ? "map" : "array", mkString, nullptr);
            if (type == 10) throw Exception("Unsupported method: DecodeBigInteger");
            const char* produced = ProducedKind(type, &k);
            if (!produced) throw Exception(Format("Unable to handle type:%d", type));
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
        case 1:
            position = c.Payload + (((c.Size >> 3) & 3) + 1);
            break;
        case 7:
            CheckContainer(c);
            n += 2ull * c.Size;
            position = c.Payload;
            break;
        case 11:
            CheckContainer(c);
            n += c.Size;
            position = c.Payload;
            break;
        case 14:
            if (checkSizes && c.Size > 1) throw Exception(kBadBoolean);
            position = c.Payload;
            break;
        default: {
            if (checkSizes && c.Type == 3 && c.Size != 8) throw Exception(kBadDouble);
            if (checkSizes && c.Type == 15 && c.Size != 4) throw Exception(kBadFloat);
            TByteCursor in = At(c.Payload, kBadPayload);
            in.Skip(c.Size);
            position = static_cast<int64_t>(in.Tell());
            break;
        }
        }
        --n;
    }
    return position;
}

// ---------------------------------------------------------------------------

TMMDBIPAddress::TMMDBIPAddress(const uint8_t* bytes, size_t count) : _v6(false), _ipv6{} {
    if (count == 4) {
        _ipv4.Value =
            (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
    } else if (count == 16) {
        _v6 = true;
        for (int g = 0; g < 8; ++g)
            _ipv6.Groups[7 - g] = static_cast<uint16_t>((bytes[2 * g] << 8) | bytes[2 * g + 1]);
    } else {
        throw Exception(Format("Bad address size: %d.", static_cast<int>(count)));
    }
}

int TMMDBIPAddress::GetAddressBytes(uint8_t* out) const {
    if (!_v6) {
        out[0] = _ipv4.A;
        out[1] = _ipv4.B;
        out[2] = _ipv4.C;
        out[3] = _ipv4.D;
        return 4;
    }
    for (int g = 0; g < 8; ++g) {
        out[2 * g] = static_cast<uint8_t>(_ipv6.Groups[7 - g] >> 8);
        out[2 * g + 1] = static_cast<uint8_t>(_ipv6.Groups[7 - g]);
    }
    return 16;
}

std::vector<uint8_t> TMMDBIPAddress::GetAddressBytes() const {
    uint8_t b[16];
    const int n = GetAddressBytes(b);
    return std::vector<uint8_t>(b, b + n);
}

std::string TMMDBIPAddress::ToString() const {
    if (!_v6) return IPv4ToStr(_ipv4);
    std::string s = IPv6ToStr(_ipv6);
    for (char& ch : s) ch = AsciiLower(ch);
    return s;
}

// ---------------------------------------------------------------------------

TMMDBReader::TMMDBReader(const std::string& Filename) : _fileName(Filename) {
    _database = std::make_shared<const TMMDBArrayBuffer>(Filename);
    Open();
}

TMMDBReader::TMMDBReader(std::vector<uint8_t> image, const std::string& name) : _fileName(name) {
    _database = std::make_shared<const TMMDBArrayBuffer>(std::move(image));
    Open();
}

TMMDBReader::TMMDBReader(std::shared_ptr<const TMMDBArrayBuffer> image, const std::string& name)
    : _database(std::move(image)), _fileName(name) {
    Open();
}

std::unique_ptr<TMMDBReader> TMMDBReader::Twin() const {
    return std::unique_ptr<TMMDBReader>(new TMMDBReader(_database, _fileName));
}

TMMDBReader::~TMMDBReader() {
    FDecoder.reset();
    FMetadata.reset();
    FMetaOwnerObjects.clear();
    FFindOwnerObjects.clear();
    _database.reset();
}

int64_t TMMDBReader::LocateMetadata() const {
    TByteCursor image = _database->Image();
    const std::span<const uint8_t> img = image.ReadBytes(image.Size());
    const size_t n = kMMDBMetadataMarker.size();
    // Backward from the end: the marker nearest the end wins.
    for (size_t i = img.size() >= n ? img.size() - n + 1 : 0; i-- > 0;)
        if (img[i] == kMMDBMetadataMarker[0] && std::memcmp(&img[i], kMMDBMetadataMarker.data(), n) == 0)
            return static_cast<int64_t>(i + n);
    throw Exception(
        Format("Could not find a MaxMind Db metadata marker in this file (%s). Is this a valid MaxMind Db "
               "file?",
               _fileName.c_str()));
}

void TMMDBReader::Open() {
    const int64_t metaStart = LocateMetadata();
    FMetadata = std::make_unique<TMMDBMetadata>();
    {
        TMMDBDecoder metaDecoder(&FMetaOwnerObjects, _database.get(), metaStart, true);
        metaDecoder.DecodeInto(*FMetadata, metaStart);
    }
    const TMMDBMetadata& m = *FMetadata;
    // The tree must lie before the data section's marker; node numbers then stay
    // within the image, and the walk never reads outside it.
    if (m.NodeCount() < 0 || m.NodeByteSize() < 0 || m.NodeCount() > INT32_MAX ||
        m.SearchTreeSize() + 16 > metaStart - 14)
        throw Exception(kTreeTooLarge);
    FNodeCount = m.NodeCount();
    FRecordSize = m.RecordSize();
    FNodeByteSize = static_cast<int32_t>(m.NodeByteSize());
    FTree = _database->Image(kTreeTooLarge).ReadBytes(static_cast<size_t>(m.SearchTreeSize())).data();
    FDecoder =
        std::make_unique<TMMDBDecoder>(&FFindOwnerObjects, _database.get(), m.SearchTreeSize() + 16, true);
}

int64_t TMMDBReader::ReadNodeRecord(int64_t node, int side) const {
    switch (FRecordSize) {
    case 24:
        return static_cast<int64_t>(_database->Slice(node * 6 + side * 3, 3).ReadBE<3>());
    case 28: {
        // Bytes 0-2 and 4-6 are the low 24 bits of the left and the right record; the
        // high and the low half of byte 3 lead them.
        const uint64_t b = _database->Slice(node * 7, 7).ReadBE<7>();
        return static_cast<int64_t>(side == 0 ? (b >> 32) | ((b >> 4) & 0x0F000000) : b & 0x0FFFFFFF);
    }
    case 32:
        return static_cast<int64_t>(_database->Slice(node * 8 + side * 4, 4).ReadBE<4>());
    default:
        throw Exception(Format("Unknown record size: %d", FRecordSize));
    }
}

int64_t TMMDBReader::IPv4Root() {
    if (FIPv4Start != 0 || FMetadata->IPVersion() == 4) return FIPv4Start;
    int64_t node = 0;
    for (int i = 0; i < 96 && node < FNodeCount; ++i) node = ReadNodeRecord(node, 0);
    FIPv4Start = node;
    return node;
}

int64_t TMMDBReader::TreeStartNode(int bitCount) {
    return FMetadata->IPVersion() == 6 && bitCount == 32 ? IPv4Root() : 0;
}

namespace {

// The tree is read through a raw pointer, without the cursor: Open checked once that
// the whole tree lies inside the image, and only nodes below the node count are read
// (or fetched ahead).

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

void TMMDBReader::FillPrefixTable(int64_t node, int depth, uint32_t prefix) {
    if (depth == kPrefixBits || node >= FNodeCount) {
        const uint32_t first = prefix << (kPrefixBits - depth), count = 1u << (kPrefixBits - depth);
        for (uint32_t k = 0; k < count; ++k)
            FPrefixTable[first + k] = static_cast<uint64_t>(node) << 8 | static_cast<uint64_t>(depth);
        return;
    }
    FillPrefixTable(ReadNodeRecord(node, 0), depth + 1, prefix << 1);
    FillPrefixTable(ReadNodeRecord(node, 1), depth + 1, prefix << 1 | 1);
}

int64_t TMMDBReader::IPv4WalkStart(const uint8_t* bytes, int64_t node, int& bit) {
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

int64_t TMMDBReader::WalkTree(const TMMDBIPAddress& address, int32_t& prefixLength) {
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

template <int RecordSize>
void TMMDBReader::WalkLanes(std::span<const TMMDBIPAddress> addresses, std::span<int64_t> records,
                            std::span<int32_t> prefixLengths) {
    struct TLane {
        int64_t Node;
        int Bit, BitCount;
        size_t Index;
        uint8_t Bytes[16];
    };
    TLane lanes[kWalkLanes];
    const uint8_t* const tree = FTree;
    const int64_t nodeCount = FNodeCount;
    // A walk that has left the tree or used up its bits ends as WalkTree's does.
    const auto finish = [&](const TLane& l) {
        prefixLengths[l.Index] = l.Bit;
        records[l.Index] = l.Node == nodeCount ? 0 : l.Node > nodeCount ? l.Node : kWalkFailed;
    };
    // Puts the next address that needs a step into the lane, its first node asked for;
    // false when none is left. Addresses that need no step are finished on the way.
    size_t next = 0;
    const auto start = [&](TLane& l) {
        while (next < addresses.size()) {
            // The prefix table's entry of an IPv4 address a few starts ahead.
            if (const size_t ahead = next + kWalkLanes;
                ahead < addresses.size() && !FPrefixTable.empty() && !addresses[ahead].IsIPv6())
                __builtin_prefetch(&FPrefixTable[addresses[ahead].IPv4().Value >> 16]);
            l.Index = next++;
            l.BitCount = addresses[l.Index].GetAddressBytes(l.Bytes) * 8;
            l.Node = TreeStartNode(l.BitCount);
            l.Bit = 0;
            if (l.BitCount == 32) l.Node = IPv4WalkStart(l.Bytes, l.Node, l.Bit);
            if (l.Bit < l.BitCount && l.Node < nodeCount) {
                FetchRecord<RecordSize>(tree, l.Node, AddressBit(l.Bytes, l.Bit));
                return true;
            }
            finish(l);
        }
        return false;
    };
    size_t active = 0;
    while (active < kWalkLanes && start(lanes[active])) ++active;
    // Each round takes one step of every walk in flight: the node it reads was asked
    // for a round earlier. A finished walk makes room for the next address; a lane
    // left empty takes the last one's place, which has had its step this round.
    while (active > 0) {
        for (size_t j = active; j-- > 0;) {
            TLane& l = lanes[j];
            l.Node = ReadRecord<RecordSize>(tree, l.Node, AddressBit(l.Bytes, l.Bit));
            ++l.Bit;
            if (l.Bit < l.BitCount && l.Node < nodeCount) {
                FetchRecord<RecordSize>(tree, l.Node, AddressBit(l.Bytes, l.Bit));
                continue;
            }
            finish(l);
            if (!start(l)) l = lanes[--active];
        }
    }
}

void TMMDBReader::WalkTrees(std::span<const TMMDBIPAddress> addresses, std::span<int64_t> records,
                            std::span<int32_t> prefixLengths) {
    if (records.size() < addresses.size() || prefixLengths.size() < addresses.size())
        throw Exception("WalkTrees: fewer results than addresses");
    switch (FRecordSize) {
    case 24:
        return WalkLanes<24>(addresses, records, prefixLengths);
    case 28:
        return WalkLanes<28>(addresses, records, prefixLengths);
    case 32:
        return WalkLanes<32>(addresses, records, prefixLengths);
    default:
        // No tree walk can step with this record size: each address as WalkTree takes it.
        for (size_t k = 0; k < addresses.size(); ++k) {
            prefixLengths[k] = 0;
            try {
                records[k] = WalkTree(addresses[k], prefixLengths[k]);
            } catch (const Exception&) {
                records[k] = kWalkFailed;
            }
        }
    }
}

int64_t TMMDBReader::RecordOffset(int64_t r) const {
    const int64_t offset = FMetadata->SearchTreeSize() + r - FNodeCount;
    // NodeCount + 16 is the first byte of the data section; the values below it
    // would take the tree or the 16-byte separator for a record.
    if (r - FNodeCount < 16 || offset >= _database->Length()) throw Exception(kTreeCorrupt);
    return offset;
}

void TMMDBReader::LoadRecordInto(int64_t r, TMMDBRecord& result) {
    const int64_t offset = RecordOffset(r);
    // A refilled record must not keep fields of an earlier record that this one lacks.
    result.Clear();
    FDecoder->DecodeInto(result, offset);
}

bool TMMDBReader::Lookup(const TMMDBIPAddress& address, int32_t& prefixLength, TMMDBRecord& result) {
    const int64_t r = WalkTree(address, prefixLength);
    if (r == 0) return false;
    LoadRecordInto(r, result);
    return true;
}

// ---------------------------------------------------------------------------

TMMDBEnumeratorBase::TMMDBEnumeratorBase(TMMDBReader& reader, bool IPv4Only)
    : _reader(reader), byteCount(reader.Metadata().IPVersion() != 6 || IPv4Only ? 4 : 16) {
    // A tree whose branches meet again and again (k -> k + 1 on both sides) has
    // exponentially many paths; most of them lead nowhere, and the walk would go on
    // for ages without a network to show. The steps are budgeted by what they give:
    // a sound tree in one pass over its nodes, plus one descent's worth (the address
    // width) for every network reported, so a tree that shares subtrees (a comb of
    // pointers to one subtree) walks on as long as its networks keep coming.
    FVisitBase = 8 * reader.Metadata().NodeCount() + 1024;
    Reset();
}

void TMMDBEnumeratorBase::Reset() {
    FHaveNode = false;
    nodes.clear();
    FVisited = 0;
    FVisitLimit = FVisitBase;
    TMMDBNetNode start;
    start.Pointer = _reader.TreeStartNode(byteCount * 8);
    nodes.push_back(start);
}

void TMMDBEnumeratorBase::SetNetwork(const TMMDBNetNode& n) {
    bool v4 = byteCount == 4;
    if (!v4 && n.Bit >= 96)
        v4 = std::all_of(n.IPBytes.begin(), n.IPBytes.begin() + 12, [](uint8_t b) { return b == 0; });
    if (v4) {
        FStart = TMMDBIPAddress(n.IPBytes.data() + byteCount - 4, 4);
        FPrefix = byteCount == 4 ? n.Bit : n.Bit - 96;
    } else {
        FStart = TMMDBIPAddress(n.IPBytes.data(), 16);
        FPrefix = n.Bit;
    }
}

bool TMMDBEnumeratorBase::MoveNext() {
    FHaveNode = false;
    const int64_t nodeCount = _reader.Metadata().NodeCount();
    while (!nodes.empty()) {
        node = nodes.back();
        nodes.pop_back();
        while (node.Pointer < nodeCount) {
            if (node.Bit / 8 >= byteCount)
                throw Exception(Format("Invalid search tree, bad bit %d", node.Bit));
            if (++FVisited > FVisitLimit)
                throw Exception(Format("Invalid search tree, more than %lld nodes visited",
                                       static_cast<long long>(FVisitLimit)));
            TMMDBNetNode right = node;
            right.IPBytes[static_cast<size_t>(node.Bit / 8)] |=
                static_cast<uint8_t>(1u << (7 - node.Bit % 8));
            right.Pointer = _reader.ReadNodeRecord(node.Pointer, 1);
            ++right.Bit;
            node.Pointer = _reader.ReadNodeRecord(node.Pointer, 0);
            ++node.Bit;
            nodes.push_back(right);
        }
        if (node.Pointer == nodeCount) continue;
        FVisitLimit += 8 * byteCount;
        SetNetwork(node);
        LoadData(node.Pointer);
        FHaveNode = true;
        return true;
    }
    return false;
}

} // namespace zarvo
