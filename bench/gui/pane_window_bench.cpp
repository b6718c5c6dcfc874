// The main window's output pane with ten million lines, step by step as a user
// takes them, each started from the event loop with the event loop's longest
// stall (a 2 ms heartbeat), its time to done and, for the pastes, the peak memory
// of the step (VmHWM, reset before it) and the resident memory after it (VmRSS):
//   QT_QPA_PLATFORM=offscreen build/bench/gui/zarvo_pane_window_bench [range]
// (default 10.0.0.0/12 with ports 1-9: 9,437,184 lines)
// - the run that fills the pane;
// - the accessible text: the character count (first and again), the line at an
//   offset in the middle, a line near the end;
// - Ctrl+A, Ctrl+C, and serving that copy to another program: what Qt asks of the
//   clipboard's data on the window's thread when another X client reads it
//   (the UTF-8 bytes of "text/plain");
// - Ctrl+End, Ctrl+V of that copy, and Undo;
// - a paste of the same text from another program (a plain text clipboard);
// - closing the window.
// Under X11 (xvfb-run -a -s "-screen 0 1366x768x24" ...) with xclip installed, also
// what another program costs the window when it reads the copy (xclip -o) and when
// the window pastes a text that xclip holds (Qt reads it over X on this thread).
#include "bench/gui/Heartbeat.h"
#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "app/Unit1.h"
#include "options/uAppFolder.h"

namespace {

// A field of /proc/self/status in MiB (VmHWM: the peak, VmRSS: now).
long StatusMiB(const char* field) {
    std::ifstream f("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size())) / 1024;
    return -1;
}

// Starts a new peak: VmHWM falls back to what is resident now.
void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

void WaitFor(const std::function<bool()>& done) {
    while (!done()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

void Key(QWidget* w, int key, Qt::KeyboardModifiers mods = {}) {
    QKeyEvent press(QEvent::KeyPress, key, mods);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, mods);
    QApplication::sendEvent(w, &release);
}

double Ms(const QElapsedTimer& t) {
    return double(t.nsecsElapsed()) / 1e6;
}

struct TBench {
    TForm1* Form = nullptr;
    THeartbeat Beat;
    QElapsedTimer Clock;

    // A step started from the event loop, as a click or a key is, so that its own
    // time on the window's thread shows as a stall too; waits until done().
    void Step(const char* name, const std::function<void()>& start, const std::function<bool()>& done,
              bool memory = false) {
        if (memory) ResetPeak();
        bool started = false;
        Beat.Arm();
        Clock.restart();
        QTimer::singleShot(0, qApp, [&] {
            start();
            started = true;
        });
        WaitFor([&] { return started && done(); });
        const qint64 ms = Clock.elapsed();
        const qint64 stall = Beat.Disarm();
        std::printf("%-30s %6lld ms   longest stall %5lld ms", name, static_cast<long long>(ms),
                    static_cast<long long>(stall));
        if (memory)
            std::printf("   peak %5ld MiB, resident %5ld MiB", StatusMiB("VmHWM"), StatusMiB("VmRSS"));
        std::printf("\n");
    }

    void Settle(qint64 ms = 500) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }

    void Run(const QString& range) {
        Form->Memo1->setPlainText(range);
        Form->RadioButton1->setChecked(true);
        Form->CheckBox2->setChecked(true);
        Form->Edit3->setText(QStringLiteral("1-9"));
        Form->CheckBox5->setChecked(false);
        bool stopped = false;
        Form->Progress().OnStop = [&](zarvo::TProgress&) { stopped = true; };
        Step(
            "run", [&] { Form->StartButton->click(); }, [&] { return stopped; });
        Form->Progress().OnStop = nullptr;
        std::printf("  %zu lines, resident %ld MiB\n", Form->Memo2->LineCount(), StatusMiB("VmRSS"));
    }

    void Accessible() {
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(Form->Memo2);
        QAccessibleTextInterface* t = a ? a->textInterface() : nullptr;
        if (!t) return void(std::printf("no accessible text interface\n"));
        QElapsedTimer c;
        c.start();
        const int count = t->characterCount();
        std::printf("accessible character count     %8.2f ms  (%d)\n", Ms(c), count);
        c.restart();
        const int again = t->characterCount();
        std::printf("  again                        %8.2f ms  (%d)\n", Ms(c), again);
        int from = 0, to = 0;
        c.restart();
        QString line = t->textAtOffset(count / 2, QAccessible::LineBoundary, &from, &to);
        std::printf("  line at offset %-11d   %8.2f ms  [%d, %d) \"%s\"\n", count / 2, Ms(c), from, to,
                    qPrintable(line.trimmed()));
        c.restart();
        line = t->textAtOffset(count - 20, QAccessible::LineBoundary, &from, &to);
        std::printf("  line at offset %-11d   %8.2f ms  [%d, %d) \"%s\"\n", count - 20, Ms(c), from, to,
                    qPrintable(line.trimmed()));
    }

    // What another program's request for the copy costs the window's thread: at
    // once (as a clipboard manager asks), or three seconds later (as a paste elsewhere),
    // then twice more.
    void Serve(bool atOnce) {
        const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
        if (!mime) return;
        if (!atOnce) Settle(3000);
        for (int i = 0; i < 3; ++i) {
            QElapsedTimer c;
            c.start();
            const QByteArray bytes = mime->data(QStringLiteral("text/plain"));
            std::printf("serve the copy %s   %8.2f ms  (%lld bytes) on the window's thread\n",
                        i > 0    ? "again        "
                        : atOnce ? "at once      "
                                 : "after 3 s    ",
                        Ms(c), static_cast<long long>(bytes.size()));
        }
    }
};

} // namespace

int main(int argc, char* argv[]) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    QTemporaryDir settingsDir;
    zarvo::SetAppFolder({{"-settingsdir", settingsDir.path().toStdString()}, {}, {}, {}});
    TBench b;
    b.Form = new TForm1;
    b.Form->show();
    b.Settle();
    b.Run(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("10.0.0.0/12"));
    zarvo::qt::TLinesEdit* pane = b.Form->Memo2;
    const size_t n = pane->LineCount();
    pane->setFocus();
    b.Accessible();

