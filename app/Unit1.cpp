#include "app/Unit1.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDate>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>
#include <QSpinBox>
#include <QSplitter>
#include <QStyleOptionFocusRect>
#include <QSysInfo>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <filesystem>

#include "mmdb/uMMDBLineReader.h"
#include "mmdb/uMMDBReader.h"
#include "options/ZarvoSettings.h"
#include "qt/viewer/ViewCSVFileUnit.h"
#include "support/ListFile.h"
#include "support/ZarvoRandom.h"
#include "support/ZarvoText.h"

using namespace zarvo;
using namespace zarvo::qt;

namespace {

const char* const kNotice = "Freeware. Copyright (c) 2013-20%.2d Zarvo developers.";
const char* const kMakerName = "Zarvo developers";
const char* const kMakerUrl = "https://zarvo.example.org/";

// The CPU the program was built for, as the caption shows it.
QString BuildArch() {
    const QString a = QSysInfo::buildCpuArchitecture();
    if (a == QLatin1String("x86_64")) return QStringLiteral("x64");
    if (a == QLatin1String("i386")) return QStringLiteral("x86");
    return a;
}

std::vector<std::string> MemoLines(const QPlainTextEdit* memo) {
    const QByteArray text = memo->toPlainText().toUtf8();
    const TStringList lines = TStringList::FromText(std::string_view(text.constData(), size_t(text.size())));
    std::vector<std::string> out;
    out.reserve(lines.Count());
    for (size_t i = 0; i < lines.Count(); ++i) out.emplace_back(lines[i]);
    return out;
}

void SetMemoLines(QPlainTextEdit* memo, const std::vector<std::string>& lines) {
    QStringList list;
    for (const std::string& l : lines) list << QString::fromStdString(l);
    memo->setPlainText(list.join(QLatin1Char('\n')));
}

std::string Std(const QString& s) {
    return s.toStdString();
}
QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

TLineReaderClass DatabaseReaderClass() {
    const QLocale locale;
    TDateTexts texts;
    for (int m = 1; m <= 12; ++m) {
        texts.ShortMonths[size_t(m - 1)] = Std(locale.monthName(m, QLocale::ShortFormat));
        texts.LongMonths[size_t(m - 1)] = Std(locale.monthName(m, QLocale::LongFormat));
    }
    // Qt counts the days from Monday (1) to Sunday (7).
    for (int d = 1; d <= 7; ++d) {
        texts.ShortDays[size_t(d % 7)] = Std(locale.dayName(d, QLocale::ShortFormat));
        texts.LongDays[size_t(d % 7)] = Std(locale.dayName(d, QLocale::LongFormat));
    }
    for (int k = 0; k <= 9; ++k) texts.Digits[size_t(k)] = Std(locale.toString(k));
    return TMMDBMetaReader::ReaderClass(Std(locale.dateFormat(QLocale::ShortFormat)), texts);
}

TStandaloneView StandaloneViewOf(const QString& fileName) {
    const QString suffix = QFileInfo(fileName).suffix();
    TStandaloneView v;
    // The command line's rule: the name's extension, else the content.
    if (ViewerFileKind(QFile::encodeName(fileName).toStdString()) == TViewerFileKind::Database) {
        v.Title = QStringLiteral("GeoIP2 MMDB");
        v.NoHeader = true;
        v.Database = true;
        v.Filter = QStringLiteral("MMDB files (*.mmdb)|*.mmdb|All files (*.*)|*.*");
    } else {
        const bool text = suffix.compare(QLatin1String("txt"), Qt::CaseInsensitive) == 0;
        v.Title = text ? QStringLiteral("Text File") : QStringLiteral("CSV File");
        v.NoHeader = text;
        v.Filter = QStringLiteral("CSV files (*.csv)|*.csv|Text files (*.txt)|*.txt|All files (*.*)|*.*");
    }
    return v;
}

QString ViewArgument(const QStringList& args) {
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--view")) return args.value(i + 1);
        if (args[i].startsWith(QLatin1String("--view="))) return args[i].mid(7);
    }
    return {};
}

std::unique_ptr<QDialog> CreateStandaloneViewer(const QString& fileName) {
    const TStandaloneView v = StandaloneViewOf(fileName);
    return TViewCSVFileForm::CreateViewer(nullptr, v.Title, fileName, v.NoHeader,
                                          v.Database ? DatabaseReaderClass() : TLineReaderClass(), v.Filter,
                                          true, true);
}

