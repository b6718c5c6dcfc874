#include "support/qt/LinesViewUnit.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QStyledItemDelegate>
#include <algorithm>

namespace zarvo::qt {

namespace {

std::string_view ToView(const QByteArray& b) {
    return std::string_view(b.constData(), size_t(b.size()));
}

size_t TextSize(const TStringList& list) {
    size_t n = 0;
    for (size_t i = 0; i < list.Count(); ++i) n += list[i].size() + 1;
    return n;
}

// src with count lines at first replaced by insert.
TStringList Rebuilt(const TStringList& src, size_t first, size_t count, const TStringList& insert) {
    TStringList out;
    out.Reserve(src.Count() - count + insert.Count(), TextSize(src) + TextSize(insert));
    for (size_t i = 0; i < first; ++i) out.Add(src[i]);
    for (size_t i = 0; i < insert.Count(); ++i) out.Add(insert[i]);
    for (size_t i = first + count; i < src.Count(); ++i) out.Add(src[i]);
    return out;
}

// All rows have one height; the width is the pane's content width, so that the
// horizontal scroll bar reaches the end of the longest line.
class TLineDelegate : public QStyledItemDelegate {
public:
    explicit TLineDelegate(QObject* parent) : QStyledItemDelegate(parent) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize s = QStyledItemDelegate::sizeHint(option, index);
        s.setWidth(std::max(s.width(), FWidth));
        return s;
    }
    int FWidth = 0;
};

} // namespace

void TLinesModel::SetLines(TStringList lines) {
    beginResetModel();
    FLines.swap(lines);
    endResetModel();
    emit Changed();
}

void TLinesModel::Splice(size_t first, size_t count, const TStringList& insert) {
    first = std::min(first, FLines.Count());
    count = std::min(count, FLines.Count() - first);
    if (count == 0 && insert.Empty()) return;
    if (count > 0) {
        beginRemoveRows({}, int(first), int(first + count - 1));
        TStringList kept = Rebuilt(FLines, first, count, {});
        FLines.swap(kept);
        endRemoveRows();
    }
    if (!insert.Empty()) {
        beginInsertRows({}, int(first), int(first + insert.Count() - 1));
        TStringList grown = Rebuilt(FLines, first, 0, insert);
        FLines.swap(grown);
        endInsertRows();
    }
    emit Changed();
}

int TLinesModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(FLines.Count());
}

QVariant TLinesModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || size_t(index.row()) >= FLines.Count()) return {};
    if (role != Qt::DisplayRole && role != Qt::EditRole) return {};
    const std::string_view line = FLines[size_t(index.row())];
    return QString::fromUtf8(line.data(), qsizetype(line.size()));
}

bool TLinesModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || size_t(index.row()) >= FLines.Count()) return false;
    const QString text = value.toString();
    const size_t row = size_t(index.row());
    if (text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))) {
        Splice(row, 1, TStringList::FromText(ToView(text.toUtf8())));
        return true;
    }
    // The new text goes to the end of the buffer and takes the old line's place.
    const QByteArray utf8 = text.toUtf8();
    const size_t n = FLines.Count();
    FLines.Add(ToView(utf8));
    FLines.Exchange(row, n);
    FLines.Truncate(n);
    emit dataChanged(index, index);
    emit Changed();
    return true;
}

Qt::ItemFlags TLinesModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemNeverHasChildren;
}

