// The main window's reverse DNS lookup panel: the run on its thread, its results, Save.
#include "app/Unit1.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSpinBox>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <climits>

#include "app/Form1Shared.h"

#include "support/ListFile.h"

using namespace zarvo;
using namespace zarvo::qt;
using namespace form1;

// ---------------------------------------------------------------- reverse DNS lookup

namespace {

// Adds lines (each followed by "\n") below the memo's text as one edit, touching
// nothing above, so that the cost does not grow with the memo.
void AppendLines(QPlainTextEdit* memo, QString lines) {
    if (lines.isEmpty()) return;
    lines.chop(1);
    QTextDocument* doc = memo->document();
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    if (cursor.block().length() > 1) cursor.insertBlock(); // the last line has text: start a new one
    cursor.insertText(lines);
    cursor.endEditBlock();
}

} // namespace

int TForm1::MemoLineCount(const QPlainTextEdit* memo) {
    const QTextDocument* doc = memo->document();
    int n = doc->blockCount();
    if (doc->lastBlock().length() <= 1) --n; // empty (its length counts the separator)
    return n;
}

void TForm1::UpdateResolvedCount() {
    SetCaption(Label4, QStringLiteral("Resolved IPs - IP,Domain (") + QString::number(MemoLineCount(Memo3)) +
                           QStringLiteral("):"));
}

void TForm1::UpdateUnresolvedCount() {
    SetCaption(Label5, QStringLiteral("Unresolved IPs (") + QString::number(MemoLineCount(Memo4)) +
                           QStringLiteral("):"));
}

void TForm1::Button5Click() {
    // A run under way ends first; the new one starts afresh.
    EndDNSRun();
    Memo3->clear();
    Memo4->clear();
    std::vector<std::string> servers;
    const QStringList lines = Memo5->toPlainText().split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const QString entry = line.trimmed();
        if (!entry.isEmpty()) servers.push_back(Std(entry));
    }
    if (servers.empty()) {
        FDNSDone = 0;
        FDNSTotal.reset();
        ShowDNSState(TDNSState::NotStarted);
        ErrorMessage(QStringLiteral("Error"), QStringLiteral("No DNS Servers specified"));
        return;
    }
    ResolveIPList(std::move(servers));
}

dns::TLookupSettings TForm1::DNSLookupSettings() const {
    dns::TLookupSettings settings;
    settings.TimeoutMs = static_cast<unsigned>(DNSTimeoutSpin->value());
    settings.InFlight = static_cast<unsigned>(DNSInFlightSpin->value());
    settings.Retries = static_cast<unsigned>(DNSRetriesSpin->value());
    return settings;
}

QString TForm1::DNSStateText(TDNSState state, size_t done, std::optional<size_t> total) {
    // "64 of 4096" once the run has read its addresses.
    const QString count = total ? QStringLiteral("%1 of %2").arg(done).arg(*total) : QString::number(done);
    switch (state) {
    case TDNSState::NotStarted:
        break;
    case TDNSState::Running:
        return QStringLiteral("Running: %1 done").arg(count);
    case TDNSState::Done:
        return QStringLiteral("Done: %1").arg(count);
    case TDNSState::BrokenOff:
        return QStringLiteral("Broken off: %1 done").arg(count);
    case TDNSState::Failed:
        return QStringLiteral("Failed: %1 done").arg(count);
    }
    return QStringLiteral("Not started");
}

void TForm1::ShowDNSState(TDNSState state) {
    SetCaption(DNSStateLabel, DNSStateText(state, FDNSDone, FDNSTotal));
    const bool running = state == TDNSState::Running;
    if (Button9->isEnabled() == running) return;
    // Break pressed from the keyboard: the keyboard goes back to the start button.
    if (!running && focusWidget() == Button9) Button5->setFocus(Qt::OtherFocusReason);
    Button9->setEnabled(running);
}

void TForm1::ResolveIPList(std::vector<std::string> servers) {
    FDNSBreak = false;
    FDNSDone = 0;
    FDNSTotal.reset();
    // The number of addresses is known once the run has read the lines; until then
    // the bar stands empty (a range of 0 to 0 would show Qt's busy indicator).
    ProgressBar1->setRange(0, 1);
    ProgressBar1->setValue(0);
    SetCaption(Label7, QStringLiteral("0"));
    const std::string customDelimiter =
        ComboBox5->currentIndex() == ndCustom ? Std(Edit8->text()) : std::string();
    const uint64_t serial = ++FDNSSerial;
    // The run's word crosses to this thread as a queued call; one that arrives after
    // the window is gone is dropped with it.
    FDNSRun = std::make_unique<TDnsLookupRun>(
        Memo2->Snapshot(), customDelimiter, std::move(servers), DNSLookupSettings(), [this, serial] {
            QMetaObject::invokeMethod(
                this, [this, serial] { DNSResultsWaiting(serial); }, Qt::QueuedConnection);
        });
    ShowDNSState(TDNSState::Running);
}

