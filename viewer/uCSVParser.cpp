#include "viewer/uCSVParser.h"

#include <algorithm>
#include <cstring>

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

size_t TCSVParser::Fail(std::string_view s, TCSVFormatError error, TCSVParseFlags flags) {
    FFormatError = error;
    if (flags & csvSkipBadFormat) {
        FDataStringLength = 0;
        FDataString[0] = 0;
        FColumnCount = 0;
        ClearDetected();
        return 0;
    }
    // The values were written over the copy: take the line again, whole.
    std::memcpy(FDataString.data(), s.data(), s.size());
    FDataString[s.size()] = 0;
    FColumnCount = 0;
    if (FMaxColumns > 0) {
        FColumns[0] = {0, s.size()};
        FColumnCount = 1;
    }
    for (int32_t* index : {&FEmailColumnIndex, &FUrlColumnIndex, &FMD5ColumnIndex})
        if (*index > 0) *index = 0;
    return 1;
}

size_t TCSVParser::ParseLine(std::string_view s, TCSVParseFlags flags) {
    FFormatError = csvNoError;
    const size_t len = s.size();
    if (FDataString.size() < len + 1) FDataString.resize(len + 1);
    char* const buf = FDataString.data();
    if (len > 0) std::memcpy(buf, s.data(), len);
    buf[len] = 0;
    FDataStringLength = len;
    FColumnCount = 0;
    ClearDetected();
    if (len == 0) return 0;

    const bool trim = FTrimColumns;
    const char quote = FQuoteChar;
    char delim = FDelimiter;
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

    size_t r = 0, w = 0, count = 0;
    for (;;) {
        const size_t valueStart = w;
        if (trim)
            while (r < len && buf[r] == ' ') ++r;
        bool quoted = quote != 0 && r < len && buf[r] == quote;
        bool endOfLine = false;
        for (;;) {
            if (quoted) {
                if (flags & csvKeepQuotes) buf[w++] = quote;
                ++r;
                bool closed = false;
                while (r < len) {
                    const char c = buf[r];
                    if (c == quote) {
                        if (r + 1 < len && buf[r + 1] == quote) {
                            buf[w++] = quote;
                            r += 2;
                            continue;
                        }
                        ++r;
                        if (flags & csvKeepQuotes) buf[w++] = quote;
                        closed = true;
                        break;
                    }
                    if (c == '\\' && FBackslashEscapes && r + 1 < len && buf[r + 1] == quote) {
                        buf[w++] = quote;
                        r += 2;
                        continue;
                    }
                    buf[w++] = c;
                    ++r;
                }
                if (!closed) return Fail(s, csvNoCloseQuote, flags);
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
                if (!(flags & csvMultiQuotes)) return Fail(s, csvDelimiterExpected, flags);
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
    if (!FCellLineBreaks) return n;
    std::string line;
    while (FFormatError == csvNoCloseQuote && s.size() < kMaxRecordLength && !reader.EndOfLines()) {
        reader.ReadLine(line);
        s += LineBreakJoin();
        s += line;
        n = ParseLine(s, flags);
    }
    return n;
}

std::string_view TCSVParser::GetColumnValue(size_t index) const {
    if (index >= FColumnCount) return {};
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
