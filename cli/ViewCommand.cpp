// zarvo-cli view: prints the records of the viewer's preview, or counts the rows
// as the viewer's "Count Rows..." does.
#include "cli/ViewCommand.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <string_view>

#include "cli/ZarvoCli.h"
#include "mmdb/uMMDBLineReader.h"
#include "mmdb/uMMDBReader.h"
#include "readers/StreamReaderExUnit.h"
#include "readers/ViewerPreview.h"
#include "support/ZarvoText.h"

namespace zarvo::cli {

namespace {

const char* const kUsage = R"(Usage: zarvo-cli view [OPTIONS] FILE

Prints what the file viewer shows of a CSV or text file: the first lines, split
into records and fields as the viewer splits them, one record a line, its fields
separated by tabs (a backslash, tab, line feed or carriage return inside a field
is written as \\, \t, \n or \r). Each record is written as soon as it is read,
so any --max runs in a few MB. The first record is the header unless
--no-header; the delimiter is the first of , ; | found. When more lines follow
than were read, a note says so on standard error. The file is read as UTF-8
(each ill-formed part of a sequence shown as one U+FFFD), or UTF-16 after a
byte-order mark. A line longer than 65535 characters is one record, cut there
(a quoted field open at the cut ends with it), and is named on standard error.
A file whose size says nothing of its length (/proc/cpuinfo) is read to its end.
A file named ".csv" or ".txt" is text. A MaxMind DB file (".mmdb", or another
name by its content, when it opens as a database) is shown as the viewer shows
a database: metadata lines, a header and rows, at most 1000 lines, none of them
taken as a header.

)";

const char* const kEpilogue = R"(
Exit status: 0 on success, 1 when the file cannot be read (the message goes to
standard error, after the records read before the failure), 2 for bad options.

Examples:
  zarvo-cli view data.csv
  zarvo-cli view --max 20 --no-header --cell-line-breaks export.csv
  zarvo-cli view --count big.csv
  zarvo-cli view GeoLite2-Country.mmdb | cut -f1,4
)";

} // namespace

std::vector<TOption> ViewOptions(TViewArgs& a) {
    return {
        {.Section = "Options:",
         .Long = "--max",
         .ValueName = "N",
         .Kind = TOptionKind::UInt,
         .Help = "read at most N lines, not counting the header line (1 to 2147483647; default 1000)",
         .Examples = {{"--max", "50"}},
         .Set =
             [&a](const TOptionValue& v) {
                 if (v.Number < 1 || v.Number > 2147483647) throw TUsageError("--max takes 1 to 2147483647");
                 a.Max = static_cast<int32_t>(v.Number);
             }},
        {.Long = "--no-header",
         .Help = "the first line is a record like the others",
         .Set = [&a](const TOptionValue&) { a.NoHeader = true; }},
        {.Long = "--cell-line-breaks",
         .Help =
             "a quoted field may hold line breaks: a line that leaves a quote open is joined with the next "
             "(by CR LF)",
         .Set = [&a](const TOptionValue&) { a.CellLineBreaks = true; }},
        {.Long = "--backslash-escapes",
         .Help = "inside quotes, \\\" stands for a quote as \"\" does",
         .Set = [&a](const TOptionValue&) { a.BackslashEscapes = true; }},
        {.Long = "--count",
         .Help =
             "print the number of rows instead, as the viewer's \"Count Rows...\" counts them: the lines of "
             "the file (a line over 65535 characters is one), less the header line unless --no-header",
         .Set = [&a](const TOptionValue&) { a.Count = true; }},
        {.Short = "-h", .Long = "--help", .Kind = TOptionKind::Help, .Help = "this help"},
    };
}

std::string ViewHelp() {
    TViewArgs unused;
    return kUsage + OptionsHelp(ViewOptions(unused)) + kEpilogue;
}

TViewArgs ParseViewArgs(const std::vector<std::string>& args) {
    TViewArgs a;
    TFileWord file(a.File, "file");
    if (!ParseOptions(args, ViewOptions(a), std::ref(file))) {
        a.Help = true;
        return a;
    }
    file.Require();
    return a;
}

std::string EscapeField(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    AppendEscaped(out, value, TEscapeStyle::TabField);
    return out;
}

