// zarvo-cli's standard streams over their file descriptors. Reads and writes go
// to read(2) and write(2), and the reason of a failure (errno) is kept, so that a
// full disk, a closed pipe or a directory given as input is reported by its
// reason; the standard library's streams lose it.
#pragma once

#include <ios>
#include <memory>
#include <streambuf>
#include <string>

namespace zarvo::cli {

// Buffered writing to fd. After a failed write every further write fails too.
class TFdOutBuf : public std::streambuf {
public:
    explicit TFdOutBuf(int fd) : FFd(fd) {}
    ~TFdOutBuf() override;
    TFdOutBuf(const TFdOutBuf&) = delete;
    TFdOutBuf& operator=(const TFdOutBuf&) = delete;
    // The errno of the failed write; 0 while none failed.
    int Error() const { return FError; }
    int Fd() const { return FFd; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    bool WriteAll(const char* p, size_t n);
    bool FlushBuffer();

    int FFd;
    int FError = 0;
    // Made on first use and not cleared: its pages are touched only as far as they
    // are written (a short run's output, or --version, costs a page, not sixteen).
    std::unique_ptr<char[]> FBuffer;
};

// Buffered reading from fd; a failed read ends the input.
class TFdInBuf : public std::streambuf {
public:
    explicit TFdInBuf(int fd) : FFd(fd) {}
    TFdInBuf(const TFdInBuf&) = delete;
    TFdInBuf& operator=(const TFdInBuf&) = delete;
    // The errno of the failed read; 0 while none failed.
    int Error() const { return FError; }

protected:
    int_type underflow() override;

private:
    int FFd;
    int FError = 0;
    std::unique_ptr<char[]> FBuffer; // as TFdOutBuf's
};

// Opens a file that the command line reads as a stream, without waiting: a regular
// file, or a pipe of the shell's ("<(...)", /dev/stdin on a pipe), whose writer is there
// from the start. Anything else is refused at once: a directory, a named FIFO (which may
// have no writer, and would be waited on for ever), a device or a socket. Returns the
// descriptor, whose reads block; or -1 and the reason ("Is a directory", "Not a regular
// file (a FIFO)", the system's text for a file that cannot be opened).
int OpenInputFile(const std::string& path, std::string& reason);

// The errno that ended a stream over a TFdOutBuf or TFdInBuf; 0 for other streams
// and while nothing failed.
int StreamErrno(const std::ios& stream);
// The file descriptor a stream over a TFdOutBuf writes to; -1 for other streams.
int StreamFd(const std::ios& stream);

} // namespace zarvo::cli
