// A text reader over a byte stream: reads the stream in blocks, lets a byte-order
// mark choose the decoding (UTF-8, UTF-16 LE or BE; UTF-8 without one) and splits
// the text into lines of UTF-8, malformed bytes becoming U+FFFD and a character cut
// by a block edge decoded whole. A line ends at CR LF, CR or LF and, with
// SkipLineNullChars, where a run of NUL characters starts or ends (a run reads as one
// empty line). A line longer than the length cap is cut there: it comes back as its
// first TruncLineLength characters, LastLineCut() says so, and the rest of it up to
// its end is skipped, so that it stays one line however long it is.
//
// UTF-8 stays as read in the buffer and is made valid line by line when a line is
// taken: CR, LF and NUL never occur inside a character, so the lines split the same,
// and skipping a line (row counting) costs no decoding. UTF-16 is turned into UTF-8
// block by block. Memory: one block plus the current line, which the cap bounds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/TextDecode.h"
#include "readers/Stream.h"

namespace zarvo {

class TStreamReaderEx {
public:
    static constexpr int32_t kMinBufferSize = 128;
    static constexpr int32_t kDefaultTruncLineLength = 65535;

    // bufferSize: bytes read from the stream per block, at least kMinBufferSize.
    // Without detectBOM, a leading mark of encoding itself is skipped. Raises
    // "Stream" (an argument error) when stream is null.
    TStreamReaderEx(TStream* stream, TTextEncoding encoding = TTextEncoding::Utf8, bool detectBOM = true,
                    int32_t bufferSize = 1024);
    ~TStreamReaderEx();
    TStreamReaderEx(const TStreamReaderEx&) = delete;
    TStreamReaderEx& operator=(const TStreamReaderEx&) = delete;

    // The reader frees the stream on Close from now on.
    void OwnStream() { FOwnsStream = true; }
    // Frees the character buffer (and the stream if owned); the reader is then at its end.
    void Close();

    // The next line without its break; "" at the end.
    std::string ReadLine();
    // The same into line, reusing its memory; returns the line's length in bytes.
    size_t ReadLineBuffer(std::string& line);
    // Skips one line without building it.
    void GotoNextLine();
    // Skips up to maxLines lines as GotoNextLine would, many at a time; returns how
    // many: fewer at the end, and after a line cut at the cap, whose rest is left
    // for SkipRest.
    int64_t SkipLines(int64_t maxLines);
    bool EndOfStream();
    // Whether the last line read or skipped was text cut at the cap (a run of NULs,
    // read as an empty line, never is).
    bool LastLineCut() const { return FLastCut; }
    // Skips what is left of a line cut at the cap, at most about maxBytes of it per
    // call; true once nothing is left. Reading, skipping and EndOfStream finish the
    // rest themselves: a caller that must stay responsive (a file of one line of
    // gigabytes) calls this first and looks at its own stop flag between the calls.
    bool SkipRest(size_t maxBytes = SIZE_MAX);
    // Forgets the decoded text, for a caller that repositions the stream.
    void DiscardBufferedData();

    TStream* BaseStream() const { return FStream; }
    TTextEncoding CurrentEncoding() const { return FEncoding; }
    // The longest line in characters (code points); 0 or less: no cap.
    int32_t TruncLineLength() const { return FTruncLineLength; }
    void SetTruncLineLength(int32_t v) { FTruncLineLength = v; }
    bool SkipLineNullChars() const { return FSkipLineNullChars; }
    void SetSkipLineNullChars(bool v) { FSkipLineNullChars = v; }

private:
    // The end of the line that starts at FBufferedStartIndex and where the next one
    // begins; nul tells a line of NULs. Both equal the buffer's size at the end.
    void FindLineEnd(size_t& end, size_t& next, bool& nul);
    // The line reached the cap after length bytes: it ends there, and whatever
    // follows up to its real end is its rest (unless a break or the end is next).
    void EndAtCap(size_t length, bool nul, size_t& end, size_t& next);
    // Skips the lines that end inside the buffer, as far as a plain scan can tell
    // them (no NUL, short of the cap), at most maxLines (rounded down to 64).
    size_t SkipWholeLines(size_t maxLines);
    // Reads and decodes one block behind the buffered text, first dropping what has
    // been consumed. Returns false when the stream had nothing more.
    bool Refill();

    // Room for more in FBufferedData; the old text moves to the front first.
    char* Reserve(size_t more);

    // The text: UTF-8 as read, or UTF-16 turned into UTF-8.
    std::unique_ptr<char[]> FBufferedData;
    size_t FBufferedLength = 0, FBufferedCapacity = 0;
    size_t FBufferedStartIndex = 0;
    int32_t FBufferSize;
    bool FDetectBOM;
    TTextEncoding FEncoding;
    bool FNoDataInStream = false;
    bool FOwnsStream = false;
    bool FSkipPreamble;
    bool FClosed = false;
    TStream* FStream;
    int32_t FTruncLineLength = kDefaultTruncLineLength;
    bool FSkipLineNullChars = true;
    bool FLastCut = false;     // the last line taken was cut at the cap
    bool FRestPending = false; // ... and its rest is still to be skipped
    bool FRestNul = false;     // that line is a run of NULs (its rest ends at the first other byte)
    std::vector<char> FBlock;  // UTF-16: the bytes of one block, behind a cut character's first bytes
    size_t FCarry = 0;         // UTF-16: bytes of a cut character waiting at the start of FBlock
    std::string FDecoded;      // UTF-16: one block as UTF-8
};

} // namespace zarvo
