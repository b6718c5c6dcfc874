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
#include "support/ZarvoText.h"
#include "viewer/ViewerPreview.h"

namespace zarvo::cli {

namespace {

const char* const kUsage = R"(Usage: zarvo-cli view [OPTIONS] FILE

Prints what the file viewer shows of a CSV or text file: the first lines, split
into records and fields as the viewer splits them, one record a line, its fields
separated by tabs (a backslash, tab, line feed or carriage return inside a field
is written as \\, \t, \n or \r). The first record is the header unless
--no-header; the delimiter is the first of , ; | found. When more lines follow
than were read, a note says so on standard error. The file is read as UTF-8, or
UTF-16 after a byte-order mark; lines are cut at 65535 characters.
A MaxMind DB file (".mmdb", or by its content) is shown as the viewer shows a
database: metadata lines, a header and rows, none of them taken as a header.

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

constexpr size_t kMarkerSearch = size_t{128} << 10;

int Usage(std::ostream& err, const std::string& message) {
    err << "zarvo-cli view: " << message << "\nRun 'zarvo-cli view --help' for the options.\n";
    return 2;
}

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
             "the file, less the header line unless --no-header",
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
    bool haveFile = false;
    const auto file = [&](const std::string& word) {
        if (haveFile) throw TUsageError("give one file");
        if (word.empty()) throw TUsageError("the file name is empty");
        a.File = word;
        haveFile = true;
    };
    if (!ParseOptions(args, ViewOptions(a), file)) {
        a.Help = true;
        return a;
    }
    if (!haveFile) throw TUsageError("give the file");
    return a;
}

std::string EscapeField(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool IsMmdbFile(const std::string& name) {
    if (EndsWithText(name, ".mmdb")) return true;
    try {
        int64_t size = 0;
        const int fd = OpenFileForReading(name, size);
        const size_t n = static_cast<size_t>(std::min<int64_t>(size, static_cast<int64_t>(kMarkerSearch)));
        std::string tail(n, '\0');
        size_t got = 0;
        try {
            got = ReadFileAt(fd, tail.data(), n, size - static_cast<int64_t>(n), name);
        } catch (...) {
            ::close(fd);
            throw;
        }
        ::close(fd);
        tail.resize(got);
        const std::string_view marker(reinterpret_cast<const char*>(kMMDBMetadataMarker.data()),
                                      kMMDBMetadataMarker.size());
        return tail.find(marker) != std::string::npos;
    } catch (const std::exception&) {
        return false; // reading it as text reports why
    }
}

int RunView(const std::vector<std::string>& words, std::istream&, std::ostream& out, std::ostream& err) {
    TViewArgs args;
    try {
        args = ParseViewArgs(words);
    } catch (const TUsageError& e) {
        return Usage(err, e.what());
    }
    if (args.Help) {
        out << ViewHelp();
        return 0;
    }

    TViewerSource source;
    source.FileName = args.File;
    bool noHeader = args.NoHeader;
    if (SourceFileExists(args.File) && IsMmdbFile(args.File)) {
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
    TViewerPreview preview;
    preview.MaxLines = args.Max;
    const bool ok = preview.Read(source, noHeader, parser);
    // Each record as the viewer's "Columns" view parses it, the delimiter found while reading in force.
    std::string line;
    for (size_t r = 0; r < preview.Rows.size(); ++r) {
        parser.ParseLine(preview.RecordText(r, parser));
        line.clear();
        for (size_t j = 0; j < parser.ColumnCount(); ++j) {
            if (j > 0) line += '\t';
            line += EscapeField(parser.GetColumnValue(j));
        }
        line += '\n';
        out << line;
    }
    CheckOutput(out);
    if (!ok) {
        err << PlainMessage(preview.Status) << "\n";
        return 1;
    }
    if (preview.More())
        err << "zarvo-cli view: more lines follow (" << preview.RowsFigure()
            << "+ rows; see --max, --count)\n";
    return 0;
}

} // namespace zarvo::cli
