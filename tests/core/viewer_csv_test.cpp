// The viewer's CSV parser, its preview of a source (records, captions, the rows
// figure and the "..." item) and the row count with progress and abort.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "mmdb/uMMDBLineReader.h"
#include "mmdb_builder.h"
#include "test_files.h"
#include "readers/Stream.h"
#include "readers/ViewerPreview.h"
#include "readers/uCSVParser.h"

using namespace zarvo;

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> Values(const TCSVParser& p) {
    std::vector<std::string> v;
    for (size_t i = 0; i < p.ColumnCount(); ++i) v.emplace_back(p.GetColumnValue(i));
    return v;
}

TEST(ViewerCsv, ParseLine) {
    struct Case {
        const char* Line;
        TCSVParseFlags Flags;
        bool Backslash;
        std::vector<std::string> Values;
        TCSVFormatError Error;
    };
    const Case cases[] = {
        {"a,b,c", 0, false, {"a", "b", "c"}, csvNoError},
        {"a;b,c;d", 0, false, {"a", "b,c", "d"}, csvNoError},
        {"a|b;c", 0, false, {"a", "b;c"}, csvNoError},
        {"  a  , \"x\"\"y\"  ,b\"c", 0, false, {"a", "x\"y", "b\"c"}, csvNoError},
        {"a,b,", 0, false, {"a", "b", ""}, csvNoError},
        {"", 0, false, {}, csvNoError},
        {"   ", 0, false, {""}, csvNoError},
        {"\t a \t", 0, false, {"\t a \t"}, csvNoError},
        {"\"a,b\",\"c\r\nd\"", 0, false, {"a,b", "c\r\nd"}, csvNoError},
        {"x,\"open,y", 0, false, {"x,\"open,y"}, csvNoCloseQuote},
        {"x,\"open,y", csvSkipBadFormat, false, {}, csvNoCloseQuote},
        {"\"ab\"c,d", 0, false, {"\"ab\"c,d"}, csvDelimiterExpected},
        {"\"ab\"c x,d", csvMultiQuotes, false, {"abc x", "d"}, csvNoError},
        {"\"ab\"  \"cd\",e", csvMultiQuotes, false, {"ab  cd", "e"}, csvNoError},
        {"\"a\\\"b\",c", 0, true, {"a\"b", "c"}, csvNoError},
        {"\"a\\\"b\",c", 0, false, {"\"a\\\"b\",c"}, csvDelimiterExpected},
        {"\"a\\b\",c", 0, true, {"a\\b", "c"}, csvNoError},
        {"\"q\",x", csvKeepQuotes, false, {"\"q\"", "x"}, csvNoError},
        {"a,\"\",b", 0, false, {"a", "", "b"}, csvNoError},
    };
    for (const Case& c : cases) {
        TCSVParser p(500);
        p.SetBackslashEscapes(c.Backslash);
        const size_t n = p.ParseLine(c.Line, c.Flags);
        EXPECT_EQ(Values(p), c.Values) << c.Line;
        EXPECT_EQ(n, c.Values.size()) << c.Line;
        EXPECT_EQ(p.FormatError(), c.Error) << c.Line;
    }
}

TEST(ViewerCsv, DelimiterStaysOnceFound) {
    TCSVParser p(500);
    p.ParseLine("a;b,c", csvUpdateDelimiter);
    EXPECT_EQ(p.Delimiter(), ';');
    p.ParseLine("x,y;z", 0);
    EXPECT_EQ(Values(p), (std::vector<std::string>{"x,y", "z"}));
    p.Reset(true);
    p.ParseLine("x,y;z", 0);
    EXPECT_EQ(Values(p), (std::vector<std::string>{"x", "y;z"}));
    EXPECT_EQ(p.Delimiter(), 0); // found without csvUpdateDelimiter: this line only
}

TEST(ViewerCsv, ColumnCapAndQuotedValues) {
    TCSVParser p(500);
    std::string line;
    for (int i = 0; i < 600; ++i) line += (i ? "," : "") + std::to_string(i);
    EXPECT_EQ(p.ParseLine(line), 600u);
    EXPECT_EQ(p.ColumnCount(), 500u);
    EXPECT_EQ(p.GetColumnValue(499), "499");
    p.ParseLine("a\"b,,c");
    EXPECT_EQ(p.GetQuotedColumnValue(0, '"', false), "\"a\"\"b\"");
    EXPECT_EQ(p.GetQuotedColumnValue(1, '"', true), "\"\"");
    EXPECT_EQ(p.GetQuotedColumnValue(1, '"', false), "");
    EXPECT_EQ(p.GetQuotedColumnValue(2, 0, false), "c");
}

