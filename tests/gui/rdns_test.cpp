// The main window's reverse DNS lookup, driven as a user would, against DNS servers on
// loopback: dnsmasq with a hosts file, and scripted servers for the turn-taking and
// the break. No query leaves 127.0.0.1.
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <cstring>
#include <memory>

#include <sys/resource.h>
#include <unistd.h>

#include "WindowFixture.h"
#include "common/DnsTestServers.h"

using zarvo::test::PtrReply;
using zarvo::test::RcodeReply;
using zarvo::test::TBytes;
using zarvo::test::TDatagram;
using zarvo::test::TDnsmasq;
using zarvo::test::TScriptedDnsServer;

namespace {

// Generous: the machine is shared, and a wait ends as soon as its condition holds.
constexpr int kWait = 20000;

// Every line, blank ones too: appending must not leave any.
QStringList Lines(const QPlainTextEdit* memo) {
    const QString text = memo->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

zarvo::TStringList StringList(const QStringList& lines) {
    zarvo::TStringList out;
    for (const QString& l : lines) out.Add(l.toStdString());
    return out;
}

// 10.0.0.first .. 10.0.0.(first+count-1), one per line.
QStringList Range(int first, int count) {
    QStringList out;
    for (int i = first; i < first + count; ++i) out << QStringLiteral("10.0.%1.%2").arg(i / 256).arg(i % 256);
    return out;
}

// The number in a count caption such as "Unresolved IPs (12):".
int CaptionCount(const QLabel* label) {
    const QString t = label->text();
    const qsizetype open = t.lastIndexOf(QLatin1Char('('));
    return t.mid(open + 1, t.lastIndexOf(QLatin1Char(')')) - open - 1).toInt();
}

} // namespace

class RdnsTest : public TWindowFixture {
    Q_OBJECT

    QPlainTextEdit* memo(const char* name) { return child<QPlainTextEdit>(name); }
    void setPane(const QStringList& lines) { form->Memo2->SetLines(StringList(lines)); }
    void setServers(const QStringList& servers) {
        memo("Memo5")->setPlainText(servers.join(QLatin1Char('\n')));
    }
    static QString Q(const std::string& s) { return QString::fromStdString(s); }
    // Presses "Reverse DNS Lookup >>" and waits for the run to end.
    void lookup() {
        click("Button5");
        QTRY_VERIFY_WITH_TIMEOUT(!form->DNSLookupRunning(), kWait);
    }
    void checkCaptions() {
        QCOMPARE(CaptionCount(child<QLabel>("Label4")), Lines(memo("Memo3")).size());
        QCOMPARE(CaptionCount(child<QLabel>("Label5")), Lines(memo("Memo4")).size());
    }

private Q_SLOTS:
    void init() {
        openWindow();
        // Every test names its own servers on loopback; the defaults are never asked.
        setServers({});
    }
    void cleanup() { closeWindow(); }

    void runFillsListsAndCaptions() {
        // PTR names for 10.0.0.2 .. 10.0.0.5 of the eight addresses 10.0.0.0 .. 10.0.0.7.
        TDnsmasq dns({{"10.0.0.2", "two.example"},
                      {"10.0.0.3", "three.example"},
                      {"10.0.0.4", "four.example"},
                      {"10.0.0.5", "five.example"}});
        setPane(Range(0, 8));
        setServers({Q(dns.Server())});
        memo("Memo3")->setPlainText("old,line");
        lookup();
        QCOMPARE(Lines(memo("Memo3")), QStringList({"10.0.0.2,two.example", "10.0.0.3,three.example",
                                                    "10.0.0.4,four.example", "10.0.0.5,five.example"}));
        QCOMPARE(Lines(memo("Memo4")), QStringList({"10.0.0.0", "10.0.0.1", "10.0.0.6", "10.0.0.7"}));
        QCOMPARE(child<QLabel>("Label4")->text(), QString("Resolved IPs - IP,Domain (4):"));
        QCOMPARE(child<QLabel>("Label5")->text(), QString("Unresolved IPs (4):"));
        QCOMPARE(child<QLabel>("Label7")->text(), QString("8"));
        QCOMPARE(child<QProgressBar>("ProgressBar1")->maximum(), 8);
        QCOMPARE(child<QProgressBar>("ProgressBar1")->value(), 8);
        QCOMPARE(child<QLabel>("DNSStateLabel")->text(), QString("Done: 8 of 8"));
        QVERIFY(!child<QPushButton>("Button9")->isEnabled());
        // A count caption is read as it stands, and names the edit of its list.
        QCOMPARE(AccessibleName(memo("Memo3")), child<QLabel>("Label4")->text());
        QCOMPARE(AccessibleName(child<QLabel>("Label4")), child<QLabel>("Label4")->text());
        QCOMPARE(AccessibleName(child<QLabel>("Label7")), QString("8"));
        QVERIFY(dialogs->Boxes.empty());
    }

