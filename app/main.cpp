// The entry: the application, its title, the main window and the event loop.
#include <QApplication>
#include <QIcon>

#include "app/Unit1.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zarvo"));
    QApplication::setApplicationDisplayName(QString::fromLatin1(kApplicationTitle));
    QApplication::setApplicationVersion(QStringLiteral(ZARVO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("zarvo"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/zarvo.png")));
    TForm1 form;
    form.show();
    return app.exec();
}