TEST(ViewerCsv, Detection) {
    TCSVParser p(500);
    p.ParseLine("x, me@host ,https://a.b/,d41d8cd98f00b204e9800998ecf8427e",
                csvDetectEmail | csvDetectUrl | csvDetectMD5);
    EXPECT_EQ(p.EmailColumnIndex(), 1);
    EXPECT_EQ(p.Email(), "me@host");
    EXPECT_EQ(p.UrlColumnIndex(), 2);
    EXPECT_EQ(p.MD5ColumnIndex(), 3);
    p.ParseLine("x,me@host,\"open", csvDetectEmail);
    EXPECT_EQ(p.EmailColumnIndex(), 0); // the whole line is the one column now
}

TEST(ViewerCsv, ReadParseLineJoinsOpenQuotes) {
    auto* lines = new TStringList();
    for (const char* s : {"1,\"first", "second", "third\",x", "2,y"}) lines->Add(s);
    TLineReader r(lines, true);
    TCSVParser p(true, true, " ", false, 500);
    std::string s;
    EXPECT_EQ(p.ReadParseLine(r, s), 3u);
    EXPECT_EQ(Values(p), (std::vector<std::string>{"1", "first second third", "x"}));
    EXPECT_EQ(p.ReadParseLine(r, s), 2u);
    EXPECT_EQ(s, "2,y");
}

// A record read line by line (ParseLine, then ParseNextLine while a quote is open)
// parses as its whole text does in one ParseLine: the values, the count, the error,
// the delimiter found and the columns detected. Random records over the characters
// that matter, with every option that changes the parse, and joins that hold a
// quote or a backslash.
TEST(ViewerCsv, ParseNextLineAsTheWholeRecord) {
    std::mt19937 rng(20261211);
    const std::string alphabet = "ab ,;|\"\"\"\\\\@";
    const TCSVParseFlags flagSets[] = {
        csvUpdateDelimiter,
        csvUpdateDelimiter | csvKeepQuotes,
        csvUpdateDelimiter | csvMultiQuotes,
        csvUpdateDelimiter | csvMultiQuotes | csvKeepQuotes | csvDetectEmail,
        csvSkipBadFormat | csvDetectEmail,
    };
    const char* const joins[] = {nullptr, " ", "\"", "\\", "\"\""};
    int records = 0, joined = 0;
    for (int round = 0; round < 6000; ++round) {
        std::vector<std::string> lines(1 + rng() % 4);
        for (std::string& line : lines)
            for (size_t k = rng() % 9; k > 0; --k) line += alphabet[rng() % alphabet.size()];
        const TCSVParseFlags flags = flagSets[rng() % std::size(flagSets)];
        const char* join = joins[rng() % std::size(joins)];
        const bool backslash = rng() % 2 != 0, trim = rng() % 3 != 0;
        const char delimiter = rng() % 3 == 0 ? ';' : 0;
        const auto configured = [&] {
            TCSVParser p(join != nullptr, join != nullptr, join ? join : "", backslash, 3);
            p.SetTrimColumns(trim);
            p.SetDelimiter(delimiter);
            return p;
        };
        TCSVParser byLine = configured();
        size_t n = byLine.ParseLine(lines[0], flags);
        std::string text = lines[0];
        for (size_t i = 1; i < lines.size() && byLine.FormatError() == csvNoCloseQuote; ++i, ++joined) {
            n = byLine.ParseNextLine(lines[i]);
            text += byLine.LineBreakJoin();
            text += lines[i];
        }
        TCSVParser whole = configured();
        SCOPED_TRACE(testing::Message() << "text [" << text << "] flags " << int(flags) << " join "
                                        << (join ? join : "CR LF") << " backslash " << backslash);
        EXPECT_EQ(n, whole.ParseLine(text, flags));
        EXPECT_EQ(Values(byLine), Values(whole));
        EXPECT_EQ(byLine.FormatError(), whole.FormatError());
        EXPECT_EQ(byLine.DataString(), whole.DataString());
        EXPECT_EQ(byLine.Delimiter(), whole.Delimiter());
        EXPECT_EQ(byLine.EmailColumnIndex(), whole.EmailColumnIndex());
        ++records;
        if (HasFailure()) break;
    }
    EXPECT_GT(joined, 1000) << records << " records";
    TCSVParser p(500);
    p.ParseLine("a,b");
    EXPECT_THROW(p.ParseNextLine("c"), std::logic_error);
}

