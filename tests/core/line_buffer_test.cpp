#include "support/LineBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "support/ListFile.h"
#include "support/ZarvoRandom.h"
#include "support/ZarvoText.h"
#include "test_files.h"

namespace zarvo {
namespace {

TStringList Lines(std::initializer_list<std::string_view> items) {
    TStringList l;
    for (auto s : items) l.Add(s);
    return l;
}

void Load(TLineBuffer& b, std::string_view text) {
    b.Assign(TLineSnapshot::FromText(text));
    b.ClearHistory();
}

// Keys as a text widget sends them: each character typed, Backspace and Delete.
void Type(TLineBuffer& b, TTextPos& caret, std::string_view text) {
    for (char c : text) caret = b.Insert(caret, std::string_view(&c, 1), TEditKind::Typing);
}
void Backspace(TLineBuffer& b, TTextPos& caret) {
    TTextPos from = caret;
    if (from.Col > 0)
        --from.Col;
    else if (from.Row > 0)
        from = {from.Row - 1, b.Row(from.Row - 1).size()};
    b.Remove({from, caret}, TEditKind::Backspace);
    caret = from;
}
void Delete(TLineBuffer& b, TTextPos caret) {
    TTextPos to = caret;
    if (to.Col < b.Row(to.Row).size())
        ++to.Col;
    else if (to.Row + 1 < b.RowCount())
        to = {to.Row + 1, 0};
    b.Remove({caret, to}, TEditKind::Delete);
}

struct TEditCase {
    const char* Name;
    const char* Initial;
    std::function<void(TLineBuffer&)> Edit;
    const char* Expected;
    size_t Undos, Redos;
};

void PrintTo(const TEditCase& c, std::ostream* os) {
    *os << c.Name;
}

class LineBufferEdit : public ::testing::TestWithParam<TEditCase> {};

TEST_P(LineBufferEdit, TextAndHistory) {
    const TEditCase& c = GetParam();
    TLineBuffer b;
    Load(b, c.Initial);
    c.Edit(b);
    EXPECT_EQ(b.Text(), c.Expected);
    EXPECT_EQ(b.UndoCount(), c.Undos);
    EXPECT_EQ(b.RedoCount(), c.Redos);
    // Every step undone restores the text exactly; redone, it comes back.
    const size_t redos = b.RedoCount();
    while (b.Undo()) {
    }
    EXPECT_EQ(b.Text(), c.Initial);
    while (b.RedoCount() > redos) b.Redo();
    EXPECT_EQ(b.Text(), c.Expected);
}

const TEditCase kEditCases[] = {
    {"EnterSplitsLine", "abcd",
     [](TLineBuffer& b) {
         TTextPos p{0, 2};
         Type(b, p, "\n");
         EXPECT_EQ(p, (TTextPos{1, 0}));
     },
     "ab\ncd", 1, 0},
    {"BackspaceAtLineStartJoins", "ab\ncd\n",
     [](TLineBuffer& b) {
         TTextPos p{1, 0};
         Backspace(b, p);
         EXPECT_EQ(p, (TTextPos{0, 2}));
     },
     "abcd\n", 1, 0},
    {"DeleteAtLineEndJoins", "ab\ncd",
     [](TLineBuffer& b) {
         Delete(b, {0, 2});
     },
     "abcd", 1, 0},
    {"SelectionReplacedAcrossLines", "one\ntwo\nthree\n",
     [](TLineBuffer& b) {
         EXPECT_EQ(b.Replace({{0, 1}, {2, 2}}, "X", TEditKind::Typing), (TTextPos{0, 2}));
     },
     "oXree\n", 1, 0},
    {"MultiLinePaste", "ab",
     [](TLineBuffer& b) {
         EXPECT_EQ(b.Insert({0, 1}, "1\n2\r\n3\r"), (TTextPos{3, 0}));
     },
     "a1\n2\n3\nb", 1, 0},
    {"TypingIsOneStep", "x\n",
     [](TLineBuffer& b) {
         TTextPos p{1, 0};
         Type(b, p, "hello");
     },
     "x\nhello", 1, 0},
    {"EnterIsAStepOfItsOwn", "",
     [](TLineBuffer& b) {
         TTextPos p{};
         Type(b, p, "ab\ncd");
     },
     "ab\ncd", 3, 0},
    {"CaretMoveEndsTyping", "",
     [](TLineBuffer& b) {
         TTextPos p{};
         Type(b, p, "ab");
         b.CloseGroup();
         Type(b, p, "cd");
     },
     "abcd", 2, 0},
    {"BackspacesAcrossLinesAreOneStep", "ab\ncd",
     [](TLineBuffer& b) {
         TTextPos p{1, 1};
         for (int i = 0; i < 3; ++i) Backspace(b, p);
     },
     "ad", 1, 0},
    {"DeletesAcrossLinesAreOneStep", "ab\ncd\nef",
     [](TLineBuffer& b) {
         for (int i = 0; i < 5; ++i) Delete(b, {0, 1});
     },
     "aef", 1, 0},
    {"NewEditDropsRedo", "a",
     [](TLineBuffer& b) {
         b.Insert({0, 1}, "b");
         b.Insert({0, 2}, "c");
         b.Undo();
         EXPECT_TRUE(b.CanRedo());
         b.Insert({0, 0}, "z");
     },
     "zab", 2, 0},
    {"UndoThenRedoKeepsRedoBranch", "a",
     [](TLineBuffer& b) {
         b.Insert({0, 1}, "b");
         b.Insert({0, 2}, "c");
         b.Undo();
     },
     "ab", 1, 1},
    {"SetLines", "x\ny",
     [](TLineBuffer& b) {
         b.SetLines(Lines({"a", "b"}));
     },
     "a\nb\n", 1, 0},
    {"AppendLines", "a\n",
     [](TLineBuffer& b) {
         b.AppendLines(Lines({"b", "c"}));
     },
     "a\nb\nc\n", 1, 0},
    {"AppendEndsAnOpenLine", "a\nx", [](TLineBuffer& b) { b.AppendLines(Lines({"y"})); }, "a\nx\ny\n", 1, 0},
    {"Clear", "a\nb\n", [](TLineBuffer& b) { b.Clear(); }, "", 1, 0},
    {"ClearWhenEmptyIsNoStep", "", [](TLineBuffer& b) { b.Clear(); }, "", 0, 0},
    {"ShuffleOfOneLineIsNoStep", "a\n", [](TLineBuffer& b) { b.Shuffle(); }, "a\n", 0, 0},
    {"TypingAfterSetLines", "",
     [](TLineBuffer& b) {
         b.SetLines(Lines({"a", "b"}));
         TTextPos p{1, 1};
         Type(b, p, "cd");
         Backspace(b, p);
     },
     "a\nbc\n", 3, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, LineBufferEdit, ::testing::ValuesIn(kEditCases),
                         [](const ::testing::TestParamInfo<TEditCase>& p) {
                             return std::string(p.param.Name);
                         });

TEST(LineBuffer, ShuffleIsAPermutationUndoneExactly) {
    // Over 2 MB of text, so that the lines pass through several buckets.
    TStringList lines;
    for (int i = 0; i < 200000; ++i) lines.Add("line " + std::to_string(i));
    TLineBuffer b(lines);
    const std::string before = b.Text();
    RandomSeed(7);
    b.Shuffle();
    EXPECT_NE(b.Text(), before);
    TStringList after = b.Snapshot().ToStringList();
    std::vector<std::string> got, want;
    for (size_t i = 0; i < after.Count(); ++i) got.emplace_back(after[i]);
    for (size_t i = 0; i < lines.Count(); ++i) want.emplace_back(lines[i]);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    ASSERT_TRUE(b.Undo());
    EXPECT_EQ(b.Text(), before);
}

TEST(LineBuffer, RowsAndLines) {
    struct {
        const char* Text;
        size_t Rows, Lines;
    } cases[] = {{"", 1, 0}, {"a", 1, 1}, {"a\n", 2, 1}, {"a\r\nb", 2, 2}, {"\n\n", 3, 2}};
    for (const auto& c : cases) {
        TLineBuffer b;
        Load(b, c.Text);
        EXPECT_EQ(b.RowCount(), c.Rows) << c.Text;
        EXPECT_EQ(b.LineCount(), c.Lines) << c.Text;
    }
}

TEST(LineBuffer, ChangeNotificationNamesRowsAndDelta) {
    TLineBuffer b;
    Load(b, "ab\ncd\nef\n");
    std::vector<TLineChange> seen;
    b.SetOnChange([&](const TLineChange& c) { seen.push_back(c); });
    b.Insert({1, 1}, "\n");           // rows 1..1 become 1..2
    b.Remove({{0, 1}, {2, 1}});       // rows 0..2 become 0..0
    b.Undo();                         // and back
    b.AppendLines(Lines({"x", "y"})); // the final empty row becomes three rows
    const std::vector<TLineChange> want = {{1, 1, 2}, {0, 3, 1}, {0, 1, 3}, {4, 1, 3}};
    EXPECT_EQ(seen, want);
}

TEST(LineBuffer, PositionsOutsideTheTextAreRefused) {
    TLineBuffer b;
    Load(b, "ab\n");
    EXPECT_THROW(b.Insert({0, 3}, "x"), Exception);
    EXPECT_THROW(b.Insert({2, 0}, "x"), Exception);
    EXPECT_THROW(b.Remove({{1, 0}, {0, 1}}), Exception);
    EXPECT_EQ(b.Text(), "ab\n");
}

TEST(LineBuffer, Utf16Columns) {
    const std::string row = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"
                            "b"; // a é € U+1F600 b
    const size_t u16[] = {0, 1, 2, 3, 4, 5, 6, 7};
    const size_t bytes[] = {0, 1, 3, 6, 10, 10, 11, 11};
    for (size_t i = 0; i < std::size(u16); ++i) EXPECT_EQ(Utf16ToByteColumn(row, u16[i]), bytes[i]) << i;
    EXPECT_EQ(ByteToUtf16Column(row, 6), 3u);
    EXPECT_EQ(ByteToUtf16Column(row, 10), 5u);
    EXPECT_EQ(ByteToUtf16Column(row, 11), 6u);
}

TEST(LineBuffer, HistoryStaysWithinItsBudget) {
    TStringList big;
    for (int i = 0; i < 20000; ++i) big.Add("10.0.0." + std::to_string(i));
    TLineBuffer b;
    b.SetHistoryBudget(256 << 10);
    b.SetLines(big);
    b.Clear(); // keeps the 20000 lines, more than the budget: the newest step stays
    EXPECT_EQ(b.UndoCount(), 1u);
    for (int i = 0; i < 50; ++i) b.Insert({0, 0}, "x");
    EXPECT_LE(b.HistoryBytes(), b.HistoryBudget());
    EXPECT_EQ(b.Text(), std::string(50, 'x'));
    while (b.Undo()) {
    }
    EXPECT_EQ(b.Text(), "");
}

TEST(LineBuffer, SnapshotIsIsolatedAndCommitsAsOneStep) {
    TStringList lines;
    for (int i = 0; i < 10000; ++i) lines.Add("line " + std::to_string(i));
    TLineBuffer b(lines);
    const TLineSnapshot base = b.Snapshot();
    const std::string original = base.Text();

    // A worker shuffles the snapshot while the window edits the buffer.
    TLineSnapshot shuffled;
    std::thread worker([&] {
        RandomSeed(3);
        shuffled = base.Shuffled();
    });
    b.Insert({5000, 0}, "edited ");
    worker.join();
    EXPECT_EQ(base.Text(), original);
    EXPECT_EQ(shuffled.LineCount(), 10000u);
    EXPECT_FALSE(b.Commit(base, shuffled)); // the text moved on since the snapshot

    b.Undo();
    const TLineSnapshot again = b.Snapshot();
    const TLineSnapshot result = again.Shuffled();
    ASSERT_TRUE(b.Commit(again, result));
    EXPECT_EQ(b.Text(), result.Text());
    b.Undo();
    EXPECT_EQ(b.Text(), original);
}

TEST(LineBuffer, StringListBridgeAndSave) {
    const TStringList lines = Lines({"a", "", "b\xC3\xA9"});
    TLineBuffer b(lines);
    EXPECT_EQ(b.Text(), "a\n\nb\xC3\xA9\n");
    const TStringList back = b.Snapshot().ToStringList();
    EXPECT_EQ(back.Join("|"), lines.Join("|"));

    test::TTempDir dir("linebuffer");
    TListFileWriter w(dir / "out.txt", ",");
    b.Snapshot().ForEachLine([&](std::string_view l) { w.WriteLine(l); });
    w.Close();
    std::ifstream in(dir / "out.txt", std::ios::binary);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), "a,,b\xC3\xA9");
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream got;
    got << in.rdbuf();
    return got.str();
}

TStringList Numbered(const char* prefix, int n) {
    TStringList l;
    for (int i = 0; i < n; ++i) l.Add(prefix + std::to_string(i));
    return l;
}

// The builder gives what SetLines and AppendLines give, from bases of every shape
// (empty, without a final line break, ending in an empty line, many chunks long).
TEST(LineSnapshotBuilder, MatchesSetLinesAndAppendLines) {
    const std::string many = Numbered("10.0.0.", 20000).Join("\n") + "\n";
    const struct {
        const char* Name;
        bool HasBase;
        std::string Text;
    } bases[] = {{"none", false, ""},
                 {"empty", true, ""},
                 {"ends with break", true, "a\nb\n"},
                 {"no final break", true, "a\nbc"},
                 {"empty last line", true, "x\n\n"},
                 {"many chunks", true, many}};
    for (const auto& base : bases)
        for (const int added : {0, 1, 7000}) {
            SCOPED_TRACE(std::string(base.Name) + " + " + std::to_string(added));
            const TStringList lines = Numbered("192.168.", added);
            TLineBuffer want;
            if (base.HasBase) {
                Load(want, base.Text);
                want.AppendLines(lines);
            } else {
                want.SetLines(lines);
            }
            const TLineSnapshot from = TLineSnapshot::FromText(base.Text);
            auto b = base.HasBase ? std::make_unique<TLineSnapshotBuilder>(from)
                                  : std::make_unique<TLineSnapshotBuilder>();
            // Half one line at a time, half as a list.
            for (size_t i = 0; i < lines.Count() / 2; ++i) b->Add(lines[i]);
            TStringList rest;
            for (size_t i = lines.Count() / 2; i < lines.Count(); ++i) rest.Add(lines[i]);
            b->AddLines(rest);
            EXPECT_EQ(b->LineCount(), want.LineCount());
            const size_t estimate = b->MemoryBytes();
            const TLineSnapshot got = b->Finish();
            EXPECT_EQ(got.Text(), want.Text());
            EXPECT_EQ(got.LineCount(), want.LineCount());
            EXPECT_EQ(got.RowCount(), want.RowCount());
            EXPECT_NEAR(static_cast<double>(estimate), static_cast<double>(got.MemoryBytes()), 64.0);
            EXPECT_EQ(b->LineCount(), 0u);
        }
}

TEST(LineSnapshotBuilder, SharesTheBaseChunks) {
    TLineBuffer buffer(Numbered("10.1.", 200000));
    TLineSnapshotBuilder b(buffer.Snapshot());
    b.AddLines(Numbered("x", 10));
    buffer.Assign(b.Finish());
    EXPECT_EQ(buffer.LineCount(), 200010u);
    // The step keeps only the chunks it replaced: the base's last one.
    EXPECT_LT(buffer.HistoryBytes(), size_t{128} << 10);
    ASSERT_TRUE(buffer.Undo());
    EXPECT_EQ(buffer.LineCount(), 200000u);
}

TEST(LineSnapshotBuilder, BuildsOnAWorkerWhileTheBufferIsEdited) {
    TLineBuffer buffer(Numbered("a", 5000));
    const TLineSnapshot base = buffer.Snapshot();
    const std::string before = base.Text();
    TLineSnapshot result;
    std::thread worker([&] {
        TLineSnapshotBuilder b(base);
        for (int i = 0; i < 50000; ++i) b.Add("w" + std::to_string(i));
        result = b.Finish();
    });
    for (int i = 0; i < 200; ++i) buffer.Insert({static_cast<size_t>(i) * 10, 0}, "e");
    worker.join();
    EXPECT_EQ(base.Text(), before);
    EXPECT_EQ(result.LineCount(), 55000u);
    EXPECT_EQ(result.Row(5000), "w0");
}

// The writer gathers lines into pieces of its own: lines that fill a piece exactly, pass
// its end, or are longer than it, reach the file as the lines joined by the delimiter.
TEST(ListFileWriter, LinesAcrossPiecesAsJoined) {
    test::TTempDir dir("listfile");
    const size_t piece = size_t{128} << 10;
    const std::vector<std::vector<std::string>> lists = {
        {std::string(piece, 'a'), "b"},
        {std::string(piece - 2, 'a'), "", "b"},
        {"a", std::string(piece + 5, 'x'), "", "c", std::string(3 * piece, 'y')},
        {"", "", ""},
    };
    std::vector<std::string> many;
    for (int i = 0; i < 40000; ++i) many.push_back(std::to_string(i * 7919)); // some pieces' worth
    for (const std::vector<std::string>& list : {lists[0], lists[1], lists[2], lists[3], many})
        for (const TListDelimiter d : {ldEndOfLine, ldComma, ldSemicolon}) {
            TStringList lines;
            for (const std::string& line : list) lines.Add(line);
            SaveListToFile(lines, dir / "out.txt", ListDelimiter(d));
            EXPECT_EQ(ReadFile(dir / "out.txt"), lines.Join(ListDelimiter(d)))
                << list.size() << " lines, delimiter " << static_cast<int>(d);
        }
}

TEST(SaveLinesToFile, WritesWhatSaveListToFileWrites) {
    test::TTempDir dir("savelines");
    const TStringList big = Numbered("10.0.", 150000); // several progress blocks
    const struct {
        const char* Name;
        std::string Text;
    } texts[] = {
        {"empty", ""}, {"one", "a\n"}, {"no final break", "a\n\nb\xC3\xA9"}, {"big", big.Join("\n")}};
    for (const auto& t : texts)
        for (const TListDelimiter d : {ldEndOfLine, ldComma, ldSemicolon}) {
            SCOPED_TRACE(std::string(t.Name) + " " + std::to_string(d));
            const TLineSnapshot lines = TLineSnapshot::FromText(t.Text);
            SaveListToFile(lines.ToStringList(), dir / "want.txt", ListDelimiter(d));
            size_t last = 0, total = 0;
            ASSERT_TRUE(
                SaveLinesToFile(lines, dir / "got.txt", ListDelimiter(d), [&](size_t done, size_t all) {
                    EXPECT_GE(done, last);
                    last = done;
                    total = all;
                    return true;
                }));
            EXPECT_EQ(ReadFile(dir / "got.txt"), ReadFile(dir / "want.txt"));
            EXPECT_EQ(last, lines.LineCount());
            EXPECT_EQ(total, lines.LineCount());
        }
}

TEST(SaveLinesToFile, StoppedLeavesTheFileAsItWas) {
    test::TTempDir dir("savelines");
    const std::string path = dir / "list.txt";
    SaveListToFile(Lines({"old"}), path, "\r\n");
    const TLineSnapshot lines = TLineSnapshot::FromLines(Numbered("10.0.", 300000));
    for (const size_t stopAt : {size_t{0}, size_t{100000}, lines.LineCount()}) {
        SCOPED_TRACE(stopAt);
        EXPECT_FALSE(SaveLinesToFile(lines, path, ",", [&](size_t done, size_t) { return done < stopAt; }));
        EXPECT_EQ(ReadFile(path), "old");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
    }
}

TEST(LineSnapshot, ShuffledReportsProgressAndStops) {
    const TLineSnapshot lines = TLineSnapshot::FromLines(Numbered("line ", 300000));
    size_t last = 0, calls = 0;
    const TLineSnapshot shuffled = lines.Shuffled([&](size_t done, size_t total) {
        EXPECT_GE(done, last);
        EXPECT_EQ(total, 2 * lines.LineCount());
        last = done;
        ++calls;
        return true;
    });
    EXPECT_EQ(last, 2 * lines.LineCount());
    EXPECT_GT(calls, 2u);
    EXPECT_EQ(shuffled.LineCount(), lines.LineCount());
    EXPECT_FALSE(shuffled.SameAs(lines));
    for (const size_t stopAt : {size_t{0}, size_t{200000}, size_t{450000}, 2 * lines.LineCount()}) {
        SCOPED_TRACE(stopAt);
        EXPECT_TRUE(lines.Shuffled([&](size_t done, size_t) { return done < stopAt; }).SameAs(lines));
    }
}

// A plain string with a list of whole states stands for the buffer and its history.
struct TModel {
    std::vector<std::string> States{""};
    size_t At = 0;
    const std::string& Text() const { return States[At]; }

