#include "viewer/qt/ViewCSVFileUnit.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QStyle>
#include <QTabBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

#include "support/qt/LabelExUnit.h"
#include "support/qt/MultiInputUnit.h"
#include "viewer/qt/ListViewExUnit.h"
#include "viewer/qt/WaitDialogUnit.h"

namespace zarvo::qt {

namespace {

constexpr char kDefaultFilter[] = "CSV files (*.csv)|*.csv|Text files (*.txt)|*.txt|All files (*.*)|*.*";
constexpr int kMaxColumnWidth = 300;

QString Q(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QPushButton* Button(QWidget* parent, const char* name, const QString& caption, int width) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QLatin1String(name));
    b->setMinimumWidth(std::max(width, b->sizeHint().width()));
    b->setFixedHeight(29);
    b->setAutoDefault(false);
    return b;
}

QLabel* Label(QWidget* parent, const char* name, const QString& caption) {
    auto* l = new QLabel(caption, parent);
    l->setObjectName(QLatin1String(name));
    return l;
}

// Stops a view's repainting until the end of the scope, also on failure.
class TUpdatesOff {
public:
    explicit TUpdatesOff(QWidget* w) : FWidget(w) { w->setUpdatesEnabled(false); }
    ~TUpdatesOff() { FWidget->setUpdatesEnabled(true); }
    TUpdatesOff(const TUpdatesOff&) = delete;
    TUpdatesOff& operator=(const TUpdatesOff&) = delete;

private:
    QWidget* FWidget;
};

} // namespace

void TViewCSVFileForm::ViewFile(QWidget* owner, const QString& title, const QString& fileName, bool noHeader,
                                const TLineReaderClass& lineReaderClass, const QString& openDialogFilter,
                                bool countRowsEnabled, bool setMaxRowsEnabled) {
    const std::unique_ptr<QDialog> dialog =
        CreateViewer(owner, title, fileName, noHeader, lineReaderClass, openDialogFilter, countRowsEnabled,
                     setMaxRowsEnabled);
    Dialogs().ExecDialog(*dialog);
}

