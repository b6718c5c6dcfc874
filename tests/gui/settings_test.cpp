// The settings file and the named settings through the real window: every option
// through the file and back, restarts, the Save/Load/Delete group, and files that
// cannot be read or written. Each test keeps its settings in its own temporary
// folder (the "-settingsdir" switch), never in the user's configuration folder.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "FakeDialogs.h"
#include "app/Unit1.h"
#include "options/uAppFolder.h"

using zarvo::qt::TVirtualListBox;

namespace {

QByteArray ReadBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

// The first bytes of a file, without reading a large one whole.
QByteArray Head(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.read(64);
}

ino_t Inode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// The file's lines, each of which must end with CR LF.
QStringList FileLines(const QString& path) {
    const QByteArray bytes = ReadBytes(path);
    if (!bytes.endsWith("\r\n")) return {QStringLiteral("<no final CR LF>")};
    QStringList lines = QString::fromUtf8(bytes).split(QStringLiteral("\r\n"));
    lines.removeLast();
    return lines;
}

template <class W> W* Child(QWidget* form, const char* name) {
    W* w = form->findChild<W*>(QString::fromLatin1(name));
    if (!w) qFatal("no control %s", name);
    return w;
}

// Every option control as the user sees it, one entry each.
QVariantMap Snapshot(TForm1* f) {
    QVariantMap m;
    for (const char* n : {"Memo1", "Memo6", "Memo5"})
        m[QString::fromLatin1(n)] = Child<QPlainTextEdit>(f, n)->toPlainText();
    for (const char* n : {"CheckBox8", "UniqueCheckBox", "CheckBox4", "CheckBox6", "CheckBox2", "CheckBox3",
                          "CheckBox1", "CheckBox5", "CheckBox7", "LowerIPv6CheckBox"})
        m[QString::fromLatin1(n)] = Child<QCheckBox>(f, n)->isChecked();
    for (const char* n :
         {"Edit1", "Edit2", "Edit3", "Edit4", "Edit5", "Edit6", "Edit7", "Edit8", "Edit9", "Edit10"})
        m[QString::fromLatin1(n)] = Child<QLineEdit>(f, n)->text();
    for (const char* n : {"ComboBox5", "ComboBox2", "ComboBox3", "ComboBox4"})
        m[QString::fromLatin1(n)] = Child<QComboBox>(f, n)->currentIndex();
    for (const char* n : {"ComboBox1", "ComboBox6"})
        m[QString::fromLatin1(n)] = Child<QComboBox>(f, n)->currentText();
    m[QStringLiteral("Mode")] = Child<QRadioButton>(f, "RadioButton2")->isChecked()   ? 1
                                : Child<QRadioButton>(f, "RadioButton3")->isChecked() ? 2
                                : Child<QRadioButton>(f, "RadioButton1")->isChecked() ? 0
                                                                                      : -1;
    m[QStringLiteral("Edit8.shown")] = !Child<QLineEdit>(f, "Edit8")->isHidden();
    m[QStringLiteral("Label2")] = Child<QLabel>(f, "Label2")->text();
    for (const char* n : {"DNSTimeoutSpin", "DNSInFlightSpin", "DNSRetriesSpin"})
        m[QString::fromLatin1(n)] = Child<QSpinBox>(f, n)->value();
    return m;
}

QString Describe(const QVariantMap& a, const QVariantMap& b) {
    QStringList out;
    for (auto it = a.begin(); it != a.end(); ++it)
        if (b.value(it.key()) != it.value())
            out << it.key() + QStringLiteral(": ") + it.value().toString() + QStringLiteral(" / ") +
                       b.value(it.key()).toString();
    return out.join(QStringLiteral("; "));
}

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<TFakeDialogs> dialogs;
    QString dir; // the settings folder

    void useSettingsDir(const QString& d) {
        dir = d;
        zarvo::TAppFolderEnv env;
        env.Args = {"-settingsdir", d.toStdString()};
        env.ExeDir = tmp->path().toStdString();
        zarvo::SetAppFolder(std::move(env));
    }
    QString ini() const { return dir + QStringLiteral("/zarvo2.ini"); }

    // The controls of a window created without a settings file.
    QVariantMap defaults() {
        const QString keep = dir;
        useSettingsDir(tmp->filePath(QStringLiteral("defaults")));
        QDir().mkpath(dir);
        QFile::remove(ini());
        QVariantMap m;
        {
            TForm1 f;
            m = Snapshot(&f);
        }
        useSettingsDir(keep);
        return m;
    }

