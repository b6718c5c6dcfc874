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

} // namespace
} // namespace zarvo
