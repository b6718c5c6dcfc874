// Decoding of user text files: byte-order marks, UTF-16, malformed UTF-8, line
// breaks and the line cap.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "support/TextDecode.h"

using namespace zarvo;

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s.push_back(static_cast<char>(c));
    return s;
}

TEST(TextDecode, Decode) {
    struct Case {
        const char* what;
        std::string bytes, text;
    };
    const Case cases[] = {
        {"empty", "", ""},
        {"plain ASCII", "10.0.0.1", "10.0.0.1"},
        {"UTF-8 byte-order mark dropped",
         "\xEF\xBB\xBF"
         "10.0.0.1",
         "10.0.0.1"},
        {"only a byte-order mark", "\xEF\xBB\xBF", ""},
        {"a mark later on is text", "a\xEF\xBB\xBF", "a\xEF\xBB\xBF"},
        {"UTF-8 kept", "h\xC3\xB4st-\xE2\x82\xAC-\xF0\x9F\x98\x80",
         "h\xC3\xB4st-\xE2\x82\xAC-\xF0\x9F\x98\x80"},
        {"UTF-16 LE", Bytes({0xFF, 0xFE, '1', 0, '.', 0, 0xF4, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE}),
         "1.\xC3\xB4\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"UTF-16 BE", Bytes({0xFE, 0xFF, 0, '1', 0, '.', 0, 0xF4, 0x20, 0xAC, 0xD8, 0x3D, 0xDE, 0x00}),
         "1.\xC3\xB4\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"UTF-16 lone high surrogate", Bytes({0xFF, 0xFE, 0x00, 0xD8, 'x', 0}), kFffd + "x"},
        {"UTF-16 lone low surrogate", Bytes({0xFE, 0xFF, 0xDC, 0x00}), kFffd},
        {"UTF-16 high surrogate at the end", Bytes({0xFF, 0xFE, 'x', 0, 0x00, 0xD8}), "x" + kFffd},
        {"UTF-16 odd byte count", Bytes({0xFE, 0xFF, 0, 'x', 0}), "x" + kFffd},
        {"UTF-16 NUL stays", Bytes({0xFF, 0xFE, 0, 0}), std::string(1, '\0')},
        {"stray continuation byte", "\x80x", kFffd + "x"},
        {"lead byte without its continuation", "\xC3x", kFffd + "x"},
        {"truncated at the end", "\xE2\x82", kFffd},
        {"overlong two bytes", "\xC0\xAF", kFffd + kFffd},
        {"overlong three bytes", "\xE0\x80\xAF", kFffd + kFffd + kFffd},
        {"encoded surrogate", "\xED\xA0\x80", kFffd + kFffd + kFffd},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
        {"F5 and above never lead", "\xF5\xFF", kFffd + kFffd},
        {"Latin-1", "caf\xE9", "caf" + kFffd},
        {"malformed after a UTF-8 mark", "\xEF\xBB\xBF\xFF", kFffd},
        {"NUL stays", std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(DecodeText(c.bytes), c.text);
        EXPECT_EQ(DecodeTextBuffer(c.bytes), c.text);
        // Malformed bytes past the eight-byte steps of the ASCII scan.
        EXPECT_EQ(DecodeTextBuffer("0123456789" + c.bytes), DecodeText("0123456789" + c.bytes));
    }
}

TEST(TextDecode, MaximalSubpartsEachBecomeOneReplacement) {
    struct Case {
        const char* what;
        std::string bytes, text;
    };
    const std::string f2 = kFffd + kFffd, f3 = f2 + kFffd, f4 = f3 + kFffd;
    const Case cases[] = {
        {"empty", "", ""},
        {"ASCII past the eight-byte steps", "0123456789abcdef-", "0123456789abcdef-"},
        {"well-formed kept", "h\xC3\xB4st-\xE2\x82\xAC-\xF0\x9F\x98\x80",
         "h\xC3\xB4st-\xE2\x82\xAC-\xF0\x9F\x98\x80"},
        {"edges of the ranges",
         "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
         "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        {"FF between letters",
         "A\xFF"
         "B",
         "A" + kFffd + "B"},
        {"stray continuation bytes", "\x80\xBFx", f2 + "x"},
        {"C0 and C1 never lead", "\xC0\xAF\xC1\xBF", f4},
        {"overlong three bytes", "\xE0\x80\xAF", f3},
        {"overlong four bytes", "\xF0\x80\x80\xAF", f4},
        {"encoded surrogate", "\xED\xA0\x80", f3},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", f4},
        {"F5 and above never lead", "\xF5\x80\xFF", f3},
        {"truncated two of three", "\xE2\x82x", kFffd + "x"},
        {"truncated three of four at the end", "x\xF0\x9F\x98", "x" + kFffd},
        {"lead cut by another lead", "\xE2\xC3\xB4", kFffd + "\xC3\xB4"},
        {"the standard's example",
         "a\xF1\x80\x80\xE1\x80\xC2"
         "b\x80"
         "c\x80\xBF"
         "d",
         "a" + f3 + "b" + kFffd + "c" + f2 + "d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string out = "old";
        AssignUtf8Replacing(out, c.bytes);
        EXPECT_EQ(out, c.text);
        EXPECT_EQ(IsWellFormedUtf8(c.bytes), c.bytes == c.text);
        // One rule for every decoder of the system.
        EXPECT_EQ(SanitizeUtf8(c.bytes), c.text);
        EXPECT_EQ(DecodeText(c.bytes), c.text);
        out = "kept ";
        AppendSanitizedUtf8(out, c.bytes);
        EXPECT_EQ(out, "kept " + c.text);
        // Cut between any two steps, the pieces decode as the whole does.
        std::string pieces;
        for (std::string_view rest = c.bytes; !rest.empty();) {
            const size_t step = Utf8StepLength(rest);
            ASSERT_GT(step, 0u);
            ASSERT_LE(step, 4u);
            pieces += SanitizeUtf8(rest.substr(0, step));
            rest.remove_prefix(step);
        }
        EXPECT_EQ(pieces, c.text);
        // Past the eight-byte steps of the ASCII scan.
        AssignUtf8Replacing(out, "0123456789" + c.bytes);
        EXPECT_EQ(out, "0123456789" + c.text);
    }
}

TEST(TextDecode, ByteOrderMarks) {
    struct Case {
        std::string bytes;
        TTextEncoding encoding;
        size_t size;
    };
    const Case cases[] = {
        {"\xEF\xBB\xBFx", TTextEncoding::Utf8, 3}, {"\xFF\xFE", TTextEncoding::Utf16LE, 2},
        {"\xFE\xFFx", TTextEncoding::Utf16BE, 2},  {"\xEF\xBB", TTextEncoding::Utf8, 0},
        {"\xFE", TTextEncoding::Utf8, 0},          {"", TTextEncoding::Utf8, 0},
        {"x\xEF\xBB\xBF", TTextEncoding::Utf8, 0},
    };
    for (const Case& c : cases) {
        const TByteOrderMark m = DetectByteOrderMark(c.bytes);
        EXPECT_EQ(m.Encoding, c.encoding) << c.bytes;
        EXPECT_EQ(m.Size, c.size) << c.bytes;
    }
}

TEST(TextDecode, Lines) {
    using Lines = std::vector<std::string>;
    struct Case {
        const char* what;
        std::string text;
        size_t maxLine;
        Lines lines;
    };
    const Case cases[] = {
        {"empty", "", SIZE_MAX, {}},
        {"no final break", "a\nb", SIZE_MAX, {"a", "b"}},
        {"a final break adds no line", "a\n", SIZE_MAX, {"a"}},
        {"CR LF", "a\r\nb\r\n", SIZE_MAX, {"a", "b"}},
        {"CR", "a\rb\r", SIZE_MAX, {"a", "b"}},
        {"mixed", "a\r\nb\nc\rd", SIZE_MAX, {"a", "b", "c", "d"}},
        {"empty lines stay", "\n\r\n\ra", SIZE_MAX, {"", "", "", "a"}},
        {"LF CR is two breaks", "a\n\rb", SIZE_MAX, {"a", "", "b"}},
        {"blanks are not trimmed", " a \t", SIZE_MAX, {" a \t"}},
        {"at the cap", "abc\nabcd\nab", 3, {"abc", "ab"}},
        {"over the cap at the end", "ab\nabcd", 3, {"ab"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(SplitLines(c.text, c.maxLine), c.lines);
    }
    // Decoded before the split: UTF-16 line breaks split, a mark is no text.
    EXPECT_EQ(DecodeTextLines(Bytes({0xFF, 0xFE, 'a', 0, '\r', 0, '\n', 0, 'b', 0})), (Lines{"a", "b"}));
    EXPECT_EQ(DecodeTextLines("\xEF\xBB\xBF"
                              "10.0.0.1\r\n"),
              (Lines{"10.0.0.1"}));
}

} // namespace

namespace {

// UTF-16 LE with its byte-order mark.
std::string Utf16Bytes(std::u16string_view s) {
    std::string out = "\xFF\xFE";
    for (char16_t c : s) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

// Hands out text in pieces of at most `piece` bytes, as a pipe may.
struct TPieces {
    std::string text;
    size_t piece;
    size_t pos = 0;
    size_t operator()(char* data, size_t size) {
        const size_t n = std::min({size, piece, text.size() - pos});
        text.copy(data, n, pos);
        pos += n;
        return n;
    }
};

std::vector<std::string> ReadAll(TTextLineReader& reader) {
    std::vector<std::string> lines;
    std::string line;
    while (reader.Next(line) == TTextLineReader::TResult::Line) lines.push_back(line);
    return lines;
}

// The same through NextLines, at most maxLines lines or maxText bytes a call; the last
// call's result goes to last.
std::vector<std::string> ReadAllInBatches(TTextLineReader& reader, size_t maxLines, size_t maxText,
                                          TTextLineReader::TResult* last = nullptr) {
    std::vector<std::string> lines;
    for (;;) {
        std::string text;
        std::vector<uint32_t> ends;
        const TTextLineReader::TResult r = reader.NextLines(text, ends, maxLines, maxText);
        EXPECT_LE(ends.size(), maxLines);
        for (size_t k = 0, start = 0; k < ends.size(); start = ends[k++] + 1) {
            EXPECT_EQ(text[ends[k]], '\n');
            lines.push_back(text.substr(start, ends[k] - start));
        }
        EXPECT_EQ(text.size(), ends.empty() ? 0 : ends.back() + 1);
        if (last) *last = r;
        if (r != TTextLineReader::TResult::Line) return lines;
    }
}

TEST(TextLineReader, GivesTheLinesOfTheWholeTextInAnyPieces) {
    const std::string utf16le = Bytes({0xFF, 0xFE, 'a', 0,    '\r', 0,    '\n', 0,    0x3D, 0xD8, 0x00,
                                       0xDE, '\r', 0,   0x00, 0xD8, '\n', 0,    '\n', 0,    'b',  0});
    const std::string texts[] = {
        "",
        "\n",
        "a",
        "a\n",
        "a\r\nb\r\n",
        "a\rb\r",
        "\r\r\n\n\r",
        "a\n\rb",
        "\xEF\xBB\xBF",
        "\xEF\xBB",
        "\xEF\xBB\xBF"
        "10.0.0.1\r\n10.0.0.2",
        "x\xEF\xBB\xBF\n\xEF\xBB\xBF",
        "caf\xE9\r\n\xE2\x82\n\xF0\x9F\x98\x80\r\xC3",
        std::string("a\0b\n", 4),
        utf16le,
        utf16le + "x", // odd last byte
        Bytes({0xFF, 0xFE, 'a', 0, '\r', 0}) + "x",
        Bytes({0xFE, 0xFF, 0, 'a', 0, '\r', 0, '\n', 0xD8, 0x3D, 0xDE, 0x00, 0, '\r', 0, 'c'}),
        Bytes({0xFE, 0xFF}),
        Bytes({0xFE, 0xFF, 0}),
        std::string(70000, 'a') + "\r" + std::string(70000, 'b') + "\r\n",
    };
    for (const std::string& text : texts) {
        for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, SIZE_MAX}) {
            SCOPED_TRACE(testing::Message() << text.substr(0, 20) << " in pieces of " << piece);
            TTextLineReader reader(TPieces{text, piece}, SIZE_MAX);
            EXPECT_EQ(ReadAll(reader), DecodeTextLines(text));
            std::string line;
            EXPECT_EQ(reader.Next(line), TTextLineReader::TResult::End); // and stays at the end
            for (const auto& [maxLines, maxText] : {std::pair<size_t, size_t>{1, SIZE_MAX},
                                                    {3, SIZE_MAX},
                                                    {SIZE_MAX, 2},
                                                    {SIZE_MAX, SIZE_MAX}}) {
                TTextLineReader batched(TPieces{text, piece}, SIZE_MAX);
                EXPECT_EQ(ReadAllInBatches(batched, maxLines, maxText), DecodeTextLines(text))
                    << "batches of " << maxLines << " lines, " << maxText << " bytes";
            }
        }
    }
}

TEST(TextLineReader, RefusesALineOverTheCapWithItsNumber) {
    using R = TTextLineReader::TResult;
    struct Case {
        const char* what;
        std::string text;
        std::vector<std::string> before; // the lines given before the refusal
        uint64_t refused;                // 0: none
    };
    const Case cases[] = {
        {"UTF-8 at the cap", "abc\nabc", {"abc", "abc"}, 0},
        {"UTF-8 over the cap", "abc\n\nabcd\nab", {"abc", ""}, 3},
        {"the last line over the cap", "ab\r\nabcd", {"ab"}, 2},
        {"the mark is not counted",
         "\xEF\xBB\xBF"
         "abc",
         {"abc"},
         0},
        {"UTF-16 counts code units",
         Utf16Bytes(u"abc\r\n\u00E9\u00E9\u00E9"),
         {"abc", "\xC3\xA9\xC3\xA9\xC3\xA9"},
         0},
        {"UTF-16 over the cap", Utf16Bytes(u"abc\nabcd"), {"abc"}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TTextLineReader reader(TPieces{c.text, 2}, 3);
        EXPECT_EQ(ReadAll(reader), c.before);
        std::string line;
        if (c.refused == 0) {
            EXPECT_EQ(reader.Next(line), R::End);
            continue;
        }
        EXPECT_EQ(reader.LineNumber(), c.refused);
        EXPECT_EQ(reader.Next(line), R::End);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", in batches");
        TTextLineReader reader(TPieces{c.text, 2}, 3);
        R last = R::Line;
        EXPECT_EQ(ReadAllInBatches(reader, 2, SIZE_MAX, &last), c.before);
        EXPECT_EQ(last, c.refused ? R::TooLong : R::End);
        if (c.refused) {
            EXPECT_EQ(reader.LineNumber(), c.refused);
        }
    }
}

// A list saved with "," between its lines reads back item by item; line breaks still
// end lines, and each item knows its line and its place in it.
TEST(TextLineReader, ASeparatorEndsItemsWithinTheirLines) {
    struct Item {
        std::string Text;
        uint64_t Line, Number;
        bool operator==(const Item&) const = default;
    };
    struct Case {
        const char* What;
        std::string Text;
        std::vector<Item> Items;
    };
    const Case cases[] = {
        {"one line",
         "10.0.0.1,10.0.0.2,10.0.0.3",
         {{"10.0.0.1", 1, 1}, {"10.0.0.2", 1, 2}, {"10.0.0.3", 1, 3}}},
        {"lines of items", "a,b\r\nc,,d\n", {{"a", 1, 1}, {"b", 1, 2}, {"c", 2, 1}, {"", 2, 2}, {"d", 2, 3}}},
        {"a separator before a line break", "a,\nb,", {{"a", 1, 1}, {"", 1, 2}, {"b", 2, 1}}},
        {"UTF-8 beside it",
         "caf\xC3\xA9,\xE2\x82,x",
         {{"caf\xC3\xA9", 1, 1}, {"\xEF\xBF\xBD", 1, 2}, {"x", 1, 3}}},
        {"UTF-16",
         Utf16Bytes(u"a,\u012C\u2C00,b\r\nc"),
         {{"a", 1, 1}, {"\xC4\xAC\xE2\xB0\x80", 1, 2}, {"b", 1, 3}, {"c", 2, 1}}},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, SIZE_MAX}) {
            SCOPED_TRACE(testing::Message() << c.What << " in pieces of " << piece);
            TTextLineReader reader(TPieces{c.Text, piece}, SIZE_MAX);
            reader.SetSeparator(',');
            std::vector<Item> items;
            std::string line;
            while (reader.Next(line) == TTextLineReader::TResult::Line)
                items.push_back({line, reader.LineNumber(), reader.ItemNumber()});
            EXPECT_EQ(items, c.Items);
            // NextLines gives the same items.
            TTextLineReader batched(TPieces{c.Text, piece}, SIZE_MAX);
            batched.SetSeparator(',');
            std::vector<std::string> texts;
            for (const Item& i : c.Items) texts.push_back(i.Text);
            EXPECT_EQ(ReadAllInBatches(batched, 2, SIZE_MAX), texts);
        }
    }
    // The cap holds each item, not the line: a list far longer than the cap reads whole.
    std::string list;
    for (int i = 0; i < 100000; ++i) list += (i ? ";" : "") + std::to_string(i);
    TTextLineReader reader(TPieces{list, 4096}, 8);
    reader.SetSeparator(';');
    std::string item;
    uint64_t n = 0;
    while (reader.Next(item) == TTextLineReader::TResult::Line) {
        ASSERT_EQ(item, std::to_string(n));
        ++n;
        ASSERT_EQ(reader.ItemNumber(), n);
    }
    EXPECT_EQ(n, 100000u);
    EXPECT_EQ(reader.LineNumber(), 1u);
}

TEST(TextLineReader, AnEndlessLineIsRefusedAfterTheCapAndOnePiece) {
    size_t asked = 0;
    TTextLineReader reader(
        [&asked](char* data, size_t size) {
            std::fill_n(data, size, '\0');
            asked += size;
            return size;
        },
        size_t{1} << 20);
    std::string line;
    EXPECT_EQ(reader.Next(line), TTextLineReader::TResult::TooLong);
    EXPECT_EQ(reader.LineNumber(), 1u);
    EXPECT_LE(asked, (size_t{1} << 20) + (size_t{64} << 10));
}

TEST(TextLineReader, AReadErrorPassesThrough) {
    bool first = true;
    TTextLineReader reader(
        [&first](char* data, size_t) -> size_t {
            if (!first) throw std::runtime_error("Input/output error");
            first = false;
            std::copy_n("a\nb", 3, data);
            return 3;
        },
        SIZE_MAX);
    std::string line;
    EXPECT_EQ(reader.Next(line), TTextLineReader::TResult::Line);
    EXPECT_EQ(line, "a");
    EXPECT_THROW(reader.Next(line), std::runtime_error);
    EXPECT_EQ(reader.Next(line), TTextLineReader::TResult::End);
}

} // namespace
