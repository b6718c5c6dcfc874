#include "qt/viewer/ListViewExUnit.h"

#include <QAction>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <algorithm>

namespace zarvo::qt {

// The painter elides what does not fit, but only after laying the whole text out;
// a line of the longest kind (64 K characters) would stall every repaint. The model
// hands out at most this much, and the delegate cuts it to what the cell can show.
static constexpr qsizetype kMaxShownText = 1024;

namespace {

class TCutTextDelegate : public QStyledItemDelegate {
public:
    explicit TCutTextDelegate(QWidget* view) : QStyledItemDelegate(view) {}

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        if (option->rect.width() <= 0) return;
        // Enough characters of the narrowest kind to fill the cell, and one over so
        // that the ellipsis still shows.
        const qsizetype fit = option->rect.width() / NarrowestChar(option->fontMetrics) + 2;
        if (option->text.size() > fit) option->text.truncate(fit);
    }

private:
    int NarrowestChar(const QFontMetrics& metrics) const {
        if (FFont != metrics.height() * 1000 + metrics.averageCharWidth() || FNarrowest <= 0) {
            FNarrowest = 1000;
            for (char16_t c = 33; c < 127; ++c)
                FNarrowest = std::min(FNarrowest, metrics.horizontalAdvance(QChar(c)));
            FNarrowest = std::max(1, FNarrowest);
            FFont = metrics.height() * 1000 + metrics.averageCharWidth();
        }
        return FNarrowest;
    }
    mutable int FFont = -1;
    mutable int FNarrowest = 0;
};

} // namespace

void TListViewExModel::SetCount(int count) {
    beginResetModel();
    FCount = std::max(0, count);
    FCachedRow = -1;
    endResetModel();
}

void TListViewExModel::AddColumns(const QStringList& names) {
    if (names.isEmpty()) return;
    const auto first = static_cast<int>(FColumns.size());
    beginInsertColumns({}, first, first + static_cast<int>(names.size()) - 1);
    FColumns += names;
    FCachedRow = -1;
    endInsertColumns();
}

void TListViewExModel::ClearColumns() {
    if (FColumns.isEmpty()) return;
    beginRemoveColumns({}, 0, static_cast<int>(FColumns.size()) - 1);
    FColumns.clear();
    FCachedRow = -1;
    endRemoveColumns();
}

void TListViewExModel::SetColumnCaption(int column, const QString& caption) {
    if (column < 0 || column >= FColumns.size()) return;
    FColumns[column] = caption;
    emit headerDataChanged(Qt::Horizontal, column, column);
}

QVariant TListViewExModel::data(const QModelIndex& index, int role) const {
    if ((role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::DecorationRole) ||
        !index.isValid() || index.row() >= FCount || !OnItemData)
        return {};
    if (FCachedRow != index.row()) {
        FCachedTexts = OnItemData(index.row());
        FCachedMark = OnItemMark ? OnItemMark(index.row()) : TCellMark();
        FCachedRow = index.row();
    }
    const bool marked = index.column() == FCachedMark.Column;
    if (role == Qt::DecorationRole) return marked && !FMarkIcon.isNull() ? QVariant(FMarkIcon) : QVariant();
    if (index.column() >= FCachedTexts.size()) return marked ? QStringLiteral("\u2026") : QString();
    const QString& text = FCachedTexts[index.column()];
    if (role == Qt::ToolTipRole) {
        if (marked) return FCachedMark.Note;
        return text.size() > 80 ? text.left(kMaxShownText) : QVariant();
    }
    // A cut cell ends in an ellipsis, which a narrow column's eliding keeps.
    if (marked) return text.left(kMaxShownText) + QStringLiteral("\u2026");
    return text.size() > kMaxShownText ? text.left(kMaxShownText) : text;
}

QVariant TListViewExModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < FColumns.size())
        return FColumns[section].left(kMaxShownText); // a header line may be a 64 K line too
    return {};
}

