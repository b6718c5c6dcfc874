// How quickly the file viewer opens on a large file and how smoothly its preview
// scrolls:
//   QT_QPA_PLATFORM=offscreen build/bench/gui/zarvo_viewer_bench [SIZE_MB] [DIR] [csv|one_line]
// Generates a CSV of SIZE_MB (default 1024) and a file of the same size without any
// line break in DIR (default a temporary folder), then for each: the time from
// creating the viewer to its first painted rows, read on the viewer's worker (5
// runs; the file is in the page cache after the first), and the longest single step while scrolling the
// 1000-row preview from top to bottom and back, line by line and page by page, on both tabs.
//
// The row limit raised on a large file:
//   QT_QPA_PLATFORM=offscreen build/bench/gui/zarvo_viewer_bench limit [SIZE_MB] [DIR]
// A CSV of SIZE_MB (default 50: about a million lines of 55 bytes) opened with the
// default 1000 rows, then the "Max. View Rows" link answered with 2,000,000: the
// time until the read is done and until its rows are painted, the event loop's
// longest stall meanwhile (a 2 ms heartbeat), then the stalls of the steps a user
// takes next with a million rows (the other tab, the end of the list, Ctrl+A, Copy,
// a refresh, closing), and the resident memory (3 runs).
#include "bench/gui/Heartbeat.h"
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QScrollBar>
#include <QTabBar>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <unistd.h>

#include "qt/viewer/ListViewExUnit.h"
#include "qt/viewer/ViewCSVFileUnit.h"
#include "qt/widgets/LabelExUnit.h"
#include "qt/widgets/VFormUnit.h"

using zarvo::qt::TListViewEx;
using zarvo::qt::TViewCSVFileForm;

namespace {

// Answers the row-limit box with a number, as a user would.
struct TLimitAnswer : zarvo::qt::IDialogs {
    QString Value;
    int ExecDialog(QDialog& d) override {
        if (auto* edit = d.findChild<QLineEdit*>(QStringLiteral("InputEdit"))) {
            edit->setText(Value);
            return QDialog::Accepted;
        }
        return IDialogs::ExecDialog(d);
    }
};

long RssNowMb() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (::sysconf(_SC_PAGESIZE) / 1024) / 1024;
}

bool Generate(const QString& name, qint64 size, bool lines) {
    QFile f(name);
    if (f.exists() && f.size() == size) return true;
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    QByteArray chunk;
    if (lines) {
        chunk = "id,name,email,city,address,amount,date,note\n";
        for (int i = 1; chunk.size() < (4 << 20); ++i)
            chunk += QByteArray::number(i) + ",Name " + QByteArray::number(i % 977) + ",user" +
                     QByteArray::number(i) + "@example.org,\"Springfield, IL\",10." +
                     QByteArray::number(i % 256) + "." + QByteArray::number(i % 199) + ".7," +
                     QByteArray::number(i * 37 % 100000) + ".25,2024-03-" + QByteArray::number(10 + i % 18) +
                     ",\"said \"\"hi\"\"\"\n";
    } else {
        chunk = QByteArray(4 << 20, 'x');
    }
    for (qint64 written = 0; written < size;) {
        const qint64 n = std::min<qint64>(chunk.size(), size - written);
        if (f.write(chunk.constData(), n) != n) return false;
        written += n;
    }
    return true;
}

// A CSV of short lines (about 55 bytes, six columns), as an export of a table is.
bool GenerateShort(const QString& name, qint64 size) {
    QFile f(name);
    if (f.exists() && f.size() == size) return true;
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    QByteArray text = "id,name,email,city,amount,date\n";
    for (int i = 1; text.size() < size; ++i)
        text += QByteArray::number(i) + ",Name " + QByteArray::number(i % 977) + ",u" +
                QByteArray::number(i) + "@e.org,C " + QByteArray::number(i % 50) + "," +
                QByteArray::number(i * 37 % 100000) + ".25,2024-03-" + QByteArray::number(10 + i % 18) + "\n";
    text.truncate(static_cast<qsizetype>(size));
    return f.write(text) == text.size();
}

// Runs the viewport's paint now and notes when it has finished.
class TPaintWatch : public QObject {
public:
    qint64 PaintedAt = -1;
    QElapsedTimer* Clock = nullptr;
    std::vector<TListViewEx*> Views;
    bool Read = false; // the preview, read on its worker, is in the views

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && PaintedAt < 0 && Read) {
            for (TListViewEx* v : Views) v->viewport()->removeEventFilter(this);
            QCoreApplication::sendEvent(watched, event);
            PaintedAt = Clock->nsecsElapsed();
            return true;
        }
        return false;
    }
};

