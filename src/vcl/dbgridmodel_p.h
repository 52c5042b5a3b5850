#pragma once
// The item model behind a TDBGrid: rows are the records of the grid's data source, columns
// the grid's columns (hidden ones included, the view hides them). The row count is
// mirrored from the data set's notifications so that the model obeys QAbstractItemModel's
// rules even when the data source is rebound to another data set.

#include <QAbstractTableModel>
#include "dataset/datasource.h"

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

private:
    int actualRows() const;

    TDBGrid *m_grid;
    QPointer<dataset::TDataSource> m_source;
    QList<QMetaObject::Connection> m_connections;
    int m_rows = 0;
};

} // namespace fiscal::vcl
