// The progress tracker of one long-running action. This is the toolkit-free state
// and its start/stop/break sequence; a window binds its controls through
// IProgressControls and drives TimerTick from a timer on its own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "support/ProgressSink.h"

namespace zarvo {

enum TProgressFlag : uint8_t { pfPBHidden = 1, pfBBHidden = 2, pfSBHide = 4 };
using TProgressFlags = uint8_t;

// A copy of everything the display shows, taken at one moment.
struct TProgressSnapshot {
    int64_t Percent = 0;
    std::string Status;
    int64_t Processed = 0, ProcessedGood = 0, ProcessedBad = 0;
    bool Running = false;    // start time set, end time 0
    int64_t ElapsedMs = 0;   // since the start, while running
    std::string ElapsedText; // "h:mm:ss", while running
};

// What a window does with its bound controls. Every call comes on the window's thread.
class IProgressControls {
public:
    virtual ~IProgressControls() = default;
    virtual void ShowControls(bool visible, TProgressFlags flags) = 0;
    virtual void Display(const TProgressSnapshot& s) = 0;
    virtual void SetStartEnabled(bool enabled) = 0;
    virtual void SetBreakEnabled(bool enabled) = 0;
    virtual void SetCloseEnabled(bool enabled) = 0;
    virtual void SetRestartTimer(bool enabled, int intervalMs) = 0;
    virtual void CloseMainWindow() = 0;
    virtual void ProcessMessages() {}
};

class TProgress : public IProgressSink {
public:
    using TNotifyEvent = std::function<void(TProgress&)>;
    using TBeforeStartEvent = std::function<void(TProgress&, bool& allow, bool& clearLog)>;

    TProgress();
    virtual ~TProgress() = default;

    TProgress(const TProgress&) = delete;
    TProgress& operator=(const TProgress&) = delete;

    void SetControls(IProgressControls* controls);

    // ---- callable from any thread ----
    void IncProgress(int64_t inc) { FPosition.fetch_add(inc, std::memory_order_relaxed); }
    void IncProcessed(int64_t inc) { FProcessed.fetch_add(inc, std::memory_order_relaxed); }
    void IncProcessedGood(int64_t inc) { FProcessedGood.fetch_add(inc, std::memory_order_relaxed); }
    void IncProcessedBad(int64_t inc) { FProcessedBad.fetch_add(inc, std::memory_order_relaxed); }
    int64_t Position() const { return FPosition.load(std::memory_order_relaxed); }
    void SetPosition(int64_t v) { FPosition.store(v, std::memory_order_relaxed); }
    int64_t Min() const { return FMin.load(std::memory_order_relaxed); }
    void SetMin(int64_t v);
    int64_t Max() const { return FMax.load(std::memory_order_relaxed); }
    void SetMax(int64_t v);
    int64_t Processed() const { return FProcessed.load(std::memory_order_relaxed); }
    void SetProcessed(int64_t v) { FProcessed.store(v, std::memory_order_relaxed); }
    int64_t ProcessedGood() const { return FProcessedGood.load(std::memory_order_relaxed); }
    void SetProcessedGood(int64_t v) { FProcessedGood.store(v, std::memory_order_relaxed); }
    int64_t ProcessedBad() const { return FProcessedBad.load(std::memory_order_relaxed); }
    void SetProcessedBad(int64_t v) { FProcessedBad.store(v, std::memory_order_relaxed); }
    std::string Status() const;
    void SetStatus(const std::string& s);
    bool Terminated() const { return FTerminated.load(); }
    // (Position - Min) * 100 div (Max - Min), 0 for an empty range; not clamped.
    int64_t Percent() const;

    // ---- window thread ----
    void SetTerminated(bool value);
    void StartProgress();
    void EndProgress();
    virtual void TimerTick();
    virtual void RestartTimerTick();
    virtual void BreakButtonClick();
    virtual void StartButtonClick() { StartProgress(); }
    virtual void CloseButtonClick();
    virtual void Display();
    virtual void ShowControls(bool visible);
    TProgressSnapshot Snapshot() const;

    // ---- IProgressSink, from any thread ----
    void ReportStatus(const std::string& status) override { SetStatus(status); }
    void ReportRange(int64_t max) override;
    void ReportAdvance(int64_t n) override {
        IncProgress(n);
        IncProcessed(n);
    }
    void ReportDone() override { SetPosition(Max()); }
    bool StopRequested() const override { return Terminated(); }

    TProgressFlags Flags() const { return FFlags; }
    void SetFlags(TProgressFlags f);
    int64_t UpdatePeriod() const { return FUpdatePeriod; }
    void SetUpdatePeriod(int64_t ms) { FUpdatePeriod = ms; }
    int RestartSeconds() const { return FRestartSeconds; }
    void SetRestartSeconds(int s) { FRestartSeconds = s; }
    // Milliseconds since the epoch; 0 means not set.
    int64_t StartTime() const { return FStartTime; }
    int64_t EndTime() const { return FEndTime; }
    // Whole seconds from the start to the end, or to now while running.
    int64_t Elapsed() const;
    static std::string FormatElapsed(int64_t ms);

    TBeforeStartEvent BeforeStart;
    TNotifyEvent AfterStop, OnStart, OnStop, OnTerminate, OnBreakClicked, OnDisplay;

    // The clock, replaceable so that tests control time.
    std::function<int64_t()> Now;

protected:
    virtual void DoBeforeStart(bool& allow, bool& clearLog) {
        if (BeforeStart) BeforeStart(*this, allow, clearLog);
    }
    virtual void DoStart() { Fire(OnStart); }
    virtual void DoStop() { Fire(OnStop); }
    virtual void DoAfterStop() { Fire(AfterStop); }
    virtual void DoTerminate() { Fire(OnTerminate); }
    virtual void DoBreakClicked() { Fire(OnBreakClicked); }

private:
    void Fire(const TNotifyEvent& e) {
        if (e) e(*this);
    }

    IProgressControls* FControls = nullptr;
    bool FRestartTimerEnabled = false;
    TProgressFlags FFlags = 0;
    int64_t FStartTime = 0, FEndTime = 0;
    int64_t FUpdatePeriod = 500;
    int64_t FUpTime = 0;
    std::atomic<int64_t> FPosition{0}, FMin{0}, FMax{100};
    mutable std::mutex FStatusLock;
    std::string FStatus;
    std::atomic<int64_t> FProcessed{0}, FProcessedGood{0}, FProcessedBad{0};
    std::atomic<bool> FTerminated{true};
    int FRestartSeconds = 0;
};

} // namespace zarvo
