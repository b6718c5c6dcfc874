// The text of an output pane: millions of lines held once and compactly, edited
// like a text, with one undo/redo history.
//
// The text is a sequence of rows separated by line breaks; there is always at least
// one row, and a text that ends with a line break ends with an empty row. As a list
// (what is counted, saved and shuffled) the lines are the rows without that final
// empty row: "a\nb\n" holds the lines a and b in three rows.
//
// Rows live in immutable chunks (one byte arena and 32-bit row ends each, a few
// thousand rows) that are shared, never copied: an edit rebuilds only the chunks it
// touches, an undo step keeps the chunks it replaced, and a snapshot is one shared
// pointer that another thread may read while the buffer goes on being edited.
//
// Columns are byte offsets into a row's UTF-8 text. A widget that draws a row as
// UTF-16 maps its caret with Utf16ToByteColumn / ByteToUtf16Column on that one
// row, which is cheap because rows are short; the model never converts whole texts.
// Offsets into the whole text as UTF-16 (what assistive tools ask for) come from a
// TUtf16Index, made on demand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/StringList.h"

namespace zarvo {

struct TTextPos {
    size_t Row = 0;
    size_t Col = 0; // bytes of UTF-8 into the row
    friend bool operator==(const TTextPos&, const TTextPos&) = default;
    friend auto operator<=>(const TTextPos&, const TTextPos&) = default;
};

struct TTextRange {
    TTextPos From, To; // From <= To
    friend bool operator==(const TTextRange&, const TTextRange&) = default;
};

// Rows [FirstRow, FirstRow + OldRows) were replaced by [FirstRow, FirstRow + NewRows);
// the rows after them shifted by NewRows - OldRows.
struct TLineChange {
    size_t FirstRow = 0, OldRows = 0, NewRows = 0;
    friend bool operator==(const TLineChange&, const TLineChange&) = default;
};

// How an edit came about; consecutive edits of the same typing kind, each going on
// where the last one stopped, are undone as one step.
enum class TEditKind : uint8_t { Other, Typing, Backspace, Delete };

// Caret mapping for a widget that counts UTF-16 units; a column inside a character
// maps to that character's end.
size_t Utf16ToByteColumn(std::string_view row, size_t utf16Col);
size_t ByteToUtf16Column(std::string_view row, size_t byteCol);

namespace linebuffer_detail {
struct TChunk;
struct TTable;
} // namespace linebuffer_detail

// Told how far a long whole-list step has come (done of total); returning false
// asks it to stop. Called on the thread doing the step, every few thousand lines.
using TLineProgress = std::function<bool(size_t done, size_t total)>;

// An immutable state of the text. Copies are cheap (one shared pointer) and any
// number of threads may read one at the same time.
class TLineSnapshot {
public:
    TLineSnapshot(); // one empty row
    static TLineSnapshot FromLines(const TStringList& lines);
    // Rows as the text splits at CR LF, LF or CR.
    static TLineSnapshot FromText(std::string_view text);

    size_t RowCount() const;
    size_t LineCount() const;
    std::string_view Row(size_t row) const; // O(log chunks)
    TTextPos End() const;
    // Bytes of text and row index held, line breaks not counted.
    size_t MemoryBytes() const;
    bool SameAs(const TLineSnapshot& other) const { return FTable == other.FTable; }

    // Calls f(std::string_view) with every line of the list, in order.
    template <typename F> void ForEachLine(F f) const {
        const size_t n = LineCount();
        ForEachRow(0, n, f);
    }
    // Calls f(std::string_view) with the rows [first, last), in order.
    void ForEachRow(size_t first, size_t last, const std::function<void(std::string_view)>& f) const;
    // The text of a range in pieces (row parts and "\n"), for copying any amount
    // without building it in one string.
    void TextPieces(const TTextRange& range, const std::function<void(std::string_view)>& f) const;
    std::string Text(const TTextRange& range) const;
    std::string Text() const { return Text({{}, End()}); }
    // The bytes of Text(range), and that text written to out (TextSize(range) bytes
    // of room), without building a string: a copy of ten million lines is served to
    // another program straight from the chunks.
    size_t TextSize(const TTextRange& range) const;
    void CopyText(const TTextRange& range, char* out) const;
    TStringList ToStringList() const;