double OpenOnce(const QString& file, int& rows) {
    QElapsedTimer clock;
    clock.start();
    // A text file opens without a header, as "zarvo --view" opens it.
    std::unique_ptr<QDialog> dialog =
        TViewCSVFileForm::CreateViewer(nullptr, QStringLiteral("CSV File"), file,
                                       file.endsWith(QLatin1String(".txt")), {}, QString(), true, true);
    auto* form = dialog->findChild<TViewCSVFileForm*>();
    TPaintWatch watch;
    watch.Clock = &clock;
    QObject::connect(form, &TViewCSVFileForm::PreviewRead, [&] { watch.Read = true; });
    // Whichever tab the file opens on.
    watch.Views = {form->SourceView, form->SourceView2};
    for (TListViewEx* v : watch.Views) v->viewport()->installEventFilter(&watch);
    dialog->show();
    while (watch.PaintedAt < 0 && clock.elapsed() < 20000) QApplication::processEvents();
    rows = form->SourceView->Count();
    return static_cast<double>(watch.PaintedAt) / 1e6;
}

// The longest step, in ms, of scrolling view through all its rows and back.
double ScrollStall(TListViewEx* view, double& median, size_t& count) {
    QScrollBar* bar = view->verticalScrollBar();
    std::vector<double> steps;
    const auto step = [&](QScrollBar* b, int value) {
        QElapsedTimer t;
        t.start();
        b->setValue(value);
        // The scrolled pixels move and only the uncovered rows are painted, as on
        // screen; a page step paints the whole view.
        QApplication::processEvents();
        steps.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    };
    for (int v = bar->minimum(); v <= bar->maximum(); v += bar->singleStep()) step(bar, v);
    for (int v = bar->maximum(); v >= bar->minimum(); v -= bar->pageStep()) step(bar, v);
    QScrollBar* across = view->horizontalScrollBar();
    for (int v = across->minimum(); v <= across->maximum(); v += std::max(1, across->pageStep() / 4))
        step(across, v);
    std::sort(steps.begin(), steps.end());
    median = steps.empty() ? 0 : steps[steps.size() / 2];
    count = steps.size();
    return steps.empty() ? 0 : steps.back();
}

// Notes when a viewport paints after armed.
class TNextPaint : public QObject {
public:
    bool Armed = false, Painted = false;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && Armed) Painted = true;
        return false;
    }
};