    static void type(QLineEdit* e, const QString& text) {
        e->clear();
        // Typed key by key where the test keyboard has the keys; pasted otherwise.
        const bool ascii = std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
        if (ascii)
            QTest::keyClicks(e, text);
        else
            e->insert(text);
    }
    // Presses "Generate IPs" and waits for the run to end.
    static void generate(TForm1* f) {
        Child<QPushButton>(f, "StartButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(Child<QPushButton>(f, "StartButton")->isEnabled(), 30000);
        QCOMPARE(f->ActiveThreads(), 0);
    }
    static QStringList ListBoxItems(TForm1* f) {
        auto* box = Child<TVirtualListBox>(f, "SettingsListBox");
        QStringList out;
        for (int i = 0; i < box->model()->rowCount(); ++i)
            out << box->model()->data(box->model()->index(i, 0), Qt::DisplayRole).toString();
        return out;
    }
    static bool GroupButtonsEnabled(TForm1* f, bool enabled) {
        for (const char* n : {"SettingsSaveButton", "SettingsLoadButton", "SettingsDeleteButton"})
            if (Child<QPushButton>(f, n)->isEnabled() != enabled) return false;
        return true;
    }
    static void namedAction(TForm1* f, const QString& name, const char* button) {
        type(Child<QLineEdit>(f, "SettingsNameEdit"), name);
        Child<QPushButton>(f, button)->click();
    }

private Q_SLOTS:
    void init() {
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid());
        dialogs = std::make_unique<TFakeDialogs>();
        useSettingsDir(tmp->filePath(QStringLiteral("settings")));
        QVERIFY(QDir().mkpath(dir));
    }
    void cleanup() {
        dialogs.reset();
        tmp.reset();
    }

    // Every control set away from its initial value comes back after a restart;
    // each row picks other positions of the lists and the count mode.
    void everyOptionRoundTrip_data() {
        QTest::addColumn<int>("nameDelimiter");
        QTest::addColumn<int>("ipDelimiter");
        QTest::addColumn<int>("resolvedDelimiter");
        QTest::addColumn<int>("unresolvedDelimiter");
        QTest::addColumn<int>("mode");
        QTest::newRow("custom delimiter, total count") << 4 << 1 << 2 << 1 << 1;
        QTest::newRow("semicolon, for each range") << 3 << 2 << 1 << 2 << 2;
        QTest::newRow("tab, mixed lists") << 1 << 1 << 1 << 2 << 1;
        QTest::newRow("comma") << 2 << 2 << 2 << 1 << 2;
    }
    void everyOptionRoundTrip() {
        QFETCH(int, nameDelimiter);
        QFETCH(int, ipDelimiter);
        QFETCH(int, resolvedDelimiter);
        QFETCH(int, unresolvedDelimiter);
        // Never the default (2), and 0 in some rows.
        const int retries = unresolvedDelimiter == 2 ? 0 : 5 + unresolvedDelimiter;
        QFETCH(int, mode);
        const QVariantMap initial = defaults();

        QVariantMap saved;
        QString field; // the country field chosen
        {
            TForm1 f;
            QCOMPARE(Snapshot(&f), initial);
            Child<QPlainTextEdit>(&f, "Memo1")
                ->setPlainText(QStringLiteral("A=192.168.1.100/16/24\n10.0.0.0/30\nfdc7:200d:3e17::/120"));
            Child<QPlainTextEdit>(&f, "Memo6")->setPlainText(QStringLiteral("*.0\n*.25[0-5]"));
            Child<QPlainTextEdit>(&f, "Memo5")->setPlainText(QStringLiteral("127.0.0.1\n9.9.9.9\n1.1.1.1"));
            for (const char* n : {"CheckBox8", "UniqueCheckBox", "CheckBox4", "CheckBox6", "CheckBox2",
                                  "CheckBox3", "CheckBox1", "CheckBox5", "CheckBox7", "LowerIPv6CheckBox"})
                Child<QCheckBox>(&f, n)->click();
            type(Child<QLineEdit>(&f, "Edit3"), QStringLiteral("80,3128-3130"));
            type(Child<QLineEdit>(&f, "Edit4"), QStringLiteral("häst-#.%1.example.net"));
            Child<QComboBox>(&f, "ComboBox1")->setCurrentText(QStringLiteral("@@"));
            type(Child<QLineEdit>(&f, "Edit5"), QStringLiteral("7"));
            type(Child<QLineEdit>(&f, "Edit6"), QStringLiteral("3"));
            type(Child<QLineEdit>(&f, "Edit7"), QStringLiteral("4"));
            Child<QComboBox>(&f, "ComboBox5")->setCurrentIndex(nameDelimiter);
            type(Child<QLineEdit>(&f, "Edit8"), QStringLiteral(" => "));
            Child<QRadioButton>(&f, mode == 1 ? "RadioButton2" : "RadioButton3")->click();
            type(Child<QLineEdit>(&f, "Edit1"), QStringLiteral("25"));
            type(Child<QLineEdit>(&f, "Edit2"), QStringLiteral("3"));
            type(Child<QLineEdit>(&f, "Edit9"), QStringLiteral("/data/Geo Lite=2.mmdb"));
            type(Child<QLineEdit>(&f, "Edit10"), QStringLiteral("de, FR"));
            // A field of the list in some rows, one typed in the others.
            if (mode == 1)
                Child<QComboBox>(&f, "ComboBox6")->setCurrentIndex(nameDelimiter);
            else
                Child<QComboBox>(&f, "ComboBox6")->setCurrentText(QStringLiteral("traits.user_type"));
            field = Child<QComboBox>(&f, "ComboBox6")->currentText();
            Child<QComboBox>(&f, "ComboBox2")->setCurrentIndex(ipDelimiter);
            Child<QComboBox>(&f, "ComboBox3")->setCurrentIndex(resolvedDelimiter);
            Child<QComboBox>(&f, "ComboBox4")->setCurrentIndex(unresolvedDelimiter);
            // Typed, as a user sets them; each row its own values.
            auto* timeout = Child<QSpinBox>(&f, "DNSTimeoutSpin");
            timeout->clear();
            QTest::keyClicks(timeout, QString::number(250 * (mode + nameDelimiter)));
            auto* inFlight = Child<QSpinBox>(&f, "DNSInFlightSpin");
            inFlight->clear();
            QTest::keyClicks(inFlight, QString::number(ipDelimiter + resolvedDelimiter));
            auto* retriesSpin = Child<QSpinBox>(&f, "DNSRetriesSpin");
            retriesSpin->clear();
            QTest::keyClicks(retriesSpin, QString::number(retries));
            saved = Snapshot(&f);
        }
        for (auto it = initial.begin(); it != initial.end(); ++it) {
            if (it.key() == QLatin1String("Edit8.shown") && nameDelimiter != 4) continue;
            QVERIFY2(saved.value(it.key()) != it.value(), qPrintable(it.key() + " kept its initial value"));
        }
        QCOMPARE(saved.value("Edit8.shown").toBool(), nameDelimiter == 4);
        QCOMPARE(saved.value("Label2").toString(), QString("Name IPs (0):"));

        // Each control under its own key.
        const QStringList lines = FileLines(ini());
        for (const QString& l : {QString("ResolveCountry=1"),
                                 QString("MMDBFilePath=/data/Geo Lite=2.mmdb"),
                                 QString("OnlyCountries=de, FR"),
                                 QString("CountryField=") + field,
                                 QString("IPRange1=A=192.168.1.100/16/24"),
                                 QString("IPRangeN=3"),
                                 QString("Exclude2=*.25[0-5]"),
                                 QString("DNS3=1.1.1.1"),
                                 QString("DNSN=3"),
                                 QString("Mode=%1").arg(mode),
                                 QString("TotalCount=25"),
                                 QString("EachCount=3"),
                                 QString("Ports=80,3128-3130"),
                                 QString("NameTemplate=häst-#.%1.example.net"),
                                 QString("CounterSymbol=@@"),
                                 QString("FirstCounter=7"),
                                 QString("CounterStep=3"),
                                 QString("CounterDigits=4"),
                                 QString("NameDelimiter=%1").arg(nameDelimiter),
                                 QString("NameCustomDelimiter= => "),
                                 QString("IPDelimiter=%1").arg(ipDelimiter),
                                 QString("ResolvedDelimiter=%1").arg(resolvedDelimiter),
                                 QString("UnresolvedDelimiter=%1").arg(unresolvedDelimiter),
                                 QString("DNSTimeout=%1").arg(250 * (mode + nameDelimiter)),
                                 QString("DNSInFlight=%1").arg(ipDelimiter + resolvedDelimiter),
                                 QString("DNSRetries=%1").arg(retries),
                                 QString("StoredListN=0")})
            QVERIFY2(lines.contains(l), qPrintable(l));

        TForm1 again;
        QVERIFY2(Snapshot(&again) == saved, qPrintable(Describe(saved, Snapshot(&again))));
        QVERIFY(dialogs->Boxes.empty());
    }