std::unique_ptr<QDialog> TViewCSVFileForm::CreateViewer(QWidget* owner, const QString& title,
                                                        const QString& fileName, bool noHeader,
                                                        const TLineReaderClass& lineReaderClass,
                                                        const QString& openDialogFilter,
                                                        bool countRowsEnabled, bool setMaxRowsEnabled) {
    auto dialog = std::make_unique<QDialog>(owner);
    dialog->setObjectName(QStringLiteral("ViewCSVFileDialog"));
    dialog->setWindowFlags(dialog->windowFlags() | Qt::WindowMaximizeButtonHint);
    auto* form = new TViewCSVFileForm(dialog.get());
    auto* layout = new QVBoxLayout(dialog.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(form);
    dialog->resize(922, 566);
    if (QScreen* screen = dialog->screen()) {
        const QRect avail = screen->availableGeometry();
        dialog->move(avail.center() - dialog->rect().center());
    }
    form->Setup(title, fileName, noHeader, lineReaderClass, openDialogFilter, countRowsEnabled,
                setMaxRowsEnabled);
    return dialog;
}

TViewCSVFileForm::TViewCSVFileForm(QDialog* host) : TVForm(host), FHost(host) {
    setObjectName(QStringLiteral("ViewCSVFileForm"));
    setWindowTitle(QStringLiteral("View File"));
    host->setWindowTitle(windowTitle());
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(8, 8, 8, 8);
    outer->setSpacing(0);

    auto* stack = new QStackedWidget(this);
    SourceView = new TListViewEx(stack);
    SourceView->setObjectName(QStringLiteral("SourceView"));
    SourceView->setAccessibleName(QStringLiteral("Columns"));
    SourceView2 = new TListViewEx(stack);
    SourceView2->setObjectName(QStringLiteral("SourceView2"));
    SourceView2->setAccessibleName(QStringLiteral("Text"));
    SourceView2->AddColumns({QStringLiteral("#"), QStringLiteral("Line")}, {60, 300});
    SourceView2->header()->setStretchLastSection(true);
    stack->addWidget(SourceView);
    stack->addWidget(SourceView2);
    outer->addWidget(stack, 1);
    SourceView->Model()->OnItemData = [this](int k) { return ColumnsItemData(k); };
    SourceView2->Model()->OnItemData = [this](int k) { return TextItemData(k); };
    PopupMenu1 = MakePopupMenu(SourceView, "PopupMenu1");
    PopupMenu2 = MakePopupMenu(SourceView2, "PopupMenu2");

    TabSet1 = new QTabBar(this);
    TabSet1->setObjectName(QStringLiteral("TabSet1"));
    TabSet1->setShape(QTabBar::RoundedSouth);
    TabSet1->setDrawBase(false);
    TabSet1->setExpanding(false);
    TabSet1->addTab(QStringLiteral("Columns"));
    TabSet1->addTab(QStringLiteral("Text"));
    outer->addWidget(TabSet1);
    connect(TabSet1, &QTabBar::currentChanged, this, &TViewCSVFileForm::TabChanged);

    auto* bottom = new QWidget(this);
    bottom->setObjectName(QStringLiteral("BottomPanel"));
    bottom->setFixedHeight(39);
    auto* bar = new QHBoxLayout(bottom);
    bar->setContentsMargins(0, 5, 0, 0);
    bar->setSpacing(8);
    outer->addWidget(bottom);

    Panel3 = new QWidget(bottom);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    auto* left = new QHBoxLayout(Panel3);
    left->setContentsMargins(0, 0, 16, 0);
    left->setSpacing(8);
    RefreshButton = Button(Panel3, "RefreshButton", QStringLiteral("Refresh"), 75);
    NoHeaderCheckBox = new QCheckBox(QStringLiteral("No Header"), Panel3);
    NoHeaderCheckBox->setObjectName(QStringLiteral("NoHeaderCheckBox"));
    OptionsButton = new QToolButton(Panel3);
    OptionsButton->setObjectName(QStringLiteral("OptionsButton"));
    OptionsButton->setText(QStringLiteral("Options"));
    OptionsButton->setToolTip(QStringLiteral("Options"));
    OptionsButton->setIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
    OptionsButton->setToolButtonStyle(Qt::ToolButtonIconOnly);
    OptionsButton->setAutoRaise(true);
    OptionsButton->setFixedSize(25, 25);
    OpenFileButton = Button(Panel3, "OpenFileButton", QStringLiteral("Open File..."), 84);
    ReadTimeLabel = Label(Panel3, "ReadTimeLabel", QStringLiteral("Read Time (sec.):"));
    ReadTimeValueLabel = Label(Panel3, "ReadTimeValueLabel", QStringLiteral("0"));
    MaxRowsLabel = Label(Panel3, "MaxRowsLabel", QStringLiteral("Max. View Rows:"));
    MaxRowsValueLabel = new TLabelEx(QString(), Panel3);
    MaxRowsValueLabel->setObjectName(QStringLiteral("MaxRowsValueLabel"));
    RowsTitleLabel = Label(Panel3, "RowsTitleLabel", QStringLiteral("Rows:"));
    RowsLabel = Label(Panel3, "RowsLabel", QStringLiteral("0"));
    left->addWidget(RefreshButton);
    left->addWidget(NoHeaderCheckBox);
    left->addWidget(OptionsButton);
    left->addWidget(OpenFileButton);
    left->addSpacing(8);
    left->addWidget(ReadTimeLabel);
    left->addWidget(ReadTimeValueLabel);
    left->addSpacing(8);
    left->addWidget(MaxRowsLabel);
    left->addWidget(MaxRowsValueLabel);
    left->addSpacing(8);
    left->addWidget(RowsTitleLabel);
    left->addWidget(RowsLabel);
    bar->addWidget(Panel3);

    Panel4 = new QWidget(bottom);
    Panel4->setObjectName(QStringLiteral("Panel4"));
    auto* middle = new QHBoxLayout(Panel4);
    middle->setContentsMargins(0, 0, 0, 0);
    CountRowsButton = Button(Panel4, "CountRowsButton", QStringLiteral("Count Rows..."), 99);
    middle->addWidget(CountRowsButton);
    Panel4->hide();
    bar->addWidget(Panel4);
    bar->addStretch(1);

    CloseButton = Button(bottom, "CloseButton", QStringLiteral("Close"), 75);
    bar->addWidget(CloseButton);

    connect(RefreshButton, &QPushButton::clicked, this, &TViewCSVFileForm::RefreshSourceView);
    connect(OptionsButton, &QToolButton::clicked, this, &TViewCSVFileForm::OptionsClick);
    connect(OpenFileButton, &QPushButton::clicked, this, &TViewCSVFileForm::OpenFileClick);
    connect(CountRowsButton, &QPushButton::clicked, this, &TViewCSVFileForm::CountRowsClick);
    connect(CloseButton, &QPushButton::clicked, host, &QDialog::reject);
    // Closing the window lets the preview's lines go.
    connect(host, &QDialog::finished, this, [this] {
        FPreview.Clear();
        FPreviewColumnWidths.clear();
        SourceView->Model()->SetCount(0);
        SourceView2->Model()->SetCount(0);
    });
    FOpenDialogFilter = QLatin1String(kDefaultFilter);
}

TViewCSVFileForm::~TViewCSVFileForm() = default;

QMenu* TViewCSVFileForm::MakePopupMenu(TListViewEx* view, const QString& name) {
    auto* menu = new QMenu(view);
    menu->setObjectName(name);
    auto* copy = new QAction(QStringLiteral("&Copy"), view);
    copy->setObjectName(name + QStringLiteral("Copy"));
    copy->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, [this, view] { CopyClick(view); });
    view->addAction(copy);
    menu->addAction(copy);
    for (QAction* hidden : {menu->addSeparator(), menu->addAction(QStringLiteral("&Find...")),
                            menu->addAction(QStringLiteral("&Go To..."))})
        hidden->setVisible(false);
    connect(menu, &QMenu::aboutToShow, this,
            [this, view, copy] { copy->setEnabled(!GetSelectedLinesText(view).isEmpty()); });
    // The shortcut works on the selection of its moment, not on the menu's last state.
    connect(menu, &QMenu::aboutToHide, copy, [copy] { copy->setEnabled(true); });
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this,
            [menu, view](const QPoint& pos) { menu->popup(view->viewport()->mapToGlobal(pos)); });
    return menu;
}

