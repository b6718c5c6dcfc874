#include "readers/Stream.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zarvo {

std::string StreamErrorText(const char* what, const std::string& name, int error) {
    return std::string(what) + " " + name + ".  " + std::strerror(error);
}

TFileSize FileSizeOf(int handle, const struct stat& st) {
    TFileSize size{static_cast<int64_t>(st.st_size), st.st_size > 0};
    struct statfs fs {};
    if (size.Known && ::fstatfs(handle, &fs) == 0) {
        switch (static_cast<unsigned long>(fs.f_type)) {
        case PROC_SUPER_MAGIC:
        case SYSFS_MAGIC:
        case DEBUGFS_MAGIC:
        case TRACEFS_MAGIC:
        case SECURITYFS_MAGIC:
        case CGROUP_SUPER_MAGIC:
        case CGROUP2_SUPER_MAGIC:
            size.Known = false;
            break;
        default:
            break;
        }
    }
    return size;
}

int OpenFileForReading(const std::string& name, int64_t& size) {
    TFileSize s;
    const int fd = OpenFileForReading(name, s);
    size = s.Bytes;
    return fd;
}

int OpenFileForReading(const std::string& name, TFileSize& size) {
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer. The type is
    // then checked on the open descriptor, so a swapped path cannot slip through.
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw EStreamError(StreamErrorText("Cannot open", name, errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        throw EStreamError(StreamErrorText("Cannot open", name, error));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        if (S_ISDIR(st.st_mode)) throw EStreamError(StreamErrorText("Cannot open", name, EISDIR));
        throw EStreamError(Format("Cannot open %s.  Not a regular file", name.c_str()));
    }
    size = FileSizeOf(fd, st);
    return fd;
}

size_t ReadFileAt(int handle, void* buffer, size_t count, int64_t offset, const std::string& name) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(handle, static_cast<char*>(buffer) + done, count - done,
                                  static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EStreamError(StreamErrorText("Cannot read", name, errno));
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

namespace {

int64_t SeekTo(int64_t position, int64_t size, int64_t offset, TSeekOrigin origin) {
    switch (origin) {
    case TSeekOrigin::Beginning:
        return offset;
    case TSeekOrigin::Current:
        return position + offset;
    case TSeekOrigin::End:
        break;
    }
    return size + offset;
}

} // namespace

TFileStream::TFileStream(const std::string& fileName) : FFileName(fileName) {
    FHandle = OpenFileForReading(fileName, FSize);
}

TFileStream::~TFileStream() {
    if (FHandle >= 0) ::close(FHandle);
}

size_t TFileStream::Read(void* buffer, size_t count) {
    if (FPosition < 0) return 0;
    const size_t n = ReadFileAt(FHandle, buffer, count, FPosition, FFileName);
    FPosition += static_cast<int64_t>(n);
    return n;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    FPosition = SeekTo(FPosition, FSize, offset, origin);
    return FPosition;
}

size_t TBytesStream::Read(void* buffer, size_t count) {
    if (FPosition < 0 || FPosition >= Size()) return 0;
    const size_t n = std::min(count, FBytes.size() - static_cast<size_t>(FPosition));
    std::memcpy(buffer, FBytes.data() + FPosition, n);
    FPosition += static_cast<int64_t>(n);
    return n;
}

int64_t TBytesStream::Seek(int64_t offset, TSeekOrigin origin) {
    FPosition = SeekTo(FPosition, Size(), offset, origin);
    return FPosition;
}

} // namespace zarvo
