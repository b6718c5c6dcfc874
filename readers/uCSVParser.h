// Splits one line of delimiter-separated text into column values. The delimiter is
// found among a few candidates (",;|") unless set; values may be quoted, with a
// doubled quote (and, when asked, a backslash before it) standing for a quote;
// blanks around values are dropped. Broken quoting never raises: it is reported in
// FormatError and the line becomes one value, so a caller can join the next line
// to a record whose quoted cell holds a line break (ParseNextLine).
//
// The parse runs in place in one buffer of the parser's: the values are written
// over the copy of the line, each followed by a NUL; nothing is allocated per line
// once the buffer has grown to the longest line. A parse that ends inside quotes
// keeps where it stood, so that the next line of the record is read on from there
// instead of the whole record again: each line of a record is read once, however
// long the record grows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "readers/uLineReaderWriter.h"

namespace zarvo {

enum TCSVParseFlag : uint8_t {
    csvUpdateDelimiter = 1 << 0, // the delimiter a line reveals stays for the lines after it
    csvSkipBadFormat = 1 << 1,   // a line with broken quoting gives no values
    csvKeepQuotes = 1 << 2,      // quotes around values stay in them
    csvDetectEmail = 1 << 3,
    csvDetectUrl = 1 << 4,
    csvMultiQuotes = 1 << 5, // text after a closing quote continues the value
    csvDetectMD5 = 1 << 6,
};
using TCSVParseFlags = uint8_t;

enum TCSVFormatError { csvNoError, csvNoCloseQuote, csvDelimiterExpected };

// Where a value lies in the data string: Pos is a 0-based offset.
struct TCSVColumn {
    size_t Pos = 0;
    size_t Length = 0;
};
using TCSVColumnArray = std::vector<TCSVColumn>;

class TCSVParser {
public:
    // The longest record ReadParseLine (and the viewer) builds by joining lines for
    // an open quote: an unclosed quote near the top of a large file would otherwise
    // join the whole file into one text and parse it again for every line.
    static constexpr size_t kMaxRecordLength = size_t{1} << 20;

    explicit TCSVParser(int32_t maxColumns);
    TCSVParser(bool cellLineBreaks, bool replaceLineBreaks, const std::string& replaceLineBreaksWith,
               bool backslashEscapes, int32_t maxColumns);
    TCSVParser(TCSVParseFlags parseFlags, bool cellLineBreaks, bool replaceLineBreaks,
               const std::string& replaceLineBreaksWith, bool backslashEscapes, int32_t maxColumns);

    // Forgets the last parse; with resetDelimiter the next parse finds it anew.
    void Reset(bool resetDelimiter);

    // Parse s (with ParseFlags, or the flags given). Returns how many values the
    // line holds, which may exceed MaxColumns: only the first MaxColumns are kept.
    size_t ParseLine(std::string_view s) { return ParseLine(s, FParseFlags); }
    size_t ParseLine(std::string_view s, TCSVParseFlags flags);

    // Goes on with the record of the last parse, which ended inside quotes
    // (FormatError() is csvNoCloseQuote): the record so far, LineBreakJoin() and
    // line. The values, the count and FormatError are those ParseLine gives for that
    // whole text with the flags of the record's first line; only the new text is
    // read. Raises std::logic_error after any other parse.
    size_t ParseNextLine(std::string_view line);

    // The text of the last parse was cut short (a line longer than the reader's cap)
    // inside a quoted value: that value ends where the text ends, as if its quote
    // closed there, and the record is complete. Returns the number of values. Raises
    // std::logic_error after any parse that did not end inside quotes.
    size_t CloseCut();

    // Reads one record into s and parses it: with CellLineBreaks, lines are joined
    // (by "\r\n", or ReplaceLineBreaksWith) while the parse ends inside quotes,
    // until the record reaches kMaxRecordLength. A line cut at the reader's cap ends
    // the record, a quoted value it leaves open closed at the cut (CloseCut).
    size_t ReadParseLine(TLineReader& reader, std::string& s) {
        return ReadParseLine(reader, s, FParseFlags);
    }
    size_t ReadParseLine(TLineReader& reader, std::string& s, TCSVParseFlags flags);
    // The text that joins two lines of one record.
    std::string_view LineBreakJoin() const;

    // Value index (0-based, below ColumnCount); valid until the next parse.
    std::string_view GetColumnValue(size_t index) const;
    std::string_view ColumnValue(size_t index) const { return GetColumnValue(index); }
    // The value in qChar with each qChar inside doubled; an empty value gives two
    // qChar when quoteEmpty, else ""; a qChar of NUL gives the plain value.
    std::string GetQuotedColumnValue(size_t index, char qChar, bool quoteEmpty) const;
    std::string QuotedColumnValue(size_t index) const {
        return GetQuotedColumnValue(index, FQuoteChar, FQuoteEmptyColumn);
    }