// A text cut short inside quotes: the open value ends where the text ends, the
// values before it stay, and the record is complete.
TEST(ViewerCsv, CloseCutEndsTheOpenValue) {
    struct Case {
        std::vector<const char*> Lines; // the first parsed, the others joined
        TCSVParseFlags Flags;
        std::vector<std::string> Values;
    };
    const Case cases[] = {
        {{"1,\"abc"}, 0, {"1", "abc"}},
        {{"\"abc"}, 0, {"abc"}},
        {{"1,\"a\"\"b"}, 0, {"1", "a\"b"}},
        {{"a;\"x;y"}, 0, {"a", "x;y"}},
        {{"1,\"ab"}, csvKeepQuotes, {"1", "\"ab"}},
        {{"1,\"first", "sec"}, 0, {"1", "first\r\nsec"}},
        {{"x,y,\"z"}, csvSkipBadFormat, {"x", "y", "z"}},
    };
    for (const Case& c : cases) {
        TCSVParser p(true, false, "", false, 500);
        p.ParseLine(c.Lines[0], c.Flags);
        for (size_t i = 1; i < c.Lines.size(); ++i) p.ParseNextLine(c.Lines[i]);
        ASSERT_EQ(p.FormatError(), csvNoCloseQuote) << c.Lines.back();
        EXPECT_EQ(p.CloseCut(), c.Values.size()) << c.Lines.back();
        EXPECT_EQ(Values(p), c.Values) << c.Lines.back();
        EXPECT_EQ(p.FormatError(), csvNoError);
        EXPECT_THROW(p.CloseCut(), std::logic_error);
    }
}

// A line cut at the reader's cap ends its record, and a quote left open by the cut
// closes there: it does not join the lines after it.
TEST(ViewerCsv, ReadParseLineEndsACutRecord) {
    const std::string bytes = "1,\"" + std::string(20, 'Y') + "\",end\n2,x\n";
    TBytesStream stream(bytes);
    TLineReader r(&stream, 1024, false);
    r.StreamReader()->SetTruncLineLength(10);
    TCSVParser p(true, false, "", false, 500);
    std::string s;
    EXPECT_EQ(p.ReadParseLine(r, s), 2u);
    EXPECT_TRUE(r.LineCut());
    EXPECT_EQ(Values(p), (std::vector<std::string>{"1", std::string(7, 'Y')}));
    EXPECT_EQ(p.ReadParseLine(r, s), 2u);
    EXPECT_EQ(Values(p), (std::vector<std::string>{"2", "x"}));
}

std::string NumberedCsv(int rows) {
    std::string s = "id,name\n";
    for (int i = 1; i < rows; ++i) s += std::to_string(i) + ",n" + std::to_string(i) + "\n";
    return s;
}

TEST(ViewerPreview, FiguresAndItems) {
    test::TTempDir dir("viewer-preview");
    struct Case {
        const char* Name;
        std::string Bytes;
        bool NoHeader;
        int64_t Figure;
        bool More;
        size_t ColumnsItems, TextItems;
        std::vector<std::string> Columns;
    };
    const Case cases[] = {
        {"5000 lines, header", NumberedCsv(5000), false, 1000, true, 1001, 1001, {"id", "name"}},
        {"1000 lines, no header", NumberedCsv(1000), true, 1000, true, 1001, 1001, {"Column 1", "Column 2"}},
        {"empty, header", "", false, 0, false, 0, 0, {}},
        {"3 lines, header", "a,b\n1,2\n3,4,5", false, 2, false, 2, 2, {"a", "b", "Column 3"}},
        {"NUL padded", "a\n" + std::string(3000, '\0'), true, 2, false, 2, 2, {"Column 1"}},
    };
    for (const Case& c : cases) {
        const std::string path = dir / "f.csv";
        WriteFile(path, c.Bytes);
        TCSVParser parser(500);
        TViewerPreview pv;
        EXPECT_TRUE(pv.Read({.FileName = path}, c.NoHeader, parser)) << c.Name;
        EXPECT_EQ(pv.RowsFigure(), c.Figure) << c.Name;
        EXPECT_EQ(pv.More(), c.More) << c.Name;
        EXPECT_EQ(pv.ColumnsItemCount(), c.ColumnsItems) << c.Name;
        EXPECT_EQ(pv.TextItemCount(), c.TextItems) << c.Name;
        EXPECT_EQ(pv.Columns, c.Columns) << c.Name;
    }
}