namespace {

// Prints each record as soon as it is complete, as the viewer's "Columns" view
// parses it (the delimiter found while reading in force), and keeps nothing but
// the count of lines: memory stays at one record whatever --max is. A line longer
// than the cap is one record, cut: each such line is named on standard error (the
// first kMaxNamed; the rest counted).
class TPrintSink : public TRecordSink {
public:
    TPrintSink(const std::string& file, std::ostream& out, std::ostream& err)
        : FFile(file), FOut(out), FErr(err) {}
    void Line(int32_t, const std::string&, bool, bool cut, const TCSVParser&) override {
        ++Lines;
        if (cut && ++FCut <= kMaxNamed)
            FErr << "zarvo-cli view: " << FFile << ": line " << Lines << ": longer than " << kCap
                 << " characters, cut there\n";
    }
    // The count of the cut lines not named.
    void Finish() {
        if (FCut > kMaxNamed)
            FErr << "zarvo-cli view: " << FFile << ": " << (FCut - kMaxNamed) << " more "
                 << (FCut - kMaxNamed == 1 ? "line" : "lines") << " cut at " << kCap << " characters\n";
    }
    void RecordEnd(const TCSVParser& parser) override {
        FLine.clear();
        for (size_t j = 0; j < parser.ColumnCount(); ++j) {
            if (j > 0) FLine += '\t';
            AppendEscaped(FLine, parser.GetColumnValue(j), TEscapeStyle::TabField);
        }
        FLine += '\n';
        FOut.write(FLine.data(), static_cast<std::streamsize>(FLine.size()));
        if (!FOut) CheckOutput(FOut);
    }
    int64_t Lines = 0;

private:
    static constexpr int64_t kMaxNamed = 10;
    static constexpr int32_t kCap = TStreamReaderEx::kDefaultTruncLineLength;

    const std::string& FFile;
    std::ostream& FOut;
    std::ostream& FErr;
    std::string FLine;
    int64_t FCut = 0;
};

} // namespace

int RunView(const std::vector<std::string>& words, std::istream&, std::ostream& out, std::ostream& err) {
    TViewArgs args;
    try {
        args = ParseViewArgs(words);
    } catch (const TUsageError& e) {
        return ReportUsageError(err, "view", e.what());
    }
    if (args.Help) {
        out << ViewHelp();
        return 0;
    }

    TViewerSource source;
    source.FileName = args.File;
    bool noHeader = args.NoHeader;
    const bool database =
        SourceFileExists(args.File) && ViewerFileKind(args.File) == TViewerFileKind::Database;
    if (database) {
        source.ReaderClass = TMMDBMetaReader::ReaderClass();
        noHeader = true;
    }

    if (args.Count) {
        if (!SourceFileExists(args.File)) {
            err << Format("File \"%s\" does not exist.", args.File.c_str()) << "\n";
            return 1;
        }
        const std::atomic<bool> never{false};
        int64_t rows = 0;
        try {
            rows = CountRows(source, noHeader, never);
        } catch (const std::exception& e) {
            err << ErrorMessage(e) << "\n";
            return 1;
        }
        out << rows << "\n";
        CheckOutput(out);
        return 0;
    }

    TCSVParser parser(false, false, "", args.BackslashEscapes, 500);
    parser.SetCellLineBreaks(args.CellLineBreaks);
    TPrintSink sink(args.File, out, err);
    // The end is looked for past the last line asked for, so that the note below
    // says "more" only when there is more.
    const TRecordsRead read = ReadRecords(source, noHeader, args.Max, parser, sink, true);
    CheckOutput(out);
    sink.Finish();
    if (!read.Status.empty()) {
        err << PlainMessage(read.Status) << "\n";
        return 1;
    }
    const int64_t rows = noHeader || sink.Lines == 0 ? sink.Lines : sink.Lines - 1;
    if (!read.Eof)
        err << "zarvo-cli view: more lines follow (" << rows << "+ rows; see --max, --count)\n";
    else if (database && sink.Lines >= TMMDBMetaReader::kMaxLines)
        // --max and --count cannot show more: the database's rendering stops there.
        err << "zarvo-cli view: a database is shown as at most " << TMMDBMetaReader::kMaxLines
            << " lines: its metadata, a header and its first networks\n";
    return 0;
}

} // namespace zarvo::cli