    static size_t Offset(const std::string& t, TTextPos p) {
        size_t off = 0;
        for (size_t r = 0; r < p.Row; ++r) off = t.find('\n', off) + 1;
        return off + p.Col;
    }
    static TTextPos Pos(const std::string& t, size_t off) {
        const auto rows = std::count(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(off), '\n');
        const size_t lineStart = off == 0 ? 0 : t.rfind('\n', off - 1) + 1; // npos + 1 is 0
        return {static_cast<size_t>(rows), off - lineStart};
    }
    void Set(std::string t, bool merged) {
        States.resize(At + 1);
        if (merged) {
            States[At] = std::move(t);
        } else {
            States.push_back(std::move(t));
            ++At;
        }
    }
};

std::string Normalize(std::string_view s) {
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r') {
            r += '\n';
            if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
        } else {
            r += s[i];
        }
    }
    return r;
}

std::vector<std::string> Split(const std::string& t) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < t.size()) {
        const size_t e = t.find('\n', pos);
        if (e == std::string::npos) {
            lines.push_back(t.substr(pos));
            break;
        }
        lines.push_back(t.substr(pos, e - pos));
        pos = e + 1;
    }
    return lines;
}

TEST(LineBuffer, MatchesAPlainStringOverRandomEdits) {
    std::mt19937_64 rng(12345);
    auto below = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    const char* pieces[] = {"a", "bc", "\n", "x\ny", "\r\n", "long line text", "\n\n\n", "q\rr"};

    TStringList start;
    for (int i = 0; i < 6000; ++i) start.Add(std::to_string(i * 7));
    TLineBuffer b(start);
    TModel m;
    m.States[0] = b.Text();

    for (int step = 0; step < 3000; ++step) {
        const std::string& t = m.Text();
        const size_t op = below(100);
        const size_t undosBefore = b.UndoCount();
        auto randomRange = [&] {
            size_t x = below(t.size() + 1), y = x + below(std::min<size_t>(t.size() - x, 400) + 1);
            if (below(50) == 0) x = 0, y = t.size();
            return std::pair{x, y};
        };
        if (op < 35) {
            const size_t x = below(t.size() + 1);
            const std::string_view text = pieces[below(std::size(pieces))];
            const TEditKind kind = below(2) ? TEditKind::Typing : TEditKind::Other;
            b.Insert(TModel::Pos(t, x), text, kind);
            std::string n = t;
            n.insert(x, Normalize(text));
            m.Set(std::move(n), b.UndoCount() == undosBefore);
        } else if (op < 55) {
            const auto [x, y] = randomRange();
            const TEditKind kinds[] = {TEditKind::Other, TEditKind::Backspace, TEditKind::Delete};
            b.Remove({TModel::Pos(t, x), TModel::Pos(t, y)}, kinds[below(3)]);
            if (x == y) continue;
            std::string n = t;
            n.erase(x, y - x);
            m.Set(std::move(n), b.UndoCount() == undosBefore);
        } else if (op < 65) {
            const auto [x, y] = randomRange();
            const std::string_view text = pieces[below(std::size(pieces))];
            b.Replace({TModel::Pos(t, x), TModel::Pos(t, y)}, text, TEditKind::Typing);
            std::string n = t;
            n.replace(x, y - x, Normalize(text));
            m.Set(std::move(n), b.UndoCount() == undosBefore);
        } else if (op < 80) {
            if (b.Undo()) --m.At;
            ASSERT_EQ(b.UndoCount(), m.At) << step;
        } else if (op < 92) {
            if (b.Redo()) ++m.At;
        } else if (op < 94) {
            b.CloseGroup();
        } else {
            const size_t kind = below(4);
            std::vector<std::string> lines = Split(t);
            std::string n;
            if (kind == 0) { // a run's replace
                TStringList l;
                for (int i = 0, k = static_cast<int>(below(3000)); i < k; ++i) l.Add("r" + std::to_string(i));
                b.SetLines(l);
                n = b.Text();
            } else if (kind == 1) { // a run's append
                TStringList l;
                for (int i = 0, k = static_cast<int>(below(3000)); i < k; ++i) l.Add("p" + std::to_string(i));
                b.AppendLines(l);
                for (size_t i = 0; i < l.Count(); ++i) lines.emplace_back(l[i]);
                for (const auto& s : lines) n += s + "\n";
                if (b.UndoCount() == undosBefore) n = t; // nothing to append
            } else if (kind == 2) {
                b.Clear();
            } else {
                b.Shuffle();
                // The order is the generator's; the lines must be the same ones.
                n = b.Text();
                std::vector<std::string> got = Split(n);
                std::sort(got.begin(), got.end());
                std::sort(lines.begin(), lines.end());
                ASSERT_EQ(got, lines) << "step " << step;
            }
            if (b.UndoCount() != undosBefore) m.Set(std::move(n), false);
        }
        ASSERT_EQ(b.Text(), m.Text()) << "step " << step;
        ASSERT_EQ(b.UndoCount(), m.At) << "step " << step;
        ASSERT_EQ(b.RedoCount(), m.States.size() - 1 - m.At) << "step " << step;
    }
    while (b.Undo()) --m.At;
    EXPECT_EQ(m.At, 0u);
    EXPECT_EQ(b.Text(), m.States[0]);
}

