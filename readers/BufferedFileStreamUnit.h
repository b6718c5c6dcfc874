// A read-only file stream that keeps one block of the file in memory and serves
// small reads from it, so that the text reader's small reads become one system
// read per block.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "readers/Stream.h"

namespace zarvo {

class TBaseCachedFileStream : public TStream {
public:
    static constexpr int32_t kDefaultCacheSize = 16384;

    ~TBaseCachedFileStream() override;

    size_t Read(void* buffer, size_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return GetContentSize(); }

    const std::string& FileName() const { return FFileName; }
    int32_t CacheSize() const { return FCacheSize; }

protected:
    // handle < 0: the stream opens the file itself (through OpenFileHandle) and
    // closes it; otherwise the caller keeps the handle. A cacheSize below 1 is
    // kDefaultCacheSize. Subclasses call Open from their constructor, because the
    // virtual OpenFileHandle is theirs only once they exist.
    TBaseCachedFileStream(const std::string& fileName, int32_t cacheSize);
    void Open(int handle);
    virtual int OpenFileHandle() = 0;
    // The size the stream presents; the file's real size here.
    virtual int64_t GetContentSize() { return FFileSize; }

    int FHandle = -1;
    bool FOwnsHandle = false;
    std::unique_ptr<char[]> FCache;
    int32_t FCacheSize;
    int64_t FPosition = 0;
    int64_t FCacheStart = 0, FCacheEnd = 0; // nothing cached when both are 0
    std::string FFileName;
    int64_t FFileSize = 0; // the real size, taken when the file was opened
    // The reported size is not the file's length (a pseudo-file, FileSizeOf): the
    // file is read until a read gives nothing.
    bool FSizeUnknown = false;
};

class TReadOnlyCachedFileStream : public TBaseCachedFileStream {
public:
    TReadOnlyCachedFileStream(const std::string& fileName, int32_t cacheSize = 0, int handle = -1);

    // Reads through the cache, loading a block wherever the position leaves it; one
    // read may load several blocks. A file that became shorter than it was when
    // opened raises "File %s changed while it was read." rather than ending early.
    // A file whose size is not known (a pseudo-file) is read to its end instead, and
    // Size grows to what was found.
    size_t Read(void* buffer, size_t count) override;

    // The stream presents the viewLength bytes from viewStart; raises "Invalid view
    // window" (and changes nothing) unless they lie inside the file.
    void SetViewWindow(int64_t viewStart, int64_t viewLength);
    // Whether the stream reads to the file's end, whatever its reported size.
    bool ReadsToEnd() const { return FReadToEnd; }

    bool UseAlignedCache() const { return FUseAlignedCache; }
    void SetUseAlignedCache(bool v) { FUseAlignedCache = v; }

    // While disabled (counted: each Disable needs one Enable), reads bypass the cache.
    void DisableStreamReadCache() { ++FDisableStreamReadCacheRefCount; }
    void EnableStreamReadCache() { --FDisableStreamReadCacheRefCount; }

protected:
    int OpenFileHandle() override;
    int64_t GetContentSize() override { return FViewLength; }

private:
    // Reads count bytes at the view position pos, raising when the file ended early.
    size_t ReadView(void* buffer, size_t count, int64_t pos);

    bool FUseAlignedCache = false;
    bool FReadToEnd = false; // the view runs to the end, FViewLength is what was seen
    int64_t FViewStart = 0, FViewLength = 0;
    int32_t FDisableStreamReadCacheRefCount = 0;
};

} // namespace zarvo
