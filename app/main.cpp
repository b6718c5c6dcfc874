// The entry: the application, its title, the main window and the event loop; or,
// with "--view FILE", the file viewer alone; "--version" prints the version.
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstring>

#include "app/Unit1.h"

int main(int argc, char* argv[]) {
    // Answered before the application exists, which needs a display.
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("zarvo %s\n", ZARVO_VERSION);
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
        }
    QApplication app(argc, argv);
    InitApplication();
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
