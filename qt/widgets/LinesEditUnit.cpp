#include "qt/widgets/LinesEditUnit.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOption>
#include <QTextLayout>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "support/LargeMemory.h"
#include "support/TextDecode.h"
#include "qt/widgets/VFormUnit.h"
#include "qt/widgets/XSelectionReader.h"

namespace zarvo::qt {

namespace {

// Space left of the text, so that a caret at column 0 is not hidden by the frame.
constexpr int kMargin = 4;
// Changes up to this many characters are told to assistive tools with their text;
// a larger one (a whole new list) without it, which would cost a copy of the list.
constexpr size_t kTellText = size_t{1} << 16;

QString RowString(std::string_view row) {
    return QString::fromUtf8(row.data(), qsizetype(row.size()));
}

std::string ToUtf8(const QString& s) {
    const QByteArray b = s.toUtf8();
    return std::string(b.constData(), size_t(b.size()));
}

// The text of a range, straight from the chunks into one piece of UTF-8.
QByteArray RangeBytes(const TLineSnapshot& lines, const TTextRange& range) {
    QByteArray bytes(qsizetype(lines.TextSize(range)), Qt::Uninitialized);
    // A hundred megabytes take as long to fault in 4 KiB pages as to fill.
    AdviseHugePages(bytes.data(), size_t(bytes.size()));
    lines.CopyText(range, bytes.data());
    return bytes;
}

QString RangeText(const TLineSnapshot& lines, const TTextRange& range) {
    return QString::fromUtf8(RangeBytes(lines, range));
}

int ClampInt(size_t n) {
    return int(std::min<size_t>(n, size_t(INT_MAX)));
}

bool IsWordChar(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

// What the clipboard holds after a copy: the text state and the range. A pane of
// this program pastes the lines themselves. Another program gets UTF-8 bytes, and
// Qt asks for them on the window's thread, all at once (0.1-0.8 s for ten million
// lines). A large copy (Ctrl+C) has them made on a worker at once, since a desktop's
// clipboard manager asks for every copy; the primary selection, offered at each
// selection, makes them only when asked.
class TLinesMimeData : public QMimeData {
public:
    enum class TPrepare { OnRequest, Ahead };
    TLinesMimeData(TLineSnapshot lines, TTextRange range, TPrepare prepare = TPrepare::OnRequest)
        : FLines(std::move(lines)), FRange(range) {
        if (prepare == TPrepare::Ahead && FLines.TextSize(FRange) >= kPrepareBytes) PrepareBytes();
    }
    // The copy may hold the last of a list long gone from the pane.
    ~TLinesMimeData() override { ReleaseInBackground(std::move(FLines)); }
    const TLineSnapshot& Lines() const { return FLines; }
    const TTextRange& Range() const { return FRange; }
    QStringList formats() const override { return {QStringLiteral("text/plain")}; }
    bool hasFormat(const QString& mimeType) const override { return mimeType == QLatin1String("text/plain"); }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override {
        if (mimeType != QLatin1String("text/plain")) return {};
        const QByteArray bytes = Bytes();
        if (type.id() == QMetaType::QByteArray) return bytes;
        return QString::fromUtf8(bytes);
    }

private:
    static constexpr size_t kPrepareBytes = size_t{8} << 20; // below, 10 ms at most on the window's thread
    // Shared with the worker, which may outlive the copy (a new copy replaces it).
    struct TPrepared {
        std::mutex Lock;
        std::condition_variable Done;
        std::optional<QByteArray> Bytes;
    };
    void PrepareBytes() {
        FPrepared = std::make_shared<TPrepared>();
        std::thread([prepared = FPrepared, lines = FLines, range = FRange] {
            QByteArray bytes = RangeBytes(lines, range);
            {
                std::lock_guard<std::mutex> lock(prepared->Lock);
                prepared->Bytes = std::move(bytes);
            }
            prepared->Done.notify_all();
            ReleaseInBackground(lines);
        }).detach();
    }
    QByteArray Bytes() const {
        if (!FPrepared) return RangeBytes(FLines, FRange);
        std::unique_lock<std::mutex> lock(FPrepared->Lock);
        FPrepared->Done.wait(lock, [this] { return FPrepared->Bytes.has_value(); });
        return *FPrepared->Bytes; // shared, not copied
    }
    TLineSnapshot FLines;
    TTextRange FRange;
    std::shared_ptr<TPrepared> FPrepared;
};

// A pasted text as lines, split on a worker in slices; nothing when stopped.
// UTF-8 that arrives in pieces, as lines: a character cut between two pieces is
// put together again, malformed bytes become U+FFFD, and a NUL at the very end
// (which some programs send) is dropped, as Qt drops it.
class TUtf8Lines {
public:
    void Add(std::string_view piece) {
        if (FCarry.empty()) return Take(piece);
        std::string joined = std::exchange(FCarry, std::string());
        joined.append(piece);
        Take(joined);
    }
    TLineSnapshot Finish() {
        if (FCarry != std::string_view("\0", 1)) Put(FCarry);
        FCarry.clear();
        return FLines.Finish();
    }

private:
    void Take(std::string_view bytes) {
        // Held back: a last character not yet complete, or a NUL that may end it all.
        size_t keep = 0;
        if (!bytes.empty() && bytes.back() == '\0') {
            keep = 1;
        } else {
            for (size_t back = 1; back <= std::min<size_t>(3, bytes.size()); ++back) {
                const auto b = static_cast<unsigned char>(bytes[bytes.size() - back]);
                if ((b & 0xC0) == 0x80) continue;
                const size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
                if (need > back) keep = back;
                break;
            }
        }
        Put(bytes.substr(0, bytes.size() - keep));
        FCarry.assign(bytes.substr(bytes.size() - keep));
    }
    void Put(std::string_view bytes) {
        if (IsWellFormedUtf8(bytes)) return FLines.Add(bytes);
        FClean.clear();
        AppendSanitizedUtf8(FClean, bytes);
        FLines.Add(FClean);
    }
    TTextSnapshotBuilder FLines;
    std::string FCarry, FClean;
};

std::optional<TLineSnapshot> SplitText(const QString& text, const std::atomic<bool>& stop,
                                       std::atomic<size_t>& done) {
    constexpr qsizetype kSlice = qsizetype{1} << 16;
    TTextSnapshotBuilder lines;
    for (qsizetype at = 0; at < text.size();) {
        if (stop.load(std::memory_order_relaxed)) return std::nullopt;
        qsizetype n = std::min(kSlice, text.size() - at);
        // Never between the halves of a surrogate pair.
        if (at + n < text.size() && text[at + n - 1].isHighSurrogate()) --n;
        const QByteArray utf8 = QStringView(text).mid(at, n).toUtf8();
        lines.Add(std::string_view(utf8.constData(), size_t(utf8.size())));
        at += n;
        done.store(size_t(at), std::memory_order_relaxed);
    }
    return lines.Finish();
}

// An item of the whole text as offsets [From, To).
struct TSpan {
    size_t From = 0, To = 0;
};

// The item of a kind that holds the character at offset: that character (both
// halves of a surrogate pair), the word or the run of separators around it in its
// row (see WordAt; a line break is an item of its own), or its row with the line
// break that ends it. At the end of the text: an empty item there, or the last row.
TSpan ItemAt(const TLinesEdit& e, size_t offset, QAccessible::TextBoundaryType type) {
    const size_t size = e.TextLength();
    offset = std::min(offset, size);
    const TTextPos p = e.PosAtOffset(offset);
    const std::string_view row = e.Buffer().Row(p.Row);
    const size_t rowStart = e.OffsetOf({p.Row, 0});
    const size_t rowEnd = rowStart + ByteToUtf16Column(row, row.size());
    switch (type) {
    case QAccessible::NoBoundary:
        return {0, size};
    case QAccessible::CharBoundary:
    case QAccessible::WordBoundary:
        break;
    default: // lines, and sentences and paragraphs, which are lines here
        return {rowStart, p.Row + 1 < e.Buffer().RowCount() ? rowEnd + 1 : rowEnd};
    }
    if (offset == size) return {size, size};
    if (offset >= rowEnd) return {rowEnd, rowEnd + 1};
    // Inside a surrogate pair the position is the pair's end: the pair is before it.
    const size_t at = rowStart + ByteToUtf16Column(row, p.Col);
    if (at > offset) return {offset - 1, at};
    if (type == QAccessible::CharBoundary) {
        size_t next = p.Col + 1;
        while (next < row.size() && (static_cast<unsigned char>(row[next]) & 0xC0) == 0x80) ++next;
        return {at, rowStart + ByteToUtf16Column(row, next)};
    }
    const TTextRange w = e.WordAt(p);
    return {rowStart + ByteToUtf16Column(row, w.From.Col), rowStart + ByteToUtf16Column(row, w.To.Col)};
}

// The pane to assistive tools: an editable text whose text interface offers the
// whole text, its offsets counted as TLinesEdit::OffsetOf counts them. The name
// comes from the buddy label, as QAccessibleWidget finds it; the value is the
// caret's row.
class TLinesEditAccessible : public QAccessibleWidget,
                             public QAccessibleTextInterface,
                             public QAccessibleEditableTextInterface {
public:
    explicit TLinesEditAccessible(TLinesEdit* w) : QAccessibleWidget(w, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
        if (t == QAccessible::EditableTextInterface)
            return static_cast<QAccessibleEditableTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        const bool locked = Edit()->IsReadOnly() || Edit()->IsPasting();
        s.editable = !locked;
        s.readOnly = locked;
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return RowString(Edit()->Buffer().Row(Edit()->Caret().Row));
        return QAccessibleWidget::text(t);
    }

    // --- QAccessibleTextInterface
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = 0;
        if (selectionIndex != 0 || !Edit()->HasSelection()) return;
        const TTextRange r = Edit()->Selection();
        *startOffset = Offset(r.From);
        *endOffset = Offset(r.To);
    }
    int selectionCount() const override { return Edit()->HasSelection() ? 1 : 0; }
    void addSelection(int startOffset, int endOffset) override { setSelection(0, startOffset, endOffset); }
    void removeSelection(int selectionIndex) override {
        if (selectionIndex == 0) Edit()->SetCaret(Edit()->Caret());
    }
    void setSelection(int selectionIndex, int startOffset, int endOffset) override {
        if (selectionIndex == 0) Edit()->SetSelection(Pos(startOffset), Pos(endOffset));
    }
    int cursorPosition() const override { return Offset(Edit()->Caret()); }
    void setCursorPosition(int position) override { Edit()->SetCaret(Pos(position)); }
    QString text(int startOffset, int endOffset) const override {
        const TTextPos from = Pos(startOffset), to = Pos(endOffset);
        if (!(from < to)) return {};
        return RangeText(Edit()->Snapshot(), {from, to});
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* startOffset,
                             int* endOffset) const override {
        return Item(offset, type, -1, startOffset, endOffset);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* startOffset,
                            int* endOffset) const override {
        return Item(offset, type, 1, startOffset, endOffset);
    }
    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* startOffset,
                         int* endOffset) const override {
        return Item(offset, type, 0, startOffset, endOffset);
    }
    int characterCount() const override { return ClampInt(Edit()->TextLength()); }
    QRect characterRect(int offset) const override {
        const TTextPos p = Pos(offset);
        QRect r = Edit()->RectOf(p);
        const std::string_view row = Edit()->Buffer().Row(p.Row);
        if (p.Col < row.size()) {
            const QString s = RowString(row);
            const int u = ClampInt(ByteToUtf16Column(row, p.Col));
            r.setWidth(std::max(
                1, Edit()->fontMetrics().horizontalAdvance(s.mid(u, s[u].isHighSurrogate() ? 2 : 1))));
        }
        return QRect(Edit()->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint& point) const override {
        const QPoint p = Edit()->viewport()->mapFromGlobal(point);
        if (!Edit()->viewport()->rect().contains(p)) return -1;
        return Offset(Edit()->PosAtPoint(p));
    }
    void scrollToSubstring(int startIndex, int) override { Edit()->ShowPos(Pos(startIndex)); }
    QString attributes(int offset, int* startOffset, int* endOffset) const override {
        // Plain text: one run without attributes.
        (void)offset;
        *startOffset = 0;
        *endOffset = characterCount();
        return {};
    }

    // --- QAccessibleEditableTextInterface
    void deleteText(int startOffset, int endOffset) override { replaceText(startOffset, endOffset, {}); }
    void insertText(int offset, const QString& text) override { replaceText(offset, offset, text); }
    void replaceText(int startOffset, int endOffset, const QString& text) override {
        TTextPos from = Pos(startOffset), to = Pos(endOffset);
        if (to < from) std::swap(from, to);
        Edit()->ReplaceRange({from, to}, text);
    }

private:
    TLinesEdit* Edit() const { return static_cast<TLinesEdit*>(widget()); }
    int Offset(TTextPos p) const { return ClampInt(Edit()->OffsetOf(p)); }
    TTextPos Pos(int offset) const { return Edit()->PosAtOffset(size_t(std::max(0, offset))); }

    // The item at offset, or the one before (-1) or after (1) it. By the usual
    // conventions -2 stands for the caret and -1 for the end of the text.
    QString Item(int offset, QAccessible::TextBoundaryType type, int step, int* startOffset,
                 int* endOffset) const {
        const size_t size = Edit()->TextLength();
        if (offset == -2) offset = cursorPosition();
        if (offset == -1) offset = ClampInt(size);
        *startOffset = *endOffset = -1;
        if (offset < 0 || size_t(offset) > size) return {};
        TSpan span = ItemAt(*Edit(), size_t(offset), type);
        if (step < 0) span = span.From == 0 ? TSpan{} : ItemAt(*Edit(), span.From - 1, type);
        if (step > 0) span = span.To >= size ? TSpan{size, size} : ItemAt(*Edit(), span.To, type);
        *startOffset = ClampInt(span.From);
        *endOffset = ClampInt(span.To);
        return text(*startOffset, *endOffset);
    }
};

QAccessibleInterface* AccessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String(TLinesEdit::staticMetaObject.className()) && object &&
        object->isWidgetType())
        return new TLinesEditAccessible(static_cast<TLinesEdit*>(object));
    return nullptr;
}

} // namespace