    size_t ColumnCount() const;
    int32_t MaxColumns() const { return FMaxColumns; }
    // The values, each followed by a NUL (after a failed parse: the text as its one
    // value, or nothing with csvSkipBadFormat).
    std::string_view DataString() const;
    TCSVFormatError FormatError() const { return FFormatError; }

    const std::string& Delimiters() const { return FDelimiters; }
    void SetDelimiters(const std::string& v) { FDelimiters = v; }
    char Delimiter() const { return FDelimiter; }
    void SetDelimiter(char v) { FDelimiter = v; }
    bool TrimColumns() const { return FTrimColumns; }
    void SetTrimColumns(bool v) { FTrimColumns = v; }
    char QuoteChar() const { return FQuoteChar; }
    void SetQuoteChar(char v) { FQuoteChar = v; }
    bool QuoteEmptyColumn() const { return FQuoteEmptyColumn; }
    void SetQuoteEmptyColumn(bool v) { FQuoteEmptyColumn = v; }
    TCSVParseFlags ParseFlags() const { return FParseFlags; }
    void SetParseFlags(TCSVParseFlags v) { FParseFlags = v; }

    int32_t EmailColumnIndex() const { return FailedIndex(FEmailColumnIndex); }
    int32_t UrlColumnIndex() const { return FailedIndex(FUrlColumnIndex); }
    int32_t MD5ColumnIndex() const { return FailedIndex(FMD5ColumnIndex); }
    std::string_view Email() const;
    std::string_view Url() const;

    bool CellLineBreaks() const { return FCellLineBreaks; }
    void SetCellLineBreaks(bool v) { FCellLineBreaks = v; }
    bool ReplaceLineBreaks() const { return FReplaceLineBreaks; }
    void SetReplaceLineBreaks(bool v) { FReplaceLineBreaks = v; }
    const std::string& ReplaceLineBreaksWith() const { return FReplaceLineBreaksWith; }
    void SetReplaceLineBreaksWith(const std::string& v) { FReplaceLineBreaksWith = v; }
    bool BackslashEscapes() const { return FBackslashEscapes; }
    void SetBackslashEscapes(bool v) { FBackslashEscapes = v; }

private:
    // Where a parse stands: read and write offsets in the buffer, the value being
    // written, the values so far, the delimiter in force (found on this line or
    // before), the flags, and whether the last byte read inside quotes was a
    // backslash taken as itself (a quote after it on the next line makes it an escape).
    struct TScan {
        size_t Read = 0, Write = 0, ValueStart = 0, Count = 0;
        char Delimiter = 0;
        TCSVParseFlags Flags = 0;
        bool Backslash = false;
    };
    // The steps of Scan over one line (uCSVParser.cpp).
    class TLineScan;
    // How a failed parse shows: the whole text as one value, or nothing.
    enum class TFailView : uint8_t { None, Whole, Empty };

    // The rest of a quoted value from buf[r] on, written at buf[w]: true past its
    // closing quote, false at len with the quote still open; backslash tells a
    // backslash taken as itself last.
    bool ScanQuoted(char* buf, size_t len, size_t& r, size_t& w, bool& backslash) const;
    // Parses the buffer from st on; resume: st stands inside a quoted value.
    size_t Scan(TScan st, bool resume);
    void Record(size_t pos, size_t length, TCSVParseFlags flags);
    // Reports error; the values so far stay behind the failed view (FWhole holds the
    // record's text), and a parse that ended inside quotes can go on from st.
    size_t Fail(const TScan& st, TCSVFormatError error);
    void ClearDetected();
    int32_t FailedIndex(int32_t index) const {
        return FFailView == TFailView::None ? index : FFailView == TFailView::Empty ? -1 : std::min(index, 0);
    }

    int32_t FMaxColumns;
    TCSVColumnArray FColumns;
    size_t FColumnCount = 0;
    std::string FDelimiters = ",;|";
    char FDelimiter = 0;
    bool FTrimColumns = true;
    char FQuoteChar = '"';
    bool FQuoteEmptyColumn = false;
    std::string FDataString = std::string(256, '\0');
    size_t FDataStringLength = 0;
    int32_t FEmailColumnIndex = -1, FUrlColumnIndex = -1, FMD5ColumnIndex = -1;
    TCSVParseFlags FParseFlags = 0;
    bool FCellLineBreaks = false;
    bool FReplaceLineBreaks = false;
    std::string FReplaceLineBreaksWith;
    bool FBackslashEscapes = false;
    TCSVFormatError FFormatError = csvNoError;
    TFailView FFailView = TFailView::None;
    std::string FWhole; // after a failed parse: the record's text, its one value
    bool FOpen = false; // the last parse ended inside quotes, at FOpenAt
    TScan FOpenAt;
};

} // namespace zarvo
