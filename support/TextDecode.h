// Decoding of the text files a user hands the system (range files, standard
// input, the settings file, the files shown in the viewer): a byte-order mark
// selects UTF-8 or UTF-16 LE/BE, text without one is UTF-8, and ill-formed
// sequences become U+FFFD, so that any bytes give text and nothing of a file is
// lost to a bad character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

enum class TTextEncoding { Utf8, Utf16LE, Utf16BE };

// The encoding a leading byte-order mark names and the mark's length in bytes;
// UTF-8 with length 0 when there is none.
struct TByteOrderMark {
    TTextEncoding Encoding = TTextEncoding::Utf8;
    size_t Size = 0;
};
TByteOrderMark DetectByteOrderMark(std::string_view bytes);

// One rule for ill-formed UTF-8 wherever the system decodes text (files, standard
// input, database strings): each maximal subpart of an ill-formed sequence becomes
// one U+FFFD, as the Unicode standard recommends and WHATWG decoders and Python's
// "replace" do. A maximal subpart is a lead byte and the continuation bytes it
// admits, up to the first byte it does not admit, which starts anew: "\xE0\x80\xAF"
// (overlong) and "\xED\xA0\x80" (a surrogate) are three U+FFFD each, "\xE2\x82"
// (cut short) is one, a byte that never leads is one.

// UTF-8 with that rule applied.
std::string SanitizeUtf8(std::string_view bytes);
// UTF-16 in the given byte order to UTF-8; a lone surrogate or an odd last byte
// becomes U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian);

// Whether bytes are well-formed UTF-8 (ASCII is checked eight bytes at a time).
bool IsWellFormedUtf8(std::string_view bytes);
// Sets out to SanitizeUtf8(bytes); well-formed bytes are assigned as they are.
void AssignUtf8Replacing(std::string& out, std::string_view bytes);

// SanitizeUtf8 appending to out (which keeps its memory for the next line).
void AppendSanitizedUtf8(std::string& out, std::string_view bytes);
// The bytes at the start of bytes that SanitizeUtf8 turns into one character: a
// well-formed sequence, or a maximal subpart that one U+FFFD replaces (at most 3
// bytes, never a byte below 0x80 after the first); 0 for no bytes. Text cut between
// two steps decodes in pieces as it does whole; a CR, LF or NUL byte is always a
// step of its own, so text may be cut at them too. A step is only known once up to
// 4 bytes are in view (or the text ends).
size_t Utf8StepLength(std::string_view bytes);
// Utf16ToUtf8 for text that arrives in blocks: appends the UTF-8 of bytes to out and
// returns how many bytes it took. Unless final, a character cut short by the end
// (an odd byte, a high surrogate) is left untaken, to be passed again in front of
// the next block, so the text decodes as it would in one piece.
size_t AppendUtf16AsUtf8(std::string& out, std::string_view bytes, bool bigEndian, bool final);

// The bytes of a whole file as UTF-8, without its byte-order mark.
std::string DecodeText(std::string_view bytes);
// The same, taking the bytes' buffer: UTF-8 without a malformed sequence is
// returned in it, anything else is decoded into a new buffer and the old one freed
// before returning, so that a large file is not held twice for longer than needed.
std::string DecodeTextBuffer(std::string bytes);

// Calls f(start, length) for each line of text, split as SplitLines does.
template <typename F> void ForEachLine(std::string_view text, F f) {
    size_t start = 0;
    while (start < text.size()) {
        // A plain loop: find_first_of calls memchr on the two breaks for every character.
        size_t end = start;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
        f(start, end - start);
        start = end;
        if (start < text.size() && text[start] == '\r') ++start;
        if (start < text.size() && text[start] == '\n') ++start;
    }
}

// Splits text at CR LF, LF or CR; a final line break adds no empty line. Lines
// longer than maxLine bytes are dropped.
std::vector<std::string> SplitLines(std::string_view text, size_t maxLine = SIZE_MAX);

// DecodeText, then SplitLines.
std::vector<std::string> DecodeTextLines(std::string_view bytes, size_t maxLine = SIZE_MAX);

// The lines of a text of any length, read piece by piece as DecodeTextLines would
// split them (the encoding decided by the first bytes), holding only one piece
// and one line at a time: a stream without a line break (/dev/zero) cannot grow
// memory past the line cap. A line may hold at most maxLine units as stored:
// bytes in UTF-8, code units in UTF-16.
class TTextLineReader {
public:
    // Fills data with up to size bytes and returns how many; 0 at the end of the
    // text. A read error is raised from here and passes through Next.
    using TSource = std::function<size_t(char* data, size_t size)>;
    enum class TResult { Line, End, TooLong };

    TTextLineReader(TSource source, size_t maxLine);
    // An ASCII character that ends an item within a line as a line break ends a line:
    // a list saved with "," or ";" between its lines reads back item by item, each
    // capped as a line is; Next and NextLines then give items.
    void SetSeparator(char separator) { FSeparator = separator; }
    // The next line, decoded to UTF-8, into line. After TooLong (a line with more
    // than maxLine units) or End every call gives End.
    TResult Next(std::string& line);
    // Many lines at once, as that many calls of Next would give them: appends each line
    // and a LF to text, and the offset of that LF to ends, until ends has maxLines
    // entries, text holds maxText bytes or more, or Next would give End or TooLong,
    // which is then given (Line otherwise). Plain ASCII lines that end in a LF are taken
    // many at a time.
    TResult NextLines(std::string& text, std::vector<uint32_t>& ends, size_t maxLines, size_t maxText);
    // The 1-based number of the line Next gave or refused last.
    uint64_t LineNumber() const { return FLineNumber; }
    // With a separator: the 1-based number of that item within its line.
    uint64_t ItemNumber() const { return FItemNumber; }
    // What the first bytes chose; known once Next has been called.
    TTextEncoding Encoding() const { return FEncoding; }

private:
    bool Fill();
    TResult Utf8Line(std::string& line);
    TResult Utf16Line(std::string& line);
    void EndItem(char end); // the character that ended the item

    std::string_view Pending() const { return {FPiece.data() + FPos, FEnd - FPos}; }

    TSource FSource;
    size_t FMaxLine;
    std::vector<char> FPiece; // one piece of the source; [FPos, FEnd) is not yet taken
    size_t FPos = 0, FEnd = 0;
    std::string FRaw; // the current line as stored
    TTextEncoding FEncoding = TTextEncoding::Utf8;
    bool FStarted = false, FDone = false, FEndOfSource = false, FAfterCR = false;
    // A line break while none is set, so that the scans need no second test.
    char FSeparator = '\n';
    bool FAtSeparator = false; // the last item ended at the separator: its line goes on
    uint64_t FLineNumber = 0, FItemNumber = 0;
};

} // namespace zarvo
