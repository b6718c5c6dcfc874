// Whether the main window stays responsive through a reverse DNS lookup:
//   QT_QPA_PLATFORM=offscreen build/bench/gui/zarvo_rdns_stall_bench
// (a) 4096 addresses against dnsmasq on loopback (3072 of them with PTR records);
// (b) 100000 addresses against a scripted server on loopback that answers REFUSED.
// For each: the wall time, the event loop's longest stall (a 5 ms timer records the
// gaps), the longest time the count captions stood still during the run, the lists'
// line counts, and the process's peak memory so far (VmHWM).
//   xvfb-run -a -s "-screen 0 1366x768x24" build/bench/gui/zarvo_rdns_stall_bench --screenshot shot.png
// takes a picture of the window after a small run instead.
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "app/Unit1.h"
#include "common/DnsTestServers.h"
#include "options/uAppFolder.h"

using zarvo::test::RcodeReply;
using zarvo::test::TBytes;
using zarvo::test::TDatagram;
using zarvo::test::TDnsmasq;
using zarvo::test::THostEntry;
using zarvo::test::TScriptedDnsServer;

namespace {

std::string V4(uint32_t n) {
    return std::to_string(n >> 24) + "." + std::to_string((n >> 16) & 255) + "." +
           std::to_string((n >> 8) & 255) + "." + std::to_string(n & 255);
}

// Peak resident memory of this process, in MiB.
double PeakMiB() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

zarvo::TStringList Addresses(uint32_t first, uint32_t count) {
    zarvo::TStringList lines;
    for (uint32_t i = 0; i < count; ++i) lines.Add(V4(first + i));
    return lines;
}

void Run(TForm1& form, const char* name, const std::string& server, zarvo::TStringList lines) {
    const size_t total = lines.Count();
    form.Memo2->SetLines(std::move(lines));
    form.Memo5->setPlainText(QString::fromStdString(server));

    QElapsedTimer clock;
    qint64 last = 0, stall = 0, captionAt = 0, captionStill = 0;
    // The window thread's own work within a gap, apart from waiting for a core of a
    // busy machine.
    double lastCpu = ThreadCpuMs(), stallCpu = 0, busiest = 0;
    QString caption;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(5);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        const double cpu = ThreadCpuMs();
        if (now - last > stall) {
            stall = now - last;
            stallCpu = cpu - lastCpu;
        }
        busiest = std::max(busiest, cpu - lastCpu);
        last = now;
        lastCpu = cpu;
        const QString c = form.Label4->text() + form.Label5->text();
        if (c != caption) {
            caption = c;
            captionStill = std::max(captionStill, now - captionAt);
            captionAt = now;
        }
    });
    clock.start();
    heartbeat.start();
    form.Button5->click();
    while (form.DNSLookupRunning()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const qint64 wall = clock.elapsed();
    heartbeat.stop();
    const int resolved = TForm1::MemoLineCount(form.Memo3), unresolved = TForm1::MemoLineCount(form.Memo4);
    std::printf("%s\n  addresses %zu: resolved %d, unresolved %d, done \"%s\"\n", name, total, resolved,
                unresolved, qPrintable(form.Label7->text()));
    std::printf("  captions \"%s\" \"%s\"\n", qPrintable(form.Label4->text()),
                qPrintable(form.Label5->text()));
    std::printf(
        "  wall %lld ms (%.0f addresses/s), longest event-loop stall %lld ms (window thread busy %.0f ms "
        "of it), busiest gap %.0f ms of CPU, captions still at most %lld ms, peak RSS %.1f MiB\n",
        static_cast<long long>(wall), wall ? double(total) * 1000.0 / double(wall) : 0.0,
        static_cast<long long>(stall), stallCpu, busiest, static_cast<long long>(captionStill), PeakMiB());
}

int Screenshot(TForm1& form, const QString& out) {
    // Generated lines with host names and ports, some with PTR names on dnsmasq.
    std::vector<THostEntry> hosts;
    for (uint32_t i = 1; i < 40; i += 3)
        hosts.push_back({V4(0xC0A80A00 + i), "host" + std::to_string(i) + ".lab.example"});
    TDnsmasq dns(hosts);
    form.Memo1->setPlainText(QStringLiteral("office=192.168.10.0/26"));
    form.RadioButton1->setChecked(true);
    form.Memo5->setPlainText(QString::fromStdString(dns.Server()));
    form.show();
    form.StartButton->click();
    QElapsedTimer t;
    t.start();
    while (!form.StartButton->isEnabled() && t.elapsed() < 10000) QApplication::processEvents();
    form.Button5->click();
    while (form.DNSLookupRunning() && t.elapsed() < 20000) QApplication::processEvents();
    t.restart();
    while (t.elapsed() < 800) QApplication::processEvents();
    QPixmap shot = form.screen()->grabWindow(0, form.frameGeometry().x(), form.frameGeometry().y(),
                                             form.frameGeometry().width(), form.frameGeometry().height());
    if (shot.isNull() || shot.width() < 100) shot = form.grab();
    return shot.save(out) ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QTemporaryDir settingsDir;
    zarvo::SetAppFolder({{"-settingsdir", settingsDir.path().toStdString()}, {}, {}, {}});
    TForm1 form;
    if (argc > 2 && std::strcmp(argv[1], "--screenshot") == 0)
        return Screenshot(form, QString::fromLocal8Bit(argv[2]));
    form.show();
    std::printf("peak RSS before: %.1f MiB\n", PeakMiB());

    {
        // 10.1.0.0 .. 10.1.15.255; the first 3072 have names.
        const uint32_t first = 0x0A010000;
        std::vector<THostEntry> hosts;
        for (uint32_t i = 0; i < 3072; ++i)
            hosts.push_back({V4(first + i), "host" + std::to_string(i) + ".bench.example"});
        TDnsmasq dns(hosts);
        Run(form, "(a) 4096 addresses, dnsmasq on loopback (3072 with PTR)", dns.Server(),
            Addresses(first, 4096));
    }
    {
        TScriptedDnsServer refused(
            [](const TBytes& query) { return std::vector<TDatagram>{{RcodeReply(query, 5)}}; });
        Run(form, "(b) 100000 addresses, a server answering REFUSED", refused.Server(),
            Addresses(0x0A000000, 100000));
    }
    return 0;
}
