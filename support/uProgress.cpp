#include "support/uProgress.h"

#include <chrono>

#include "support/ZarvoText.h"

namespace zarvo {

TProgress::TProgress() {
    Now = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
}

void TProgress::SetControls(IProgressControls* controls) {
    FControls = controls;
    ShowControls(false);
}

void TProgress::SetMin(int64_t v) {
    if (Position() < v) SetPosition(v);
    FMin.store(v, std::memory_order_relaxed);
}

void TProgress::SetMax(int64_t v) {
    if (v < Position()) SetPosition(v);
    FMax.store(v, std::memory_order_relaxed);
}

void TProgress::ReportRange(int64_t max) {
    SetMax(max);
    SetPosition(0);
    SetProcessed(0);
}

std::string TProgress::Status() const {
    std::lock_guard<std::mutex> lock(FStatusLock);
    return FStatus;
}

void TProgress::SetStatus(const std::string& s) {
    std::lock_guard<std::mutex> lock(FStatusLock);
    FStatus = s;
}

int64_t TProgress::Percent() const {
    const int64_t range = Max() - Min();
    if (range <= 0) return 0;
    // Wide enough that a position far past Max still gives the true quotient.
    return static_cast<int64_t>(static_cast<__int128>(Position() - Min()) * 100 / range);
}

int64_t TProgress::Elapsed() const {
    if (FStartTime == 0) return 0;
    const int64_t end = FEndTime != 0 ? FEndTime : Now();
    return (end - FStartTime) / 1000;
}

std::string TProgress::FormatElapsed(int64_t ms) {
    if (ms < 0) ms = 0;
    const int64_t s = ms / 1000;
    return Format("%lld:%02lld:%02lld", static_cast<long long>(s / 3600), static_cast<long long>(s / 60 % 60),
                  static_cast<long long>(s % 60));
}

TProgressSnapshot TProgress::Snapshot() const {
    TProgressSnapshot s;
    s.Percent = Percent();
    s.Status = Status();
    s.Processed = Processed();
    s.ProcessedGood = ProcessedGood();
    s.ProcessedBad = ProcessedBad();
    s.Running = FStartTime != 0 && FEndTime == 0;
    if (s.Running) {
        s.ElapsedMs = Now() - FStartTime;
        s.ElapsedText = FormatElapsed(s.ElapsedMs);
    }
    return s;
}

void TProgress::TimerTick() {
    const int64_t now = Now();
    if (FUpdatePeriod != 0 && now - FUpTime < FUpdatePeriod) return;
    Display();
    FUpTime = now;
}

void TProgress::Display() {
    if (FControls) FControls->Display(Snapshot());
    Fire(OnDisplay);
    if (FControls) FControls->ProcessMessages();
}

void TProgress::ShowControls(bool visible) {
    if (FControls && FFlags != 0) FControls->ShowControls(visible, FFlags);
}

void TProgress::SetFlags(TProgressFlags f) {
    FFlags = f;
    ShowControls(false);
}

void TProgress::SetTerminated(bool value) {
    if (value != FTerminated.load()) {
        FTerminated.store(value);
        if (FControls) {
            if (!value)
                FControls->SetBreakEnabled(true);
            else if (FRestartSeconds <= 0)
                FControls->SetBreakEnabled(false);
        }
        if (value && FEndTime == 0) {
            // Broken off while the action still runs: Start stays disabled until it ends.
            DoTerminate();
            return;
        }
    }
    if (FControls) {
        FControls->SetStartEnabled(value && FRestartSeconds <= 0);
        FControls->SetCloseEnabled(value);
    }
}

void TProgress::StartProgress() {
    bool allow = true, clearLog = true;
    DoBeforeStart(allow, clearLog);
    if (!allow) return;
    ShowControls(true);
    FStartTime = Now();
    FEndTime = 0;
    SetPosition(Min());
    SetStatus({});
    SetProcessed(0);
    SetProcessedGood(0);
    SetProcessedBad(0);
    SetTerminated(false);
    Display();
    DoStart();
}

void TProgress::EndProgress() {
    DoStop();
    if (FRestartSeconds <= 0) FEndTime = Now();
    SetTerminated(true);
    Display();
    ShowControls(false);
    if (FRestartSeconds <= 0) {
        DoAfterStop();
        return;
    }
    FStartTime = Now();
    SetStatus("Waiting for restart...");
    FRestartTimerEnabled = true;
    if (FControls) FControls->SetRestartTimer(true, FRestartSeconds * 1000);
}

void TProgress::RestartTimerTick() {
    FRestartTimerEnabled = false;
    if (FControls) FControls->SetRestartTimer(false, 0);
    if (FRestartSeconds > 0) StartProgress();
}

void TProgress::BreakButtonClick() {
    FRestartSeconds = 0;
    DoBreakClicked();
    if (FRestartTimerEnabled) {
        FRestartTimerEnabled = false;
        if (FControls) FControls->SetRestartTimer(false, 0);
        FEndTime = 0;
        SetStatus("Stopped.");
        // Back to idle: nothing is pending any more, so Start must not stay disabled.
        if (FControls) {
            FControls->SetStartEnabled(true);
            FControls->SetCloseEnabled(true);
        }
    } else if (FTerminated.load()) {
        return;
    }
    FTerminated.store(true);
    if (FControls) FControls->SetBreakEnabled(false);
    if (FEndTime == 0) DoTerminate();
}

void TProgress::CloseButtonClick() {
    if (FControls) FControls->CloseMainWindow();
}

} // namespace zarvo
