// The main window's output pane: Clear, Shuffle and Save to file, the long steps on a thread of their own.
#include "app/Unit1.h"

#include <QComboBox>
#include <QFile>
#include <QTimer>

#include "app/Form1Shared.h"

#include "support/ListFile.h"
#include "support/ZarvoRandom.h"

using namespace zarvo;
using namespace zarvo::qt;
using namespace form1;

// ---------------------------------------------------------------- the pane

void TForm1::Button2Click() {
    Memo2->Clear(); // one undo step, like any other change of the pane
}

void TForm1::Button10Click() {
    if (Memo2->LineCount() < 2) return;
    const TLineSnapshot base = Memo2->Snapshot();
    StartPaneTask("Action: Shuffle", true, [this, base](const TLineProgress& progress) -> TPaneFinish {
        Randomize();
        const TLineSnapshot shuffled = base.Shuffled(progress);
        if (shuffled.SameAs(base)) return {};
        // Read-only meanwhile, the text is still base: one undo step.
        return [this, base, shuffled] { Memo2->Buffer().Commit(base, shuffled); };
    });
}

std::string TForm1::GetListDelimiter(const QComboBox* combo) {
    return ListDelimiter(static_cast<TListDelimiter>(combo->currentIndex()));
}

void TForm1::SaveListToFile(const TStringList& lines, const QString& fileName, const std::string& delimiter) {
    zarvo::SaveListToFile(lines, QFile::encodeName(fileName).toStdString(), delimiter);
}

void TForm1::Button3Click() {
    SaveDialog1.FileName.clear();
    if (!SaveDialog1.Execute(this)) return;
    // The lines as they are now; the pane may go on being edited while they are written.
    const std::string fileName = QFile::encodeName(SaveDialog1.FileName).toStdString();
    StartPaneTask("Action: Save to file", false,
                  [lines = Memo2->Snapshot(), fileName,
                   delimiter = GetListDelimiter(ComboBox2)](const TLineProgress& progress) -> TPaneFinish {
                      SaveLinesToFile(lines, fileName, delimiter, progress);
                      return {};
                  });
}

// ---------------------------------------------------------------- long steps on the pane

void TForm1::StartPaneTask(const std::string& status, bool readOnly, TPaneWork work) {
    FPaneStop = false;
    FPaneDone = 0;
    FPaneTotal = 0;
    FPaneReadOnly = readOnly;
    if (readOnly) Memo2->SetReadOnly(true);
    QWidget* before = focusWidget();
    StartButton->setEnabled(false);
    SetBusyCursor(true);
    FPaneStatusBefore = FProgress->Status();
    FProgress->SetStatus(status);
    FProgress->SetMax(100);
    FProgress->SetPosition(0);
    FProgress->Display();
    const uint64_t serial = ++FPaneSerial;
    FPaneTask = std::thread([this, serial, work = std::move(work)] {
        const TLineProgress progress = [this](size_t done, size_t total) {
            FPaneTotal.store(total, std::memory_order_relaxed);
            FPaneDone.store(done, std::memory_order_relaxed);
            return !FPaneStop.load(std::memory_order_relaxed);
        };
        TPaneFinish finish;
        try {
            finish = work(progress);
        } catch (const std::bad_alloc&) {
            finish = [this] { ErrorMessage(QStringLiteral("Not enough memory")); };
        } catch (const std::exception& e) {
            finish = [this, message = std::string(e.what())] { ErrorMessage(QString::fromUtf8(message)); };
        }
        // Dropped with the window if it is gone; a stopped task's word is known by its number.
        QMetaObject::invokeMethod(
            this, [this, serial, finish = std::move(finish)] { PaneTaskDone(serial, finish); },
            Qt::QueuedConnection);
    });
    UpdatePaneButtons();
    FocusLeft(FPaneFocus, before);
    FPaneTimer->start();
}

void TForm1::ShowPaneTaskProgress() {
    const size_t total = FPaneTotal.load(std::memory_order_relaxed);
    if (total == 0) return;
    FProgress->SetMax(static_cast<int64_t>(total));
    FProgress->SetPosition(static_cast<int64_t>(FPaneDone.load(std::memory_order_relaxed)));
    FProgress->Display();
}

void TForm1::PaneTaskDone(uint64_t serial, const TPaneFinish& finish) {
    if (serial != FPaneSerial || !FPaneTask.joinable()) return;
    FPaneTask.join();
    EndPaneTask(true);
    if (finish) finish();
}

void TForm1::StopPaneTask() {
    if (!FPaneTask.joinable()) return;
    FPaneStop = true;
    FPaneTask.join();
    EndPaneTask(false);
}

void TForm1::EndPaneTask(bool completed) {
    FPaneTimer->stop();
    if (completed) {
        ShowPaneTaskProgress();
        FProgress->SetPosition(FProgress->Max());
    }
    FProgress->SetStatus(FPaneStatusBefore);
    FProgress->Display();
    if (FPaneReadOnly) Memo2->SetReadOnly(false);
    StartButton->setEnabled(true);
    UpdatePaneButtons();
    FocusBack(FPaneFocus);
    SetBusyCursor(false);
}