// The edit of a paste: part of another snapshot in place of a range.
TEST(LineBuffer, ReplaceFromASnapshotMatchesAPlainString) {
    std::mt19937_64 rng(99);
    auto below = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    TStringList start, other;
    for (int i = 0; i < 6000; ++i) start.Add("r" + std::to_string(i));
    // Several chunks, one row without a line break at the end, a non-ASCII row.
    for (int i = 0; i < 9000; ++i) other.Add(i == 77 ? "\xC3\xA9t\xC3\xA9" : "s" + std::to_string(i * 3));
    const TLineSnapshot source = TLineSnapshot::FromText(TLineSnapshot::FromLines(other).Text() + "tail");
    const std::string src = source.Text();
    TLineBuffer b(start);
    TModel m;
    m.States[0] = b.Text();
    for (int step = 0; step < 400; ++step) {
        const std::string& t = m.Text();
        const size_t x = below(t.size() + 1), y = x + below(std::min<size_t>(t.size() - x, 300) + 1);
        // Now and then the whole source, or most of it: whole chunks are taken over.
        size_t sx = below(src.size() + 1), sy = sx + below(std::min<size_t>(src.size() - sx, 500) + 1);
        if (step % 7 == 0) sx = below(100), sy = src.size() - below(100);
        while (sx > 0 && (static_cast<unsigned char>(src[sx]) & 0xC0) == 0x80) --sx;
        while (sy < src.size() && (static_cast<unsigned char>(src[sy]) & 0xC0) == 0x80) ++sy;
        const TTextPos end = b.Replace({TModel::Pos(t, x), TModel::Pos(t, y)}, source,
                                       {TModel::Pos(src, sx), TModel::Pos(src, sy)});
        std::string n = t;
        n.replace(x, y - x, src.substr(sx, sy - sx));
        if (!(x == y && sx == sy)) {
            EXPECT_EQ(end, TModel::Pos(n, x + sy - sx)) << step;
            m.Set(std::move(n), false);
        }
        ASSERT_EQ(b.Text(), m.Text()) << "step " << step;
        if (below(4) == 0 && b.Undo()) --m.At;
        if (below(8) == 0 && b.Redo()) ++m.At;
        ASSERT_EQ(b.Text(), m.Text()) << "step " << step;
    }
    while (b.Undo()) --m.At;
    EXPECT_EQ(b.Text(), m.States[0]);
}

