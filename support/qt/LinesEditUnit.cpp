#include "support/qt/LinesEditUnit.h"

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
#include <climits>
#include <memory>

namespace zarvo::qt {

namespace {

// Space left of the text, so that a caret at column 0 is not hidden by the frame.
constexpr int kMargin = 4;

QString RowString(std::string_view row) {
    return QString::fromUtf8(row.data(), qsizetype(row.size()));
}

std::string ToUtf8(const QString& s) {
    const QByteArray b = s.toUtf8();
    return std::string(b.constData(), size_t(b.size()));
}

int ClampInt(size_t n) {
    return int(std::min<size_t>(n, size_t(INT_MAX)));
}

bool IsWordChar(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

// What the clipboard holds after a copy: the text state and the range, turned into
// text only when someone pastes it, so a copy of ten million lines costs nothing.
class TLinesMimeData : public QMimeData {
public:
    TLinesMimeData(TLineSnapshot lines, TTextRange range) : FLines(std::move(lines)), FRange(range) {}
    QStringList formats() const override { return {QStringLiteral("text/plain")}; }
    bool hasFormat(const QString& mimeType) const override { return mimeType == QLatin1String("text/plain"); }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override {
        if (mimeType != QLatin1String("text/plain")) return {};
        const std::string text = FLines.Text(FRange);
        if (type.id() == QMetaType::QByteArray) return QByteArray(text.data(), qsizetype(text.size()));
        return QString::fromUtf8(text.data(), qsizetype(text.size()));
    }

private:
    TLineSnapshot FLines;
    TTextRange FRange;
};

// An editable text to assistive tools. The name comes from the buddy label, as
// QAccessibleWidget finds it; the text offered is the caret's row, never the whole.
class TLinesEditAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit TLinesEditAccessible(TLinesEdit* w) : QAccessibleWidget(w, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.editable = !Edit()->IsReadOnly();
        s.readOnly = Edit()->IsReadOnly();
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return Row();
        return QAccessibleWidget::text(t);
    }

    // QAccessibleTextInterface over the caret's row.
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = 0;
        if (selectionIndex != 0 || !Edit()->HasSelection()) return;
        const TTextRange r = Edit()->Selection();
        const size_t row = Edit()->Caret().Row;
        const std::string_view s = Edit()->Buffer().Row(row);
        *startOffset = r.From.Row < row ? 0 : ClampInt(ByteToUtf16Column(s, r.From.Col));
        *endOffset = r.To.Row > row ? ClampInt(ByteToUtf16Column(s, s.size()))
                                    : ClampInt(ByteToUtf16Column(s, r.To.Col));
    }
    int selectionCount() const override { return Edit()->HasSelection() ? 1 : 0; }
    void addSelection(int startOffset, int endOffset) override { setSelection(0, startOffset, endOffset); }
    void removeSelection(int) override { Edit()->SetCaret(Edit()->Caret()); }
    void setSelection(int, int startOffset, int endOffset) override {
        const size_t row = Edit()->Caret().Row;
        const std::string_view s = Edit()->Buffer().Row(row);
        Edit()->SetCaret({row, Utf16ToByteColumn(s, size_t(std::max(0, startOffset)))});
        Edit()->SetCaret({row, Utf16ToByteColumn(s, size_t(std::max(0, endOffset)))}, true);
    }
    int cursorPosition() const override {
        const TTextPos c = Edit()->Caret();
        return ClampInt(ByteToUtf16Column(Edit()->Buffer().Row(c.Row), c.Col));
    }
    void setCursorPosition(int position) override {
        const size_t row = Edit()->Caret().Row;
        Edit()->SetCaret({row, Utf16ToByteColumn(Edit()->Buffer().Row(row), size_t(std::max(0, position)))});
    }
    QString text(int startOffset, int endOffset) const override {
        return Row().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return int(Row().size()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = offset;
        return {};
    }

private:
    TLinesEdit* Edit() const { return static_cast<TLinesEdit*>(widget()); }
    QString Row() const { return RowString(Edit()->Buffer().Row(Edit()->Caret().Row)); }
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

    FBuffer.SetOnChange([this](const TLineChange& change) { BufferChanged(change); });
    UpdateScrollBars();
}

TLinesEdit::~TLinesEdit() {
    FBuffer.SetOnChange({});
    delete FImpl;
}

// ---------------------------------------------------------------- changes

void TLinesEdit::BufferChanged(const TLineChange& change) {
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
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent e(this, RowString(FBuffer.Row(FCaret.Row)));
        QAccessible::updateAccessibility(&e);
    }
    emit Changed();
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
    if (FReadOnly) return;
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
    return QString::fromStdString(FBuffer.Text());
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
    if (QAccessible::isActive()) {
        QAccessibleTextCursorEvent e(this, ClampInt(ByteToUtf16Column(FBuffer.Row(FCaret.Row), FCaret.Col)));
        QAccessible::updateAccessibility(&e);
    }
}

void TLinesEdit::SelectAll() {
    FAnchor = {};
    FCaret = FBuffer.End();
    FBuffer.CloseGroup();
    FImpl->GoalX = -1;
    EnsureCaretVisible();
    viewport()->update();
}

QString TLinesEdit::SelectedText() const {
    return QString::fromStdString(FBuffer.Text(Selection()));
}

void TLinesEdit::SetReadOnly(bool readOnly) {
    if (FReadOnly == readOnly) return;
    FReadOnly = readOnly;
    setAttribute(Qt::WA_InputMethodEnabled, !readOnly);
    viewport()->update();
}

size_t TLinesEdit::FirstVisibleRow() const {
    return size_t(verticalScrollBar()->value());
}

// ---------------------------------------------------------------- edit commands

void TLinesEdit::Undo() {
    if (FReadOnly) return;
    TTextRange r;
    Edit([&] {
        FBuffer.Undo(&r);
        return RestoredSelection(r);
    });
}

void TLinesEdit::Redo() {
    if (FReadOnly) return;
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
    if (FReadOnly || !HasSelection()) return;
    Copy();
    DeleteSelection();
}

void TLinesEdit::Copy() {
    if (!HasSelection()) return;
    QGuiApplication::clipboard()->setMimeData(new TLinesMimeData(FBuffer.Snapshot(), Selection()));
}

void TLinesEdit::Paste() {
    if (FReadOnly) return;
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    if (!mime || !mime->hasText()) return;
    QString text = mime->text();
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (text.isEmpty() && !HasSelection()) return;
    ReplaceSelection(ToUtf8(text), TEditKind::Other);
}

void TLinesEdit::DeleteSelection() {
    if (FReadOnly || !HasSelection()) return;
    ReplaceSelection({}, TEditKind::Other);
}

void TLinesEdit::DeleteChar(bool forward) {
    if (FReadOnly) return;
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
    const bool sel = HasSelection(), rw = !FReadOnly;
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

QRect TLinesEdit::CaretRect() const {
    const long long dy = (long long)FCaret.Row - (long long)FirstVisibleRow();
    const int x = XOf(FCaret) + kMargin - horizontalScrollBar()->value();
    return QRect(x, int(std::clamp<long long>(dy, -1, 100000)) * FImpl->RowH, 1, FImpl->RowH);
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
    const bool rw = !FReadOnly;
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
    FImpl->Preedit = FReadOnly ? QString() : event->preeditString();
    viewport()->update();
    if (!event->commitString().isEmpty() && !FReadOnly)
        ReplaceSelection(ToUtf8(event->commitString()), TEditKind::Typing);
    event->accept();
}

QVariant TLinesEdit::inputMethodQuery(Qt::InputMethodQuery query) const {
    const std::string_view row = FBuffer.Row(FCaret.Row);
    switch (query) {
    case Qt::ImEnabled:
        return !FReadOnly;
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
    FImpl->Dragging = false;
    FImpl->DragScroll->stop();
}

void TLinesEdit::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const TTextPos at = PosAt(event->position().toPoint());
    const std::string_view row = FBuffer.Row(at.Row);
    const QString s = RowString(row);
    int a = ClampInt(ByteToUtf16Column(row, at.Col)), b = a;
    while (a > 0 && IsWordChar(s[a - 1])) --a;
    while (b < s.size() && IsWordChar(s[b])) ++b;
    SetCaret({at.Row, Utf16ToByteColumn(row, size_t(a))});
    SetCaret({at.Row, Utf16ToByteColumn(row, size_t(b))}, true);
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
