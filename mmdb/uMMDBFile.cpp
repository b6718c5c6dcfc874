#include "mmdb/uMMDBFile.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <span>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/ZarvoText.h"

namespace zarvo {

namespace {
const char* const kNotARegularFile = "Cannot open file \"%s\". Not a regular file";
} // namespace

const std::array<uint8_t, 14> kMMDBMetadataMarker = {0xAB, 0xCD, 0xEF, 'M', 'a', 'x', 'M',
                                                     'i',  'n',  'd',  '.', 'c', 'o', 'm'};

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

int64_t LocateMMDBMetadata(const TMMDBArrayBuffer& database, const std::string& name) {
    TByteCursor image = database.Image();
    const std::span<const uint8_t> img = image.ReadBytes(image.Size());
    const size_t n = kMMDBMetadataMarker.size();
    // Backward from the end: the marker nearest the end wins.
    for (size_t i = img.size() >= n ? img.size() - n + 1 : 0; i-- > 0;)
        if (img[i] == kMMDBMetadataMarker[0] && std::memcmp(&img[i], kMMDBMetadataMarker.data(), n) == 0)
            return static_cast<int64_t>(i + n);
    throw Exception(
        Format("Could not find a MaxMind Db metadata marker in this file (%s). Is this a valid MaxMind Db "
               "file?",
               name.c_str()));
}

} // namespace zarvo
