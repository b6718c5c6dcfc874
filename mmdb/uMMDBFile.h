// The layout of a MaxMind DB file: the image (the whole file in memory, every read
// of it bounds-checked), the metadata marker and the metadata it leads to.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "mmdb/uMMDBRecord.h"
#include "support/ByteCursor.h"
#include "support/LargeMemory.h"

namespace zarvo {

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

// The offset just behind the last metadata marker of the image, where the metadata
// starts; raises "Could not find a MaxMind Db metadata marker ..." (naming name) when
// the image holds none.
int64_t LocateMMDBMetadata(const TMMDBArrayBuffer& image, const std::string& name);

} // namespace zarvo
