#include "vcl/dbgridmodel_p.h"

#include "vcl/dbgrid.h"
#include "vcl/guard.h"

#include "dataset/clientdataset.h"
#include "dataset/datasource.h"

namespace fiscal::vcl {

using dataset::TDataSource;

DBGridModel::DBGridModel(TDBGrid *grid)
    : QAbstractTableModel(grid)
    , m_grid(grid)
{
}

int DBGridModel::actualRows() const
{
    if (!m_source || !m_source->DataSet() || !m_source->DataSet()->Active())
        return 0;
    return m_source->DataSet()->rowCount();
}

void DBGridModel::resort()
{
    m_findIndex.clear();
    dataset::TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    dataset::TField *field = ds && !m_sortField.isEmpty() ? ds->FindField(m_sortField) : nullptr;
    if (!field)
        m_sortField.clear();
    if (!field || m_rows == 0) {
        m_order.clear();
        return;
    }
    m_order.sort(*ds, field->Index(), m_sortOrder);
}

void DBGridModel::reset()
{
    beginResetModel();
    m_grid->rebuildDefaultColumns();
    m_rows = actualRows();
    resort();
    endResetModel();
}

void DBGridModel::sortBy(const QString &fieldName, Qt::SortOrder order)
{
    if (fieldName.isEmpty() && m_sortField.isEmpty())
        return;
    // A layout change, not a reset: the current cell, the selection and an open editor
    // follow their rows.
    Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const dataset::RowOrder before = m_order;
    m_sortField = fieldName;
    m_sortOrder = order;
    resort();
    const QModelIndexList persistent = persistentIndexList();
    QModelIndexList moved;
    moved.reserve(persistent.size());
    for (const QModelIndex &i : persistent)
        moved.append(index(m_order.toDisplay(before.toData(i.row())), i.column()));
    changePersistentIndexList(persistent, moved);
    Q_EMIT layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void DBGridModel::setDataSource(TDataSource *source)
{
    for (const auto &c : m_connections)
        disconnect(c);
    m_connections.clear();
    beginResetModel();
    m_source = source;
    m_sortField.clear();
    m_grid->rebuildDefaultColumns();
    m_rows = actualRows();
    m_order.clear();
    m_findIndex.clear();
    endResetModel();
    if (!source)
        return;
    m_connections << connect(source, &TDataSource::modelAboutToBeReset, this, [this] { beginResetModel(); });
    m_connections << connect(source, &TDataSource::modelReset, this, [this] {
        m_grid->rebuildDefaultColumns();
        m_rows = actualRows();
        resort();
        endResetModel();
    });
    // A new row shows where the row it was inserted before shows (at the end when appended).
    m_connections << connect(source, &TDataSource::rowsAboutToBeInserted, this, [this](int dataRow) {
        const int row = m_order.isIdentity() || dataRow >= m_rows ? dataRow : m_order.toDisplay(dataRow);
        beginInsertRows({}, row, row);
        m_order.inserted(dataRow, row);
        m_findIndex.clear();
        ++m_rows;
    });
    m_connections << connect(source, &TDataSource::rowsInserted, this, [this](int) { endInsertRows(); });
    m_connections << connect(source, &TDataSource::rowsAboutToBeRemoved, this, [this](int dataRow) {
        const int row = m_order.toDisplay(dataRow);
        beginRemoveRows({}, row, row);
        m_order.removed(dataRow);
        m_findIndex.clear();
        --m_rows;
    });
    m_connections << connect(source, &TDataSource::rowsRemoved, this, [this](int) { endRemoveRows(); });
    m_connections << connect(source, &TDataSource::dataChanged, this, [this](int dataRow, int field) {
        const int cols = columnCount();
        if (dataRow < 0 || dataRow >= m_rows || cols == 0)
            return;
        m_findIndex.rowChanged(dataRow);
        const int row = m_order.toDisplay(dataRow);
        if (field < 0) {
            Q_EMIT dataChanged(index(row, 0), index(row, cols - 1));
            return;
        }
        const TDBGridColumns &columns = m_grid->Columns();
        for (int c = 0; c < cols; ++c) {
            dataset::TField *f = columns[c]->Field();
            if (f && f->Index() == field)
                Q_EMIT dataChanged(index(row, c), index(row, c));
        }
    });
    // The data source reports a rebinding after the fact: the mirrored row count lets the
    // reset still be announced before the model shows the new rows. Another data set's
    // rows start in their own order.
    m_connections << connect(source, &TDataSource::dataSetChanged, this, [this] {
        m_sortField.clear();
        reset();
    });
}

int DBGridModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int DBGridModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_grid->Columns().Count();
}

QVariant DBGridModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    TColumn *column = m_grid->Columns()[index.column()];
    dataset::TField *field = column->Field();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole: {
        if (!field || index.row() >= actualRows())
            return QString();
        return m_source->DataSet()->textAt(toData(index.row()), field->Index(), role == Qt::DisplayRole);
    }
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(column->Alignment() | Qt::AlignVCenter));
    default:
        return {};
    }
}

QVariant DBGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount())
        return QAbstractTableModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole)
        return m_grid->Columns()[section]->Title();
    return {};
}

Qt::ItemFlags DBGridModel::flags(const QModelIndex &index) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (m_grid->canEditColumn(index.column()))
        f |= Qt::ItemIsEditable;
    return f;
}

bool DBGridModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::EditRole || !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return false;
    if (!m_grid->canEditColumn(index.column()))
        return false;
    dataset::TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    dataset::TField *field = m_grid->Columns()[index.column()]->Field();
    if (!ds || !field || ds->currentRow() != toData(index.row()))
        return false;
    const QString text = value.toString();
    // Leaving a cell without a change must not start an edit.
    if (text == ds->textAt(ds->currentRow(), field->Index(), false))
        return true;
    return guarded([&] {
        if (ds->State() == dataset::dsBrowse)
            ds->Edit();
        field->setText(text);
    });
}

void DBGridModel::titlesChanged()
{
    if (columnCount() > 0)
        Q_EMIT headerDataChanged(Qt::Horizontal, 0, columnCount() - 1);
}

} // namespace fiscal::vcl
