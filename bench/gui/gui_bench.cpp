// Measures the main window with a million generated lines:
//   QT_QPA_PLATFORM=offscreen build/bench/gui/zarvo_gui_bench [lines] [names]
// ("names": random order with a host name in front of every address)
// A 2 ms heartbeat timer records the event loop's longest stall from pressing
// "Generate IPs" until the lines are painted; then Shuffle and Clear are timed.
//
// With ten million lines, every long step of the pane:
//   QT_QPA_PLATFORM=offscreen build/bench/gui/zarvo_gui_bench 10m
// 10.0.0.0/12 with ports 1-9 (9,437,184 lines): the run, Save with each delimiter,
// Shuffle, an appending run to 18.9 million, Clear and Undo, each with its time and
// the event loop's longest stall, and the resident memory after the lines are shown
// and after the append.
#include "bench/gui/Heartbeat.h"
#include <QApplication>
#include <QTemporaryDir>

#include "options/uAppFolder.h"
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QTimer>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "app/Unit1.h"
#include "gui/FakeDialogs.h"

namespace {

long PeakRssMb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

// Waits in the event loop until the pane has painted after its lines changed.
class TPaintWatch : public QObject {
public:
    bool Dirty = false, Painted = false;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && Dirty) Painted = true;
        return false;
    }
};

// Resident memory now (not the peak).
long RssNowMb() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (::sysconf(_SC_PAGESIZE) / 1024) / 1024;
}