TEST(LineBuffer, PasteOfAMillionLinesSharesTheirChunks) {
    TLineBuffer b(Numbered("10.0.", 1000000));
    const TLineSnapshot copy = b.Snapshot();
    const size_t before = copy.MemoryBytes();
    const TTextPos end = b.Replace({b.End(), b.End()}, copy, {{}, copy.End()});
    EXPECT_EQ(end, (TTextPos{2000000, 0}));
    EXPECT_EQ(b.LineCount(), 2000000u);
    EXPECT_EQ(b.Row(1999999), "10.0.999999");
    // The step keeps the one chunk it replaced; the pasted rows are the copy's chunks.
    EXPECT_LT(b.HistoryBytes(), size_t{128} << 10);
    EXPECT_LT(b.Snapshot().MemoryBytes(), 2 * before + (size_t{256} << 10));
    ASSERT_TRUE(b.Undo());
    EXPECT_EQ(b.LineCount(), 1000000u);
    EXPECT_EQ(b.Text(), copy.Text());
}

TEST(LineSnapshot, TextSizeAndCopyTextGiveText) {
    const TLineSnapshot s = TLineSnapshot::FromText(Numbered("a\xC3\xA9", 5000).Join("\n") + "\n\nend");
    const std::string all = s.Text();
    std::mt19937_64 rng(5);
    for (int i = 0; i < 300; ++i) {
        size_t x = rng() % (all.size() + 1), y = x + rng() % (all.size() - x + 1);
        if (i == 0) x = 0, y = all.size();
        const TTextRange r{TModel::Pos(all, x), TModel::Pos(all, y)};
        ASSERT_EQ(s.TextSize(r), y - x);
        std::string out(y - x, '?');
        s.CopyText(r, out.data());
        ASSERT_EQ(out, all.substr(x, y - x));
    }
    EXPECT_THROW(s.TextSize({{0, 0}, {s.RowCount(), 0}}), Exception);
}

