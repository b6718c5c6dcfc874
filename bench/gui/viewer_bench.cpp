// How quickly the file viewer opens on a large file and how smoothly its preview
// scrolls:
//   QT_QPA_PLATFORM=offscreen build/bench/gui/zarvo_viewer_bench [SIZE_MB] [DIR] [csv|one_line]
// Generates a CSV of SIZE_MB (default 1024) and a file of the same size without any
// line break in DIR (default a temporary folder), then for each: the time from
// creating the viewer to its first painted rows (5 runs; the file is in the page
// cache after the first), and the longest single step while scrolling the 1000-row
// preview from top to bottom and back, line by line and page by page, on both tabs.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QScrollBar>
#include <QTabBar>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "viewer/qt/ListViewExUnit.h"
#include "viewer/qt/ViewCSVFileUnit.h"

using zarvo::qt::TListViewEx;
using zarvo::qt::TViewCSVFileForm;

namespace {

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

// Runs the viewport's paint now and notes when it has finished.
class TPaintWatch : public QObject {
public:
    qint64 PaintedAt = -1;
    QElapsedTimer* Clock = nullptr;
    std::vector<TListViewEx*> Views;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && PaintedAt < 0 && Views.front()->Count() > 0) {
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
    std::unique_ptr<QDialog> dialog = TViewCSVFileForm::CreateViewer(nullptr, QStringLiteral("CSV File"),
                                                                     file, false, {}, QString(), true, true);
    auto* form = dialog->findChild<TViewCSVFileForm*>();
    TPaintWatch watch;
    watch.Clock = &clock;
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

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
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
            nullptr, QStringLiteral("CSV File"), file, false, {}, QString(), true, true);
        auto* form = dialog->findChild<TViewCSVFileForm*>();
        dialog->show();
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