void WaitFor(const std::function<bool()>& done) {
    while (!done()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

int TenMillion(TForm1& form, const QString& range) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    TFakeDialogs dialogs;
    QTemporaryDir outDir;
    form.Memo1->setPlainText(range);
    form.RadioButton1->setChecked(true);
    form.CheckBox2->setChecked(true);
    form.Edit3->setText(QStringLiteral("1-9"));
    form.CheckBox5->setChecked(false);

    TPaintWatch watch;
    form.Memo2->viewport()->installEventFilter(&watch);
    QObject::connect(form.Memo2, &zarvo::qt::TLinesEdit::Changed, [&] { watch.Dirty = true; });
    QElapsedTimer clock;
    qint64 runEnd = -1;
    form.Progress().OnStop = [&](zarvo::TProgress&) { runEnd = clock.elapsed(); };
    THeartbeat beat;
    const auto painted = [&] { return watch.Painted; };

    // Each step starts from the event loop, as a click does, so that its own time
    // on the window's thread shows as a stall too.
    const auto step = [&](const char* name, const std::function<void()>& start,
                          const std::function<bool()>& done) {
        watch.Dirty = watch.Painted = false;
        bool started = false;
        beat.Arm();
        clock.restart();
        QTimer::singleShot(0, &form, [&] {
            start();
            started = true;
        });
        WaitFor([&] { return started && done(); });
        const qint64 ms = clock.elapsed();
        const qint64 stall = beat.Disarm();
        std::printf("%-28s %6lld ms   longest stall %4lld ms\n", name, static_cast<long long>(ms),
                    static_cast<long long>(stall));
    };
    const auto run = [&](const char* name) {
        runEnd = -1;
        watch.Dirty = watch.Painted = false;
        beat.Arm();
        clock.restart();
        QTimer::singleShot(0, form.StartButton, &QPushButton::click);
        WaitFor([&] { return runEnd >= 0 && watch.Painted; });
        const qint64 shown = clock.elapsed();
        const qint64 stall = beat.Disarm();
        std::printf("%s: %zu lines, status \"%s\"\n", name, form.Memo2->LineCount(),
                    qPrintable(form.StatusLabel->text()));
        std::printf("  press to run end           %6lld ms\n", static_cast<long long>(runEnd));
        std::printf("  run end to lines painted   %6lld ms\n", static_cast<long long>(shown - runEnd));
        std::printf("  longest stall, press to painted %lld ms\n", static_cast<long long>(stall));
        std::printf("  resident now %ld MB, peak %ld MB\n", RssNowMb(), PeakRssMb());
    };

    run(qPrintable("run " + range + " ports 1-9"));
    const QString path = outDir.filePath("out.txt");
    const char* names[] = {"save End-Of-Line", "save Comma", "save Semicolon"};
    for (int d = 0; d < 3; ++d) {
        form.ComboBox2->setCurrentIndex(d);
        dialogs.FileAnswers.push_back(QStringList{path});
        step(
            names[d], [&] { form.Button3->click(); }, [&] { return !form.PaneTaskRunning(); });
        std::printf("  %lld bytes, progress label %s\n", static_cast<long long>(QFileInfo(path).size()),
                    qPrintable(form.ProgressLabel->text()));
    }
    for (const auto& box : dialogs.Boxes) std::printf("  message: %s\n", qPrintable(box.Text));
    step(
        "shuffle", [&] { form.Button10->click(); }, [&] { return !form.PaneTaskRunning() && watch.Painted; });
    std::printf("  resident now %ld MB\n", RssNowMb());
    form.CheckBox5->setChecked(true);
    run("append run");
    step(
        "clear", [&] { form.Button2->click(); }, painted);
    step(
        "undo the clear", [&] { form.Memo2->Undo(); }, painted);
    std::printf("lines %zu; resident now %ld MB, peak %ld MB\n", form.Memo2->LineCount(), RssNowMb(),
                PeakRssMb());
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Keep the user's own settings out of it: a throwaway settings folder.
    QTemporaryDir settingsDir;
    zarvo::SetAppFolder({{"-settingsdir", settingsDir.path().toStdString()}, {}, {}, {}});
    TForm1 form;
    form.show();
    QElapsedTimer wait;
    wait.start();
    while (wait.elapsed() < 300) QApplication::processEvents();
    if (argc > 1 && QByteArray(argv[1]) == "10m")
        return TenMillion(form, argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("10.0.0.0/12"));
    const int lines = argc > 1 ? std::atoi(argv[1]) : 1000000;

    form.Memo1->setPlainText(QStringLiteral("10.0.0.0/8"));
    form.RadioButton2->setChecked(true);
    form.Edit1->setText(QString::number(lines));
    if (argc > 2 && QByteArray(argv[2]) == "names") {
        form.CheckBox1->setChecked(true);
        form.CheckBox3->setChecked(true);
        form.Edit4->setText(QStringLiteral("host#.branch-office.example.com"));
    }

    TPaintWatch watch;
    form.Memo2->viewport()->installEventFilter(&watch);
    QObject::connect(form.Memo2, &zarvo::qt::TLinesEdit::Changed, [&] {
        if (form.Memo2->LineCount() > 0) watch.Dirty = true;
    });
    QElapsedTimer clock;
    qint64 runEnd = -1;
    form.Progress().OnStop = [&](zarvo::TProgress&) { runEnd = clock.elapsed(); };

    THeartbeat beat;
    beat.Arm();
    clock.start();
    QTimer::singleShot(0, form.StartButton, &QPushButton::click);
    while (!watch.Painted) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const qint64 shown = clock.elapsed();
    const qint64 stall = beat.Disarm();
    std::printf("lines in pane            %zu (first: %s)\n", form.Memo2->LineCount(),
                std::string(form.Memo2->Buffer().Row(0)).c_str());
    std::printf("press to run end         %lld ms\n", static_cast<long long>(runEnd));
    std::printf("run end to lines shown   %lld ms\n", static_cast<long long>(shown - runEnd));
    std::printf("press to lines shown     %lld ms\n", static_cast<long long>(shown));
    std::printf("longest event-loop stall %lld ms\n", static_cast<long long>(stall));
    std::printf("status                   %s\n", qPrintable(form.StatusLabel->text()));
    std::printf("peak RSS when shown      %ld MB\n", PeakRssMb());

    watch.Dirty = watch.Painted = false;
    beat.Arm();
    clock.restart();
    form.Button10->click();
    while (!watch.Painted) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    std::printf("shuffle to shown         %lld ms (stall %lld ms)\n", static_cast<long long>(clock.elapsed()),
                static_cast<long long>(beat.Disarm()));

    std::printf("peak RSS after shuffle   %ld MB\n", PeakRssMb());
    form.Memo2->SelectAll();
    clock.restart();
    form.Memo2->Copy();
    std::printf("copy all lines           %lld ms\n", static_cast<long long>(clock.elapsed()));
    clock.restart();
    const qsizetype pasted = QGuiApplication::clipboard()->text().size();
    std::printf("clipboard text made      %lld ms (%lld characters)\n",
                static_cast<long long>(clock.elapsed()), static_cast<long long>(pasted));

    clock.restart();
    form.Memo2->Undo();
    QApplication::processEvents();
    std::printf("undo the shuffle         %lld ms\n", static_cast<long long>(clock.elapsed()));

    clock.restart();
    form.Button2->click();
    QApplication::processEvents();
    std::printf("clear                    %lld ms\n", static_cast<long long>(clock.elapsed()));
    std::printf("peak RSS                 %ld MB\n", PeakRssMb());
    return 0;
}
