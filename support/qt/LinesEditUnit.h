// The output pane: a plain-text edit over a TLineBuffer, for lists of any length.
// It draws only the rows on screen, so ten million lines show at once, and edits
// like any text box: a caret and a selection that may start and end inside lines,
// typing, Enter, Backspace and Delete across lines, cut, copy and paste, and one
// undo/redo history for every change, the program's own included.
#pragma once

#include <QAbstractScrollArea>
#include <QString>
#include <memory>
#include <string_view>

#include "support/LineBuffer.h"

class QAction;
class QMenu;
class QTextLayout;

namespace zarvo::qt {

class TLinesEdit : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit TLinesEdit(QWidget* parent = nullptr);
    ~TLinesEdit() override;

    // The text. Changes made on it directly (SetLines, Assign, Commit, Undo...)
    // reach the view through its change hook, so the view repaints, keeps the caret
    // in the text and emits Changed.
    TLineBuffer& Buffer() { return FBuffer; }
    const TLineBuffer& Buffer() const { return FBuffer; }
    // The current state, to hand to another thread.
    TLineSnapshot Snapshot() const { return FBuffer.Snapshot(); }
    size_t LineCount() const { return FBuffer.LineCount(); }

    // Whole-list changes, each one undo step; the caret goes to the start.
    void SetLines(const TStringList& lines);
    void Assign(const TLineSnapshot& lines);
    void Clear();
    // The whole text ("\n" between rows) and a text to replace it with.
    QString Text() const;
    void SetText(const QString& text);

    // Caret and selection, as positions in the buffer (byte columns). The anchor is
    // where a selection started; it equals the caret when nothing is selected.
    TTextPos Caret() const { return FCaret; }
    TTextPos Anchor() const { return FAnchor; }
    bool HasSelection() const { return FCaret != FAnchor; }
    TTextRange Selection() const;
    void SetCaret(TTextPos caret, bool keepAnchor = false);
    void SelectAll();
    QString SelectedText() const;

    bool IsReadOnly() const { return FReadOnly; }
    // While read-only (a run or a shuffle builds the next text) the user can still
    // move, select and copy, but not change the text.
    void SetReadOnly(bool readOnly);

    // The edit commands, as the context menu and the keys run them.
    void Undo();
    void Redo();
    void Cut();
    void Copy(); // any amount: the text is made only when pasted
    void Paste();
    void DeleteSelection();

    // The row at the top of the view, for tests and for keeping the place.
    size_t FirstVisibleRow() const;

    // The context menu with its actions' states as they are now; the caller owns it.
    QMenu* CreateContextMenu(QWidget* parent);

signals:
    // After every change of the text, whoever made it.
    void Changed();
    void UndoAvailable(bool available);
    void RedoAvailable(bool available);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool event(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    enum class TMoveKind {
        Left,
        Right,
        WordLeft,
        WordRight,
        Up,
        Down,
        PageUp,
        PageDown,
        Home,
        End,
        DocStart,
        DocEnd
    };
    struct TImpl;

    void BufferChanged(const TLineChange& change);
    void FinishChange(const TLineChange& change);
    void UpdateHistoryState();
    // Runs an edit of the widget's own; f returns the new selection (anchor, caret).
    template <typename F> bool Edit(F f);
    void ReplaceSelection(std::string_view text, TEditKind kind);
    TTextRange RestoredSelection(const TTextRange& restored) const;
    void DeleteChar(bool forward);
    TTextPos Clamped(TTextPos p) const;
    int PageRows() const;
    std::unique_ptr<QTextLayout> Layout(size_t row, bool preedit = false) const;
    int XOf(TTextPos p) const;
    size_t ColAt(size_t row, int x) const;
    TTextPos PosAt(const QPoint& p) const;
    QRect CaretRect() const;
    void UpdateScrollBars();
    void EnsureCaretVisible();
    TTextPos Moved(TTextPos p, TMoveKind how);
    void MoveCaret(TMoveKind how, bool select);
    bool HandleKey(QKeyEvent* event, bool dryRun);

    TLineBuffer FBuffer;
    TTextPos FCaret, FAnchor;
    bool FReadOnly = false;
    TImpl* FImpl;
};

} // namespace zarvo::qt