int ViewFileAlone(const QString& fileName) {
    // Not modal: the viewer is the application's only window, and its own dialogs
    // are modal to it.
    const std::unique_ptr<QDialog> viewer = CreateStandaloneViewer(fileName);
    QObject::connect(viewer.get(), &QDialog::finished, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    viewer->show();
    return QApplication::exec();
}

void InitApplication() {
    QApplication::setApplicationName(QStringLiteral("zarvo"));
    QApplication::setApplicationDisplayName(TForm1::Caption());
    QApplication::setApplicationVersion(QStringLiteral(ZARVO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("org.example.zarvo"));
}

void KeepToolkitSettingsInSettingsFolder() {
    const QString folder =
        QFileInfo(QFile::decodeName(QByteArray::fromStdString(SettingsFilePath(true)))).absolutePath();
    // Qt's own files are in the native format, which is the ini format here.
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, folder);
}

// ---------------------------------------------------------------- the worker

TZarvoThread::TZarvoThread(TForm1& form) : FForm(form) {
    FForm.OnStartThread();
    FThread = std::thread([this] { FForm.DoProcess(); });
}

TZarvoThread::~TZarvoThread() {
    if (FThread.joinable()) FThread.join();
}

// ---------------------------------------------------------------- creation

TForm1::TForm1(QWidget* parent) : TVForm(parent) {
    BuildControls();

    fAppVer = ShortVersion(QStringLiteral(ZARVO_VERSION));
    setWindowTitle(Caption());

    FProgress = std::make_unique<TProgress>();
    FProgress->SetUpdatePeriod(1000);
    FProgress->OnStart = [this](TProgress&) { OnStartProcess(); };
    FActiveThreads = 0;
    FProgressBinding = std::make_unique<TProgressBinding>(*FProgress);
    FProgressBinding->SetProgressBar(TotalProgressBar);
    FProgressBinding->SetBreakButton(BreakButton);
    FProgressBinding->SetStartButton(StartButton);
    FProgressBinding->SetProgressLabel(ProgressLabel);
    FProgressBinding->SetElapsedLabel(ElapsedLabel);
    FProgressBinding->SetElapsedTitleLabel(ElapsedTitleLabel);
    // Until the first run the status reads "Status"; every refresh shows the tracker's text.
    FProgress->SetStatus("Status");
    FProgressBinding->SetStatusLabel(StatusLabel);
    FProgressBinding->SetMainWindow(this);
    FProgress->BeforeStart = [this](TProgress&, bool& allow, bool& clearLog) {
        ProgressBeforeStart(allow, clearLog);
    };
    FProgress->AfterStop = [this](TProgress&) { ProgressAfterStop(); };

    FUtils = std::make_unique<TZarvoUtils>(FProgress.get());
    FPaneTimer = new QTimer(this);
    FPaneTimer->setInterval(TProgressBinding::kTimerInterval);
    connect(FPaneTimer, &QTimer::timeout, this, &TForm1::ShowPaneTaskProgress);
    FStoredList = std::make_unique<TStoredSettingsList>();

    Button11->SetBrowse(Edit9, &MMDBOpenDialog);

    LoadSettings();
}

TForm1::~TForm1() {
    // No result of a lookup or of a long step on the pane may reach the window from here on.
    EndDNSRun();
    StopPaneTask();
    SaveSettingsOnClose();
    // A run still going: it cannot be cut short, so wait for it before the engine goes.
    if (FThread) {
        FProgress->BreakButtonClick();
        FThread.reset();
    }
    while (FBusyCursors > 0) SetBusyCursor(false);
    FStoredList.reset();
    FProgressBinding.reset();
    FUtils.reset();
    FProgress.reset();
}

QString TForm1::ShortVersion(const QString& version) {
    return version.section(QLatin1Char('.'), 0, 1);
}

QString TForm1::MakeCaption(const QString& title, const QString& version, const QString& arch) {
    QString build = version.section(QLatin1Char('.'), 3, 3);
    if (build.isEmpty()) build = QStringLiteral("0");
    return title + QLatin1Char(' ') + ShortVersion(version) + QStringLiteral(" [") + arch +
           QStringLiteral("] (build ") + build + QLatin1Char(')');
}

QString TForm1::Caption() {
    // From the build's four-part version.
    return MakeCaption(QString::fromLatin1(kApplicationTitle), QStringLiteral(ZARVO_VERSION), BuildArch());
}

QString TForm1::FormatYearNotice(const QString& notice, int year) {
    QString out = notice;
    return out.replace(QLatin1String("%.2d"), QString::asprintf("%.2d", year - 2000));
}

void TForm1::closeEvent(QCloseEvent* event) {
    EndDNSRun();
    StopPaneTask();
    TVForm::closeEvent(event);
}

void TForm1::showEvent(QShowEvent* event) {
    TVForm::showEvent(event);
    if (!FShown) {
        FShown = true;
        FormShow();
    }
}

void TForm1::FormShow() {
    Label14->setText(FormatYearNotice(Label14->text(), QDate::currentDate().year()));
    Label22->setText(sizeof(void*) == 8 ? QStringLiteral("64-Bit Edition")
                                        : QStringLiteral("32-Bit Edition"));
}

void TForm1::LoadSettings() {
    try {
        TZarvoOptions o = ReadOptions();
        if (LoadSettingsFile(SettingsFilePath(true), o, *FStoredList)) WriteOptions(o);
    } catch (const std::exception& e) {
        // Unreadable: the controls keep what they had and the window goes on. The file
        // may still hold the user's ranges and stored sets, which a save of these
        // controls would replace: it is left as it is.
        FSettingsFileUnread = true;
        ErrorMessage(QString::fromUtf8(e.what()) +
                     QStringLiteral("\n\nThe settings file is left as it is: settings changed in this "
                                    "window are not saved."));
    }
    UpdateSettingsListBox();
}

void TForm1::SaveSettings() {
    // Said at start and again on close (SaveSettingsOnClose).
    if (FSettingsFileUnread) return;
    try {
        SaveSettingsFile(SettingsFilePath(false), ReadOptions(), *FStoredList);
    } catch (const std::exception& e) {
        // The old file is left whole; nothing is retried.
        ErrorMessage(QString::fromUtf8(e.what()));
    }
}

void TForm1::SaveSettingsOnClose() {
    if (!FSettingsFileUnread) {
        SaveSettings();
        return;
    }
    Warning(QStringLiteral("The settings were not saved: the settings file \"%1\" could not be read when "
                           "the window opened, and is left as it is.")
                .arg(Q(SettingsFilePath(false))));
}

void TForm1::SettingsToList(TVHashedStringList& List) const {
    zarvo::SettingsToList(ReadOptions(), List);
}

void TForm1::SettingsFromList(const TVHashedStringList& List) {
    // Keys that are absent keep the controls' values, so start from them.
    TZarvoOptions o = ReadOptions();
    zarvo::SettingsFromList(List, o);
    WriteOptions(o);
}

// ---------------------------------------------------------------- named settings

void TForm1::UpdateSettingsListBox() {
    SettingsListBox->SetCount(static_cast<int>(FStoredList->Count()));
}

void TForm1::SettingsNameEditChange() {
    const bool any = !SettingsNameEdit->text().isEmpty();
    for (auto* b : {SettingsSaveButton, SettingsLoadButton, SettingsDeleteButton}) b->setEnabled(any);
}

QString TForm1::SettingsListBoxData(int index) const {
    if (!FStoredList || index < 0 || static_cast<size_t>(index) >= FStoredList->Count()) return {};
    return Q(FStoredList->GetSettings(static_cast<size_t>(index)).Name());
}

void TForm1::SettingsListBoxClick() {
    const QModelIndexList selected = SettingsListBox->selectionModel()->selectedIndexes();
    if (selected.isEmpty()) return;
    const int i = selected.first().row();
    if (i < 0 || static_cast<size_t>(i) >= FStoredList->Count()) return;
    SettingsNameEdit->setText(SettingsListBoxData(i));
}

std::string TForm1::SettingsName() const {
    // A pasted line break would split the name's line in the file and turn the rest
    // of the name into a key of its own; it becomes a blank, as in option values.
    std::string name = Std(SettingsNameEdit->text());
    std::replace_if(
        name.begin(), name.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return name;
}

void TForm1::SettingsSaveButtonClick() {
    const std::string name = SettingsName();
    if (name.empty()) return;
    if (SaveNamedSettings(*FStoredList, name, ReadOptions())) UpdateSettingsListBox();
}

void TForm1::SettingsLoadButtonClick() {
    const std::string name = SettingsName();
    TZarvoOptions o = ReadOptions();
    if (!LoadNamedSettings(*FStoredList, name, o)) {
        Warning(QStringLiteral("Load Settings"), Q(SettingsNotFoundMessage(name)));
        return;
    }
    WriteOptions(o);
}

void TForm1::SettingsDeleteButtonClick() {
    const std::string name = SettingsName();
    if (!DeleteNamedSettings(*FStoredList, name)) {
        Warning(QStringLiteral("Delete Settings"), Q(SettingsNotFoundMessage(name)));
        return;
    }
    UpdateSettingsListBox();
}

// ---------------------------------------------------------------- controls

namespace {

// A caption as it is shown: its mnemonic mark taken out ("&&" shows one "&").
QString ShownText(const QString& caption) {
    QString out;
    out.reserve(caption.size());
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == QLatin1Char('&') && i + 1 < caption.size()) ++i;
        out += caption[i];
    }
    return out;
}

// A caption that can change, such as a count. The label announces its new text
// itself; the edit it names is told that its name changed with it.
void SetCaption(QLabel* label, const QString& text) {
    if (label->text() == text) return;
    label->setText(text);
    QWidget* buddy = label->buddy();
    if (!buddy) return;
    if (qobject_cast<QAbstractItemView*>(buddy)) buddy->setAccessibleName(ShownText(text)); // reads no buddy
    QAccessibleEvent event(buddy, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

// The keyboard's focus mark over a control that shows none of its own (a read-only
// text, an empty list): the style's focus frame, drawn over the whole control while
// it has the focus.
class TFocusMark : public QWidget {
public:
    explicit TFocusMark(QWidget* target) : QWidget(target) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        hide();
        target->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        switch (event->type()) {
        case QEvent::FocusIn:
            setGeometry(parentWidget()->rect());
            raise();
            show();
            break;
        case QEvent::FocusOut:
            hide();
            break;
        case QEvent::Resize:
            setGeometry(parentWidget()->rect());
            break;
        default:
            break;
        }
        return false;
    }
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        PaintFocusMark(this, painter, QPalette::Base);
    }
};

// Alt and a letter meant for a shortcut that none answers (a disabled control's,
// or no control's) would type the letter into the edit with the focus; it types
// nothing, as in the output pane. Alt with Ctrl is AltGr, which types.
class TNoAltTyping : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers m = key->modifiers();
        return (m & Qt::AltModifier) && !(m & Qt::ControlModifier) && !key->text().isEmpty();
    }
};

