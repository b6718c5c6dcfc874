// The main window: its creation, caption, showing and closing, and the links it opens.
#include "app/Unit1.h"

#include <QCloseEvent>
#include <QDate>
#include <QLineEdit>
#include <QSysInfo>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include "app/Form1Shared.h"

#include "qt/viewer/ViewCSVFileUnit.h"

using namespace zarvo;
using namespace zarvo::qt;
using namespace form1;

namespace {

const char* const kMakerUrl = "https://zarvo.example.org/";

// The CPU the program was built for, as the caption shows it.
QString BuildArch() {
    const QString a = QSysInfo::buildCpuArchitecture();
    if (a == QLatin1String("x86_64")) return QStringLiteral("x64");
    if (a == QLatin1String("i386")) return QStringLiteral("x86");
    return a;
}

} // namespace

// ---------------------------------------------------------------- creation

TForm1::TForm1(QWidget* parent) : TVForm(parent) {
    BuildControls();

    FAppVer = ShortVersion(QStringLiteral(ZARVO_VERSION));
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

void TForm1::Button4Click() {
    zarvo::qt::TViewCSVFileForm::ViewFile(
        this, QStringLiteral("GeoIP2 MMDB"), Edit9->text(), true, DatabaseReaderClass(),
        QStringLiteral("MMDB files (*.mmdb)|*.mmdb|All files (*.*)|*.*"), false, false);
}

void TForm1::Label15Click() {
    QUrl url(QString::fromLatin1(kMakerUrl));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("ver"), FAppVer);
    url.setQuery(query);
    Dialogs().OpenUrl(url);
}
