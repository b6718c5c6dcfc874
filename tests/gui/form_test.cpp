// The main window driven as a user would: controls found by object name, clicks
// and typing through QTest, modal boxes and file dialogs answered by TFakeDialogs.
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeySequence>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSplitter>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>
#include <algorithm>
#include <memory>

#include "WindowFixture.h"
#include "support/ZarvoText.h"

using zarvo::qt::TLinesEdit;

namespace {

// The name changes announced while a test listens: the object's name and its
// accessible name then.
struct TNameChange {
    QString Object, Name;
};
std::vector<TNameChange> gNameChanges;

void RecordNameChange(QAccessibleEvent* event) {
    if (event->type() != QAccessible::NameChanged) return;
    auto* w = qobject_cast<QWidget*>(event->object());
    if (!w) return;
    gNameChanges.push_back({w->objectName(), AccessibleName(w)});
}

// Listens to the bus for one test.
struct TNameChangeListener {
    TNameChangeListener() {
        gNameChanges.clear();
        // As when a screen reader is attached: without one, no events are sent.
        QAccessible::setActive(true);
        QAccessible::installUpdateHandler(RecordNameChange);
    }
    ~TNameChangeListener() {
        QAccessible::installUpdateHandler(nullptr);
        QAccessible::setActive(false);
    }
    TNameChangeListener(const TNameChangeListener&) = delete;
    TNameChangeListener& operator=(const TNameChangeListener&) = delete;
    // The name last announced for the object ("(none)" when none was).
    static QString Last(const QString& object) {
        QString out = QStringLiteral("(none)");
        for (const TNameChange& c : gNameChanges)
            if (c.Object == object) out = c.Name;
        return out;
    }
};

QStringList PaneLines(const TLinesEdit* pane) {
    QStringList out;
    for (size_t i = 0; i < pane->LineCount(); ++i) {
        const std::string_view l = pane->Buffer().Row(i);
        out << QString::fromUtf8(l.data(), qsizetype(l.size()));
    }
    return out;
}

// A caption as it is shown: the mnemonic mark taken out ("&&" shows one "&").
QString Shown(const QString& caption) {
    QString out;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == QLatin1Char('&') && i + 1 < caption.size()) ++i;
        out += caption[i];
    }
    return out;
}

// The caption's Alt shortcut as Qt reads it; empty for none.
QKeySequence Mnemonic(const QString& caption) {
    return QKeySequence::mnemonic(caption);
}

// A file's bytes; empty while it cannot be opened.
QByteArray FileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class FormTest : public TWindowFixture {
    Q_OBJECT

    void typeInto(QWidget* w, const QString& text) {
        if (auto* e = qobject_cast<QLineEdit*>(w)) e->clear();
        if (auto* m = qobject_cast<QPlainTextEdit*>(w)) m->clear();
        QTest::keyClicks(w, text);
    }
    void setRanges(const QString& text) {
        auto* memo = child<QPlainTextEdit>("Memo1");
        memo->clear();
        const QStringList lines = text.split(QLatin1Char('\n'));
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (i) QTest::keyClick(memo, Qt::Key_Return);
            QTest::keyClicks(memo, lines[i]);
        }
    }
    // Presses "Generate IPs" and waits for the run to end.
    void generate() {
        click("StartButton");
        QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>("StartButton")->isEnabled(), 30000);
        QCOMPARE(form->ActiveThreads(), 0);
    }
    TLinesEdit* pane() { return child<TLinesEdit>("Memo2"); }
    // Clicks Save or Shuffle, whose work goes to a thread of its own, and waits for its end.
    void clickAndWait(const char* name) {
        click(name);
        QTRY_VERIFY_WITH_TIMEOUT(!form->PaneTaskRunning(), 30000);
    }
    // Clear, Shuffle and Save: enabled only while no run or long step is under way.
    void checkPaneButtons(bool enabled) {
        for (const char* name : {"Button2", "Button10", "Button3"})
            QVERIFY2(child<QWidget>(name)->isEnabled() == enabled, name);
    }