template <class W> W* Named(W* w, const char* name) {
    w->setObjectName(QString::fromLatin1(name));
    return w;
}

QPlainTextEdit* NewMemo(QWidget* parent, const char* name) {
    auto* m = Named(new QPlainTextEdit(parent), name);
    m->setLineWrapMode(QPlainTextEdit::NoWrap);
    m->setTabChangesFocus(true);
    return m;
}

QComboBox* NewCombo(QWidget* parent, const char* name, const QStringList& items, bool editable = false) {
    auto* c = Named(new QComboBox(parent), name);
    c->setEditable(editable);
    c->addItems(items);
    return c;
}

TLabelEx* NewLabel(QWidget* parent, const char* name, const QString& text) {
    return Named(new TLabelEx(text, parent), name);
}

TButtonEx* NewButton(QWidget* parent, const char* name, const QString& text) {
    return Named(new TButtonEx(text, parent), name);
}

// A number from 1 to high, its label governing it; no group separators, so that
// the text reads as the settings file and the command line write it.
QSpinBox* NewNumberBox(QWidget* parent, const char* name, TLabelEx* label, unsigned high, unsigned value) {
    auto* box = Named(new QSpinBox(parent), name);
    box->setRange(1, static_cast<int>(high));
    box->setValue(static_cast<int>(value));
    box->setGroupSeparatorShown(false);
    box->setAccelerated(true);
    label->setBuddy(box);
    return box;
}

const QStringList kListDelimiters = {QStringLiteral("End-Of-Line"), QStringLiteral("Comma"),
                                     QStringLiteral("Semicolon")};

} // namespace

