// The file viewer window offscreen: the preview of CSV, text and database sources,
// the status rows, "No Header", copying, counting rows with an abort, Escape, and
// the main window's "View..." button.
#include <QCheckBox>
#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

#include "FakeDialogs.h"
#include "app/Unit1.h"
#include "mmdb/uMMDBLineReader.h"
#include "mmdb/uMMDBReader.h"
#include "viewer/qt/ListViewExUnit.h"
#include "viewer/qt/ViewCSVFileUnit.h"
#include "viewer/qt/WaitDialogUnit.h"

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
    }
};

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
        copy->trigger();
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("1,\"one\r\ntwo\r\nthree\""));
        // Ctrl+A then the shortcut: both records, the "..." row not being there.
        QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(view->SelectedRows().size(), size_t(2));
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
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

    void mainWindowViewButton() {
        TForm1 main;
        main.show();
        main.Edit9->setText(kDatabase);
        QString title, rows;
        bool noHeader = false, counting = true, link = true;
        dialogs->OnExec = [&](QDialog& d) {
            auto* form = d.findChild<TViewCSVFileForm*>(QStringLiteral("ViewCSVFileForm"));
            d.show();
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