TEST(ViewerPreview, MissingFileAndErrors) {
    TCSVParser parser(500);
    TViewerPreview pv;
    EXPECT_FALSE(pv.Read({.FileName = "/nonexistent/x.csv"}, false, parser));
    EXPECT_EQ(pv.Status, "File \"/nonexistent/x.csv\" does not exist.");
    EXPECT_EQ(pv.RowsFigure(), 0);
    EXPECT_FALSE(pv.More());
    EXPECT_EQ(pv.ColumnsItemCount(), 1u);
    test::TTempDir dir("viewer-preview-err");
    EXPECT_FALSE(pv.Read({.FileName = dir.Path().string()}, false, parser));
    EXPECT_EQ(pv.Status, "Cannot open " + dir.Path().string() + ".  Is a directory");
}

TEST(ViewerPreview, CellLineBreaks) {
    test::TTempDir dir("viewer-cells");
    const std::string path = dir / "f.csv";
    WriteFile(path, "h1,h2\r\n1,\"one\r\ntwo\r\nthree\"\r\n2,x\r\n");
    TCSVParser parser(500);
    parser.SetCellLineBreaks(true);
    TViewerPreview pv;
    ASSERT_TRUE(pv.Read({.FileName = path}, false, parser));
    EXPECT_EQ(pv.Rows, (std::vector<size_t>{0, 1, 4}));
    EXPECT_EQ(pv.ColumnsItemCount(), 2u);
    EXPECT_EQ(pv.TextItemCount(), 4u);
    EXPECT_EQ(pv.RowsFigure(), 4); // the figure counts lines
    parser.ParseLine(pv.RecordText(1, parser));
    EXPECT_EQ(Values(parser), (std::vector<std::string>{"1", "one\r\ntwo\r\nthree"}));
    parser.SetReplaceLineBreaks(true);
    parser.SetReplaceLineBreaksWith(" ");
    parser.ParseLine(pv.RecordText(1, parser));
    EXPECT_EQ(parser.GetColumnValue(1), "one two three");
}

// A stray quote joins the lines after it into one record until the record reaches
// the cap; the line after that starts a record again, and the lines after it are
// records of their own.
TEST(ViewerPreview, StrayQuoteRecordEndsAtTheCap) {
    test::TTempDir dir("viewer-stray");
    const std::string path = dir / "f.csv";
    std::string bytes = "h1,h2\n\"open,\n";
    size_t length = 6, lines = 2;
    while (length < TCSVParser::kMaxRecordLength) {
        bytes += "x,y\n";
        length += 2 + 3;
        ++lines;
    }
    bytes += "1,2\n3,\"4\"\n";
    WriteFile(path, bytes);
    TCSVParser parser(500);
    parser.SetCellLineBreaks(true);
    TViewerPreview pv;
    pv.MaxLines = 1 << 20;
    ASSERT_TRUE(pv.Read({.FileName = path}, false, parser));
    EXPECT_TRUE(pv.Eof);
    EXPECT_EQ(pv.Rows, (std::vector<size_t>{0, 1, lines, lines + 1}));
    EXPECT_EQ(pv.Lines.size(), lines + 2);
    parser.ParseLine(pv.RecordText(1, parser));
    EXPECT_EQ(parser.FormatError(), csvNoCloseQuote);
    EXPECT_EQ(parser.GetColumnValue(0).size(), length);
    parser.ParseLine(pv.RecordText(3, parser));
    EXPECT_EQ(Values(parser), (std::vector<std::string>{"3", "4"}));
}

