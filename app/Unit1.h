// The main window: the generation options, the run on a worker thread, the output
// pane and the controls around it. Its members are defined by concern: Unit1.cpp
// (creation, caption, showing and closing), Form1Controls.cpp (the controls, per
// panel), Form1Settings.cpp (controls <-> options, the settings file, named sets),
// Form1Run.cpp (the generation request and run), Form1Pane.cpp (Clear, Shuffle,
// Save) and Form1ReverseLookup.cpp (the reverse DNS lookup panel).
#pragma once

#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/Application.h"
#include "app/DnsLookupRun.h"
#include "dns/ResolvConf.h"
#include "dns/ReverseLookup.h"
#include "generator/ZarvoUtilsUnit.h"
#include "options/ZarvoOptions.h"
#include "qt/widgets/ButtonExUnit.h"
#include "qt/widgets/LabelExUnit.h"
#include "qt/widgets/LinesEditUnit.h"
#include "qt/widgets/ProgressBinding.h"
#include "qt/widgets/VFormUnit.h"
#include "qt/widgets/VirtualListUnit.h"
#include "readers/uLineReaderWriter.h"
#include "support/uProgress.h"
#include "support/uStoredSettings.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QHBoxLayout;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QRadioButton;
class QSpinBox;
class QSplitter;
class QTimer;
class QVBoxLayout;

class TForm1;

// One generation run on its own thread. The window's thread creates it, and frees
// it when the run's outcome has arrived there.
class TZarvoThread {
public:
    explicit TZarvoThread(TForm1& form);
    ~TZarvoThread(); // waits for the run to end
    TZarvoThread(const TZarvoThread&) = delete;
    TZarvoThread& operator=(const TZarvoThread&) = delete;

private:
    TForm1& FForm;
    std::thread FThread;
};

class TForm1 : public zarvo::qt::TVForm {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // "Zarvo 2.13 [x64] (build 92)" for the version 2.13.0.92.
    static QString MakeCaption(const QString& title, const QString& version, const QString& arch);
    // This build's caption.
    static QString Caption();
    // The version cut to major.minor.
    static QString ShortVersion(const QString& version);
    // The notice with "%.2d" replaced by the year's last two digits.
    static QString FormatYearNotice(const QString& notice, int year);

    // Controls <-> options, as the settings file and the named settings use them.
    zarvo::TZarvoOptions ReadOptions() const;
    void WriteOptions(const zarvo::TZarvoOptions& o);

    // Every option into a name=value list (keys already there are replaced where they
    // stand), and the controls from one, each key by its own read-back rule.
    void SettingsToList(zarvo::TVHashedStringList& List) const;
    void SettingsFromList(const zarvo::TVHashedStringList& List);
    zarvo::TStoredSettingsList& StoredList() { return *FStoredList; }

    // The generation request of the controls and, for a run that appends, of the
    // pane's lines; none when an option is missing or no number, which is shown.
    std::optional<zarvo::TGenerateRequest> ReadRequest();
    void UpdateIPCountLabel();
    void SetRunningButtons(bool running);
    static std::string GetListDelimiter(const QComboBox* combo);
    // Raises "Cannot create file ..." when the file cannot be written.
    static void SaveListToFile(const zarvo::TStringList& lines, const QString& fileName,
                               const std::string& delimiter);

    // The most memory a run's lines may take, the pane's lines it appends to
    // included; a run that passes it is broken off and refused. Unset: the request's
    // default.
    std::optional<uint64_t> MemoryBudget;
    // Save to file or Shuffle under way on a thread of its own.
    bool PaneTaskRunning() const { return FPaneTask.joinable(); }

    zarvo::TProgress& Progress() { return *FProgress; }
    zarvo::qt::TProgressBinding& ProgressBinding() { return *FProgressBinding; }
    int ActiveThreads() const { return FActiveThreads; }
    const std::string& ActionResult() const { return FActionResult; }
    const QString& AppVer() const { return FAppVer; }

    // The reverse DNS lookup's queries as the panel sets them: each one's waiting
    // time, how many in flight and how often one is sent again.
    zarvo::dns::TLookupSettings DNSLookupSettings() const;
    // The file whose nameserver lines "Use System DNS Servers" takes.
    std::string ResolvConfPath = zarvo::dns::kResolvConfPath;
    bool DNSLookupRunning() const { return FDNSRun != nullptr; }
    // Where a lookup stands, as the panel's state line says it.
    enum class TDNSState { NotStarted, Running, Done, BrokenOff, Failed };
    static QString DNSStateText(TDNSState state, size_t done, std::optional<size_t> total);
    // The number of lines of a result list: an empty last line does not count.
    static int MemoLineCount(const QPlainTextEdit* memo);