struct TLinesEdit::TImpl {
    QAction *Undo = nullptr, *Redo = nullptr, *Cut = nullptr, *Copy = nullptr, *Paste = nullptr,
            *Delete = nullptr, *SelectAll = nullptr;
    int RowH = 1;
    int Widest = 0; // the widest row drawn so far, in pixels
    int GoalX = -1; // where Up and Down aim, in text pixels; -1: the caret's own x
    bool OwnEdit = false, Pending = false, Dragging = false;
    bool CanUndo = false, CanRedo = false;
    TLineChange Change;
    QString Preedit;
    // While a drag holds the pointer beyond the view, the selection goes on growing.
    QTimer* DragScroll = nullptr;
    QPoint DragPos;
    // Offsets for assistive tools, made when first asked; at a change, the one of
    // the text before it, until the change is told.
    std::unique_ptr<TUtf16Index> Index, OldIndex;
    TTextPos ToldCaret, ToldAnchor; // what assistive tools were told last
    // A paste whose text is read from another program or split into lines on a worker.
    struct TPasting {
        std::thread Thread;
        std::atomic<bool> Stop{false};
        std::atomic<size_t> Done{0};
        size_t Total = 0; // characters of a text at hand; 0 while read from X
        uint64_t Serial = 0;
        TLineSnapshot Base; // the text when it began
        TTextRange At;      // and the selection it replaces
        QClipboard::Mode Mode = QClipboard::Clipboard;
        bool Active = false;
        // The worker's result, handed over under the lock.
        std::mutex Lock;
        std::condition_variable Wake;
        bool Finished = false, AskQt = false;
        std::optional<TLineSnapshot> Lines;
        QString Error;
        // A paste done while the program held the pane read-only, waiting for it.
        std::optional<TLineSnapshot> Held;
    } Pasting;
    QTimer* PasteTimer = nullptr; // shows the paste's progress
};

