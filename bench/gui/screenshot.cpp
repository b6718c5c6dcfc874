// Takes the README's picture of the main window with real generated output:
//   xvfb-run -s "-screen 0 1280x800x24" build/bench/gui/zarvo_screenshot docs/screenshot.png
// With a database after the file name, the run has its country column:
//   ... zarvo_screenshot country.png GeoLite2-City.mmdb
#include <QApplication>
#include <QTemporaryDir>

#include "options/uAppFolder.h"
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QScreen>

#include "app/Unit1.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    InitApplication();
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshot.png");
    // Keep the user's own settings out of it: a throwaway settings folder.
    QTemporaryDir settingsDir;
    zarvo::SetAppFolder({{"-settingsdir", settingsDir.path().toStdString()}, {}, {}, {}});
    TForm1 form;
    form.Memo1->setPlainText(
        QStringLiteral("office=192.168.10.0/24\nlab=10.20.0.0/16/24\nfdc7:200d:3e17::/120"));
    form.RadioButton3->setChecked(true);
    form.Edit2->setText(QStringLiteral("1500"));
    form.CheckBox1->setChecked(true);
    form.CheckBox8->setChecked(true);
    form.CheckBox3->setChecked(true);
    form.Edit4->setText(QStringLiteral("host#.%s.example.net"));
    form.Edit5->setText(QStringLiteral("1"));
    form.Edit7->setText(QStringLiteral("2"));
    form.CheckBox2->setChecked(true);
    form.Edit3->setText(QStringLiteral("80,443"));
    if (argc > 2) {
        form.Memo1->setPlainText(QStringLiteral("dns=8.8.8.0/29\nuk=81.2.69.128/28\njp=2001:218::/125"));
        form.CheckBox7->setChecked(true);
        form.Edit9->setText(QString::fromLocal8Bit(argv[2]));
    }
    form.show();
    form.StartButton->click();
    QElapsedTimer t;
    t.start();
    while (!form.StartButton->isEnabled() && t.elapsed() < 10000) QApplication::processEvents();
    // The pane as a user leaves it: a selection over a few rows, the caret at its end.
    form.activateWindow();
    form.Memo2->setFocus();
    form.Memo2->SetCaret({3, 5});
    form.Memo2->SetCaret({8, 9}, true);
    t.restart();
    while (t.elapsed() < 800) QApplication::processEvents();
    QPixmap shot = form.screen()->grabWindow(0, form.frameGeometry().x(), form.frameGeometry().y(),
                                             form.frameGeometry().width(), form.frameGeometry().height());
    if (shot.isNull() || shot.width() < 100) shot = form.grab();
    return shot.save(out) ? 0 : 1;
}
