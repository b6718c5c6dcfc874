#include "cli/FdStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <cstring>

namespace zarvo::cli {

namespace {

constexpr size_t kBufferSize = size_t{64} << 10;

} // namespace

namespace {

// A pipe made by a shell (or any pipe(2)), as against a FIFO with a name in a folder.
bool IsAnonymousPipe(int fd) {
#if defined(__linux__)
    struct statfs fs;
    return ::fstatfs(fd, &fs) == 0 && fs.f_type == PIPEFS_MAGIC;
#else
    (void)fd;
    return false;
#endif
}

const char* KindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a file";
}

} // namespace

int OpenInputFile(const std::string& path, std::string& reason) {
    // O_NONBLOCK: opening a FIFO without a writer returns at once instead of waiting.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        reason = std::strerror(errno);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        reason = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        reason = std::strerror(EISDIR);
    } else if (!S_ISREG(st.st_mode) && !(S_ISFIFO(st.st_mode) && IsAnonymousPipe(fd))) {
        reason = std::string("Not a regular file (") + KindOf(st.st_mode) + ")";
    } else {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) return fd;
        reason = std::strerror(errno);
    }
    ::close(fd);
    return -1;
}

TFdOutBuf::~TFdOutBuf() {
    FlushBuffer();
}

bool TFdOutBuf::WriteAll(const char* p, size_t n) {
    while (n > 0 && FError == 0) {
        const ssize_t w = ::write(FFd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
        } else if (w == 0) {
            FError = ENOSPC;
        } else if (errno != EINTR) {
            FError = errno;
        }
    }
    return FError == 0;
}

bool TFdOutBuf::FlushBuffer() {
    const size_t n = static_cast<size_t>(pptr() - pbase());
    const bool ok = n == 0 || WriteAll(pbase(), n);
    if (FBuffer) setp(FBuffer.get(), FBuffer.get() + kBufferSize);
    return ok && FError == 0;
}

TFdOutBuf::int_type TFdOutBuf::overflow(int_type c) {
    if (!FBuffer) {
        FBuffer.reset(new char[kBufferSize]);
    } else if (!FlushBuffer()) {
        return traits_type::eof();
    }
    setp(FBuffer.get(), FBuffer.get() + kBufferSize);
    if (FError != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize TFdOutBuf::xsputn(const char* s, std::streamsize n) {
    if (FError != 0) return 0;
    const auto size = static_cast<size_t>(n);
    if (size <= static_cast<size_t>(epptr() - pptr())) {
        traits_type::copy(pptr(), s, size);
        pbump(static_cast<int>(n));
        return n;
    }
    // A large piece goes out in one call rather than through the buffer.
    if (!FlushBuffer()) return 0;
    if (size < kBufferSize) return std::streambuf::xsputn(s, n);
    return WriteAll(s, size) ? n : 0;
}

int TFdOutBuf::sync() {
    return FlushBuffer() ? 0 : -1;
}

TFdInBuf::int_type TFdInBuf::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (FError != 0) return traits_type::eof();
    if (!FBuffer) FBuffer.reset(new char[kBufferSize]);
    for (;;) {
        const ssize_t r = ::read(FFd, FBuffer.get(), kBufferSize);
        if (r > 0) {
            setg(FBuffer.get(), FBuffer.get(), FBuffer.get() + r);
            return traits_type::to_int_type(*gptr());
        }
        if (r == 0) return traits_type::eof();
        if (errno != EINTR) {
            FError = errno;
            return traits_type::eof();
        }
    }
}

int StreamErrno(const std::ios& stream) {
    if (const auto* out = dynamic_cast<const TFdOutBuf*>(stream.rdbuf())) return out->Error();
    if (const auto* in = dynamic_cast<const TFdInBuf*>(stream.rdbuf())) return in->Error();
    return 0;
}

int StreamFd(const std::ios& stream) {
    if (const auto* out = dynamic_cast<const TFdOutBuf*>(stream.rdbuf())) return out->Fd();
    return -1;
}

} // namespace zarvo::cli