void TForm1::BuildControls() {
    setObjectName(QStringLiteral("Form1"));
    resize(1047, 686);
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(8, 8, 8, 8);
    Splitter1 = Named(new QSplitter(Qt::Horizontal, this), "Splitter1");
    outer->addWidget(Splitter1);
    auto* left = Named(new QWidget(Splitter1), "LeftPanel");
    auto* right = Named(new QWidget(Splitter1), "RightPanel");
    Splitter1->addWidget(left);
    Splitter1->addWidget(right);
    Splitter1->setChildrenCollapsible(false);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    Splitter1->setSizes({770, 1047 - 16 - 770});

    const auto label = &NewLabel;
    const auto button = &NewButton;
    const auto check = [](QWidget* p, const char* name, const QString& text) {
        return Named(new QCheckBox(text, p), name);
    };
    const auto edit = [](QWidget* p, const char* name, const QString& text) {
        return Named(new QLineEdit(text, p), name);
    };

    auto* leftRow = new QHBoxLayout(left);
    leftRow->setContentsMargins(0, 0, 0, 0);

    // Input column.
    // The two option columns keep their width; the output column takes the rest.
    auto* inBox = Named(new QWidget(left), "InputPanel");
    inBox->setMaximumWidth(250);
    auto* in = new QVBoxLayout(inBox);
    in->setContentsMargins(0, 0, 0, 0);
    leftRow->addWidget(inBox, 0);
    Label1 = label(left, "Label1", QStringLiteral("&IP Ranges (CIDR notation):"));
    Memo1 = NewMemo(left, "Memo1");
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setMinimumWidth(200);
    in->addWidget(Label1);
    in->addWidget(Memo1, 1);
    Label8 = label(left, "Label8", QStringLiteral("Ex.:"));
    Memo7 = NewMemo(left, "Memo7");
    Memo7->setReadOnly(true);
    Memo7->setPlainText(QStringLiteral("127.0.0.1/24\nA=192.168.1.100/16/24\nfdc7:200d:3e17::/120\n"
                                       "B=fdc7:200d:3e17::fb05/48/60"));
    Memo7->setFixedHeight(Memo7->fontMetrics().lineSpacing() * 4 + 12);
    Memo7->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Read-only examples: the mouse selects and copies them; Tab passes them by.
    Memo7->setFocusPolicy(Qt::ClickFocus);
    auto* exRow = new QHBoxLayout;
    exRow->addWidget(Label8, 0, Qt::AlignTop);
    exRow->addWidget(Memo7, 1);
    in->addLayout(exRow);
    CheckBox8 = check(left, "CheckBox8", QStringLiteral("&Usable host IP addresses"));
    UniqueCheckBox = check(left, "UniqueCheckBox", QStringLiteral("Uni&que IP addresses"));
    CheckBox4 = check(left, "CheckBox4", QStringLiteral("E&xclude (example: *.0):"));
    Memo6 = NewMemo(left, "Memo6");
    Memo6->setFixedHeight(Memo6->fontMetrics().lineSpacing() * 3 + 12);
    Memo6->setToolTip(QStringLiteral("One a line: a wildcard mask (*.0, 10.0.[1-5].*), an address, a CIDR block "
                                     "(10.0.0.0/24) or a range (10.0.0.5-10.0.0.9)"));
    CheckBox6 = check(left, "CheckBox6", QStringLiteral("&Escape IPv6 with square brackets"));
    LowerIPv6CheckBox = check(left, "LowerIPv6CheckBox", QStringLiteral("IPv&6 in lower case (RFC 5952)"));
    in->addWidget(CheckBox8);
    in->addWidget(UniqueCheckBox);
    in->addWidget(CheckBox4);
    in->addWidget(Memo6);
    in->addWidget(CheckBox6);
    in->addWidget(LowerIPv6CheckBox);
    CheckBox2 = check(left, "CheckBox2", QStringLiteral("Add &Port Numbers:"));
    Edit3 = edit(left, "Edit3", QStringLiteral("80"));
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(CheckBox2);
    portRow->addWidget(Edit3, 1);
    in->addLayout(portRow);
    Label9 = label(left, "Label9", QStringLiteral("Example: 80,3128-3130"));
    in->addWidget(Label9);
    CheckBox3 = check(left, "CheckBox3", QStringLiteral("Generate &Names using template:"));
    Edit4 = edit(left, "Edit4", QString());
    in->addWidget(CheckBox3);
    in->addWidget(Edit4);
    Label12 = label(left, "Label12", QStringLiteral("IP quadrants: %1,%2,  ..."));
    Label10 = label(left, "Label10", QStringLiteral("Source range: %s"));
    in->addWidget(Label12);
    in->addWidget(Label10);
    auto* nameGrid = new QGridLayout;
    Label11 = label(left, "Label11", QStringLiteral("Counter S&ymbol:"));
    ComboBox1 = NewCombo(left, "ComboBox1", {QStringLiteral("#"), QStringLiteral("@")}, true);
    Label13 = label(left, "Label13", QStringLiteral("First Number:"));
    Edit5 = edit(left, "Edit5", QStringLiteral("1"));
    Label16 = label(left, "Label16", QStringLiteral("Step:"));
    Edit6 = edit(left, "Edit6", QStringLiteral("1"));
    Label17 = label(left, "Label17", QStringLiteral("Min. Digits:"));
    Edit7 = edit(left, "Edit7", QStringLiteral("1"));
    Label21 = label(left, "Label21", QStringLiteral("Delimiter:"));
    ComboBox5 = NewCombo(left, "ComboBox5",
                         {QStringLiteral("Whitespace"), QStringLiteral("Tab"), QStringLiteral("Comma"),
                          QStringLiteral("Semicolon"), QStringLiteral("Custom")});
    Edit8 = edit(left, "Edit8", QStringLiteral("|"));
    // Below the list, the column's width; its room is kept while hidden, so that
    // choosing "Custom" moves nothing.
    QSizePolicy customPolicy = Edit8->sizePolicy();
    customPolicy.setRetainSizeWhenHidden(true);
    Edit8->setSizePolicy(customPolicy);
    Edit8->setVisible(false);
    nameGrid->addWidget(Label11, 0, 0);
    nameGrid->addWidget(ComboBox1, 0, 1);
    nameGrid->addWidget(Label13, 1, 0);
    nameGrid->addWidget(Edit5, 1, 1);
    nameGrid->addWidget(Label16, 2, 0);
    nameGrid->addWidget(Edit6, 2, 1);
    nameGrid->addWidget(Label17, 3, 0);
    nameGrid->addWidget(Edit7, 3, 1);
    nameGrid->addWidget(Label21, 4, 0);
    nameGrid->addWidget(ComboBox5, 4, 1);
    nameGrid->addWidget(Edit8, 5, 1);
    nameGrid->setColumnStretch(1, 1);
    in->addLayout(nameGrid);

    // Middle column.
    auto* midBox = Named(new QWidget(left), "MiddlePanel");
    midBox->setMaximumWidth(215);
    auto* mid = new QVBoxLayout(midBox);
    mid->setContentsMargins(0, 0, 0, 0);
    leftRow->addWidget(midBox, 0);
    GroupBox1 = Named(new QGroupBox(QStringLiteral("Count"), left), "GroupBox1");
    auto* countGrid = new QGridLayout(GroupBox1);
    RadioButton1 = Named(new QRadioButton(QStringLiteral("A&ll IPs"), GroupBox1), "RadioButton1");
    RadioButton2 = Named(new QRadioButton(QStringLiteral("&Total Count:"), GroupBox1), "RadioButton2");
    RadioButton3 = Named(new QRadioButton(QStringLiteral("&For Each Range:"), GroupBox1), "RadioButton3");
    RadioButton1->setChecked(true);
    Edit1 = edit(GroupBox1, "Edit1", QStringLiteral("10"));
    Edit2 = edit(GroupBox1, "Edit2", QStringLiteral("10"));
    Edit1->setMaximumWidth(80);
    Edit2->setMaximumWidth(80);
    countGrid->addWidget(RadioButton1, 0, 0, 1, 2);
    countGrid->addWidget(RadioButton2, 1, 0);
    countGrid->addWidget(Edit1, 1, 1);
    countGrid->addWidget(RadioButton3, 2, 0);
    countGrid->addWidget(Edit2, 2, 1);
    mid->addWidget(GroupBox1);
    CheckBox1 = check(left, "CheckBox1", QStringLiteral("Random &Order"));
    CheckBox5 = check(left, "CheckBox5", QStringLiteral("&Append"));
    CheckBox7 = check(left, "CheckBox7", QStringLiteral("&Resolve IP country"));
    mid->addWidget(CheckBox1);
    mid->addWidget(CheckBox5);
    mid->addWidget(CheckBox7);
    Label3 = label(left, "Label3", QStringLiteral("GeipIP2 &MMDB File:"));
    Edit9 = edit(left, "Edit9", QString());
    Button4 = button(left, "Button4", QStringLiteral("&View..."));
    Button11 = button(left, "Button11", QStringLiteral("Bro&wse..."));
    mid->addWidget(Label3);
    mid->addWidget(Edit9);
    auto* dbRow = new QHBoxLayout;
    dbRow->addWidget(Button4);
    dbRow->addWidget(Button11);
    mid->addLayout(dbRow);
    StartButton = button(left, "StartButton", QStringLiteral("&Generate IPs"));
    BreakButton = button(left, "BreakButton", QStringLiteral("&Break"));
    BreakButton->setEnabled(false);
    StartButton->setMinimumHeight(32);
    mid->addWidget(StartButton);
    mid->addWidget(BreakButton);
    TotalProgressBar = Named(new QProgressBar(left), "TotalProgressBar");
    TotalProgressBar->setRange(0, 100);
    TotalProgressBar->setValue(0);
    TotalProgressBar->setTextVisible(false);
    ProgressLabel = label(left, "ProgressLabel", QStringLiteral("100 %"));
    // Room for the widest figure from the start: the label is painted at the end of a
    // run before the layout has had a turn, so a narrower one would clip its "%".
    ProgressLabel->setMinimumWidth(ProgressLabel->sizeHint().width());
    ProgressLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    ProgressLabel->setText(QStringLiteral("0 %"));
    auto* barRow = new QHBoxLayout;
    barRow->addWidget(TotalProgressBar, 1);
    barRow->addWidget(ProgressLabel);
    mid->addLayout(barRow);
    ElapsedTitleLabel = label(left, "ElapsedTitleLabel", QStringLiteral("Elapsed:"));
    ElapsedLabel = label(left, "ElapsedLabel", QStringLiteral("0:00:00"));
    ElapsedLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* elapsedRow = new QHBoxLayout;
    elapsedRow->addWidget(ElapsedTitleLabel);
    elapsedRow->addWidget(ElapsedLabel, 1);
    mid->addLayout(elapsedRow);
    StatusLabel = label(left, "StatusLabel", QStringLiteral("Status"));
    StatusLabel->setWordWrap(true);
    StatusLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    StatusLabel->setMinimumHeight(StatusLabel->fontMetrics().lineSpacing() * 3);
    mid->addWidget(StatusLabel);
    mid->addStretch(1);
    Label24 = label(left, "Label24", QStringLiteral("Save, Load or Delete stored IP Generation Settings."));
    Label24->setWordWrap(true);
    SettingsListBox = Named(new TVirtualListBox(left), "SettingsListBox");
    SettingsListBox->setMaximumHeight(110);
    SettingsNameEdit = edit(left, "SettingsNameEdit", QString());
    SettingsSaveButton = button(left, "SettingsSaveButton", QStringLiteral("Save"));
    SettingsLoadButton = button(left, "SettingsLoadButton", QStringLiteral("Load"));
    SettingsDeleteButton = button(left, "SettingsDeleteButton", QStringLiteral("Delete"));
    for (auto* b : {SettingsSaveButton, SettingsLoadButton, SettingsDeleteButton}) b->setEnabled(false);
    mid->addWidget(Label24);
    mid->addWidget(SettingsListBox);
    mid->addWidget(SettingsNameEdit);
    auto* setRow = new QHBoxLayout;
    setRow->addWidget(SettingsSaveButton);
    setRow->addWidget(SettingsLoadButton);
    setRow->addWidget(SettingsDeleteButton);
    mid->addLayout(setRow);
    // The column keeps its width, but no less than its rows need (the three buttons).
    midBox->setMaximumWidth(std::max(midBox->maximumWidth(), mid->minimumSize().width()));
    GroupBox1->setMaximumWidth(230);
    for (QWidget* w : {static_cast<QWidget*>(Edit9), static_cast<QWidget*>(SettingsListBox)})
        w->setMinimumWidth(150);

    // Output column.
    auto* out = new QVBoxLayout;
    leftRow->addLayout(out, 1);
    Label2 = label(left, "Label2", QStringLiteral("IPs (0):"));
    Memo2 = Named(new TLinesEdit(left), "Memo2");
    Memo2->setMinimumWidth(150);
    out->addWidget(Label2);
    out->addWidget(Memo2, 1);
    Button2 = button(left, "Button2", QStringLiteral("&Clear"));
    Button10 = button(left, "Button10", QStringLiteral("S&huffle"));
    Button3 = button(left, "Button3", QStringLiteral("&Save to file..."));
    auto* paneRow = new QHBoxLayout;
    paneRow->addWidget(Button2);
    paneRow->addWidget(Button10);
    out->addLayout(paneRow);
    out->addWidget(Button3);
    Label18 = label(left, "Label18", QStringLiteral("Delimiter:"));
    ComboBox2 = NewCombo(left, "ComboBox2", kListDelimiters);
    auto* delimRow = new QHBoxLayout;
    delimRow->addWidget(Label18);
    delimRow->addWidget(ComboBox2, 1);
    out->addLayout(delimRow);

    BuildRightPanel(right);

    // Dialogs.
    SaveDialog1.Save = true;
    SaveDialog1.DefaultExt = QStringLiteral(".txt");
    SaveDialog1.Filter = QStringLiteral("Text files (*.txt)|*.txt|All files (*.*)|*.*");
    SaveDialog1.OverwritePrompt = true;
    MMDBOpenDialog.Filter = QStringLiteral("MMDB files (*.mmdb)|*.mmdb|All files (*.*)|*.*");
    MMDBOpenDialog.FileMustExist = true;

    // The initial options.
    WriteOptions(TZarvoOptions{});

    // Event bindings.
    connect(Memo2, &TLinesEdit::Changed, this, &TForm1::UpdateIPCountLabel);
    connect(CheckBox3, &QCheckBox::toggled, this, &TForm1::UpdateIPCountLabel);
    connect(ComboBox5, &QComboBox::currentIndexChanged, this,
            [this](int i) { Edit8->setVisible(i == ndCustom); });
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    connect(Button10, &QPushButton::clicked, this, &TForm1::Button10Click);
    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
    connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
    connect(Button12, &QPushButton::clicked, this, &QWidget::close);
    SettingsListBox->Model()->OnData = [this](int i) { return SettingsListBoxData(i); };
    connect(SettingsNameEdit, &QLineEdit::textChanged, this, &TForm1::SettingsNameEditChange);
    // A click on the chosen item, or a choice by keyboard.
    connect(SettingsListBox, &QAbstractItemView::clicked, this, &TForm1::SettingsListBoxClick);
    connect(SettingsListBox->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TForm1::SettingsListBoxClick);
    connect(SettingsSaveButton, &QPushButton::clicked, this, &TForm1::SettingsSaveButtonClick);
    connect(SettingsLoadButton, &QPushButton::clicked, this, &TForm1::SettingsLoadButtonClick);
    connect(SettingsDeleteButton, &QPushButton::clicked, this, &TForm1::SettingsDeleteButtonClick);
    connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
    connect(Button9, &QPushButton::clicked, this, &TForm1::Button9Click);
    connect(Button8, &QPushButton::clicked, this, &TForm1::Button8Click);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(SystemDNSButton, &QPushButton::clicked, this, &TForm1::SystemDNSButtonClick);
    connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
    connect(Button7, &QPushButton::clicked, this, &TForm1::Button7Click);
    connect(Memo3, &QPlainTextEdit::textChanged, this, &TForm1::UpdateResolvedCount);
    connect(Memo4, &QPlainTextEdit::textChanged, this, &TForm1::UpdateUnresolvedCount);
    FDNSTimer = new QTimer(this);
    FDNSTimer->setSingleShot(true);
    connect(FDNSTimer, &QTimer::timeout, this, &TForm1::TakeDNSResults);

    SetAccessibleNames();
    auto* noAltTyping = new TNoAltTyping(this);
    for (QWidget* w : findChildren<QWidget*>())
        if (qobject_cast<QLineEdit*>(w) || qobject_cast<QPlainTextEdit*>(w))
            w->installEventFilter(noAltTyping);
    // (The output pane draws its own.)
    for (QWidget* w :
         {static_cast<QWidget*>(Memo7), static_cast<QWidget*>(Memo8), static_cast<QWidget*>(SettingsListBox)})
        new TFocusMark(w);

    // Centred on the screen.
    if (QScreen* screen = this->screen()) {
        const QRect avail = screen->availableGeometry();
        move(avail.center() - rect().center());
    }
}

