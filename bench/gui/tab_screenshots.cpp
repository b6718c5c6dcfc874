// Pictures of the main window as the keyboard walks its tab chain, one per stop, so
// that each stop's focus mark can be looked at; also the window at its minimum size:
//   xvfb-run -a -s "-screen 0 1366x768x24" build/bench/gui/zarvo_tab_screenshots OUTDIR [STOPS]
// Files: OUTDIR/tab-NN-<object name>.png, then with "Custom" chosen OUTDIR/window.png (first
// size), OUTDIR/screen.png (the whole screen) and OUTDIR/minimum.png.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

#include "app/Unit1.h"
#include "options/uAppFolder.h"

namespace {

void Settle(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QApplication::processEvents();
}

bool Grab(QWidget& w, const QString& file) {
    QPixmap shot = w.screen()->grabWindow(0, w.frameGeometry().x(), w.frameGeometry().y(),
                                          w.frameGeometry().width(), w.frameGeometry().height());
    if (shot.isNull() || shot.width() < 100) shot = w.grab();
    return shot.save(file);
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    InitApplication();
    // A steady caret, so that an edit's focus mark does not depend on the moment.
    QApplication::setCursorFlashTime(0);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const int stops = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 70;
    QDir().mkpath(out);
    QTemporaryDir settingsDir;
    zarvo::SetAppFolder({{"-settingsdir", settingsDir.path().toStdString()}, {}, {}, {}});
    TForm1 form;
    form.show();
    form.activateWindow();
    if (!QTest::qWaitForWindowActive(&form)) std::fputs("window not active\n", stderr);
    Settle(300);
    // The title the window system holds, when xprop can ask it.
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        QProcess xprop;
        xprop.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(form.winId()),
                                              QStringLiteral("_NET_WM_NAME"), QStringLiteral("WM_NAME")});
        if (xprop.waitForFinished(5000)) std::printf("%s", xprop.readAllStandardOutput().constData());
    }
    bool ok = true;
    QWidget* first = nullptr;
    for (int i = 0; i < stops; ++i) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : &form;
        QTest::keyClick(target, Qt::Key_Tab);
        Settle(150);
        QWidget* f = QApplication::focusWidget();
        if (!f) break;
        if (f == first) break; // round the chain once
        if (!first) first = f;
        const QString name =
            f->objectName().isEmpty() ? QString::fromLatin1(f->metaObject()->className()) : f->objectName();
        std::printf("%02d %s\n", i, qPrintable(name));
        ok &=
            Grab(form, QStringLiteral("%1/tab-%2-%3.png").arg(out).arg(i, 2, 10, QLatin1Char('0')).arg(name));
    }
    form.ComboBox5->setCurrentIndex(form.ComboBox5->count() - 1);
    Settle(300);
    ok &= Grab(form, out + QStringLiteral("/window.png"));
    form.setGeometry(form.screen()->availableGeometry());
    Settle(500);
    ok &= Grab(form, out + QStringLiteral("/screen.png"));
    form.resize(form.minimumSize());
    Settle(500);
    std::printf("minimum %dx%d\n", form.width(), form.height());
    ok &= Grab(form, out + QStringLiteral("/minimum.png"));
    return ok ? 0 : 1;
}
