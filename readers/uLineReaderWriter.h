// The line source of the file viewer. A reader works in one of two modes, fixed
// when it is made: over a byte stream (decoded and split into lines by a
// TStreamReaderEx of its own) or over a list of strings held in memory ("lines
// mode"). Sources that produce their own lines, such as a database rendered as
// CSV, build a list and use lines mode.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "support/StringList.h"
#include "readers/Stream.h"
#include "readers/StreamReaderExUnit.h"

namespace zarvo {

class TLineReader {
public:
    static constexpr int32_t kDefaultBufferSize = 1024;

    // Stream mode over stream, read in blocks of bufferSize bytes (0 or less:
    // kDefaultBufferSize); with ownsStream the reader frees it.
    TLineReader(TStream* stream, int32_t bufferSize, bool ownsStream);
    // Stream mode over a file read without a cache.
    TLineReader(const std::string& filename, int32_t bufferSize);
    // Lines mode over a string list; with ownsLines the reader frees it.
    TLineReader(TStringList* lines, bool ownsLines);
    virtual ~TLineReader();
    TLineReader(const TLineReader&) = delete;
    TLineReader& operator=(const TLineReader&) = delete;

    // The next line without its terminator; "" at the end (LineIndex unchanged).
    std::string ReadLine();
    // The same into line, reusing its memory.
    void ReadLine(std::string& line);
    // Consumes one line without building its text; nothing at the end.
    void GotoNextLine();
    // GotoNextLine up to maxLines times, faster; returns the lines consumed (fewer
    // at the end, and after a line cut at the cap: see SkipRest).
    int64_t SkipLines(int64_t maxLines);
    bool EndOfLines();
    // Whether the last line read or skipped was longer than the cap and cut there
    // (its rest is skipped: such a line is one line however long).
    bool LineCut() const;
    // Skips at most about maxBytes of the rest of a cut line; true once none is left.
    // Everything else finishes the rest at once; a caller with a stop flag to look
    // at calls this first, in steps.
    bool SkipRest(int64_t maxBytes);
    int64_t LineIndex() const { return FLineIndex; }
    // Byte position and size for progress; 0 in lines mode. The position runs
    // ahead of the lines given by what the text reader holds.
    int64_t StreamPosition() const;
    int64_t StreamSize() const;
    // Frees (or forgets) the source; the reader is then at its end.
    void Close();

    TStreamReaderEx* StreamReader() const { return FStreamReader.get(); }

    bool ThreadSafe() const { return FThreadSafe; }
    void SetThreadSafe(bool v) { FThreadSafe = v; }

protected:
    // For subclasses that build their source before choosing the mode.
    TLineReader() = default;
    void InitStream(TStream* stream, int32_t bufferSize, bool ownsStream);
    void InitLines(TStringList* lines, bool ownsLines);

private:
    TStream* FStream = nullptr;
    bool FOwnsStream = false;
    TStringList* FLines = nullptr;
    bool FOwnsLines = false;
    std::unique_ptr<TStreamReaderEx> FStreamReader;
    int64_t FLineIndex = 0;
    bool FThreadSafe = false;
    std::mutex FCS;
};

// Makes a reader of some class from a file name and a buffer size.
using TLineReaderClass =
    std::function<std::unique_ptr<TLineReader>(const std::string& filename, int32_t bufferSize)>;

// A reader over a file through a TReadOnlyCachedFileStream of cacheSize bytes.
class TCachedFileLineReader : public TLineReader {
public:
    TCachedFileLineReader(const std::string& filename, int32_t cacheSize, int32_t bufferSize);
    // The reader class, for callers that keep one: the cache size it gives is
    // cacheSize, the buffer size the one asked for.
    static TLineReaderClass ReaderClass(int32_t cacheSize = 65536);
};

} // namespace zarvo