void TForm1::BuildRightPanel(QWidget* right) {
    auto* r = new QVBoxLayout(right);
    r->setContentsMargins(0, 0, 0, 0);
    Button5 = NewButton(right, "Button5", QStringLiteral("Reverse &DNS Lookup >>"));
    r->addWidget(Button5);
    ProgressBar1 = Named(new QProgressBar(right), "ProgressBar1");
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    Label7 = NewLabel(right, "Label7", QStringLiteral("0"));
    auto* dnsBar = new QHBoxLayout;
    dnsBar->addWidget(ProgressBar1, 1);
    dnsBar->addWidget(Label7);
    r->addLayout(dnsBar);
    // Where the run stands (running, done, broken off) and how far it got.
    DNSStateLabel = NewLabel(right, "DNSStateLabel", DNSStateText(TDNSState::NotStarted, 0, {}));
    r->addWidget(DNSStateLabel);
    Button9 = NewButton(right, "Button9", QStringLiteral("Brea&k DNS Lookup"));
    Button9->setEnabled(false); // while a run is under way
    Button8 = NewButton(right, "Button8", QStringLiteral("Clear DNS Lookup Results"));
    r->addWidget(Button9);
    r->addWidget(Button8);
    Label6 = NewLabel(right, "Label6", QStringLiteral("DNS Servers:"));
    // As zarvo-cli rdns --retries: 0 sends each query once.
    DNSRetriesLabel = NewLabel(right, "DNSRetriesLabel", QStringLiteral("Retries:"));
    DNSRetriesSpin =
        NewNumberBox(right, "DNSRetriesSpin", DNSRetriesLabel, dns::kMaxRetries, dns::kDefaultRetries);
    DNSRetriesSpin->setMinimum(0);
    DNSRetriesSpin->setToolTip(
        QStringLiteral("How often a query without a reply is sent again, within its timeout"));
    Memo5 = NewMemo(right, "Memo5");
    Memo5->setPlainText(QStringLiteral("8.8.8.8\n8.8.4.4"));
    Memo5->setFixedHeight(Memo5->fontMetrics().lineSpacing() * 3 + 12);
    // The retries beside the list's caption: the panel keeps its width and height.
    auto* serversRow = new QHBoxLayout;
    serversRow->addWidget(Label6);
    serversRow->addStretch(1);
    serversRow->addWidget(DNSRetriesLabel);
    serversRow->addWidget(DNSRetriesSpin);
    r->addLayout(serversRow);
    r->addWidget(Memo5);
    // Each query's wait and the queries at once, as zarvo-cli rdns --timeout and --in-flight.
    DNSTimeoutLabel = NewLabel(right, "DNSTimeoutLabel", QStringLiteral("Timeout (ms):"));
    DNSTimeoutSpin =
        NewNumberBox(right, "DNSTimeoutSpin", DNSTimeoutLabel, dns::kMaxTimeoutMs, dns::kDefaultTimeoutMs);
    DNSTimeoutSpin->setToolTip(QStringLiteral("How long each query waits for its reply"));
    DNSInFlightLabel = NewLabel(right, "DNSInFlightLabel", QStringLiteral("In flight:"));
    DNSInFlightSpin =
        NewNumberBox(right, "DNSInFlightSpin", DNSInFlightLabel, dns::kMaxInFlight, dns::kDefaultInFlight);
    DNSInFlightSpin->setToolTip(QStringLiteral("How many queries wait for their replies at once"));
    auto* queryRow = new QHBoxLayout;
    queryRow->addWidget(DNSTimeoutLabel);
    queryRow->addWidget(DNSTimeoutSpin);
    queryRow->addStretch(1);
    queryRow->addWidget(DNSInFlightLabel);
    queryRow->addWidget(DNSInFlightSpin);
    r->addLayout(queryRow);
    Button1 = NewButton(right, "Button1", QStringLiteral("Use Google Public DNS Servers:"));
    SystemDNSButton = NewButton(right, "SystemDNSButton", QStringLiteral("Use System DNS Servers"));
    SystemDNSButton->setToolTip(QStringLiteral("The nameserver lines of /etc/resolv.conf"));
    Memo8 = NewMemo(right, "Memo8");
    Memo8->setReadOnly(true);
    Memo8->setFrameShape(QFrame::NoFrame);
    Memo8->setBackgroundRole(QPalette::Window);
    Memo8->viewport()->setAutoFillBackground(false);
    Memo8->setPlainText(QStringLiteral("8.8.8.8\n8.8.4.4"));
    Memo8->setFixedHeight(Memo8->fontMetrics().lineSpacing() * 2 + 10);
    Memo8->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo8->setFocusPolicy(Qt::ClickFocus); // as the examples under the ranges
    auto* serverButtons = new QHBoxLayout;
    serverButtons->addWidget(Button1);
    serverButtons->addWidget(SystemDNSButton);
    r->addLayout(serverButtons);
    r->addWidget(Memo8);
    Label4 = NewLabel(right, "Label4", QStringLiteral("Resolved IPs - IP,Domain (0):"));
    Memo3 = NewMemo(right, "Memo3");
    Button6 = NewButton(right, "Button6", QStringLiteral("Save to file..."));
    Label19 = NewLabel(right, "Label19", QStringLiteral("Delimiter:"));
    ComboBox3 = NewCombo(right, "ComboBox3", kListDelimiters);
    r->addWidget(Label4);
    r->addWidget(Memo3, 1);
    auto* resRow = new QHBoxLayout;
    resRow->addWidget(Button6);
    resRow->addWidget(Label19);
    resRow->addWidget(ComboBox3, 1);
    r->addLayout(resRow);
    Label5 = NewLabel(right, "Label5", QStringLiteral("Unresolved IPs (0):"));
    Memo4 = NewMemo(right, "Memo4");
    Button7 = NewButton(right, "Button7", QStringLiteral("Save to file..."));
    Label20 = NewLabel(right, "Label20", QStringLiteral("Delimiter:"));
    ComboBox4 = NewCombo(right, "ComboBox4", kListDelimiters);
    r->addWidget(Label5);
    r->addWidget(Memo4, 1);
    auto* unresRow = new QHBoxLayout;
    unresRow->addWidget(Button7);
    unresRow->addWidget(Label20);
    unresRow->addWidget(ComboBox4, 1);
    r->addLayout(unresRow);
    Label14 = NewLabel(right, "Label14", QString::fromLatin1(kNotice));
    Label14->setAlignment(Qt::AlignCenter);
    Label14->setWordWrap(true);
    Label15 = NewLabel(right, "Label15", QString::fromLatin1(kMakerName));
    Label15->setAlignment(Qt::AlignCenter);
    Label15->SetLink([this] { Label15Click(); });
    Label22 = NewLabel(right, "Label22", QStringLiteral("Edition"));
    Label22->setAlignment(Qt::AlignCenter);
    Button12 = NewButton(right, "Button12", QStringLiteral("Close"));
    r->addWidget(Label14);
    r->addWidget(Label15);
    r->addWidget(Label22);
    r->addWidget(Button12, 0, Qt::AlignHCenter);
}

