#include "readers/uCSVParser.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "support/ZarvoText.h"

namespace zarvo {

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool LooksLikeUrl(std::string_view v) {
    for (size_t k = v.find("://"); k != std::string_view::npos; k = v.find("://", k + 1)) {
        if (k >= 4 && SameText(v.substr(k - 4, 4), "http")) return true;
        if (k >= 5 && SameText(v.substr(k - 5, 5), "https")) return true;
    }
    return false;
}

} // namespace

TCSVParser::TCSVParser(int32_t maxColumns)
    : FMaxColumns(std::max(maxColumns, 0)), FColumns(static_cast<size_t>(FMaxColumns)) {}

TCSVParser::TCSVParser(bool cellLineBreaks, bool replaceLineBreaks, const std::string& replaceLineBreaksWith,
                       bool backslashEscapes, int32_t maxColumns)
    : TCSVParser(maxColumns) {
    FCellLineBreaks = cellLineBreaks;
    FReplaceLineBreaks = replaceLineBreaks;
    FReplaceLineBreaksWith = replaceLineBreaksWith;
    FBackslashEscapes = backslashEscapes;
}

TCSVParser::TCSVParser(TCSVParseFlags parseFlags, bool cellLineBreaks, bool replaceLineBreaks,
                       const std::string& replaceLineBreaksWith, bool backslashEscapes, int32_t maxColumns)
    : TCSVParser(cellLineBreaks, replaceLineBreaks, replaceLineBreaksWith, backslashEscapes, maxColumns) {
    FParseFlags = parseFlags;
}

void TCSVParser::ClearDetected() {
    FEmailColumnIndex = FUrlColumnIndex = FMD5ColumnIndex = -1;
}

void TCSVParser::Reset(bool resetDelimiter) {
    FColumnCount = 0;
    FDataStringLength = 0;
    FDataString[0] = 0;
    FFailView = TFailView::None;
    FFormatError = csvNoError;
    FOpen = false;
    ClearDetected();
    if (resetDelimiter) FDelimiter = 0;
}

void TCSVParser::Record(size_t pos, size_t length, TCSVParseFlags flags) {
    if (FColumnCount >= static_cast<size_t>(FMaxColumns)) return;
    FColumns[FColumnCount] = {pos, length};
    const int32_t index = static_cast<int32_t>(FColumnCount);
    ++FColumnCount;
    if (!(flags & (csvDetectEmail | csvDetectUrl | csvDetectMD5))) return;
    const std::string_view v(FDataString.data() + pos, length);
    if ((flags & csvDetectEmail) && FEmailColumnIndex < 0 && v.find('@') != std::string_view::npos)
        FEmailColumnIndex = index;
    if ((flags & csvDetectUrl) && FUrlColumnIndex < 0 && LooksLikeUrl(v)) FUrlColumnIndex = index;
    if ((flags & csvDetectMD5) && FMD5ColumnIndex < 0 && v.size() == 32 &&
        std::all_of(v.begin(), v.end(), IsHexDigit))
        FMD5ColumnIndex = index;
}

size_t TCSVParser::Fail(const TScan& st, TCSVFormatError error) {
    FFormatError = error;
    FOpen = error == csvNoCloseQuote;
    if (FOpen) FOpenAt = st;
    if (st.Flags & csvSkipBadFormat) {
        FFailView = TFailView::Empty;
        return 0;
    }
    FFailView = TFailView::Whole;
    return 1;
}

size_t TCSVParser::ColumnCount() const {
    switch (FFailView) {
    case TFailView::None:
        break;
    case TFailView::Whole:
        return FMaxColumns > 0 ? 1 : 0;
    case TFailView::Empty:
        return 0;
    }
    return FColumnCount;
}

std::string_view TCSVParser::DataString() const {
    switch (FFailView) {
    case TFailView::None:
        break;
    case TFailView::Whole:
        return FWhole;
    case TFailView::Empty:
        return {};
    }
    return {FDataString.data(), FDataStringLength};
}