void TViewCSVFileForm::Setup(const QString& title, const QString& fileName, bool noHeader,
                             const TLineReaderClass& lineReaderClass, const QString& openDialogFilter,
                             bool countRowsEnabled, bool setMaxRowsEnabled) {
    FSource.ReaderClass = lineReaderClass;
    FTitle = title;
    FPreviewFileName = fileName;
    UpdateCaption();
    NoHeaderCheckBox->setChecked(noHeader);
    SetRowsLabel(0, false);
    SetPreviewMaxLines(FPreview.MaxLines);
    if (setMaxRowsEnabled) MaxRowsValueLabel->SetLink([this] { MaxRowsClick(); });
    FOpenDialogFilter = openDialogFilter;
    FCountRowsEnabled = countRowsEnabled;
    CountRowsButton->setVisible(countRowsEnabled);
}

void TViewCSVFileForm::UpdateCaption() {
    setWindowTitle(FPreviewFileName + QStringLiteral(" - ") + FTitle);
    FHost->setWindowTitle(windowTitle());
}

void TViewCSVFileForm::SetPreviewMaxLines(int32_t value) {
    FPreview.MaxLines = value;
    MaxRowsValueLabel->setText(TWaitDialogBox::FormatCount(value));
}

void TViewCSVFileForm::showEvent(QShowEvent* event) {
    TVForm::showEvent(event);
    if (FShown) return;
    FShown = true;
    RefreshSourceView();
    TabSet1->setCurrentIndex(
        QFileInfo(FPreviewFileName).suffix().compare(QLatin1String("txt"), Qt::CaseInsensitive) == 0 ? 1 : 0);
    SourceView->scrollToTop();
    SourceView2->scrollToTop();
    connect(NoHeaderCheckBox, &QCheckBox::clicked, this, &TViewCSVFileForm::NoHeaderClick);
}

bool TViewCSVFileForm::ReadPreview(bool noHeader) {
    FSource.FileName = QFile::encodeName(FPreviewFileName).toStdString();
    FPreviewColumnWidths.clear();
    const QFontMetrics metrics(font());
    const bool ok = FPreview.Read(FSource, noHeader, FCSVParser, [&](int32_t, const TCSVParser& parser) {
        const std::vector<std::string>& columns = FPreview.Columns;
        FPreviewColumnWidths.resize(columns.size(), 50);
        const size_t n = std::min(columns.size(), parser.ColumnCount());
        for (size_t j = 0; j < n; ++j) {
            int& width = FPreviewColumnWidths[j];
            if (width >= kMaxColumnWidth) continue;
            // Past the cap the rest of a long value cannot matter.
            const std::string_view value = parser.GetColumnValue(j).substr(0, kMaxColumnWidth + 16);
            width = std::max(width, std::min(metrics.horizontalAdvance(Q(value)) + 16, kMaxColumnWidth));
        }
    });
    SetRowsLabel(FPreview.RowsFigure(), FPreview.More());
    return ok;
}

