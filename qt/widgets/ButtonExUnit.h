// A push button that can browse for a file or folder and put the chosen path into
// an edit (a multi-line edit gets one line per chosen file).
#pragma once

#include <QPointer>
#include <QPushButton>
#include <functional>

#include "qt/widgets/VFormUnit.h"

namespace zarvo::qt {

enum TBrowseType { btFile, btFolder, btList, btFolderList };

class TButtonEx : public QPushButton {
    Q_OBJECT
public:
    using TBrowsePathEvent = std::function<void(TButtonEx&, const QString&)>;
    using TBrowseListEvent = std::function<void(TButtonEx&, const QStringList&)>;

    explicit TButtonEx(const QString& text = {}, QWidget* parent = nullptr);

    // Binds the edit (a QLineEdit or a QPlainTextEdit) and the dialog and makes a
    // click browse for a file.
    void SetBrowse(QWidget* sourceEdit, TFileDialog* openDialog, TBrowsePathEvent onBrowsePath = {});
    // Stores the edit and registers it for dropped files with the first TVForm above.
    void SetBrowseSourceEdit(QWidget* edit);
    void SetBrowseOpenDialog(TFileDialog* dialog);
    void SetBrowseType(TBrowseType type);

    QWidget* BrowseSourceEdit() const { return FBrowseSourceEdit; }
    TFileDialog* BrowseOpenDialog() const { return FBrowseOpenDialog; }
    TBrowseType BrowseType() const { return FBrowseType; }

    TBrowsePathEvent OnBrowsePath;
    TBrowseListEvent OnBrowseList;

    void BrowseClick();

protected:
    // Enter presses the focused button, as Space does.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void MakeBrowseHandler();

    QPointer<QWidget> FBrowseSourceEdit;
    TFileDialog* FBrowseOpenDialog = nullptr;
    TBrowseType FBrowseType = btFile;
    bool FBrowseConnected = false;
};

} // namespace zarvo::qt
