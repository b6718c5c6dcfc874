// What the file viewer shows, without the window: the preview (the first lines of a
// source, split into CSV records and column captions) and the row count, which a
// window runs on a worker thread with progress and an abort flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "readers/uCSVParser.h"
#include "readers/uLineReaderWriter.h"

namespace zarvo {

// The source of a view: a file and the reader class to read it with. An empty
// class reads the file through a TCachedFileLineReader with the two sizes.
struct TViewerSource {
    std::string FileName;
    TLineReaderClass ReaderClass = {};
    int32_t ReadBufferSize = 65536; // the cache block
    int32_t LineBufferSize = 1024;  // the text block

    std::unique_ptr<TLineReader> CreateReader() const;
};

// "File "%s" does not exist." unless name names something.
bool SourceFileExists(const std::string& name);

// Who gets what reading a source gives, as it comes: the preview keeps it, the
// command line prints it and keeps nothing.
class TRecordSink {
public:
    virtual ~TRecordSink() = default;
    // After each line's parse: the line's number (0 for a header), the line, whether
    // it starts a record, whether it was longer than the reader's cap and cut there
    // (it then ends its record, and a quoted value it left open ends at the cut), and
    // the parser holding the record so far.
    virtual void Line(int32_t number, const std::string& line, bool newRecord, bool cut,
                      const TCSVParser& parser) = 0;
    // The record of the last line is complete, and the parser holds it parsed whole:
    // its quotes closed, its last line cut, it reached TCSVParser::kMaxRecordLength,
    // or reading ended (the end of the source, the line limit, a failure, a stop).
    virtual void RecordEnd(const TCSVParser& parser) = 0;
};

// Called now and then while reading: bytes read of the source's size, lines so far.
using TCountProgress = std::function<void(int64_t position, int64_t size, int64_t count)>;

// What a read on a worker thread is given: a flag that stops it soon after it is
// set (also inside the rest of a line of gigabytes), and where it reports.
struct TReadControl {
    const std::atomic<bool>* Cancelled = nullptr;
    TCountProgress Progress;
};

struct TRecordsRead {
    std::string Status;     // why reading failed; empty otherwise
    bool Eof = false;       // the source ended within the limit (or, when asked, right after it)
    bool Cancelled = false; // the control's flag stopped it
};

// Reads up to maxLines lines of source, not counting a header line unless noHeader,
// splitting them into records as the viewer does: each line parsed with
// csvUpdateDelimiter (the first delimiter found stays in the parser), and with the
// parser's CellLineBreaks a line that leaves a quote open joined with the next, each
// line read once. A line longer than the reader's cap is one line, cut (see
// TRecordSink::Line). The parser's delimiter is found anew. Failures end reading with
// Status (what the sink raises passes through). With probeEnd a read that reached
// the limit looks whether the source ends there; without it Eof stays false then.
TRecordsRead ReadRecords(const TViewerSource& source, bool noHeader, int32_t maxLines, TCSVParser& parser,
                         TRecordSink& sink, bool probeEnd = false, const TReadControl& control = {});

// The preview's lines, kept in large blocks rather than one allocation each: a
// line costs its text and 12 bytes, and a million of them go in a few frees.
class TPreviewLines {
public:
    void push_back(std::string_view line);
    std::string_view operator[](size_t i) const {
        const TRef& r = FRefs[i];
        return {FBlocks[r.Block].get() + r.Offset, r.Length};
    }
    std::string_view front() const { return (*this)[0]; }
    size_t size() const { return FRefs.size(); }
    bool empty() const { return FRefs.empty(); }
    void clear();

private:
    static constexpr size_t kBlockSize = size_t{1} << 20;
    struct TRef {
        uint32_t Block, Offset, Length;
    };
    std::vector<std::unique_ptr<char[]>> FBlocks;
    size_t FUsed = 0, FRoom = 0; // of the last block
    std::vector<TRef> FRefs;
};

class TViewerPreview {
public:
    static constexpr int32_t kDefaultMaxLines = 1000;

    int32_t MaxLines = kDefaultMaxLines; // lines read, not counting a header line

    // After Read:
    bool Header = false;              // the first line is a header
    TPreviewLines Lines;              // the raw lines read, header line included
    std::vector<size_t> Rows;         // per record (header included): index of its first line
    std::vector<size_t> CutLines;     // the lines cut at the reader's cap, in order
    std::vector<std::string> Columns; // the column captions
    std::string Status;               // why reading failed; empty otherwise
    bool Eof = false;                 // the source ended within the preview
    bool Cancelled = false;           // a stop ended the read; the lines read so far stay

    // Called after each line's parse while reading, with the line's number (0 for
    // a header) and the parser holding the record so far: a window measures its
    // column widths here.
    using TParsed = std::function<void(int32_t lineNumber, const TCSVParser& parser)>;

    // Reads the preview from the start of source; the parser's delimiter is found
    // anew and stays in it for RecordText's parses. False (with Status) when the
    // file is missing or reading failed; the lines read before a failure stay, as
    // do those read before control's flag stopped it (true, with Cancelled).
    bool Read(const TViewerSource& source, bool noHeader, TCSVParser& parser, const TParsed& parsed = {},
              const TReadControl& control = {});
    void Clear();

    // The record's text: its lines joined as the parser's options say.
    std::string RecordText(size_t record, const TCSVParser& parser) const;
    // The lines of record (first, one past the last).
    std::pair<size_t, size_t> RecordLines(size_t record) const;
    // Whether line i was cut at the reader's cap; whether record's last line was
    // (then the record's last value is the one cut short).
    bool LineCut(size_t i) const;
    bool RecordCut(size_t record) const;

    // The "Rows:" figure (it counts lines), and whether a "+" and "Count Rows..." go with it.
    int64_t RowsFigure() const;
    bool More() const { return Status.empty() ? !Eof : !Eof && !Lines.empty(); }
    // Items of the two list views, a "..." item included when more lines follow;
    // 1 (the status item) when reading failed.
    size_t ColumnsItemCount() const;
    size_t TextItemCount() const;
    // Whether item k of the views stands for read data (else it is "...").
    bool IsColumnsRecordItem(size_t k) const { return k + (Header ? 1 : 0) < Rows.size(); }
    bool IsTextLineItem(size_t k) const { return k + (Header ? 1 : 0) < Lines.size(); }
};

// The rows as "Count Rows..." counts them: the lines of the source, less a header
// line unless noHeader (with or without cell line breaks: the figure it replaces
// counts lines too; a line cut at the cap is one). Returns -1 when cancelled became
// true; raises what reading raises. Memory stays at one cache block and one line.
int64_t CountRows(const TViewerSource& source, bool noHeader, const std::atomic<bool>& cancelled,
                  const TCountProgress& progress = {});

// The same for a worker thread: never raises; Rows is -1 when cancelled or failed,
// and Error then holds the failure as "TYPE: MESSAGE".
struct TRowCountResult {
    int64_t Rows = -1;
    std::string Error;
};
TRowCountResult CountRowsCatching(const TViewerSource& source, bool noHeader,
                                  const std::atomic<bool>& cancelled, const TCountProgress& progress = {});

} // namespace zarvo
