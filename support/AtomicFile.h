// Replacing a file whole or not at all: every file the system writes (settings,
// saved lists, zarvo-cli generate -o) goes through here, so that a full disk, a
// crash or a run that fails part-way never leaves a half-written file in place
// of the old one.
#pragma once

#include <string>
#include <string_view>

namespace zarvo {

// Writes into a temporary file in the target's folder; Commit flushes it to disk
// and renames it over the target. Until then the old file (if any) is untouched,
// and a writer destroyed without Commit removes its temporary file.
// - Through a symbolic link the file it names is replaced, not the link.
// - The new file keeps the old one's permission bits; a new file gets 0666 less
//   the umask, as any created file does.
// - A target that is a device, pipe or socket (say /dev/null) is written in place:
//   there is no file there to keep whole.
// - While a writer is open its temporary file is known to the handlers of
//   RemoveTemporaryFilesOnTermination, which remove it when the process is ended.
// Every failure raises "Cannot create file "PATH". REASON" with the path as given
// and removes the temporary file; the writer cannot be used after it.
class TAtomicFileWriter {
public:
    explicit TAtomicFileWriter(const std::string& path);
    ~TAtomicFileWriter();
    TAtomicFileWriter(const TAtomicFileWriter&) = delete;
    TAtomicFileWriter& operator=(const TAtomicFileWriter&) = delete;

    // Buffered; the bytes reach the file in large pieces.
    void Write(std::string_view bytes);
    // Flush, fsync, close, rename over the target, fsync the folder.
    void Commit();

    const std::string& Path() const { return FPath; }
    // The errno of the failure that ended the writer; 0 while none did.
    int Error() const { return FError; }

private:
    [[noreturn]] void Fail(int err);
    void FlushBuffer();
    void Discard() noexcept;
    void ForgetTempName() noexcept;

    std::string FPath;     // as given, for messages
    std::string FTarget;   // the file replaced: the path, or what its link names
    std::string FTempName; // empty when writing in place or once renamed
    std::string FBuffer;
    int FFd = -1;
    int FError = 0;     // the errno of the failure that ended the writer
    int FTempSlot = -1; // where the signal handlers find FTempName; -1: none
};

// For a program that SIGINT or SIGTERM may end part-way (zarvo-cli): installs
// handlers that remove the temporary file of every writer still open, so that an
// interrupted run leaves no hidden file behind and the targets as they were, and
// then end the process by the same signal, as its default action would (the shell
// sees 130 or 143). The handlers are async-signal-safe and may run on any thread. A
// signal the process was started with ignored (a background job) stays ignored.
void RemoveTemporaryFilesOnTermination();

} // namespace zarvo
