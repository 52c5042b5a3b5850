#pragma once
// Cell painting and cell editors of a TDBGrid: the grid's own painting first, then the
// grid's OnDrawColumnCell; editors are TMaskEdits that pass their keys through the grid's
// key handlers. A cell its column cuts short shows its whole text as a tip.

#include <QStyledItemDelegate>

namespace fiscal::vcl {

class TDBGrid;

class DBGridDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit DBGridDelegate(TDBGrid *grid);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;

private:
    TDBGrid *m_grid;
};

} // namespace fiscal::vcl
