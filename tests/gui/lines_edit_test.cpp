// The output pane on its own: keys, mouse, the history, the program's changes,
// read-only mode, copying and pasting a million lines, the primary selection, the
// word a double click selects, and what assistive tools read and hear.
#include <QAccessible>
#include <QAccessibleEditableTextInterface>
#include <QAccessibleTextInterface>
#include <QClipboard>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <QtTest>
#include <memory>

#include "qt/widgets/LinesEditUnit.h"

using zarvo::TEditKind;
using zarvo::TLineSnapshot;
using zarvo::TStringList;
using zarvo::TTextPos;
using zarvo::qt::TLinesEdit;

namespace {

// "=text" types the text; anything else is a key combination such as "Shift+End".
void Press(QWidget* w, const QStringList& keys) {
    for (const QString& k : keys) {
        if (k.startsWith(QLatin1Char('='))) {
            QTest::keyClicks(w, k.mid(1));
            continue;
        }
        const QKeySequence seq(k);
        if (seq.count() != 1) qFatal("bad key %s", qPrintable(k));
        QTest::keyClick(w, seq[0].key(), seq[0].keyboardModifiers());
    }
}

QVariant Query(const QWidget* w, Qt::InputMethodQuery q) {
    return w->inputMethodQuery(q);
}

QStringList ActionStates(QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions())
        out << (a->isSeparator() ? QStringLiteral("-")
                                 : a->text().remove(QLatin1Char('&')) + (a->isEnabled() ? "+" : "") + " " +
                                       a->shortcut().toString());
    return out;
}

} // namespace

class LinesEditTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TLinesEdit> edit;

    // A shown, focused pane holding text, with no history.
    void start(const QString& text) {
        edit->SetText(text);
        edit->Buffer().ClearHistory();
        edit->SetCaret({});
    }

