#include "qt/viewer/ViewCSVFileUnit.h"

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
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QStyle>
#include <QTabBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <limits>
#include <thread>
#include <unordered_map>

#include "qt/widgets/LabelExUnit.h"
#include "qt/widgets/MultiInputUnit.h"
#include "readers/StreamReaderExUnit.h"
#include "qt/viewer/ListViewExUnit.h"
#include "qt/viewer/WaitDialogUnit.h"

namespace zarvo::qt {

namespace {

constexpr char kDefaultFilter[] = "CSV files (*.csv)|*.csv|Text files (*.txt)|*.txt|All files (*.*)|*.*";
constexpr int kMinColumnWidth = 50;
constexpr int kMaxColumnWidth = 300;
// How often a read's progress is shown, and so how long a read runs before it is.
constexpr int kReadProgressMs = 250;

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

// The column widths of a preview, measured on the thread that reads it, line by
// line: a value's width is the sum of its characters' advances in the window's
// font (each character measured once) plus 16, at most kMaxColumnWidth. Kerning
// and shaping are left out, which puts a width a few pixels off at most, so that
// two million lines cost a table look-up per character rather than a text layout
// per value (16 s of 17 for a 50 MB file).
class TColumnWidthMeter {
public:
    explicit TColumnWidthMeter(const QFont& font) : FMetrics(font) {
        for (char16_t c = 0; c < 128; ++c) FAscii[c] = FMetrics.horizontalAdvance(QChar(c));
    }
    void Measure(size_t columns, const TCSVParser& parser) {
        FWidths.resize(columns, kMinColumnWidth);
        const size_t n = std::min(columns, parser.ColumnCount());
        for (size_t j = 0; j < n; ++j) {
            int& width = FWidths[j];
            if (width < kMaxColumnWidth)
                width = std::max(width, std::min(TextWidth(parser.GetColumnValue(j)) + 16, kMaxColumnWidth));
        }
    }
    std::vector<int>& Widths() { return FWidths; }

private:
    int TextWidth(std::string_view v) {
        int width = 0;
        // Past the cap the rest of a long value cannot matter.
        for (size_t i = 0; i < v.size() && width < kMaxColumnWidth;) {
            const auto c = static_cast<unsigned char>(v[i]);
            if (c < 0x80) {
                width += FAscii[c];
                ++i;
                continue;
            }
            // Well-formed UTF-8: the reader made it so.
            const size_t length = std::min<size_t>(c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2, v.size() - i);
            char32_t code = c & (0x3F >> (length - 1));
            for (size_t k = 1; k < length; ++k)
                code = (code << 6) | (static_cast<unsigned char>(v[i + k]) & 0x3F);
            width += Advance(code);
            i += length;
        }
        return width;
    }
    int Advance(char32_t code) {
        const auto [it, added] = FOther.try_emplace(code, 0);
        if (added) it->second = FMetrics.horizontalAdvance(QString::fromUcs4(&code, 1));
        return it->second;
    }

    QFontMetrics FMetrics;
    int FAscii[128] = {};
    std::unordered_map<char32_t, int> FOther;
    std::vector<int> FWidths;
};

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

// A preview read on a worker thread: its number, its stop flag and its progress,
// which the window's timer shows. Destroying it stops the thread and waits for it.
struct TViewCSVFileForm::TPreviewRead {
    uint64_t Number = 0;
    std::thread Thread;
    std::atomic<bool> Stop{false};
    std::atomic<int64_t> Position{0}, Size{0}, Lines{0};
    QElapsedTimer Clock;

    TPreviewRead() = default;
    TPreviewRead(const TPreviewRead&) = delete;
    TPreviewRead& operator=(const TPreviewRead&) = delete;
    ~TPreviewRead() {
        Stop = true;
        if (Thread.joinable()) Thread.join();
    }
};

// A copy on a worker thread: its number and stop flag; destroying it stops the
// thread and waits for it.
struct TViewCSVFileForm::TCopyJob {
    uint64_t Number = 0;
    std::thread Thread;
    std::atomic<bool> Stop{false};

