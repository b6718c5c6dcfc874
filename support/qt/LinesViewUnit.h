// A multi-line list pane for very long lists: a virtual view over a TStringList.
// It builds only the rows on screen, so a million lines show at once, and still
// lets the user edit a line (F2, double-click or typing), insert and delete lines,
// select, copy, cut and paste them.
#pragma once

#include <QAbstractListModel>
#include <QListView>

#include "support/StringList.h"

class QAction;

namespace zarvo::qt {

class TLinesModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit TLinesModel(QObject* parent = nullptr) : QAbstractListModel(parent) {}

    const TStringList& Lines() const { return FLines; }
    void SetLines(TStringList lines);
    // Removes count lines at first and inserts the given lines there.
    void Splice(size_t first, size_t count, const TStringList& insert);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

signals:
    void Changed();

private:
    TStringList FLines;
};

class TLinesView : public QListView {
    Q_OBJECT
public:
    explicit TLinesView(QWidget* parent = nullptr);

    const TStringList& Lines() const { return FModel->Lines(); }
    size_t LineCount() const { return FModel->Lines().Count(); }
    void SetLines(TStringList lines) { FModel->SetLines(std::move(lines)); }
    void Clear() { FModel->SetLines({}); }
    // The lines, each followed by a line break, as the pane's text.
    QString Text() const;
    void SetText(const QString& text);
    TLinesModel* Model() const { return FModel; }
    bool IsEditing() const { return state() == QAbstractItemView::EditingState; }

    // The selected lines in order, as [first, last] row ranges.
    std::vector<std::pair<int, int>> SelectedRanges() const;

    void CopySelection();
    void CutSelection();
    void Paste();
    void DeleteSelection();
    void InsertLine();

signals:
    // After every change of the lines: by the program, by editing, by paste or delete.
    void Changed();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QAction* AddAction(const QString& text, const QKeySequence& key, void (TLinesView::*slot)());
    void ReplaceRanges(const std::vector<std::pair<int, int>>& ranges, const TStringList& insert);

    TLinesModel* FModel;
    QAction *FCut, *FCopy, *FPaste, *FDelete, *FInsert, *FSelectAll;
};

} // namespace zarvo::qt