// A text cut into pieces anywhere splits into the rows of the whole.
TEST(TextSnapshotBuilder, PiecesSplitAsTheWholeText) {
    const std::string texts[] = {
        "", "a", "a\n", "a\r\nb", "a\rb\r", "\r\n\r\n", "x\r\r\ny\n\nz", "\n", "one\ntwo\r\nthree\rfour"};
    for (const std::string& text : texts) {
        const std::string want = TLineSnapshot::FromText(text).Text();
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            TTextSnapshotBuilder b;
            b.Add(std::string_view(text).substr(0, cut));
            b.Add(std::string_view(text).substr(cut));
            const TLineSnapshot got = b.Finish();
            EXPECT_EQ(got.Text(), want) << text << " cut at " << cut;
            EXPECT_EQ(got.RowCount(), TLineSnapshot::FromText(text).RowCount()) << text;
        }
        TTextSnapshotBuilder bytes;
        for (const char c : text) bytes.Add(std::string_view(&c, 1));
        EXPECT_EQ(bytes.Finish().Text(), want) << text;
    }
    // Many rows: several chunks, the same rows as FromText.
    const std::string many = Numbered("10.0.0.", 20000).Join("\r\n") + "\r\nlast";
    TTextSnapshotBuilder b;
    for (size_t at = 0; at < many.size(); at += 4093) b.Add(std::string_view(many).substr(at, 4093));
    const TLineSnapshot got = b.Finish(), want = TLineSnapshot::FromText(many);
    ASSERT_EQ(got.RowCount(), want.RowCount());
    EXPECT_EQ(got.Text(), want.Text());
    EXPECT_EQ(got.Row(got.RowCount() - 1), "last");
}