    TCopyJob() = default;
    TCopyJob(const TCopyJob&) = delete;
    TCopyJob& operator=(const TCopyJob&) = delete;
    ~TCopyJob() {
        Stop = true;
        if (Thread.joinable()) Thread.join();
    }
};

// What a read hands back to the window: the preview, the parser that read it (its
// delimiter), the column widths.
struct TViewCSVFileForm::TReadResult {
    explicit TReadResult(const TCSVParser& parser) : Parser(parser) {}
    TViewerPreview Preview;
    TCSVParser Parser;
    std::vector<int> Widths;
};

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
    // A dialog without an owner window would belong to the application's hidden
    // leader window; some window managers (matchbox) then never settle the focus
    // of the dialogs opened from it.
    if (owner)
        dialog->setWindowFlags(dialog->windowFlags() | Qt::WindowMaximizeButtonHint);
    else
        dialog->setWindowFlags(Qt::Window);
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

    outer->addWidget(MakeViews(), 1);
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

    bar->addWidget(MakeReadPanel(bottom));
    bar->addStretch(1);

    CloseButton = Button(bottom, "CloseButton", QStringLiteral("Close"), 75);
    bar->addWidget(CloseButton);

    connect(RefreshButton, &QPushButton::clicked, this, &TViewCSVFileForm::RefreshSourceView);
    connect(OptionsButton, &QToolButton::clicked, this, &TViewCSVFileForm::OptionsClick);
    connect(OpenFileButton, &QPushButton::clicked, this, &TViewCSVFileForm::OpenFileClick);
    connect(CountRowsButton, &QPushButton::clicked, this, &TViewCSVFileForm::CountRowsClick);
    connect(CloseButton, &QPushButton::clicked, host, &QDialog::reject);
    // Closing the window stops a read and lets the preview's lines go.
    connect(host, &QDialog::finished, this, [this] {
        FRead.reset();
        FReadTimer->stop();
        ReadPanel->hide();
        FCopy.reset();
        FPreview = std::make_shared<const TViewerPreview>();
        FPreviewColumnWidths.clear();
        SourceView->Model()->SetCount(0);
        SourceView2->Model()->SetCount(0);
    });
    FOpenDialogFilter = QLatin1String(kDefaultFilter);
}

QWidget* TViewCSVFileForm::MakeViews() {
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
    SourceView->Model()->OnItemData = [this](int k) { return ColumnsItemData(k); };
    SourceView2->Model()->OnItemData = [this](int k) { return TextItemData(k); };
    SourceView->Model()->OnItemMark = [this](int k) { return ColumnsItemMark(k); };
    SourceView2->Model()->OnItemMark = [this](int k) { return TextItemMark(k); };
    const QIcon cut = style()->standardIcon(QStyle::SP_MessageBoxWarning);
    SourceView->Model()->SetMarkIcon(cut);
    SourceView2->Model()->SetMarkIcon(cut);
    return stack;
}

QWidget* TViewCSVFileForm::MakeReadPanel(QWidget* parent) {
    ReadPanel = new QWidget(parent);
    ReadPanel->setObjectName(QStringLiteral("ReadPanel"));
    auto* reading = new QHBoxLayout(ReadPanel);
    reading->setContentsMargins(0, 0, 0, 0);
    reading->setSpacing(8);
    ReadProgressBar = new QProgressBar(ReadPanel);
    ReadProgressBar->setObjectName(QStringLiteral("ReadProgressBar"));
    ReadProgressBar->setRange(0, 100);
    ReadProgressBar->setFixedWidth(160);
    StopReadButton = Button(ReadPanel, "StopReadButton", QStringLiteral("Stop"), 75);
    StopReadButton->setToolTip(QStringLiteral("Stop reading: the rows read so far are shown"));
    reading->addWidget(ReadProgressBar);
    reading->addWidget(StopReadButton);
    ReadPanel->hide();
    FReadTimer = new QTimer(this);
    FReadTimer->setInterval(kReadProgressMs);
    connect(FReadTimer, &QTimer::timeout, this, &TViewCSVFileForm::ShowReadProgress);
    connect(StopReadButton, &QPushButton::clicked, this, &TViewCSVFileForm::StopReading);
    return ReadPanel;
}

TViewCSVFileForm::~TViewCSVFileForm() {
    // Before the window goes: the threads post to it.
    FRead.reset();
    FCopy.reset();
}

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
    connect(menu, &QMenu::aboutToShow, this, [this, view, copy] { copy->setEnabled(HasSelectedText(view)); });
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
    SetPreviewMaxLines(FMaxLines);
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
    FMaxLines = value;
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

void TViewCSVFileForm::RefreshSourceView() {
    FRead.reset(); // its result, if already posted, is known by its number and dropped
    auto read = std::make_unique<TPreviewRead>();
    read->Number = ++FReadNumber;
    read->Clock.start();
    TViewerSource source = FSource;
    source.FileName = QFile::encodeName(FPreviewFileName).toStdString();
    auto result = std::make_shared<TReadResult>(FCSVParser);
    result->Preview.MaxLines = FMaxLines;
    TPreviewRead* r = read.get();
    // The worker has copies of everything it reads; it hands the result back as one
    // value, posted to this window, which the window drops when the read is no
    // longer its own.
    r->Thread = std::thread([this, r, source = std::move(source), noHeader = NoHeaderCheckBox->isChecked(),
                             result, font = font()] {
        TColumnWidthMeter widths(font);
        TReadResult& out = *result;
        const TReadControl control{.Cancelled = &r->Stop,
                                   .Progress = [r](int64_t position, int64_t size, int64_t lines) {
                                       r->Position.store(position, std::memory_order_relaxed);
                                       r->Size.store(size, std::memory_order_relaxed);
                                       r->Lines.store(lines, std::memory_order_relaxed);
                                   }};
        out.Preview.Read(
            source, noHeader, out.Parser,
            [&](int32_t, const TCSVParser& parser) { widths.Measure(out.Preview.Columns.size(), parser); },
            control);
        out.Widths = std::move(widths.Widths());
        QMetaObject::invokeMethod(
            this, [this, number = r->Number, result] { ShowRead(number, *result); }, Qt::QueuedConnection);
    });
    FRead = std::move(read);
    FReadTimer->start();
}

void TViewCSVFileForm::StopReading() {
    if (!FRead) return;
    FRead->Stop = true;
    StopReadButton->setEnabled(false);
}

void TViewCSVFileForm::ShowReadProgress() {
    if (!FRead) return;
    if (!ReadPanel->isVisible()) {
        Panel4->hide();
        StopReadButton->setEnabled(!FRead->Stop);
        ReadPanel->show();
    }
    const int64_t size = FRead->Size.load(std::memory_order_relaxed);
    const int64_t position = FRead->Position.load(std::memory_order_relaxed);
    ReadProgressBar->setValue(size > 0 ? static_cast<int>(std::clamp<int64_t>(position * 100 / size, 0, 100))
                                       : 0);
    ReadProgressBar->setFormat(
        FormatMessage(QStringLiteral("%s rows"),
                      {TWaitDialogBox::FormatCount(FRead->Lines.load(std::memory_order_relaxed))}));
}

void TViewCSVFileForm::ShowRead(uint64_t number, TReadResult& result) {
    if (!FRead || FRead->Number != number) return;
    const qint64 elapsed = FRead->Clock.elapsed();
    FRead.reset();
    FReadTimer->stop();
    ReadPanel->hide();
    StopReadButton->setEnabled(true);
    // The delimiter found while reading is the one the views parse with.
    FCSVParser.SetDelimiter(result.Parser.Delimiter());
    FPreview = std::make_shared<const TViewerPreview>(std::move(result.Preview));
    FPreviewColumnWidths = std::move(result.Widths);
    ShowPreview();
    ReadTimeValueLabel->setText(QString::number(elapsed / 1000));
    emit PreviewRead();
}

void TViewCSVFileForm::ShowPreview() {
    const TUpdatesOff off1(SourceView), off2(SourceView2);
    SourceView->InvalidateListView(0);
    SourceView2->InvalidateListView(0);
    SourceView->ClearColumns();
    if (!FPreview->Status.empty()) {
        SourceView->AddColumns({QStringLiteral("Status")},
                               {std::max(0, SourceView->viewport()->width() - 21)});
        SourceView2->header()->resizeSection(0, 0);
        SourceView2->Model()->SetColumnCaption(1, QStringLiteral("Status"));
    } else {
        QStringList captions{QStringLiteral("#")};
        std::vector<int> widths{60};
        for (size_t j = 0; j < FPreview->Columns.size(); ++j) {
            captions << Q(FPreview->Columns[j]);
            widths.push_back(j < FPreviewColumnWidths.size() ? FPreviewColumnWidths[j] : kMinColumnWidth);
        }
        SourceView->AddColumns(captions, widths);
        SourceView2->header()->resizeSection(0, 60);
        SourceView2->Model()->SetColumnCaption(1, FPreview->Header && !FPreview->Lines.empty()
                                                      ? Q(FPreview->Lines.front())
                                                      : QStringLiteral("Line"));
    }
    SourceView->InvalidateListView(static_cast<int>(FPreview->ColumnsItemCount()));
    SourceView2->InvalidateListView(static_cast<int>(FPreview->TextItemCount()));
    SetRowsLabel(FPreview->RowsFigure(), FPreview->More());
}

QStringList TViewCSVFileForm::ColumnsItemData(int k) {
    if (!FPreview->Status.empty()) return {Q(FPreview->Status)};
    const size_t item = static_cast<size_t>(k);
    if (!FPreview->IsColumnsRecordItem(item)) return {QStringLiteral("...")};
    QStringList texts{QString::number(k + 1)};
    const size_t index = item + (FPreview->Header ? 1 : 0);
    const std::string record = FPreview->RecordText(index, FCSVParser);
    FCSVParser.ParseLine(record);
    // A quote the cut of a long line left open closes at the cut, as when it was read.
    if (FCSVParser.FormatError() == csvNoCloseQuote && FPreview->RecordCut(index)) FCSVParser.CloseCut();
    const size_t n = std::min(FCSVParser.ColumnCount(), FPreview->Columns.size());
    for (size_t j = 0; j < n; ++j) texts << Q(FCSVParser.GetColumnValue(j));
    return texts;
}

QStringList TViewCSVFileForm::TextItemData(int k) {
    if (!FPreview->Status.empty()) return {QString(), Q(FPreview->Status)};
    const size_t item = static_cast<size_t>(k);
    if (!FPreview->IsTextLineItem(item)) return {QStringLiteral("...")};
    return {QString::number(k + 1), Q(FPreview->Lines[item + (FPreview->Header ? 1 : 0)])};
}

namespace {

// The tooltip of a cell cut short with its line: line is the line's index, 0 the first.
QString CutNote(size_t line) {
    return FormatMessage(QStringLiteral("Shortened: line %s is longer than %s characters; it is shown up to "
                                        "there, and the rest of it is not read."),
                         {TWaitDialogBox::FormatCount(static_cast<int64_t>(line) + 1),
                          TWaitDialogBox::FormatCount(TStreamReaderEx::kDefaultTruncLineLength)});
}

} // namespace

TListViewExModel::TCellMark TViewCSVFileForm::ColumnsItemMark(int k) const {
    const size_t record = static_cast<size_t>(k) + (FPreview->Header ? 1 : 0);
    if (!FPreview->Status.empty() || !FPreview->IsColumnsRecordItem(static_cast<size_t>(k)) ||
        !FPreview->RecordCut(record))
        return {};
    // The cut falls in the record's last value, which follows the "#" column; its
    // data was just parsed for the row (ColumnsItemData).
    const int values = static_cast<int>(std::min(FCSVParser.ColumnCount(), FPreview->Columns.size()));
    return {std::max(values, 1), CutNote(FPreview->RecordLines(record).second - 1)};
}

TListViewExModel::TCellMark TViewCSVFileForm::TextItemMark(int k) const {
    const size_t line = static_cast<size_t>(k) + (FPreview->Header ? 1 : 0);
    if (!FPreview->Status.empty() || !FPreview->IsTextLineItem(static_cast<size_t>(k)) ||
        !FPreview->LineCut(line))
        return {};
    return {1, CutNote(line)};
}

void TViewCSVFileForm::SetRowsLabel(int64_t count, bool more) {
    RowsLabel->setText(TWaitDialogBox::FormatCount(count) + (more ? QStringLiteral("+") : QString()));
    Panel4->setVisible(more);
}

namespace {

// The rows of spans, each once, in order.
std::vector<int> RowsOf(const std::vector<std::pair<int, int>>& ranges) {
    std::vector<int> rows;
    for (const auto& [top, bottom] : ranges)
        for (int row = top; row <= bottom; ++row) rows.push_back(row);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

// Calls line with each raw line behind rows of a view (the "Text" view's lines, or
// the "Columns" view's records), in order, until it returns false; false then.
template <class F>
bool ForLines(const TViewerPreview& preview, const std::vector<int>& rows, bool text, F line) {
    if (!preview.Status.empty() || preview.Lines.empty()) return true;
    const size_t h = preview.Header ? 1 : 0;
    for (const int row : rows) {
        const size_t k = static_cast<size_t>(row);
        if (text) {
            if (preview.IsTextLineItem(k) && !line(preview.Lines[k + h])) return false;
        } else if (preview.IsColumnsRecordItem(k)) {
            const auto [begin, end] = preview.RecordLines(k + h);
            for (size_t i = begin; i < end; ++i)
                if (!line(preview.Lines[i])) return false;
        }
    }
    return true;
}

// Those lines joined by CR LF: measured first, then built as UTF-8 in one piece and
// turned into text once. Empty when stop is set meanwhile.
QString LinesText(const TViewerPreview& preview, const std::vector<int>& rows, bool text,
                  const std::atomic<bool>* stop = nullptr) {
    size_t size = 0, lines = 0;
    ForLines(preview, rows, text, [&](std::string_view line) {
        size += line.size();
        ++lines;
        return true;
    });
    std::string joined;
    joined.reserve(size + 2 * lines);
    bool first = true;
    lines = 0;
    const bool whole = ForLines(preview, rows, text, [&](std::string_view line) {
        if (!first) joined += "\r\n";
        first = false;
        joined += line;
        return (++lines & 0xFFFF) != 0 || !stop || !stop->load(std::memory_order_relaxed);
    });
    return whole ? Q(joined) : QString();
}

} // namespace

QString TViewCSVFileForm::GetSelectedLinesText(TListViewEx* view) const {
    return LinesText(*FPreview, view->SelectedRows(), view == SourceView2);
}

bool TViewCSVFileForm::HasSelectedText(TListViewEx* view) const {
    return !ForLines(*FPreview, view->SelectedRows(), view == SourceView2,
                     [](std::string_view line) { return line.empty(); });
}

void TViewCSVFileForm::CopyClick(TListViewEx* view) {
    FCopy.reset();
    auto job = std::make_unique<TCopyJob>();
    job->Number = ++FCopyNumber;
    TCopyJob* j = job.get();
    // The worker reads the preview it was given, which no read changes (a read makes
    // a new one), and the selection as spans of rows.
    j->Thread = std::thread(
        [this, j, preview = FPreview, ranges = view->SelectedRanges(), text = view == SourceView2] {
            QString copied = LinesText(*preview, RowsOf(ranges), text, &j->Stop);
            if (j->Stop) return;
            QMetaObject::invokeMethod(
                this,
                [this, number = j->Number, copied = std::move(copied)] {
                    if (!FCopy || FCopy->Number != number) return;
                    FCopy.reset();
                    if (!copied.isEmpty()) QApplication::clipboard()->setText(copied);
                    emit Copied();
                },
                Qt::QueuedConnection);
        });
    FCopy = std::move(job);
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
    int32_t value = FMaxLines;
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