void TViewCSVFileForm::RefreshSourceView() {
    const TUpdatesOff off1(SourceView), off2(SourceView2);
    SourceView->InvalidateListView(0);
    SourceView2->InvalidateListView(0);
    SourceView->ClearColumns();
    FPreview.Clear();
    QElapsedTimer clock;
    clock.start();
    const bool ok = ReadPreview(NoHeaderCheckBox->isChecked());
    ReadTimeValueLabel->setText(QString::number(clock.elapsed() / 1000));
    if (!ok) {
        SourceView->AddColumns({QStringLiteral("Status")},
                               {std::max(0, SourceView->viewport()->width() - 21)});
        SourceView2->header()->resizeSection(0, 0);
        SourceView2->Model()->SetColumnCaption(1, QStringLiteral("Status"));
    } else {
        QStringList captions{QStringLiteral("#")};
        std::vector<int> widths{60};
        for (size_t j = 0; j < FPreview.Columns.size(); ++j) {
            captions << Q(FPreview.Columns[j]);
            widths.push_back(j < FPreviewColumnWidths.size() ? FPreviewColumnWidths[j] : 50);
        }
        SourceView->AddColumns(captions, widths);
        SourceView2->header()->resizeSection(0, 60);
        SourceView2->Model()->SetColumnCaption(1, FPreview.Header && !FPreview.Lines.empty()
                                                      ? Q(FPreview.Lines.front())
                                                      : QStringLiteral("Line"));
    }
    SourceView->InvalidateListView(static_cast<int>(FPreview.ColumnsItemCount()));
    SourceView2->InvalidateListView(static_cast<int>(FPreview.TextItemCount()));
}

QStringList TViewCSVFileForm::ColumnsItemData(int k) {
    if (!FPreview.Status.empty()) return {Q(FPreview.Status)};
    const size_t item = static_cast<size_t>(k);
    if (!FPreview.IsColumnsRecordItem(item)) return {QStringLiteral("...")};
    QStringList texts{QString::number(k + 1)};
    const std::string record = FPreview.RecordText(item + (FPreview.Header ? 1 : 0), FCSVParser);
    FCSVParser.ParseLine(record);
    const size_t n = std::min(FCSVParser.ColumnCount(), FPreview.Columns.size());
    for (size_t j = 0; j < n; ++j) texts << Q(FCSVParser.GetColumnValue(j));
    return texts;
}

QStringList TViewCSVFileForm::TextItemData(int k) {
    if (!FPreview.Status.empty()) return {QString(), Q(FPreview.Status)};
    const size_t item = static_cast<size_t>(k);
    if (!FPreview.IsTextLineItem(item)) return {QStringLiteral("...")};
    return {QString::number(k + 1), Q(FPreview.Lines[item + (FPreview.Header ? 1 : 0)])};
}

void TViewCSVFileForm::SetRowsLabel(int64_t count, bool more) {
    RowsLabel->setText(TWaitDialogBox::FormatCount(count) + (more ? QStringLiteral("+") : QString()));
    Panel4->setVisible(more);
}

QString TViewCSVFileForm::GetSelectedLinesText(TListViewEx* view) const {
    if (!FPreview.Status.empty() || FPreview.Lines.empty()) return {};
    const size_t h = FPreview.Header ? 1 : 0;
    QString text;
    bool first = true;
    const auto append = [&](std::string_view line) {
        if (!first) text += QLatin1String("\r\n");
        first = false;
        text += Q(line);
    };
    for (const int row : view->SelectedRows()) {
        const size_t k = static_cast<size_t>(row);
        if (view == SourceView2) {
            if (FPreview.IsTextLineItem(k)) append(FPreview.Lines[k + h]);
        } else if (FPreview.IsColumnsRecordItem(k)) {
            const auto [begin, end] = FPreview.RecordLines(k + h);
            for (size_t i = begin; i < end; ++i) append(FPreview.Lines[i]);
        }
    }
    return text;
}

void TViewCSVFileForm::CopyClick(TListViewEx* view) {
    const QString text = GetSelectedLinesText(view);
    if (!text.isEmpty()) QApplication::clipboard()->setText(text);
}

