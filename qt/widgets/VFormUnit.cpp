#include "qt/widgets/VFormUnit.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <algorithm>

namespace zarvo::qt {

void IDialogs::MessageBox(QWidget* owner, QMessageBox::Icon icon, const QString& title, const QString& text) {
    QMessageBox box(icon, title, text, QMessageBox::Ok, owner);
    box.exec();
}

bool IDialogs::FileDialog(QWidget* owner, TFileDialogRequest& r) {
    QFileDialog dlg(owner, r.Title, r.Directory);
    if (r.Folder) {
        dlg.setFileMode(QFileDialog::Directory);
        dlg.setOption(QFileDialog::ShowDirsOnly);
    } else if (r.Save) {
        dlg.setAcceptMode(QFileDialog::AcceptSave);
        dlg.setFileMode(QFileDialog::AnyFile);
        dlg.setOption(QFileDialog::DontConfirmOverwrite, !r.OverwritePrompt);
    } else {
        dlg.setFileMode(r.MultiSelect ? QFileDialog::ExistingFiles
                                      : (r.FileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile));
    }
    if (!r.Filter.isEmpty()) dlg.setNameFilters(QtNameFilters(r.Filter).split(QStringLiteral(";;")));
    if (!r.DefaultSuffix.isEmpty()) dlg.setDefaultSuffix(r.DefaultSuffix);
    if (!r.FileName.isEmpty()) dlg.selectFile(r.FileName);
    if (dlg.exec() != QDialog::Accepted) return false;
    r.Files = dlg.selectedFiles();
    return !r.Files.isEmpty();
}

int IDialogs::ExecDialog(QDialog& dialog) {
    return dialog.exec();
}

void IDialogs::OpenUrl(const QUrl& url) {
    QDesktopServices::openUrl(url);
}

namespace {
IDialogs g_defaultDialogs;
IDialogs* g_dialogs = &g_defaultDialogs;
} // namespace

IDialogs& Dialogs() {
    return *g_dialogs;
}

IDialogs* SetDialogs(IDialogs* dialogs) {
    IDialogs* previous = g_dialogs;
    g_dialogs = dialogs ? dialogs : &g_defaultDialogs;
    return previous;
}

QString QtNameFilters(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    static const QRegularExpression trailingPatterns(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        description.remove(trailingPatterns);
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& p : patterns)
            if (p == QLatin1String("*.*")) p = QStringLiteral("*");
        out << description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return out.join(QStringLiteral(";;"));
}

bool TFileDialog::Execute(QWidget* owner) {
    TFileDialogRequest r;
    r.Save = Save;
    r.Title = Title;
    r.Filter = Filter;
    r.DefaultSuffix = DefaultExt.startsWith(QLatin1Char('.')) ? DefaultExt.mid(1) : DefaultExt;
    r.Directory = InitialDir;
    r.FileName = FileName;
    r.OverwritePrompt = OverwritePrompt;
    r.FileMustExist = FileMustExist;
    r.MultiSelect = MultiSelect;
    if (!Dialogs().FileDialog(owner, r)) return false;
    Files = r.Files;
    FileName = Files.value(0);
    return true;
}

QString FormatMessage(const QString& format, const QStringList& args) {
    static const QRegularExpression spec(QStringLiteral("%(%|[-+ #0]*[0-9]*(\\.[0-9]+)?[sd])"));
    QString out;
    qsizetype pos = 0, next = 0;
    auto it = spec.globalMatch(format);
    while (it.hasNext()) {
        const auto m = it.next();
        out += format.mid(pos, m.capturedStart() - pos);
        if (m.captured(1) == QLatin1String("%"))
            out += QLatin1Char('%');
        else
            out += args.value(next++);
        pos = m.capturedEnd();
    }
    out += format.mid(pos);
    return out;
}

// Message texts of the core break lines with CR LF; a box shows LF.
static QString BoxText(QString s) {
    return s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

TVForm::TVForm(QWidget* parent) : QWidget(parent) {}

TVForm::~TVForm() {
    // The controls outlive this part of the form (the base class deletes them), so
    // they must no longer reach back into it.
    for (QWidget* c : fDropFileCtrls) disconnect(c, &QObject::destroyed, this, nullptr);
    for (QWidget* c : fActiveDropCtrls) {
        c->removeEventFilter(this);
        if (auto* memo = qobject_cast<QPlainTextEdit*>(c)) memo->viewport()->removeEventFilter(this);
    }
}

void TVForm::ErrorMessage(const QString& msg) {
    ErrorMessage(windowTitle(), msg);
}

void TVForm::ErrorMessage(const QString& title, const QString& msg) {
    Dialogs().MessageBox(this, QMessageBox::Critical, title, BoxText(msg));
}

void TVForm::ErrorMessageFmt(const QString& format, const QStringList& args) {
    ErrorMessage(FormatMessage(format, args));
}

void TVForm::ErrorMessageFmt(const QString& title, const QString& format, const QStringList& args) {
    ErrorMessage(title, FormatMessage(format, args));
}

void TVForm::Warning(const QString& msg) {
    Warning(windowTitle(), msg);
}

void TVForm::Warning(const QString& title, const QString& msg) {
    Dialogs().MessageBox(this, QMessageBox::Warning, title, BoxText(msg));
}

void TVForm::WarningFmt(const QString& format, const QStringList& args) {
    Warning(FormatMessage(format, args));
}

void TVForm::WarningFmt(const QString& title, const QString& format, const QStringList& args) {
    Warning(title, FormatMessage(format, args));
}

bool TVForm::CheckNotEmpty(const QString& value, const QString& name) {
    if (!value.isEmpty()) return true;
    WarningFmt(QStringLiteral("Please, enter %s"), {name});
    return false;
}

void TVForm::EnableDroppingFile(QWidget* control) {
    if (!control || std::find(fDropFileCtrls.begin(), fDropFileCtrls.end(), control) != fDropFileCtrls.end())
        return;
    fDropFileCtrls.push_back(control);
    connect(control, &QObject::destroyed, this, [this, control] {
        std::erase(fDropFileCtrls, control);
        std::erase(fActiveDropCtrls, control);
    });
    if (isVisible()) ActivateDropTarget(control);
}

void TVForm::ActivateDropTarget(QWidget* control) {
    if (std::find(fActiveDropCtrls.begin(), fActiveDropCtrls.end(), control) != fActiveDropCtrls.end())
        return;
    fActiveDropCtrls.push_back(control);
    control->setAcceptDrops(true);
    // A text edit takes drops on its viewport.
    if (auto* memo = qobject_cast<QPlainTextEdit*>(control)) memo->viewport()->installEventFilter(this);
    control->installEventFilter(this);
}

void TVForm::showEvent(QShowEvent* event) {
    for (QWidget* c : fDropFileCtrls) ActivateDropTarget(c);
    QWidget::showEvent(event);
}

static QStringList LocalFiles(const QMimeData* mime) {
    QStringList files;
    if (!mime || !mime->hasUrls()) return files;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile()) files << url.toLocalFile();
    return files;
}

bool TVForm::eventFilter(QObject* watched, QEvent* event) {
    const auto type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
        return QWidget::eventFilter(watched, event);
    QWidget* control = qobject_cast<QWidget*>(watched);
    if (control && !std::count(fActiveDropCtrls.begin(), fActiveDropCtrls.end(), control))
        control = control->parentWidget(); // the viewport of a multi-line edit
    if (!control || !std::count(fActiveDropCtrls.begin(), fActiveDropCtrls.end(), control))
        return QWidget::eventFilter(watched, event);
    auto* drop = static_cast<QDropEvent*>(event);
    if (LocalFiles(drop->mimeData()).isEmpty()) return QWidget::eventFilter(watched, event);
    if (type == QEvent::Drop) {
        HandleDropFiles(control, drop);
    }
    drop->setDropAction(Qt::CopyAction);
    drop->accept();
    return true;
}

bool TVForm::HandleDropFiles(QWidget* control, QDropEvent* event) {
    const QStringList files = LocalFiles(event->mimeData());
    if (auto* list = qobject_cast<QListWidget*>(control)) {
        for (const QString& f : files) DoDropFileItem(list, f);
    } else if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        for (const QString& f : files) DoDropFile(edit, f);
    } else if (auto* memo = qobject_cast<QPlainTextEdit*>(control)) {
        DoDropFiles(memo, files);
    } else {
        return false;
    }
    return true;
}

