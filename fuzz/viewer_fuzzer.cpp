// Fuzz target: the viewer's text reader and CSV parser over any bytes. The first
// byte picks the options (block size, a small line cap, NUL runs, the parser's
// flags); the rest is the file. Besides crashes and sanitizer reports, a finding
// is any disagreement: the lines must not depend on the block size, skipping must
// count what reading gives, every line must be valid UTF-8 within the cap and
// without a break, and a record joined line by line must parse as its whole text
// (closed at a cut as CloseCut closes it).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/TextDecode.h"
#include "readers/Stream.h"
#include "readers/uCSVParser.h"
#include "readers/uLineReaderWriter.h"

namespace {

using namespace zarvo;

struct TOptions {
    int32_t Trunc;
    bool SkipNul;
};

void Configure(TLineReader& r, const TOptions& o) {
    r.StreamReader()->SetTruncLineLength(o.Trunc);
    r.StreamReader()->SetSkipLineNullChars(o.SkipNul);
}

std::vector<std::string> Lines(std::string_view bytes, int32_t block, const TOptions& o) {
    TBytesStream stream(bytes);
    TLineReader r(&stream, block, false);
    Configure(r, o);
    std::vector<std::string> lines;
    while (!r.EndOfLines()) lines.push_back(r.ReadLine());
    return lines;
}

size_t CountChars(std::string_view s) {
    size_t n = 0;
    for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t opts = data[0];
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const TOptions o{(opts & 1) ? 7 : 65535, (opts & 2) == 0};

    const std::vector<std::string> lines = Lines(bytes, 128, o);
    Check(Lines(bytes, 129, o) == lines);
    Check(Lines(bytes, 1024, o) == lines);
    for (const std::string& line : lines) {
        Check(SanitizeUtf8(line) == line);
        Check(CountChars(line) <= static_cast<size_t>(o.Trunc));
        Check(line.find_first_of("\r\n") == std::string::npos);
        if (o.SkipNul) Check(line.find('\0') == std::string::npos);
    }
    {
        TBytesStream stream(bytes);
        TLineReader r(&stream, 1024, false);
        Configure(r, o);
        int64_t n = 0;
        while (!r.EndOfLines()) n += r.SkipLines((opts & 4) ? 1 : 100);
        Check(n == static_cast<int64_t>(lines.size()));
    }

    // The parser over the same text, records joined for open quotes when asked.
    TCSVParser parser((opts & 8) != 0, (opts & 16) != 0, "|", (opts & 32) != 0, 50);
    parser.SetTrimColumns((opts & 64) == 0);
    const TCSVParseFlags flags =
        static_cast<TCSVParseFlags>(csvUpdateDelimiter | ((opts & 128) ? csvMultiQuotes | csvKeepQuotes : 0) |
                                    csvDetectEmail | csvDetectUrl | csvDetectMD5);
    TBytesStream stream(bytes);
    TLineReader r(&stream, 128, false);
    Configure(r, o);
    std::string record;
    while (!r.EndOfLines()) {
        // The record read line by line must parse as its whole text does.
        TCSVParser whole((opts & 8) != 0, (opts & 16) != 0, "|", (opts & 32) != 0, 50);
        whole.SetTrimColumns(parser.TrimColumns());
        whole.SetDelimiter(parser.Delimiter());
        const size_t n = parser.ReadParseLine(r, record, flags);
        size_t wholeCount = whole.ParseLine(record, flags);
        // A record whose last line was cut at the cap ends there, its open quote closed.
        if (r.LineCut() && whole.FormatError() == csvNoCloseQuote) wholeCount = whole.CloseCut();
        Check(wholeCount == n && whole.FormatError() == parser.FormatError() &&
              whole.ColumnCount() == parser.ColumnCount() && whole.Delimiter() == parser.Delimiter());
        for (size_t i = 0; i < parser.ColumnCount(); ++i)
            Check(whole.GetColumnValue(i) == parser.GetColumnValue(i));
        Check(parser.ColumnCount() <= n && parser.ColumnCount() <= 50);
        size_t total = 0;
        for (size_t i = 0; i < parser.ColumnCount(); ++i) total += parser.GetColumnValue(i).size();
        Check(total <= record.size());
        if (parser.FormatError() != csvNoError && n == 1) Check(parser.GetColumnValue(0) == record);
    }
    return 0;
}