    void lineForms_data() {
        QTest::addColumn<QStringList>("pane");
        QTest::addColumn<QString>("customDelimiter"); // empty: "Whitespace" chosen
        QTest::addColumn<QStringList>("resolved");
        QTest::addColumn<QStringList>("unresolved");
        QTest::newRow("ports, names, country codes")
            << QStringList{"10.0.0.1:80", "10.0.0.1:3128", "10.0.0.2:80",      "mail1.example.org 10.0.0.3",
                           "10.0.0.4 DE", "10.0.0.5 ",     "[2001:db8::1]:80", "10.0.0.1:8080",
                           "10.0.0.9"}
            << QString()
            << QStringList{"10.0.0.1,one.example",  "10.0.0.2,two.example",  "10.0.0.3,three.example",
                           "10.0.0.4,four.example", "10.0.0.5,five.example", "2001:db8::1,six.example",
                           "10.0.0.1,one.example"}
            << QStringList{"10.0.0.9"};
        // A line without an address is not dropped: it is filed under its text.
        QTest::newRow("lines without an address")
            << QStringList{"10.0.0.1", "junk", "h,10.0.0.256", "10.0.0.256", "", "10.0.0.2"} << QString()
            << QStringList{"10.0.0.1,one.example", "10.0.0.2,two.example"}
            << QStringList{"junk", "h,10.0.0.256", "10.0.0.256"};
        QTest::newRow("custom delimiter")
            << QStringList{"mail1|10.0.0.2", "mail2|10.0.0.3|DE"} << "|"
            << QStringList{"10.0.0.2,two.example", "10.0.0.3,three.example"} << QStringList{};
    }
    void lineForms() {
        QFETCH(QStringList, pane);
        QFETCH(QString, customDelimiter);
        QFETCH(QStringList, resolved);
        QFETCH(QStringList, unresolved);
        TDnsmasq dns({{"10.0.0.1", "one.example"},
                      {"10.0.0.2", "two.example"},
                      {"10.0.0.3", "three.example"},
                      {"10.0.0.4", "four.example"},
                      {"10.0.0.5", "five.example"},
                      {"2001:db8::1", "six.example"}});
        if (!customDelimiter.isEmpty()) {
            child<QComboBox>("ComboBox5")->setCurrentIndex(4);
            child<QLineEdit>("Edit8")->setText(customDelimiter);
        }
        setPane(pane);
        setServers({Q(dns.Server())});
        lookup();
        QCOMPARE(Lines(memo("Memo3")), resolved);
        QCOMPARE(Lines(memo("Memo4")), unresolved);
        checkCaptions();
    }

    void serversInTurn_data() {
        QTest::addColumn<bool>("badMiddleEntry");
        QTest::newRow("three servers") << false;
        QTest::newRow("an entry that names no server keeps its turn") << true;
    }
    void serversInTurn() {
        QFETCH(bool, badMiddleEntry);
        std::vector<std::unique_ptr<TScriptedDnsServer>> servers;
        QStringList entries;
        for (int s = 0; s < 3; ++s) {
            const std::string name = "server" + std::to_string(s) + ".example";
            servers.push_back(std::make_unique<TScriptedDnsServer>(
                [name](const TBytes& query) { return std::vector<TDatagram>{{PtrReply(query, name)}}; }));
            entries << (badMiddleEntry && s == 1 ? QString("127.0.0.1:99999") : Q(servers.back()->Server()));
        }
        // Blank lines are no servers.
        setServers({entries[0], "", entries[1], "  ", entries[2]});
        setPane(Range(1, 8));
        lookup();
        QStringList resolved, unresolved;
        for (int i = 0; i < 8; ++i) {
            const QString address = Range(1 + i, 1).front();
            if (badMiddleEntry && i % 3 == 1)
                unresolved << address;
            else
                resolved << address + QStringLiteral(",server%1.example").arg(i % 3);
        }
        QCOMPARE(Lines(memo("Memo3")), resolved);
        QCOMPARE(Lines(memo("Memo4")), unresolved);
        QCOMPARE(servers[0]->QueriesAsked().size(), size_t(3));
        QCOMPARE(servers[1]->QueriesAsked().size(), badMiddleEntry ? size_t(0) : size_t(3));
        QCOMPARE(servers[2]->QueriesAsked().size(), size_t(2));
    }

