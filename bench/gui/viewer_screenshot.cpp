// A picture of the file viewer on a small CSV file:
//   xvfb-run -a -s "-screen 0 1366x768x24" build/bench/gui/zarvo_viewer_screenshot viewer.png
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QScreen>
#include <QTemporaryDir>

#include "qt/viewer/ViewCSVFileUnit.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("viewer.png");
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("customers.csv"));
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly)) return 1;
        f.write("id;name;city;email;balance;since\n");
        const char* names[] = {"Ada Lovelace", "Alan Turing", "Grace Hopper", "Edsger Dijkstra",
                               "Barbara Liskov"};
        const char* cities[] = {"London", "Wilmslow", "Arlington", "Nuenen", "Boston"};
        for (int i = 1; i <= 2500; ++i)
            f.write(QStringLiteral("%1;%2;%3;user%1@example.org;%4.%5;2019-0%6-1%7\n")
                        .arg(i)
                        .arg(QLatin1String(names[i % 5]), QLatin1String(cities[i % 5]))
                        .arg(i * 37 % 10000)
                        .arg(i % 100, 2, 10, QLatin1Char('0'))
                        .arg(1 + i % 9)
                        .arg(i % 10)
                        .toUtf8());
    }
    std::unique_ptr<QDialog> dialog = zarvo::qt::TViewCSVFileForm::CreateViewer(
        nullptr, QStringLiteral("CSV File"), file, false, {}, QString(), true, true);
    dialog->show();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 800) QApplication::processEvents();
    const QRect frame = dialog->frameGeometry();
    QPixmap shot = dialog->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    if (shot.isNull() || shot.width() < 100) shot = dialog->grab();
    return shot.save(out) ? 0 : 1;
}