    // The file as written: no byte-order mark, CR LF, keys in their order, blank
    // range lines renumbered away, an emptied edit absent; read back by each key's rule.
    void fileLayoutAndReadBack() {
        {
            TForm1 f;
            Child<QPlainTextEdit>(&f, "Memo1")
                ->setPlainText(QStringLiteral("10.0.0.0/30\n\n  \nA=10.1.0.0/16/24"));
            Child<QPlainTextEdit>(&f, "Memo6")->clear();
            Child<QPlainTextEdit>(&f, "Memo5")->setPlainText(QStringLiteral("8.8.8.8"));
            Child<QCheckBox>(&f, "CheckBox1")->click();
            type(Child<QLineEdit>(&f, "Edit1"), QStringLiteral("007"));
            Child<QLineEdit>(&f, "Edit3")->clear();
            Child<QLineEdit>(&f, "Edit4")->clear();
        }
        const QByteArray bytes = ReadBytes(ini());
        QVERIFY(!bytes.startsWith("\xEF\xBB\xBF"));
        const QStringList expected = {"ResolveCountry=0",
                                      "Append=0",
                                      "IPRange1=10.0.0.0/30",
                                      "IPRange2=  ",
                                      "IPRange3=A=10.1.0.0/16/24",
                                      "IPRangeN=3",
                                      "UsableHostIPAddresses=0",
                                      "Exclude=0",
                                      "ExcludeN=0",
                                      "DNS1=8.8.8.8",
                                      "DNSN=1",
                                      "Mode=0",
                                      "TotalCount=007",
                                      "EachCount=10",
                                      "Random=1",
                                      "EscapeIPv6=0",
                                      "AddPort=0",
                                      "GenerateNames=0",
                                      "CounterSymbol=#",
                                      "FirstCounter=1",
                                      "CounterStep=1",
                                      "CounterDigits=1",
                                      "NameDelimiter=0",
                                      "NameCustomDelimiter=|",
                                      "IPDelimiter=0",
                                      "ResolvedDelimiter=0",
                                      "UnresolvedDelimiter=0",
                                      "DNSTimeout=5000",
                                      "DNSInFlight=32",
                                      "DNSRetries=2",
                                      "LowerIPv6=0",
                                      "UniqueIPAddresses=0",
                                      "CountryField=country.iso_code",
                                      "StoredListN=0"};
        QCOMPARE(FileLines(ini()), expected);

        TForm1 again;
        QCOMPARE(Child<QPlainTextEdit>(&again, "Memo1")->toPlainText(),
                 QString("10.0.0.0/30\n  \nA=10.1.0.0/16/24"));
        QCOMPARE(Child<QLineEdit>(&again, "Edit1")->text(), QString("7"));
        // Absent keys of the edits read only when present: the initial texts.
        QCOMPARE(Child<QLineEdit>(&again, "Edit3")->text(), QString("80"));
        QCOMPARE(Child<QLineEdit>(&again, "Edit4")->text(), QString("mail#.example.com"));
        QVERIFY(Child<QCheckBox>(&again, "CheckBox1")->isChecked());
    }