private Q_SLOTS:
    void init() {
        edit = std::make_unique<TLinesEdit>();
        edit->resize(300, 200);
        edit->show();
        QVERIFY(QTest::qWaitForWindowExposed(edit.get()));
        edit->activateWindow();
        edit->setFocus();
        QTRY_VERIFY(edit->hasFocus());
    }
    void cleanup() { edit.reset(); }

    void keys_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("canUndo");
        QTest::addColumn<bool>("canRedo");
        // clang-format off
        QTest::newRow("typing") << "" << QStringList{"=abc"} << "abc" << true << false;
        QTest::newRow("enter splits the line") << "abcd" << QStringList{"Right", "Right", "Return"} << "ab\ncd" << true << false;
        QTest::newRow("backspace joins lines") << "ab\ncd" << QStringList{"Down", "Backspace"} << "abcd" << true << false;
        QTest::newRow("delete joins lines") << "ab\ncd" << QStringList{"End", "Delete"} << "abcd" << true << false;
        QTest::newRow("backspace at the start") << "ab" << QStringList{"Backspace"} << "ab" << false << false;
        QTest::newRow("delete at the end") << "ab" << QStringList{"Ctrl+End", "Delete"} << "ab" << false << false;
        QTest::newRow("backspace by characters") << "a\u00FC\u20AC\U0001F600" << QStringList{"End", "Backspace", "Backspace"} << "a\u00FC" << true << false;
        QTest::newRow("delete by characters") << "\U0001F600b\u00FC" << QStringList{"Delete", "Right", "Delete"} << "b" << true << false;
        QTest::newRow("home and end stay in the line") << "abc\ndef" << QStringList{"Down", "End", "=X", "Home", "=Y"} << "abc\nYdefX" << true << false;
        QTest::newRow("ctrl end and ctrl home") << "abc\ndef\n" << QStringList{"Ctrl+End", "=Z", "Ctrl+Home", "=A"} << "Aabc\ndef\nZ" << true << false;
        QTest::newRow("up and down keep the column") << "abcd\nx\nabcd" << QStringList{"End", "Down", "Down", "=Z"} << "abcd\nx\nabcdZ" << true << false;
        QTest::newRow("page down") << "ab\ncd\nab" << QStringList{"Right", "PgDown", "=P"} << "ab\ncd\naPb" << true << false;
        QTest::newRow("page up") << "ab\ncd\nab" << QStringList{"Ctrl+End", "PgUp", "=P"} << "abP\ncd\nab" << true << false;
        QTest::newRow("word right") << "one two" << QStringList{"Ctrl+Right", "=X"} << "oneX two" << true << false;
        QTest::newRow("selection in a line typed over") << "hello world" << QStringList{"Right", "Shift+Right", "Shift+Right", "=EY"} << "hEYlo world" << true << false;
        QTest::newRow("selection across lines typed over") << "ab\ncd\nef" << QStringList{"Right", "Shift+Down", "Shift+Down", "=X"} << "aXf" << true << false;
        QTest::newRow("shift end then backspace") << "abc\ndef" << QStringList{"Right", "Shift+End", "Backspace"} << "a\ndef" << true << false;
        QTest::newRow("shift ctrl end then delete") << "abc\ndef" << QStringList{"Right", "Ctrl+Shift+End", "Delete"} << "a" << true << false;
        QTest::newRow("shift home") << "abc\ndef" << QStringList{"Down", "End", "Shift+Home", "=x"} << "abc\nx" << true << false;
        QTest::newRow("shift ctrl home") << "abc\ndef" << QStringList{"Down", "Right", "Ctrl+Shift+Home", "Delete"} << "ef" << true << false;
        QTest::newRow("line break selected and deleted") << "ab\ncd" << QStringList{"Down", "Shift+Left", "Delete"} << "abcd" << true << false;
        QTest::newRow("left drops the selection") << "abc" << QStringList{"Shift+End", "Left", "=X"} << "Xabc" << true << false;
        QTest::newRow("select all typed over") << "a\nb\n" << QStringList{"Ctrl+A", "=z"} << "z" << true << false;
        QTest::newRow("cut and paste a line") << "one\ntwo\n" << QStringList{"Shift+Down", "Ctrl+X", "Ctrl+End", "Ctrl+V"} << "two\none\n" << true << false;
        QTest::newRow("copy and paste") << "ab" << QStringList{"Shift+End", "Ctrl+C", "End", "Ctrl+V"} << "abab" << true << false;
        QTest::newRow("paste over a selection") << "12\n34" << QStringList{"Shift+Right", "Ctrl+C", "Down", "Home", "Shift+End", "Ctrl+V"} << "12\n1" << true << false;
        QTest::newRow("typing undone in one step") << "x" << QStringList{"End", "=abc", "Ctrl+Z"} << "x" << false << true;
        QTest::newRow("backspaces undone in one step") << "abc" << QStringList{"End", "Backspace", "Backspace", "Ctrl+Z"} << "abc" << false << true;
        QTest::newRow("enter is a step of its own") << "" << QStringList{"=ab", "Return", "=cd", "Ctrl+Z"} << "ab\n" << true << true;
        QTest::newRow("undo then redo") << "" << QStringList{"=ab", "Ctrl+Z", "Ctrl+Shift+Z"} << "ab" << true << false;
        QTest::newRow("redo by ctrl y") << "" << QStringList{"=ab", "Return", "Ctrl+Z", "Ctrl+Z", "Ctrl+Y"} << "ab" << true << true;
        QTest::newRow("an edit drops the redo") << "" << QStringList{"=a", "Ctrl+Z", "=b"} << "b" << true << false;
        QTest::newRow("cut undone") << "one\ntwo" << QStringList{"Shift+Down", "Ctrl+X", "Ctrl+Z"} << "one\ntwo" << false << true;
        QTest::newRow("a moved caret starts a new step") << "" << QStringList{"=ab", "Home", "=x", "Ctrl+Z"} << "ab" << true << true;
        QTest::newRow("tab is not typed") << "ab" << QStringList{"Tab"} << "ab" << false << false;
        // clang-format on
    }
    void keys() {
        QFETCH(QString, text);
        QFETCH(QStringList, keys);
        QFETCH(QString, expected);
        QFETCH(bool, canUndo);
        QFETCH(bool, canRedo);
        start(text);
        QSignalSpy undo(edit.get(), &TLinesEdit::UndoAvailable), redo(edit.get(), &TLinesEdit::RedoAvailable);
        Press(edit.get(), keys);
        QCOMPARE(edit->Text(), expected);
        QCOMPARE(edit->Buffer().CanUndo(), canUndo);
        QCOMPARE(edit->Buffer().CanRedo(), canRedo);
        if (!undo.isEmpty()) QCOMPARE(undo.last().at(0).toBool(), canUndo);
        if (!redo.isEmpty()) QCOMPARE(redo.last().at(0).toBool(), canRedo);
        QCOMPARE(edit->LineCount(), size_t(edit->Buffer().Snapshot().LineCount()));
    }

    void historySignals() {
        QSignalSpy undo(edit.get(), &TLinesEdit::UndoAvailable), redo(edit.get(), &TLinesEdit::RedoAvailable);
        const auto emitted = [&] {
            QStringList out;
            for (const auto& a : undo) out << QString("undo %1").arg(a.at(0).toBool());
            for (const auto& a : redo) out << QString("redo %1").arg(a.at(0).toBool());
            undo.clear();
            redo.clear();
            return out;
        };
        Press(edit.get(), {"=ab"});
        QCOMPARE(emitted(), QStringList({"undo 1"}));
        Press(edit.get(), {"Ctrl+Z"});
        QCOMPARE(emitted(), QStringList({"undo 0", "redo 1"}));
        Press(edit.get(), {"Ctrl+Y"});
        QCOMPARE(emitted(), QStringList({"undo 1", "redo 0"}));
        edit->Clear();
        QCOMPARE(emitted(), QStringList());
        Press(edit.get(), {"Ctrl+Z", "Ctrl+Z"});
        QCOMPARE(emitted(), QStringList({"undo 0", "redo 1"}));
    }

    void caretAfterUndoAndRedo() {
        start("one\ntwo\nthree");
        Press(edit.get(), {"Right", "Shift+Right", "Shift+Right", "Ctrl+X"});
        QCOMPARE(edit->Text(), QString("o\ntwo\nthree"));
        QCOMPARE(edit->Caret(), (TTextPos{0, 1}));
        Press(edit.get(), {"Ctrl+Z"});
        QCOMPARE(edit->SelectedText(), QString("ne"));
        QCOMPARE(edit->Caret(), (TTextPos{0, 3}));
        Press(edit.get(), {"Ctrl+Y"});
        QVERIFY(!edit->HasSelection());
        QCOMPARE(edit->Caret(), (TTextPos{0, 1}));
        // Typing stops where the text stops; Changed comes once per edit.
        QSignalSpy changed(edit.get(), &TLinesEdit::Changed);
        Press(edit.get(), {"Ctrl+End", "=ab", "Return"});
        QCOMPARE(changed.count(), 3);
        QCOMPARE(edit->Caret(), (TTextPos{3, 0}));
    }

    void programChangesUndoneByKeys() {
        start("a\nb\n");
        QSignalSpy changed(edit.get(), &TLinesEdit::Changed);
        TStringList lines;
        for (const char* l : {"x", "y", "z"}) lines.Add(l);
        Press(edit.get(), {"Down", "End"});
        edit->SetLines(lines);
        QCOMPARE(edit->Text(), QString("x\ny\nz\n"));
        QCOMPARE(edit->Caret(), TTextPos{});
        edit->Clear();
        QCOMPARE(edit->Text(), QString());
        QCOMPARE(changed.count(), 2);
        // Changes made on the buffer itself reach the view.
        edit->Buffer().Insert({0, 0}, "p\nq\nr\ns\n");
        QCOMPARE(changed.count(), 3);
        QCOMPARE(edit->LineCount(), size_t(4));
        Press(edit.get(), {"Ctrl+End"});
        edit->Buffer().Shuffle();
        QVERIFY(edit->Caret() <= edit->Buffer().End());
        QStringList shuffled = edit->Text().split('\n');
        shuffled.sort();
        QCOMPARE(shuffled, QStringList({"", "p", "q", "r", "s"}));
        // A whole new text puts the caret at its start, a change below the caret leaves
        // it in place, one that removes its row puts it nearby.
        edit->Buffer().SetLines(lines);
        QCOMPARE(edit->Caret(), TTextPos{});
        Press(edit.get(), {"Right"});
        edit->Buffer().Insert(edit->Buffer().End(), "m\nn\n");
        QCOMPARE(edit->Caret(), (TTextPos{0, 1}));
        Press(edit.get(), {"Ctrl+End"});
        edit->Buffer().Remove({{1, 0}, edit->Buffer().End()});
        QCOMPARE(edit->Text(), QString("x\n"));
        QCOMPARE(edit->Caret(), (TTextPos{1, 0}));
        QCOMPARE(changed.count(), 7);
        // Every step is undone from the keyboard, back to the first text.
        QCOMPARE(edit->Buffer().UndoCount(), size_t(7));
        while (edit->Buffer().CanUndo()) Press(edit.get(), {"Ctrl+Z"});
        QCOMPARE(edit->Text(), QString("a\nb\n"));
        QVERIFY(edit->Caret() <= edit->Buffer().End());
        Press(edit.get(), {"Ctrl+Shift+Z", "Ctrl+Shift+Z"});
        QCOMPARE(edit->Text(), QString(""));
    }

    void readOnlyRefusesChanges() {
        start("ab\ncd");
        edit->SetReadOnly(true);
        QSignalSpy changed(edit.get(), &TLinesEdit::Changed);
        QGuiApplication::clipboard()->setText("pasted");
        Press(edit.get(),
              {"=xy", "Return", "Delete", "End", "Backspace", "Ctrl+V", "Shift+Home", "Ctrl+X", "Ctrl+Z"});
        QCOMPARE(edit->Text(), QString("ab\ncd"));
        QVERIFY(changed.isEmpty());
        // Moving, selecting and copying still work.
        QCOMPARE(edit->SelectedText(), QString("ab"));
        Press(edit.get(), {"Ctrl+A", "Ctrl+C"});
        QCOMPARE(QGuiApplication::clipboard()->text(), QString("ab\ncd"));
        QVERIFY(!Query(edit.get(), Qt::ImEnabled).toBool());
        const auto key = [](QKeySequence::StandardKey k) { return " " + QKeySequence(k).toString(); };
        const auto menuOf = [&](const char* enabled) {
            const char* names[] = {"Undo", "Redo", "-", "Cut", "Copy", "Paste", "Delete", "-", "Select All"};
            const QKeySequence::StandardKey keys[] = {
                QKeySequence::Undo,   QKeySequence::Redo,       QKeySequence::UnknownKey,
                QKeySequence::Cut,    QKeySequence::Copy,       QKeySequence::Paste,
                QKeySequence::Delete, QKeySequence::UnknownKey, QKeySequence::SelectAll};
            QStringList out;
            for (int i = 0; i < 9; ++i)
                out << (names[i][0] == '-' ? QString("-")
                                           : names[i] + QString(enabled[i] == '+' ? "+" : "") + key(keys[i]));
            return out;
        };
        std::unique_ptr<QMenu> menu(edit->CreateContextMenu(nullptr));
        QCOMPARE(ActionStates(menu.get()), menuOf("  - +  -+"));
        edit->SetReadOnly(false);
        Press(edit.get(), {"=z"});
        QCOMPARE(edit->Text(), QString("z"));
        menu.reset(edit->CreateContextMenu(nullptr));
        QCOMPARE(ActionStates(menu.get()), menuOf("+ -  + -+"));
    }

    void pasteNormalizesLineBreaks() {
        start("xy");
        QGuiApplication::clipboard()->setText("a\r\nb\rc\n");
        Press(edit.get(), {"Right", "Shift+Right", "Ctrl+V"});
        QCOMPARE(edit->Text(), QString("xa\nb\nc\n"));
        QCOMPARE(edit->Caret(), (TTextPos{3, 0}));
        QCOMPARE(edit->Buffer().UndoCount(), size_t(1));
        Press(edit.get(), {"Ctrl+Z"});
        QCOMPARE(edit->Text(), QString("xy"));
    }

    void inputMethodCommitIsTyping() {
        start("ab");
        Press(edit.get(), {"End"});
        QInputMethodEvent compose(QStringLiteral("zh"), {});
        QApplication::sendEvent(edit.get(), &compose);
        QCOMPARE(edit->Text(), QString("ab")); // composing changes nothing yet
        QInputMethodEvent e(QString(), {});
        e.setCommitString(QString::fromUtf8("\xE4\xB8\xAD\xE6\x96\x87"));
        QApplication::sendEvent(edit.get(), &e);
        QCOMPARE(edit->Text(), QString::fromUtf8("ab\xE4\xB8\xAD\xE6\x96\x87"));
        QCOMPARE(Query(edit.get(), Qt::ImCursorPosition).toInt(), 4);
        QCOMPARE(Query(edit.get(), Qt::ImSurroundingText).toString(), edit->Text());
        QVERIFY(Query(edit.get(), Qt::ImCursorRectangle).toRect().height() > 0);
        Press(edit.get(), {"Ctrl+Z"});
        QCOMPARE(edit->Text(), QString("ab"));
    }

    void mouseSelects() {
        start("one two\nthree\nfour");
        const int rowH = edit->fontMetrics().lineSpacing();
        QWidget* vp = edit->viewport();
        // A click past a row's end puts the caret at its end; shift-click extends.
        QTest::mouseClick(vp, Qt::LeftButton, {}, QPoint(vp->width() - 5, rowH / 2));
        QCOMPARE(edit->Caret(), (TTextPos{0, 7}));
        QTest::mouseClick(vp, Qt::LeftButton, Qt::ShiftModifier, QPoint(vp->width() - 5, rowH + rowH / 2));
        QCOMPARE(edit->SelectedText(), QString("\nthree"));
        // A drag from the start of the first row into the third.
        QTest::mousePress(vp, Qt::LeftButton, {}, QPoint(1, rowH / 2));
        QMouseEvent move(QEvent::MouseMove, QPointF(vp->width() - 5, 2 * rowH + rowH / 2),
                         vp->mapToGlobal(QPointF(vp->width() - 5, 2 * rowH + rowH / 2)), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp, &move);
        QTest::mouseRelease(vp, Qt::LeftButton, {}, QPoint(vp->width() - 5, 2 * rowH + rowH / 2));
        QCOMPARE(edit->SelectedText(), QString("one two\nthree\nfour"));
        // A double click selects a word.
        const int x = 4 + edit->fontMetrics().horizontalAdvance("one t");
        QTest::mouseDClick(vp, Qt::LeftButton, {}, QPoint(x, rowH / 2));
        QCOMPARE(edit->SelectedText(), QString("two"));
        // A drag held below the view scrolls on and selects as it goes.
        start(QString("row\n").repeated(500));
        QTest::mousePress(vp, Qt::LeftButton, {}, QPoint(1, rowH / 2));
        const QPointF below(10, vp->height() + rowH);
        QMouseEvent out(QEvent::MouseMove, below, vp->mapToGlobal(below), Qt::NoButton, Qt::LeftButton,
                        Qt::NoModifier);
        QApplication::sendEvent(vp, &out);
        QTRY_VERIFY(edit->Caret().Row > size_t(40));
        QTest::mouseRelease(vp, Qt::LeftButton, {}, below.toPoint());
        QVERIFY(edit->FirstVisibleRow() > 0);
        QCOMPARE(edit->Anchor(), TTextPos{});
    }

    void copyMillionLines() {
        TStringList lines;
        std::string expected;
        for (int i = 0; i < 1000000; ++i) {
            const std::string l = "10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) +
                                  "." + std::to_string(i & 255);
            lines.Add(l);
            expected += l + "\n";
        }
        edit->Assign(TLineSnapshot::FromLines(lines));
        QCOMPARE(edit->LineCount(), size_t(1000000));
        Press(edit.get(), {"Ctrl+End"});
        QVERIFY(edit->FirstVisibleRow() > size_t(999000));
        Press(edit.get(), {"Ctrl+A", "Ctrl+C"});
        const QString text = QGuiApplication::clipboard()->text();
        QCOMPARE(text.size(), qsizetype(expected.size()));
        QVERIFY(text == QString::fromStdString(expected));
        // Pasted over the selection: one undo step gives the text back.
        Press(edit.get(), {"Ctrl+A", "Delete", "Ctrl+V"});
        QCOMPARE(edit->LineCount(), size_t(1000000));
        Press(edit.get(), {"Ctrl+Z", "Ctrl+Z"});
        QCOMPARE(edit->LineCount(), size_t(1000000));
        QCOMPARE(edit->Buffer().Row(999999), std::string_view("10.15.66.63"));
    }

    void accessibleNameFollowsLabel() {
        QWidget form;
        auto* label = new QLabel("Lines (0):", &form);
        auto* pane = new TLinesEdit(&form);
        auto* layout = new QVBoxLayout(&form);
        layout->addWidget(label);
        layout->addWidget(pane);
        label->setBuddy(pane);
        pane->SetText("first\nsecond");
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(pane);
        QVERIFY(a);
        QCOMPARE(a->role(), QAccessible::EditableText);
        QCOMPARE(a->text(QAccessible::Name), QString("Lines (0):"));
        label->setText("Lines (2):");
        QCOMPARE(a->text(QAccessible::Name), QString("Lines (2):"));
        QVERIFY(pane->accessibleName().isEmpty());
        // The value is the caret's row; the text interface offers the whole text.
        pane->SetCaret({1, 3});
        QCOMPARE(a->text(QAccessible::Value), QString("second"));
        QVERIFY(a->textInterface());
        QCOMPARE(a->textInterface()->cursorPosition(), 9);
        QCOMPARE(a->textInterface()->characterCount(), 12);
    }

    // The text interface over the whole text: offsets in UTF-16 units, rows joined
    // by "\n"; a line is its row and the break that ends it.
    void accessibleText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("ask"); // at, before, after, text, count, caret, selection
        QTest::addColumn<int>("boundary");
        QTest::addColumn<int>("offset");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("end");
        const QString four = "10.0.0.0\n10.0.0.1\n10.0.0.2\n10.0.0.3\n";
        const QString named = "gw-web-001.example.com 10.0.0.1:80\nfdc7::1";
        const int line = QAccessible::LineBoundary, word = QAccessible::WordBoundary,
                  chr = QAccessible::CharBoundary;
        const QStringList none;
        // clang-format off
        QTest::newRow("count") << four << none << "count" << 0 << 0 << "" << 36 << 0;
        QTest::newRow("line at 0") << four << none << "at" << line << 0 << "10.0.0.0\n" << 0 << 9;
        QTest::newRow("line at 9") << four << none << "at" << line << 9 << "10.0.0.1\n" << 9 << 18;
        QTest::newRow("line inside") << four << none << "at" << line << 12 << "10.0.0.1\n" << 9 << 18;
        QTest::newRow("line at its break") << four << none << "at" << line << 17 << "10.0.0.1\n" << 9 << 18;
        QTest::newRow("line at the end") << four << none << "at" << line << 36 << "" << 36 << 36;
        QTest::newRow("line at -1") << four << none << "at" << line << -1 << "" << 36 << 36;
        QTest::newRow("line at the caret") << four << QStringList{"Down", "Down"} << "at" << line << -2 << "10.0.0.2\n" << 18 << 27;
        QTest::newRow("line before") << four << none << "before" << line << 12 << "10.0.0.0\n" << 0 << 9;
        QTest::newRow("line before the first") << four << none << "before" << line << 3 << "" << 0 << 0;
        QTest::newRow("line before the end") << four << none << "before" << line << 36 << "10.0.0.3\n" << 27 << 36;
        QTest::newRow("line after") << four << none << "after" << line << 9 << "10.0.0.2\n" << 18 << 27;
        QTest::newRow("line after the last") << four << none << "after" << line << 30 << "" << 36 << 36;
        QTest::newRow("last line without a break") << named << none << "at" << line << 36 << "fdc7::1" << 35 << 42;
        QTest::newRow("paragraph is a line") << four << none << "at" << int(QAccessible::ParagraphBoundary) << 10 << "10.0.0.1\n" << 9 << 18;
        QTest::newRow("no boundary") << "a\nb" << none << "at" << int(QAccessible::NoBoundary) << 1 << "a\nb" << 0 << 3;
        QTest::newRow("word: a host name") << named << none << "at" << word << 3 << "gw-web-001.example.com" << 0 << 22;
        QTest::newRow("word: address and port") << named << none << "at" << word << 27 << "10.0.0.1:80" << 23 << 34;
        QTest::newRow("word: the blank") << named << none << "at" << word << 22 << " " << 22 << 23;
        QTest::newRow("word: the line break") << named << none << "at" << word << 34 << "\n" << 34 << 35;
        QTest::newRow("word: an IPv6 address") << named << none << "at" << word << 38 << "fdc7::1" << 35 << 42;
        QTest::newRow("word after") << named << none << "after" << word << 5 << " " << 22 << 23;
        QTest::newRow("word before") << named << none << "before" << word << 30 << " " << 22 << 23;
        QTest::newRow("word at the end") << named << none << "at" << word << 42 << "" << 42 << 42;
        QTest::newRow("char") << four << none << "at" << chr << 0 << "1" << 0 << 1;
        QTest::newRow("char: a line break") << four << none << "at" << chr << 8 << "\n" << 8 << 9;
        QTest::newRow("char before") << four << none << "before" << chr << 9 << "\n" << 8 << 9;
        QTest::newRow("char after") << four << none << "after" << chr << 0 << "0" << 1 << 2;
        QTest::newRow("char: surrogate pair") << "a\U0001F600b" << none << "at" << chr << 1 << "\U0001F600" << 1 << 3;
        QTest::newRow("char: inside the pair") << "a\U0001F600b" << none << "at" << chr << 2 << "\U0001F600" << 1 << 3;
        QTest::newRow("char after the pair") << "a\U0001F600b" << none << "after" << chr << 1 << "b" << 3 << 4;
        QTest::newRow("beyond the end") << four << none << "at" << line << 37 << "" << -1 << -1;
        QTest::newRow("text of a range") << four << none << "text" << 0 << 9 << "10.0.0.1\n10" << 9 << 20;
        QTest::newRow("non-ASCII count") << "\u00E9\u20AC\n\U0001F600x" << none << "count" << 0 << 0 << "" << 6 << 0;
        QTest::newRow("non-ASCII line") << "\u00E9\u20AC\n\U0001F600x" << none << "at" << line << 4 << "\U0001F600x" << 3 << 6;
        QTest::newRow("caret") << four << QStringList{"Down", "End"} << "caret" << 0 << 0 << "" << 17 << 0;
        QTest::newRow("selection") << four << QStringList{"Down", "Shift+Down"} << "selection" << 0 << 0 << "" << 9 << 18;
        QTest::newRow("selection backwards") << four << QStringList{"Down", "Right", "Shift+Up"} << "selection" << 0 << 0 << "" << 1 << 10;
        QTest::newRow("no selection") << four << QStringList{"Down"} << "selection" << 0 << 0 << "" << 0 << 0;
        QTest::newRow("after typing") << four << QStringList{"=x"} << "at" << line << 0 << "x10.0.0.0\n" << 0 << 10;
        QTest::newRow("count after typing") << four << QStringList{"=xy"} << "count" << 0 << 0 << "" << 38 << 0;
        QTest::newRow("after a line is removed") << four << QStringList{"Shift+Down", "Delete"} << "at" << line << 9 << "10.0.0.2\n" << 9 << 18;
        QTest::newRow("after undo") << four << QStringList{"Shift+Down", "Delete", "Ctrl+Z"} << "count" << 0 << 0 << "" << 36 << 0;
        QTest::newRow("caret after enter") << four << QStringList{"End", "Return"} << "caret" << 0 << 0 << "" << 9 << 0;
        // clang-format on
    }
    void accessibleText() {
        QFETCH(QString, text);
        QFETCH(QStringList, keys);
        QFETCH(QString, ask);
        QFETCH(int, boundary);
        QFETCH(int, offset);
        QFETCH(QString, expected);
        QFETCH(int, from);
        QFETCH(int, end);
        start(text);
        Press(edit.get(), keys);
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(edit.get());
        QVERIFY(a && a->textInterface());
        QAccessibleTextInterface* t = a->textInterface();
        int gotFrom = -5, gotTo = -5;
        const auto type = QAccessible::TextBoundaryType(boundary);
        if (ask == "count") {
            QCOMPARE(t->characterCount(), from);
            QCOMPARE(t->text(0, t->characterCount()), edit->Text());
            return;
        }
        if (ask == "caret") {
            QCOMPARE(t->cursorPosition(), from);
            return;
        }
        if (ask == "selection") {
            t->selection(0, &gotFrom, &gotTo);
            QCOMPARE(t->selectionCount(), from == end ? 0 : 1);
        } else if (ask == "text") {
            QCOMPARE(t->text(from, end), expected);
            gotFrom = from, gotTo = end;
        } else {
            const QString got = ask == "at"       ? t->textAtOffset(offset, type, &gotFrom, &gotTo)
                                : ask == "before" ? t->textBeforeOffset(offset, type, &gotFrom, &gotTo)
                                                  : t->textAfterOffset(offset, type, &gotFrom, &gotTo);
            QCOMPARE(got, expected);
        }
        QCOMPARE(gotFrom, from);
        QCOMPARE(gotTo, end);
    }

    void accessibleSettersAndEdits() {
        start("10.0.0.0\n10.0.0.1\n");
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(edit.get());
        QAccessibleTextInterface* t = a->textInterface();
        QAccessibleEditableTextInterface* e = a->editableTextInterface();
        QVERIFY(t && e);
        t->setCursorPosition(12);
        QCOMPARE(edit->Caret(), (TTextPos{1, 3}));
        t->setSelection(0, 9, 17);
        QCOMPARE(edit->SelectedText(), QString("10.0.0.1"));
        QCOMPARE(edit->Caret(), (TTextPos{1, 8}));
        t->removeSelection(0);
        QVERIFY(!edit->HasSelection());
        e->insertText(9, "x");
        QCOMPARE(edit->Text(), QString("10.0.0.0\nx10.0.0.1\n"));
        e->replaceText(0, 8, "a\nb");
        QCOMPARE(edit->Text(), QString("a\nb\nx10.0.0.1\n"));
        e->deleteText(4, 5);
        QCOMPARE(edit->Text(), QString("a\nb\n10.0.0.1\n"));
        QCOMPARE(edit->Buffer().UndoCount(), size_t(3));
        Press(edit.get(), {"Ctrl+Z", "Ctrl+Z", "Ctrl+Z"});
        QCOMPARE(edit->Text(), QString("10.0.0.0\n10.0.0.1\n"));
        // Read-only: the tools may read and select, not change.
        edit->SetReadOnly(true);
        QVERIFY(a->state().readOnly);
        e->insertText(0, "z");
        QCOMPARE(edit->Text(), QString("10.0.0.0\n10.0.0.1\n"));
        QCOMPARE(t->characterCount(), 18);
    }

    void accessibleEvents() {
        // What a screen reader hears of changes, moves and selections.
        static QStringList heard;
        heard.clear();
        const QAccessible::UpdateHandler previous =
            QAccessible::installUpdateHandler([](QAccessibleEvent* ev) {
                QString s = QString::number(int(ev->type()), 16);
                switch (ev->type()) {
                case QAccessible::TextInserted: {
                    auto* t = static_cast<QAccessibleTextInsertEvent*>(ev);
                    s = QString("insert %1 \"%2\"").arg(t->changePosition()).arg(t->textInserted());
                    break;
                }
                case QAccessible::TextRemoved: {
                    auto* t = static_cast<QAccessibleTextRemoveEvent*>(ev);
                    s = QString("remove %1 \"%2\"").arg(t->changePosition()).arg(t->textRemoved());
                    break;
                }
                case QAccessible::TextUpdated: {
                    auto* t = static_cast<QAccessibleTextUpdateEvent*>(ev);
                    s = QString("update %1 \"%2\" \"%3\"")
                            .arg(t->changePosition())
                            .arg(t->textRemoved(), t->textInserted());
                    break;
                }
                case QAccessible::TextSelectionChanged: {
                    auto* t = static_cast<QAccessibleTextSelectionEvent*>(ev);
                    s = QString("selection %1 %2").arg(t->selectionStart()).arg(t->selectionEnd());
                    break;
                }
                case QAccessible::TextCaretMoved:
                    s = QString("caret %1")
                            .arg(static_cast<QAccessibleTextCursorEvent*>(ev)->cursorPosition());
                    break;
                default:
                    return;
                }
                heard << s;
            });
        // Qt hands events on only while a bridge to the tools is active: on the
        // desktop's bus (QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 under Xvfb), not offscreen.
        const bool active = QAccessible::isActive();
        if (active) {
            start("10.0.0.0\n10.0.0.1\n");
            heard.clear();
            Press(edit.get(), {"Down", "=x"});
            Press(edit.get(), {"Shift+End", "Delete", "Ctrl+Z"});
            edit->SetText(QString("row\n").repeated(20000)); // past what is told with its text
        }
        QAccessible::installUpdateHandler(previous);
        if (!active) QSKIP("no accessibility bridge active on this platform (run under Xvfb with AT-SPI)");
        // Typing; Shift+End; Delete (the selection goes); Ctrl+Z (the text comes back
        // selected); a whole new list: no text, the caret and selection at its start.
        QCOMPARE(heard, QStringList({"caret 9", "insert 9 \"x\"", "caret 10", "selection 10 18", "caret 18",
                                     "remove 10 \"10.0.0.1\"", "selection 10 10", "caret 10",
                                     "insert 10 \"10.0.0.1\"", "selection 10 18", "caret 18", "selection 0 0",
                                     "caret 0"}));
    }

    void pasteLargeTextIsOneStep() {
        start("first\nlast");
        Press(edit.get(), {"Down"});
        QString text;
        for (int i = 0; i < 120000; ++i)
            text += QString("10.%1.%2.%3\r\n").arg(i >> 16).arg((i >> 8) & 255).arg(i & 255);
        QVERIFY(text.size() > TLinesEdit::kPasteAtOnce);
        QGuiApplication::clipboard()->setText(text);
        QSignalSpy pasting(edit.get(), &TLinesEdit::PastingChanged);
        Press(edit.get(), {"Ctrl+V"});
        QVERIFY(edit->IsPasting());
        // Meanwhile the pane takes no changes, but moves.
        Press(edit.get(), {"=z", "Up"});
        QCOMPARE(edit->Text(), QString("first\nlast"));
        QTRY_VERIFY(!edit->IsPasting());
        QCOMPARE(pasting.count(), 2);
        QCOMPARE(edit->LineCount(), size_t(120002));
        QCOMPARE(edit->Buffer().Row(1), std::string_view("10.0.0.0"));
        QCOMPARE(edit->Buffer().Row(120001), std::string_view("last"));
        QCOMPARE(edit->Caret(), (TTextPos{120001, 0}));
        QCOMPARE(edit->Buffer().UndoCount(), size_t(1));
        Press(edit.get(), {"Ctrl+Z"});
        QCOMPARE(edit->Text(), QString("first\nlast"));
        // Escape breaks it off: nothing changes.
        Press(edit.get(), {"Ctrl+V", "Escape"});
        QVERIFY(!edit->IsPasting());
        QTest::qWait(50);
        QCOMPARE(edit->Text(), QString("first\nlast"));
        // A change by the program meanwhile: the paste goes in at the caret then.
        Press(edit.get(), {"Ctrl+V"});
        TStringList lines;
        lines.Add("new");
        edit->SetLines(lines);
        QTRY_VERIFY(!edit->IsPasting());
        QCOMPARE(edit->LineCount(), size_t(120001));
        QCOMPARE(edit->Buffer().Row(0), std::string_view("10.0.0.0"));
        QCOMPARE(edit->Buffer().Row(120000), std::string_view("new"));
        // The program makes the pane read-only meanwhile (a run): the paste waits for
        // the run's list and goes in at its start, neither lost.
        Press(edit.get(), {"Ctrl+End", "Ctrl+V"});
        edit->SetReadOnly(true);
        QTest::qWait(300);
        QVERIFY(edit->IsPasting());
        QCOMPARE(edit->LineCount(), size_t(120001));
        edit->SetLines(lines);
        edit->SetReadOnly(false);
        // The paste's text may still be in the making on its worker (a loaded machine).
        QTRY_VERIFY(!edit->IsPasting());
        QCOMPARE(edit->LineCount(), size_t(120001));
        QCOMPARE(edit->Buffer().Row(0), std::string_view("10.0.0.0"));
        QCOMPARE(edit->Buffer().Row(120000), std::string_view("new"));
        QCOMPARE(edit->Buffer().UndoCount(), size_t(4)); // two lists, two pastes
    }

    void primarySelectionAndMiddleClick() {
        QClipboard* clipboard = QGuiApplication::clipboard();
        if (!clipboard->supportsSelection())
            QSKIP("no primary selection on this platform (checked by hand under Xvfb)");
        start("one two\nthree");
        Press(edit.get(), {"Shift+End"});
        QCOMPARE(clipboard->text(QClipboard::Selection), QString("one two"));
        // The middle button pastes it where the pointer is.
        const int rowH = edit->fontMetrics().lineSpacing();
        QWidget* vp = edit->viewport();
        QTest::mouseClick(vp, Qt::MiddleButton, {}, QPoint(vp->width() - 5, rowH + rowH / 2));
        QCOMPARE(edit->Text(), QString("one two\nthreeone two"));
        QCOMPARE(edit->Buffer().UndoCount(), size_t(1));
        // A double click offers its word.
        QTest::mouseDClick(vp, Qt::LeftButton, {},
                           QPoint(4 + edit->fontMetrics().horizontalAdvance("on"), rowH / 2));
        QCOMPARE(clipboard->text(QClipboard::Selection), QString("one"));
    }

    void pasteFromAnotherProgram() {
        // On X11 the pane reads another program's selection itself, on a worker.
        const QString xclip = QStandardPaths::findExecutable("xclip");
        if (QGuiApplication::platformName() != "xcb" || xclip.isEmpty())
            QSKIP("needs X11 and xclip (checked by hand under Xvfb)");
        std::vector<std::unique_ptr<QProcess>> holders;
        const auto hold = [&](const QByteArray& text, const char* selection) {
            QProcess* p = holders.emplace_back(std::make_unique<QProcess>()).get();
            p->start(xclip, {"-quiet", "-i", "-selection", selection});
            p->write(text);
            p->closeWriteChannel();
            // Until xclip has read it all and holds the selection.
            const QClipboard::Mode mode =
                selection == QByteArray("primary") ? QClipboard::Selection : QClipboard::Clipboard;
            QClipboard* clipboard = QGuiApplication::clipboard();
            QTRY_VERIFY(
                (mode == QClipboard::Selection ? !clipboard->ownsSelection() : !clipboard->ownsClipboard()) &&
                clipboard->mimeData(mode) && clipboard->mimeData(mode)->hasText());
        };
        start("ab");
        Press(edit.get(), {"End"});
        // Line breaks of all kinds, a malformed byte, a NUL at the end as some send it.
        hold(QByteArray("1\r\n2\r3\xC3\xA9\xFF\n", 10) + QByteArray(1, '\0'), "clipboard");
        Press(edit.get(), {"Ctrl+V"});
        QTRY_VERIFY(!edit->IsPasting());
        QCOMPARE(edit->Text(), QString("ab1\n2\n3\u00E9\uFFFD\n"));
        QCOMPARE(edit->Buffer().UndoCount(), size_t(1));
        // Large enough to come in pieces (INCR).
        QByteArray big;
        for (int i = 0; i < 300000; ++i) big += "10.0.0." + QByteArray::number(i) + "\n";
        hold(big, "primary");
        const int rowH = edit->fontMetrics().lineSpacing();
        QTest::mouseClick(edit->viewport(), Qt::MiddleButton, {}, QPoint(2, rowH / 2));
        QTRY_VERIFY(!edit->IsPasting());
        QCOMPARE(edit->LineCount(), size_t(300003));
        QCOMPARE(edit->Buffer().Row(299999), std::string_view("10.0.0.299999"));
        QCOMPARE(edit->Buffer().Row(300000), std::string_view("ab1"));
        for (auto& p : holders) {
            p->kill();
            p->waitForFinished();
        }
    }

    void doubleClickSelectsWord_data() {
        QTest::addColumn<QString>("row");
        QTest::addColumn<int>("at"); // the character clicked
        QTest::addColumn<QString>("expected");
        // clang-format off
        QTest::newRow("IPv4 address") << "10.0.0.1" << 5 << "10.0.0.1";
        QTest::newRow("IPv4 address, first octet") << "10.0.0.1" << 0 << "10.0.0.1";
        QTest::newRow("address and port") << "10.0.0.1:8080" << 10 << "10.0.0.1:8080";
        QTest::newRow("IPv6 address") << "fdc7:200d:3e17::fb05" << 12 << "fdc7:200d:3e17::fb05";
        QTest::newRow("IPv6 in brackets with port") << "[fdc7::1]:443" << 3 << "[fdc7::1]:443";
        QTest::newRow("host name") << "gw-web-001.example.com 10.0.0.1" << 4 << "gw-web-001.example.com";
        QTest::newRow("address after a name") << "gw-web-001.example.com 10.0.0.1" << 25 << "10.0.0.1";
        QTest::newRow("tab") << "name\t10.0.0.1" << 6 << "10.0.0.1";
        QTest::newRow("comma") << "10.0.0.1,US" << 9 << "US";
        QTest::newRow("semicolon") << "a.b;10.0.0.1" << 1 << "a.b";
        QTest::newRow("custom bar") << "x|10.0.0.1" << 4 << "10.0.0.1";
        QTest::newRow("on the blanks") << "a   b" << 2 << "   ";
        QTest::newRow("non-ASCII") << "h\u00E9llo w\u00F6rld" << 8 << "w\u00F6rld";
        QTest::newRow("past the end") << "one two" << 30 << "two";
        // clang-format on
    }
    void doubleClickSelectsWord() {
        QFETCH(QString, row);
        QFETCH(int, at);
        QFETCH(QString, expected);
        start(row);
        const QFontMetrics fm = edit->fontMetrics();
        const int x = at < row.size()
                          ? 4 + fm.horizontalAdvance(row.left(at)) + fm.horizontalAdvance(row.mid(at, 1)) / 2
                          : 4 + fm.horizontalAdvance(row) + 20;
        QTest::mouseDClick(edit->viewport(), Qt::LeftButton, {}, QPoint(x, fm.lineSpacing() / 2));
        QCOMPARE(edit->SelectedText(), expected);
    }

    void tabMovesFocus() {
        QWidget form;
        auto* pane = new TLinesEdit(&form);
        auto* next = new QLabel("x", &form);
        next->setFocusPolicy(Qt::StrongFocus);
        auto* layout = new QVBoxLayout(&form);
        layout->addWidget(pane);
        layout->addWidget(next);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.activateWindow();
        pane->setFocus();
        QTRY_VERIFY(pane->hasFocus());
        QTest::keyClick(pane, Qt::Key_Tab);
        QTRY_VERIFY(next->hasFocus());
        QCOMPARE(pane->Text(), QString());
    }
};

QTEST_MAIN(LinesEditTest)
#include "lines_edit_test.moc"