// UTF-16 units of a UTF-8 text, counted by code points.
size_t Units(std::string_view s) {
    size_t n = 0;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t len = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        n += len == 4 ? 2 : 1;
        i += len;
    }
    return n;
}

struct TOffsetCase {
    const char* Name;
    std::string Text;
    TTextPos Pos;
    size_t Offset;
};

void PrintTo(const TOffsetCase& c, std::ostream* os) {
    *os << c.Name;
}

class Utf16Offsets : public ::testing::TestWithParam<TOffsetCase> {};

TEST_P(Utf16Offsets, PositionAndOffsetMeet) {
    const TOffsetCase& c = GetParam();
    const TUtf16Index index(TLineSnapshot::FromText(c.Text));
    EXPECT_EQ(index.Offset(c.Pos), c.Offset);
    EXPECT_EQ(index.Pos(c.Offset), c.Pos);
}

const TOffsetCase kOffsetCases[] = {
    {"Start", "10.0.0.0\n10.0.0.1\n", {0, 0}, 0},
    {"SecondLine", "10.0.0.0\n10.0.0.1\n", {1, 0}, 9},
    {"EndOfFirstLine", "10.0.0.0\n10.0.0.1\n", {0, 8}, 8},
    {"EmptyLastRow", "10.0.0.0\n10.0.0.1\n", {2, 0}, 18},
    {"EmptyRows", "a\n\n\nb", {3, 1}, 5},
    {"TwoByteCharacters", "\xC3\xA9t\xC3\xA9\nx", {1, 1}, 5},
    {"InsideALine", "\xC3\xA9t\xC3\xA9\nx", {0, 3}, 2},
    {"SurrogatePair",
     "a\xF0\x9F\x98\x80"
     "b\nc",
     {0, 5},
     3},
    {"AfterASurrogatePair",
     "a\xF0\x9F\x98\x80"
     "b\nc",
     {1, 1},
     6},
    {"ThreeByteCharacter", "\xE2\x82\xAC\n\xE2\x82\xAC", {1, 3}, 3},
};