void TViewCSVFileForm::SyncTopItem(TListViewEx* from, TListViewEx* to) {
    const int top = from->TopItemIndex();
    if (top >= 0 && to->TopItemIndex() >= 0 && top < to->Count()) to->SetTopItemIndex(top);
}

void TViewCSVFileForm::TabChanged(int index) {
    auto* stack = static_cast<QStackedWidget*>(SourceView->parentWidget());
    TListViewEx* shown = index == 1 ? SourceView2 : SourceView;
    TListViewEx* hidden = index == 1 ? SourceView : SourceView2;
    stack->setCurrentWidget(shown);
    SyncTopItem(hidden, shown);
}

void TViewCSVFileForm::NoHeaderClick() {
    if (RefreshButton->isEnabled())
        RefreshButton->click();
    else
        RefreshSourceView();
}

void TViewCSVFileForm::OptionsClick() {
    QString replaceWith = Q(FCSVParser.ReplaceLineBreaksWith());
    const std::vector<TMultiSelectOption> options{{QStringLiteral("Cell Line Breaks"), nullptr},
                                                  {QStringLiteral("Replace Line Breaks with"), &replaceWith},
                                                  {QStringLiteral("Backslash Escapes"), nullptr}};
    uint32_t checked = (FCSVParser.CellLineBreaks() ? 1u : 0u) | (FCSVParser.ReplaceLineBreaks() ? 2u : 0u) |
                       (FCSVParser.BackslashEscapes() ? 4u : 0u);
    if (!TMultiInputBox::OptionsSelectBox(this, QStringLiteral("View Options"), QString(), options, checked))
        return;
    FCSVParser.SetCellLineBreaks(checked & 1u);
    FCSVParser.SetReplaceLineBreaks(checked & 2u);
    FCSVParser.SetReplaceLineBreaksWith(replaceWith.toStdString());
    FCSVParser.SetBackslashEscapes(checked & 4u);
    RefreshSourceView();
}

void TViewCSVFileForm::OpenFileClick() {
    TFileDialog dialog;
    dialog.Filter = FOpenDialogFilter;
    dialog.FileMustExist = true;
    dialog.FileName = FPreviewFileName;
    if (!dialog.Execute(this)) return;
    FPreviewFileName = dialog.FileName;
    UpdateCaption();
    RefreshSourceView();
}

void TViewCSVFileForm::MaxRowsClick() {
    int32_t value = FPreview.MaxLines;
    const QString name = QStringLiteral("Max. View Rows");
    if (!TMultiInputBox::NumInputBox(this, name, FormatMessage(QStringLiteral("Please, enter %s"), {name}),
                                     value, 1, std::numeric_limits<int32_t>::max()))
        return;
    SetPreviewMaxLines(value);
    RefreshSourceView();
}

void TViewCSVFileForm::CountRowsClick() {
    FCountNoHeader = NoHeaderCheckBox->isChecked();
    FRows = -1;
    FCountError.clear();
    QElapsedTimer clock;
    clock.start();
    // The worker gets copies and hands its outcome back as a value, queued to this
    // window ahead of the dialog's own end notification.
    TViewerSource source = FSource;
    source.FileName = QFile::encodeName(FPreviewFileName).toStdString();
    const bool noHeader = FCountNoHeader;
    TWaitDialogBox::WaitForMethod(
        this,
        [this, source, noHeader] {
            const TRowCountResult result =
                CountRowsCatching(source, noHeader, TWaitDialogBox::CancelFlag(),
                                  [](int64_t position, int64_t size, int64_t count) {
                                      TWaitDialogBox::SetProgressRange(0, size);
                                      TWaitDialogBox::SetProgressPos(position);
                                      TWaitDialogBox::SetCount(count);
                                  });
            QMetaObject::invokeMethod(
                this,
                [this, rows = result.Rows, error = Q(result.Error)] {
                    FRows = rows;
                    FCountError = error;
                },
                Qt::QueuedConnection);
        },
        QStringLiteral("Count Rows"), QStringLiteral("Counting..."),
        wdoProgressBar | wdoCountLabel | wdoElapsedLabel, QStringLiteral("%s rows."));
    ReadTimeValueLabel->setText(QString::number(clock.elapsed() / 1000));
    if (FRows >= 0)
        SetRowsLabel(FRows, false);
    else if (!FCountError.isEmpty())
        ErrorMessage(QStringLiteral("Count Rows"), FCountError);
}

} // namespace zarvo::qt