    // The lines in random order (the calling thread's generator), each ending with
    // a line break, as a new snapshot; this one stays as it is. Progress counts
    // each line twice (dealt out, then put in place); when it asks to stop, this
    // snapshot comes back unchanged (SameAs).
    TLineSnapshot Shuffled(const TLineProgress& progress = {}) const;
    // These lines, then the given ones, each ending with a line break.
    TLineSnapshot Appended(const TStringList& lines) const;

private:
    friend class TLineBuffer;
    friend class TLineSnapshotBuilder;
    friend class TUtf16Index;
    friend void ReleaseInBackground(TLineSnapshot lines);
    explicit TLineSnapshot(std::shared_ptr<const linebuffer_detail::TTable> table)
        : FTable(std::move(table)) {}
    std::shared_ptr<const linebuffer_detail::TTable> FTable;
};

// Builds a snapshot line by line straight into its chunks, on any thread: a worker
// fills one while the window goes on with the text it shows. Started from a base
// snapshot it appends to it, sharing the base's chunks (all but the last, whose
// rows it takes in). Finish gives what SetLines (no base) or the base's
// AppendLines would: every line ends with a line break.
class TLineSnapshotBuilder {
public:
    TLineSnapshotBuilder();
    explicit TLineSnapshotBuilder(const TLineSnapshot& base);
    ~TLineSnapshotBuilder();
    TLineSnapshotBuilder(const TLineSnapshotBuilder&) = delete;
    TLineSnapshotBuilder& operator=(const TLineSnapshotBuilder&) = delete;

    // Raises "Line too long (N characters)" for a line past 4 GB.
    void Add(std::string_view line);
    void AddLines(const TStringList& lines);
    // The lines so far, the base's included.
    size_t LineCount() const { return FBaseLines + FLines; }
    // What the finished snapshot would hold (MemoryBytes), the base's chunks included.
    size_t MemoryBytes() const;
    // The snapshot; the builder is empty afterwards (as if new, without a base).
    // lastRow is the text's last row, after the last line's break: empty for a list
    // of lines, the unfinished end of a text that does not end with a line break.
    TLineSnapshot Finish(std::string_view lastRow = {});

private:
    void Flush();
    std::vector<std::shared_ptr<const linebuffer_detail::TChunk>> FChunks;
    size_t FChunkBytes = 0; // what the chunks in FChunks cost
    // Rows in the base's chunks taken as they are, and rows added since (the rows
    // of the base's last chunk among them).
    size_t FBaseLines = 0, FLines = 0;
    std::vector<char> FText; // the chunk being filled
    std::vector<uint32_t> FEnds;
};

// Builds a snapshot from a text that arrives in pieces, on any thread (a worker
// splits a pasted text while the window goes on): rows as FromText splits the whole
// text, also where a CR LF or a row is cut between two pieces.
class TTextSnapshotBuilder {
public:
    void Add(std::string_view piece);
    size_t RowCount() const { return FRows.LineCount() + 1; }
    TLineSnapshot Finish();

private:
    void AddRows(std::string_view piece); // piece holds no CR
    TLineSnapshotBuilder FRows;
    std::string FRow; // the row begun in an earlier piece
    bool FAfterCR = false;
};

// Offsets into the whole text of a snapshot as a widget that counts UTF-16 units
// sees it, its rows joined by one "\n" each: what assistive tools ask for. Made in
// O(chunks): each chunk counts its units once, when first asked, and keeps the
// count, so only chunks made since are counted again. An answer then takes
// O(log chunks) and, in a chunk with text other than ASCII, a walk over its rows.
class TUtf16Index {
public:
    explicit TUtf16Index(TLineSnapshot text);
    const TLineSnapshot& Text() const { return FText; }
    size_t Size() const { return FSize; }
    size_t Offset(TTextPos pos) const;
    size_t RowStart(size_t row) const { return Offset({row, 0}); }
    // The position at an offset; past the end, the end. An offset inside a
    // character (between the halves of a surrogate pair) gives the character's end.
    TTextPos Pos(size_t offset) const;

private:
    TLineSnapshot FText;
    std::vector<size_t> FStarts; // the offset of each chunk's first row
    size_t FSize = 0;
};

// Drops a snapshot on a thread of the module's own: when it held the last of ten
// million lines, handing their memory back to the system does not hold up the caller.
void ReleaseInBackground(TLineSnapshot lines);

class TLineBuffer {
public:
    TLineBuffer();
    explicit TLineBuffer(const TStringList& lines);
    ~TLineBuffer();
    TLineBuffer(const TLineBuffer&) = delete;
    TLineBuffer& operator=(const TLineBuffer&) = delete;