    // Values a user may have typed into the file: each key falls back by its own rule.
    void invalidValues_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("Mode=7 is All IPs") << QByteArray("Mode=7\r\n") << "Mode" << QVariant(0);
        QTest::newRow("Mode=2") << QByteArray("Mode=2\r\n") << "Mode" << QVariant(2);
        QTest::newRow("TotalCount=abc") << QByteArray("TotalCount=abc\r\n") << "Edit1" << QVariant("10");
        QTest::newRow("EachCount=$1F") << QByteArray("EachCount=$1F\r\n") << "Edit2" << QVariant("31");
        QTest::newRow("NameDelimiter=9 keeps the list")
            << QByteArray("NameDelimiter=9\r\n") << "ComboBox5" << QVariant(0);
        QTest::newRow("NameDelimiter=4 shows the edit")
            << QByteArray("NameDelimiter=4\r\n") << "Edit8.shown" << QVariant(true);
        QTest::newRow("IPDelimiter=3 keeps the list")
            << QByteArray("IPDelimiter=3\r\n") << "ComboBox2" << QVariant(0);
        QTest::newRow("flag other than 1") << QByteArray("Random=yes\r\n") << "CheckBox1" << QVariant(false);
        QTest::newRow("gap in the numbered lines") << QByteArray("DNSN=3\r\nDNS1=1.1.1.1\r\nDNS3=9.9.9.9\r\n")
                                                   << "Memo5" << QVariant("1.1.1.1\n9.9.9.9");
        QTest::newRow("GenerateNames refreshes the caption")
            << QByteArray("GenerateNames=1\r\n") << "Label2" << QVariant("Name IPs (0):");
        QTest::newRow("keys ignore case") << QByteArray("rAnDoM=1\r\n") << "CheckBox1" << QVariant(true);
        // The lookup's numbers: a file from before they were kept has neither key.
        QTest::newRow("no DNSTimeout: the default")
            << QByteArray("Random=1\r\n") << "DNSTimeoutSpin" << QVariant(5000);
        QTest::newRow("no DNSInFlight: the default")
            << QByteArray("Random=1\r\n") << "DNSInFlightSpin" << QVariant(32);
        QTest::newRow("DNSTimeout=0 is the default")
            << QByteArray("DNSTimeout=0\r\n") << "DNSTimeoutSpin" << QVariant(5000);
        QTest::newRow("DNSTimeout=3600001 is the default")
            << QByteArray("DNSTimeout=3600001\r\n") << "DNSTimeoutSpin" << QVariant(5000);
        QTest::newRow("DNSTimeout=3600000")
            << QByteArray("DNSTimeout=3600000\r\n") << "DNSTimeoutSpin" << QVariant(3600000);
        QTest::newRow("DNSInFlight=abc is the default")
            << QByteArray("DNSInFlight=abc\r\n") << "DNSInFlightSpin" << QVariant(32);
        QTest::newRow("DNSInFlight=1024")
            << QByteArray("DNSInFlight=1024\r\n") << "DNSInFlightSpin" << QVariant(1024);
        QTest::newRow("no DNSRetries: the default")
            << QByteArray("Random=1\r\n") << "DNSRetriesSpin" << QVariant(2);
        QTest::newRow("DNSRetries=0") << QByteArray("DNSRetries=0\r\n") << "DNSRetriesSpin" << QVariant(0);
        QTest::newRow("DNSRetries=10") << QByteArray("DNSRetries=10\r\n") << "DNSRetriesSpin" << QVariant(10);
        QTest::newRow("DNSRetries=11 is the default")
            << QByteArray("DNSRetries=11\r\n") << "DNSRetriesSpin" << QVariant(2);
    }
    void invalidValues() {
        QFETCH(QByteArray, file);
        QFETCH(QString, control);
        QFETCH(QVariant, expected);
        WriteBytes(ini(), file);
        TForm1 f;
        QCOMPARE(Snapshot(&f).value(control).toString(), expected.toString());
        QVERIFY(dialogs->Boxes.empty());
    }

    // A multi-line edit is replaced only when its count key is a number of 0 or more.
    void linesReadOnlyWithTheirCount_data() {
        QTest::addColumn<QStringList>("list");
        QTest::addColumn<QString>("ranges");
        QTest::newRow("no count: unchanged")
            << QStringList({"IPRange1=10.0.0.0/8"}) << "1.2.3.4/32\n5.6.7.8/32";
        QTest::newRow("count not a number")
            << QStringList({"IPRangeN=x", "IPRange1=10.0.0.0/8"}) << "1.2.3.4/32\n5.6.7.8/32";
        QTest::newRow("count 0 empties") << QStringList({"IPRangeN=0", "IPRange1=10.0.0.0/8"}) << "";
        QTest::newRow("lines above the count unread")
            << QStringList({"IPRangeN=1", "IPRange1=10.0.0.0/8", "IPRange2=11.0.0.0/8"}) << "10.0.0.0/8";
    }
    void linesReadOnlyWithTheirCount() {
        QFETCH(QStringList, list);
        QFETCH(QString, ranges);
        TForm1 f;
        Child<QPlainTextEdit>(&f, "Memo1")->setPlainText(QStringLiteral("1.2.3.4/32\n5.6.7.8/32"));
        zarvo::TVHashedStringList l(256);
        for (const QString& line : list) l.Add(line.toStdString());
        f.SettingsFromList(l);
        QCOMPARE(Child<QPlainTextEdit>(&f, "Memo1")->toPlainText(), ranges);

        // Writing into a set's existing lines rewrites them in place.
        zarvo::TVHashedStringList out(256);
        out.Add("Random=1");
        out.Add("Zeta=keep");
        f.SettingsToList(out);
        QCOMPARE(out[0], std::string("Random=0"));
        QCOMPARE(out[1], std::string("Zeta=keep"));
    }

    // Options and named sets survive closing and reopening the window.
    void restartKeepsOptionsAndSets() {
        {
            TForm1 f;
            QVERIFY(ListBoxItems(&f).isEmpty());
            Child<QPlainTextEdit>(&f, "Memo1")->setPlainText(QStringLiteral("10.0.0.0/30"));
            Child<QCheckBox>(&f, "CheckBox1")->click();
            namedAction(&f, QStringLiteral("office"), "SettingsSaveButton");
            Child<QCheckBox>(&f, "CheckBox1")->click();
            Child<QCheckBox>(&f, "CheckBox3")->click();
            type(Child<QLineEdit>(&f, "Edit3"), QStringLiteral("8080"));
            namedAction(&f, QStringLiteral("Home ünï"), "SettingsSaveButton");
            QCOMPARE(ListBoxItems(&f), QStringList({"office", "Home ünï"}));
            // The sets reach the file only with the next save.
            QVERIFY(!QFile::exists(ini()));
        }
        QVariantMap closed;
        {
            TForm1 f;
            QCOMPARE(ListBoxItems(&f), QStringList({"office", "Home ünï"}));
            QVERIFY(!Child<QCheckBox>(&f, "CheckBox1")->isChecked());
            QVERIFY(Child<QCheckBox>(&f, "CheckBox3")->isChecked());
            QCOMPARE(Child<QLineEdit>(&f, "Edit3")->text(), QString("8080"));
            QCOMPARE(Child<QLabel>(&f, "Label2")->text(), QString("Name IPs (0):"));
            // A set covers every option: loading "office" brings back its state.
            namedAction(&f, QStringLiteral("OFFICE"), "SettingsLoadButton");
            QVERIFY(Child<QCheckBox>(&f, "CheckBox1")->isChecked());
            QVERIFY(!Child<QCheckBox>(&f, "CheckBox3")->isChecked());
            QCOMPARE(Child<QLabel>(&f, "Label2")->text(), QString("IPs (0):"));
            QCOMPARE(Child<QLineEdit>(&f, "Edit3")->text(), QString("80"));
            QCOMPARE(Child<QPlainTextEdit>(&f, "Memo1")->toPlainText(), QString("10.0.0.0/30"));
            closed = Snapshot(&f);
        }
        TForm1 f;
        QCOMPARE(Snapshot(&f), closed);
        QCOMPARE(ListBoxItems(&f), QStringList({"office", "Home ünï"}));
        QCOMPARE(f.StoredList().GetSettings(1).Settings().GetValue("Ports"), std::string("8080"));
        QVERIFY(dialogs->Boxes.empty());
    }

    // Each accepted start of a generation writes the file; a refused start does not.
    void savedWhenRunStarts() {
        TForm1 f;
        Child<QPlainTextEdit>(&f, "Memo1")->setPlainText(QStringLiteral("10.0.0.0/30"));
        namedAction(&f, QStringLiteral("run"), "SettingsSaveButton");
        Child<QCheckBox>(&f, "CheckBox7")->click(); // "Resolve IP country" without a database
        generate(&f);
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QVERIFY(!QFile::exists(ini()));

        Child<QCheckBox>(&f, "CheckBox7")->click();
        Child<QCheckBox>(&f, "CheckBox6")->click();
        generate(&f);
        QCOMPARE(Child<QLabel>(&f, "Label2")->text(), QString("IPs (4):"));
        const QStringList lines = FileLines(ini());
        QVERIFY(lines.contains("EscapeIPv6=1"));
        QVERIFY(lines.contains("IPRange1=10.0.0.0/30"));
        QVERIFY(lines.contains("StoredList1.Name=run"));
        QVERIFY(lines.contains("StoredList1.Setting3=IPRange1=10.0.0.0/30"));
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
    }

    void namedSettingsGroup() {
        TForm1 f;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        auto* name = Child<QLineEdit>(&f, "SettingsNameEdit");
        auto* box = Child<TVirtualListBox>(&f, "SettingsListBox");
        auto* random = Child<QCheckBox>(&f, "CheckBox1");
        QVERIFY(GroupButtonsEnabled(&f, false));
        QCOMPARE(Child<QLabel>(&f, "Label24")->text(),
                 QString("Save, Load or Delete stored IP Generation Settings."));

        QTest::keyClicks(name, "o");
        QVERIFY(GroupButtonsEnabled(&f, true));
        QTest::keyClick(name, Qt::Key_Backspace);
        QVERIFY(GroupButtonsEnabled(&f, false));

        namedAction(&f, QStringLiteral("office"), "SettingsSaveButton");
        random->click();
        namedAction(&f, QStringLiteral("lab"), "SettingsSaveButton");
        QCOMPARE(ListBoxItems(&f), QStringList({"office", "lab"}));

        // Saving under another spelling overwrites the set, which keeps its name.
        Child<QCheckBox>(&f, "CheckBox8")->click();
        namedAction(&f, QStringLiteral("OFFICE"), "SettingsSaveButton");
        QCOMPARE(ListBoxItems(&f), QStringList({"office", "lab"}));
        QCOMPARE(f.StoredList().GetSettings(0).Settings().GetValue("UsableHostIPAddresses"),
                 std::string("1"));
        QCOMPARE(f.StoredList().GetSettings(0).Settings().GetValue("Random"), std::string("1"));

        // Choosing an item, by mouse or by keyboard, puts its name into the edit.
        name->clear();
        QVERIFY(GroupButtonsEnabled(&f, false));
        QTest::mouseClick(box->viewport(), Qt::LeftButton, {},
                          box->visualRect(box->model()->index(1, 0)).center());
        QCOMPARE(name->text(), QString("lab"));
        QVERIFY(GroupButtonsEnabled(&f, true));
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Up);
        QCOMPARE(name->text(), QString("office"));

        // Names that match no set: a warning with its own title, nothing changes.
        const QVariantMap before = Snapshot(&f);
        namedAction(&f, QStringLiteral("nope"), "SettingsLoadButton");
        namedAction(&f, QStringLiteral("nope"), "SettingsDeleteButton");
        QCOMPARE(dialogs->Boxes.size(), size_t(2));
        QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Warning);
        QCOMPARE(dialogs->Boxes[0].Title, QString("Load Settings"));
        QCOMPARE(dialogs->Boxes[0].Text, QString("Settings \"nope\" not found"));
        QCOMPARE(dialogs->Boxes[1].Icon, QMessageBox::Warning);
        QCOMPARE(dialogs->Boxes[1].Title, QString("Delete Settings"));
        QCOMPARE(dialogs->Boxes[1].Text, QString("Settings \"nope\" not found"));
        QCOMPARE(Snapshot(&f), before);
        QCOMPARE(ListBoxItems(&f), QStringList({"office", "lab"}));

        // Load applies the set, ticking and unticking boxes as clicks would.
        namedAction(&f, QStringLiteral("Lab"), "SettingsLoadButton");
        QVERIFY(random->isChecked());
        QVERIFY(!Child<QCheckBox>(&f, "CheckBox8")->isChecked());

        // Delete asks nothing, removes the set and keeps the name in the edit.
        namedAction(&f, QStringLiteral("office"), "SettingsDeleteButton");
        QCOMPARE(ListBoxItems(&f), QStringList({"lab"}));
        QCOMPARE(name->text(), QString("office"));
        QCOMPARE(dialogs->Boxes.size(), size_t(2));
        QCOMPARE(box->Count(), 1);
    }

    // A pasted line break in a set's name cannot split the file's line and smuggle
    // in a key of its own.
    void nameWithLineBreak() {
        {
            TForm1 f;
            auto* name = Child<QLineEdit>(&f, "SettingsNameEdit");
            name->insert(QStringLiteral("x\r\nMode=2"));
            Child<QPushButton>(&f, "SettingsSaveButton")->click();
            QCOMPARE(ListBoxItems(&f), QStringList({"x  Mode=2"}));
        }
        QVERIFY(FileLines(ini()).contains("StoredList1.Name=x  Mode=2"));
        TForm1 f;
        QCOMPARE(ListBoxItems(&f), QStringList({"x  Mode=2"}));
        QVERIFY(Child<QRadioButton>(&f, "RadioButton1")->isChecked());
    }

    // A folder that is a file: nothing to load, and every save is reported while
    // the window goes on working.
    void unwritableFileReported() {
        const QString notADir = tmp->filePath(QStringLiteral("plain-file"));
        WriteBytes(notADir, "x");
        useSettingsDir(notADir);
        const QString expected =
            QString("Cannot create file \"%1/zarvo2.ini\". Not a directory").arg(notADir);
        {
            TForm1 f;
            QVERIFY(dialogs->Boxes.empty());
            Child<QPlainTextEdit>(&f, "Memo1")->setPlainText(QStringLiteral("10.0.0.0/30"));
            generate(&f);
            QCOMPARE(dialogs->Boxes.size(), size_t(1));
            QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Critical);
            QCOMPARE(dialogs->Boxes[0].Title, f.windowTitle());
            QCOMPARE(dialogs->Boxes[0].Text, expected);
            // The run went ahead all the same.
            QCOMPARE(Child<QLabel>(&f, "Label2")->text(), QString("IPs (4):"));
            namedAction(&f, QStringLiteral("kept"), "SettingsSaveButton");
            QCOMPARE(ListBoxItems(&f), QStringList({"kept"}));
        }
        QCOMPARE(dialogs->Boxes.size(), size_t(2));
        QCOMPARE(dialogs->Boxes[1].Text, expected);
        QCOMPARE(ReadBytes(notADir), QByteArray("x"));
    }

    // A settings file that cannot be read: reported, the controls keep their
    // initial values, and nothing is written in its place.
    void unreadableFileReported() {
        const QVariantMap initial = defaults();
        QVERIFY(QDir().mkpath(ini())); // a folder where the file should be
        {
            TForm1 f;
            QCOMPARE(dialogs->Boxes.size(), size_t(1));
            QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Critical);
            QVERIFY2(dialogs->Boxes[0].Text.startsWith(QString("Cannot open file \"%1\".").arg(ini())),
                     qPrintable(dialogs->Boxes[0].Text));
            QCOMPARE(Snapshot(&f), initial);
            QVERIFY(ListBoxItems(&f).isEmpty());
        }
        QCOMPARE(dialogs->Boxes.size(), size_t(2));
        QCOMPARE(dialogs->Boxes[1].Icon, QMessageBox::Warning);
        QVERIFY(QFileInfo(ini()).isDir());
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // A file that failed to load may hold the user's ranges and stored sets: neither
    // a run nor the close writes the window's settings over it. The window says so
    // when it opens and again when it closes. Over the size cap the file is refused
    // whole (a sparse file: only its lines take room).
    void unreadFileIsNeverWrittenOver_data() {
        QTest::addColumn<bool>("overCap");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a folder in its place") << false << QString("Is a directory");
        QTest::newRow("over the size cap") << true
                                           << QString("File too large: 67108874 bytes; a settings file may "
                                                      "hold at most 67108864 bytes (64 MiB)");
    }
    void unreadFileIsNeverWrittenOver() {
        QFETCH(bool, overCap);
        QFETCH(QString, reason);
        const qint64 size = (qint64(64) << 20) + 10;
        if (overCap) {
            QFile f(ini());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("IPRangeN=1\r\nStoredListN=1\r\nStoredList1.Name=mine\r\n");
            const QByteArray line("\nIPRange1=10.0.0.128/25\r\n");
            QVERIFY(f.seek(size - line.size()));
            f.write(line);
        } else {
            QVERIFY(QDir().mkpath(ini()));
        }
        const QFileInfo before(ini());
        const ino_t inode = Inode(ini());
        const QByteArray head = Head(ini());
        {
            TForm1 f;
            QCOMPARE(dialogs->Boxes.size(), size_t(1));
            QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Critical);
            QCOMPARE(dialogs->Boxes[0].Text,
                     QString("Cannot open file \"%1\". %2\n\nThe settings file is left as it is: settings "
                             "changed in this window are not saved.")
                         .arg(ini(), reason));
            // The window goes on: a set is stored and a run goes ahead, saving nothing.
            Child<QPlainTextEdit>(&f, "Memo1")->setPlainText(QStringLiteral("10.0.0.0/30"));
            namedAction(&f, QStringLiteral("new"), "SettingsSaveButton");
            generate(&f);
            QCOMPARE(Child<QLabel>(&f, "Label2")->text(), QString("IPs (4):"));
            QCOMPARE(dialogs->Boxes.size(), size_t(1));
        }
        QCOMPARE(dialogs->Boxes.size(), size_t(2));
        QCOMPARE(dialogs->Boxes[1].Icon, QMessageBox::Warning);
        QCOMPARE(dialogs->Boxes[1].Text,
                 QString("The settings were not saved: the settings file \"%1\" could "
                         "not be read when the window opened, and is left as it is.")
                     .arg(ini()));
        // The same file, untouched, and no temporary file beside it.
        const QFileInfo after(ini());
        QCOMPARE(after.isDir(), !overCap);
        QCOMPARE(after.size(), before.size());
        QCOMPARE(after.lastModified(), before.lastModified());
        QCOMPARE(Inode(ini()), inode); // not replaced by a new file of the same size
        QCOMPARE(Head(ini()), head);
        QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({"zarvo2.ini"}));
    }

    // Junk, huge lines, odd line ends and other encodings: the window loads what it
    // can read, and the next save writes a clean file that reads back the same.
    void garbledFileLoadsWhatItCan_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("ranges");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QStringList>("sets");

        QByteArray junk("\x00\x01junk\x80\xC3\x28=\xFF\r\n", 13);
        junk += "Random=1\r\n";
        junk += QByteArray(2 << 20, 'A') + "=huge\r\n";
        junk += "IPRangeN=2147483647\r\nIPRange1=10.0.0.0/30\r\nIPRange7=10.0.1.0/30\r\n";
        junk += "Mode=2\r\nTotalCount=99999999999999\r\nNameDelimiter=-1\r\n";
        junk += "StoredListN=99999999\r\nStoredList1.Name=ok\r\nStoredList1.Count=2000000000\r\n";
        junk += "StoredList1.Setting1=Random=1\r\nStoredList3.Name=\r\nStoredList4.Name=x\xC0\xAF\r\n";
        junk += QByteArray("Append=1\x00\x00", 10) + "\xF4\x90\x80";
        QTest::newRow("binary junk and a huge line")
            << junk << "10.0.0.0/30\n10.0.1.0/30" << 2 << QStringList({"ok", QString("x\uFFFD\uFFFD")});

        QTest::newRow("LF and CR line ends") << QByteArray("Random=1\nMode=1\rIPRangeN=1\n\rIPRange1=::1/128")
                                             << "::1/128" << 1 << QStringList();

        const QString text =
            QStringLiteral("Random=1\r\nIPRangeN=1\r\nIPRange1=häst=10.0.0.0/30\r\nMode=1\r\n"
                           "StoredListN=1\r\nStoredList1.Name=ünï\r\n");
        QStringEncoder le(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom);
        QStringEncoder be(QStringEncoder::Utf16BE, QStringEncoder::Flag::WriteBom);
        QStringEncoder u8(QStringEncoder::Utf8, QStringEncoder::Flag::WriteBom);
        QByteArray leBytes = le.encode(text);
        leBytes += QByteArray("\x00\xD8", 2) + "x"; // a lone surrogate and half a unit
        QTest::newRow("UTF-16 LE with BOM") << leBytes << "häst=10.0.0.0/30" << 1 << QStringList({"ünï"});
        QTest::newRow("UTF-16 BE with BOM")
            << QByteArray(be.encode(text)) << "häst=10.0.0.0/30" << 1 << QStringList({"ünï"});
        QTest::newRow("UTF-8 with BOM")
            << QByteArray(u8.encode(text)) << "häst=10.0.0.0/30" << 1 << QStringList({"ünï"});
    }
    void garbledFileLoadsWhatItCan() {
        QFETCH(QByteArray, file);
        QFETCH(QString, ranges);
        QFETCH(int, mode);
        QFETCH(QStringList, sets);
        WriteBytes(ini(), file);
        QVariantMap loaded;
        {
            TForm1 f;
            QVERIFY(dialogs->Boxes.empty());
            QVERIFY(Child<QCheckBox>(&f, "CheckBox1")->isChecked());
            QCOMPARE(Child<QPlainTextEdit>(&f, "Memo1")->toPlainText(), ranges);
            QCOMPARE(Snapshot(&f).value("Mode").toInt(), mode);
            QCOMPARE(ListBoxItems(&f), sets);
            QCOMPARE(Child<QLineEdit>(&f, "Edit1")->text(), QString("10"));
            QCOMPARE(Child<QComboBox>(&f, "ComboBox5")->currentIndex(), 0);
            loaded = Snapshot(&f);
        }
        QVERIFY(!ReadBytes(ini()).startsWith("\xEF\xBB\xBF"));
        QVERIFY(QFileInfo(ini()).size() < 4096);
        TForm1 again;
        QCOMPARE(Snapshot(&again), loaded);
        QCOMPARE(ListBoxItems(&again), sets);
    }
};

QTEST_MAIN(SettingsTest)
#include "settings_test.moc"
