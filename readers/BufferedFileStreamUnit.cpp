#include "readers/BufferedFileStreamUnit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zarvo {

TBaseCachedFileStream::TBaseCachedFileStream(const std::string& fileName, int32_t cacheSize)
    : FCacheSize(cacheSize < 1 ? kDefaultCacheSize : cacheSize), FFileName(fileName) {}

void TBaseCachedFileStream::Open(int handle) {
    if (handle < 0) {
        FHandle = OpenFileHandle();
        FOwnsHandle = true;
    } else {
        FHandle = handle;
        struct stat st {};
        if (::fstat(handle, &st) != 0)
            throw EStreamError(StreamErrorText("Cannot get the size of", FFileName, errno));
        const TFileSize size = FileSizeOf(handle, st);
        FFileSize = size.Bytes;
        FSizeUnknown = !size.Known;
    }
    FCache = std::make_unique<char[]>(static_cast<size_t>(FCacheSize));
}

TBaseCachedFileStream::~TBaseCachedFileStream() {
    if (FOwnsHandle && FHandle >= 0) ::close(FHandle);
}

size_t TBaseCachedFileStream::Read(void*, size_t) {
    throw Exception("Cannot read from this stream");
}

int64_t TBaseCachedFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    switch (origin) {
    case TSeekOrigin::Beginning:
        FPosition = offset;
        break;
    case TSeekOrigin::Current:
        FPosition += offset;
        break;
    case TSeekOrigin::End:
        FPosition = offset + GetContentSize();
        break;
    }
    return FPosition;
}

TReadOnlyCachedFileStream::TReadOnlyCachedFileStream(const std::string& fileName, int32_t cacheSize,
                                                     int handle)
    : TBaseCachedFileStream(fileName, cacheSize) {
    try {
        Open(handle);
    } catch (...) {
        // The destructor of a half-made object does not run.
        if (FOwnsHandle && FHandle >= 0) ::close(FHandle);
        FOwnsHandle = false;
        throw;
    }
    SetViewWindow(0, FFileSize);
    FReadToEnd = FSizeUnknown;
}

int TReadOnlyCachedFileStream::OpenFileHandle() {
    TFileSize size;
    const int handle = OpenFileForReading(FFileName, size);
    FFileSize = size.Bytes;
    FSizeUnknown = !size.Known;
    return handle;
}

void TReadOnlyCachedFileStream::SetViewWindow(int64_t viewStart, int64_t viewLength) {
    if (viewStart < 0 || viewLength < 0 || viewStart > FFileSize || viewLength > FFileSize - viewStart)
        throw Exception("Invalid view window");
    FViewStart = viewStart;
    FViewLength = viewLength;
    FReadToEnd = false;
    FPosition = 0;
    FCacheStart = FCacheEnd = 0;
}

size_t TReadOnlyCachedFileStream::ReadView(void* buffer, size_t count, int64_t pos) {
    if (FReadToEnd) {
        if (pos < 0) return 0;
        const size_t got = ReadFileAt(FHandle, buffer, count, FViewStart + pos, FFileName);
        // Size tells what was found: the end once a read came short.
        const int64_t reached = pos + static_cast<int64_t>(got);
        FViewLength = got < count ? reached : std::max(FViewLength, reached);
        return got;
    }
    if (pos < 0 || pos >= FViewLength) return 0;
    const size_t want =
        static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), FViewLength - pos));
    const size_t got = ReadFileAt(FHandle, buffer, want, FViewStart + pos, FFileName);
    // The size was taken at the open; less now means the file was cut meanwhile,
    // and going on would report a wrong end as if it were the file's.
    if (got < want) throw EStreamError(Format("File %s changed while it was read.", FFileName.c_str()));
    return got;
}

size_t TReadOnlyCachedFileStream::Read(void* buffer, size_t count) {
    if (FDisableStreamReadCacheRefCount > 0) {
        const size_t n = ReadView(buffer, count, FPosition);
        FPosition += static_cast<int64_t>(n);
        return n;
    }
    char* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (count > 0) {
        if ((FPosition < FCacheStart || FPosition >= FCacheEnd) && count >= static_cast<size_t>(FCacheSize)) {
            // A read of a whole block or more gains nothing from the cache: straight in.
            const size_t n = ReadView(out + done, count, FPosition);
            FPosition += static_cast<int64_t>(n);
            done += n;
            break;
        }
        if (FPosition < FCacheStart || FPosition >= FCacheEnd) {
            int64_t start = FPosition;
            if (FUseAlignedCache) start -= start % FCacheSize;
            FCacheStart = start;
            FCacheEnd =
                start + static_cast<int64_t>(ReadView(FCache.get(), static_cast<size_t>(FCacheSize), start));
            if (FCacheEnd <= FPosition) {
                FCacheStart = FCacheEnd = 0;
                break;
            }
        }
        const size_t n =
            static_cast<size_t>(std::min<int64_t>(FCacheEnd - FPosition, static_cast<int64_t>(count)));
        std::memcpy(out + done, FCache.get() + (FPosition - FCacheStart), n);
        FPosition += static_cast<int64_t>(n);
        done += n;
        count -= n;
    }
    return done;
}

} // namespace zarvo
