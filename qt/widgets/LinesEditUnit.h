// The output pane: a plain-text edit over a TLineBuffer, for lists of any length.
// It draws only the rows on screen, so ten million lines show at once, and edits
// like any text box: a caret and a selection that may start and end inside lines,
// typing, Enter, Backspace and Delete across lines, cut, copy and paste, and one
// undo/redo history for every change, the program's own included. Where the
// desktop has one (X11), a selection becomes the primary selection and the middle
// button pastes it. To assistive tools it is an editable text whose whole text is
// offered, worked out from the buffer only when they ask.
#pragma once

#include <QAbstractScrollArea>
#include <QClipboard>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
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
    // Any amount: the text is made only when pasted, straight from the lines.
    void Copy();
    // Lines copied from a pane of this program go in as they are, sharing their
    // memory. Another program's text is read on a worker where the windows are on
    // X11 (a short one is in before the next key); elsewhere Qt reads it here, and
    // one of up to kPasteAtOnce characters goes in at once. A longer one is split
    // into lines on a worker while the pane refuses changes, shows how far it has
    // come and a busy pointer (Escape breaks it off), then goes in where the
    // selection was; if the program has made the pane read-only meanwhile, once it
    // may change again. Each paste is one undo step.
    void Paste();
    void DeleteSelection();
    static constexpr qsizetype kPasteAtOnce = qsizetype{1} << 20;
    bool IsPasting() const;

    // Replaces a range as the user's own edit would (refused while read-only or
    // pasting; one undo step; the caret after the new text).
    void ReplaceRange(const TTextRange& range, const QString& text);
    // Selects from anchor to caret, as a selection made with the mouse or the keys.
    void SetSelection(TTextPos anchor, TTextPos caret);

    // What a double click selects: the run of word characters around the character
    // that starts at pos, or the run of separators when it is one; at a row's end,
    // nothing. Separators are blanks (tabs among them), ",", ";" and "|", so an
    // address ("10.0.0.1", "fdc7::1"), an address with its port ("[fdc7::1]:80") and
    // a host name ("gw-web-001.example.com") are one word each.
    TTextRange WordAt(TTextPos pos) const;
    static bool IsWordSeparator(QChar c);

    // Offsets into the whole text as assistive tools count them: UTF-16 units, the
    // rows joined by "\n". Worked out from the buffer when first asked and kept until
    // the text changes; quick at ten million lines.
    size_t TextLength() const;
    size_t OffsetOf(TTextPos pos) const;
    TTextPos PosAtOffset(size_t offset) const;
    // Where a position is on screen (a caret's rectangle, in the viewport's
    // coordinates), the position nearest a point of the viewport, and a scroll that
    // shows a position.
    QRect RectOf(TTextPos pos) const;
    TTextPos PosAtPoint(const QPoint& viewportPoint) const { return PosAt(viewportPoint); }
    void ShowPos(TTextPos pos);

    // The row at the top of the view, for tests and for keeping the place.
    size_t FirstVisibleRow() const;

    // The context menu with its actions' states as they are now; the caller owns it.
    QMenu* CreateContextMenu(QWidget* parent);

signals:
    // After every change of the text, whoever made it.
    void Changed();
    // A long paste began or ended.
    void PastingChanged(bool pasting);
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
    bool Locked() const { return FReadOnly || IsPasting(); }
    void PasteFrom(QClipboard::Mode mode);
    void InsertPasted(const TLineSnapshot& lines, const TTextRange& part, const TTextRange& at);
    void PasteText(QString text);
    void LandPaste(const TLineSnapshot& lines, const TLineSnapshot& base, const TTextRange& at);
    void StartPaste(QString text, std::optional<QClipboard::Mode> fromX);
    void PasteDone(uint64_t serial);
    void StopPaste();
    void SetPasting(bool pasting);
    void OfferSelection();
    const TUtf16Index& Index() const;
    void TellCaret(bool moved = false);
    void TellChange(const TLineChange& change);
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
    TTextPos CharAt(const QPoint& p) const;
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
