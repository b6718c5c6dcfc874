// The main window as a test meets it: modal boxes and file dialogs answered by
// TFakeDialogs, a settings folder of its own for each test (so that every test starts
// from the initial options and none reaches the user's), and its controls found by
// object name. A test class derives from it and opens the window in its init().
#pragma once

#include <QAbstractButton>
#include <QAccessible>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "FakeDialogs.h"
#include "app/Unit1.h"
#include "options/uAppFolder.h"

class TWindowFixture : public QObject {
protected:
    std::unique_ptr<TFakeDialogs> dialogs;
    std::unique_ptr<QTemporaryDir> settingsDir;
    std::unique_ptr<TForm1> form;

    void openWindow() {
        dialogs = std::make_unique<TFakeDialogs>();
        settingsDir = std::make_unique<QTemporaryDir>();
        zarvo::SetAppFolder({{"-settingsdir", settingsDir->path().toStdString()}, {}, {}, {}});
        form = std::make_unique<TForm1>();
    }
    // The window first, which may still write its settings and answer through the dialogs.
    void closeWindow() {
        form.reset();
        settingsDir.reset();
        dialogs.reset();
    }

    template <class W> W* child(const char* name) {
        W* w = form->findChild<W*>(QString::fromLatin1(name));
        if (!w) qFatal("no control %s", name);
        return w;
    }
    void click(const char* name) { QTest::mouseClick(child<QAbstractButton>(name), Qt::LeftButton); }
};

// What the accessibility bus reads as the control's name.
inline QString AccessibleName(QWidget* w) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
    return a ? a->text(QAccessible::Name) : QString();
}