size_t TCSVParser::ParseLine(std::string_view s, TCSVParseFlags flags) {
    FFormatError = csvNoError;
    FFailView = TFailView::None;
    FOpen = false;
    const size_t len = s.size();
    if (FDataString.size() < len + 1) FDataString.resize(len + 1);
    if (len > 0) std::memcpy(FDataString.data(), s.data(), len);
    FDataString[len] = 0;
    FDataStringLength = len;
    FColumnCount = 0;
    ClearDetected();
    if (len == 0) return 0;
    TScan st;
    st.Delimiter = FDelimiter;
    st.Flags = flags;
    const size_t n = Scan(st, false);
    // A failure keeps the line as the record's text, for its one value.
    if (FFailView != TFailView::None) FWhole.assign(s);
    return n;
}

size_t TCSVParser::ParseNextLine(std::string_view line) {
    if (!FOpen) throw std::logic_error("ParseNextLine: the last parse did not end inside quotes");
    const TScan st = FOpenAt;
    FFormatError = csvNoError;
    FFailView = TFailView::None;
    FOpen = false;
    const std::string_view join = LineBreakJoin();
    FWhole += join;
    FWhole += line;
    const size_t len = FDataStringLength + join.size() + line.size();
    // Grows by doubling, so that a long record costs its length once.
    if (FDataString.size() < len + 1) FDataString.resize(std::max(len + 1, 2 * FDataString.size()));
    char* const buf = FDataString.data();
    std::memcpy(buf + FDataStringLength, join.data(), join.size());
    std::memcpy(buf + FDataStringLength + join.size(), line.data(), line.size());
    buf[len] = 0;
    FDataStringLength = len;
    return Scan(st, true);
}

size_t TCSVParser::CloseCut() {
    if (!FOpen) throw std::logic_error("CloseCut: the last parse did not end inside quotes");
    const TScan st = FOpenAt;
    FFormatError = csvNoError;
    FFailView = TFailView::None;
    FOpen = false;
    FDataString[st.Write] = 0;
    Record(st.ValueStart, st.Write - st.ValueStart, st.Flags);
    return st.Count + 1;
}

bool TCSVParser::ScanQuoted(char* buf, size_t len, size_t& r, size_t& w, bool& backslash) const {
    const char quote = FQuoteChar;
    while (r < len) {
        const char c = buf[r];
        backslash = false;
        if (c == quote) {
            if (r + 1 < len && buf[r + 1] == quote) {
                buf[w++] = quote;
                r += 2;
                continue;
            }
            ++r;
            return true;
        }
        if (c == '\\' && FBackslashEscapes) {
            if (r + 1 < len && buf[r + 1] == quote) {
                buf[w++] = quote;
                r += 2;
                continue;
            }
            backslash = true;
        }
        buf[w++] = c;
        ++r;
    }
    return false;
}

