// Binds a TProgress to Qt controls: owns the display and restart timers, mirrors
// the tracker's snapshot in the bound labels and progress bar, and hands the
// Start, Break and Close buttons' clicks to the tracker. Window's thread only.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include "support/uProgress.h"

class QAbstractButton;
class QLabel;
class QProgressBar;
class QWidget;

namespace zarvo::qt {

class TProgressBinding : public QObject, public IProgressControls {
    Q_OBJECT
public:
    static constexpr int kTimerInterval = 100;

    explicit TProgressBinding(TProgress& progress, QObject* parent = nullptr);
    ~TProgressBinding() override;

    TProgress& Progress() { return FProgress; }
    QTimer& Timer() { return FTimer; }
    QTimer& RestartTimer() { return FRestartTimer; }

    // Each binding stores the control and then hides or shows the controls by the flags.
    void SetProgressBar(QProgressBar* bar);
    void SetProgressLabel(QLabel* label);
    void SetElapsedLabel(QLabel* label);
    void SetElapsedTitleLabel(QLabel* label);
    void SetProcessedLabel(QLabel* label);
    void SetProcessedTitleLabel(QLabel* label);
    void SetProcessedGoodLabel(QLabel* label);
    void SetProcessedGoodTitleLabel(QLabel* label);
    void SetProcessedBadLabel(QLabel* label);
    void SetProcessedBadTitleLabel(QLabel* label);
    void SetStatusLabel(QLabel* label);
    void SetStartButton(QAbstractButton* button);
    void SetBreakButton(QAbstractButton* button);
    void SetCloseButton(QAbstractButton* button);
    // The window that the Close button closes; by default the Close button's window.
    void SetMainWindow(QWidget* window) { FMainWindow = window; }

    // IProgressControls
    void ShowControls(bool visible, TProgressFlags flags) override;
    void Display(const TProgressSnapshot& s) override;
    void SetStartEnabled(bool enabled) override;
    void SetBreakEnabled(bool enabled) override;
    void SetCloseEnabled(bool enabled) override;
    void SetRestartTimer(bool enabled, int intervalMs) override;
    void CloseMainWindow() override;
    void ProcessMessages() override;

private:
    void Bound() { FProgress.ShowControls(false); }

    TProgress& FProgress;
    QTimer FTimer, FRestartTimer;
    QPointer<QProgressBar> FProgressBar;
    QPointer<QLabel> FProgressLabel, FElapsedLabel, FElapsedTitleLabel, FProcessedLabel, FProcessedTitleLabel,
        FProcessedGoodLabel, FProcessedGoodTitleLabel, FProcessedBadLabel, FProcessedBadTitleLabel,
        FStatusLabel;
    QPointer<QAbstractButton> FStartButton, FBreakButton, FCloseButton;
    QPointer<QWidget> FMainWindow;
};

} // namespace zarvo::qt
