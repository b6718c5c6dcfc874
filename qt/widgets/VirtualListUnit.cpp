#include "qt/widgets/VirtualListUnit.h"

namespace zarvo::qt {

void TVirtualListModel::SetCount(int count) {
    beginResetModel();
    FCount = std::max(0, count);
    endResetModel();
}

QVariant TVirtualListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= FCount || !OnData) return {};
    return OnData(index.row());
}

TVirtualListBox::TVirtualListBox(QWidget* parent) : QListView(parent), FModel(new TVirtualListModel(this)) {
    setModel(FModel);
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
}

} // namespace zarvo::qt