void TVForm::DoDropFileItem(QListWidget* list, const QString& fileName) {
    bool handled = false;
    if (OnDropFileItem) OnDropFileItem(list, fileName, handled);
    if (handled) return;
    auto* item = new QListWidgetItem(fileName, list);
    DoFileItemDropped(list, fileName, item);
}

void TVForm::DoDropFile(QLineEdit* edit, const QString& fileName) {
    bool handled = false;
    if (OnDropFile) OnDropFile(edit, fileName, handled);
    if (handled) return;
    edit->setText(fileName);
    DoFileDropped(edit, fileName);
}

void TVForm::DoDropFiles(QPlainTextEdit* memo, const QStringList& files) {
    bool handled = false;
    if (OnDropFiles) OnDropFiles(memo, files, handled);
    if (handled) return;
    for (const QString& f : files) memo->appendPlainText(f);
    DoFilesDropped(memo, files);
}

void TVForm::DoFileItemDropped(QListWidget* list, const QString& fileName, QListWidgetItem* item) {
    if (OnFileItemDropped) OnFileItemDropped(list, fileName, item);
}

void TVForm::DoFileDropped(QLineEdit* edit, const QString& fileName) {
    if (OnFileDropped) OnFileDropped(edit, fileName);
}

void TVForm::DoFilesDropped(QPlainTextEdit* memo, const QStringList& files) {
    if (OnFilesDropped) OnFilesDropped(memo, files);
}

} // namespace zarvo::qt