    void breakLeavesPrefixAndRestartBeginsAfresh() {
        // Answers come late, so that the run is still under way when it is broken.
        TScriptedDnsServer slow([](const TBytes& query) {
            return std::vector<TDatagram>{{PtrReply(query, "slow.example"), false, 100}};
        });
        const QStringList addresses = Range(0, 2000);
        QStringList expected;
        for (const QString& a : addresses) expected << a + QStringLiteral(",slow.example");
        setPane(addresses);
        setServers({Q(slow.Server())});

        QVERIFY(!child<QPushButton>("Button9")->isEnabled());
        click("Button5");
        QTRY_VERIFY_WITH_TIMEOUT(Lines(memo("Memo3")).size() >= 20, kWait);
        QVERIFY(child<QPushButton>("Button9")->isEnabled());
        QVERIFY2(QRegularExpression("^Running: [0-9]+ of 2000 done$")
                     .match(child<QLabel>("DNSStateLabel")->text())
                     .hasMatch(),
                 qPrintable(child<QLabel>("DNSStateLabel")->text()));
        click("Button9");
        QTRY_VERIFY_WITH_TIMEOUT(!form->DNSLookupRunning(), kWait);
        const QStringList done = Lines(memo("Memo3"));
        QVERIFY(done.size() < addresses.size());
        QCOMPARE(done, expected.mid(0, done.size()));
        QCOMPARE(child<QLabel>("DNSStateLabel")->text(),
                 QString("Broken off: %1 of 2000 done").arg(done.size()));
        QVERIFY(!child<QPushButton>("Button9")->isEnabled());
        QVERIFY(Lines(memo("Memo4")).isEmpty());
        QCOMPARE(child<QLabel>("Label7")->text(), QString::number(done.size()));
        QCOMPARE(child<QProgressBar>("ProgressBar1")->value(), done.size());
        checkCaptions();

        // A start during a run ends that run and begins at the first address again.
        setPane(addresses.mid(0, 400));
        expected = expected.mid(0, 400);
        click("Button5");
        QTRY_VERIFY_WITH_TIMEOUT(Lines(memo("Memo3")).size() >= 1, kWait);
        QVERIFY(form->DNSLookupRunning());
        click("Button5");
        QVERIFY(form->DNSLookupRunning());
        QVERIFY(memo("Memo3")->toPlainText().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!form->DNSLookupRunning(), kWait);
        QCOMPARE(Lines(memo("Memo3")), expected);
        QCOMPARE(child<QLabel>("DNSStateLabel")->text(), QString("Done: 400 of 400"));
        checkCaptions();

        // Destroying the window during a run ends the run; nothing reaches the freed window.
        click("Button5");
        QTRY_VERIFY_WITH_TIMEOUT(Lines(memo("Memo3")).size() >= 1, kWait);
        form.reset();
        QCoreApplication::processEvents();
    }

