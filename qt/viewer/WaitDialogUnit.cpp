#include "qt/viewer/WaitDialogUnit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>

#include "qt/widgets/VFormUnit.h"

namespace zarvo::qt {

namespace {

constexpr int kMargin = 19;
constexpr int kWidth = 400;

// The icon of the first icon option set, in the order of the options; none for
// wdoNoIcon and wdoWaitingGif; the information icon when no option names one.
QStyle::StandardPixmap IconOf(TWaitDialogOptions o, bool& shown) {
    shown = true;
    const std::pair<TWaitDialogOptions, QStyle::StandardPixmap> icons[] = {
        {wdoApplicationIcon, QStyle::SP_DesktopIcon},
        {wdoHandIcon, QStyle::SP_MessageBoxCritical},
        {wdoQuestionIcon, QStyle::SP_MessageBoxQuestion},
        {wdoExclamationIcon, QStyle::SP_MessageBoxWarning},
        {wdoAsteriskIcon, QStyle::SP_MessageBoxInformation},
        {wdoWinlogoIcon, QStyle::SP_ComputerIcon},
        {wdoShieldIcon, QStyle::SP_VistaShield},
        {wdoWarningIcon, QStyle::SP_MessageBoxWarning},
        {wdoErrorIcon, QStyle::SP_MessageBoxCritical},
        {wdoInformationIcon, QStyle::SP_MessageBoxInformation},
        {wdoWaitingIcon, QStyle::SP_BrowserReload}};
    for (const auto& [option, pixmap] : icons)
        if (o & option) return pixmap;
    if (o & (wdoNoIcon | wdoWaitingGif)) shown = false;
    return QStyle::SP_MessageBoxInformation;
}

} // namespace

QString TWaitDialogBox::FormatCount(int64_t count) {
    QLocale locale;
    // The C locale leaves numbers ungrouped by default; the figures are always grouped.
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(static_cast<qlonglong>(count));
}

void TWaitDialogBox::SetProgressRange(int64_t aMin, int64_t aMax) {
    FProgressMin.store(aMin, std::memory_order_relaxed);
    FProgressMax.store(aMax, std::memory_order_relaxed);
}

void TWaitDialogBox::SetProgressPos(int64_t progress) {
    FProgressPos.store(progress, std::memory_order_relaxed);
}

void TWaitDialogBox::IncProgressPos(int64_t inc) {
    FProgressPos.fetch_add(inc, std::memory_order_relaxed);
}

void TWaitDialogBox::SetCount(int64_t count) {
    FCount.store(count, std::memory_order_relaxed);
}

bool TWaitDialogBox::WaitForMethod(QWidget* owner, std::function<void()> method, const QString& title,
                                   const QString& text, TWaitDialogOptions options,
                                   const QString& countFormat) {
    FCancelled = false;
    FStartTime.start();
    bool completed;
    {
        TWaitDialog dialog(owner, std::move(method), title, text, options, countFormat);
        Dialogs().ExecDialog(dialog);
        completed = !Cancelled();
    }
    return completed;
}

TWaitDialog::TWaitDialog(QWidget* owner, std::function<void()> method, const QString& title,
                         const QString& text, TWaitDialogOptions options, const QString& countFormat)
    : QDialog(owner), FMethod(std::move(method)), FText(text), FCountFormat(countFormat), FOptions(options) {
    setObjectName(QStringLiteral("WaitDialog"));
    setWindowTitle(title);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setModal(true);
    if (owner) setFont(owner->font());
    TWaitDialogBox::FProgressMin = 0;
    TWaitDialogBox::FProgressMax = 100;
    TWaitDialogBox::FProgressPos = 0;
    TWaitDialogBox::FCount = 0;

    bool iconShown;
    const QStyle::StandardPixmap pixmap = IconOf(options, iconShown);
    int textLeft = kMargin;
    if (iconShown) {
        auto* icon = new QLabel(this);
        icon->setObjectName(QStringLiteral("IconImage"));
        icon->setPixmap(style()->standardIcon(pixmap).pixmap(32, 32));
        icon->setGeometry(kMargin, kMargin, 32, 32);
        textLeft += 43;
    }
    const int textWidth = kWidth - kMargin - textLeft;
    const int textFlags = Qt::TextWordWrap | ((options & wdoCenterText) ? Qt::AlignHCenter : Qt::AlignLeft);
    const QRect bounds = fontMetrics().boundingRect(QRect(0, 0, textWidth, 10000), textFlags, text);
    FTextRect = QRect(textLeft, kMargin, textWidth, std::max(bounds.height(), fontMetrics().height()));
    if (options & wdoWaitingGif) {
        // A busy bar stands in for the animation, centred 15 below the text.
        auto* busy = new QProgressBar(this);
        busy->setObjectName(QStringLiteral("WaitingImage"));
        busy->setRange(0, 0);
        busy->setTextVisible(false);
        busy->setGeometry((kWidth - 96) / 2, FTextRect.bottom() + 1 + 15, 96, 12);
        FTextRect.setHeight(FTextRect.height() + 15 + 12);
    }
    // The anchor line under the text: the controls below align with it.
    const QRect anchor(textLeft, FTextRect.bottom() + 1 + 5, kWidth - kMargin - textLeft, 0);
    FHeaderHeight = anchor.bottom() + 1 + kMargin;

    int clientHeight;
    if (options & (wdoProgressBar | wdoCountLabel | wdoElapsedLabel)) {
        int y = anchor.bottom() + 1 + 31;
        if (options & wdoProgressBar) {
            FProgressBar = new QProgressBar(this);
            FProgressBar->setObjectName(QStringLiteral("ProgressBar"));
            FProgressBar->setRange(0, 100);
            FProgressBar->setValue(0);
            FProgressBar->setGeometry(anchor.left(), y, anchor.width(), 17);
            y = FProgressBar->geometry().bottom() + 1;
        }
        FButton = new QPushButton(QStringLiteral("&Abort"), this);
        FButton->setObjectName(QStringLiteral("AbortButton"));
        FButton->setDefault(true);
        const int buttonWidth = std::max(75, FButton->sizeHint().width());
        FButton->setGeometry(anchor.right() + 1 - buttonWidth, y + 31, buttonWidth, 25);
        connect(FButton, &QPushButton::clicked, this, &TWaitDialog::AbortClick);
        const int labelWidth = FButton->x() - 20 - anchor.left();
        const int labelHeight = fontMetrics().height() + 2;
        if (options & wdoCountLabel) {
            FCountLabel = new QLabel(this);
            FCountLabel->setObjectName(QStringLiteral("CountLabel"));
            FCountLabel->setGeometry(anchor.left(), y + 11, labelWidth, labelHeight);
            y = FCountLabel->geometry().bottom() + 1;
        }
        if (options & wdoElapsedLabel) {
            FElapsedLabel = new QLabel(this);
            FElapsedLabel->setObjectName(QStringLiteral("ElapsedLabel"));
            FElapsedLabel->setGeometry(anchor.left(), y + 11, labelWidth, labelHeight);
        }
        FTimer = new QTimer(this);
        FTimer->setInterval(500);
        connect(FTimer, &QTimer::timeout, this, &TWaitDialog::RefreshProgress);
        clientHeight = std::max(FButton->geometry().bottom() + 1,
                                FElapsedLabel ? FElapsedLabel->geometry().bottom() + 1 : 0) +
                       22;
    } else {
        clientHeight = anchor.bottom() + 1 + 42;
    }
    setFixedSize(kWidth, clientHeight);
    RefreshProgress();

    const QWidget* centre = (options & wdoScreenCenter) || !owner ? nullptr : owner->window();
    const QRect area = centre
                           ? centre->frameGeometry()
                           : (screen() ? screen()->availableGeometry() : QRect(0, 0, kWidth, clientHeight));
    move(area.center() - rect().center());
}

TWaitDialog::~TWaitDialog() {
    if (FThread.joinable()) {
        if (FRunning) TWaitDialogBox::FCancelled = true;
        FThread.join();
    }
}

void TWaitDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (FThread.joinable() || FFinished) return;
    if (FTimer) FTimer->start();
    FRunning = true;
    FThread = std::thread([this] {
        try {
            if (FMethod) FMethod();
        } catch (...) {
            // The method reports its own errors; one that escapes ends the run quietly.
        }
        FRunning = false;
        // Posted to the dialog: dropped unseen if the dialog is gone first.
        QMetaObject::invokeMethod(this, &TWaitDialog::MethodEnded, Qt::QueuedConnection);
    });
    emit MethodStarted();
}