void TForm1::SetAccessibleNames() {
    // Labels and buttons are read by their current captions, which Qt derives; so
    // are the edits their labels govern (through the buddy, live). An edit governed
    // by a check box or radio button takes that control's fixed caption.
    const std::pair<TLabelEx*, QWidget*> buddies[] = {
        {Label1, Memo1},      {Label8, Memo7},      {Label11, ComboBox1}, {Label13, Edit5},
        {Label16, Edit6},     {Label17, Edit7},     {Label21, ComboBox5}, {Label3, Edit9},
        {Label2, Memo2},      {Label18, ComboBox2}, {Label6, Memo5},      {Label4, Memo3},
        {Label19, ComboBox3}, {Label5, Memo4},      {Label20, ComboBox4}, {Label24, SettingsListBox}};
    for (const auto& [label, control] : buddies) label->setBuddy(control);
    const std::pair<QAbstractButton*, QWidget*> governed[] = {{RadioButton2, Edit1},
                                                              {RadioButton3, Edit2},
                                                              {CheckBox2, Edit3},
                                                              {CheckBox3, Edit4},
                                                              {CheckBox4, Memo6}};
    for (const auto& [button, control] : governed) control->setAccessibleName(ShownText(button->text()));
    Edit8->setAccessibleName(QStringLiteral("Custom Delimiter:"));
    Memo8->setAccessibleName(QStringLiteral("Google Public DNS Servers:"));
    SettingsNameEdit->setAccessibleName(QStringLiteral("Settings Name:"));
    SettingsNameEdit->setAccessibleDescription(Label24->text());
    TotalProgressBar->setAccessibleName(QStringLiteral("Progress"));
    ProgressBar1->setAccessibleName(QStringLiteral("DNS Lookup Progress"));
    // A list view does not read its buddy: it is named after its label here and at
    // each change of the label (see SetCaption).
    for (const auto& [label, control] : buddies)
        if (qobject_cast<QAbstractItemView*>(control)) control->setAccessibleName(ShownText(label->text()));
}