TLinesView::TLinesView(QWidget* parent) : QListView(parent), FModel(new TLinesModel(this)) {
    setModel(FModel);
    auto* delegate = new TLineDelegate(this);
    setItemDelegate(delegate);
    setUniformItemSizes(true);
    setLayoutMode(QListView::SinglePass);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                    QAbstractItemView::AnyKeyPressed);
    setTextElideMode(Qt::ElideNone);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    FCut = AddAction(tr("Cu&t"), QKeySequence::Cut, &TLinesView::CutSelection);
    FCopy = AddAction(tr("&Copy"), QKeySequence::Copy, &TLinesView::CopySelection);
    FPaste = AddAction(tr("&Paste"), QKeySequence::Paste, &TLinesView::Paste);
    FDelete = AddAction(tr("&Delete"), QKeySequence::Delete, &TLinesView::DeleteSelection);
    FInsert = AddAction(tr("&Insert Line"), QKeySequence(Qt::Key_Insert), &TLinesView::InsertLine);
    FSelectAll = new QAction(tr("Select &All"), this);
    FSelectAll->setShortcut(QKeySequence::SelectAll);
    FSelectAll->setShortcutContext(Qt::WidgetShortcut);
    connect(FSelectAll, &QAction::triggered, this, &QAbstractItemView::selectAll);
    addAction(FSelectAll);

    connect(FModel, &TLinesModel::Changed, this, [this, delegate] {
        // The widest line by bytes stands for the content width.
        const TStringList& lines = FModel->Lines();
        size_t widest = 0, widestLen = 0;
        for (size_t i = 0; i < lines.Count(); ++i)
            if (lines[i].size() > widestLen) widestLen = lines[i].size(), widest = i;
        int width = 0;
        if (widestLen > 0) {
            const std::string_view w = lines[widest];
            width =
                fontMetrics().horizontalAdvance(QString::fromUtf8(w.data(), qsizetype(w.size()))) * 11 / 10 +
                2 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 8;
        }
        if (width != delegate->FWidth) {
            delegate->FWidth = width;
            scheduleDelayedItemsLayout();
        }
        emit Changed();
    });
}

QAction* TLinesView::AddAction(const QString& text, const QKeySequence& key, void (TLinesView::*slot)()) {
    auto* a = new QAction(text, this);
    a->setShortcut(key);
    a->setShortcutContext(Qt::WidgetShortcut);
    connect(a, &QAction::triggered, this, slot);
    addAction(a);
    return a;
}

QString TLinesView::Text() const {
    const TStringList& lines = Lines();
    std::string text;
    text.reserve(TextSize(lines));
    for (size_t i = 0; i < lines.Count(); ++i) {
        text.append(lines[i]);
        text.push_back('\n');
    }
    return QString::fromStdString(text);
}

void TLinesView::SetText(const QString& text) {
    SetLines(TStringList::FromText(ToView(text.toUtf8())));
}

std::vector<std::pair<int, int>> TLinesView::SelectedRanges() const {
    std::vector<std::pair<int, int>> ranges;
    if (!selectionModel()) return ranges;
    for (const QItemSelectionRange& r : selectionModel()->selection())
        if (r.isValid()) ranges.emplace_back(r.top(), r.bottom());
    std::sort(ranges.begin(), ranges.end());
    // Merge overlapping and adjacent ranges.
    std::vector<std::pair<int, int>> merged;
    for (const auto& r : ranges) {
        if (!merged.empty() && r.first <= merged.back().second + 1)
            merged.back().second = std::max(merged.back().second, r.second);
        else
            merged.push_back(r);
    }
    return merged;
}

void TLinesView::CopySelection() {
    const TStringList& lines = Lines();
    std::string text;
    for (const auto& [first, last] : SelectedRanges())
        for (int i = first; i <= last; ++i) {
            text.append(lines[size_t(i)]);
            text.push_back('\n');
        }
    if (!text.empty()) QGuiApplication::clipboard()->setText(QString::fromStdString(text));
}

void TLinesView::CutSelection() {
    CopySelection();
    DeleteSelection();
}

