// The small controls and form helpers on their own: message boxes and the
// non-empty check, file drops, the link label, the input boxes and the tracker's Qt
// binding (the output pane has tests of its own).
#include <QCheckBox>
#include <QClipboard>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include "FakeDialogs.h"
#include "qt/widgets/ButtonExUnit.h"
#include "qt/widgets/LabelExUnit.h"
#include "qt/widgets/MultiInputUnit.h"
#include "qt/widgets/ProgressBinding.h"
#include "qt/widgets/VFormUnit.h"

using namespace zarvo::qt;

namespace {

// A drag entering the control and dropping there; true when the drag was taken.
bool DropOn(QWidget* w, const QMimeData& mime) {
    QDragEnterEvent enter(QPoint(1, 1), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    enter.ignore();
    QApplication::sendEvent(w, &enter);
    QDropEvent drop(QPointF(1, 1), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &drop);
    return enter.isAccepted();
}

} // namespace

class ControlsTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TFakeDialogs> dialogs;

private Q_SLOTS:
    void init() { dialogs = std::make_unique<TFakeDialogs>(); }
    void cleanup() { dialogs.reset(); }

    void checkNotEmpty() {
        TVForm form;
        form.setWindowTitle("Caption 1");
        QVERIFY(!form.CheckNotEmpty("", "GeoIP2 MMDB File Path"));
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Warning);
        QCOMPARE(dialogs->Boxes[0].Title, QString("Caption 1"));
        QCOMPARE(dialogs->Boxes[0].Text, QString("Please, enter GeoIP2 MMDB File Path"));
        QVERIFY(form.CheckNotEmpty(" ", "X")); // no trimming
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
    }

    void messageBoxes() {
        TVForm form;
        form.setWindowTitle("Main");
        form.ErrorMessage("line 1\r\nline 2");
        form.ErrorMessage("Other", "e");
        form.WarningFmt("%s has %d items, 100%%", {"list", "3"});
        form.ErrorMessageFmt("T", "bad '%s'", {"x"});
        QCOMPARE(dialogs->Boxes.size(), size_t(4));
        QCOMPARE(dialogs->Boxes[0].Title, QString("Main"));
        QCOMPARE(dialogs->Boxes[0].Text, QString("line 1\nline 2"));
        QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Critical);
        QCOMPARE(dialogs->Boxes[1].Title, QString("Other"));
        QCOMPARE(dialogs->Boxes[2].Text, QString("list has 3 items, 100%"));
        QCOMPARE(dialogs->Boxes[2].Icon, QMessageBox::Warning);
        QCOMPARE(dialogs->Boxes[3].Title, QString("T"));
        QCOMPARE(dialogs->Boxes[3].Text, QString("bad 'x'"));
    }

    void nameFilters_data() {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("expected");
        QTest::newRow("text") << "Text files (*.txt)|*.txt|All files (*.*)|*.*"
                              << "Text files (*.txt);;All files (*)";
        QTest::newRow("two patterns") << "Lists|*.txt;*.csv"
                                      << "Lists (*.txt *.csv)";
        QTest::newRow("empty") << ""
                               << "";
    }
    void nameFilters() {
        QFETCH(QString, filter);
        QFETCH(QString, expected);
        QCOMPARE(QtNameFilters(filter), expected);
    }

    void dropTargets() {
        TVForm form;
        auto* edit = new QLineEdit(&form);
        auto* memo = new QPlainTextEdit(&form);
        form.EnableDroppingFile(edit);
        form.EnableDroppingFile(edit);
        form.EnableDroppingFile(memo);
        QCOMPARE(form.DropFileControls().size(), size_t(2));
        QString dropped;
        form.OnFileDropped = [&](QLineEdit*, const QString& f) { dropped += f + ";"; };
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile("/a b/1.txt"), QUrl::fromLocalFile("/c/2.txt")});
        DropOn(edit, mime);
        QCOMPARE(edit->text(), QString("/c/2.txt"));
        QCOMPARE(dropped, QString("/a b/1.txt;/c/2.txt;"));
        DropOn(memo->viewport(), mime);
        QCOMPARE(memo->toPlainText(), QString("/a b/1.txt\n/c/2.txt"));
        // A handler that takes the drop leaves the edit alone.
        form.OnDropFile = [](QLineEdit*, const QString&, bool& handled) { handled = true; };
        DropOn(edit, mime);
        QCOMPARE(edit->text(), QString("/c/2.txt"));
        // Text that names no file is left to the edit's own text drop.
        QMimeData text;
        text.setText("plain");
        DropOn(edit, text);
        QCOMPARE(dropped, QString("/a b/1.txt;/c/2.txt;"));
    }

    void browseIntoMemo() {
        TVForm form;
        auto* memo = new QPlainTextEdit(&form);
        auto* button = new TButtonEx("Browse...", &form);
        TFileDialog dialog;
        QStringList viaList;
        QString viaPath;
        button->SetBrowse(memo, &dialog, [&](TButtonEx&, const QString& p) { viaPath = p; });
        button->OnBrowseList = [&](TButtonEx&, const QStringList& l) { viaList = l; };
        QCOMPARE(form.DropFileControls().size(), size_t(1));
        memo->setPlainText("/tmp/first.txt\n\n");
        dialogs->FileAnswers.push_back(QStringList{"/x/1", "/x/2"});
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(dialogs->FileRequests.size(), size_t(1));
        QVERIFY(dialogs->FileRequests[0].MultiSelect);
        QCOMPARE(dialogs->FileRequests[0].Directory, QString("/tmp"));
        QVERIFY(dialogs->FileRequests[0].FileName.isEmpty());
        QCOMPARE(memo->toPlainText(), QString("/tmp/first.txt\n\n\n/x/1\n/x/2"));
        QCOMPARE(viaPath, QString("/x/1"));
        QCOMPARE(viaList, QStringList({"/x/1", "/x/2"}));
    }

    void linkLabel() {
        TLabelEx plain("text");
        QTest::mouseClick(&plain, Qt::LeftButton);
        QVERIFY(dialogs->Opened.empty());

        TLabelEx link;
        link.SetLink("Zarvo", "https://example.org/x");
        QCOMPARE(link.text(), QString("Zarvo"));
        QVERIFY(link.font().underline());
        QCOMPARE(link.cursor().shape(), Qt::PointingHandCursor);
        QTest::mouseClick(&link, Qt::LeftButton);
        QCOMPARE(dialogs->Opened.size(), size_t(1));
        QCOMPARE(dialogs->Opened[0], QUrl("https://example.org/x"));

        int calls = 0;
        TLabelEx callable;
        callable.SetLink([&] { ++calls; });
        QTest::mouseClick(&callable, Qt::LeftButton);
        QCOMPARE(calls, 1);
        QCOMPARE(dialogs->Opened.size(), size_t(1));
    }

    void numInputBox() {
        int32_t value = 5;
        dialogs->OnExec = [](QDialog& d) {
            auto* edit = d.findChild<QLineEdit*>("InputEdit");
            auto* ok = d.findChild<QPushButton*>("OKButton");
            if (!edit || !ok || edit->text() != "5") return int(QDialog::Rejected);
            edit->clear();
            if (ok->isEnabled()) return int(QDialog::Rejected);
            QTest::keyClicks(edit, "0");
            if (ok->isEnabled()) return int(QDialog::Rejected);
            edit->clear();
            QTest::keyClicks(edit, "-3"); // digits only when the minimum is not negative
            if (edit->text() != "3" || !ok->isEnabled()) return int(QDialog::Rejected);
            edit->clear();
            QTest::keyClicks(edit, "10");
            QTest::keyClick(edit, Qt::Key_Up);
            if (edit->text() != "11" || !ok->isEnabled()) return int(QDialog::Rejected);
            QTest::mouseClick(ok, Qt::LeftButton);
            return d.result();
        };
        QVERIFY(TMultiInputBox::NumInputBox(nullptr, "Rows", "How many rows?", value, 1, 2147483647));
        QCOMPARE(value, 11);

        dialogs->OnExec = [](QDialog& d) {
            d.findChild<QLineEdit*>("InputEdit")->setText("7");
            QTest::mouseClick(d.findChild<QPushButton*>("CancelButton"), Qt::LeftButton);
            return d.result();
        };
        QVERIFY(!TMultiInputBox::NumInputBox(nullptr, "Rows", "", value, 1, 100));
        QCOMPARE(value, 11);
    }

    void optionsSelectBox() {
        QString delimiter = ";";
        const std::vector<TMultiSelectOption> options = {
            {"First", nullptr}, {"Second", &delimiter}, {"Third", nullptr}};
        uint32_t checked = 5;
        dialogs->OnExec = [](QDialog& d) {
            auto* c0 = d.findChild<QCheckBox*>("OptionCheck0");
            auto* c1 = d.findChild<QCheckBox*>("OptionCheck1");
            auto* c2 = d.findChild<QCheckBox*>("OptionCheck2");
            auto* e1 = d.findChild<QLineEdit*>("OptionEdit1");
            if (!c0 || !c1 || !c2 || !e1 || d.findChild<QLineEdit*>("OptionEdit0"))
                return int(QDialog::Rejected);
            if (!c0->isChecked() || c1->isChecked() || !c2->isChecked() || e1->text() != ";")
                return int(QDialog::Rejected);
            QTest::mouseClick(c2, Qt::LeftButton);
            e1->setText("|");
            QTest::mouseClick(d.findChild<QPushButton*>("OKButton"), Qt::LeftButton);
            return d.result();
        };
        QVERIFY(TMultiInputBox::OptionsSelectBox(nullptr, "Options", "Choose", options, checked));
        QCOMPARE(checked, 1u);
        QCOMPARE(delimiter, QString("|"));

        dialogs->OnExec = [](QDialog& d) {
            d.findChild<QLineEdit*>("OptionEdit1")->setText("changed");
            return int(QDialog::Rejected);
        };
        QVERIFY(!TMultiInputBox::OptionsSelectBox(nullptr, "Options", "", options, checked));
        QCOMPARE(checked, 1u);
        QCOMPARE(delimiter, QString("|"));
    }

    void trackerBinding() {
        zarvo::TProgress progress;
        QProgressBar bar;
        bar.setRange(5, 7);
        QLabel percent, status, elapsed;
        QPushButton start, stop;
        {
            TProgressBinding binding(progress);
            QCOMPARE(binding.Timer().interval(), 100);
            QVERIFY(binding.Timer().isActive());
            QVERIFY(!binding.RestartTimer().isActive());
            binding.SetProgressBar(&bar);
            QCOMPARE(bar.minimum(), 0);
            QCOMPARE(bar.maximum(), 100);
            binding.SetProgressLabel(&percent);
            QCOMPARE(percent.text(), QString("0 %"));
            binding.SetBreakButton(&stop);
            QVERIFY(!stop.isEnabled());
            binding.SetStartButton(&start);
            binding.SetStatusLabel(&status);
            binding.SetElapsedLabel(&elapsed);
            elapsed.setText("0:00:00");

            int64_t now = 1000000;
            progress.Now = [&] { return now; };
            int starts = 0;
            progress.OnStart = [&](zarvo::TProgress&) { ++starts; };
            QTest::mouseClick(&start, Qt::LeftButton);
            QCOMPARE(starts, 1);
            QVERIFY(!start.isEnabled());
            QVERIFY(stop.isEnabled());

            // A worker counting past the maximum: the label shows it, the bar stops at 100.
            progress.SetMax(200);
            progress.IncProgress(300);
            progress.SetStatus("line 1\r\nline 2");
            now += 3723000;
            progress.Display();
            QCOMPARE(percent.text(), QString("150 %"));
            QCOMPARE(bar.value(), 100);
            QCOMPARE(status.text(), QString("line 1\nline 2"));
            QCOMPARE(elapsed.text(), QString("1:02:03"));

            QTest::mouseClick(&stop, Qt::LeftButton);
            QVERIFY(!stop.isEnabled());
            QVERIFY(!start.isEnabled());
            progress.EndProgress();
            QVERIFY(start.isEnabled());
            now += 5000;
            progress.Display();
            QCOMPARE(elapsed.text(), QString("1:02:03")); // ended: the label keeps its text
        }
        // The binding gone, the tracker no longer reaches the controls.
        progress.SetStatus("after");
        progress.Display();
        QCOMPARE(status.text(), QString("line 1\nline 2"));
    }

    void trackerFlagsHideControls() {
        zarvo::TProgress progress;
        QWidget window;
        auto* bar = new QProgressBar(&window);
        auto* stop = new QPushButton(&window);
        auto* start = new QPushButton(&window);
        TProgressBinding binding(progress);
        binding.SetProgressBar(bar);
        binding.SetBreakButton(stop);
        binding.SetStartButton(start);
        window.show();
        progress.SetFlags(zarvo::pfPBHidden | zarvo::pfBBHidden | zarvo::pfSBHide);
        QVERIFY(bar->isHidden());
        QVERIFY(stop->isHidden());
        QVERIFY(!start->isHidden());
        progress.StartProgress();
        QVERIFY(!bar->isHidden());
        QVERIFY(!stop->isHidden());
        QVERIFY(start->isHidden());
        progress.EndProgress();
        QVERIFY(bar->isHidden());
        QVERIFY(!start->isHidden());
    }
};

QTEST_MAIN(ControlsTest)
#include "controls_test.moc"