    void aFailedRunIsAnError() {
#ifdef __SANITIZE_ADDRESS__
        // The sanitizers' check of a dynamic type reads the object through a pipe, which
        // the file limit below refuses: it would report the window's own calls.
        QSKIP("a file limit at the open descriptors under the sanitizers");
#endif
        // No descriptor to be had: the run cannot start its lookup, and says so instead
        // of filing the addresses as unresolved.
        TScriptedDnsServer dns(
            [](const TBytes& query) { return std::vector<TDatagram>{{PtrReply(query, "a.example")}}; });
        setPane(Range(0, 4));
        setServers({Q(dns.Server())});
        rlimit saved{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
        const int lowest = ::dup(0);
        QVERIFY(lowest >= 0);
        ::close(lowest);
        rlimit none = saved;
        none.rlim_cur = static_cast<rlim_t>(lowest);
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &none) == 0);
        click("Button5");
        QTRY_VERIFY_WITH_TIMEOUT(!form->DNSLookupRunning(), kWait);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QVERIFY(Lines(memo("Memo3")).isEmpty());
        QVERIFY(Lines(memo("Memo4")).isEmpty());
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Critical);
        QCOMPARE(dialogs->Boxes[0].Text,
                 QStringLiteral("Cannot start the lookup: ") + QString::fromUtf8(std::strerror(EMFILE)));
        QCOMPARE(child<QLabel>("DNSStateLabel")->text(), QString("Failed: 0 of 4 done"));
    }

    // The panel's two numbers go to the run: how many queries wait at once, and how
    // long each waits. A silent server holds exactly that many queries, and Break
    // ends the run with none done; from the keyboard, the keyboard goes back to start.
    void inFlightFromThePanel() {
        TScriptedDnsServer silent([](const TBytes&) { return std::vector<TDatagram>{}; });
        setPane(Range(0, 10));
        setServers({Q(silent.Server())});
        child<QSpinBox>("DNSInFlightSpin")->setValue(3);
        child<QSpinBox>("DNSTimeoutSpin")->setValue(600000);
        child<QSpinBox>("DNSRetriesSpin")->setValue(0); // a resend is no fourth query either
        form->show();
        QApplication::setActiveWindow(form.get());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        click("Button5");
        QTRY_VERIFY_WITH_TIMEOUT(silent.QueryCount() >= 3, kWait);
        QTest::qWait(300); // time for a fourth query, which must not go out
        QCOMPARE(silent.QueryCount(), size_t(3));
        QVERIFY(form->DNSLookupRunning());
        QCOMPARE(child<QLabel>("DNSStateLabel")->text(), QString("Running: 0 of 10 done"));
        auto* breakButton = child<QPushButton>("Button9");
        breakButton->setFocus();
        QTest::keyClick(breakButton, Qt::Key_Space);
        QTRY_VERIFY_WITH_TIMEOUT(!form->DNSLookupRunning(), kWait);
        QCOMPARE(child<QLabel>("DNSStateLabel")->text(), QString("Broken off: 0 of 10 done"));
        QVERIFY(Lines(memo("Memo3")).isEmpty() && Lines(memo("Memo4")).isEmpty());
        QVERIFY(!breakButton->isEnabled());
        QCOMPARE(QApplication::focusWidget(), child<QWidget>("Button5"));
    }

    // Replies that come after a query's wait leave its address unresolved; with a
    // longer wait the same replies resolve it.
    void timeoutFromThePanel_data() {
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<bool>("resolved");
        QTest::newRow("replies after the wait") << 100 << false;
        QTest::newRow("replies within the wait") << 10000 << true;
    }
    void timeoutFromThePanel() {
        QFETCH(int, timeoutMs);
        QFETCH(bool, resolved);
        TScriptedDnsServer late([](const TBytes& query) {
            return std::vector<TDatagram>{{PtrReply(query, "late.example"), false, 1000}};
        });
        const QStringList addresses = Range(0, 6);
        setPane(addresses);
        setServers({Q(late.Server())});
        child<QSpinBox>("DNSTimeoutSpin")->setValue(timeoutMs);
        child<QSpinBox>("DNSInFlightSpin")->setValue(8);
        child<QSpinBox>("DNSRetriesSpin")->setValue(0);
        lookup();
        QStringList named;
        for (const QString& a : addresses) named << a + QStringLiteral(",late.example");
        QCOMPARE(Lines(memo("Memo3")), resolved ? named : QStringList());
        QCOMPARE(Lines(memo("Memo4")), resolved ? QStringList() : addresses);
        QCOMPARE(child<QLabel>("DNSStateLabel")->text(), QString("Done: 6 of 6"));
        QCOMPARE(late.QueryCount(), size_t(6));
    }

    // The panel's retries go to the run: a server that never sees the first send of a
    // query answers the second.
    void retriesFromThePanel_data() {
        QTest::addColumn<int>("retries");
        QTest::addColumn<bool>("resolved");
        QTest::newRow("one send: the lost queries stay unresolved") << 0 << false;
        QTest::newRow("one retry: the resends are answered") << 1 << true;
    }
    void retriesFromThePanel() {
        QFETCH(int, retries);
        QFETCH(bool, resolved);
        TScriptedDnsServer lossy(
            [](const TBytes& query) { return std::vector<TDatagram>{{PtrReply(query, "again.example")}}; });
        lossy.LoseQueries([](const std::string&) { return true; });
        const QStringList addresses = Range(0, 4);
        setPane(addresses);
        setServers({Q(lossy.Server())});
        child<QSpinBox>("DNSTimeoutSpin")->setValue(600);
        child<QSpinBox>("DNSRetriesSpin")->setValue(retries);
        QCOMPARE(form->DNSLookupSettings().Retries, unsigned(retries));
        lookup();
        QStringList named;
        for (const QString& a : addresses) named << a + QStringLiteral(",again.example");
        QCOMPARE(Lines(memo("Memo3")), resolved ? named : QStringList());
        QCOMPARE(Lines(memo("Memo4")), resolved ? QStringList() : addresses);
        QCOMPARE(lossy.Received().size(), size_t(addresses.size() * (retries + 1)));
    }

    void clearAndTypingKeepCaptions() {
        memo("Memo3")->setPlainText("10.0.0.1,a.example\n10.0.0.2,b.example");
        memo("Memo4")->setPlainText("10.0.0.3");
        QCOMPARE(child<QLabel>("Label4")->text(), QString("Resolved IPs - IP,Domain (2):"));
        QCOMPARE(child<QLabel>("Label5")->text(), QString("Unresolved IPs (1):"));
        click("Button8");
        QVERIFY(memo("Memo3")->toPlainText().isEmpty());
        QVERIFY(memo("Memo4")->toPlainText().isEmpty());
        QCOMPARE(child<QLabel>("Label4")->text(), QString("Resolved IPs - IP,Domain (0):"));
        QCOMPARE(child<QLabel>("Label5")->text(), QString("Unresolved IPs (0):"));
        QTest::keyClicks(memo("Memo4"), "a");
        QCOMPARE(child<QLabel>("Label5")->text(), QString("Unresolved IPs (1):"));
        QTest::keyClick(memo("Memo4"), Qt::Key_Return);
        QCOMPARE(child<QLabel>("Label5")->text(),
                 QString("Unresolved IPs (1):")); // an empty last line is none
        QTest::keyClicks(memo("Memo4"), "b");
        QCOMPARE(child<QLabel>("Label5")->text(), QString("Unresolved IPs (2):"));
    }

    void saveWithDelimiter_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("memo");
        QTest::addColumn<QString>("combo");
        QTest::addColumn<int>("delimiter");
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray resolved[] = {"10.0.0.1,a.example\r\n10.0.0.2,b.example",
                                       "10.0.0.1,a.example,10.0.0.2,b.example",
                                       "10.0.0.1,a.example;10.0.0.2,b.example"};
        const QByteArray unresolved[] = {"10.0.0.3\r\n10.0.0.4", "10.0.0.3,10.0.0.4", "10.0.0.3;10.0.0.4"};
        const char* names[] = {"End-Of-Line", "Comma", "Semicolon"};
        for (int d = 0; d < 3; ++d) {
            QTest::addRow("resolved, %s", names[d]) << "Button6"
                                                    << "Memo3"
                                                    << "ComboBox3" << d << resolved[d];
            QTest::addRow("unresolved, %s", names[d]) << "Button7"
                                                      << "Memo4"
                                                      << "ComboBox4" << d << unresolved[d];
        }
    }
    void saveWithDelimiter() {
        QFETCH(QString, button);
        QFETCH(QString, memo);
        QFETCH(QString, combo);
        QFETCH(int, delimiter);
        QFETCH(QByteArray, bytes);
        this->memo("Memo3")->setPlainText("10.0.0.1,a.example\n10.0.0.2,b.example\n");
        this->memo("Memo4")->setPlainText("10.0.0.3\n10.0.0.4");
        child<QComboBox>(qPrintable(combo))->setCurrentIndex(delimiter);
        QTemporaryDir dir;
        const QString path = dir.filePath("out.txt");
        dialogs->FileAnswers.push_back(std::nullopt); // cancelled: nothing happens
        click(qPrintable(button));
        QVERIFY(!QFile::exists(path));
        dialogs->FileAnswers.push_back(QStringList{path});
        click(qPrintable(button));
        QCOMPARE(dialogs->FileRequests.size(), size_t(2));
        QVERIFY(dialogs->FileRequests[1].Save);
        QVERIFY(dialogs->FileRequests[1].OverwritePrompt);
        QVERIFY(dialogs->FileRequests[1].FileName.isEmpty());
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), bytes);
        QVERIFY(dialogs->Boxes.empty());
    }

    void emptyServerListEmptiesListsAndSays() {
        memo("Memo3")->setPlainText("10.0.0.1,a.example");
        memo("Memo4")->setPlainText("10.0.0.2");
        setPane(Range(0, 4));
        setServers({"", "   "});
        click("Button5");
        QVERIFY(!form->DNSLookupRunning());
        QVERIFY(memo("Memo3")->toPlainText().isEmpty());
        QVERIFY(memo("Memo4")->toPlainText().isEmpty());
        QCOMPARE(child<QLabel>("Label4")->text(), QString("Resolved IPs - IP,Domain (0):"));
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Critical);
        QCOMPARE(dialogs->Boxes[0].Title, QString("Error"));
        QCOMPARE(dialogs->Boxes[0].Text, QString("No DNS Servers specified"));
        QCOMPARE(child<QLabel>("DNSStateLabel")->text(), QString("Not started"));
    }

    void googleButtonReplacesServers() {
        setServers({"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"});
        click("Button1");
        QCOMPARE(memo("Memo5")->toPlainText(), QString("8.8.8.8\n8.8.4.4"));
        QCOMPARE(memo("Memo5")->toPlainText(), memo("Memo8")->toPlainText());
        QVERIFY(!form->DNSLookupRunning()); // it only fills the list
    }

    // "Use System DNS Servers" beside it puts the nameserver lines of resolv.conf (here
    // files of the test's own) in the list, or says why it cannot, the list kept.
    void systemServersButton_data() {
        QTest::addColumn<QByteArray>("file"); // null: no file
        QTest::addColumn<QString>("servers"); // the list after the click
        QTest::addColumn<QString>("error");   // the message box's text; PATH for the file
        QTest::newRow("comments, options, IPv6 with a zone")
            << QByteArray("# by the test\n; nameserver 192.0.2.1\noptions timeout:1 attempts:2\n"
                          "search zarvo.test\nnameserver 192.0.2.53 # office\nnameserver 2001:db8::53\n"
                          "nameserver fe80::1%lo\n")
            << "192.0.2.53\n2001:db8::53\nfe80::1%lo"
            << "";
        QTest::newRow("the first three") << QByteArray("nameserver 192.0.2.1\nnameserver 192.0.2.2\n"
                                                       "nameserver 192.0.2.3\nnameserver 192.0.2.4\n")
                                         << "192.0.2.1\n192.0.2.2\n192.0.2.3"
                                         << "";
        QTest::newRow("no entry") << QByteArray("search zarvo.test\nnameserver dns.zarvo.test\n")
                                  << "127.0.0.9"
                                  << "PATH lists no usable nameserver";
        QTest::newRow("no file") << QByteArray() << "127.0.0.9"
                                 << QStringLiteral("cannot read PATH: ") +
                                        QString::fromUtf8(std::strerror(ENOENT));
    }
    void systemServersButton() {
        QFETCH(QByteArray, file);
        QFETCH(QString, servers);
        QFETCH(QString, error);
        QCOMPARE(form->ResolvConfPath, std::string("/etc/resolv.conf"));
        QTemporaryDir dir;
        const QString path = dir.filePath("resolv.conf");
        if (!file.isNull()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(file);
        }
        form->ResolvConfPath = path.toStdString();
        setServers({"127.0.0.9"});
        click("SystemDNSButton");
        QCOMPARE(memo("Memo5")->toPlainText(), servers);
        QVERIFY(!form->DNSLookupRunning()); // it only fills the list
        if (error.isEmpty()) {
            QVERIFY(dialogs->Boxes.empty());
            return;
        }
        QCOMPARE(dialogs->Boxes.size(), size_t(1));
        QCOMPARE(dialogs->Boxes[0].Icon, QMessageBox::Critical);
        QCOMPARE(dialogs->Boxes[0].Title, QString("Error"));
        QCOMPARE(dialogs->Boxes[0].Text, QString(error).replace(QStringLiteral("PATH"), path));
    }
};

QTEST_MAIN(RdnsTest)
#include "rdns_test.moc"