size_t TCSVParser::Scan(TScan st, bool resume) {
    char* const buf = FDataString.data();
    const size_t len = FDataStringLength;
    const TCSVParseFlags flags = st.Flags;
    const bool trim = FTrimColumns;
    const char quote = FQuoteChar;
    char delim = st.Delimiter;
    // The candidates as a table: a line without any delimiter is looked at character by
    // character, and a search of the candidate string for each made long lines slow.
    bool candidate[256] = {};
    if (delim == 0)
        for (const char d : FDelimiters)
            if (d != 0) candidate[static_cast<unsigned char>(d)] = true;
    // A candidate seen while no delimiter is known becomes the delimiter.
    const auto isDelimiter = [&](char c) {
        if (delim == 0) {
            if (!candidate[static_cast<unsigned char>(c)]) return false;
            delim = c;
            if (flags & csvUpdateDelimiter) FDelimiter = c;
            return true;
        }
        return c == delim;
    };

    size_t r = st.Read, w = st.Write, count = st.Count;
    for (;;) {
        size_t valueStart = w;
        bool quoted = resume;
        if (resume) {
            valueStart = st.ValueStart;
        } else {
            if (trim)
                while (r < len && buf[r] == ' ') ++r;
            quoted = quote != 0 && r < len && buf[r] == quote;
        }
        bool endOfLine = false;
        for (;;) {
            if (quoted) {
                bool backslash = false;
                if (resume) {
                    resume = false;
                    // A backslash that ended the last line escapes a quote that starts this text.
                    if (st.Backslash && r < len && buf[r] == quote) {
                        buf[w - 1] = quote;
                        ++r;
                    }
                } else {
                    if (flags & csvKeepQuotes) buf[w++] = quote;
                    ++r;
                }
                const bool closed = ScanQuoted(buf, len, r, w, backslash);
                if (closed && (flags & csvKeepQuotes)) buf[w++] = quote;
                if (!closed) return Fail({r, w, valueStart, count, delim, flags, backslash}, csvNoCloseQuote);
                const size_t blanks = r;
                if (trim)
                    while (r < len && buf[r] == ' ') ++r;
                if (r >= len) {
                    endOfLine = true;
                    break;
                }
                if (isDelimiter(buf[r])) {
                    ++r;
                    break;
                }
                if (!(flags & csvMultiQuotes)) return Fail({}, csvDelimiterExpected);
                // The blanks after the quote belong to the value, and so does what follows.
                for (size_t k = blanks; k < r; ++k) buf[w++] = ' ';
                quoted = buf[r] == quote;
                if (quoted) continue;
            }
            // Unquoted text, up to the delimiter or the end; a quote here is a character.
            const size_t textStart = w;
            while (r < len && !isDelimiter(buf[r])) buf[w++] = buf[r++];
            if (trim)
                while (w > textStart && buf[w - 1] == ' ') --w;
            if (r >= len)
                endOfLine = true;
            else
                ++r;
            break;
        }
        buf[w] = 0;
        Record(valueStart, w - valueStart, flags);
        ++w;
        ++count;
        if (endOfLine) break;
    }
    return count;
}

std::string_view TCSVParser::LineBreakJoin() const {
    return FReplaceLineBreaks ? std::string_view(FReplaceLineBreaksWith) : std::string_view("\r\n");
}

size_t TCSVParser::ReadParseLine(TLineReader& reader, std::string& s, TCSVParseFlags flags) {
    reader.ReadLine(s);
    size_t n = ParseLine(s, flags);
    std::string line;
    // A line cut at the cap ends its record: the quote it leaves open is its cut's.
    while (!reader.LineCut() && FCellLineBreaks && FFormatError == csvNoCloseQuote &&
           s.size() < kMaxRecordLength && !reader.EndOfLines()) {
        reader.ReadLine(line);
        s += LineBreakJoin();
        s += line;
        n = ParseNextLine(line);
    }
    if (reader.LineCut() && FFormatError == csvNoCloseQuote) n = CloseCut();
    return n;
}

std::string_view TCSVParser::GetColumnValue(size_t index) const {
    if (index >= ColumnCount()) return {};
    if (FFailView == TFailView::Whole) return FWhole;
    return {FDataString.data() + FColumns[index].Pos, FColumns[index].Length};
}

std::string TCSVParser::GetQuotedColumnValue(size_t index, char qChar, bool quoteEmpty) const {
    const std::string_view v = GetColumnValue(index);
    if (qChar == 0) return std::string(v);
    if (v.empty()) return quoteEmpty ? std::string(2, qChar) : std::string();
    std::string out(1, qChar);
    for (char c : v) {
        out += c;
        if (c == qChar) out += qChar;
    }
    out += qChar;
    return out;
}

std::string_view TCSVParser::Email() const {
    return FEmailColumnIndex >= 0 ? GetColumnValue(static_cast<size_t>(FEmailColumnIndex))
                                  : std::string_view();
}

std::string_view TCSVParser::Url() const {
    return FUrlColumnIndex >= 0 ? GetColumnValue(static_cast<size_t>(FUrlColumnIndex)) : std::string_view();
}

} // namespace zarvo
