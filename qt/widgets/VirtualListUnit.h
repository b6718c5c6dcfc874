// A list box in virtual mode: it holds only an item count and asks a callback
// for the text of each item it shows.
#pragma once

#include <QAbstractListModel>
#include <QListView>
#include <functional>

namespace zarvo::qt {

class TVirtualListModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit TVirtualListModel(QObject* parent = nullptr) : QAbstractListModel(parent) {}
    int Count() const { return FCount; }
    void SetCount(int count);
    std::function<QString(int)> OnData;

    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : FCount; }
    QVariant data(const QModelIndex& index, int role) const override;

private:
    int FCount = 0;
};

class TVirtualListBox : public QListView {
    Q_OBJECT
public:
    explicit TVirtualListBox(QWidget* parent = nullptr);
    TVirtualListModel* Model() const { return FModel; }
    int Count() const { return FModel->Count(); }
    void SetCount(int count) { FModel->SetCount(count); }

private:
    TVirtualListModel* FModel;
};

} // namespace zarvo::qt
