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

void DBGridModel::reset()
{
    beginResetModel();
    m_grid->rebuildDefaultColumns();
    m_rows = actualRows();
    endResetModel();
}

void DBGridModel::setDataSource(TDataSource *source)
{
    for (const auto &c : m_connections)
        disconnect(c);
    m_connections.clear();
    beginResetModel();
    m_source = source;
    m_grid->rebuildDefaultColumns();
    m_rows = actualRows();
    endResetModel();
    if (!source)
        return;
    m_connections << connect(source, &TDataSource::modelAboutToBeReset, this, [this] { beginResetModel(); });
    m_connections << connect(source, &TDataSource::modelReset, this, [this] {
        m_grid->rebuildDefaultColumns();
        m_rows = actualRows();
        endResetModel();
    });
    m_connections << connect(source, &TDataSource::rowsAboutToBeInserted, this, [this](int row) {
        beginInsertRows({}, row, row);
        ++m_rows;
    });
    m_connections << connect(source, &TDataSource::rowsInserted, this, [this](int) { endInsertRows(); });
    m_connections << connect(source, &TDataSource::rowsAboutToBeRemoved, this, [this](int row) {
        beginRemoveRows({}, row, row);
        --m_rows;
    });
    m_connections << connect(source, &TDataSource::rowsRemoved, this, [this](int) { endRemoveRows(); });
    m_connections << connect(source, &TDataSource::dataChanged, this, [this](int row, int field) {
        const int cols = columnCount();
        if (row < 0 || row >= m_rows || cols == 0)
            return;
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
    // reset still be announced before the model shows the new rows.
    m_connections << connect(source, &TDataSource::dataSetChanged, this, [this] { reset(); });
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
        return m_source->DataSet()->textAt(index.row(), field->Index(), role == Qt::DisplayRole);
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
    if (!ds || !field || ds->currentRow() != index.row())
        return false;
    const QString text = value.toString();
    // Leaving a cell without a change must not start an edit.
    if (text == ds->textAt(index.row(), field->Index(), false))
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