void TWaitDialog::MethodEnded() {
    if (FThread.joinable()) FThread.join();
    FFinished = true;
    if (FTimer) FTimer->stop();
    RefreshProgress();
    QDialog::done(TWaitDialogBox::Cancelled() ? QDialog::Rejected : QDialog::Accepted);
}

void TWaitDialog::AbortClick() {
    TWaitDialogBox::FCancelled = true;
    FButton->setEnabled(false);
}

void TWaitDialog::reject() {
    if (FFinished) QDialog::reject();
}

void TWaitDialog::closeEvent(QCloseEvent* event) {
    if (FFinished)
        QDialog::closeEvent(event);
    else
        event->ignore();
}

void TWaitDialog::RefreshProgress() {
    if (FProgressBar) {
        const int64_t lo = TWaitDialogBox::FProgressMin, hi = TWaitDialogBox::FProgressMax,
                      pos = TWaitDialogBox::FProgressPos;
        int value = 0;
        if (hi - lo >= 1) value = static_cast<int>(std::clamp<int64_t>((pos - lo) * 100 / (hi - lo), 0, 100));
        if (FProgressBar->value() != value) FProgressBar->setValue(value);
    }
    if (FCountLabel) {
        const QString text =
            FormatMessage(FCountFormat, {TWaitDialogBox::FormatCount(TWaitDialogBox::FCount)});
        if (FCountLabel->text() != text) FCountLabel->setText(text);
    }
    if (FElapsedLabel) {
        const qint64 seconds =
            TWaitDialogBox::FStartTime.isValid() ? TWaitDialogBox::FStartTime.elapsed() / 1000 : 0;
        FElapsedLabel->setText(QStringLiteral("Elapsed: %1:%2:%3")
                                   .arg(seconds / 3600)
                                   .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                                   .arg(seconds % 60, 2, 10, QLatin1Char('0')));
    }
}

void TWaitDialog::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(QRect(0, 0, width(), FHeaderHeight), Qt::white);
    p.setPen(QColor(223, 223, 223));
    p.drawLine(0, FHeaderHeight - 1, width(), FHeaderHeight - 1);
    p.setPen(palette().color(QPalette::WindowText));
    const int flags = Qt::TextWordWrap | ((FOptions & wdoCenterText) ? Qt::AlignHCenter : Qt::AlignLeft);
    p.drawText(FTextRect, flags, FText);
}

} // namespace zarvo::qt