TLinesEdit::TLinesEdit(QWidget* parent) : QAbstractScrollArea(parent), FImpl(new TImpl) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(AccessibleFactory);
        return true;
    }();
    (void)factoryInstalled;
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    FImpl->RowH = std::max(1, fontMetrics().lineSpacing());

    auto action = [this](const QString& text, QKeySequence key, void (TLinesEdit::*slot)()) {
        auto* a = new QAction(text, this);
        // Shown in the menu; the keys themselves are handled in keyPressEvent.
        a->setShortcut(key);
        a->setShortcutContext(Qt::WidgetShortcut);
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    FImpl->Undo = action(tr("&Undo"), QKeySequence::Undo, &TLinesEdit::Undo);
    FImpl->Redo = action(tr("&Redo"), QKeySequence::Redo, &TLinesEdit::Redo);
    FImpl->Cut = action(tr("Cu&t"), QKeySequence::Cut, &TLinesEdit::Cut);
    FImpl->Copy = action(tr("&Copy"), QKeySequence::Copy, &TLinesEdit::Copy);
    FImpl->Paste = action(tr("&Paste"), QKeySequence::Paste, &TLinesEdit::Paste);
    FImpl->Delete = action(tr("Delete"), QKeySequence::Delete, &TLinesEdit::DeleteSelection);
    FImpl->SelectAll = action(tr("Select All"), QKeySequence::SelectAll, &TLinesEdit::SelectAll);

    FImpl->DragScroll = new QTimer(this);
    FImpl->DragScroll->setInterval(50);
    connect(FImpl->DragScroll, &QTimer::timeout, this, [this] {
        if (FImpl->Dragging) SetCaret(PosAt(FImpl->DragPos), true);
    });
    FImpl->PasteTimer = new QTimer(this);
    FImpl->PasteTimer->setInterval(100);
    connect(FImpl->PasteTimer, &QTimer::timeout, viewport(), qOverload<>(&QWidget::update));

    FBuffer.SetOnChange([this](const TLineChange& change) { BufferChanged(change); });
    UpdateScrollBars();
}

TLinesEdit::~TLinesEdit() {
    FBuffer.SetOnChange({});
    TImpl::TPasting& task = FImpl->Pasting;
    if (task.Thread.joinable()) {
        task.Stop = true;
        task.Thread.join();
    }
    delete FImpl;
    // The buffer, going next, hands a large text to a thread of its own to free.
}

// ---------------------------------------------------------------- changes

void TLinesEdit::BufferChanged(const TLineChange& change) {
    FImpl->OldIndex = std::move(FImpl->Index);
    if (FImpl->OwnEdit) {
        // The edit sets the caret itself, then finishes the change.
        FImpl->Pending = true;
        FImpl->Change = change;
        return;
    }
    // A change made on the buffer directly: keep the caret and anchor where they were
    // in the text that stayed, in the start of a whole new text, otherwise nearby.
    const size_t rows = FBuffer.RowCount();
    const bool whole = change.FirstRow == 0 && change.NewRows == rows;
    auto adjust = [&](TTextPos p) {
        if (p.Row < change.FirstRow) return p;
        if (p.Row >= change.FirstRow + change.OldRows) {
            p.Row = p.Row - change.OldRows + change.NewRows;
        } else if (whole) {
            return TTextPos{};
        } else {
            p.Row = std::min(p.Row, change.FirstRow + change.NewRows - 1);
        }
        p.Row = std::min(p.Row, rows - 1);
        p.Col = std::min(p.Col, FBuffer.Row(p.Row).size());
        return p;
    };
    FCaret = adjust(FCaret);
    FAnchor = adjust(FAnchor);
    FImpl->GoalX = -1;
    FinishChange(change);
}

void TLinesEdit::FinishChange(const TLineChange& change) {
    // A new whole text forgets the width of the old one.
    if (change.FirstRow == 0 && change.NewRows == FBuffer.RowCount()) FImpl->Widest = 0;
    UpdateScrollBars();
    viewport()->update();
    UpdateHistoryState();
    TellChange(change);
    emit Changed();
}

// ---------------------------------------------------------------- assistive tools

const TUtf16Index& TLinesEdit::Index() const {
    if (!FImpl->Index) FImpl->Index = std::make_unique<TUtf16Index>(FBuffer.Snapshot());
    return *FImpl->Index;
}

size_t TLinesEdit::TextLength() const {
    return Index().Size();
}

size_t TLinesEdit::OffsetOf(TTextPos pos) const {
    return Index().Offset(pos);
}

TTextPos TLinesEdit::PosAtOffset(size_t offset) const {
    return Clamped(Index().Pos(offset));
}

void TLinesEdit::TellChange(const TLineChange& change) {
    const std::unique_ptr<TUtf16Index> old = std::move(FImpl->OldIndex);
    if (!QAccessible::isActive()) return;
    QAccessibleValueChangeEvent value(this, RowString(FBuffer.Row(FCaret.Row)));
    QAccessible::updateAccessibility(&value);
    if (old) {
        // The rows that changed, without what they still share at either end.
        const TUtf16Index& now = Index();
        const size_t at = old->RowStart(change.FirstRow);
        const TTextRange was{{change.FirstRow, 0}, {change.FirstRow + change.OldRows - 1, SIZE_MAX}};
        const TTextRange is{{change.FirstRow, 0}, {change.FirstRow + change.NewRows - 1, SIZE_MAX}};
        if (old->Offset(was.To) - at <= kTellText && now.Offset(is.To) - at <= kTellText) {
            QString removed = RangeText(old->Text(), was), inserted = RangeText(now.Text(), is);
            qsizetype head = 0, tail = 0;
            const qsizetype shorter = std::min(removed.size(), inserted.size());
            while (head < shorter && removed[head] == inserted[head]) ++head;
            while (tail < shorter - head &&
                   removed[removed.size() - 1 - tail] == inserted[inserted.size() - 1 - tail])
                ++tail;
            removed = removed.mid(head, removed.size() - head - tail);
            inserted = inserted.mid(head, inserted.size() - head - tail);
            const int pos = ClampInt(at + size_t(head));
            std::unique_ptr<QAccessibleTextCursorEvent> e;
            if (removed.isEmpty() && !inserted.isEmpty())
                e = std::make_unique<QAccessibleTextInsertEvent>(this, pos, inserted);
            else if (inserted.isEmpty() && !removed.isEmpty())
                e = std::make_unique<QAccessibleTextRemoveEvent>(this, pos, removed);
            else if (!removed.isEmpty())
                e = std::make_unique<QAccessibleTextUpdateEvent>(this, pos, removed, inserted);
            if (e) {
                e->setCursorPosition(ClampInt(OffsetOf(FCaret)));
                QAccessible::updateAccessibility(e.get());
            }
        }
    }
    TellCaret(true);
}