    // Left panel, input column.
    zarvo::qt::TLabelEx *Label1, *Label8, *Label9, *Label10, *Label11, *Label12, *Label13, *Label16, *Label17,
        *Label21;
    QPlainTextEdit *Memo1, *Memo7, *Memo6;
    QCheckBox *CheckBox8, *CheckBox4, *CheckBox6, *CheckBox2, *CheckBox3;
    QCheckBox* LowerIPv6CheckBox; // IPv6 in lower case: an option the original window lacked
    QCheckBox* UniqueCheckBox;    // each address once across overlapping ranges
    QLineEdit *Edit3, *Edit4, *Edit5, *Edit6, *Edit7, *Edit8;
    QComboBox *ComboBox1, *ComboBox5;
    // Left panel, middle column.
    QGroupBox* GroupBox1;
    QRadioButton *RadioButton1, *RadioButton2, *RadioButton3;
    QLineEdit *Edit1, *Edit2, *Edit9, *SettingsNameEdit;
    // The country column's record field (an editable list of common ones) and the
    // countries whose addresses alone are kept.
    QComboBox* ComboBox6;
    QLineEdit* Edit10;
    zarvo::qt::TLabelEx *Label25, *Label26;
    QCheckBox *CheckBox1, *CheckBox5, *CheckBox7;
    zarvo::qt::TLabelEx *Label3, *ProgressLabel, *ElapsedTitleLabel, *ElapsedLabel, *StatusLabel, *Label24;
    zarvo::qt::TButtonEx *Button4, *Button11, *StartButton, *BreakButton, *SettingsSaveButton,
        *SettingsLoadButton, *SettingsDeleteButton;
    QProgressBar* TotalProgressBar;
    zarvo::qt::TVirtualListBox* SettingsListBox;
    // Left panel, output column.
    zarvo::qt::TLabelEx *Label2, *Label18;
    zarvo::qt::TLinesEdit* Memo2;
    zarvo::qt::TButtonEx *Button2, *Button10, *Button3;
    QComboBox* ComboBox2;
    // Right panel.
    zarvo::qt::TButtonEx *Button5, *Button9, *Button8, *Button1, *Button6, *Button7, *Button12;
    zarvo::qt::TButtonEx* SystemDNSButton;
    QProgressBar* ProgressBar1;
    zarvo::qt::TLabelEx *Label7, *Label6, *Label4, *Label19, *Label5, *Label20, *Label14, *Label15, *Label22;
    QPlainTextEdit *Memo5, *Memo8, *Memo3, *Memo4;
    QComboBox *ComboBox3, *ComboBox4;
    // The lookup's state line and its numbers.
    zarvo::qt::TLabelEx *DNSStateLabel, *DNSTimeoutLabel, *DNSInFlightLabel, *DNSRetriesLabel;
    QSpinBox *DNSTimeoutSpin, *DNSInFlightSpin, *DNSRetriesSpin;
    QSplitter* Splitter1;

    zarvo::qt::TFileDialog SaveDialog1, MMDBOpenDialog;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    friend class TZarvoThread;

    // The controls, a panel at a time: the left panel's three columns (the middle one
    // with the named-settings group), then the right one; BindEvents connects them.
    void BuildControls();
    void BuildInputColumn(QWidget* left, QHBoxLayout* leftRow);
    void BuildMiddleColumn(QWidget* left, QHBoxLayout* leftRow);
    void BuildSettingsGroup(QWidget* left, QVBoxLayout* mid);
    void BuildOutputColumn(QWidget* left, QHBoxLayout* leftRow);
    void BindEvents();
    // Names each edit, list and pane after the label or button that governs it.
    void SetAccessibleNames();
    // The right panel: the reverse DNS lookup and the notices.
    void BuildRightPanel(QWidget* right);
    void FormShow();

    // Settings file: read at the end of creation, written at destruction and before
    // each accepted run. A file that cannot be read or written is reported and the
    // window goes on; one that could not be read is never written over (the window
    // says so at start and on close).
    void LoadSettings();
    void SaveSettings();
    void SaveSettingsOnClose();

    // The named-settings group.
    void SettingsNameEditChange();
    // The name edit's text as a set's name.
    std::string SettingsName() const;
    QString SettingsListBoxData(int index) const;
    void SettingsListBoxClick();
    void SettingsSaveButtonClick();
    void SettingsLoadButtonClick();
    void SettingsDeleteButtonClick();
    void UpdateSettingsListBox();

