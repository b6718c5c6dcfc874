// The byte streams the viewer's text reader reads: a read-only file (regular
// files only, opened without ever blocking on a FIFO or a device) and bytes held
// in memory. Sizes and positions are 64-bit throughout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/ZarvoText.h"

struct stat;

namespace zarvo {

// A stream that cannot be opened, sized, positioned or read.
class EStreamError : public Exception {
public:
    using Exception::Exception;
};

enum class TSeekOrigin { Beginning, Current, End };

class TStream {
public:
    TStream() = default;
    virtual ~TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Copies up to count bytes and returns how many; fewer only at the end.
    virtual size_t Read(void* buffer, size_t count) = 0;
    // The new position; it is not checked against the size (a read beyond gives 0 bytes).
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual int64_t Size() = 0;
    int64_t Position() { return Seek(0, TSeekOrigin::Current); }
};

// The size of an open regular file as the system reports it, and whether that is
// its length. It is not for a file of a pseudo filesystem (proc, sysfs and the like:
// /proc/cpuinfo says 0 bytes, a sysfs attribute 4096, whatever they hold) nor for
// any file that says 0 bytes; such a file is read until a read gives nothing.
struct TFileSize {
    int64_t Bytes = 0;
    bool Known = true;
};
TFileSize FileSizeOf(int handle, const struct stat& st);

// Opens name for reading and returns the descriptor, with the size of the file in
// size. Only regular files: a directory, FIFO, socket or device raises, and the open
// itself never waits for a FIFO's writer. Raises "Cannot open %s.  REASON".
int OpenFileForReading(const std::string& name, TFileSize& size);
// The same with the reported size only.
int OpenFileForReading(const std::string& name, int64_t& size);

// what ("Cannot open"), the file name and ".", two blanks and the system's text for
// the error code: "Cannot open NAME.  REASON".
std::string StreamErrorText(const char* what, const std::string& name, int error);

// A file read straight through the system, one read per call.
class TFileStream : public TStream {
public:
    explicit TFileStream(const std::string& fileName);
    ~TFileStream() override;
    size_t Read(void* buffer, size_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return FSize; }

private:
    std::string FFileName;
    int FHandle = -1;
    int64_t FSize = 0;
    int64_t FPosition = 0;
};

// Bytes in memory (copied in), for sources that are not files.
class TBytesStream : public TStream {
public:
    explicit TBytesStream(std::string_view bytes) : FBytes(bytes) {}
    size_t Read(void* buffer, size_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(FBytes.size()); }

private:
    std::string FBytes;
    int64_t FPosition = 0;
};

// Reads count bytes at offset of the file, going on after a short or interrupted
// read; returns fewer only at the end of the file. A failed read raises
// "Cannot read %s.  REASON".
size_t ReadFileAt(int handle, void* buffer, size_t count, int64_t offset, const std::string& name);

} // namespace zarvo
