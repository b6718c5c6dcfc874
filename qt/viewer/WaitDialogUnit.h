// A modal dialog that runs one long operation on a worker thread: a title, a
// text, an icon and, on request, a progress bar, a running count, the elapsed time
// and "&Abort". The operation reports through the class-level setters (any thread,
// any rate; the dialog shows them every 500 ms) and polls Cancelled().
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace zarvo::qt {

enum TWaitDialogOption : uint32_t {
    wdoProgressBar = 1u << 0,
    wdoCountLabel = 1u << 1,
    wdoElapsedLabel = 1u << 2,
    wdoApplicationIcon = 1u << 3,
    wdoHandIcon = 1u << 4,
    wdoQuestionIcon = 1u << 5,
    wdoExclamationIcon = 1u << 6,
    wdoAsteriskIcon = 1u << 7,
    wdoWinlogoIcon = 1u << 8,
    wdoShieldIcon = 1u << 9,
    wdoWarningIcon = 1u << 10,
    wdoErrorIcon = 1u << 11,
    wdoInformationIcon = 1u << 12,
    wdoWaitingIcon = 1u << 13,
    wdoNoIcon = 1u << 14,
    wdoWaitingGif = 1u << 15,
    wdoCenterText = 1u << 16,
    wdoScreenCenter = 1u << 17,
};
using TWaitDialogOptions = uint32_t;

// The dialog window itself; WaitForMethod builds one per call. Its controls are
// named "AbortButton", "ProgressBar", "CountLabel" and "ElapsedLabel".
class TWaitDialog : public QDialog {
    Q_OBJECT
public:
    TWaitDialog(QWidget* owner, std::function<void()> method, const QString& title, const QString& text,
                TWaitDialogOptions options, const QString& countFormat);
    // Asks a running method to stop and waits for it.
    ~TWaitDialog() override;

    // The method has returned (its end has reached the window's thread).
    bool Finished() const { return FFinished; }
    void RefreshProgress();

public slots:
    void reject() override; // Escape: refused while the method runs

signals:
    void MethodStarted();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void AbortClick();
    void MethodEnded();

    std::function<void()> FMethod;
    std::thread FThread;
    std::atomic<bool> FRunning{false};
    bool FFinished = false;
    QString FText, FCountFormat;
    TWaitDialogOptions FOptions;
    QRect FTextRect;
    int FHeaderHeight = 0;
    QProgressBar* FProgressBar = nullptr;
    QPushButton* FButton = nullptr;
    QLabel* FCountLabel = nullptr;
    QLabel* FElapsedLabel = nullptr;
    QTimer* FTimer = nullptr;
};

class TWaitDialogBox {
public:
    TWaitDialogBox() = delete;

    // Runs method on a worker thread behind a modal dialog (shown through
    // Dialogs().ExecDialog); true when "&Abort" was not pressed.
    static bool WaitForMethod(QWidget* owner, std::function<void()> method, const QString& title,
                              const QString& text, TWaitDialogOptions options,
                              const QString& countFormat = {});

    static void SetProgressRange(int64_t aMin, int64_t aMax);
    static void SetProgressPos(int64_t progress);
    static void IncProgressPos(int64_t inc);
    static void SetCount(int64_t count);
    static bool Cancelled() { return FCancelled.load(std::memory_order_relaxed); }
    // The flag itself, for methods that poll an atomic.
    static const std::atomic<bool>& CancelFlag() { return FCancelled; }

    // The count written with the locale's thousands separators (12,345).
    static QString FormatCount(int64_t count);

private:
    friend class TWaitDialog;
    static inline std::atomic<bool> FCancelled{false};
    static inline std::atomic<int64_t> FProgressMin{0}, FProgressMax{100}, FProgressPos{0}, FCount{0};
    static inline QElapsedTimer FStartTime;
};

} // namespace zarvo::qt