void TForm1::EndDNSRun() {
    FDNSTimer->stop();
    FDNSRun.reset();
}

void TForm1::DNSResultsWaiting(uint64_t serial) {
    if (!FDNSRun || serial != FDNSSerial) return;
    if (!FDNSTimer->isActive()) FDNSTimer->start(50);
}

void TForm1::TakeDNSResults() {
    if (!FDNSRun) return;
    // Chunk by chunk for about 20 ms, so that each turn of the event loop stays short
    // however fast the answers come; the rest follows at the next turn.
    QElapsedTimer spent;
    spent.start();
    bool more = false, finished = false;
    QString error;
    do {
        TDnsLookupBatch batch = FDNSRun->Take(TDnsLookupRun::kChunkResults, more);
        if (batch.Total) {
            FDNSTotal = batch.Total;
            ProgressBar1->setRange(0, *batch.Total ? int(std::min(*batch.Total, static_cast<size_t>(INT_MAX)))
                                                   : 1);
        }
        AppendLines(Memo3, std::move(batch.Resolved));
        AppendLines(Memo4, std::move(batch.Unresolved));
        FDNSDone += batch.Done;
        finished = batch.Finished;
        error = std::move(batch.Error);
    } while (more && spent.elapsed() < 20);
    ProgressBar1->setValue(int(std::min(FDNSDone, static_cast<size_t>(INT_MAX))));
    SetCaption(Label7, QString::number(FDNSDone));
    if (!finished) {
        ShowDNSState(TDNSState::Running);
        if (more) FDNSTimer->start(0);
        return;
    }
    FDNSRun.reset(); // its thread has ended; this only joins it
    // A break that came after the last address changed nothing: the run is done.
    const bool brokenOff = FDNSBreak && (!FDNSTotal || FDNSDone < *FDNSTotal);
    ShowDNSState(!error.isEmpty() ? TDNSState::Failed : brokenOff ? TDNSState::BrokenOff : TDNSState::Done);
    if (!error.isEmpty()) ErrorMessage(error);
}

void TForm1::Button9Click() {
    FDNSBreak = true;
    // Results that arrived before the break are still shown when the run ends.
    if (FDNSRun) FDNSRun->Stop();
}

void TForm1::Button8Click() {
    Memo3->clear();
    Memo4->clear();
}

void TForm1::Button1Click() {
    Memo5->setPlainText(Memo8->toPlainText());
}

void TForm1::SystemDNSButtonClick() {
    // The servers zarvo-cli rdns asks without -s; the list stays as it was when the
    // file names none or cannot be read.
    std::vector<dns::TDnsServer> servers;
    try {
        servers = dns::ReadResolvConf(ResolvConfPath);
    } catch (const std::exception& e) {
        ErrorMessage(QStringLiteral("Error"), QString::fromUtf8(e.what()));
        return;
    }
    if (servers.empty()) {
        ErrorMessage(
            QStringLiteral("Error"),
            QStringLiteral("%1 lists no usable nameserver").arg(QString::fromStdString(ResolvConfPath)));
        return;
    }
    QStringList lines;
    for (const dns::TDnsServer& s : servers) lines << QString::fromStdString(s.Entry);
    Memo5->setPlainText(lines.join(QLatin1Char('\n')));
}

void TForm1::SaveMemo(const QPlainTextEdit* memo, const QComboBox* delimiter) {
    SaveDialog1.FileName.clear();
    if (!SaveDialog1.Execute(this)) return;
    try {
        const QByteArray text = memo->toPlainText().toUtf8();
        SaveListToFile(TStringList::FromText(std::string_view(text.constData(), size_t(text.size()))),
                       SaveDialog1.FileName, GetListDelimiter(delimiter));
    } catch (const std::exception& e) {
        ErrorMessage(QString::fromUtf8(e.what()));
    }
}

void TForm1::Button6Click() {
    SaveMemo(Memo3, ComboBox3);
}

void TForm1::Button7Click() {
    SaveMemo(Memo4, ComboBox4);
}