void TLinesEdit::TellCaret(bool moved) {
    if (!QAccessible::isActive()) return;
    const bool hadSelection = FImpl->ToldCaret != FImpl->ToldAnchor;
    const bool selectionChanged =
        (HasSelection() || hadSelection) && (FCaret != FImpl->ToldCaret || FAnchor != FImpl->ToldAnchor);
    moved = moved || FCaret != FImpl->ToldCaret;
    FImpl->ToldCaret = FCaret;
    FImpl->ToldAnchor = FAnchor;
    const int caret = ClampInt(OffsetOf(FCaret));
    if (selectionChanged) {
        const TTextRange r = Selection();
        const int from = HasSelection() ? ClampInt(OffsetOf(r.From)) : caret;
        const int to = HasSelection() ? ClampInt(OffsetOf(r.To)) : caret;
        QAccessibleTextSelectionEvent e(this, from, to);
        e.setCursorPosition(caret);
        QAccessible::updateAccessibility(&e);
    }
    if (moved) {
        QAccessibleTextCursorEvent e(this, caret);
        QAccessible::updateAccessibility(&e);
    }
}

void TLinesEdit::UpdateHistoryState() {
    const bool undo = FBuffer.CanUndo(), redo = FBuffer.CanRedo();
    if (undo != FImpl->CanUndo) emit UndoAvailable(FImpl->CanUndo = undo);
    if (redo != FImpl->CanRedo) emit RedoAvailable(FImpl->CanRedo = redo);
}

template <typename F> bool TLinesEdit::Edit(F f) {
    FImpl->OwnEdit = true;
    FImpl->Pending = false;
    TTextRange caret{FAnchor, FCaret};
    try {
        caret = f();
    } catch (...) {
        FImpl->OwnEdit = false;
        if (FImpl->Pending) {
            FCaret = Clamped(FCaret);
            FAnchor = Clamped(FAnchor);
            FinishChange(FImpl->Change);
        }
        throw;
    }
    FImpl->OwnEdit = false;
    if (!FImpl->Pending) return false;
    FAnchor = caret.From;
    FCaret = caret.To;
    FImpl->GoalX = -1;
    FinishChange(FImpl->Change);
    EnsureCaretVisible();
    return true;
}

void TLinesEdit::ReplaceSelection(std::string_view text, TEditKind kind) {
    if (Locked()) return;
    Edit([&] {
        const TTextPos end = FBuffer.Replace(Selection(), text, kind);
        return TTextRange{end, end};
    });
}

void TLinesEdit::SetLines(const TStringList& lines) {
    Edit([&] {
        FBuffer.SetLines(lines);
        return TTextRange{};
    });
}

void TLinesEdit::Assign(const TLineSnapshot& lines) {
    Edit([&] {
        FBuffer.Assign(lines);
        return TTextRange{};
    });
}

void TLinesEdit::Clear() {
    Edit([&] {
        FBuffer.Clear();
        return TTextRange{};
    });
}

QString TLinesEdit::Text() const {
    return RangeText(FBuffer.Snapshot(), {{}, FBuffer.End()});
}

void TLinesEdit::SetText(const QString& text) {
    Assign(TLineSnapshot::FromText(ToUtf8(text)));
}

// ---------------------------------------------------------------- caret and selection

TTextRange TLinesEdit::Selection() const {
    return FCaret < FAnchor ? TTextRange{FCaret, FAnchor} : TTextRange{FAnchor, FCaret};
}

TTextPos TLinesEdit::Clamped(TTextPos p) const {
    p.Row = std::min(p.Row, FBuffer.RowCount() - 1);
    const std::string_view row = FBuffer.Row(p.Row);
    p.Col = std::min(p.Col, row.size());
    // Never inside a character.
    while (p.Col > 0 && p.Col < row.size() && (static_cast<unsigned char>(row[p.Col]) & 0xC0) == 0x80)
        --p.Col;
    return p;
}

void TLinesEdit::SetCaret(TTextPos caret, bool keepAnchor) {
    FCaret = Clamped(caret);
    if (!keepAnchor) FAnchor = FCaret;
    FBuffer.CloseGroup();
    FImpl->GoalX = -1;
    EnsureCaretVisible();
    viewport()->update();
    TellCaret();
}

void TLinesEdit::SetSelection(TTextPos anchor, TTextPos caret) {
    FAnchor = Clamped(anchor);
    SetCaret(caret, true);
    OfferSelection();
}

void TLinesEdit::SelectAll() {
    SetSelection({}, FBuffer.End());
}

QString TLinesEdit::SelectedText() const {
    return RangeText(FBuffer.Snapshot(), Selection());
}

void TLinesEdit::OfferSelection() {
    // X11's primary selection: what is selected, for a middle click anywhere. Made
    // into text only when someone pastes it, like a copy.
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!HasSelection() || !clipboard->supportsSelection()) return;
    clipboard->setMimeData(new TLinesMimeData(FBuffer.Snapshot(), Selection()), QClipboard::Selection);
}

void TLinesEdit::SetReadOnly(bool readOnly) {
    if (FReadOnly == readOnly) return;
    FReadOnly = readOnly;
    setAttribute(Qt::WA_InputMethodEnabled, !Locked());
    viewport()->update();
    TImpl::TPasting& task = FImpl->Pasting;
    if (!readOnly && task.Held) {
        const TLineSnapshot lines = *std::exchange(task.Held, std::nullopt);
        LandPaste(lines, std::exchange(task.Base, TLineSnapshot()), task.At);
    }
}

size_t TLinesEdit::FirstVisibleRow() const {
    return size_t(verticalScrollBar()->value());
}

// ---------------------------------------------------------------- edit commands

void TLinesEdit::Undo() {
    if (Locked()) return;
    TTextRange r;
    Edit([&] {
        FBuffer.Undo(&r);
        return RestoredSelection(r);
    });
}

void TLinesEdit::Redo() {
    if (Locked()) return;
    TTextRange r;
    Edit([&] {
        FBuffer.Redo(&r);
        return RestoredSelection(r);
    });
}

TTextRange TLinesEdit::RestoredSelection(const TTextRange& r) const {
    // Within one row the caret ends the restored text, as after typing it; a longer
    // one is shown from its start.
    if (r.From.Row == r.To.Row) return {r.From, r.To};
    return {r.To, r.From};
}

void TLinesEdit::Cut() {
    if (Locked() || !HasSelection()) return;
    Copy();
    DeleteSelection();
}

void TLinesEdit::Copy() {
    if (!HasSelection()) return;
    QGuiApplication::clipboard()->setMimeData(
        new TLinesMimeData(FBuffer.Snapshot(), Selection(), TLinesMimeData::TPrepare::Ahead));
}

void TLinesEdit::Paste() {
    PasteFrom(QClipboard::Clipboard);
}

void TLinesEdit::PasteFrom(QClipboard::Mode mode) {
    if (Locked()) return;
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData(mode);
    if (!mime) return;
    if (const auto* own = dynamic_cast<const TLinesMimeData*>(mime)) {
        InsertPasted(own->Lines(), own->Range(), Selection());
        return;
    }
    if (!mime->hasText()) return;
    // Another X11 program's text is read on a worker: Qt would wait for the whole
    // transfer here. A text this program put there is at hand.
    QClipboard* clipboard = QGuiApplication::clipboard();
    const bool ours = mode == QClipboard::Selection ? clipboard->ownsSelection() : clipboard->ownsClipboard();
    if (!ours && XSelectionReadable()) return StartPaste({}, mode);
    PasteText(mime->text());
}

