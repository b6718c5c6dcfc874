// The main window's generation run: its request, its worker thread and its outcome.
#include "app/Unit1.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "app/Form1Shared.h"

using namespace zarvo;
using namespace zarvo::qt;
using namespace form1;

// ---------------------------------------------------------------- the worker

TZarvoThread::TZarvoThread(TForm1& form) : FForm(form) {
    FForm.OnStartThread();
    FThread = std::thread([this] { FForm.DoProcess(); });
}

TZarvoThread::~TZarvoThread() {
    if (FThread.joinable()) FThread.join();
}

// ---------------------------------------------------------------- the request

std::optional<TGenerateRequest> TForm1::ReadRequest() {
    try {
        TGenerateRequest request = MakeGenerateRequest(ReadOptions());
        if (MemoryBudget) request.MemoryBudget = *MemoryBudget;
        // An appending run counts the pane's lines as its own: against the budget and in
        // the result.
        if (request.Append) {
            const TLineSnapshot kept = Memo2->Snapshot();
            request.SinkKeptLines = kept.LineCount();
            request.SinkKeptBytes = kept.LineCount() ? kept.MemoryBytes() : 0;
        }
        return request;
    } catch (const EOptionMissing& e) {
        CheckNotEmpty(Edit9->text(), Q(e.Caption));
        Edit9->setFocus();
    } catch (const std::exception& e) {
        ErrorMessage(QString::fromUtf8(e.what()));
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- the run

void TForm1::FocusLeft(TFocusReturn& f, QWidget* before) {
    // Disabling the focused control moved the keyboard on (to the next control).
    QWidget* now = focusWidget();
    f.Home = before && before != now ? before : nullptr;
    f.MovedTo = now;
}

void TForm1::FocusBack(TFocusReturn& f) {
    QWidget* now = focusWidget();
    if (f.Home && f.Home->isEnabled() && (!now || now == f.MovedTo)) f.Home->setFocus(Qt::OtherFocusReason);
    f = {};
}

void TForm1::SetRunningButtons(bool running) {
    QWidget* before = focusWidget();
    StartButton->setEnabled(!running);
    BreakButton->setEnabled(running);
    if (running)
        FocusLeft(FRunFocus, before);
    else
        FocusBack(FRunFocus);
}

void TForm1::ProgressBeforeStart(bool& allow, bool& /*clearLog*/) {
    std::optional<TGenerateRequest> request;
    if (!FPaneTask.joinable()) request = ReadRequest();
    allow = request.has_value();
    if (!allow) return;
    FRequest = std::move(*request);
    SaveSettings();
    SetRunningButtons(true);
    FRunActive = true;
    // The pane keeps its lines until the run's are ready: a run that fails or is
    // refused leaves it as it was. An appending run builds on the lines shown now,
    // sharing their memory.
    FRunBase = FRequest.Append ? Memo2->Snapshot() : TLineSnapshot();
    FRunResult.reset();
    Memo2->SetReadOnly(true);
    UpdatePaneButtons();
    SetBusyCursor(true);
}

void TForm1::OnStartProcess() {
    FThread = std::make_unique<TZarvoThread>(*this);
}

void TForm1::DoProcess() {
    // Runs on the worker. The engine hands its lines over in chunks, which go
    // straight into the chunks of the pane's next text; the outcome crosses to the
    // window's thread as values. A failed run's lines are given back here.
    std::string text;
    bool failed = false, ok = false;
    std::optional<TLineSnapshot> lines;
    try {
        TLineSnapshotBuilder builder(FRunBase);
        FRequest.LineSink = [&builder](const TStringList& chunk) { builder.AddLines(chunk); };
        ok = FUtils->PerformGenerateIPList(FRequest, text);
        if (ok) lines = builder.Finish();
    } catch (const std::exception& e) {
        failed = true;
        text = e.what();
    } catch (...) {
        failed = true;
        text.clear();
    }
    FRequest = TGenerateRequest(); // its range lines are not kept
    QMetaObject::invokeMethod(
        this,
        [this, failed, ok, text = std::move(text), lines = std::move(lines)]() mutable {
            ThreadDone(failed, ok, std::move(text), std::move(lines));
        },
        Qt::QueuedConnection);
}

void TForm1::ThreadDone(bool failed, bool ok, std::string text, std::optional<TLineSnapshot> lines) {
    FThread.reset(); // the worker has posted its last word; this only joins it
    FActionResult = std::move(text);
    FRunBase = TLineSnapshot();
    if (!failed) FRunResult = std::move(lines);
    const bool terminated = FProgress->Terminated();
    if (failed) {
        ShowFailed();
        if (terminated) ShowTerminated();
    } else if (terminated) {
        ShowTerminated();
    } else if (ok) {
        ShowResult();
    } else {
        ShowFailed();
    }
    OnEndThread();
}

void TForm1::OnEndThread() {
    if (--FActiveThreads == 0) FProgress->EndProgress();
}

void TForm1::ShowResult() {
    FProgress->SetStatus(FActionResult);
}

void TForm1::ShowFailed() {
    const std::string status = FActionResult.empty() ? std::string("Failed.") : FActionResult;
    FProgress->SetStatus(status);
    ErrorMessage(Q(status));
}

void TForm1::ShowTerminated() {
    FProgress->SetStatus("Terminated.");
}

void TForm1::ProgressAfterStop() {
    // The run's whole list (the kept lines and the new ones) becomes the text as one
    // undo step; it shares its chunks, so nothing is copied here.
    if (FRunResult) Memo2->Assign(*FRunResult);
    FRunResult.reset();
    FRunActive = false;
    Memo2->SetReadOnly(false);
    SetRunningButtons(false);
    UpdatePaneButtons();
    SetBusyCursor(false);
}

void TForm1::UpdatePaneButtons() {
    const bool idle = !FRunActive && !FPaneTask.joinable();
    for (QWidget* b :
         {static_cast<QWidget*>(Button2), static_cast<QWidget*>(Button10), static_cast<QWidget*>(Button3)})
        b->setEnabled(idle);
}

void TForm1::SetBusyCursor(bool busy) {
    // The arrow with a busy sign: the window still answers while a worker works.
    if (busy) {
        QApplication::setOverrideCursor(Qt::BusyCursor);
        ++FBusyCursors;
    } else if (FBusyCursors > 0) {
        QApplication::restoreOverrideCursor();
        --FBusyCursors;
    }
}

void TForm1::UpdateIPCountLabel() {
    const QString n = QString::number(Memo2->LineCount());
    SetCaption(Label2, CheckBox3->isChecked() ? QStringLiteral("Name IPs (") + n + QStringLiteral("):")
                                              : QStringLiteral("IPs (") + n + QStringLiteral("):"));
}