INSTANTIATE_TEST_SUITE_P(Cases, Utf16Offsets, ::testing::ValuesIn(kOffsetCases),
                         [](const ::testing::TestParamInfo<TOffsetCase>& p) {
                             return std::string(p.param.Name);
                         });

TEST(Utf16Index, MatchesACountOverManyChunks) {
    // Rows of all kinds over several chunks, some all ASCII, some not.
    TStringList lines;
    for (int i = 0; i < 12000; ++i) {
        std::string l = "10." + std::to_string(i);
        if (i % 3000 < 40) l += i % 2 ? "\xC3\xA9" : "\xF0\x9F\x98\x80";
        if (i % 997 == 0) l.clear();
        lines.Add(l);
    }
    const TLineSnapshot text = TLineSnapshot::FromLines(lines);
    const TUtf16Index index(text);
    size_t offset = 0;
    for (size_t r = 0; r < text.RowCount(); ++r) {
        const std::string_view row = text.Row(r);
        ASSERT_EQ(index.RowStart(r), offset) << r;
        ASSERT_EQ(index.Pos(offset), (TTextPos{r, 0})) << r;
        const size_t units = Units(row);
        ASSERT_EQ(index.Offset({r, row.size()}), offset + units) << r;
        ASSERT_EQ(index.Pos(offset + units), (TTextPos{r, row.size()})) << r;
        offset += units + 1;
    }
    EXPECT_EQ(index.Size(), offset - 1);
    // Past the end: the end.
    EXPECT_EQ(index.Pos(index.Size() + 10), text.End());
    // Counts kept in the chunks: a second index of an edited text agrees.
    TLineBuffer b(lines);
    const TUtf16Index first(b.Snapshot());
    b.Insert({6000, 0}, "\xC3\xA9\xC3\xA9\n");
    const TUtf16Index second(b.Snapshot());
    EXPECT_EQ(second.Size(), first.Size() + 3);
    EXPECT_EQ(second.RowStart(6001), first.RowStart(6000) + 3);
}

TEST(LineBuffer, LargeDropsAreFreedAfterwards) {
    // History and texts past a megabyte are freed on another thread; the buffer and
    // its snapshots go on as before.
    TLineBuffer b(Numbered("10.0.", 300000));
    const TLineSnapshot kept = b.Snapshot();
    b.Clear();
    b.SetHistoryBudget(0);
    b.SetLines(Numbered("x", 300000));
    EXPECT_EQ(b.UndoCount(), 1u);
    b.ClearHistory();
    ReleaseInBackground(b.Snapshot());
    EXPECT_EQ(kept.LineCount(), 300000u);
    EXPECT_EQ(b.Row(299999), "x299999");
    {
        TLineBuffer gone(Numbered("y", 300000));
        gone.Clear();
    }
    EXPECT_EQ(kept.Row(299999), "10.0.299999");
}

} // namespace
} // namespace zarvo