    // --- reading (the current state); a row's view lasts until the next change ---
    size_t RowCount() const { return FDoc.RowCount(); }
    size_t LineCount() const { return FDoc.LineCount(); }
    std::string_view Row(size_t row) const { return FDoc.Row(row); }
    TTextPos End() const { return FDoc.End(); }
    std::string Text(const TTextRange& range) const { return FDoc.Text(range); }
    std::string Text() const { return FDoc.Text(); }
    // The current state; copy it on the window's thread to hand it to a worker.
    const TLineSnapshot& Snapshot() const { return FDoc; }

    // --- editing; each is one undo step (or joins the last one, see TEditKind) ---
    // Positions out of the text raise an Exception. Returns where the new text ends.
    TTextPos Insert(TTextPos pos, std::string_view text, TEditKind kind = TEditKind::Other);
    void Remove(const TTextRange& range, TEditKind kind = TEditKind::Other);
    TTextPos Replace(const TTextRange& range, std::string_view text, TEditKind kind = TEditKind::Other);
    // The text of part of source in place of range: the rows between its first and
    // last are taken over in source's chunks, shared rather than copied, so that
    // pasting ten million lines costs no more than a few thousand rows.
    TTextPos Replace(const TTextRange& range, const TLineSnapshot& source, const TTextRange& part,
                     TEditKind kind = TEditKind::Other);

    // Whole-list operations; the lines end with a line break each.
    void SetLines(const TStringList& lines);
    void AppendLines(const TStringList& lines);
    void Clear();
    void Shuffle();
    // Makes result the text as one undo step, provided the text is still base
    // (a snapshot taken before a worker built result from it); false otherwise.
    bool Commit(const TLineSnapshot& base, const TLineSnapshot& result);
    // Makes result the text as one undo step, whatever the text is now.
    void Assign(const TLineSnapshot& result);

    // --- history ---
    bool CanUndo() const { return !FUndo.empty(); }
    bool CanRedo() const { return !FRedo.empty(); }
    size_t UndoCount() const { return FUndo.size(); }
    size_t RedoCount() const { return FRedo.size(); }
    // Returns the range of the restored text (for the caret and selection), or
    // nothing when there is no step.
    bool Undo(TTextRange* restored = nullptr);
    bool Redo(TTextRange* restored = nullptr);
    // The next edit starts a new step (the widget calls this when the caret moves
    // other than by typing).
    void CloseGroup() { FGroupOpen = false; }
    void ClearHistory();
    // Text the history keeps apart from the current text: the chunks its steps
    // would bring back. Beyond the budget the oldest steps are dropped, but the
    // newest step always stays, so the last change can always be undone. Large
    // amounts dropped (old steps, a redo cut off, the buffer itself when it goes)
    // are freed on a thread of their own (see ReleaseInBackground).
    void SetHistoryBudget(size_t bytes);
    size_t HistoryBudget() const { return FBudget; }
    size_t HistoryBytes() const { return FHistoryBytes; }

    void SetOnChange(std::function<void(const TLineChange&)> f) { FOnChange = std::move(f); }

private:
    using TChunkPtr = std::shared_ptr<const linebuffer_detail::TChunk>;
    struct TStep {
        size_t First = 0;             // first chunk replaced
        std::vector<TChunkPtr> Other; // the chunks the step would bring back
        size_t Count = 0;             // chunks in place of Other now
        TTextPos From, OldTo, NewTo;  // [From, OldTo) became [From, NewTo)
        TEditKind Kind = TEditKind::Other;
        size_t Bytes = 0;
    };

    linebuffer_detail::TTable& Mutable();
    void Push(TStep step, TEditKind kind, bool textEmpty);
    bool TryMerge(const TStep& step, TEditKind kind, bool textEmpty);
    void WholeStep(const TLineSnapshot& result);
    void Swap(TStep& step);
    void Trim();
    void DropSteps(std::vector<TStep> steps);
    void Notify(TTextPos from, TTextPos oldTo, TTextPos newTo);
    void CheckPos(TTextPos pos) const;

    TLineSnapshot FDoc;
    std::deque<TStep> FUndo;
    std::vector<TStep> FRedo;
    bool FGroupOpen = false;
    size_t FBudget = size_t{512} << 20;
    size_t FHistoryBytes = 0;
    std::function<void(const TLineChange&)> FOnChange;
};

} // namespace zarvo