// Each record reaches the sink as soon as it is complete, before the next line is
// read: what streams it out needs nothing kept.
TEST(ViewerPreview, RecordsReachTheSinkBeforeTheNextLineIsRead) {
    TLineReader* reader = nullptr;
    TViewerSource source{.FileName = "/", .ReaderClass = [&](const std::string&, int32_t) {
                             auto* lines = new TStringList();
                             for (const char* l : {"h", "1,\"a", "b\"", "2", "3,\"open", "4"}) lines->Add(l);
                             auto r = std::make_unique<TLineReader>(lines, true);
                             reader = r.get();
                             return r;
                         }};
    struct TSink : TRecordSink {
        TLineReader*& Reader;
        std::vector<std::string> Records;
        std::vector<int64_t> ReadWhenEnded;
        explicit TSink(TLineReader*& r) : Reader(r) {}
        void Line(int32_t, const std::string&, bool, bool, const TCSVParser&) override {}
        void RecordEnd(const TCSVParser& p) override {
            std::string record;
            for (const std::string& v : Values(p)) record += "[" + v + "]";
            Records.push_back(record);
            ReadWhenEnded.push_back(Reader->LineIndex());
        }
    } sink(reader);
    TCSVParser parser(500);
    parser.SetCellLineBreaks(true);
    const TRecordsRead read = ReadRecords(source, false, 1000, parser, sink);
    EXPECT_TRUE(read.Status.empty());
    EXPECT_TRUE(read.Eof);
    EXPECT_EQ(sink.Records, (std::vector<std::string>{"[h]", "[1][a\r\nb]", "[2]", "[3,\"open\r\n4]"}));
    EXPECT_EQ(sink.ReadWhenEnded, (std::vector<int64_t>{1, 3, 4, 6}));
    // The limit ends an open record as the end of the source does; asked to, the
    // read looks whether more follows.
    sink.Records.clear();
    EXPECT_FALSE(ReadRecords(source, false, 4, parser, sink).Eof);
    EXPECT_EQ(sink.Records.back(), "[3,\"open]");
    EXPECT_FALSE(ReadRecords(source, false, 4, parser, sink, true).Eof);
    EXPECT_TRUE(ReadRecords(source, false, 5, parser, sink, true).Eof);
}

TEST(ViewerPreview, DatabaseSourceWithoutHeader) {
    TCSVParser parser(500);
    TViewerPreview pv;
    const TViewerSource source{.FileName = mmdbtest::TestDb("GeoIP2-Country-Test.mmdb"),
                               .ReaderClass = TMMDBMetaReader::ReaderClass()};
    ASSERT_TRUE(pv.Read(source, true, parser));
    EXPECT_EQ(pv.Columns[0], "Column 1");
    ASSERT_TRUE(pv.Read(source, false, parser));
    EXPECT_EQ(pv.Columns[0], "binary_format_major_version");
    EXPECT_EQ(pv.Columns[1], "2");
}

