#pragma once
// The item model behind a TDBGrid: rows are the records of the grid's data source, in the
// grid's display order (RowOrder: the data set's own order unless the user sorted), columns
// the grid's columns (hidden ones included, the view hides them). The row count is
// mirrored from the data set's notifications so that the model obeys QAbstractItemModel's
// rules even when the data source is rebound to another data set.
// A sort is kept by field name: it survives reloads and column changes and ends when the
// grid is bound to another data set or the field goes away.

#include <QAbstractTableModel>
#include "dataset/datasource.h"
#include "dataset/roworder.h"
#include "dataset/rowfinder.h"

#include <QPointer>


namespace fiscal::vcl {

class TDBGrid;

class DBGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit DBGridModel(TDBGrid *grid);

    void setDataSource(dataset::TDataSource *source);
    void beginColumnsChange() { beginResetModel(); }
    void endColumnsChange() { endResetModel(); }
    void reset();

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;

    void titlesChanged();

    // Display order. sortBy with an empty name goes back to the data set's order.
    void sortBy(const QString &fieldName, Qt::SortOrder order);
    const QString &sortField() const { return m_sortField; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }
    const dataset::RowOrder &order() const { return m_order; }
    int toData(int displayRow) const { return displayRow < 0 ? -1 : m_order.toData(displayRow); }
    int toDisplay(int dataRow) const { return dataRow < 0 ? -1 : m_order.toDisplay(dataRow); }
    // The find bar's folded text of the rows, in this order; dropped whenever the order or
    // the rows change, kept up to date for rows that changed.
    dataset::FindIndex &findIndex() { return m_findIndex; }

private:
    int actualRows() const;
    // Sorts the rows the data set holds now (inside a reset).
    void resort();

    TDBGrid *m_grid;
    QPointer<dataset::TDataSource> m_source;
    QList<QMetaObject::Connection> m_connections;
    int m_rows = 0;
    QString m_sortField;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    dataset::RowOrder m_order;
    dataset::FindIndex m_findIndex;
};

} // namespace fiscal::vcl