void TLinesView::ReplaceRanges(const std::vector<std::pair<int, int>>& ranges, const TStringList& insert) {
    if (ranges.size() == 1) {
        FModel->Splice(size_t(ranges[0].first), size_t(ranges[0].second - ranges[0].first + 1), insert);
        return;
    }
    // Several blocks: one rebuild, with the new lines where the first block was.
    const TStringList& src = Lines();
    TStringList out;
    out.Reserve(src.Count() + insert.Count(), TextSize(src) + TextSize(insert));
    size_t next = 0;
    for (size_t k = 0; k < ranges.size(); ++k) {
        for (size_t i = next; i < size_t(ranges[k].first); ++i) out.Add(src[i]);
        if (k == 0)
            for (size_t i = 0; i < insert.Count(); ++i) out.Add(insert[i]);
        next = size_t(ranges[k].second) + 1;
    }
    for (size_t i = next; i < src.Count(); ++i) out.Add(src[i]);
    FModel->SetLines(std::move(out));
}

void TLinesView::Paste() {
    const QString text = QGuiApplication::clipboard()->text();
    if (text.isEmpty()) return;
    const TStringList insert = TStringList::FromText(ToView(text.toUtf8()));
    auto ranges = SelectedRanges();
    int at;
    if (!ranges.empty()) {
        at = ranges.front().first;
        ReplaceRanges(ranges, insert);
    } else {
        at = currentIndex().isValid() ? currentIndex().row() : int(LineCount());
        FModel->Splice(size_t(at), 0, insert);
    }
    if (insert.Empty()) return;
    const QModelIndex first = FModel->index(at), last = FModel->index(at + int(insert.Count()) - 1);
    setCurrentIndex(last);
    selectionModel()->select(QItemSelection(first, last), QItemSelectionModel::ClearAndSelect);
}

void TLinesView::DeleteSelection() {
    auto ranges = SelectedRanges();
    if (ranges.empty() && currentIndex().isValid())
        ranges.emplace_back(currentIndex().row(), currentIndex().row());
    if (ranges.empty()) return;
    const int at = ranges.front().first;
    ReplaceRanges(ranges, {});
    if (LineCount() > 0) setCurrentIndex(FModel->index(std::min(at, int(LineCount()) - 1)));
}

void TLinesView::InsertLine() {
    const int at = currentIndex().isValid() ? currentIndex().row() + 1 : int(LineCount());
    TStringList empty;
    empty.Add({});
    FModel->Splice(size_t(at), 0, empty);
    const QModelIndex index = FModel->index(at);
    setCurrentIndex(index);
    edit(index);
}

void TLinesView::keyPressEvent(QKeyEvent* event) {
    // The actions' shortcuts serve while the window is active; keys that reach the
    // view directly do the same.
    if (state() != QAbstractItemView::EditingState) {
        const std::pair<QKeySequence::StandardKey, void (TLinesView::*)()> keys[] = {
            {QKeySequence::Delete, &TLinesView::DeleteSelection},
            {QKeySequence::Copy, &TLinesView::CopySelection},
            {QKeySequence::Cut, &TLinesView::CutSelection},
            {QKeySequence::Paste, &TLinesView::Paste}};
        for (const auto& [key, slot] : keys)
            if (event->matches(key)) {
                (this->*slot)();
                return;
            }
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
             event->key() == Qt::Key_Insert) &&
            event->modifiers() == Qt::NoModifier) {
            InsertLine();
            return;
        }
    }
    QListView::keyPressEvent(event);
}

void TLinesView::contextMenuEvent(QContextMenuEvent* event) {
    const bool any = !SelectedRanges().empty();
    FCut->setEnabled(any);
    FCopy->setEnabled(any);
    FDelete->setEnabled(any);
    FPaste->setEnabled(!QGuiApplication::clipboard()->text().isEmpty());
    QMenu menu(this);
    menu.addAction(FCut);
    menu.addAction(FCopy);
    menu.addAction(FPaste);
    menu.addAction(FDelete);
    menu.addSeparator();
    menu.addAction(FInsert);
    menu.addAction(FSelectAll);
    menu.exec(event->globalPos());
}

} // namespace zarvo::qt
