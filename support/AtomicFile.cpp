#include "support/AtomicFile.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "support/ZarvoText.h"

namespace fs = std::filesystem;

namespace zarvo {

namespace {

constexpr size_t kChunk = 1 << 20; // one write call per megabyte, not per line
// A piece at least this large (a writer's own buffer) goes out in its own write call,
// not copied through this one's.
constexpr size_t kDirect = 64 << 10;

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) {
            errno = ENOSPC;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// ---- the temporary files open now, for the signal handlers ----
//
// Fixed slots, so that a handler needs neither a lock nor memory of its own, and is
// safe on whatever thread the signal finds. A slot's state says who may touch its
// name: its writer while Filling or Held, a handler once it has moved Held to Taken.
// The process ends after Taken, so a writer that finds its slot taken only waits.
enum TSlotState : int { kFree, kFilling, kHeld, kTaken };

struct TTempSlot {
    std::atomic<int> State{kFree};
    char Name[PATH_MAX] = {};
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "used inside signal handlers");

// More writers than are ever open at once (rdns: the unresolved list and the output).
constexpr int kTempSlots = 32;
// Made at compile time (zeros in .bss): a start-up that filled in the states would
// touch a page for each slot of every run.
constinit TTempSlot gTempSlots[kTempSlots];
// Set by the first handler: from then on no temporary file may be left standing.
std::atomic<bool> gTerminating{false};

[[noreturn]] void AwaitTermination() {
    for (;;) ::pause();
}

// A slot holding name, published before the file is created; -1 when none is free.
int HoldTempName(const std::string& name) {
    for (int i = 0; i < kTempSlots; ++i) {
        TTempSlot& slot = gTempSlots[i];
        int expected = kFree;
        if (!slot.State.compare_exchange_strong(expected, kFilling)) continue;
        std::memcpy(slot.Name, name.c_str(), name.size() + 1);
        slot.State.store(kHeld);
        return i;
    }
    return -1;
}

void ReleaseTempName(int index) {
    int expected = kHeld;
    // Taken: a handler is removing the file, and the process ends with it.
    if (!gTempSlots[index].State.compare_exchange_strong(expected, kFree)) AwaitTermination();
}

void RemoveTemporaryFiles(int sig) {
    const int savedErrno = errno;
    // A second signal while the first is handled on another thread: that one ends
    // the process.
    if (gTerminating.exchange(true)) {
        errno = savedErrno;
        return;
    }
    for (TTempSlot& slot : gTempSlots) {
        int expected = kHeld;
        if (slot.State.compare_exchange_strong(expected, kTaken)) ::unlink(slot.Name);
    }
    // Death by the signal itself, which the handler's mask holds until it returns.
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

} // namespace

void RemoveTemporaryFilesOnTermination() {
    struct sigaction action {};
    action.sa_handler = &RemoveTemporaryFiles;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    for (const int sig : {SIGINT, SIGTERM}) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        ::sigaction(sig, &action, nullptr);
    }
}

TAtomicFileWriter::TAtomicFileWriter(const std::string& path) : FPath(path) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (!exists && errno == ELOOP) Fail(ELOOP);
    if (exists && S_ISDIR(st.st_mode)) Fail(EISDIR);
    if (exists && !S_ISREG(st.st_mode)) {
        // Opened by the path as given: /dev/stdout names a pipe through /proc.
        FFd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (FFd < 0) Fail(errno);
        return;
    }

    // Through a link the file it names is replaced, not the link, also when that
    // file does not exist yet.
    fs::path target(path);
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(target, ec)) break;
        const fs::path next = fs::read_symlink(target, ec);
        if (ec) break;
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    FTarget = target.string();

    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; FFd < 0; ++attempt) {
        const std::string name = (dir / ("." + target.filename().string() + "." + std::to_string(::getpid()) +
                                         "-" + std::to_string(counter++) + ".tmp"))
                                     .string();
        if (name.size() >= PATH_MAX) Fail(ENAMETOOLONG);
        FTempSlot = HoldTempName(name);
        if (FTempSlot < 0) Fail(EMFILE);
        FFd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        const int openErrno = errno;
        // A handler that ran before the file existed did not find it.
        if (gTerminating.load()) {
            if (FFd >= 0) ::unlink(name.c_str());
            AwaitTermination();
        }
        if (FFd >= 0) {
            FTempName = name;
        } else {
            ReleaseTempName(FTempSlot);
            FTempSlot = -1;
            if (openErrno != EEXIST || attempt >= 100) Fail(openErrno);
        }
    }
    // The new file keeps the old one's permissions (say, 0600 chosen by the user).
    if (exists) (void)::fchmod(FFd, st.st_mode & 07777);
}

TAtomicFileWriter::~TAtomicFileWriter() {
    Discard();
}

void TAtomicFileWriter::Discard() noexcept {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
    if (!FTempName.empty()) ::unlink(FTempName.c_str());
    FTempName.clear();
    ForgetTempName();
    FBuffer.clear();
}

void TAtomicFileWriter::ForgetTempName() noexcept {
    if (FTempSlot >= 0) ReleaseTempName(FTempSlot);
    FTempSlot = -1;
}

void TAtomicFileWriter::Fail(int err) {
    FError = err;
    Discard();
    throw Exception(Format("Cannot create file \"%s\". %s", FPath.c_str(), std::strerror(err)));
}

void TAtomicFileWriter::FlushBuffer() {
    if (!FBuffer.empty() && !WriteAll(FFd, FBuffer.data(), FBuffer.size())) Fail(errno);
    FBuffer.clear();
}

void TAtomicFileWriter::Write(std::string_view bytes) {
    if (FFd < 0) Fail(FError ? FError : EBADF);
    if (bytes.size() >= kDirect) {
        FlushBuffer();
        if (!WriteAll(FFd, bytes.data(), bytes.size())) Fail(errno);
        return;
    }
    if (FBuffer.capacity() < kChunk) FBuffer.reserve(kChunk + 4096);
    FBuffer.append(bytes);
    if (FBuffer.size() >= kChunk) FlushBuffer();
}

void TAtomicFileWriter::Commit() {
    if (FFd < 0) Fail(FError ? FError : EBADF);
    FlushBuffer();
    const bool inPlace = FTempName.empty();
    if (!inPlace && ::fsync(FFd) != 0) Fail(errno);
    const int fd = FFd;
    FFd = -1;
    if (::close(fd) != 0 && errno != EINTR) Fail(errno);
    if (inPlace) return;
    if (::rename(FTempName.c_str(), FTarget.c_str()) != 0) Fail(errno);
    FTempName.clear();
    ForgetTempName();
    // The rename itself reaches the disk with the folder.
    const fs::path target(FTarget);
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)::fsync(dfd);
        ::close(dfd);
    }
}

} // namespace zarvo