    b.Step(
        "ctrl+a, ctrl+c",
        [&] {
            Key(pane, Qt::Key_A, Qt::ControlModifier);
            Key(pane, Qt::Key_C, Qt::ControlModifier);
        },
        [] { return true; });
    b.Serve(true);
    QGuiApplication::clipboard()->clear();
    Key(pane, Qt::Key_C, Qt::ControlModifier);
    b.Serve(false);
    b.Settle();
    const QString xclip = QGuiApplication::platformName() == QLatin1String("xcb")
                              ? QStandardPaths::findExecutable(QStringLiteral("xclip"))
                              : QString();
    QTemporaryDir tmp;
    const QString textFile = tmp.filePath(QStringLiteral("copy.txt"));
    if (!xclip.isEmpty()) {
        QProcess reader;
        reader.setStandardOutputFile(textFile);
        b.Step(
            "xclip -o reads the copy",
            [&] {
                reader.start(xclip, {"-o", "-selection", "clipboard"});
            },
            [&] { return reader.state() == QProcess::NotRunning; });
        std::printf("  %lld bytes read\n", static_cast<long long>(QFileInfo(textFile).size()));
    }
    b.Step(
        "ctrl+end, ctrl+v (this copy)",
        [&] {
            Key(pane, Qt::Key_End, Qt::ControlModifier);
            Key(pane, Qt::Key_V, Qt::ControlModifier);
        },
        [&] { return pane->LineCount() == 2 * n; }, true);
    b.Settle();
    std::printf("  %zu lines, resident after 0.5 s %ld MiB\n", pane->LineCount(), StatusMiB("VmRSS"));
    b.Step(
        "undo", [&] { Key(pane, Qt::Key_Z, Qt::ControlModifier); }, [&] { return pane->LineCount() == n; });

    if (!xclip.isEmpty()) {
        // xclip holds the text; Qt reads it over X when the pane asks.
        QProcess holder;
        holder.start(xclip, {"-quiet", "-i", "-selection", "clipboard", "-loops", "1", textFile});
        holder.waitForStarted();
        // xclip reads the whole file before it takes the clipboard over.
        QElapsedTimer wait;
        wait.start();
        while (QGuiApplication::clipboard()->ownsClipboard() && wait.elapsed() < 20000)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        b.Settle();
        b.Step(
            "ctrl+end, ctrl+v (xclip's text)",
            [&] {
                Key(pane, Qt::Key_End, Qt::ControlModifier);
                Key(pane, Qt::Key_V, Qt::ControlModifier);
            },
            [&] { return pane->LineCount() == 2 * n; }, true);
        b.Settle();
        std::printf("  %zu lines, resident after 0.5 s %ld MiB\n", pane->LineCount(), StatusMiB("VmRSS"));
        holder.waitForFinished(5000);
        b.Step(
            "undo", [&] { Key(pane, Qt::Key_Z, Qt::ControlModifier); },
            [&] { return pane->LineCount() == n; });
        pane->SelectAll();
        pane->Copy();
    }
    // Another program's text: the same lines as one plain text.
    {
        const QByteArray bytes = QGuiApplication::clipboard()->mimeData()->data(QStringLiteral("text/plain"));
        auto* mime = new QMimeData;
        mime->setText(QString::fromUtf8(bytes));
        QGuiApplication::clipboard()->setMimeData(mime);
    }
    b.Settle();
    std::printf("plain text on the clipboard, resident %ld MiB\n", StatusMiB("VmRSS"));
    b.Step(
        "ctrl+end, ctrl+v (plain text)",
        [&] {
            Key(pane, Qt::Key_End, Qt::ControlModifier);
            Key(pane, Qt::Key_V, Qt::ControlModifier);
        },
        [&] { return pane->LineCount() == 2 * n; }, true);
    b.Settle();
    std::printf("  %zu lines, resident after 0.5 s %ld MiB\n", pane->LineCount(), StatusMiB("VmRSS"));
    QGuiApplication::clipboard()->clear();

    bool closed = false;
    b.Step(
        "close the window",
        [&] {
            b.Form->close();
            delete b.Form;
            b.Form = nullptr;
            closed = true;
        },
        [&] { return closed; });
    b.Settle();
    std::printf("  resident after 0.5 s %ld MiB\n", StatusMiB("VmRSS"));
    return 0;
}