// A record with a field over the line cap is one row, its line cut, and counts
// once: two records and a header are two rows, three lines without the header.
TEST(ViewerPreview, ALongRecordIsOneRow) {
    test::TTempDir dir("viewer-long");
    const std::string path = dir / "f.csv";
    const std::string field(100000, 'X');
    const struct {
        const char* Name;
        std::string Record;
        bool CellLineBreaks;
        std::string CutValue;
    } cases[] = {
        {"unquoted", "1," + field + ",end", false, std::string(65535 - 2, 'X')},
        {"quoted", "1,\"" + field + "\",end", false, std::string(65535 - 3, 'X')},
        {"quoted, cell line breaks", "1,\"" + field + "\",end", true, std::string(65535 - 3, 'X')},
        {"two-byte characters",
         "1," +
             [] {
                 std::string e;
                 for (int i = 0; i < 100000; ++i) e += "\xC3\xA9";
                 return e;
             }() +
             ",end",
         false,
         [] {
             std::string e;
             for (int i = 0; i < 65535 - 2; ++i) e += "\xC3\xA9";
             return e;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFile(path, "id,data,end\n" + c.Record + "\n2,short,end\n");
        TCSVParser parser(500);
        parser.SetCellLineBreaks(c.CellLineBreaks);
        TViewerPreview pv;
        ASSERT_TRUE(pv.Read({.FileName = path}, false, parser));
        EXPECT_TRUE(pv.Eof);
        EXPECT_EQ(pv.Lines.size(), 3u);
        EXPECT_EQ(pv.Rows, (std::vector<size_t>{0, 1, 2}));
        EXPECT_EQ(pv.CutLines, (std::vector<size_t>{1}));
        EXPECT_TRUE(pv.RecordCut(1));
        EXPECT_FALSE(pv.RecordCut(2));
        EXPECT_FALSE(pv.LineCut(2));
        EXPECT_EQ(pv.RowsFigure(), 2);
        EXPECT_EQ(pv.ColumnsItemCount(), 2u);
        EXPECT_EQ(pv.TextItemCount(), 2u);
        // The cut record's last value is the one cut short; the record after it is whole.
        parser.ParseLine(pv.RecordText(1, parser));
        if (parser.FormatError() == csvNoCloseQuote) parser.CloseCut();
        EXPECT_EQ(Values(parser), (std::vector<std::string>{"1", c.CutValue}));
        parser.ParseLine(pv.RecordText(2, parser));
        EXPECT_EQ(Values(parser), (std::vector<std::string>{"2", "short", "end"}));
        const std::atomic<bool> never{false};
        EXPECT_EQ(CountRows({.FileName = path}, false, never), 2);
        EXPECT_EQ(CountRows({.FileName = path}, true, never), 3);
    }
}

// A read stopped by its flag keeps the lines read so far and says so; the flag is
// heard inside the rest of a line of a gigabyte (a sparse file's NULs) as well.
TEST(ViewerPreview, AStopEndsTheReadSoon) {
    test::TTempDir dir("viewer-stop");
    const std::string path = dir / "f.csv";
    WriteFile(path, NumberedCsv(50000));
    std::atomic<bool> stop{false};
    int64_t reports = 0;
    const TReadControl control{.Cancelled = &stop, .Progress = [&](int64_t pos, int64_t size, int64_t lines) {
                                   EXPECT_LE(pos, size);
                                   if (++reports == 2) stop = true;
                                   EXPECT_LT(lines, 50000);
                               }};
    TCSVParser parser(500);
    TViewerPreview pv;
    pv.MaxLines = 1 << 20;
    EXPECT_TRUE(pv.Read({.FileName = path}, false, parser, {}, control));
    EXPECT_TRUE(pv.Cancelled);
    EXPECT_FALSE(pv.Eof);
    EXPECT_TRUE(pv.More());
    EXPECT_GT(pv.Lines.size(), 0u);
    EXPECT_LT(pv.Lines.size(), 50000u);
    EXPECT_EQ(pv.Lines[1], "1,n1");

    WriteFile(path, "a\n");
    std::filesystem::resize_file(path, int64_t{1} << 30);
    stop = false;
    int64_t last = 0, size = 0;
    const TReadControl inRest{.Cancelled = &stop, .Progress = [&](int64_t pos, int64_t total, int64_t) {
                                  last = pos, size = total;
                                  if (pos > 0) stop = true;
                              }};
    EXPECT_TRUE(pv.Read({.FileName = path}, false, parser, {}, inRest));
    EXPECT_TRUE(pv.Cancelled);
    EXPECT_EQ(pv.Lines.size(), 2u); // the header and the NUL run's empty line
    EXPECT_LT(last, size);
    stop = false;
    const auto abort = [&](int64_t pos, int64_t total, int64_t) {
        last = pos, size = total;
        if (pos > 0) stop = true;
    };
    EXPECT_EQ(CountRows({.FileName = path}, false, stop, abort), -1);
    EXPECT_LT(last, size);
}

TEST(ViewerCount, CountsLinesWithProgressAndAbort) {
    test::TTempDir dir("viewer-count");
    const std::string path = dir / "f.csv";
    WriteFile(path, NumberedCsv(5000) + "a,\"open\nquote\"\n");
    std::atomic<bool> cancelled{false};
    int64_t lastPos = -1, lastSize = -1, lastCount = -1;
    const auto progress = [&](int64_t pos, int64_t size, int64_t count) {
        EXPECT_GE(count, lastCount);
        lastPos = pos, lastSize = size, lastCount = count;
    };
    // Lines, not records, with or without a header.
    EXPECT_EQ(CountRows({.FileName = path}, false, cancelled, progress), 5001);
    EXPECT_EQ(lastCount, 5001);
    EXPECT_EQ(lastPos, lastSize);
    EXPECT_EQ(CountRows({.FileName = path}, true, cancelled), 5002);
    const auto abort = [&](int64_t, int64_t, int64_t count) {
        if (count > 0) cancelled = true;
    };
    EXPECT_EQ(CountRows({.FileName = path}, false, cancelled, abort), -1);
    cancelled = false;
    const TRowCountResult missing = CountRowsCatching({.FileName = dir / "none.csv"}, false, cancelled);
    EXPECT_EQ(missing.Rows, -1);
    EXPECT_EQ(missing.Error,
              "EStreamError: Cannot open " + (dir / "none.csv") + ".  No such file or directory");
    EXPECT_EQ(CountRowsCatching({.FileName = path}, false, cancelled).Rows, 5001);
    WriteFile(path, "");
    EXPECT_EQ(CountRows({.FileName = path}, false, cancelled), 0);
}

} // namespace