void TLinesEdit::PasteText(QString text) {
    // Qt has read the clipboard on this thread (one copy of the text); a long text
    // is split on a worker.
    if (text.isEmpty() && !HasSelection()) return;
    if (text.size() > kPasteAtOnce) return StartPaste(std::move(text), std::nullopt);
    const TLineSnapshot lines = TLineSnapshot::FromText(ToUtf8(text));
    LandPaste(lines, FBuffer.Snapshot(), Selection());
}

void TLinesEdit::LandPaste(const TLineSnapshot& lines, const TLineSnapshot& base, const TTextRange& at) {
    TImpl::TPasting& task = FImpl->Pasting;
    if (FReadOnly) {
        // The program has made the pane read-only since the paste began (a run or a
        // shuffle builds its next text): the paste waits until the pane takes changes
        // again, so that neither is lost.
        task.Held = lines;
        task.Base = base;
        task.At = at;
        if (!IsPasting()) SetPasting(true);
        viewport()->update();
        return;
    }
    if (IsPasting()) SetPasting(false);
    // Where the selection was, unless the program has changed the text since.
    InsertPasted(lines, {{}, lines.End()}, FBuffer.Snapshot().SameAs(base) ? at : Selection());
}

void TLinesEdit::InsertPasted(const TLineSnapshot& lines, const TTextRange& part, const TTextRange& at) {
    Edit([&] {
        const TTextPos end = FBuffer.Replace(at, lines, part);
        return TTextRange{end, end};
    });
}

bool TLinesEdit::IsPasting() const {
    return FImpl->Pasting.Active;
}

