#include "readers/ViewerPreview.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "support/ZarvoText.h"

namespace zarvo {

std::unique_ptr<TLineReader> TViewerSource::CreateReader() const {
    if (!ReaderClass)
        return std::make_unique<TCachedFileLineReader>(FileName, ReadBufferSize, LineBufferSize);
    return ReaderClass(FileName, 1024);
}

bool SourceFileExists(const std::string& name) {
    struct stat st {};
    return !name.empty() && ::stat(name.c_str(), &st) == 0;
}

void TPreviewLines::push_back(std::string_view line) {
    if (line.size() > UINT32_MAX) throw std::length_error("Line too long");
    if (line.size() > FRoom) {
        const size_t size = std::max(kBlockSize, line.size());
        FBlocks.push_back(std::make_unique<char[]>(size));
        FUsed = 0;
        FRoom = size;
    }
    if (!line.empty()) std::memcpy(FBlocks.back().get() + FUsed, line.data(), line.size());
    FRefs.push_back({static_cast<uint32_t>(FBlocks.size() - 1), static_cast<uint32_t>(FUsed),
                     static_cast<uint32_t>(line.size())});
    FUsed += line.size();
    FRoom -= line.size();
}

void TPreviewLines::clear() {
    FBlocks.clear();
    std::vector<TRef>().swap(FRefs);
    FUsed = FRoom = 0;
}

void TViewerPreview::Clear() {
    Lines.clear();
    Rows.clear();
    CutLines.clear();
    Columns.clear();
    Status.clear();
    Eof = false;
    Cancelled = false;
}

namespace {

// Bytes of a cut line's rest skipped between two looks at the stop flag.
constexpr int64_t kRestStep = int64_t{4} << 20;
// Lines read between two progress reports.
constexpr int64_t kProgressLines = 4096;

// Runs one step of reading the source, turning what it raises into Status.
template <class F> bool Reading(TRecordsRead& result, F step) {
    try {
        step();
        return true;
    } catch (const std::bad_alloc&) {
        result.Status = "Out of memory";
    } catch (const std::exception& e) {
        result.Status = e.what();
    }
    return false;
}

} // namespace

TRecordsRead ReadRecords(const TViewerSource& source, bool noHeader, int32_t maxLines, TCSVParser& parser,
                         TRecordSink& sink, bool probeEnd, const TReadControl& control) {
    TRecordsRead result;
    parser.Reset(true);
    if (!SourceFileExists(source.FileName)) {
        result.Status = Format("File \"%s\" does not exist.", source.FileName.c_str());
        return result;
    }
    std::unique_ptr<TLineReader> reader;
    if (!Reading(result, [&] { reader = source.CreateReader(); })) return result;
    const auto stopped = [&] {
        return control.Cancelled && control.Cancelled->load(std::memory_order_relaxed);
    };
    int64_t lines = 0;
    const auto report = [&] {
        if (control.Progress) control.Progress(reader->StreamPosition(), reader->StreamSize(), lines);
    };
    std::string line;
    bool open = false;       // the record of the last line goes on with the next one
    size_t recordLength = 0; // the text of that record, lines and joins
    for (int32_t i = noHeader ? 1 : 0; i <= maxLines; ++i) {
        bool end = false, cut = false;
        if (!Reading(result,
                     [&] {
                         // The rest of a cut line in steps, so that a stop is heard inside it.
                         while (!(result.Cancelled = stopped()) && !reader->SkipRest(kRestStep)) report();
                         if (result.Cancelled) return;
                         end = reader->EndOfLines();
                         if (end) return;
                         reader->ReadLine(line);
                         cut = reader->LineCut();
                     }) ||
            result.Cancelled) {
            if (open) sink.RecordEnd(parser);
            return result;
        }
        if (end) {
            result.Eof = true;
            break;
        }
        const bool newRecord = !open;
        if (open) {
            parser.ParseNextLine(line);
            recordLength += parser.LineBreakJoin().size() + line.size();
        } else {
            parser.ParseLine(line, csvUpdateDelimiter);
            recordLength = line.size();
        }
        if (cut && parser.FormatError() == csvNoCloseQuote) parser.CloseCut();
        sink.Line(i, line, newRecord, cut, parser);
        // A record that outgrows the cap ends there, and the next line starts the next one.
        open = !cut && parser.CellLineBreaks() && parser.FormatError() == csvNoCloseQuote &&
               recordLength < TCSVParser::kMaxRecordLength;
        if (!open) sink.RecordEnd(parser);
        if (++lines % kProgressLines == 0) report();
    }
    if (open) sink.RecordEnd(parser);
    if (!result.Eof && probeEnd) {
        // A failure here is not the lines' that were asked for: more may follow.
        TRecordsRead probe;
        Reading(probe, [&] { result.Eof = reader->EndOfLines(); });
    }
    report();
    return result;
}

namespace {

// The preview's sink: it keeps every line, where each record starts, and the
// column captions.
class TPreviewSink : public TRecordSink {
public:
    TPreviewSink(TViewerPreview& preview, const TViewerPreview::TParsed& parsed)
        : FPreview(preview), FParsed(parsed) {}
    void Line(int32_t number, const std::string& line, bool newRecord, bool cut,
              const TCSVParser& parser) override {
        std::vector<std::string>& columns = FPreview.Columns;
        for (size_t j = columns.size(); j < parser.ColumnCount(); ++j)
            columns.push_back(number == 0 ? std::string(parser.GetColumnValue(j))
                                          : Format("Column %zu", j + 1));
        if (FParsed) FParsed(number, parser);
        if (newRecord) FPreview.Rows.push_back(FPreview.Lines.size());
        if (cut) FPreview.CutLines.push_back(FPreview.Lines.size());
        FPreview.Lines.push_back(line);
    }
    void RecordEnd(const TCSVParser&) override {}

private:
    TViewerPreview& FPreview;
    const TViewerPreview::TParsed& FParsed;
};

} // namespace

bool TViewerPreview::Read(const TViewerSource& source, bool noHeader, TCSVParser& parser,
                          const TParsed& parsed, const TReadControl& control) {
    Header = !noHeader;
    Clear();
    TPreviewSink sink(*this, parsed);
    TRecordsRead result;
    try {
        result = ReadRecords(source, noHeader, MaxLines, parser, sink, false, control);
    } catch (const std::bad_alloc&) {
        // The lines kept by the sink ran out of memory.
        result.Status = "Out of memory";
    }
    Status = std::move(result.Status);
    Eof = result.Eof;
    Cancelled = result.Cancelled;
    return Status.empty();
}

bool TViewerPreview::LineCut(size_t i) const {
    return std::binary_search(CutLines.begin(), CutLines.end(), i);
}

bool TViewerPreview::RecordCut(size_t record) const {
    const auto [first, last] = RecordLines(record);
    return last > first && LineCut(last - 1);
}

std::pair<size_t, size_t> TViewerPreview::RecordLines(size_t record) const {
    if (record >= Rows.size()) return {Lines.size(), Lines.size()};
    return {Rows[record], record + 1 < Rows.size() ? Rows[record + 1] : Lines.size()};
}

std::string TViewerPreview::RecordText(size_t record, const TCSVParser& parser) const {
    const auto [first, last] = RecordLines(record);
    std::string text;
    for (size_t i = first; i < last; ++i) {
        if (i > first) text += parser.LineBreakJoin();
        text += Lines[i];
    }
    return text;
}

int64_t TViewerPreview::RowsFigure() const {
    const size_t n = Header && !Lines.empty() ? Lines.size() - 1 : Lines.size();
    return static_cast<int64_t>(n);
}

namespace {

size_t ItemCount(size_t count, bool header, bool eof) {
    if (eof) return header ? (count > 0 ? count - 1 : 0) : count;
    return header ? count : count + 1;
}

} // namespace

size_t TViewerPreview::ColumnsItemCount() const {
    if (!Status.empty()) return 1;
    return ItemCount(Rows.size(), Header, Eof);
}

size_t TViewerPreview::TextItemCount() const {
    if (!Status.empty()) return 1;
    return ItemCount(Lines.size(), Header, Eof);
}

int64_t CountRows(const TViewerSource& source, bool noHeader, const std::atomic<bool>& cancelled,
                  const TCountProgress& progress) {
    // The count reads text blocks of at least 128 KiB (past the cache, which gains
    // nothing there): the lines come out the same, with fewer system calls and
    // longer scans between refills.
    constexpr int32_t kCountBlock = 1 << 17;
    TViewerSource counting = source;
    counting.LineBufferSize = std::max({source.LineBufferSize, source.ReadBufferSize, kCountBlock});
    const std::unique_ptr<TLineReader> reader = counting.CreateReader();
    // A pseudo-file's size is what was read so far: asked anew each time.
    if (progress) progress(0, reader->StreamSize(), 0);
    int64_t count = 0;
    if (!noHeader && !reader->EndOfLines()) reader->GotoNextLine();
    // Lines go in batches: small enough for the abort to be seen at once and the
    // progress to move, large enough to cost nothing against the scan. A batch ends
    // early at a line cut at the cap, whose rest goes in steps of its own.
    constexpr int64_t kBatch = 4096;
    for (;;) {
        if (cancelled.load(std::memory_order_relaxed)) return -1;
        if (reader->SkipRest(kRestStep)) {
            if (reader->EndOfLines()) break;
            count += reader->SkipLines(kBatch);
        }
        if (progress) progress(reader->StreamPosition(), reader->StreamSize(), count);
    }
    if (cancelled.load(std::memory_order_relaxed)) return -1;
    if (progress) progress(reader->StreamPosition(), reader->StreamSize(), count);
    return count;
}

TRowCountResult CountRowsCatching(const TViewerSource& source, bool noHeader,
                                  const std::atomic<bool>& cancelled, const TCountProgress& progress) {
    TRowCountResult result;
    try {
        result.Rows = CountRows(source, noHeader, cancelled, progress);
    } catch (const EStreamError& e) {
        result.Error = std::string("EStreamError: ") + e.what();
    } catch (const std::bad_alloc&) {
        result.Error = "EOutOfMemory: Out of memory";
    } catch (const std::exception& e) {
        result.Error = std::string("Exception: ") + e.what();
    }
    return result;
}

} // namespace zarvo
