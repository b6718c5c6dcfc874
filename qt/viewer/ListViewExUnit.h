// A report-style list view in virtual mode: it holds an item count and column
// captions, and asks a callback for the texts of a row when it is shown. Columns
// are added and removed in one batch, Ctrl+A selects every item with a single
// notification.
#pragma once

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QIcon>
#include <QStringList>
#include <QTableView>
#include <functional>
#include <vector>

namespace zarvo::qt {

class TListViewExModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TListViewExModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

    // The caption (column 0) and the sub-items of one row. Asked once for each row
    // drawn; the last row's texts are kept until the count or the columns change.
    std::function<QStringList(int row)> OnItemData;

    // A cell shown cut short: its text ends in an ellipsis, it bears the mark icon,
    // and the note is its tooltip. Column -1: none in the row.
    struct TCellMark {
        int Column = -1;
        QString Note;
    };
    // Asked with OnItemData, when set.
    std::function<TCellMark(int row)> OnItemMark;
    void SetMarkIcon(const QIcon& icon) { FMarkIcon = icon; }

    int Count() const { return FCount; }
    void SetCount(int count);
    const QStringList& Columns() const { return FColumns; }
    void AddColumns(const QStringList& names);
    void ClearColumns();
    void SetColumnCaption(int column, const QString& caption);
    // Forgets the kept row, so that the next paint asks again.
    void Invalidate() { FCachedRow = -1; }

    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : FCount; }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(FColumns.size());
    }
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    int FCount = 0;
    QStringList FColumns;
    QIcon FMarkIcon;
    mutable int FCachedRow = -1;
    mutable QStringList FCachedTexts;
    mutable TCellMark FCachedMark;
};

// A table without a grid or row headers, one row selected as a whole: a list view
// in report style. A table view keeps nothing per row, so a million rows are laid
// out, counted and scrolled as quickly as a thousand (a tree view walks them all).
class TListViewEx : public QTableView {
    Q_OBJECT
public:
    explicit TListViewEx(QWidget* parent = nullptr);

    // The column headers.
    QHeaderView* header() const { return horizontalHeader(); }

    TListViewExModel* Model() const { return FModel; }
    int Count() const { return FModel->Count(); }
    int ColumnCount() const { return FModel->columnCount(); }
    int SelectedItemIndex() const { return FSelectedItemIndex; }
    // The selected rows in index order.
    std::vector<int> SelectedRows() const;
    // The same as spans of rows (first, last), in no order, maybe overlapping: a
    // selection of a million rows is a few of them.
    std::vector<std::pair<int, int>> SelectedRanges() const;
    // The index of the first row in view, or -1 when there is none.
    int TopItemIndex() const;
    void SetTopItemIndex(int row);

    // One column per name, with width i from widths when given; one header update.
    void AddColumns(const QStringList& names, const std::vector<int>& widths = {});
    void ClearColumns();
    void SelectAll();
    void UnSelectAll();
    // The item count (unless -1 or unchanged), a repaint and the notifications.
    void InvalidateListView(int itemsCount, int checkedCount = 0);

    std::function<void(TListViewEx*)> OnSelected;
    std::function<void(TListViewEx*)> OnInvalidated;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;

private:
    void SelectionNotify();

    TListViewExModel* FModel;
    int FSelectedItemIndex = -1;
    bool FNotifySuppressed = false;
};

} // namespace zarvo::qt
