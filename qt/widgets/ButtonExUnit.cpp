#include "qt/widgets/ButtonExUnit.h"

#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>

namespace zarvo::qt {

TButtonEx::TButtonEx(const QString& text, QWidget* parent) : QPushButton(text, parent) {}

void TButtonEx::keyPressEvent(QKeyEvent* event) {
    // Outside a dialog QPushButton leaves Return and keypad Enter to the window.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (!event->isAutoRepeat()) click();
        event->accept();
        return;
    }
    QPushButton::keyPressEvent(event);
}

void TButtonEx::SetBrowse(QWidget* sourceEdit, TFileDialog* openDialog, TBrowsePathEvent onBrowsePath) {
    SetBrowseSourceEdit(sourceEdit);
    FBrowseOpenDialog = openDialog;
    FBrowseType = btFile;
    if (onBrowsePath) OnBrowsePath = std::move(onBrowsePath);
    MakeBrowseHandler();
}

void TButtonEx::SetBrowseSourceEdit(QWidget* edit) {
    FBrowseSourceEdit = edit;
    if (!edit) return;
    for (QWidget* w = parentWidget(); w; w = w->parentWidget())
        if (auto* form = qobject_cast<TVForm*>(w)) {
            form->EnableDroppingFile(edit);
            break;
        }
}

void TButtonEx::SetBrowseOpenDialog(TFileDialog* dialog) {
    FBrowseOpenDialog = dialog;
    MakeBrowseHandler();
}

void TButtonEx::SetBrowseType(TBrowseType type) {
    FBrowseType = type;
    if (type == btFolder || type == btFolderList) MakeBrowseHandler();
}

void TButtonEx::MakeBrowseHandler() {
    if (FBrowseConnected) return;
    FBrowseConnected = true;
    connect(this, &QPushButton::clicked, this, &TButtonEx::BrowseClick);
}

void TButtonEx::BrowseClick() {
    auto* line = qobject_cast<QLineEdit*>(FBrowseSourceEdit.data());
    auto* memo = qobject_cast<QPlainTextEdit*>(FBrowseSourceEdit.data());
    // The dialog starts from the edit's path: a folder opens as it is; a file opens
    // its folder with its name chosen. A multi-line edit starts from its last line.
    QString path;
    if (line) {
        path = line->text();
    } else if (memo) {
        const QStringList lines = memo->toPlainText().split(QLatin1Char('\n'));
        for (auto it = lines.rbegin(); it != lines.rend(); ++it)
            if (!it->isEmpty()) {
                path = *it;
                break;
            }
    }
    QString dir, fileName;
    if (!path.isEmpty()) {
        const QFileInfo info(path);
        if (info.isDir()) {
            dir = path;
        } else {
            dir = info.path();
            if (line) fileName = path;
        }
    }

    QStringList chosen;
    if (FBrowseType == btFolder || FBrowseType == btFolderList || !FBrowseOpenDialog) {
        if (FBrowseType != btFolder && FBrowseType != btFolderList) return;
        TFileDialogRequest r;
        r.Folder = true;
        r.Directory = path.isEmpty() ? dir : path;
        if (!Dialogs().FileDialog(window(), r)) return;
        chosen = r.Files;
    } else {
        TFileDialog& d = *FBrowseOpenDialog;
        d.InitialDir = dir;
        d.FileName = fileName;
        d.MultiSelect = memo != nullptr;
        if (!d.Execute(window())) return;
        chosen = d.Files;
    }
    if (chosen.isEmpty()) return;
    if (line)
        line->setText(chosen.front());
    else if (memo)
        for (const QString& f : chosen) memo->appendPlainText(f);
    if (OnBrowsePath) OnBrowsePath(*this, chosen.front());
    if (OnBrowseList) OnBrowseList(*this, chosen);
}

} // namespace zarvo::qt