// ---------------------------------------------------------------- options

TZarvoOptions TForm1::ReadOptions() const {
    TZarvoOptions o;
    o.IPRanges = MemoLines(Memo1);
    o.UsableHosts = CheckBox8->isChecked();
    o.Unique = UniqueCheckBox->isChecked();
    o.Exclude = CheckBox4->isChecked();
    o.ExcludeMasks = MemoLines(Memo6);
    o.EscapeIPv6 = CheckBox6->isChecked();
    o.LowerIPv6 = LowerIPv6CheckBox->isChecked();
    o.AddPort = CheckBox2->isChecked();
    o.Ports = Std(Edit3->text());
    o.GenerateNames = CheckBox3->isChecked();
    o.NameTemplate = Std(Edit4->text());
    o.CounterSymbol = Std(ComboBox1->currentText());
    o.FirstCounter = Std(Edit5->text());
    o.CounterStep = Std(Edit6->text());
    o.CounterDigits = Std(Edit7->text());
    o.NameDelimiter = static_cast<TNameDelimiter>(ComboBox5->currentIndex());
    o.NameCustomDelimiter = Std(Edit8->text());
    o.Mode = RadioButton2->isChecked() ? gcTotalCount : RadioButton3->isChecked() ? gcForEach : gcAllCount;
    o.TotalCount = Std(Edit1->text());
    o.EachCount = Std(Edit2->text());
    o.Random = CheckBox1->isChecked();
    o.Append = CheckBox5->isChecked();
    o.ResolveCountry = CheckBox7->isChecked();
    o.MMDBFilePath = Std(Edit9->text());
    o.IPDelimiter = static_cast<TListDelimiter>(ComboBox2->currentIndex());
    o.ResolvedDelimiter = static_cast<TListDelimiter>(ComboBox3->currentIndex());
    o.UnresolvedDelimiter = static_cast<TListDelimiter>(ComboBox4->currentIndex());
    o.DNSServers = MemoLines(Memo5);
    o.DNSTimeoutMs = static_cast<unsigned>(DNSTimeoutSpin->value());
    o.DNSInFlight = static_cast<unsigned>(DNSInFlightSpin->value());
    o.DNSRetries = static_cast<unsigned>(DNSRetriesSpin->value());
    return o;
}

