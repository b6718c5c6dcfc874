// How long "Break" takes to end a run of the main window, at different stages:
//   QT_QPA_PLATFORM=offscreen build/bench/gui/zarvo_break_bench [delay_ms]
// Each run is started, "Break" is pressed delay_ms later (default 200), and the
// time until "Generate IPs" is enabled again (the run has ended and its lines are
// shown) is printed, with the event loop's longest stall over the whole run.
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "app/Unit1.h"
#include "options/uAppFolder.h"

namespace {

struct TCase {
    const char* Name;
    QString Ranges;
    int Mode; // 0 all, 1 total, 2 each
    int Count;
    bool Random, Names;
    QString Exclude;
};

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const int delay = argc > 1 ? std::atoi(argv[1]) : 200;
    QTemporaryDir settingsDir;
    zarvo::SetAppFolder({{"-settingsdir", settingsDir.path().toStdString()}, {}, {}, {}});
    TForm1 form;
    form.show();

    QStringList many;
    for (int i = 0; i < 4000; ++i) many << QStringLiteral("10.0.0.0/8");
    const TCase cases[] = {
        {"walk where nothing survives (0.0.0.0/0, *.*)", "0.0.0.0/0", 1, 1, false, false, "*.*"},
        {"walk of ::/0 per range (*:*)", "::/0\n::/0", 2, 1, false, false, "*:*"},
        {"random picks over 4000 x /8 (*.*)", many.join('\n'), 1, 1000000, true, false, "*.*"},
        {"1000000 named lines in random order", "10.0.0.0/8", 1, 1000000, true, true, ""},
    };
    for (const TCase& c : cases) {
        form.Memo1->setPlainText(c.Ranges);
        (c.Mode == 1   ? form.RadioButton2
         : c.Mode == 2 ? form.RadioButton3
                       : form.RadioButton1)
            ->setChecked(true);
        form.Edit1->setText(QString::number(c.Count));
        form.Edit2->setText(QString::number(c.Count));
        form.CheckBox1->setChecked(c.Random);
        form.CheckBox3->setChecked(c.Names);
        form.CheckBox4->setChecked(!c.Exclude.isEmpty());
        form.Memo6->setPlainText(c.Exclude);

        QElapsedTimer clock, beat;
        qint64 last = 0, stall = 0, pressed = -1;
        QTimer heartbeat;
        heartbeat.setInterval(2);
        QObject::connect(&heartbeat, &QTimer::timeout, [&] {
            stall = std::max(stall, beat.elapsed() - last);
            last = beat.elapsed();
        });
        beat.start();
        heartbeat.start();
        clock.start();
        form.StartButton->click();
        QTimer::singleShot(delay, [&] {
            pressed = clock.elapsed();
            form.BreakButton->click();
        });
        while (pressed < 0 || !form.StartButton->isEnabled())
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const qint64 ended = clock.elapsed();
        heartbeat.stop();
        std::printf("%-48s break to ended %4lld ms, lines %zu, status \"%s\", longest stall %lld ms\n",
                    c.Name, static_cast<long long>(ended - pressed), form.Memo2->LineCount(),
                    qPrintable(form.StatusLabel->text()), static_cast<long long>(stall));
    }
    return 0;
}
