#include "qt/widgets/ProgressBinding.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QProgressBar>
#include <algorithm>

namespace zarvo::qt {

TProgressBinding::TProgressBinding(TProgress& progress, QObject* parent)
    : QObject(parent), FProgress(progress) {
    FTimer.setInterval(kTimerInterval);
    connect(&FTimer, &QTimer::timeout, this, [this] { FProgress.TimerTick(); });
    FTimer.start();
    FRestartTimer.setSingleShot(false);
    connect(&FRestartTimer, &QTimer::timeout, this, [this] { FProgress.RestartTimerTick(); });
    FProgress.SetControls(this);
}

TProgressBinding::~TProgressBinding() {
    FTimer.stop();
    FRestartTimer.stop();
    FProgress.SetControls(nullptr);
}

void TProgressBinding::SetProgressBar(QProgressBar* bar) {
    FProgressBar = bar;
    if (bar) {
        bar->setMinimum(0);
        bar->setValue(0);
        bar->setMaximum(100);
    }
    Bound();
}

void TProgressBinding::SetProgressLabel(QLabel* label) {
    FProgressLabel = label;
    if (label) label->setText(QString::number(FProgress.Percent()) + QStringLiteral(" %"));
    Bound();
}

void TProgressBinding::SetElapsedLabel(QLabel* label) {
    FElapsedLabel = label;
    Bound();
}

void TProgressBinding::SetElapsedTitleLabel(QLabel* label) {
    FElapsedTitleLabel = label;
    Bound();
}

void TProgressBinding::SetProcessedLabel(QLabel* label) {
    FProcessedLabel = label;
    Bound();
}

void TProgressBinding::SetProcessedTitleLabel(QLabel* label) {
    FProcessedTitleLabel = label;
    Bound();
}

void TProgressBinding::SetProcessedGoodLabel(QLabel* label) {
    FProcessedGoodLabel = label;
    Bound();
}

void TProgressBinding::SetProcessedGoodTitleLabel(QLabel* label) {
    FProcessedGoodTitleLabel = label;
    Bound();
}

void TProgressBinding::SetProcessedBadLabel(QLabel* label) {
    FProcessedBadLabel = label;
    Bound();
}

void TProgressBinding::SetProcessedBadTitleLabel(QLabel* label) {
    FProcessedBadTitleLabel = label;
    Bound();
}

// Messages break lines with CR LF; a label breaks at LF.
static QString LabelText(const std::string& s) {
    return QString::fromStdString(s).replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

void TProgressBinding::SetStatusLabel(QLabel* label) {
    FStatusLabel = label;
    if (label) label->setText(LabelText(FProgress.Status()));
    Bound();
}

void TProgressBinding::SetStartButton(QAbstractButton* button) {
    if (FStartButton) disconnect(FStartButton, nullptr, this, nullptr);
    FStartButton = button;
    if (button) connect(button, &QAbstractButton::clicked, this, [this] { FProgress.StartButtonClick(); });
    Bound();
}

void TProgressBinding::SetBreakButton(QAbstractButton* button) {
    if (FBreakButton) disconnect(FBreakButton, nullptr, this, nullptr);
    FBreakButton = button;
    if (button) {
        connect(button, &QAbstractButton::clicked, this, [this] { FProgress.BreakButtonClick(); });
        button->setEnabled(false);
    }
    Bound();
}

void TProgressBinding::SetCloseButton(QAbstractButton* button) {
    if (FCloseButton) disconnect(FCloseButton, nullptr, this, nullptr);
    FCloseButton = button;
    if (button) connect(button, &QAbstractButton::clicked, this, [this] { FProgress.CloseButtonClick(); });
    Bound();
}

void TProgressBinding::ShowControls(bool visible, TProgressFlags flags) {
    auto show = [](QWidget* w, bool v) {
        if (w) w->setVisible(v);
    };
    if (flags & pfPBHidden) {
        for (QWidget* w :
             {static_cast<QWidget*>(FProgressBar.data()), static_cast<QWidget*>(FProgressLabel.data()),
              static_cast<QWidget*>(FElapsedLabel.data()), static_cast<QWidget*>(FElapsedTitleLabel.data()),
              static_cast<QWidget*>(FProcessedLabel.data()),
              static_cast<QWidget*>(FProcessedTitleLabel.data()),
              static_cast<QWidget*>(FProcessedGoodLabel.data()),
              static_cast<QWidget*>(FProcessedGoodTitleLabel.data()),
              static_cast<QWidget*>(FProcessedBadLabel.data()),
              static_cast<QWidget*>(FProcessedBadTitleLabel.data()),
              static_cast<QWidget*>(FStatusLabel.data())})
            show(w, visible);
    }
    if (flags & pfBBHidden) show(FBreakButton, visible);
    if (flags & pfSBHide) show(FStartButton, !visible);
}

void TProgressBinding::Display(const TProgressSnapshot& s) {
    // The bar shows 0..100; the label shows the true figure, also past 100.
    if (FProgressBar) FProgressBar->setValue(static_cast<int>(std::clamp<int64_t>(s.Percent, 0, 100)));
    if (FStatusLabel) FStatusLabel->setText(LabelText(s.Status));
    if (FProgressLabel) FProgressLabel->setText(QString::number(s.Percent) + QStringLiteral(" %"));
    if (FProcessedLabel) FProcessedLabel->setText(QString::number(s.Processed));
    if (FProcessedGoodLabel) FProcessedGoodLabel->setText(QString::number(s.ProcessedGood));
    if (FProcessedBadLabel) FProcessedBadLabel->setText(QString::number(s.ProcessedBad));
    if (FElapsedLabel && s.Running) FElapsedLabel->setText(QString::fromStdString(s.ElapsedText));
}

void TProgressBinding::SetStartEnabled(bool enabled) {
    if (FStartButton) FStartButton->setEnabled(enabled);
}

void TProgressBinding::SetBreakEnabled(bool enabled) {
    if (FBreakButton) FBreakButton->setEnabled(enabled);
}

void TProgressBinding::SetCloseEnabled(bool enabled) {
    if (FCloseButton) FCloseButton->setEnabled(enabled);
}

void TProgressBinding::SetRestartTimer(bool enabled, int intervalMs) {
    if (enabled)
        FRestartTimer.start(intervalMs);
    else
        FRestartTimer.stop();
}

void TProgressBinding::CloseMainWindow() {
    QWidget* w = FMainWindow ? FMainWindow.data() : (FCloseButton ? FCloseButton->window() : nullptr);
    if (w) w->close();
}

void TProgressBinding::ProcessMessages() {
    // Repaint what the display changed, but dispatch no input or queued calls: the
    // tracker calls this from inside its own handlers (EndProgress, StartProgress),
    // where a nested Start click would run a second action inside the first.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
}

} // namespace zarvo::qt
