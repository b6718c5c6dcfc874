// The entry: the application, its title, the main window and the event loop; or,
// with "--view FILE", the file viewer alone; "--help" and "--version" print and end.
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstring>

#include "app/Unit1.h"

namespace {

constexpr char kHelp[] =
    "Usage: zarvo [-settingsdir DIR | -appsettingsdir] [-config FILE]\n"
    "       zarvo --view FILE\n"
    "       zarvo --help | --version\n"
    "\n"
    "Turns IP ranges in CIDR notation into address lists, in a window; zarvo-cli runs\n"
    "the same engine from the command line.\n"
    "\n"
    "Options:\n"
    "  -settingsdir DIR    keep the settings (zarvo2.ini) in DIR, a folder that only a\n"
    "                      file dialog, keeping its history there, creates\n"
    "  -appsettingsdir     keep the settings in the folder that holds the program\n"
    "  -config FILE        read and write the settings from FILE instead of zarvo2.ini; a\n"
    "                      relative name in the folder of the switches above, else\n"
    "                      beside the program\n"
    "      --view FILE     open the file viewer alone on FILE (also --view=FILE): CSV,\n"
    "                      text or a MaxMind DB\n"
    "  -h, --help          print this help and exit\n"
    "      --version       print the version and exit\n"
    "\n"
    "The settings folder is $XDG_CONFIG_HOME/Zarvo2 (default ~/.config/Zarvo2) unless the\n"
    "switches move it; the file dialogs keep their history there too (QtProject.conf).\n"
    "The standard options of Qt applications (-platform NAME, -style STYLE...) are taken\n"
    "as well. The window needs a display; without one, start it under xvfb-run.\n";

// Written before the application exists, which needs a display; 1 when stdout fails.
int Print(const char* text) {
    std::fputs(text, stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) return Print("zarvo " ZARVO_VERSION "\n");
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return Print(kHelp);
    }
    QApplication app(argc, argv);
    InitApplication();
    // Before any file dialog can write its history.
    KeepToolkitSettingsInSettingsFolder();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/zarvo.png")));
    const QStringList args = QApplication::arguments().mid(1);
    if (args.contains(QLatin1String("--view")) || !args.filter(QStringLiteral("--view=")).isEmpty()) {
        const QString file = ViewArgument(args);
        if (file.isEmpty()) {
            std::fputs("zarvo: --view needs a file name\n", stderr);
            return 2;
        }
        return ViewFileAlone(file);
    }
    TForm1 form;
    form.show();
    return app.exec();
}
