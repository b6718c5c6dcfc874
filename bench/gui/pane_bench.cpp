// The output pane's own cost with ten million lines: what the window's thread
// spends on whole-text changes, the history, moves, typing, copying and painting.
// The texts are built beforehand; only the widget's share is timed.
//   QT_QPA_PLATFORM=offscreen build/bench/gui/zarvo_pane_bench [lines]
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qt/widgets/LinesEditUnit.h"

namespace {

zarvo::TLineSnapshot Addresses(size_t n, unsigned base) {
    zarvo::TStringList lines;
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        const unsigned v = base + static_cast<unsigned>(i);
        s = std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 255) + "." +
            std::to_string((v >> 8) & 255) + "." + std::to_string(v & 255);
        lines.Add(s);
    }
    return zarvo::TLineSnapshot::FromLines(lines);
}

void Key(QWidget* w, int key, Qt::KeyboardModifiers mods = {}, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, mods, text);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, mods, text);
    QApplication::sendEvent(w, &release);
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const size_t n = argc > 1 ? size_t(std::strtoull(argv[1], nullptr, 10)) : 10000000;
    const zarvo::TLineSnapshot first = Addresses(n, 0x0A000000), second = Addresses(n, 0x0B000000);
    zarvo::qt::TLinesEdit edit;
    edit.resize(500, 700);
    edit.show();
    edit.setFocus();
    QApplication::processEvents();
    QElapsedTimer clock;
    // A step and the repaint that follows it.
    auto timed = [&](const char* what, auto f) {
        clock.start();
        f();
        edit.viewport()->repaint();
        std::printf("%-28s %7.2f ms\n", what, double(clock.nsecsElapsed()) / 1e6);
    };
    std::printf("lines                        %zu\n", n);
    timed("assign", [&] { edit.Assign(first); });
    timed("assign another", [&] { edit.Assign(second); });
    timed("ctrl+end", [&] { Key(&edit, Qt::Key_End, Qt::ControlModifier); });
    timed("type a character", [&] { Key(&edit, Qt::Key_X, {}, QStringLiteral("x")); });
    timed("enter", [&] { Key(&edit, Qt::Key_Return); });
    timed("page up", [&] { Key(&edit, Qt::Key_PageUp); });
    timed("ctrl+home", [&] { Key(&edit, Qt::Key_Home, Qt::ControlModifier); });
    timed("select all + copy", [&] {
        edit.SelectAll();
        edit.Copy();
    });
    timed("clear", [&] { edit.Clear(); });
    timed("undo the clear", [&] { edit.Undo(); });
    timed("undo the typing", [&] {
        edit.Undo();
        edit.Undo();
    });
    timed("undo the assign", [&] { edit.Undo(); });
    timed("redo", [&] { edit.Redo(); });
    timed("line count", [&] { std::printf("(%zu) ", edit.LineCount()); });
    clock.start();
    const qsizetype chars = QGuiApplication::clipboard()->text().size();
    std::printf("%-28s %7.2f ms (%lld characters, made when pasted)\n", "clipboard text",
                double(clock.nsecsElapsed()) / 1e6, static_cast<long long>(chars));
    return 0;
}