void WaitUntil(const std::function<bool()>& done) {
    while (!done()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

// One step started from the event loop, as a click is: its longest stall until
// done() and the views have painted, and how long that took.
void Step(
    const char* name, THeartbeat& beat, const std::function<void()>& start,
    const std::function<bool()>& done = [] { return true; }) {
    bool started = false;
    beat.Arm();
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(0, [&] {
        start();
        started = true;
    });
    WaitUntil([&] { return started && done(); });
    const qint64 doneAt = clock.elapsed();
    // Whatever it changed on screen is painted by the next turns of the loop.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 100) QApplication::processEvents(QEventLoop::AllEvents, 10);
    std::printf("   %-34s done %7lld ms, longest stall %4lld ms\n", name, static_cast<long long>(doneAt),
                static_cast<long long>(beat.Disarm()));
}

int LimitRaised(const QString& file, qint64 megabytes) {
    TLimitAnswer answer;
    zarvo::qt::SetDialogs(&answer);
    THeartbeat beat;
    for (int run = 0; run < 3; ++run) {
        std::printf("== run %d: %s, %lld MB, the limit from 1,000 to 2,000,000 rows\n", run + 1,
                    qPrintable(file), static_cast<long long>(megabytes));
        std::unique_ptr<QDialog> dialog = TViewCSVFileForm::CreateViewer(
            nullptr, QStringLiteral("CSV File"), file, false, {}, QString(), true, true);
        auto* form = dialog->findChild<TViewCSVFileForm*>();
        dialog->show();
        WaitUntil([&] { return !form->Reading(); });
        const long before = RssNowMb();
        TNextPaint paint;
        form->SourceView->viewport()->installEventFilter(&paint);
        form->SourceView2->viewport()->installEventFilter(&paint);

        // The click on the link: the read, then the first paint of its rows.
        bool read = false;
        QObject::connect(form, &TViewCSVFileForm::PreviewRead, [&] {
            read = true;
            paint.Armed = true;
        });
        answer.Value = QStringLiteral("2000000");
        QElapsedTimer clock;
        qint64 doneAt = -1, paintedAt = -1;
        beat.Arm();
        clock.start();
        QTimer::singleShot(0, [&] { form->MaxRowsValueLabel->Click(); });
        WaitUntil([&] {
            if (read && doneAt < 0) doneAt = clock.elapsed();
            if (read && paint.Painted && paintedAt < 0) paintedAt = clock.elapsed();
            return paintedAt >= 0;
        });
        const qint64 stall = beat.Disarm();
        QObject::disconnect(form, &TViewCSVFileForm::PreviewRead, nullptr, nullptr);
        std::printf("   %s rows: read in %lld ms, its rows painted at %lld ms, longest stall %lld ms\n",
                    qPrintable(form->RowsLabel->text()), static_cast<long long>(doneAt),
                    static_cast<long long>(paintedAt), static_cast<long long>(stall));
        std::printf("   resident memory: %ld MB before, %ld MB with the rows\n", before, RssNowMb());

        Step("the Text tab", beat, [&] { form->TabSet1->setCurrentIndex(1); });
        Step("the Columns tab", beat, [&] { form->TabSet1->setCurrentIndex(0); });
        Step("the end of the list (Ctrl+End)", beat,
             [&] { QTest::keyClick(form->SourceView, Qt::Key_End, Qt::ControlModifier); });
        Step("Ctrl+A", beat, [&] { QTest::keyClick(form->SourceView, Qt::Key_A, Qt::ControlModifier); });
        Step(
            "Ctrl+C of every row", beat,
            [&] { QTest::keyClick(form->SourceView, Qt::Key_C, Qt::ControlModifier); },
            [&] { return !form->Copying(); });
        QApplication::clipboard()->clear();
        Step(
            "Refresh (read again)", beat, [&] { form->RefreshButton->click(); },
            [&] { return !form->Reading(); });
        Step("Close", beat, [&] { form->CloseButton->click(); });
        dialog.reset();
        std::printf("   resident memory after closing: %ld MB\n", RssNowMb());
    }
    zarvo::qt::SetDialogs(nullptr);
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc > 1 && std::strcmp(argv[1], "limit") == 0) {
        const qint64 megabytes = argc > 2 ? std::atoll(argv[2]) : 50;
        QTemporaryDir tmp;
        const QString dir = argc > 3 ? QString::fromLocal8Bit(argv[3]) : tmp.path();
        const QString file = dir + QStringLiteral("/viewer_limit_bench.csv");
        if (!GenerateShort(file, megabytes << 20)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
        return LimitRaised(file, megabytes);
    }
    const qint64 megabytes = argc > 1 ? std::atoll(argv[1]) : 1024;
    QTemporaryDir tmp;
    const QString dir = argc > 2 ? QString::fromLocal8Bit(argv[2]) : tmp.path();
    const struct {
        const char* Name;
        const char* File;
        bool Lines;
    } cases[] = {{"CSV, 8 columns", "viewer_bench.csv", true},
                 {"one line, no break", "viewer_bench_one_line.txt", false}};
    const QString only = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
    for (const auto& c : cases) {
        if (!only.isEmpty() && !QLatin1String(c.File).contains(only)) continue;
        const QString file = dir + QLatin1Char('/') + QLatin1String(c.File);
        if (!Generate(file, megabytes << 20, c.Lines)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
        std::printf("== %s, %lld MB: %s\n", c.Name, static_cast<long long>(megabytes), qPrintable(file));
        double best = 1e9, worst = 0;
        int rows = 0;
        for (int run = 0; run < 5; ++run) {
            const double ms = OpenOnce(file, rows);
            std::printf("   open to painted rows: %7.1f ms (%d items)\n", ms, rows);
            best = std::min(best, ms);
            worst = std::max(worst, ms);
        }
        std::printf("   open: best %.1f ms, worst %.1f ms\n", best, worst);

        std::unique_ptr<QDialog> dialog = TViewCSVFileForm::CreateViewer(
            nullptr, QStringLiteral("CSV File"), file, !c.Lines, {}, QString(), true, true);
        auto* form = dialog->findChild<TViewCSVFileForm*>();
        dialog->show();
        while (form->Reading()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        QApplication::processEvents();
        for (int tab = 0; tab < 2; ++tab) {
            form->TabSet1->setCurrentIndex(tab);
            QApplication::processEvents();
            double median = 0;
            size_t count = 0;
            const double longest =
                ScrollStall(tab == 0 ? form->SourceView : form->SourceView2, median, count);
            std::printf("   scrolling the preview (%s): %zu steps, longest %.1f ms, median %.2f ms\n",
                        tab == 0 ? "Columns" : "Text", count, longest, median);
        }
    }
    return 0;
}