void TForm1::WriteOptions(const TZarvoOptions& o) {
    auto setIndex = [](QComboBox* c, int i) {
        if (i >= 0 && i < c->count()) c->setCurrentIndex(i);
    };
    SetMemoLines(Memo1, o.IPRanges);
    CheckBox8->setChecked(o.UsableHosts);
    UniqueCheckBox->setChecked(o.Unique);
    CheckBox4->setChecked(o.Exclude);
    SetMemoLines(Memo6, o.ExcludeMasks);
    CheckBox6->setChecked(o.EscapeIPv6);
    LowerIPv6CheckBox->setChecked(o.LowerIPv6);
    CheckBox2->setChecked(o.AddPort);
    Edit3->setText(Q(o.Ports));
    CheckBox3->setChecked(o.GenerateNames);
    Edit4->setText(Q(o.NameTemplate));
    ComboBox1->setCurrentText(Q(o.CounterSymbol));
    Edit5->setText(Q(o.FirstCounter));
    Edit6->setText(Q(o.CounterStep));
    Edit7->setText(Q(o.CounterDigits));
    setIndex(ComboBox5, o.NameDelimiter);
    Edit8->setVisible(ComboBox5->currentIndex() == ndCustom);
    Edit8->setText(Q(o.NameCustomDelimiter));
    (o.Mode == gcTotalCount ? RadioButton2
     : o.Mode == gcForEach  ? RadioButton3
                            : RadioButton1)
        ->setChecked(true);
    Edit1->setText(Q(o.TotalCount));
    Edit2->setText(Q(o.EachCount));
    CheckBox1->setChecked(o.Random);
    CheckBox5->setChecked(o.Append);
    CheckBox7->setChecked(o.ResolveCountry);
    Edit9->setText(Q(o.MMDBFilePath));
    setIndex(ComboBox2, o.IPDelimiter);
    setIndex(ComboBox3, o.ResolvedDelimiter);
    setIndex(ComboBox4, o.UnresolvedDelimiter);
    SetMemoLines(Memo5, o.DNSServers);
    // Values out of range, which no settings file gives, leave the boxes as they are.
    if (o.DNSTimeoutMs >= 1 && o.DNSTimeoutMs <= dns::kMaxTimeoutMs)
        DNSTimeoutSpin->setValue(static_cast<int>(o.DNSTimeoutMs));
    if (o.DNSInFlight >= 1 && o.DNSInFlight <= dns::kMaxInFlight)
        DNSInFlightSpin->setValue(static_cast<int>(o.DNSInFlight));
    if (o.DNSRetries <= dns::kMaxRetries) DNSRetriesSpin->setValue(static_cast<int>(o.DNSRetries));
    UpdateIPCountLabel();
}

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

void TForm1::Button4Click() {
    zarvo::qt::TViewCSVFileForm::ViewFile(
        this, QStringLiteral("GeoIP2 MMDB"), Edit9->text(), true, DatabaseReaderClass(),
        QStringLiteral("MMDB files (*.mmdb)|*.mmdb|All files (*.*)|*.*"), false, false);
}

void TForm1::Label15Click() {
    QUrl url(QString::fromLatin1(kMakerUrl));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("ver"), fAppVer);
    url.setQuery(query);
    Dialogs().OpenUrl(url);
}

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
    fDNSBreak = false;
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
    const bool brokenOff = fDNSBreak && (!FDNSTotal || FDNSDone < *FDNSTotal);
    ShowDNSState(!error.isEmpty() ? TDNSState::Failed : brokenOff ? TDNSState::BrokenOff : TDNSState::Done);
    if (!error.isEmpty()) ErrorMessage(error);
}

void TForm1::Button9Click() {
    fDNSBreak = true;
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