private Q_SLOTS:
    void initTestCase() { InitApplication(); }
    void init() { openWindow(); }
    void cleanup() { closeWindow(); }

    void captionRule() {
        QCOMPARE(TForm1::MakeCaption("Zarvo", "2.13.0.92", "x64"), QString("Zarvo 2.13 [x64] (build 92)"));
        QCOMPARE(TForm1::FormatYearNotice("(c) 2013-20%.2d", 2031), QString("(c) 2013-2031"));
        QCOMPARE(TForm1::FormatYearNotice("(c) 2013-20%.2d", 2005), QString("(c) 2013-2005"));
        // The build's own version: 2.0.0.1.
        QVERIFY(form->windowTitle().startsWith("Zarvo 2.0 ["));
        QVERIFY(form->windowTitle().endsWith("] (build 1)"));
        QCOMPARE(form->AppVer(), QString("2.0"));
    }

    void titleIsTheCaption() {
        // The window system's title is the window's title followed by " — " and the
        // display name, unless no display name is set or the title ends with it.
        const QString caption = TForm1::Caption();
        QCOMPARE(form->windowTitle(), caption);
        const QString displayName = QGuiApplication::applicationDisplayName();
        QVERIFY(displayName.isEmpty() || caption.endsWith(displayName));
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QCOMPARE(form->windowHandle()->title(), caption);
        // Message boxes of the window carry its caption.
        setRanges("10.0.0.0/8");
        generate();
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QCOMPARE(dialogs->Boxes.front().Title, caption);
    }

    void startSequence() {
        QVERIFY(child<QLabel>("Label14")->text().contains("%.2d"));
        QCOMPARE(child<QLabel>("Label22")->text(), QString("Edition"));
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        const QString yy = QString::asprintf("%.2d", QDate::currentDate().year() - 2000);
        QVERIFY(child<QLabel>("Label14")->text().endsWith("-20" + yy + " Zarvo developers."));
        QCOMPARE(child<QLabel>("Label22")->text(), QString("64-Bit Edition"));
        // The tracker's refreshes keep the idle texts.
        form->Progress().Display();
        QCOMPARE(child<QLabel>("StatusLabel")->text(), QString("Status"));
        QCOMPARE(child<QLabel>("ProgressLabel")->text(), QString("0 %"));
        QCOMPARE(child<QLabel>("ElapsedLabel")->text(), QString("0:00:00"));
        auto* splitter = child<QSplitter>("Splitter1");
        QCOMPARE(splitter->count(), 2);
        QVERIFY(splitter->widget(0)->isAncestorOf(child<QWidget>("Memo2")));
        QVERIFY(splitter->widget(1)->isAncestorOf(child<QWidget>("Memo3")));
        QCOMPARE(form->width(), 1047);
        QCOMPARE(form->height(), 686);
    }

    void initialControls_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("Label1") << "Label1"
                                << "IP Ranges (CIDR notation):" << true;
        QTest::newRow("CheckBox8") << "CheckBox8"
                                   << "Usable host IP addresses" << true;
        QTest::newRow("CheckBox4") << "CheckBox4"
                                   << "Exclude (example: *.0):" << true;
        QTest::newRow("CheckBox6") << "CheckBox6"
                                   << "Escape IPv6 with square brackets" << true;
        QTest::newRow("LowerIPv6CheckBox") << "LowerIPv6CheckBox"
                                           << "IPv6 in lower case (RFC 5952)" << true;
        QTest::newRow("CheckBox2") << "CheckBox2"
                                   << "Add Port Numbers:" << true;
        QTest::newRow("Edit3") << "Edit3"
                               << "80" << true;
        QTest::newRow("Label9") << "Label9"
                                << "Example: 80,3128-3130" << true;
        QTest::newRow("CheckBox3") << "CheckBox3"
                                   << "Generate Names using template:" << true;
        QTest::newRow("Edit4") << "Edit4"
                               << "mail#.example.com" << true;
        QTest::newRow("Label12") << "Label12"
                                 << "IP quadrants: %1,%2,  ..." << true;
        QTest::newRow("Label10") << "Label10"
                                 << "Source range: %s" << true;
        QTest::newRow("Label11") << "Label11"
                                 << "Counter Symbol:" << true;
        QTest::newRow("Edit5") << "Edit5"
                               << "1" << true;
        QTest::newRow("Edit6") << "Edit6"
                               << "1" << true;
        QTest::newRow("Edit7") << "Edit7"
                               << "1" << true;
        QTest::newRow("Label21") << "Label21"
                                 << "Delimiter:" << true;
        QTest::newRow("Edit8") << "Edit8"
                               << "|" << true;
        QTest::newRow("RadioButton1") << "RadioButton1"
                                      << "All IPs" << true;
        QTest::newRow("RadioButton2") << "RadioButton2"
                                      << "Total Count:" << true;
        QTest::newRow("RadioButton3") << "RadioButton3"
                                      << "For Each Range:" << true;
        QTest::newRow("Edit1") << "Edit1"
                               << "10" << true;
        QTest::newRow("Edit2") << "Edit2"
                               << "10" << true;
        QTest::newRow("CheckBox1") << "CheckBox1"
                                   << "Random Order" << true;
        QTest::newRow("CheckBox5") << "CheckBox5"
                                   << "Append" << true;
        QTest::newRow("CheckBox7") << "CheckBox7"
                                   << "Resolve IP country" << true;
        QTest::newRow("Label3") << "Label3"
                                << "GeipIP2 MMDB File:" << true;
        QTest::newRow("Edit9") << "Edit9"
                               << "" << true;
        QTest::newRow("Button4") << "Button4"
                                 << "View..." << true;
        QTest::newRow("Button11") << "Button11"
                                  << "Browse..." << true;
        QTest::newRow("Label26") << "Label26"
                                 << "Only countries:" << true;
        QTest::newRow("Edit10") << "Edit10"
                                << "" << true;
        QTest::newRow("Label25") << "Label25"
                                 << "Country field:" << true;
        QTest::newRow("StartButton") << "StartButton"
                                     << "Generate IPs" << true;
        QTest::newRow("BreakButton") << "BreakButton"
                                     << "Break" << false;
        QTest::newRow("ProgressLabel") << "ProgressLabel"
                                       << "0 %" << true;
        QTest::newRow("ElapsedTitleLabel") << "ElapsedTitleLabel"
                                           << "Elapsed:" << true;
        QTest::newRow("ElapsedLabel") << "ElapsedLabel"
                                      << "0:00:00" << true;
        QTest::newRow("StatusLabel") << "StatusLabel"
                                     << "Status" << true;
        QTest::newRow("Label24") << "Label24"
                                 << "Save, Load or Delete stored IP Generation Settings." << true;
        QTest::newRow("SettingsNameEdit") << "SettingsNameEdit"
                                          << "" << true;
        QTest::newRow("SettingsSaveButton") << "SettingsSaveButton"
                                            << "Save" << false;
        QTest::newRow("SettingsLoadButton") << "SettingsLoadButton"
                                            << "Load" << false;
        QTest::newRow("SettingsDeleteButton") << "SettingsDeleteButton"
                                              << "Delete" << false;
        QTest::newRow("Label2") << "Label2"
                                << "IPs (0):" << true;
        QTest::newRow("Button2") << "Button2"
                                 << "Clear" << true;
        QTest::newRow("Button10") << "Button10"
                                  << "Shuffle" << true;
        QTest::newRow("Button3") << "Button3"
                                 << "Save to file..." << true;
        QTest::newRow("Label18") << "Label18"
                                 << "Delimiter:" << true;
        QTest::newRow("Button5") << "Button5"
                                 << "Reverse DNS Lookup >>" << true;
        QTest::newRow("Label7") << "Label7"
                                << "0" << true;
        QTest::newRow("DNSStateLabel") << "DNSStateLabel"
                                       << "Not started" << true;
        // Like Break of a run: enabled only while a lookup is under way.
        QTest::newRow("Button9") << "Button9"
                                 << "Break DNS Lookup" << false;
        QTest::newRow("Button8") << "Button8"
                                 << "Clear DNS Lookup Results" << true;
        QTest::newRow("Label6") << "Label6"
                                << "DNS Servers:" << true;
        QTest::newRow("DNSTimeoutLabel") << "DNSTimeoutLabel"
                                         << "Timeout (ms):" << true;
        QTest::newRow("DNSInFlightLabel") << "DNSInFlightLabel"
                                          << "In flight:" << true;
        QTest::newRow("Button1") << "Button1"
                                 << "Use Google Public DNS Servers:" << true;
        QTest::newRow("Label4") << "Label4"
                                << "Resolved IPs - IP,Domain (0):" << true;
        QTest::newRow("Button6") << "Button6"
                                 << "Save to file..." << true;
        QTest::newRow("Label19") << "Label19"
                                 << "Delimiter:" << true;
        QTest::newRow("Label5") << "Label5"
                                << "Unresolved IPs (0):" << true;
        QTest::newRow("Button7") << "Button7"
                                 << "Save to file..." << true;
        QTest::newRow("Label20") << "Label20"
                                 << "Delimiter:" << true;
        QTest::newRow("Label15") << "Label15"
                                 << "Zarvo developers" << true;
        QTest::newRow("Button12") << "Button12"
                                  << "Close" << true;
    }
    void initialControls() {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(bool, enabled);
        QWidget* w = form->findChild<QWidget*>(name);
        QVERIFY2(w, qPrintable(name));
        QString actual;
        if (auto* b = qobject_cast<QAbstractButton*>(w))
            actual = b->text();
        else if (auto* l = qobject_cast<QLabel*>(w))
            actual = l->text();
        else if (auto* e = qobject_cast<QLineEdit*>(w))
            actual = e->text();
        // A caption may mark its shortcut's letter; what shows is the caption itself.
        QCOMPARE(Shown(actual), text);
        QVERIFY2(actual.count(QLatin1Char('&')) <= 1, qPrintable(actual));
        QCOMPARE(w->isEnabled(), enabled);
        if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QLabel*>(w)) {
            // Captions are read as they are, never from a name frozen at creation.
            QVERIFY2(w->accessibleName().isEmpty(), qPrintable(name));
            QCOMPARE(AccessibleName(w), Shown(actual));
        } else {
            QVERIFY2(!AccessibleName(w).isEmpty() && AccessibleName(w) != name, qPrintable(name));
        }
    }

    void initialLists() {
        auto items = [this](const char* name) {
            QStringList out;
            auto* c = child<QComboBox>(name);
            for (int i = 0; i < c->count(); ++i) out << c->itemText(i);
            return out;
        };
        const QStringList listDelims = {"End-Of-Line", "Comma", "Semicolon"};
        QCOMPARE(items("ComboBox1"), QStringList({"#", "@"}));
        QCOMPARE(child<QComboBox>("ComboBox1")->currentText(), QString("#"));
        QVERIFY(child<QComboBox>("ComboBox1")->isEditable());
        QCOMPARE(items("ComboBox5"), QStringList({"Whitespace", "Tab", "Comma", "Semicolon", "Custom"}));
        QVERIFY(!child<QComboBox>("ComboBox5")->isEditable());
        for (const char* c : {"ComboBox2", "ComboBox3", "ComboBox4"}) {
            QCOMPARE(items(c), listDelims);
            QCOMPARE(child<QComboBox>(c)->currentIndex(), 0);
        }
        QCOMPARE(child<QComboBox>("ComboBox5")->currentIndex(), 0);
        QVERIFY(child<QRadioButton>("RadioButton1")->isChecked());
        QCOMPARE(child<QGroupBox>("GroupBox1")->title(), QString("Count"));
        QVERIFY(child<QLineEdit>("Edit8")->isHidden());
        QCOMPARE(
            child<QPlainTextEdit>("Memo7")->toPlainText(),
            QString(
                "127.0.0.1/24\nA=192.168.1.100/16/24\nfdc7:200d:3e17::/120\nB=fdc7:200d:3e17::fb05/48/60"));
        QVERIFY(child<QPlainTextEdit>("Memo7")->isReadOnly());
        QCOMPARE(child<QPlainTextEdit>("Memo5")->toPlainText(), QString("8.8.8.8\n8.8.4.4"));
        QCOMPARE(child<QPlainTextEdit>("Memo8")->toPlainText(), QString("8.8.8.8\n8.8.4.4"));
        QCOMPARE(child<QPlainTextEdit>("Memo1")->lineWrapMode(), QPlainTextEdit::NoWrap);
        QCOMPARE(child<QProgressBar>("TotalProgressBar")->value(), 0);
        QCOMPARE(child<QProgressBar>("TotalProgressBar")->maximum(), 100);
        QCOMPARE(child<QProgressBar>("ProgressBar1")->value(), 0);
        QCOMPARE(pane()->LineCount(), size_t(0));
    }

    // Each edit, list and pane is called by the label or button that governs it.
    void accessibleNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        const std::pair<const char*, const char*> rows[] = {
            {"Memo1", "IP Ranges (CIDR notation):"},
            {"Memo7", "Ex.:"},
            {"Memo6", "Exclude (example: *.0):"},
            {"Edit3", "Add Port Numbers:"},
            {"Edit4", "Generate Names using template:"},
            {"ComboBox1", "Counter Symbol:"},
            {"Edit5", "First Number:"},
            {"Edit6", "Step:"},
            {"Edit7", "Min. Digits:"},
            {"ComboBox5", "Delimiter:"},
            {"Edit8", "Custom Delimiter:"},
            {"Edit1", "Total Count:"},
            {"Edit2", "For Each Range:"},
            {"Edit9", "GeipIP2 MMDB File:"},
            {"Edit10", "Only countries:"},
            {"ComboBox6", "Country field:"},
            {"SettingsListBox", "Save, Load or Delete stored IP Generation Settings."},
            {"SettingsNameEdit", "Settings Name:"},
            {"Memo2", "IPs (0):"},
            {"ComboBox2", "Delimiter:"},
            {"Memo5", "DNS Servers:"},
            {"Memo8", "Google Public DNS Servers:"},
            {"DNSTimeoutSpin", "Timeout (ms):"},
            {"DNSInFlightSpin", "In flight:"},
            {"Memo3", "Resolved IPs - IP,Domain (0):"},
            {"ComboBox3", "Delimiter:"},
            {"Memo4", "Unresolved IPs (0):"},
            {"ComboBox4", "Delimiter:"},
        };
        for (const auto& [name, expected] : rows) QTest::newRow(name) << name << expected;
    }
    void accessibleNames() {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QWidget* w = child<QWidget>(qPrintable(name));
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        QVERIFY(a);
        // A label governs through the bus's label relation as well.
        QStringList labels;
        for (const auto& [other, relation] : a->relations(QAccessible::Label))
            labels << other->text(QAccessible::Name);
        // (A control in a group box is labelled by the box too.)
        if (!qobject_cast<QGroupBox*>(w->parentWidget()))
            QVERIFY(labels.isEmpty() || labels == QStringList{expected});
#ifdef Q_OS_UNIX
        // There Qt names a list box by its choice and leaves the label to the relation.
        if (qobject_cast<QComboBox*>(w)) {
            QCOMPARE(labels, QStringList{expected});
            return;
        }
#endif
        QCOMPARE(a->text(QAccessible::Name), expected);
    }

    void everyStopHasAName() {
        for (QWidget* w : form->findChildren<QWidget*>()) {
            if (auto* l = qobject_cast<QLabel*>(w)) {
                QVERIFY2(l->accessibleName().isEmpty(), qPrintable(w->objectName()));
                QCOMPARE(AccessibleName(w), l->buddy() ? Shown(l->text()) : l->text());
            } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
                QVERIFY2(b->accessibleName().isEmpty(), qPrintable(w->objectName()));
                QCOMPARE(AccessibleName(w), Shown(b->text()));
            }
            if (!(w->focusPolicy() & Qt::TabFocus) || w->focusProxy() || w->objectName().isEmpty()) continue;
            if (qobject_cast<QComboBox*>(w)) continue; // see accessibleNames
            const QString n = AccessibleName(w);
            QVERIFY2(!n.isEmpty() && n != w->objectName(), qPrintable(w->objectName()));
        }
    }

    // Alt and a letter reach one control each: the main actions and every check box
    // have one, no two controls of the window share one, and a label's mark is its
    // buddy's. A caption marks one letter of its own text (checked in initialControls).
    void shortcutsAreUnique() {
        QMap<QString, QString> owners; // shortcut -> control
        for (QWidget* w : form->findChildren<QWidget*>()) {
            QString caption;
            if (auto* b = qobject_cast<QAbstractButton*>(w))
                caption = b->text();
            else if (auto* g = qobject_cast<QGroupBox*>(w))
                caption = g->title();
            else if (auto* l = qobject_cast<QLabel*>(w)) {
                // Without a buddy a label shows "&" as it is: it must hold none.
                if (!l->buddy()) {
                    QVERIFY2(!l->text().contains(QLatin1Char('&')), qPrintable(w->objectName()));
                    continue;
                }
                caption = l->text();
            } else
                continue;
            const QString key = Mnemonic(caption).toString();
            if (key.isEmpty()) continue;
            QVERIFY2(!owners.contains(key), qPrintable(key + QStringLiteral(": ") + owners.value(key) +
                                                       QStringLiteral(" and ") + w->objectName()));
            owners[key] = w->objectName();
        }
        for (const char* name :
             {"StartButton",    "BreakButton",      "Button2",   "Button10",     "Button3",
              "Button5",        "Button9",          "Button4",   "Button11",     "CheckBox8",
              "UniqueCheckBox", "CheckBox4",        "CheckBox6", "CheckBox2",    "CheckBox3",
              "CheckBox1",      "CheckBox5",        "CheckBox7", "RadioButton1", "RadioButton2",
              "RadioButton3",   "LowerIPv6CheckBox"})
            QVERIFY2(!Mnemonic(child<QAbstractButton>(name)->text()).isEmpty(), name);
        // The range box and the database path are reached through their labels.
        QCOMPARE(Mnemonic(child<QLabel>("Label1")->text()), QKeySequence(Qt::ALT | Qt::Key_I));
        QCOMPARE(child<QLabel>("Label1")->buddy(), child<QWidget>("Memo1"));
        QCOMPARE(Mnemonic(child<QLabel>("Label3")->text()), QKeySequence(Qt::ALT | Qt::Key_M));
        QCOMPARE(child<QLabel>("Label3")->buddy(), child<QWidget>("Edit9"));
    }

    // The shortcuts act from inside an edit, whose text stays as it was; an Alt and
    // letter that no enabled control answers types nothing.
    void shortcutsActFromAnEdit() {
        form->show();
        QApplication::setActiveWindow(form.get());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        setRanges("10.0.0.0/30");
        auto* ranges = child<QPlainTextEdit>("Memo1");
        ranges->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), ranges);
        QTest::keyClick(ranges, Qt::Key_G, Qt::AltModifier);
        QTRY_VERIFY_WITH_TIMEOUT(pane()->LineCount() == 4 && child<QPushButton>("StartButton")->isEnabled(),
                                 30000);
        QCOMPARE(ranges->toPlainText(), QString("10.0.0.0/30"));
        // A check box is ticked; a label's shortcut moves to its edit.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_R, Qt::AltModifier);
        QTRY_VERIFY(child<QCheckBox>("CheckBox7")->isChecked());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_M, Qt::AltModifier);
        QTRY_COMPARE(QApplication::focusWidget(), child<QWidget>("Edit9"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_I, Qt::AltModifier);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(ranges));
        // Break is disabled while no run goes, and J is no control's.
        QTest::keyClick(ranges, Qt::Key_B, Qt::AltModifier);
        QTest::keyClick(ranges, Qt::Key_J, Qt::AltModifier);
        QTest::keyClick(child<QLineEdit>("Edit9"), Qt::Key_K, Qt::AltModifier);
        QCOMPARE(ranges->toPlainText(), QString("10.0.0.0/30"));
        QVERIFY(child<QLineEdit>("Edit9")->text().isEmpty());
        // AltGr (Ctrl and Alt) still types.
        QTest::keyClick(ranges, Qt::Key_At, Qt::ControlModifier | Qt::AltModifier);
        QCOMPARE(ranges->toPlainText(), QString("10.0.0.0/30@"));
    }

    // Tab goes round every control that takes input, and passes the read-only
    // examples (the ranges' and the Google servers') by; the mouse still selects them.
    void tabPassesReadOnlyBoxesBy() {
        form->show();
        QApplication::setActiveWindow(form.get());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        auto* ranges = child<QWidget>("Memo1");
        ranges->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), ranges);
        QList<QWidget*> stops;
        for (int i = 0; i < 200; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* f = QApplication::focusWidget();
            if (!f || f == ranges) break;
            stops << f;
        }
        QCOMPARE(QApplication::focusWidget(), ranges); // round the whole chain
        const auto reached = [&](const char* name) {
            QWidget* w = child<QWidget>(name);
            return std::any_of(stops.begin(), stops.end(),
                               [w](QWidget* s) { return s == w || w->isAncestorOf(s); });
        };
        for (const char* name : {"Memo7", "Memo8"}) {
            QVERIFY2(!reached(name), name);
            QVERIFY(child<QWidget>(name)->focusPolicy() & Qt::ClickFocus);
        }
        for (const char* name :
             {"CheckBox8", "Memo6", "Edit9", "StartButton", "Memo2", "Button5", "Memo5", "DNSTimeoutSpin",
              "DNSInFlightSpin", "Button1", "Memo3", "Memo4", "Button12"})
            QVERIFY2(reached(name), name);
    }

    // The file dialogs' history (Qt's QtProject.conf) goes into the settings folder,
    // never into the user's configuration folder.
    void fileDialogHistoryStaysInTheSettingsFolder() {
        const QString userConfig = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        const QString userFile = userConfig + QStringLiteral("/QtProject.conf");
        QFile::remove(userFile); // a test's own configuration folder (see CMakeLists.txt)
        KeepToolkitSettingsInSettingsFolder();
        {
            QFileDialog dialog(nullptr, QString(), settingsDir->path());
            dialog.setOption(QFileDialog::DontUseNativeDialog);
        } // the dialog writes its history as it goes
        QVERIFY(QFile::exists(settingsDir->filePath(QStringLiteral("QtProject.conf"))));
        QVERIFY(!QFile::exists(userFile));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, userConfig);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, userConfig);
    }

    // Captions are read as they change, announced, and rename the panes they govern.
    void namesFollowCaptions() {
        TNameChangeListener listener;
        // Without an assistive technology attached (as offscreen) Qt sends no events.
        const bool announced = QAccessible::isActive();
        setRanges("10.0.0.0/30");
        generate();
        QCOMPARE(AccessibleName(child<QWidget>("StatusLabel")), QString("4 IPs generated."));
        QCOMPARE(AccessibleName(child<QWidget>("Label2")), QString("IPs (4):"));
        QCOMPARE(AccessibleName(pane()), QString("IPs (4):"));
        QCOMPARE(QAccessible::queryAccessibleInterface(pane())->role(), QAccessible::EditableText);
        QCOMPARE(AccessibleName(child<QWidget>("ProgressLabel")), QString("100 %"));
        if (announced) {
            QCOMPARE(listener.Last("StatusLabel"), QString("4 IPs generated."));
            QCOMPARE(listener.Last("Label2"), QString("IPs (4):"));
            QCOMPARE(listener.Last("Memo2"), QString("IPs (4):"));
            QCOMPARE(listener.Last("ProgressLabel"), QString("100 %"));
        }
        struct {
            const char *memo, *label, *caption;
        } const lists[] = {{"Memo3", "Label4", "Resolved IPs - IP,Domain (2):"},
                           {"Memo4", "Label5", "Unresolved IPs (2):"}};
        for (const auto& l : lists) {
            child<QPlainTextEdit>(l.memo)->setPlainText("a\nb");
            QCOMPARE(AccessibleName(child<QWidget>(l.label)), QString(l.caption));
            QCOMPARE(AccessibleName(child<QWidget>(l.memo)), QString(l.caption));
            if (announced) {
                QCOMPARE(listener.Last(l.label), QString(l.caption));
                QCOMPARE(listener.Last(l.memo), QString(l.caption));
            }
        }
        if (!announced) QSKIP("names checked; the platform sends no accessibility events here");
    }

    // Every text the percent label takes ends in "%" and fits its width when the
    // tracker's refresh paints it (before the layout has had a turn).
    void percentLabelKeepsItsSign() {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        auto* label = child<QLabel>("ProgressLabel");
        QStringList texts, clipped;
        form->Progress().OnDisplay = [&](zarvo::TProgress&) {
            texts << label->text();
            if (label->contentsRect().width() < label->fontMetrics().horizontalAdvance(label->text()))
                clipped << label->text();
        };
        setRanges("10.0.0.0/30");
        generate();
        form->Progress().OnDisplay = nullptr;
        QVERIFY(!texts.isEmpty());
        QCOMPARE(texts.last(), QString("100 %"));
        for (const QString& t : texts) QVERIFY2(t.endsWith(QLatin1Char('%')), qPrintable(t));
        QCOMPARE(clipped, QStringList());
    }

    void enterPressesButton_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Return") << int(Qt::Key_Return) << int(Qt::NoModifier);
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
        QTest::newRow("Space") << int(Qt::Key_Space) << int(Qt::NoModifier);
    }
    void enterPressesButton() {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        pane()->SetText("a\nb\n");
        auto* clear = child<QPushButton>("Button2");
        clear->setFocus();
        QSignalSpy clicked(clear, &QPushButton::clicked);
        QTest::keyClick(clear, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(pane()->LineCount(), size_t(0));
    }

    // A step started from the keyboard on a button that it disables gives the focus
    // back to that button at its end.
    void focusReturnsAfterAStep_data() {
        QTest::addColumn<QString>("button");
        QTest::newRow("run") << "StartButton";
        QTest::newRow("shuffle") << "Button10";
        QTest::newRow("save") << "Button3";
    }
    void focusReturnsAfterAStep() {
        QFETCH(QString, button);
        form->show();
        QApplication::setActiveWindow(form.get());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        setRanges("10.0.0.0/30");
        pane()->SetText("a\nb\nc\n");
        QTemporaryDir dir;
        dialogs->FileAnswers.push_back(QStringList{dir.filePath("out.txt")});
        auto* start = child<QPushButton>(qPrintable(button));
        start->setFocus();
        QTest::keyClick(start, Qt::Key_Return);
        QVERIFY(!start->isEnabled());
        QVERIFY(QApplication::focusWidget() != start);
        QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 30000);
        QCOMPARE(QApplication::focusWidget(), start);
        if (button == "StartButton") QCOMPARE(pane()->LineCount(), size_t(4));
        if (button == "Button3") QVERIFY(QFileInfo::exists(dir.filePath("out.txt")));
    }

    // "Custom" shows its edit in room kept for it: nothing else moves.
    void customDelimiterMovesNothing() {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        auto geometries = [this] {
            QList<QRect> out;
            for (QWidget* w : form->findChildren<QWidget*>())
                if (w->isVisible() && w->objectName() != "Edit8") out << w->geometry();
            return out;
        };
        const QList<QRect> before = geometries();
        child<QComboBox>("ComboBox5")->setCurrentIndex(4);
        QApplication::processEvents();
        auto* edit8 = child<QLineEdit>("Edit8");
        QVERIFY(edit8->isVisible());
        QCOMPARE(geometries(), before);
        // Room for a delimiter of several characters.
        QVERIFY(edit8->width() >= edit8->fontMetrics().horizontalAdvance("MMMMMMMM"));
        QVERIFY(form->rect().contains(edit8->mapTo(form.get(), edit8->rect().bottomRight())));
    }

    // At its minimum size the window clips no caption: the size comes from the layouts.
    void nothingClippedAtMinimumSize() {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        child<QComboBox>("ComboBox5")->setCurrentIndex(4);
        form->resize(form->minimumSize());
        QTRY_COMPARE(form->size(), form->minimumSize());
        QApplication::processEvents();
        for (QWidget* w : form->findChildren<QWidget*>()) {
            if (!w->isVisible()) continue;
            const bool button = qobject_cast<QPushButton*>(w) != nullptr;
            if (!button && !qobject_cast<QLabel*>(w) && !qobject_cast<QCheckBox*>(w) &&
                !qobject_cast<QRadioButton*>(w) && !qobject_cast<QComboBox*>(w))
                continue;
            const QSize need = button ? w->sizeHint() : w->minimumSizeHint();
            QVERIFY2(w->width() >= need.width(), qPrintable(w->objectName()));
            const QRect inWindow(w->mapTo(form.get(), QPoint(0, 0)), w->size());
            QVERIFY2(form->rect().contains(inWindow), qPrintable(w->objectName()));
        }
    }

    void optionCopy() {
        setRanges("10.0.0.0/30\nB=10.1.0.0/24");
        click("CheckBox8");
        click("CheckBox4");
        typeInto(child<QPlainTextEdit>("Memo6"), "*.0");
        click("CheckBox2");
        typeInto(child<QLineEdit>("Edit3"), "80,3128-3130");
        click("CheckBox3");
        typeInto(child<QLineEdit>("Edit4"), "h#.example.org");
        child<QComboBox>("ComboBox1")->setCurrentIndex(1);
        typeInto(child<QLineEdit>("Edit5"), "$10");
        typeInto(child<QLineEdit>("Edit6"), "2");
        typeInto(child<QLineEdit>("Edit7"), "3");
        child<QComboBox>("ComboBox5")->setCurrentIndex(2);
        click("RadioButton3");
        typeInto(child<QLineEdit>("Edit2"), "7");
        click("CheckBox1");
        click("CheckBox6");
        click("LowerIPv6CheckBox");
        std::optional<zarvo::TGenerateRequest> r = form->ReadRequest();
        QVERIFY(r);
        QCOMPARE(r->IPRanges, (std::vector<std::string>{"10.0.0.0/30", "B=10.1.0.0/24"}));
        QVERIFY(r->UsableHosts);
        QCOMPARE(r->ExcludeMasks, std::vector<std::string>{"*.0"});
        QCOMPARE(r->Ports, std::optional<std::string>("80,3128-3130"));
        QVERIFY(r->GenerateNames);
        QCOMPARE(r->Names.Template, std::string("h#.example.org"));
        QCOMPARE(r->Names.Symbol, std::string("@"));
        QCOMPARE(r->Names.First, 16);
        QCOMPARE(r->Names.Step, 2);
        QCOMPARE(r->Names.Digits, 3);
        QCOMPARE(r->Names.Delimiter, std::string(","));
        QCOMPARE(r->Mode, zarvo::gcForEach);
        QCOMPARE(r->Count, 7);
        QVERIFY(r->RandomOrder);
        QVERIFY(r->EscapeIPv6);
        QVERIFY(r->LowerIPv6);
        QVERIFY(!r->Append);
        QVERIFY(!r->ResolveCountry);
        // The budget is the request's own unless the window sets one.
        QCOMPARE(r->MemoryBudget, zarvo::TGenerateRequest().MemoryBudget);

        // Switched off again, the engine gets the fixed values.
        click("CheckBox3");
        click("CheckBox2");
        click("CheckBox4");
        click("RadioButton1");
        r = form->ReadRequest();
        QVERIFY(r);
        QVERIFY(!r->GenerateNames);
        QVERIFY(r->Names.Template.empty() && r->Names.Symbol.empty());
        QCOMPARE(r->Names.Delimiter, std::string(" "));
        QCOMPARE(r->Names.First, 1);
        QVERIFY(!r->Ports);
        QVERIFY(r->ExcludeMasks.empty());
        QCOMPARE(r->Mode, zarvo::gcAllCount);
        QCOMPARE(r->Count, 0);
        QVERIFY(dialogs->Boxes.empty());
    }

    // The country group's field and countries go into the request as typed; a
    // country that is not two letters refuses the start, named.
    void countryFieldAndOnlyCountries() {
        auto* field = child<QComboBox>("ComboBox6");
        QCOMPARE(field->currentText(), QString("country.iso_code"));
        QVERIFY(field->isEditable());
        QCOMPARE(field->count(), 8);
        click("CheckBox7");
        typeInto(child<QLineEdit>("Edit9"), "/data/GeoLite2-City.mmdb");
        std::optional<zarvo::TGenerateRequest> r = form->ReadRequest();
        QVERIFY(r);
        QCOMPARE(r->CountryField, std::string("country.iso_code"));
        QVERIFY(r->OnlyCountries.empty());

        field->setCurrentIndex(1);
        typeInto(child<QLineEdit>("Edit10"), "de, Fr");
        r = form->ReadRequest();
        QVERIFY(r);
        QCOMPARE(r->CountryField, std::string("city.names.en"));
        QCOMPARE(r->OnlyCountries, (std::vector<std::string>{"DE", "FR"}));
        field->setCurrentText(QStringLiteral("traits.is_anycast"));
        r = form->ReadRequest();
        QVERIFY(r);
        QCOMPARE(r->CountryField, std::string("traits.is_anycast"));
        QVERIFY(dialogs->Boxes.empty());

        typeInto(child<QLineEdit>("Edit10"), "DE,DEU");
        QVERIFY(!form->ReadRequest());
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QVERIFY2(dialogs->Boxes[0].Text.contains("'DEU'"), qPrintable(dialogs->Boxes[0].Text));
        // Without the column the countries are not read.
        click("CheckBox7");
        r = form->ReadRequest();
        QVERIFY(r);
        QVERIFY(r->OnlyCountries.empty());
    }

    void missingDatabasePath() {
        setRanges("10.0.0.0/30");
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        click("CheckBox7");
        click("StartButton");
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Warning);
        QCOMPARE(dialogs->Boxes[0].Title, form->windowTitle());
        QCOMPARE(dialogs->Boxes[0].Text, QString("Please, enter GeoIP2 MMDB File Path"));
        QVERIFY(child<QPushButton>("StartButton")->isEnabled());
        QVERIFY(!child<QPushButton>("BreakButton")->isEnabled());
        QCOMPARE(form->ActiveThreads(), 0);
        QCOMPARE(child<QLabel>("StatusLabel")->text(), QString("Status"));
        QTRY_COMPARE(QApplication::focusWidget(), child<QWidget>("Edit9"));
        // One blank is a value: the check passes it on.
        QTest::keyClicks(child<QLineEdit>("Edit9"), " ");
        const std::optional<zarvo::TGenerateRequest> r = form->ReadRequest();
        QVERIFY(r);
        QCOMPARE(r->MMDBFilePath, std::string(" "));
    }

    void notAnInteger_data() {
        QTest::addColumn<QString>("radio");
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("text");
        QTest::newRow("total abc") << "RadioButton2"
                                   << "Edit1"
                                   << "abc";
        QTest::newRow("each with trailing blank") << "RadioButton3"
                                                  << "Edit2"
                                                  << "12 ";
        QTest::newRow("total beyond 32 bits") << "RadioButton2"
                                              << "Edit1"
                                              << "2147483648";
        QTest::newRow("first number") << "CheckBox3"
                                      << "Edit5"
                                      << "1x";
    }
    void notAnInteger() {
        QFETCH(QString, radio);
        QFETCH(QString, edit);
        QFETCH(QString, text);
        setRanges("10.0.0.0/30");
        QTest::mouseClick(child<QAbstractButton>(radio.toLatin1()), Qt::LeftButton);
        typeInto(child<QLineEdit>(edit.toLatin1()), text);
        click("StartButton");
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Critical);
        QCOMPARE(dialogs->Boxes[0].Title, form->windowTitle());
        QCOMPARE(dialogs->Boxes[0].Text, "'" + text + "' is not a valid integer value");
        QVERIFY(child<QPushButton>("StartButton")->isEnabled());
        QCOMPARE(form->ActiveThreads(), 0);
        QCOMPARE(pane()->LineCount(), size_t(0));
    }

    void runFillsPaneAndStatus() {
        setRanges("10.0.0.0/30");
        QSignalSpy changed(pane(), &TLinesEdit::Changed);
        click("StartButton");
        QVERIFY(!child<QPushButton>("StartButton")->isEnabled());
        QVERIFY(child<QPushButton>("BreakButton")->isEnabled());
        QTRY_VERIFY(child<QPushButton>("StartButton")->isEnabled());
        QCOMPARE(PaneLines(pane()), QStringList({"10.0.0.0", "10.0.0.1", "10.0.0.2", "10.0.0.3"}));
        QCOMPARE(child<QLabel>("Label2")->text(), QString("IPs (4):"));
        QCOMPARE(child<QLabel>("StatusLabel")->text(), QString("4 IPs generated."));
        QCOMPARE(child<QLabel>("ProgressLabel")->text(), QString("100 %"));
        QCOMPARE(child<QProgressBar>("TotalProgressBar")->value(), 100);
        QVERIFY(!child<QPushButton>("BreakButton")->isEnabled());
        QVERIFY(!changed.isEmpty());
        QVERIFY(dialogs->Boxes.empty());
        QCOMPARE(form->ActionResult(), std::string("4 IPs generated."));
    }

    void appendAddsBelow() {
        setRanges("10.0.0.0/31");
        generate();
        click("CheckBox5");
        setRanges("10.0.1.0/31");
        generate();
        QCOMPARE(PaneLines(pane()), QStringList({"10.0.0.0", "10.0.0.1", "10.0.1.0", "10.0.1.1"}));
        QCOMPARE(child<QLabel>("StatusLabel")->text(), QString("4 IPs generated."));
        // The appended lines are one undo step.
        pane()->Undo();
        QCOMPARE(PaneLines(pane()), QStringList({"10.0.0.0", "10.0.0.1"}));
        pane()->Redo();
        click("CheckBox5");
        generate();
        QCOMPARE(PaneLines(pane()), QStringList({"10.0.1.0", "10.0.1.1"}));
        QCOMPARE(child<QLabel>("Label2")->text(), QString("IPs (2):"));
    }

    void breakEndsTheRunWithItsLinesSoFar() {
        setRanges("10.0.0.0/16");
        click("StartButton");
        click("BreakButton");
        // Break greys out at once; Start waits for the run's end.
        QVERIFY(!child<QPushButton>("BreakButton")->isEnabled());
        QVERIFY(!child<QPushButton>("StartButton")->isEnabled());
        QVERIFY(form->Progress().Terminated());
        QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>("StartButton")->isEnabled(), 30000);
        QCOMPARE(child<QLabel>("StatusLabel")->text(), QString("Terminated."));
        // The walk stops where the Break found it: the lines made so far, in order.
        const size_t n = pane()->LineCount();
        QVERIFY(n <= size_t(65536));
        QCOMPARE(child<QLabel>("Label2")->text(), QString("IPs (%1):").arg(n));
        for (size_t i = 0; i < n; i += 997)
            QCOMPARE(QString::fromUtf8(pane()->Buffer().Row(i)),
                     QString("10.0.%1.%2").arg(i / 256).arg(i % 256));
        QVERIFY(!child<QPushButton>("BreakButton")->isEnabled());
        QVERIFY(dialogs->Boxes.empty());
    }

    void failedRun() {
        setRanges("10.0.0.0/8");
        click("CheckBox5");
        pane()->SetText("kept\n");
        generate();
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Critical);
        QCOMPARE(dialogs->Boxes[0].Title, form->windowTitle());
        QCOMPARE(dialogs->Boxes[0].Text, QString("Too many IPs (2^24)\nMax. IP count: 1000000"));
        QCOMPARE(child<QLabel>("StatusLabel")->text(),
                 QString("Too many IPs (2^24)\nMax. IP count: 1000000"));
        // The pane shows what the list holds after the failure.
        QCOMPARE(PaneLines(pane()), QStringList({"kept"}));
        QVERIFY(!child<QPushButton>("BreakButton")->isEnabled());
    }

    void clearEmptiesPane() {
        setRanges("10.0.0.0/29");
        generate();
        QCOMPARE(pane()->LineCount(), size_t(8));
        click("Button2");
        QCOMPARE(pane()->LineCount(), size_t(0));
        QCOMPARE(child<QLabel>("Label2")->text(), QString("IPs (0):"));
        // The Clear is a step of the pane's history, undone from the keyboard.
        QTest::keySequence(pane(), QKeySequence::Undo);
        QCOMPARE(pane()->LineCount(), size_t(8));
        QCOMPARE(child<QLabel>("Label2")->text(), QString("IPs (8):"));
    }

    void shuffleIsPermutation() {
        setRanges("10.0.0.0/24");
        generate();
        const QStringList before = PaneLines(pane());
        const size_t undos = pane()->Buffer().UndoCount();
        clickAndWait("Button10");
        QCOMPARE(pane()->Buffer().UndoCount(), undos + 1);
        QStringList after = PaneLines(pane());
        QCOMPARE(after.size(), 256);
        QVERIFY(after != before); // 1 in 256! chance of a false alarm
        after.sort();
        QStringList sorted = before;
        sorted.sort();
        QCOMPARE(after, sorted);
        QCOMPARE(child<QLabel>("Label2")->text(), QString("IPs (256):"));

        // The shuffle is undone like any change of the pane.
        QTest::keySequence(pane(), QKeySequence::Undo);
        QCOMPARE(PaneLines(pane()), before);
        pane()->Clear();
        clickAndWait("Button10");
        QCOMPARE(pane()->LineCount(), size_t(0));
        pane()->SetText("only\n");
        clickAndWait("Button10");
        QCOMPARE(PaneLines(pane()), QStringList({"only"}));
    }

    void saveWithDelimiter_data() {
        QTest::addColumn<int>("delimiter");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("End-Of-Line") << 0 << QByteArray("a\r\nb\r\n\xC3\xBC");
        QTest::newRow("Comma") << 1 << QByteArray("a,b,\xC3\xBC");
        QTest::newRow("Semicolon") << 2 << QByteArray("a;b;\xC3\xBC");
    }
    void saveWithDelimiter() {
        QFETCH(int, delimiter);
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const QString path = dir.filePath("out.txt");
        pane()->SetText(QString::fromUtf8("a\nb\n\xC3\xBC\n"));
        child<QComboBox>("ComboBox2")->setCurrentIndex(delimiter);
        dialogs->FileAnswers.push_back(QStringList{path});
        click("Button3");
        QCOMPARE(dialogs->FileRequests.size(), size_t(1));
        const auto& r = dialogs->FileRequests[0];
        QVERIFY(r.Save);
        QVERIFY(r.OverwritePrompt);
        QCOMPARE(r.DefaultSuffix, QString("txt"));
        QVERIFY(r.FileName.isEmpty());
        QCOMPARE(zarvo::qt::QtNameFilters(r.Filter), QString("Text files (*.txt);;All files (*)"));
        // Written on a worker: the file is there once it has ended.
        QTRY_COMPARE(FileBytes(path), bytes);
        QTRY_VERIFY(!form->PaneTaskRunning());
        QVERIFY(dialogs->Boxes.empty());
    }

    void saveCancelledAndFailed() {
        pane()->SetText("a\n");
        dialogs->FileAnswers.push_back(std::nullopt);
        click("Button3");
        QVERIFY(dialogs->Boxes.empty());
        QTemporaryDir dir;
        const QString path = dir.filePath("missing/out.txt");
        dialogs->FileAnswers.push_back(QStringList{path});
        clickAndWait("Button3");
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Critical);
        QCOMPARE(dialogs->Boxes[0].Text, "Cannot create file \"" + path + "\". No such file or directory");
        checkPaneButtons(true);
        QCOMPARE(pane()->LineCount(), size_t(1));
    }

    void paneStepsRunOnAWorker_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("readOnly");
        QTest::newRow("Save") << "Button3"
                              << "Action: Save to file" << false;
        QTest::newRow("Shuffle") << "Button10"
                                 << "Action: Shuffle" << true;
    }
    void paneStepsRunOnAWorker() {
        QFETCH(QString, button);
        QFETCH(QString, status);
        QFETCH(bool, readOnly);
        zarvo::TStringList lines;
        for (int i = 0; i < 300000; ++i) lines.Add("10.1." + std::to_string(i));
        pane()->SetLines(lines);
        const size_t undos = pane()->Buffer().UndoCount();
        QTemporaryDir dir;
        const QString path = dir.filePath("out.txt");
        dialogs->FileAnswers.push_back(QStringList{path});
        QTest::mouseClick(child<QAbstractButton>(qPrintable(button)), Qt::LeftButton);
        // The click comes back at once; the worker goes on while the window answers.
        QVERIFY(form->PaneTaskRunning());
        QVERIFY(QApplication::overrideCursor());
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::BusyCursor);
        QCOMPARE(pane()->IsReadOnly(), readOnly);
        checkPaneButtons(false);
        QVERIFY(!child<QWidget>("StartButton")->isEnabled());
        QCOMPARE(child<QLabel>("StatusLabel")->text(), status);

        QTRY_VERIFY_WITH_TIMEOUT(!form->PaneTaskRunning(), 30000);
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY(!pane()->IsReadOnly());
        checkPaneButtons(true);
        QVERIFY(child<QWidget>("StartButton")->isEnabled());
        QCOMPARE(child<QLabel>("ProgressLabel")->text(), QString("100 %"));
        QCOMPARE(child<QProgressBar>("TotalProgressBar")->value(), 100);
        QCOMPARE(child<QLabel>("StatusLabel")->text(), QString("Status")); // as before the step
        QVERIFY(dialogs->Boxes.empty());
        if (readOnly) { // a shuffle: one undo step, the same lines
            QCOMPARE(pane()->Buffer().UndoCount(), undos + 1);
            zarvo::TStringList got = pane()->Snapshot().ToStringList(), want = lines;
            QCOMPARE(got.Count(), want.Count());
            std::vector<std::string_view> a, b;
            for (size_t i = 0; i < got.Count(); ++i) a.push_back(got[i]), b.push_back(want[i]);
            std::sort(a.begin(), a.end());
            std::sort(b.begin(), b.end());
            QVERIFY(a == b);
        } else {
            QCOMPARE(pane()->Buffer().UndoCount(), undos);
            QCOMPARE(FileBytes(path), QByteArray::fromStdString(lines.Join("\r\n")));
        }
    }

    void closingStopsAPaneStep() {
        zarvo::TStringList lines;
        for (int i = 0; i < 300000; ++i) lines.Add("10.2." + std::to_string(i));
        pane()->SetLines(lines);
        QTemporaryDir dir;
        dialogs->FileAnswers.push_back(QStringList{dir.filePath("out.txt")});
        click("Button3");
        QVERIFY(form->PaneTaskRunning());
        form->close(); // asks the worker to stop and waits for it
        QVERIFY(!form->PaneTaskRunning());
        QVERIFY(!QApplication::overrideCursor());
        click("Button10");
        QVERIFY(form->PaneTaskRunning());
        form.reset(); // likewise; nothing reaches the freed window
        QCoreApplication::processEvents();
        QVERIFY(!QApplication::overrideCursor());
    }

    void memoryBudgetRefusesARun_data() {
        QTest::addColumn<bool>("append");
        QTest::newRow("replacing") << false;
        QTest::newRow("appending") << true;
    }
    void memoryBudgetRefusesARun() {
        QFETCH(bool, append);
        pane()->SetText("kept\n");
        const size_t undos = pane()->Buffer().UndoCount();
        if (append) click("CheckBox5");
        // Ten lines "10.0.0.N" fit, 17 bytes each by the engine's count, the eleventh
        // does not; an appending run counts the pane's lines too.
        const uint64_t kept = append ? pane()->Snapshot().MemoryBytes() : 0;
        form->MemoryBudget = kept + 10 * 17;
        setRanges("10.0.0.0/24");
        generate();
        const QString message = QString("Too many lines (more than %1)\nMax. memory for the list: %2")
                                    .arg(append ? 11 : 10)
                                    .arg(QString::fromStdString(zarvo::FormatByteSize(*form->MemoryBudget)));
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Critical);
        QCOMPARE(dialogs->Boxes[0].Text, message);
        QCOMPARE(child<QLabel>("StatusLabel")->text(), message);
        // The pane as it was: its text, its history, editable.
        QCOMPARE(pane()->Text(), QString("kept\n"));
        QCOMPARE(pane()->Buffer().UndoCount(), undos);
        QVERIFY(!pane()->IsReadOnly());
        checkPaneButtons(true);
        QVERIFY(!QApplication::overrideCursor());

        // Within the budget the same run goes through.
        form->MemoryBudget = kept + 256 * 19;
        generate();
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QCOMPARE(pane()->LineCount(), size_t(append ? 257 : 256));
        QCOMPARE(child<QLabel>("StatusLabel")->text(), QString("%1 IPs generated.").arg(append ? 257 : 256));
    }

    void runKeepsThePaneUntilItsLinesAreReady() {
        // The pane is no longer emptied when a run starts: it keeps its lines, read-only,
        // until the run's list takes their place as one undo step.
        pane()->SetText("old\n");
        const size_t undos = pane()->Buffer().UndoCount();
        setRanges("10.0.0.0/30");
        click("StartButton");
        QCOMPARE(pane()->Text(), QString("old\n"));
        QVERIFY(pane()->IsReadOnly());
        checkPaneButtons(false);
        QVERIFY(QApplication::overrideCursor());
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::BusyCursor);
        QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>("StartButton")->isEnabled(), 30000);
        QCOMPARE(PaneLines(pane()), QStringList({"10.0.0.0", "10.0.0.1", "10.0.0.2", "10.0.0.3"}));
        QVERIFY(!pane()->IsReadOnly());
        checkPaneButtons(true);
        QVERIFY(!QApplication::overrideCursor());
        QCOMPARE(pane()->Buffer().UndoCount(), undos + 1);
        pane()->Undo();
        QCOMPARE(pane()->Text(), QString("old\n"));
    }

    void customDelimiterEdit() {
        auto* combo = child<QComboBox>("ComboBox5");
        auto* edit8 = child<QLineEdit>("Edit8");
        for (int i = 0; i < combo->count(); ++i) {
            combo->setCurrentIndex(i);
            QCOMPARE(!edit8->isHidden(), i == 4);
        }
        combo->setCurrentIndex(4);
        typeInto(edit8, "::");
        click("CheckBox3");
        setRanges("10.0.0.0/31");
        generate();
        QCOMPARE(PaneLines(pane()),
                 QStringList({"mail1.example.com::10.0.0.0", "mail2.example.com::10.0.0.1"}));
        combo->setCurrentIndex(1);
        QVERIFY(edit8->isHidden());
        generate();
        QCOMPARE(PaneLines(pane()).first(), QString("mail1.example.com\t10.0.0.0"));
    }

    void countCaption() {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        pane()->SetText("a\nb\nc\n");
        QCOMPARE(child<QLabel>("Label2")->text(), QString("IPs (3):"));
        click("CheckBox3");
        QCOMPARE(child<QLabel>("Label2")->text(), QString("Name IPs (3):"));
        // Deleting a line in the pane refreshes the caption.
        pane()->setFocus();
        QTest::keyClick(pane(), Qt::Key_Down);
        QTest::keyClick(pane(), Qt::Key_Down, Qt::ShiftModifier);
        QTest::keyClick(pane(), Qt::Key_Delete);
        QCOMPARE(PaneLines(pane()), QStringList({"a", "c"}));
        QCOMPARE(child<QLabel>("Label2")->text(), QString("Name IPs (2):"));
        click("CheckBox3");
        QCOMPARE(child<QLabel>("Label2")->text(), QString("IPs (2):"));
    }

    void dropFilesOnDatabasePath() {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        auto* edit = child<QLineEdit>("Edit9");
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile("/data/a.mmdb"), QUrl::fromLocalFile("/data/b.mmdb"),
                      QUrl::fromLocalFile("/data/c.mmdb")});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(edit, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(edit, &drop);
        QCOMPARE(edit->text(), QString("/data/c.mmdb"));
        QCOMPARE(form->DropFileControls().size(), size_t(1));
    }

    void browseDatabasePath() {
        QTemporaryDir dir;
        auto* edit = child<QLineEdit>("Edit9");
        typeInto(edit, dir.filePath("x.mmdb"));
        dialogs->FileAnswers.push_back(std::nullopt);
        click("Button11");
        QCOMPARE(dialogs->FileRequests.size(), size_t(1));
        QCOMPARE(dialogs->FileRequests[0].Directory, dir.path());
        QCOMPARE(dialogs->FileRequests[0].FileName, dir.filePath("x.mmdb"));
        QVERIFY(dialogs->FileRequests[0].FileMustExist);
        QCOMPARE(zarvo::qt::QtNameFilters(dialogs->FileRequests[0].Filter),
                 QString("MMDB files (*.mmdb);;All files (*)"));
        QCOMPARE(edit->text(), dir.filePath("x.mmdb")); // cancelled: unchanged

        typeInto(edit, dir.path());
        dialogs->FileAnswers.push_back(QStringList{dir.filePath("GeoLite2-Country.mmdb")});
        click("Button11");
        QCOMPARE(dialogs->FileRequests[1].Directory, dir.path());
        QVERIFY(dialogs->FileRequests[1].FileName.isEmpty());
        QCOMPARE(edit->text(), dir.filePath("GeoLite2-Country.mmdb"));
    }

    void makerLink() {
        QTest::mouseClick(child<QLabel>("Label15"), Qt::LeftButton);
        QCOMPARE(dialogs->Opened.size(), size_t(1));
        QCOMPARE(QUrlQuery(dialogs->Opened[0]).queryItemValue("ver"), QString("2.0"));
        QCOMPARE(child<QLabel>("Label15")->cursor().shape(), Qt::PointingHandCursor);
    }

    void closeButtonClosesWindow() {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        click("Button12");
        QVERIFY(!form->isVisible());
    }

    void destroyDuringRun() {
        setRanges("10.0.0.0/14");
        click("StartButton");
        form.reset(); // waits for the worker; nothing runs on the freed window
        QCoreApplication::processEvents();
        QVERIFY(true);
    }
};

QTEST_MAIN(FormTest)
#include "form_test.moc"