void TLinesEdit::StartPaste(QString text, std::optional<QClipboard::Mode> fromX) {
    TImpl::TPasting& task = FImpl->Pasting;
    task.Base = FBuffer.Snapshot();
    task.At = Selection();
    task.Mode = fromX.value_or(QClipboard::Clipboard);
    task.Stop = false;
    task.Done = 0;
    task.Total = size_t(text.size());
    task.Finished = task.AskQt = false;
    const uint64_t serial = ++task.Serial;
    task.Thread = std::thread([this, serial, fromX, text = std::move(text)] {
        TImpl::TPasting& t = FImpl->Pasting;
        std::optional<TLineSnapshot> lines;
        QString error;
        bool askQt = false;
        try {
            if (fromX) {
                TUtf8Lines feed;
                const TXSelectionRead read = ReadXSelection(
                    *fromX == QClipboard::Selection,
                    [&](std::string_view piece) {
                        feed.Add(piece);
                        t.Done += piece.size();
                    },
                    t.Stop);
                if (read == TXSelectionRead::Done) lines = feed.Finish();
                askQt = read == TXSelectionRead::NoText || read == TXSelectionRead::NoDisplay;
            } else {
                lines = SplitText(text, t.Stop, t.Done);
            }
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
        {
            const std::lock_guard<std::mutex> lock(t.Lock);
            t.Lines = std::move(lines);
            t.Error = error;
            t.AskQt = askQt;
            t.Finished = true;
        }
        t.Wake.notify_all();
        QMetaObject::invokeMethod(
            this, [this, serial] { PasteDone(serial); }, Qt::QueuedConnection);
    });
    SetPasting(true);
    if (!fromX) return;
    // The size of another program's text is known only once it is read: a short
    // one is in within milliseconds, and then goes in before the next key is read.
    bool finished = false;
    {
        std::unique_lock<std::mutex> lock(task.Lock);
        finished = task.Wake.wait_for(lock, std::chrono::milliseconds(50), [&] { return task.Finished; });
    }
    if (finished) PasteDone(serial);
}

void TLinesEdit::PasteDone(uint64_t serial) {
    TImpl::TPasting& task = FImpl->Pasting;
    if (serial != task.Serial || !task.Thread.joinable()) return;
    task.Thread.join();
    const std::optional<TLineSnapshot> lines = std::exchange(task.Lines, std::nullopt);
    const QString error = std::exchange(task.Error, QString());
    const TLineSnapshot base = std::exchange(task.Base, TLineSnapshot());
    if (!lines || !error.isEmpty() || task.AskQt) SetPasting(false);
    if (!error.isEmpty()) {
        Dialogs().MessageBox(window(), QMessageBox::Warning, window()->windowTitle(),
                             tr("The text could not be pasted. %1").arg(error));
        return;
    }
    if (task.AskQt) {
        // The owner would not give its text to our own request: Qt's way, here.
        const QMimeData* mime = QGuiApplication::clipboard()->mimeData(task.Mode);
        if (mime && mime->hasText()) PasteText(mime->text());
        return;
    }
    if (lines) LandPaste(*lines, base, task.At);
}

void TLinesEdit::StopPaste() {
    TImpl::TPasting& task = FImpl->Pasting;
    if (task.Held) {
        task.Held.reset();
        task.Base = TLineSnapshot();
        SetPasting(false);
        return;
    }
    if (!task.Thread.joinable()) return;
    task.Stop = true;
    task.Thread.join();
    ++task.Serial; // its late word is dropped
    task.Base = TLineSnapshot();
    SetPasting(false);
}

void TLinesEdit::SetPasting(bool pasting) {
    FImpl->Pasting.Active = pasting;
    viewport()->setCursor(pasting ? Qt::BusyCursor : Qt::IBeamCursor);
    setAttribute(Qt::WA_InputMethodEnabled, !Locked());
    if (pasting)
        FImpl->PasteTimer->start();
    else
        FImpl->PasteTimer->stop();
    viewport()->update();
    emit PastingChanged(pasting);
}

void TLinesEdit::ReplaceRange(const TTextRange& range, const QString& text) {
    if (Locked()) return;
    const TTextRange r{Clamped(range.From), Clamped(range.To)};
    if (r.To < r.From) return;
    Edit([&] {
        const TTextPos end = FBuffer.Replace(r, ToUtf8(text));
        return TTextRange{end, end};
    });
}

void TLinesEdit::DeleteSelection() {
    if (Locked() || !HasSelection()) return;
    ReplaceSelection({}, TEditKind::Other);
}

void TLinesEdit::DeleteChar(bool forward) {
    if (Locked()) return;
    if (HasSelection()) return DeleteSelection();
    TTextRange r{FCaret, FCaret};
    if (forward) {
        r.To = Moved(FCaret, TMoveKind::Right);
    } else {
        r.From = Moved(FCaret, TMoveKind::Left);
    }
    if (r.From == r.To) return;
    const TEditKind kind = forward ? TEditKind::Delete : TEditKind::Backspace;
    Edit([&] {
        FBuffer.Remove(r, kind);
        return TTextRange{r.From, r.From};
    });
}

QMenu* TLinesEdit::CreateContextMenu(QWidget* parent) {
    const bool sel = HasSelection(), rw = !Locked();
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    FImpl->Undo->setEnabled(rw && FBuffer.CanUndo());
    FImpl->Redo->setEnabled(rw && FBuffer.CanRedo());
    FImpl->Cut->setEnabled(rw && sel);
    FImpl->Copy->setEnabled(sel);
    FImpl->Paste->setEnabled(rw && mime && mime->hasText());
    FImpl->Delete->setEnabled(rw && sel);
    FImpl->SelectAll->setEnabled(FBuffer.End() != TTextPos{});
    auto* menu = new QMenu(parent);
    menu->addAction(FImpl->Undo);
    menu->addAction(FImpl->Redo);
    menu->addSeparator();
    menu->addAction(FImpl->Cut);
    menu->addAction(FImpl->Copy);
    menu->addAction(FImpl->Paste);
    menu->addAction(FImpl->Delete);
    menu->addSeparator();
    menu->addAction(FImpl->SelectAll);
    return menu;
}

// ---------------------------------------------------------------- geometry

int TLinesEdit::PageRows() const {
    return std::max(1, viewport()->height() / FImpl->RowH);
}

std::unique_ptr<QTextLayout> TLinesEdit::Layout(size_t row, bool preedit) const {
    const std::string_view text = FBuffer.Row(row);
    auto layout = std::make_unique<QTextLayout>(RowString(text), font());
    // An input method's text being composed shows at the caret, drawn only.
    if (preedit && row == FCaret.Row && !FImpl->Preedit.isEmpty())
        layout->setPreeditArea(ClampInt(ByteToUtf16Column(text, FCaret.Col)), FImpl->Preedit);
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    layout->beginLayout();
    QTextLine line = layout->createLine();
    if (line.isValid()) line.setLineWidth(1e7); // within QFixed's range
    layout->endLayout();
    return layout;
}

int TLinesEdit::XOf(TTextPos p) const {
    const auto layout = Layout(p.Row);
    const std::string_view row = FBuffer.Row(p.Row);
    return int(layout->lineAt(0).cursorToX(ClampInt(ByteToUtf16Column(row, p.Col))));
}

size_t TLinesEdit::ColAt(size_t row, int x) const {
    const auto layout = Layout(row);
    const int u = layout->lineAt(0).xToCursor(x, QTextLine::CursorBetweenCharacters);
    return Utf16ToByteColumn(FBuffer.Row(row), size_t(std::max(0, u)));
}

TTextPos TLinesEdit::PosAt(const QPoint& p) const {
    const int h = FImpl->RowH;
    const long long r = (long long)FirstVisibleRow() + (p.y() < 0 ? -((-p.y() + h - 1) / h) : p.y() / h);
    const size_t row = size_t(std::clamp<long long>(r, 0, (long long)FBuffer.RowCount() - 1));
    return {row, ColAt(row, p.x() + horizontalScrollBar()->value() - kMargin)};
}

TTextPos TLinesEdit::CharAt(const QPoint& p) const {
    // The character under the pointer, where PosAt gives the nearest gap between
    // two; past a row's end, its last character.
    const TTextPos at = PosAt(p);
    const std::string_view row = FBuffer.Row(at.Row);
    const auto layout = Layout(at.Row);
    const int x = p.x() + horizontalScrollBar()->value() - kMargin;
    int u = layout->lineAt(0).xToCursor(x, QTextLine::CursorOnCharacter);
    const int length = int(layout->text().size());
    if (u >= length) u = length - 1;
    return {at.Row, Utf16ToByteColumn(row, size_t(std::max(0, u)))};
}

QRect TLinesEdit::RectOf(TTextPos pos) const {
    pos = Clamped(pos);
    const long long dy = (long long)pos.Row - (long long)FirstVisibleRow();
    const int x = XOf(pos) + kMargin - horizontalScrollBar()->value();
    return QRect(x, int(std::clamp<long long>(dy, -1, 100000)) * FImpl->RowH, 1, FImpl->RowH);
}

QRect TLinesEdit::CaretRect() const {
    return RectOf(FCaret);
}

void TLinesEdit::ShowPos(TTextPos pos) {
    pos = Clamped(pos);
    QScrollBar* v = verticalScrollBar();
    const size_t first = FirstVisibleRow(), page = size_t(PageRows());
    if (pos.Row < first || pos.Row >= first + page)
        v->setValue(ClampInt(pos.Row > page / 2 ? pos.Row - page / 2 : 0));
    viewport()->update();
}

void TLinesEdit::UpdateScrollBars() {
    const int page = PageRows();
    QScrollBar* v = verticalScrollBar();
    v->setRange(0, ClampInt(FBuffer.RowCount() > size_t(page) ? FBuffer.RowCount() - size_t(page) : 0));
    v->setPageStep(page);
    v->setSingleStep(1);
    QScrollBar* h = horizontalScrollBar();
    const int content = std::max(FImpl->Widest, XOf(FCaret)) + 2 * kMargin + 1;
    h->setRange(0, std::max(0, content - viewport()->width()));
    h->setPageStep(viewport()->width());
    h->setSingleStep(std::max(1, fontMetrics().averageCharWidth() * 2));
}

void TLinesEdit::EnsureCaretVisible() {
    UpdateScrollBars();
    QScrollBar* v = verticalScrollBar();
    const size_t first = FirstVisibleRow(), page = size_t(PageRows());
    if (FCaret.Row < first)
        v->setValue(ClampInt(FCaret.Row));
    else if (FCaret.Row >= first + page)
        v->setValue(ClampInt(FCaret.Row - page + 1));
    QScrollBar* h = horizontalScrollBar();
    const int x = XOf(FCaret) + kMargin, w = viewport()->width();
    if (x < h->value() + kMargin)
        h->setValue(std::max(0, x - w / 4));
    else if (x > h->value() + w - kMargin)
        h->setValue(x - w + w / 4);
}

// ---------------------------------------------------------------- moving

TTextPos TLinesEdit::Moved(TTextPos p, TMoveKind how) {
    const std::string_view row = FBuffer.Row(p.Row);
    auto wordMove = [&](bool right) {
        const QString s = RowString(row);
        int u = ClampInt(ByteToUtf16Column(row, p.Col));
        if (right) {
            if (u >= s.size()) return p.Row + 1 < FBuffer.RowCount() ? TTextPos{p.Row + 1, 0} : p;
            while (u < s.size() && !IsWordChar(s[u])) ++u;
            while (u < s.size() && IsWordChar(s[u])) ++u;
        } else {
            if (u == 0) return p.Row > 0 ? TTextPos{p.Row - 1, FBuffer.Row(p.Row - 1).size()} : p;
            while (u > 0 && !IsWordChar(s[u - 1])) --u;
            while (u > 0 && IsWordChar(s[u - 1])) --u;
        }
        return TTextPos{p.Row, Utf16ToByteColumn(row, size_t(u))};
    };
    auto vertical = [&](long long rows) {
        if (FImpl->GoalX < 0) FImpl->GoalX = XOf(p);
        const long long target =
            std::clamp<long long>((long long)p.Row + rows, 0, (long long)FBuffer.RowCount() - 1);
        return TTextPos{size_t(target), ColAt(size_t(target), FImpl->GoalX)};
    };
    switch (how) {
    case TMoveKind::Left:
        if (p.Col == 0) return p.Row > 0 ? TTextPos{p.Row - 1, FBuffer.Row(p.Row - 1).size()} : p;
        do --p.Col;
        while (p.Col > 0 && (static_cast<unsigned char>(row[p.Col]) & 0xC0) == 0x80);
        return p;
    case TMoveKind::Right:
        if (p.Col >= row.size()) return p.Row + 1 < FBuffer.RowCount() ? TTextPos{p.Row + 1, 0} : p;
        do ++p.Col;
        while (p.Col < row.size() && (static_cast<unsigned char>(row[p.Col]) & 0xC0) == 0x80);
        return p;
    case TMoveKind::WordLeft:
        return wordMove(false);
    case TMoveKind::WordRight:
        return wordMove(true);
    case TMoveKind::Up:
        return vertical(-1);
    case TMoveKind::Down:
        return vertical(1);
    case TMoveKind::PageUp:
        return vertical(-(long long)std::max(1, PageRows() - 1));
    case TMoveKind::PageDown:
        return vertical(std::max(1, PageRows() - 1));
    case TMoveKind::Home:
        return {p.Row, 0};
    case TMoveKind::End:
        return {p.Row, row.size()};
    case TMoveKind::DocStart:
        return {};
    case TMoveKind::DocEnd:
        return FBuffer.End();
    }
    return p;
}

void TLinesEdit::MoveCaret(TMoveKind how, bool select) {
    const int goal = FImpl->GoalX;
    const bool vertical = how == TMoveKind::Up || how == TMoveKind::Down || how == TMoveKind::PageUp ||
                          how == TMoveKind::PageDown;
    if (!select && HasSelection() && (how == TMoveKind::Left || how == TMoveKind::Right)) {
        // An arrow without Shift drops the selection at its side.
        SetCaret(how == TMoveKind::Left ? Selection().From : Selection().To);
        return;
    }

    const TTextPos to = Moved(FCaret, how);
    const int newGoal = FImpl->GoalX;
    // A page move takes the view along, so the caret keeps its place on screen.
    if (how == TMoveKind::PageUp || how == TMoveKind::PageDown) {
        QScrollBar* v = verticalScrollBar();
        const long long delta = (long long)to.Row - (long long)FCaret.Row;
        v->setValue(ClampInt(size_t(std::max<long long>(0, v->value() + delta))));
    }
    SetCaret(to, select);
    if (vertical) FImpl->GoalX = newGoal >= 0 ? newGoal : goal;
    if (select) OfferSelection();
}

// ---------------------------------------------------------------- events

void TLinesEdit::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    const QPalette& pal = palette();
    const int rowH = FImpl->RowH, hx = horizontalScrollBar()->value();
    const size_t first = FirstVisibleRow();
    const size_t last = std::min(FBuffer.RowCount(), first + size_t(viewport()->height() / rowH + 2));
    const TTextRange sel = Selection();
    const bool hasSel = HasSelection();
    const bool focused = hasFocus();
    const QColor highlight = pal.color(focused ? QPalette::Active : QPalette::Inactive, QPalette::Highlight);
    const QColor highlightText =
        pal.color(focused ? QPalette::Active : QPalette::Inactive, QPalette::HighlightedText);
    p.setPen(pal.color(QPalette::Text));
    int widest = FImpl->Widest;
    const int eol = std::max(2, fontMetrics().horizontalAdvance(QLatin1Char(' ')));
    for (size_t r = first; r < last; ++r) {
        const auto layout = Layout(r, true);
        const QTextLine line = layout->lineAt(0);
        const int y = int(r - first) * rowH;
        const QPointF at(kMargin - hx, y);
        const int width = int(line.naturalTextWidth() + 0.999);
        widest = std::max(widest, width);
        QList<QTextLayout::FormatRange> ranges;
        if (hasSel && sel.From.Row <= r && r <= sel.To.Row) {
            const std::string_view row = FBuffer.Row(r);
            const int a = r == sel.From.Row ? ClampInt(ByteToUtf16Column(row, sel.From.Col)) : 0;
            const int b =
                r == sel.To.Row ? ClampInt(ByteToUtf16Column(row, sel.To.Col)) : int(layout->text().size());
            if (b > a) {
                QTextLayout::FormatRange f;
                f.start = a;
                f.length = b - a;
                f.format.setBackground(highlight);
                f.format.setForeground(highlightText);
                ranges.push_back(f);
            }
            // The line break is part of the selection: a sliver past the row's end.
            if (r < sel.To.Row) p.fillRect(QRect(kMargin - hx + width, y, eol, rowH), highlight);
        }
        layout->draw(&p, at, ranges);
    }
    if (focused && FCaret.Row >= first && FCaret.Row < last)
        p.fillRect(CaretRect(), pal.color(QPalette::Text));
    if (IsPasting()) {
        // How far a long paste has come, in the top right corner.
        const TImpl::TPasting& task = FImpl->Pasting;
        const size_t done = task.Done.load(std::memory_order_relaxed);
        QString note =
            task.Total
                ? tr("Pasting... %1 % (Esc stops)").arg(std::min<size_t>(done, task.Total) * 100 / task.Total)
                : tr("Pasting... %1 MB (Esc stops)").arg(done >> 20);
        if (task.Held) note = tr("The paste waits until the list may change (Esc drops it)");
        const QFontMetrics fm = fontMetrics();
        QRect box(0, 0, fm.horizontalAdvance(note) + 12, fm.height() + 6);
        box.moveTopRight(viewport()->rect().topRight() + QPoint(-4, 4));
        p.fillRect(box, pal.color(QPalette::ToolTipBase));
        p.setPen(pal.color(QPalette::ToolTipText));
        p.drawRect(box.adjusted(0, 0, -1, -1));
        p.drawText(box, Qt::AlignCenter, note);
    }
    if (widest > FImpl->Widest) {
        FImpl->Widest = widest;
        // Not from within the paint: the range change may scroll.
        QTimer::singleShot(0, this, [this] { UpdateScrollBars(); });
    }
}

