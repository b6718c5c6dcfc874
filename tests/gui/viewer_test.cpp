// The file viewer window offscreen: the preview of CSV, text and database sources,
// the status rows, "No Header", copying, counting rows with an abort, Escape, a
// record over the line cap as one marked row, the preview read on a worker with its
// progress and "Stop", the dialogs of a "zarvo --view" window in their real modal
// loops, and the main window's "View..." button.
#include <QCheckBox>
#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

#include "FakeDialogs.h"
#include "app/Unit1.h"
#include "mmdb/uMMDBLineReader.h"
#include "mmdb/uMMDBReader.h"
#include "qt/viewer/ListViewExUnit.h"
#include "qt/viewer/ViewCSVFileUnit.h"
#include "qt/viewer/WaitDialogUnit.h"

using namespace zarvo::qt;

namespace {

const QString kDatabase = QStringLiteral(ZARVO_TESTDATA_DIR "/mmdb/GeoIP2-Country-Test.mmdb");

void WriteFile(const QString& name, const QByteArray& bytes) {
    QFile f(name);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

// Item k's text in column c of a view.
QString Cell(TListViewEx* view, int k, int c) {
    return view->model()->data(view->model()->index(k, c)).toString();
}

QString Caption(TListViewEx* view, int c) {
    return view->model()->headerData(c, Qt::Horizontal).toString();
}

// Lets the preview read on its worker and waits until the views show it.
void Settle(TViewCSVFileForm* form) {
    QTRY_VERIFY_WITH_TIMEOUT(!form->Reading(), 30000);
}

struct TViewer {
    std::unique_ptr<QDialog> Dialog;
    TViewCSVFileForm* Form = nullptr;

    // Opened as a file of its own ("zarvo --view"): counting and the row-limit link on.
    explicit TViewer(const QString& file, bool noHeader = false,
                     const zarvo::TLineReaderClass& readerClass = {}, bool counting = true) {
        Dialog = TViewCSVFileForm::CreateViewer(nullptr, QStringLiteral("CSV File"), file, noHeader,
                                                readerClass, QString(), counting, counting);
        Form = Dialog->findChild<TViewCSVFileForm*>(QStringLiteral("ViewCSVFileForm"));
        Dialog->show();
        Settle(Form);
    }
};

// When a window named name is shown (by the real modal loop a click starts), runs
// act on it once, from that loop, right after the show: also a dialog that closes
// by itself gets looked at.
class TWhenShown : public QObject {
public:
    TWhenShown(const QString& name, std::function<void(QWidget*)> act) : FName(name), FAct(std::move(act)) {
        qApp->installEventFilter(this);
    }
    bool Done = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && !FPosted && watched->objectName() == FName &&
            watched->isWidgetType()) {
            FPosted = true;
            QPointer<QWidget> widget = static_cast<QWidget*>(watched);
            QMetaObject::invokeMethod(
                this,
                [this, widget] {
                    if (widget) FAct(widget);
                    Done = true;
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    QString FName;
    std::function<void(QWidget*)> FAct;
    bool FPosted = false;
};

// A file of lines, then gigabytes of NULs that cost no disk: reading the NUL run,
// one line however long, takes a while.
void WriteLinesThenNuls(const QString& name, int lines) {
    QFile f(name);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QByteArray head = "a,b\n";
    for (int i = 0; i < lines; ++i) head += "1,2\n";
    f.write(head);
    QVERIFY(f.resize(qint64(8) << 30));
}

// Shows the wait dialog and lets it run until its method closes it.
int RunUntilClosed(QDialog& d) {
    [&] {
        d.show();
        QTRY_VERIFY_WITH_TIMEOUT(!d.isVisible(), 10000);
    }();
    return d.result();
}

} // namespace

class ViewerTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TFakeDialogs> dialogs;
    QTemporaryDir dir;

    QString Path(const char* name) const { return dir.filePath(QLatin1String(name)); }

private Q_SLOTS:
    void initTestCase() {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QVERIFY(dir.isValid());
    }
    void init() { dialogs = std::make_unique<TFakeDialogs>(); }
    void cleanup() { dialogs.reset(); }

    void csvPreviewAndCount() {
        QByteArray csv = "id;name;note\n";
        for (int i = 1; i < 5000; ++i) csv += QByteArray::number(i) + ";n" + QByteArray::number(i) + ";a,b\n";
        WriteFile(Path("big.csv"), csv);
        TViewer v(Path("big.csv"));
        TListViewEx* view = v.Form->SourceView;
        QVERIFY(view->isVisible());
        QCOMPARE(view->Count(), 1001);
        QCOMPARE(Caption(view, 1), QStringLiteral("id"));
        QCOMPARE(Caption(view, 3), QStringLiteral("note"));
        QCOMPARE(Cell(view, 999, 0), QStringLiteral("1000"));
        QCOMPARE(Cell(view, 999, 3), QStringLiteral("a,b")); // the semicolon found first stays
        QCOMPARE(Cell(view, 1000, 0), QStringLiteral("..."));
        QCOMPARE(v.Form->RowsLabel->text(), QStringLiteral("1,000+"));
        QVERIFY(v.Form->CountRowsButton->isVisible());

        dialogs->OnExec = RunUntilClosed;
        QTest::mouseClick(v.Form->CountRowsButton, Qt::LeftButton);
        QCOMPARE(v.Form->RowsLabel->text(), QStringLiteral("4,999"));
        QVERIFY(!v.Form->CountRowsButton->isVisible());
        QVERIFY(dialogs->Boxes.empty());
    }

    void countAbort() {
        // Some lines, then 8 GB of NUL padding that costs no disk: the count is still
        // in the padding, well past the 4 GiB mark, when "&Abort" is pressed.
        {
            QFile f(Path("sparse.csv"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            QByteArray head = "a,b\n";
            for (int i = 0; i < 100000; ++i) head += "1,2\n";
            f.write(head);
            QVERIFY(f.resize(qint64(8) << 30));
        }
        TViewer v(Path("sparse.csv"));
        QCOMPARE(v.Form->RowsLabel->text(), QStringLiteral("1,000+"));
        QString counted;
        bool abortDisabled = false;
        dialogs->OnExec = [&](QDialog& d) {
            [&] {
                d.show();
                auto* count = d.findChild<QLabel*>(QStringLiteral("CountLabel"));
                auto* abort = d.findChild<QPushButton*>(QStringLiteral("AbortButton"));
                QTRY_VERIFY_WITH_TIMEOUT(count->text() != QStringLiteral("0 rows."), 10000);
                counted = count->text();
                QTest::keyClick(&d, Qt::Key_Escape); // only the method's end closes it
                QVERIFY(d.isVisible());
                QTest::mouseClick(abort, Qt::LeftButton);
                abortDisabled = !abort->isEnabled();
                QTRY_VERIFY_WITH_TIMEOUT(!d.isVisible(), 10000);
            }();
            return d.result();
        };
        QTest::mouseClick(v.Form->CountRowsButton, Qt::LeftButton);
        QVERIFY(counted.endsWith(QStringLiteral(" rows.")));
        QVERIFY(abortDisabled);
        QCOMPARE(v.Form->RowsLabel->text(), QStringLiteral("1,000+")); // a cancelled count changes nothing
        QVERIFY(dialogs->Boxes.empty());
    }

    void countError() {
        WriteFile(Path("gone.csv"), QByteArray("a\n").repeated(1500));
        TViewer v(Path("gone.csv"));
        QVERIFY(QFile::remove(Path("gone.csv")));
        dialogs->OnExec = RunUntilClosed;
        QTest::mouseClick(v.Form->CountRowsButton, Qt::LeftButton);
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QCOMPARE(dialogs->Boxes[0].Title, QStringLiteral("Count Rows"));
        QVERIFY2(dialogs->Boxes[0].Text.contains(QStringLiteral("gone.csv")),
                 qPrintable(dialogs->Boxes[0].Text));
        QCOMPARE(v.Form->RowsLabel->text(), QStringLiteral("1,000+"));
    }

    void maxRowsLink() {
        WriteFile(Path("thirty.csv"), QByteArray("x,y\n").repeated(30));
        TViewer v(Path("thirty.csv"), true);
        QCOMPARE(v.Form->SourceView->Count(), 30);
        dialogs->OnExec = [](QDialog& d) {
            d.findChild<QLineEdit*>(QStringLiteral("InputEdit"))->setText(QStringLiteral("10"));
            return int(QDialog::Accepted);
        };
        v.Form->MaxRowsValueLabel->Click();
        Settle(v.Form);
        QCOMPARE(v.Form->MaxRowsValueLabel->text(), QStringLiteral("10"));
        QCOMPARE(v.Form->SourceView->Count(), 11);
        QCOMPARE(Cell(v.Form->SourceView, 10, 0), QStringLiteral("..."));
        QCOMPARE(v.Form->RowsLabel->text(), QStringLiteral("10+"));
    }

    void listViewBatchAndSelectAll() {
        TListViewEx view;
        view.ClearColumns();
        QCOMPARE(view.ColumnCount(), 0);
        view.AddColumns({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}, {60, 50, 300});
        QCOMPARE(view.ColumnCount(), 3);
        QCOMPARE(view.header()->sectionSize(2), 300);
        view.ClearColumns();
        view.AddColumns({QStringLiteral("#"), QStringLiteral("Line")}, {60, 50});
        QCOMPARE(Caption(&view, 1), QStringLiteral("Line"));
        int notifications = 0;
        view.OnSelected = [&](TListViewEx*) { ++notifications; };
        view.InvalidateListView(1000);
        notifications = 0;
        view.show();
        view.setFocus();
        QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(view.SelectedRows().size(), size_t(1000));
        QCOMPARE(notifications, 1);
        QCOMPARE(view.SelectedItemIndex(), 0);
    }

    void textFileOpensOnText() {
        WriteFile(Path("notes.TXT"), "first line\nsecond, line\n");
        TViewer v(Path("notes.TXT"), true);
        QCOMPARE(v.Form->TabSet1->currentIndex(), 1);
        QVERIFY(v.Form->SourceView2->isVisible());
        QVERIFY(!v.Form->SourceView->isVisible());
        QCOMPARE(v.Form->SourceView2->Count(), 2);
        QCOMPARE(Cell(v.Form->SourceView2, 1, 1), QStringLiteral("second, line"));
        QCOMPARE(v.Form->RowsLabel->text(), QStringLiteral("2"));
        QVERIFY(!v.Form->CountRowsButton->isVisible());
    }

    void unreadableSource_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("status");
        const QString missing = Path("missing.csv");
        QTest::newRow("missing") << missing << QStringLiteral("File \"%1\" does not exist.").arg(missing);
        QTest::newRow("directory") << dir.path() << QString();
        const QString fifo = Path("fifo.csv");
        ::mkfifo(QFile::encodeName(fifo).constData(), 0600);
        QTest::newRow("fifo") << fifo << QString();
    }
    void unreadableSource() {
        QFETCH(QString, file);
        QFETCH(QString, status);
        TViewer v(file);
        const QString shown = Cell(v.Form->SourceView, 0, 0);
        if (!status.isEmpty())
            QCOMPARE(shown, status);
        else
            QVERIFY2(shown.contains(file), qPrintable(shown));
        QCOMPARE(v.Form->SourceView->Count(), 1);
        QCOMPARE(Caption(v.Form->SourceView, 0), QStringLiteral("Status"));
        QCOMPARE(Cell(v.Form->SourceView2, 0, 1), shown);
        QCOMPARE(v.Form->RowsLabel->text(), QStringLiteral("0"));
        QVERIFY(!v.Form->Panel4->isVisible());
        QVERIFY(v.Form->GetSelectedLinesText(v.Form->SourceView).isEmpty());
    }

    // The build date in the locale's short form, exactly as Qt writes it: its format,
    // its month names (the C locale's "d MMM yyyy"), its quoted text (bg_BG) and its
    // digits (ar_EG).
    void databaseDateInTheLocalesShortForm_data() {
        QTest::addColumn<QString>("locale");
        for (const char* name : {"C", "en_US", "de_DE", "en_GB", "sv_SE", "bg_BG", "ko_KR", "hu_HU", "ar_EG"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }
    void databaseDateInTheLocalesShortForm() {
        QFETCH(QString, locale);
        QLocale::setDefault(QLocale(locale));
        const zarvo::TMMDBReader db(kDatabase.toStdString());
        const QDate date =
            QDateTime::fromSecsSinceEpoch(static_cast<qint64>(db.Metadata().BuildEpoch()), Qt::UTC).date();
        const std::unique_ptr<zarvo::TLineReader> r = DatabaseReaderClass()(kDatabase.toStdString(), 0);
        r->GotoNextLine();
        r->GotoNextLine();
        const QString line = QString::fromStdString(r->ReadLine());
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(line, QStringLiteral("build_epoch,") + QLocale(locale).toString(date, QLocale::ShortFormat));
    }

    void databaseNoHeader() {
        TViewer v(kDatabase, true, zarvo::TMMDBMetaReader::ReaderClass(), false);
        TListViewEx* view = v.Form->SourceView;
        QCOMPARE(Caption(view, 1), QStringLiteral("Column 1"));
        QCOMPARE(Cell(view, 0, 1), QStringLiteral("binary_format_major_version"));
        QTest::mouseClick(v.Form->NoHeaderCheckBox, Qt::LeftButton);
        Settle(v.Form);
        QVERIFY(!v.Form->NoHeaderCheckBox->isChecked());
        QCOMPARE(Caption(view, 1), QStringLiteral("binary_format_major_version"));
        QCOMPARE(Caption(view, 2), QStringLiteral("2"));
        QCOMPARE(Cell(view, 0, 1), QStringLiteral("binary_format_minor_version"));
    }

    void copyMultiLineRecord() {
        WriteFile(Path("cells.csv"), "k,v\n1,\"one\ntwo\nthree\"\n2,x\n");
        TViewer v(Path("cells.csv"));
        // "Cell Line Breaks" on in the options box, then "Replace Line Breaks with" a blank.
        const auto setOptions = [&](bool replace) {
            dialogs->OnExec = [replace](QDialog& d) {
                d.findChild<QCheckBox*>(QStringLiteral("OptionCheck0"))->setChecked(true);
                d.findChild<QCheckBox*>(QStringLiteral("OptionCheck1"))->setChecked(replace);
                d.findChild<QLineEdit*>(QStringLiteral("OptionEdit1"))->setText(QStringLiteral(" "));
                return int(QDialog::Accepted);
            };
            QTest::mouseClick(v.Form->OptionsButton, Qt::LeftButton);
            Settle(v.Form);
        };
        setOptions(false);
        TListViewEx* view = v.Form->SourceView;
        QCOMPARE(view->Count(), 2);
        QCOMPARE(v.Form->SourceView2->Count(), 4);
        QCOMPARE(Cell(view, 0, 2), QStringLiteral("one\r\ntwo\r\nthree"));
        setOptions(true);
        QCOMPARE(Cell(view, 0, 2), QStringLiteral("one two three"));

        view->setFocus();
        view->selectionModel()->select(view->model()->index(0, 0),
                                       QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        QAction* copy = view->actions().value(0);
        QVERIFY(copy);
        QCOMPARE(copy->text(), QStringLiteral("&Copy"));
        copy->trigger(); // the text is built on a worker
        QTRY_COMPARE(QApplication::clipboard()->text(), QStringLiteral("1,\"one\r\ntwo\r\nthree\""));
        QVERIFY(!v.Form->Copying());
        // Ctrl+A then the shortcut: both records, the "..." row not being there.
        QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(view->SelectedRows().size(), size_t(2));
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        QTRY_COMPARE(QApplication::clipboard()->text(), QStringLiteral("1,\"one\r\ntwo\r\nthree\"\r\n2,x"));

        // A copy that the next one replaces never lands: one copy, the last.
        QApplication::clipboard()->clear();
        QSignalSpy copied(v.Form, &TViewCSVFileForm::Copied);
        view->selectionModel()->select(view->model()->index(1, 0),
                                       QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        copy->trigger();
        QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        QTRY_VERIFY(!v.Form->Copying());
        QTRY_COMPARE(copied.count(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(copied.count(), 1);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("1,\"one\r\ntwo\r\nthree\"\r\n2,x"));
    }

    void escapeCloses() {
        WriteFile(Path("small.csv"), "a,b\n1,2\n");
        TViewer v(Path("small.csv"));
        QSignalSpy finished(v.Dialog.get(), &QDialog::finished);
        v.Form->SourceView->setFocus();
        QTest::keyClick(v.Form->SourceView, Qt::Key_Escape);
        QCOMPARE(finished.count(), 1);
        QVERIFY(!v.Dialog->isVisible());
        QVERIFY(v.Form->Preview().Lines.empty()); // closing lets the lines go
    }

    void standaloneKind_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("noHeader");
        QFile::copy(kDatabase, Path("renamed.dat"));
        WriteFile(Path("plain.dat"), "a,b\n");
        QTest::newRow("csv") << Path("plain.dat") << "CSV File" << false;
        QTest::newRow("text") << Path("notes.Txt") << "Text File" << true;
        QTest::newRow("database by extension") << Path("missing.MMDB") << "GeoIP2 MMDB" << true;
        QTest::newRow("database by content") << Path("renamed.dat") << "GeoIP2 MMDB" << true;
        // A text that holds the database's marker near its end is text, by its name or
        // because its metadata does not decode.
        const QByteArray marked("a,b\n1,2\n\xAB\xCD\xEFMaxMind.com\n3,4\n");
        WriteFile(Path("marked.csv"), marked);
        WriteFile(Path("marked.TXT"), marked);
        WriteFile(Path("marked.dat"), marked);
        QTest::newRow("marker in a .csv") << Path("marked.csv") << "CSV File" << false;
        QTest::newRow("marker in a .TXT") << Path("marked.TXT") << "Text File" << true;
        QTest::newRow("marker in another name") << Path("marked.dat") << "CSV File" << false;
        ::mkfifo(QFile::encodeName(Path("kind.fifo")).constData(), 0600);
        QTest::newRow("fifo is not read") << Path("kind.fifo") << "CSV File" << false;
    }
    void standaloneKind() {
        QFETCH(QString, file);
        QFETCH(QString, title);
        QFETCH(bool, noHeader);
        const TStandaloneView v = StandaloneViewOf(file);
        QCOMPARE(v.Title, title);
        QCOMPARE(v.NoHeader, noHeader);
        QCOMPARE(v.Database, title == QLatin1String("GeoIP2 MMDB"));
        QCOMPARE(ViewArgument({QStringLiteral("--view"), file}), file);
        QCOMPARE(ViewArgument({QStringLiteral("--view=") + file}), file);
    }

    // A record with a field of 100,000 characters is one row, its cell cut at the line
    // cap and marked so (an ellipsis, an icon, a tooltip), in both views, and the
    // count counts it once.
    void longRecordIsOneRow() {
        WriteFile(Path("long.csv"), "id,data,end\n1," + QByteArray(100000, 'X') + ",end\n2,short,end\n");
        TViewer v(Path("long.csv"));
        TListViewEx* view = v.Form->SourceView;
        QCOMPARE(view->Count(), 2);
        QCOMPARE(v.Form->RowsLabel->text(), QStringLiteral("2"));
        const QString cut = Cell(view, 0, 2);
        QVERIFY(cut.startsWith(QStringLiteral("XXXX")));
        QVERIFY(cut.endsWith(QChar(0x2026)));
        QCOMPARE(Cell(view, 0, 3), QString()); // "end" lies past the cut
        const QModelIndex marked = view->model()->index(0, 2);
        QVERIFY(!view->model()->data(marked, Qt::DecorationRole).isNull());
        const QString note = view->model()->data(marked, Qt::ToolTipRole).toString();
        QVERIFY2(note.contains(QStringLiteral("line 2 is longer than 65,535 characters")), qPrintable(note));
        QVERIFY(view->model()->data(view->model()->index(0, 1), Qt::DecorationRole).isNull());
        QCOMPARE(Cell(view, 1, 3), QStringLiteral("end"));
        QVERIFY(view->model()->data(view->model()->index(1, 2), Qt::DecorationRole).isNull());
        TListViewEx* text = v.Form->SourceView2;
        QCOMPARE(text->Count(), 2);
        QVERIFY(Cell(text, 0, 1).endsWith(QChar(0x2026)));
        QVERIFY(!text->model()->data(text->model()->index(0, 1), Qt::DecorationRole).isNull());
        QCOMPARE(Cell(text, 1, 1), QStringLiteral("2,short,end"));

        // One row less in view, then counted: two rows.
        dialogs->OnExec = [](QDialog& d) {
            if (auto* edit = d.findChild<QLineEdit*>(QStringLiteral("InputEdit"))) {
                edit->setText(QStringLiteral("1"));
                return int(QDialog::Accepted);
            }
            return RunUntilClosed(d);
        };
        v.Form->MaxRowsValueLabel->Click();
        Settle(v.Form);
        QCOMPARE(v.Form->RowsLabel->text(), QStringLiteral("1+"));
        QTest::mouseClick(v.Form->CountRowsButton, Qt::LeftButton);
        QCOMPARE(v.Form->RowsLabel->text(), QStringLiteral("2"));
    }

    // Raising the limit reads on a worker: the window keeps its rows and its events
    // while it reads, shows the progress after a moment, and "Stop" keeps the rows
    // read so far. A refresh meanwhile starts over; closing stops the read.
    void limitRaisedReadsOnAWorker() {
        WriteLinesThenNuls(Path("slow.csv"), 100000);
        TViewer v(Path("slow.csv"));
        QCOMPARE(v.Form->SourceView->Count(), 1001);
        dialogs->OnExec = [](QDialog& d) {
            d.findChild<QLineEdit*>(QStringLiteral("InputEdit"))->setText(QStringLiteral("2000000"));
            return int(QDialog::Accepted);
        };
        v.Form->MaxRowsValueLabel->Click();
        QVERIFY(v.Form->Reading());
        QCOMPARE(v.Form->SourceView->Count(), 1001); // the rows shown stay while it reads
        bool beat = false;
        QTimer::singleShot(0, [&] { beat = true; });
        QTRY_VERIFY(beat);
        QTRY_VERIFY(v.Form->ReadPanel->isVisible());
        QVERIFY(!v.Form->Panel4->isVisible());
        // The header, 100,000 lines and the NUL run's line read; now in the run.
        QTRY_COMPARE_WITH_TIMEOUT(v.Form->ReadProgressBar->text(), QStringLiteral("100,002 rows"), 30000);
        QVERIFY(v.Form->Reading());
        QTest::mouseClick(v.Form->StopReadButton, Qt::LeftButton);
        QVERIFY(!v.Form->StopReadButton->isEnabled());
        Settle(v.Form);
        QVERIFY(!v.Form->ReadPanel->isVisible());
        QCOMPARE(v.Form->RowsLabel->text(), QStringLiteral("100,001+"));
        QCOMPARE(v.Form->SourceView->Count(), 100002); // the records and "..."
        QCOMPARE(Cell(v.Form->SourceView, 100001, 0), QStringLiteral("..."));
        QVERIFY(v.Form->CountRowsButton->isVisible());

        QTest::mouseClick(v.Form->RefreshButton, Qt::LeftButton);
        QVERIFY(v.Form->Reading());
        QTest::mouseClick(v.Form->RefreshButton, Qt::LeftButton); // starts over
        QVERIFY(v.Form->Reading());
        QTRY_VERIFY(v.Form->ReadPanel->isVisible());
        QSignalSpy finished(v.Dialog.get(), &QDialog::finished);
        QTest::keyClick(v.Form->SourceView, Qt::Key_Escape);
        QCOMPARE(finished.count(), 1);
        QVERIFY(!v.Form->Reading());
        QVERIFY(v.Form->Preview().Lines.empty());
    }

    // "zarvo --view": the viewer is a window of its own, not a dialog of a window
    // that is never shown, and the dialogs it opens belong to it. Each one runs in
    // its real modal loop: it opens, runs and closes.
    void viewModeDialogsOpenRunAndClose() {
        dialogs.reset(); // the real dialogs
        WriteFile(Path("five.csv"), QByteArray("a,b\n") + QByteArray("1,2\n").repeated(5000));
        const std::unique_ptr<QDialog> viewer = CreateStandaloneViewer(Path("five.csv"));
        auto* form = viewer->findChild<TViewCSVFileForm*>(QStringLiteral("ViewCSVFileForm"));
        QCOMPARE(viewer->windowType(), Qt::Window);
        QVERIFY(!viewer->parentWidget());
        viewer->show();
        QVERIFY(viewer->windowHandle());
        QVERIFY(!viewer->windowHandle()->transientParent());
        Settle(form);
        QCOMPARE(form->RowsLabel->text(), QStringLiteral("1,000+"));

        const auto belongs = [&](QWidget* modal) {
            return modal->windowHandle() &&
                   modal->windowHandle()->transientParent() == viewer->windowHandle();
        };
        QString seen;
        bool owned = false;
        {
            // The options dialog: Escape closes it, nothing changes.
            TWhenShown options(QStringLiteral("MultiInputBox"), [&](QWidget* modal) {
                seen = modal->windowTitle();
                owned = belongs(modal);
                QTest::keyClick(modal, Qt::Key_Escape);
            });
            QTest::mouseClick(form->OptionsButton, Qt::LeftButton);
            QVERIFY(options.Done);
        }
        QCOMPARE(seen, QStringLiteral("View Options"));
        QVERIFY(owned);
        QVERIFY(!form->Reading());
        {
            // The row limit: a new limit, read anew.
            TWhenShown limit(QStringLiteral("MultiInputBox"), [&](QWidget* modal) {
                seen = modal->windowTitle();
                owned = belongs(modal);
                modal->findChild<QLineEdit*>(QStringLiteral("InputEdit"))->setText(QStringLiteral("10"));
                QTest::keyClick(modal, Qt::Key_Return);
            });
            form->MaxRowsValueLabel->Click();
            QVERIFY(limit.Done);
        }
        QCOMPARE(seen, QStringLiteral("Max. View Rows"));
        QVERIFY(owned);
        Settle(form);
        QCOMPARE(form->RowsLabel->text(), QStringLiteral("10+"));
        {
            // "Count Rows...": the wait dialog runs its count and closes itself.
            TWhenShown count(QStringLiteral("WaitDialog"), [&](QWidget* modal) {
                seen = modal->windowTitle();
                owned = belongs(modal);
            });
            QTest::mouseClick(form->CountRowsButton, Qt::LeftButton);
            QVERIFY(count.Done);
        }
        QCOMPARE(seen, QStringLiteral("Count Rows"));
        QVERIFY(owned);
        QCOMPARE(form->RowsLabel->text(), QStringLiteral("5,000"));
        QVERIFY(!QApplication::activeModalWidget());

        // A count that runs long: Escape leaves it, "&Abort" ends it.
        WriteLinesThenNuls(Path("view-slow.csv"), 2000);
        const std::unique_ptr<QDialog> slow = CreateStandaloneViewer(Path("view-slow.csv"));
        auto* slowForm = slow->findChild<TViewCSVFileForm*>(QStringLiteral("ViewCSVFileForm"));
        slow->show();
        Settle(slowForm);
        bool stayed = false;
        {
            TWhenShown abort(QStringLiteral("WaitDialog"), [&](QWidget* modal) {
                QTest::keyClick(modal, Qt::Key_Escape);
                stayed = modal->isVisible();
                QTest::mouseClick(modal->findChild<QPushButton*>(QStringLiteral("AbortButton")),
                                  Qt::LeftButton);
            });
            QTest::mouseClick(slowForm->CountRowsButton, Qt::LeftButton);
            QVERIFY(abort.Done);
        }
        QVERIFY(stayed);
        QCOMPARE(slowForm->RowsLabel->text(), QStringLiteral("1,000+"));
        QVERIFY(!QApplication::activeModalWidget());
        dialogs = std::make_unique<TFakeDialogs>();
    }

    void mainWindowViewButton() {
        TForm1 main;
        main.show();
        main.Edit9->setText(kDatabase);
        QString title, rows;
        bool noHeader = false, counting = true, link = true;
        dialogs->OnExec = [&](QDialog& d) {
            auto* form = d.findChild<TViewCSVFileForm*>(QStringLiteral("ViewCSVFileForm"));
            d.show();
            Settle(form);
            title = d.windowTitle();
            noHeader = form->NoHeaderCheckBox->isChecked();
            counting = form->CountRowsButton->isVisibleTo(form);
            link = form->MaxRowsValueLabel->cursor().shape() == Qt::PointingHandCursor;
            rows = form->RowsLabel->text();
            return int(QDialog::Rejected);
        };
        QTest::mouseClick(main.Button4, Qt::LeftButton);
        QCOMPARE(title, kDatabase + QStringLiteral(" - GeoIP2 MMDB"));
        QVERIFY(noHeader);
        QVERIFY(!counting);
        QVERIFY(!link);
        QVERIFY(rows != QStringLiteral("0"));
    }
};

QTEST_MAIN(ViewerTest)
#include "viewer_test.moc"
