#include "viewer/ViewerPreview.h"

#include <sys/stat.h>

#include <algorithm>
#include <new>

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

void TViewerPreview::Clear() {
    Lines.clear();
    Rows.clear();
    Columns.clear();
    Status.clear();
    Eof = false;
}

bool TViewerPreview::Read(const TViewerSource& source, bool noHeader, TCSVParser& parser,
                          const TParsed& parsed) {
    Header = !noHeader;
    Clear();
    parser.Reset(true);
    if (!SourceFileExists(source.FileName)) {
        Status = Format("File \"%s\" does not exist.", source.FileName.c_str());
        return false;
    }
    try {
        const std::unique_ptr<TLineReader> reader = source.CreateReader();
        std::string line, record;
        bool newRecord = true;
        for (int32_t i = Header ? 0 : 1; i <= MaxLines; ++i) {
            if (reader->EndOfLines()) {
                Eof = true;
                break;
            }
            reader->ReadLine(line);
            const std::string* text = &line;
            if (parser.CellLineBreaks()) {
                // A record that outgrows the cap ends there, and the line starts the next one.
                if (newRecord || record.size() >= TCSVParser::kMaxRecordLength) {
                    record = line;
                    newRecord = true;
                } else {
                    record += parser.LineBreakJoin();
                    record += line;
                }
                text = &record;
            }
            parser.ParseLine(*text, csvUpdateDelimiter);
            for (size_t j = Columns.size(); j < parser.ColumnCount(); ++j)
                Columns.push_back(i == 0 ? std::string(parser.GetColumnValue(j))
                                         : Format("Column %zu", j + 1));
            if (parsed) parsed(i, parser);
            if (newRecord) Rows.push_back(Lines.size());
            Lines.push_back(line);
            if (parser.CellLineBreaks()) newRecord = parser.FormatError() != csvNoCloseQuote;
        }
    } catch (const std::bad_alloc&) {
        Status = "Out of memory";
        return false;
    } catch (const std::exception& e) {
        Status = e.what();
        return false;
    }
    return true;
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
    const int64_t size = reader->StreamSize();
    if (progress) progress(0, size, 0);
    int64_t count = 0;
    if (!noHeader && !reader->EndOfLines()) reader->GotoNextLine();
    // Lines go in batches: small enough for the abort to be seen at once and the
    // progress to move, large enough to cost nothing against the scan.
    constexpr int64_t kBatch = 4096;
    while (!reader->EndOfLines()) {
        if (cancelled.load(std::memory_order_relaxed)) return -1;
        count += reader->SkipLines(kBatch);
        if (progress) progress(reader->StreamPosition(), size, count);
    }
    if (cancelled.load(std::memory_order_relaxed)) return -1;
    if (progress) progress(reader->StreamPosition(), size, count);
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
