// The file viewer: a window that previews the first lines of a line source as a
// table ("Columns", one row per CSV record) and as text ("Text", one row per line),
// and can count the rows of the whole source on a worker thread. The preview is read
// on a worker thread too: the window stays live, shows the read's progress after a
// moment, and can stop it (keeping the rows read so far).
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qt/widgets/VFormUnit.h"
#include "readers/ViewerPreview.h"
#include "qt/viewer/ListViewExUnit.h"
#include "readers/uCSVParser.h"
#include "readers/uLineReaderWriter.h"

class QCheckBox;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QTabBar;
class QTimer;
class QToolButton;

namespace zarvo::qt {

class TLabelEx;

class TViewCSVFileForm : public TVForm {
    Q_OBJECT
public:
    // Opens the viewer modally on fileName and returns when it is closed. An empty
    // lineReaderClass reads the file as text through the cached reader.
    static void ViewFile(QWidget* owner, const QString& title, const QString& fileName, bool noHeader,
                         const TLineReaderClass& lineReaderClass, const QString& openDialogFilter,
                         bool countRowsEnabled, bool setMaxRowsEnabled);
    // The same window set up but not shown, in the dialog that holds it; the form is
    // the dialog's child named "ViewCSVFileForm". Without an owner the dialog is a
    // top-level window of its own (a window manager's normal window, not a dialog
    // that belongs to a window never shown), and its own dialogs belong to it.
    static std::unique_ptr<QDialog> CreateViewer(QWidget* owner, const QString& title,
                                                 const QString& fileName, bool noHeader,
                                                 const TLineReaderClass& lineReaderClass,
                                                 const QString& openDialogFilter, bool countRowsEnabled,
                                                 bool setMaxRowsEnabled);

    explicit TViewCSVFileForm(QDialog* host);
    ~TViewCSVFileForm() override;

    int32_t PreviewMaxLines() const { return FMaxLines; }
    void SetPreviewMaxLines(int32_t value);
    int32_t ReadBufferSize() const { return FSource.ReadBufferSize; }
    void SetReadBufferSize(int32_t value) { FSource.ReadBufferSize = value; }
    int32_t LineBufferSize() const { return FSource.LineBufferSize; }
    void SetLineBufferSize(int32_t value) { FSource.LineBufferSize = value; }
    TCSVParser& Parser() { return FCSVParser; }
    const TViewerPreview& Preview() const { return *FPreview; }
    const QString& PreviewFileName() const { return FPreviewFileName; }

    // Reads the preview anew on a worker thread, as "No Header" stands; a read under
    // way is stopped and forgotten. The views keep what they show until the read is
    // done (PreviewRead).
    void RefreshSourceView();
    // Whether a read is under way.
    bool Reading() const { return FRead != nullptr; }
    // Stops the read under way; what it read so far is shown, with "+".
    void StopReading();
    void SetRowsLabel(int64_t count, bool more);
    // Counts the rows behind the wait dialog and shows the outcome.
    void CountRowsClick();
    // The raw lines behind the view's selected items, joined by CR LF.
    QString GetSelectedLinesText(TListViewEx* view) const;
    // Whether that text is not empty, found without building it.
    bool HasSelectedText(TListViewEx* view) const;
    // "&Copy": that text is built on a worker thread (a million rows take half a
    // second) and put on the clipboard when done (Copied); a later copy replaces it.
    void CopyClick(TListViewEx* view);
    bool Copying() const { return FCopy != nullptr; }
    void SyncTopItem(TListViewEx* from, TListViewEx* to);

    // The controls, named like the fields.
    TListViewEx* SourceView;  // "Columns"
    TListViewEx* SourceView2; // "Text"
    QTabBar* TabSet1;
    QPushButton* RefreshButton;
    QCheckBox* NoHeaderCheckBox;
    QToolButton* OptionsButton;
    QPushButton* OpenFileButton;
    QLabel* ReadTimeLabel;
    QLabel* ReadTimeValueLabel;
    QLabel* MaxRowsLabel;
    TLabelEx* MaxRowsValueLabel;
    QLabel* RowsTitleLabel;
    QLabel* RowsLabel;
    QWidget* Panel3;
    QWidget* Panel4;
    QPushButton* CountRowsButton;
    QWidget* ReadPanel; // the read's progress and "Stop", shown once a read takes a moment
    QProgressBar* ReadProgressBar;
    QPushButton* StopReadButton;
    QPushButton* CloseButton;
    QMenu* PopupMenu1;
    QMenu* PopupMenu2;

signals:
    // A read is done and the views show it (also a stopped one, and one that failed).
    void PreviewRead();
    // A copy is on the clipboard.
    void Copied();

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct TPreviewRead;
    struct TReadResult;
    struct TCopyJob;
    void ShowRead(uint64_t number, TReadResult& result);
    void ShowPreview();
    void ShowReadProgress();
    // The two list views in the stack that shows one of them.
    QWidget* MakeViews();
    // The read's progress bar and "Stop", hidden; and the timer that shows them.
    QWidget* MakeReadPanel(QWidget* parent);
    TListViewExModel::TCellMark ColumnsItemMark(int k) const;
    TListViewExModel::TCellMark TextItemMark(int k) const;

    void Setup(const QString& title, const QString& fileName, bool noHeader,
               const TLineReaderClass& lineReaderClass, const QString& openDialogFilter,
               bool countRowsEnabled, bool setMaxRowsEnabled);
    void UpdateCaption();
    QStringList ColumnsItemData(int k);
    QStringList TextItemData(int k);
    void TabChanged(int index);
    void OptionsClick();
    void OpenFileClick();
    void MaxRowsClick();
    void NoHeaderClick();
    QMenu* MakePopupMenu(TListViewEx* view, const QString& name);

    QDialog* FHost;
    QString FTitle;
    QString FPreviewFileName;
    TViewerSource FSource;
    int32_t FMaxLines = TViewerPreview::kDefaultMaxLines;
    // Replaced whole by each read, never changed: a copy on a worker holds it.
    std::shared_ptr<const TViewerPreview> FPreview = std::make_shared<const TViewerPreview>();
    std::unique_ptr<TPreviewRead> FRead; // the read under way
    uint64_t FReadNumber = 0;            // of the last read started
    std::unique_ptr<TCopyJob> FCopy;     // the copy under way
    uint64_t FCopyNumber = 0;
    QTimer* FReadTimer;
    std::vector<int> FPreviewColumnWidths;
    TCSVParser FCSVParser{500};
    QString FOpenDialogFilter;
    bool FCountRowsEnabled = false;
    bool FShown = false;
    bool FCountNoHeader = false;
    int64_t FRows = -1;
    QString FCountError;
};

} // namespace zarvo::qt