void TLinesEdit::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

bool TLinesEdit::HandleKey(QKeyEvent* e, bool dryRun) {
    const bool rw = !Locked();
    if (IsPasting() && e->key() == Qt::Key_Escape) {
        if (!dryRun) StopPaste();
        return true;
    }
    struct TCommand {
        QKeySequence::StandardKey Key;
        void (TLinesEdit::*Run)();
        bool Changes;
    };
    static const TCommand commands[] = {
        {QKeySequence::Undo, &TLinesEdit::Undo, true},
        {QKeySequence::Redo, &TLinesEdit::Redo, true},
        {QKeySequence::Cut, &TLinesEdit::Cut, true},
        {QKeySequence::Copy, &TLinesEdit::Copy, false},
        {QKeySequence::Paste, &TLinesEdit::Paste, true},
        {QKeySequence::SelectAll, &TLinesEdit::SelectAll, false},
    };
    for (const TCommand& c : commands)
        if (e->matches(c.Key)) {
            if (!dryRun) (this->*c.Run)();
            return true;
        }
    const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
    if (e->key() == Qt::Key_Y && mods == Qt::ControlModifier) {
        if (!dryRun) Redo();
        return true;
    }
    struct TMoveKey {
        QKeySequence::StandardKey Key;
        TMoveKind How;
        bool Select;
    };
    static const TMoveKey moves[] = {
        {QKeySequence::MoveToNextChar, TMoveKind::Right, false},
        {QKeySequence::MoveToPreviousChar, TMoveKind::Left, false},
        {QKeySequence::SelectNextChar, TMoveKind::Right, true},
        {QKeySequence::SelectPreviousChar, TMoveKind::Left, true},
        {QKeySequence::MoveToNextWord, TMoveKind::WordRight, false},
        {QKeySequence::MoveToPreviousWord, TMoveKind::WordLeft, false},
        {QKeySequence::SelectNextWord, TMoveKind::WordRight, true},
        {QKeySequence::SelectPreviousWord, TMoveKind::WordLeft, true},
        {QKeySequence::MoveToNextLine, TMoveKind::Down, false},
        {QKeySequence::MoveToPreviousLine, TMoveKind::Up, false},
        {QKeySequence::SelectNextLine, TMoveKind::Down, true},
        {QKeySequence::SelectPreviousLine, TMoveKind::Up, true},
        {QKeySequence::MoveToNextPage, TMoveKind::PageDown, false},
        {QKeySequence::MoveToPreviousPage, TMoveKind::PageUp, false},
        {QKeySequence::SelectNextPage, TMoveKind::PageDown, true},
        {QKeySequence::SelectPreviousPage, TMoveKind::PageUp, true},
        {QKeySequence::MoveToStartOfLine, TMoveKind::Home, false},
        {QKeySequence::MoveToEndOfLine, TMoveKind::End, false},
        {QKeySequence::SelectStartOfLine, TMoveKind::Home, true},
        {QKeySequence::SelectEndOfLine, TMoveKind::End, true},
        {QKeySequence::MoveToStartOfDocument, TMoveKind::DocStart, false},
        {QKeySequence::MoveToEndOfDocument, TMoveKind::DocEnd, false},
        {QKeySequence::SelectStartOfDocument, TMoveKind::DocStart, true},
        {QKeySequence::SelectEndOfDocument, TMoveKind::DocEnd, true},
    };
    for (const TMoveKey& m : moves)
        if (e->matches(m.Key)) {
            if (!dryRun) MoveCaret(m.How, m.Select);
            return true;
        }
    if (e->matches(QKeySequence::Delete) || (e->key() == Qt::Key_Backspace && !(mods & ~Qt::ShiftModifier))) {
        if (!dryRun) DeleteChar(e->key() == Qt::Key_Delete);
        return true;
    }
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && !(mods & ~Qt::ShiftModifier)) {
        if (!dryRun && rw) ReplaceSelection("\n", TEditKind::Typing);
        return true;
    }
    // Plain text; a control character (Tab, Escape...) is not typed, nor a key with
    // Ctrl or Alt (a shortcut or mnemonic), unless both, which is AltGr.
    const QString text = e->text();
    const Qt::KeyboardModifiers m = mods & ~(Qt::ShiftModifier | Qt::GroupSwitchModifier);
    if (!text.isEmpty() && (m == Qt::NoModifier || m == (Qt::ControlModifier | Qt::AltModifier)) &&
        std::all_of(text.begin(), text.end(), [](QChar c) { return c.isPrint() || c.isSurrogate(); })) {
        if (!dryRun && rw) ReplaceSelection(ToUtf8(text), TEditKind::Typing);
        return true;
    }
    return false;
}