    void ProgressBeforeStart(bool& allow, bool& clearLog);
    void OnStartProcess();
    void OnStartThread() { ++FActiveThreads; }
    void OnEndThread();
    // On the worker: the run of FRequest.
    void DoProcess();
    // On the window's thread: the outcome of the run that just ended.
    void ThreadDone(bool failed, bool ok, std::string text, std::optional<zarvo::TLineSnapshot> lines);
    void ShowResult();
    void ShowFailed();
    void ShowTerminated();
    void ProgressAfterStop();
    // Clear, Shuffle and Save wait while a run or another of them is under way.
    void UpdatePaneButtons();
    void SetBusyCursor(bool busy);

    // A long step on the pane's lines (Save, Shuffle) on a thread of its own. work runs
    // there, hearing progress and being asked to stop through the callback, and returns
    // what is left to do on the window's thread (nothing when it was stopped).
    using TPaneFinish = std::function<void()>;
    using TPaneWork = std::function<TPaneFinish(const zarvo::TLineProgress&)>;
    void StartPaneTask(const std::string& status, bool readOnly, TPaneWork work);
    void PaneTaskDone(uint64_t serial, const TPaneFinish& finish);
    void ShowPaneTaskProgress();
    // Asks a task under way to stop and waits for it; its result is dropped.
    void StopPaneTask();
    void EndPaneTask(bool completed);

    void Button2Click();
    void Button10Click();
    void Button3Click();
    void Button4Click();
    void Label15Click();

    // The reverse DNS lookup.
    void Button5Click();
    void ResolveIPList(std::vector<std::string> servers);
    // Ends a run under way, at once, and waits for its thread; its results not yet
    // shown are dropped.
    void EndDNSRun();
    // On the window's thread: results wait in the run numbered serial.
    void DNSResultsWaiting(uint64_t serial);
    void TakeDNSResults();
    // The state line, and Break enabled only while a run is under way.
    void ShowDNSState(TDNSState state);
    void Button9Click();
    void Button8Click();
    void Button1Click();
    void SystemDNSButtonClick();
    void Button6Click();
    void Button7Click();
    void SaveMemo(const QPlainTextEdit* memo, const QComboBox* delimiter);
    void UpdateResolvedCount();
    void UpdateUnresolvedCount();

    std::unique_ptr<zarvo::TProgress> FProgress;
    int FActiveThreads = 0;
    std::string FActionResult;
    std::unique_ptr<zarvo::TZarvoUtils> FUtils;
    // The run's request: made on the window's thread before the run, read by the worker.
    zarvo::TGenerateRequest FRequest;
    std::unique_ptr<zarvo::TStoredSettingsList> FStoredList;
    bool FDNSBreak = false;
    QString FAppVer;
    std::unique_ptr<zarvo::qt::TProgressBinding> FProgressBinding;
    std::unique_ptr<TZarvoThread> FThread;
    bool FRunActive = false;
    // The lines a run appends to, taken when it starts (empty when not appending),
    // and the run's whole list once it has ended well or been broken off.
    zarvo::TLineSnapshot FRunBase;
    std::optional<zarvo::TLineSnapshot> FRunResult;
    std::thread FPaneTask;
    std::atomic<bool> FPaneStop{false};
    std::atomic<size_t> FPaneDone{0}, FPaneTotal{0};
    uint64_t FPaneSerial = 0; // so that the late word of a stopped task is known
    bool FPaneReadOnly = false;
    std::string FPaneStatusBefore;
    QTimer* FPaneTimer = nullptr;
    int FBusyCursors = 0;
    std::unique_ptr<TDnsLookupRun> FDNSRun;
    uint64_t FDNSSerial = 0; // numbers the runs, so that a late word of an ended one is known
    size_t FDNSDone = 0;
    std::optional<size_t> FDNSTotal; // the run's addresses, once it has read them
    QTimer* FDNSTimer = nullptr;     // gathers results into batches
    bool FShown = false;
    bool FSettingsFileUnread = false; // the settings file failed to load: left as it is
    // Where the keyboard was when a step (a run, Save, Shuffle) disabled the control
    // it was on, and where Qt moved it; the step's end brings it back if the user has
    // not moved it since.
    struct TFocusReturn {
        QPointer<QWidget> Home, MovedTo;
    };
    TFocusReturn FRunFocus, FPaneFocus;
    void FocusLeft(TFocusReturn& f, QWidget* before);
    void FocusBack(TFocusReturn& f);
};
