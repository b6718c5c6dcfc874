// The application around the window: its names, the toolkit's settings, and the file viewer
// on its own ("zarvo --view FILE").
#include "app/Application.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSettings>

#include "app/Form1Shared.h"
#include "app/Unit1.h"
#include "mmdb/uMMDBLineReader.h"
#include "mmdb/uMMDBReader.h"
#include "options/ZarvoSettings.h"
#include "qt/viewer/ViewCSVFileUnit.h"

using namespace zarvo;
using namespace zarvo::qt;
using namespace form1;

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
