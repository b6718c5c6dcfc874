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

// One pass of Scan over the buffer, in named steps: a value starts (blanks, an
// opening quote), its quoted parts and its plain text are read, and it ends at a
// delimiter or at the end of the line. Values are written over the line in place.
class TCSVParser::TLineScan {
public:
    // How a step left the value.
    enum class TStep : uint8_t {
        Delimiter,         // the value ended at a delimiter; more values follow
        EndOfLine,         // the value ended with the line
        MoreText,          // text follows a closing quote (csvMultiQuotes)
        MoreQuoted,        // another quoted part follows a closing quote (csvMultiQuotes)
        NoCloseQuote,      // the line ended inside quotes
        DelimiterExpected, // text follows a closing quote
    };

    TLineScan(TCSVParser& parser, const TScan& st)
        : P(parser), Buf(parser.FDataString.data()), Len(parser.FDataStringLength), R(st.Read), W(st.Write),
          Delimiter(st.Delimiter), Flags(st.Flags), Quote(parser.FQuoteChar), Trim(parser.FTrimColumns) {
        // The candidates as a table: a line without any delimiter is looked at character by
        // character, and a search of the candidate string for each made long lines slow.
        if (Delimiter == 0)
            for (const char d : parser.FDelimiters)
                if (d != 0) Candidate[static_cast<unsigned char>(d)] = true;
    }

    // Blanks before a value are passed over; true when it opens with a quote.
    bool StartValue() {
        if (Trim) SkipBlanks();
        return Quote != 0 && R < Len && Buf[R] == Quote;
    }

    // The value from where StartValue left it (quoted: at its opening quote), or from
    // inside its quotes where the last line left it (resume; backslash: that line
    // ended in a backslash taken as itself).
    TStep ReadValue(bool quoted, bool resume, bool backslash) {
        while (quoted) {
            const TStep step = QuotedPart(resume, backslash);
            resume = false;
            if (step != TStep::MoreText && step != TStep::MoreQuoted) return step;
            quoted = step == TStep::MoreQuoted;
        }
        return PlainText();
    }

    // Where the next value will be written.
    size_t Written() const { return W; }

    // The value written from valueStart ends: NUL-terminated, the next one behind it.
    void EndValue(size_t valueStart) {
        Buf[W] = 0;
        P.Record(valueStart, W - valueStart, Flags);
        ++W;
    }

    // Where a parse that ended inside quotes stands, for ParseNextLine.
    TScan OpenState(size_t valueStart, size_t count) const {
        return {R, W, valueStart, count, Delimiter, Flags, Backslash};
    }

private:
    void SkipBlanks() {
        while (R < Len && Buf[R] == ' ') ++R;
    }

    // A candidate seen while no delimiter is known becomes the delimiter.
    bool IsDelimiter(char c) {
        if (Delimiter == 0) {
            if (!Candidate[static_cast<unsigned char>(c)]) return false;
            Delimiter = c;
            if (Flags & csvUpdateDelimiter) P.FDelimiter = c;
            return true;
        }
        return c == Delimiter;
    }

    // A quoted part: its opening quote (or the resumed inside), its text, its closing
    // quote, and what follows it.
    TStep QuotedPart(bool resume, bool backslash) {
        if (resume) {
            // A backslash that ended the last line escapes a quote that starts this text.
            if (backslash && R < Len && Buf[R] == Quote) {
                Buf[W - 1] = Quote;
                ++R;
            }
        } else {
            if (Flags & csvKeepQuotes) Buf[W++] = Quote;
            ++R;
        }
        Backslash = false;
        if (!P.ScanQuoted(Buf, Len, R, W, Backslash)) return TStep::NoCloseQuote;
        if (Flags & csvKeepQuotes) Buf[W++] = Quote;
        return AfterQuote();
    }

    // Behind a closing quote: blanks, then the end, a delimiter, or (csvMultiQuotes)
    // more of the value, the blanks included.
    TStep AfterQuote() {
        const size_t blanks = R;
        if (Trim) SkipBlanks();
        if (R >= Len) return TStep::EndOfLine;
        if (IsDelimiter(Buf[R])) {
            ++R;
            return TStep::Delimiter;
        }
        if (!(Flags & csvMultiQuotes)) return TStep::DelimiterExpected;
        for (size_t k = blanks; k < R; ++k) Buf[W++] = ' ';
        return Buf[R] == Quote ? TStep::MoreQuoted : TStep::MoreText;
    }

    // Unquoted text, up to the delimiter or the end; a quote here is a character.
    TStep PlainText() {
        const size_t textStart = W;
        while (R < Len && !IsDelimiter(Buf[R])) Buf[W++] = Buf[R++];
        if (Trim)
            while (W > textStart && Buf[W - 1] == ' ') --W;
        if (R >= Len) return TStep::EndOfLine;
        ++R;
        return TStep::Delimiter;
    }

    TCSVParser& P;
    char* const Buf;
    const size_t Len;
    size_t R, W;
    char Delimiter;
    const TCSVParseFlags Flags;
    const char Quote;
    const bool Trim;
    bool Backslash = false; // the last byte read inside quotes was a backslash taken as itself
    bool Candidate[256] = {};
};

size_t TCSVParser::Scan(TScan st, bool resume) {
    using TStep = TLineScan::TStep;
    TLineScan scan(*this, st);
    for (size_t count = st.Count;; resume = false) {
        const size_t valueStart = resume ? st.ValueStart : scan.Written();
        const bool quoted = resume || scan.StartValue();
        const TStep end = scan.ReadValue(quoted, resume, st.Backslash);
        if (end == TStep::NoCloseQuote) return Fail(scan.OpenState(valueStart, count), csvNoCloseQuote);
        if (end == TStep::DelimiterExpected) return Fail({}, csvDelimiterExpected);
        scan.EndValue(valueStart);
        ++count;
        if (end == TStep::EndOfLine) return count;
    }
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