void TLinesEdit::keyPressEvent(QKeyEvent* event) {
    if (HandleKey(event, false))
        event->accept();
    else
        QAbstractScrollArea::keyPressEvent(event);
}

void TLinesEdit::inputMethodEvent(QInputMethodEvent* event) {
    FImpl->Preedit = Locked() ? QString() : event->preeditString();
    viewport()->update();
    if (!event->commitString().isEmpty() && !Locked())
        ReplaceSelection(ToUtf8(event->commitString()), TEditKind::Typing);
    event->accept();
}

QVariant TLinesEdit::inputMethodQuery(Qt::InputMethodQuery query) const {
    const std::string_view row = FBuffer.Row(FCaret.Row);
    switch (query) {
    case Qt::ImEnabled:
        return !Locked();
    case Qt::ImCursorRectangle:
        return CaretRect().translated(viewport()->pos());
    case Qt::ImFont:
        return font();
    case Qt::ImCursorPosition:
        return ClampInt(ByteToUtf16Column(row, FCaret.Col));
    case Qt::ImAnchorPosition:
        return ClampInt(ByteToUtf16Column(row, FAnchor.Row == FCaret.Row ? FAnchor.Col : FCaret.Col));
    case Qt::ImSurroundingText:
        return RowString(row);
    case Qt::ImCurrentSelection:
        return FAnchor.Row == FCaret.Row ? SelectedText() : QString();
    case Qt::ImHints:
        return int(Qt::ImhMultiLine | Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}

void TLinesEdit::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::MiddleButton && QGuiApplication::clipboard()->supportsSelection()) {
        // X11's middle click: the primary selection goes in where the pointer is.
        if (!Locked()) {
            SetCaret(PosAt(event->position().toPoint()));
            PasteFrom(QClipboard::Selection);
        }
        event->accept();
        return;
    }
    if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
    FImpl->Dragging = true;
    SetCaret(PosAt(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
}

void TLinesEdit::mouseMoveEvent(QMouseEvent* event) {
    if (!FImpl->Dragging || !(event->buttons() & Qt::LeftButton)) return;
    FImpl->DragPos = event->position().toPoint();
    SetCaret(PosAt(FImpl->DragPos), true);
    if (viewport()->rect().contains(FImpl->DragPos))
        FImpl->DragScroll->stop();
    else if (!FImpl->DragScroll->isActive())
        FImpl->DragScroll->start();
}

void TLinesEdit::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const bool dragged = FImpl->Dragging;
    FImpl->Dragging = false;
    FImpl->DragScroll->stop();
    if (dragged) OfferSelection();
}

void TLinesEdit::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const TTextRange word = WordAt(CharAt(event->position().toPoint()));
    // The button's release that follows offers nothing more.
    FImpl->Dragging = false;
    FImpl->DragScroll->stop();
    SetSelection(word.From, word.To);
}

bool TLinesEdit::IsWordSeparator(QChar c) {
    return c.isSpace() || c == QLatin1Char(',') || c == QLatin1Char(';') || c == QLatin1Char('|');
}

TTextRange TLinesEdit::WordAt(TTextPos pos) const {
    pos = Clamped(pos);
    const std::string_view row = FBuffer.Row(pos.Row);
    if (pos.Col >= row.size()) return {pos, pos};
    const QString s = RowString(row);
    const int u = ClampInt(ByteToUtf16Column(row, pos.Col));
    const bool separator = IsWordSeparator(s[u]);
    int a = u, b = u;
    while (a > 0 && IsWordSeparator(s[a - 1]) == separator) --a;
    while (b < s.size() && IsWordSeparator(s[b]) == separator) ++b;
    return {{pos.Row, Utf16ToByteColumn(row, size_t(a))}, {pos.Row, Utf16ToByteColumn(row, size_t(b))}};
}

void TLinesEdit::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = CreateContextMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void TLinesEdit::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    update();
    viewport()->update();
}

void TLinesEdit::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    FImpl->Dragging = false;
    FImpl->DragScroll->stop();
    update();
    viewport()->update();
}

bool TLinesEdit::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::ShortcutOverride: {
        // The edit's own keys win over the window's shortcuts while it has focus.
        auto* k = static_cast<QKeyEvent*>(event);
        if (HandleKey(k, true)) {
            k->accept();
            return true;
        }
        break;
    }
    case QEvent::Paint:
        if (frameShape() != QFrame::NoFrame) {
            // The frame drawn as a line edit's, which the style marks while the pane
            // has focus; a plain frame shows no focus in some styles (Fusion).
            QPainter p(this);
            QStyleOptionFrame opt;
            opt.initFrom(this);
            opt.rect = frameRect();
            opt.lineWidth = frameWidth();
            opt.midLineWidth = 0;
            opt.state |= QStyle::State_Sunken;
            if (FReadOnly) opt.state |= QStyle::State_ReadOnly;
            style()->drawPrimitive(QStyle::PE_FrameLineEdit, &opt, &p, this);
            return true;
        }
        break;
    case QEvent::FontChange:
        FImpl->RowH = std::max(1, fontMetrics().lineSpacing());
        FImpl->Widest = 0;
        UpdateScrollBars();
        viewport()->update();
        break;
    default:
        break;
    }
    return QAbstractScrollArea::event(event);
}

void TLinesEdit::scrollContentsBy(int, int) {
    viewport()->update();
}

} // namespace zarvo::qt