TListViewEx::TListViewEx(QWidget* parent) : QTableView(parent), FModel(new TListViewExModel(this)) {
    setModel(FModel);
    setItemDelegate(new TCutTextDelegate(this));
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    verticalHeader()->hide();
    // Rows of one height, never measured: the view keeps nothing per row.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setMinimumSectionSize(1); // else the default size is held to the style's minimum
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 2); // room for the 16-pixel cut mark
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setTextElideMode(Qt::ElideRight);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    header()->setSectionsClickable(false);
    header()->setSectionsMovable(false);
    header()->setStretchLastSection(false);
    // The header asks its selection model whether each column is wholly selected as it
    // paints, a walk over every row: after Ctrl+A on a million rows, a quarter second
    // per repaint. It highlights nothing, so it gets a selection of its own that stays empty.
    header()->setSelectionModel(new QItemSelectionModel(FModel, header()));
}

std::vector<std::pair<int, int>> TListViewEx::SelectedRanges() const {
    std::vector<std::pair<int, int>> ranges;
    if (selectionModel())
        for (const QItemSelectionRange& r : selectionModel()->selection())
            ranges.emplace_back(r.top(), r.bottom());
    return ranges;
}

std::vector<int> TListViewEx::SelectedRows() const {
    std::vector<int> rows;
    for (const auto& [top, bottom] : SelectedRanges())
        for (int row = top; row <= bottom; ++row) rows.push_back(row);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

int TListViewEx::TopItemIndex() const {
    const QModelIndex top = indexAt(QPoint(1, 1));
    return top.isValid() ? top.row() : -1;
}

void TListViewEx::SetTopItemIndex(int row) {
    if (row < 0 || row >= Count() || ColumnCount() == 0) return;
    scrollTo(FModel->index(row, 0), QAbstractItemView::PositionAtTop);
}

void TListViewEx::AddColumns(const QStringList& names, const std::vector<int>& widths) {
    const int first = ColumnCount();
    FModel->AddColumns(names);
    for (qsizetype i = 0; i < names.size(); ++i)
        if (static_cast<size_t>(i) < widths.size())
            header()->resizeSection(first + static_cast<int>(i), widths[static_cast<size_t>(i)]);
}

void TListViewEx::ClearColumns() {
    FModel->ClearColumns();
}

void TListViewEx::SelectAll() {
    FNotifySuppressed = true;
    QTableView::selectAll();
    FNotifySuppressed = false;
    viewport()->update();
    SelectionNotify();
}

void TListViewEx::UnSelectAll() {
    FNotifySuppressed = true;
    clearSelection();
    FNotifySuppressed = false;
    viewport()->update();
    SelectionNotify();
}

void TListViewEx::InvalidateListView(int itemsCount, int) {
    if (itemsCount != -1 && itemsCount != Count()) FModel->SetCount(itemsCount);
    FModel->Invalidate();
    viewport()->update();
    SelectionNotify();
    if (OnInvalidated) OnInvalidated(this);
}

void TListViewEx::SelectionNotify() {
    // The first selected row, from the ranges: Ctrl+A on a million rows lists none.
    int first = -1;
    if (selectionModel())
        for (const QItemSelectionRange& r : selectionModel()->selection())
            if (first < 0 || r.top() < first) first = r.top();
    FSelectedItemIndex = first;
    if (OnSelected) OnSelected(this);
}

void TListViewEx::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    QTableView::selectionChanged(selected, deselected);
    if (!FNotifySuppressed) SelectionNotify();
}

void TListViewEx::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_A && event->modifiers() == Qt::ControlModifier) {
        SelectAll();
        event->accept();
        return;
    }
    // The view claims Ctrl+C for its own one-cell copy; the window's copy command
    // bound to the key goes first.
    if (event->matches(QKeySequence::Copy)) {
        for (QAction* a : actions())
            if (a->isEnabled() && a->shortcut() == QKeySequence(QKeySequence::Copy)) {
                a->trigger();
                event->accept();
                return;
            }
    }
    // Enter and Delete start bound commands; none is bound, and the keys are swallowed.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Delete) {
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

} // namespace zarvo::qt
