// The base of the program's windows: message boxes titled with the window's
// caption, the non-empty check built on them, and files dropped from the file
// manager onto registered controls. Every modal interaction (message boxes, file
// dialogs, input boxes, opening an address) goes through one replaceable object,
// IDialogs, so that tests answer them without a modal loop.
#pragma once

#include <QMessageBox>
#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <vector>

class QDialog;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPlainTextEdit;

namespace zarvo::qt {

// What a file dialog is asked for and, when confirmed, what was chosen.
struct TFileDialogRequest {
    bool Save = false;
    bool Folder = false; // choose a folder instead of a file
    QString Title;
    QString Directory;
    QString FileName;
    QString Filter;        // "Description|pattern|Description|pattern"
    QString DefaultSuffix; // without the dot
    bool MultiSelect = false;
    bool OverwritePrompt = false;
    bool FileMustExist = false;
    QStringList Files; // out: the chosen files, in order
};

class IDialogs {
public:
    virtual ~IDialogs() = default;
    virtual void MessageBox(QWidget* owner, QMessageBox::Icon icon, const QString& title,
                            const QString& text);
    // True when the user confirmed; request.Files then holds the choice.
    virtual bool FileDialog(QWidget* owner, TFileDialogRequest& request);
    // Shows a dialog modally; returns QDialog::Accepted or QDialog::Rejected.
    virtual int ExecDialog(QDialog& dialog);
    virtual void OpenUrl(const QUrl& url);
};

IDialogs& Dialogs();
// Replaces the process's dialogs; nullptr restores the real ones. Returns the previous.
IDialogs* SetDialogs(IDialogs* dialogs);

// "Text files (*.txt)|*.txt|All files (*.*)|*.*" as a Qt name filter list; "*.*"
// means every file, also one without an extension.
QString QtNameFilters(const QString& filter);

// An open or save dialog as the windows keep it: set up once, shown many times.
class TFileDialog {
public:
    bool Save = false;
    QString Title;
    QString Filter;
    QString DefaultExt; // ".txt" or "txt"
    QString InitialDir;
    QString FileName;
    bool OverwritePrompt = false;
    bool FileMustExist = false;
    bool MultiSelect = false;
    QStringList Files;

    // Shows the dialog; when confirmed, FileName is the first chosen file.
    bool Execute(QWidget* owner);
};

// "%s" and "%d" (with any flags) take the arguments in turn; "%%" is a percent sign.
QString FormatMessage(const QString& format, const QStringList& args);

class TVForm : public QWidget {
    Q_OBJECT
public:
    explicit TVForm(QWidget* parent = nullptr);
    ~TVForm() override;

    void ErrorMessage(const QString& msg);
    void ErrorMessage(const QString& title, const QString& msg);
    void ErrorMessageFmt(const QString& format, const QStringList& args);
    void ErrorMessageFmt(const QString& title, const QString& format, const QStringList& args);
    void Warning(const QString& msg);
    void Warning(const QString& title, const QString& msg);
    void WarningFmt(const QString& format, const QStringList& args);
    void WarningFmt(const QString& title, const QString& format, const QStringList& args);
    // Warns "Please, enter NAME" and returns false when value is empty (no trimming).
    bool CheckNotEmpty(const QString& value, const QString& name);

    // Registers an edit, a multi-line edit or a list widget as a target for files
    // dropped from the file manager; registering twice counts once.
    void EnableDroppingFile(QWidget* control);
    const std::vector<QWidget*>& DropFileControls() const { return fDropFileCtrls; }

    std::function<void(QListWidget*, const QString&, bool&)> OnDropFileItem;
    std::function<void(QLineEdit*, const QString&, bool&)> OnDropFile;
    std::function<void(QPlainTextEdit*, const QStringList&, bool&)> OnDropFiles;
    std::function<void(QListWidget*, const QString&, QListWidgetItem*)> OnFileItemDropped;
    std::function<void(QLineEdit*, const QString&)> OnFileDropped;
    std::function<void(QPlainTextEdit*, const QStringList&)> OnFilesDropped;

protected:
    virtual void DoDropFileItem(QListWidget* list, const QString& fileName);
    virtual void DoDropFile(QLineEdit* edit, const QString& fileName);
    virtual void DoDropFiles(QPlainTextEdit* memo, const QStringList& files);
    virtual void DoFileItemDropped(QListWidget* list, const QString& fileName, QListWidgetItem* item);
    virtual void DoFileDropped(QLineEdit* edit, const QString& fileName);
    virtual void DoFilesDropped(QPlainTextEdit* memo, const QStringList& files);
    // Handles a drop on a registered control; true when the drop was consumed.
    virtual bool HandleDropFiles(QWidget* control, QDropEvent* event);

    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ActivateDropTarget(QWidget* control);

    std::vector<QWidget*> fDropFileCtrls;
    std::vector<QWidget*> fActiveDropCtrls;
};

} // namespace zarvo::qt
