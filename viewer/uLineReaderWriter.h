// The line source of the file viewer. A reader works in one of two modes, fixed
// when it is made: over a byte stream (decoded and split into lines) or over a
// list of strings held in memory ("lines mode"). Sources that produce their own
// lines, such as a database rendered as CSV, build a list and use lines mode.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "support/StringList.h"

namespace zarvo {

class TLineReader {
public:
    // Lines mode over a string list; with ownsLines the reader frees it.
    TLineReader(TStringList* lines, bool ownsLines);
    virtual ~TLineReader();
    TLineReader(const TLineReader&) = delete;
    TLineReader& operator=(const TLineReader&) = delete;

    // The next line without its terminator; "" at the end (LineIndex unchanged).
    std::string ReadLine();
    // Consumes one line without building its text; nothing at the end.
    void GotoNextLine();
    bool EndOfLines() const;
    int32_t LineIndex() const { return FLineIndex; }
    // Byte position and size for progress; 0 in lines mode.
    int64_t StreamPosition() const;
    int64_t StreamSize() const;
    // Frees (or forgets) the source; the reader is then at its end.
    void Close();

    bool ThreadSafe() const { return FThreadSafe; }
    void SetThreadSafe(bool v) { FThreadSafe = v; }

protected:
    // For subclasses that build their lines before choosing the mode.
    TLineReader() = default;
    void InitLines(TStringList* lines, bool ownsLines);

private:
    TStringList* FLines = nullptr;
    bool FOwnsLines = false;
    int32_t FLineIndex = 0;
    bool FThreadSafe = false;
    std::mutex FCS;
};

// Makes a reader of some class from a file name and a buffer size.
using TLineReaderClass =
    std::function<std::unique_ptr<TLineReader>(const std::string& filename, int32_t bufferSize)>;

} // namespace zarvo
