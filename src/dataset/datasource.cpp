#include "dataset/datasource.h"

namespace fiscal::dataset {

TDataSource::TDataSource(QObject *parent) : QObject(parent) {}

TDataSource::~TDataSource()
{
    for (const auto &c : m_connections)
        disconnect(c);
}

void TDataSource::setState(TDataSetState state)
{
    if (m_state == state)
        return;
    m_state = state;
    if (OnStateChange)
        OnStateChange(*this);
    Q_EMIT stateChange();
}

void TDataSource::dataChange(TField *field)
{
    if (OnDataChange)
        OnDataChange(*this, field);
}

void TDataSource::unbind()
{
    for (const auto &c : m_connections)
        disconnect(c);
    m_connections.clear();
    m_dataSet = nullptr;
}

void TDataSource::setDataSet(TClientDataSet *dataSet)
{
    if (m_dataSet == dataSet)
        return;
    if (m_dataSet) {
        unbind();
        setState(dsInactive);
    }
    m_dataSet = dataSet;
    if (dataSet) {
        auto fwd = [this, dataSet](auto signal, auto mine) {
            m_connections.append(connect(dataSet, signal, this, mine));
        };
        fwd(&TClientDataSet::modelAboutToBeReset, &TDataSource::modelAboutToBeReset);
        fwd(&TClientDataSet::modelReset, &TDataSource::modelReset);
        fwd(&TClientDataSet::rowsAboutToBeInserted, &TDataSource::rowsAboutToBeInserted);
        fwd(&TClientDataSet::rowsInserted, &TDataSource::rowsInserted);
        fwd(&TClientDataSet::rowsAboutToBeRemoved, &TDataSource::rowsAboutToBeRemoved);
        fwd(&TClientDataSet::rowsRemoved, &TDataSource::rowsRemoved);
        fwd(&TClientDataSet::dataChanged, &TDataSource::dataChanged);
        fwd(&TClientDataSet::currentChanged, &TDataSource::currentChanged);
        fwd(&TClientDataSet::fieldChanged, &TDataSource::fieldChanged);
        fwd(&TClientDataSet::fieldFocusRequested, &TDataSource::fieldFocusRequested);
        fwd(&TClientDataSet::updateRecord, &TDataSource::updateRecord);
        m_connections.append(connect(dataSet, &TClientDataSet::stateChanged, this,
                                    [this](TDataSetState s) { setState(s); }));
        m_connections.append(connect(dataSet, &TClientDataSet::currentChanged, this,
                                    [this](int) { dataChange(nullptr); }));
        m_connections.append(connect(dataSet, &TClientDataSet::modelReset, this,
                                    [this] { dataChange(nullptr); }));
        m_connections.append(connect(dataSet, &TClientDataSet::dataChanged, this,
                                    [this](int row, int field) {
                                        if (m_dataSet && row == m_dataSet->currentRow())
                                            dataChange(field >= 0 ? m_dataSet->Fields(field) : nullptr);
                                    }));
        m_connections.append(connect(dataSet, &QObject::destroyed, this, [this] {
            unbind();
            Q_EMIT dataSetChanged(nullptr);
            setState(dsInactive);
        }));
    }
    Q_EMIT dataSetChanged(dataSet);
    setState(dataSet ? dataSet->State() : dsInactive);
}

} // namespace fiscal::dataset
