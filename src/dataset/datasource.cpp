#include "dataset/datasource.h"

namespace fiscal::dataset {

TDataSource::TDataSource(QObject *parent) : QObject(parent) {}

TDataSource::~TDataSource()
{
    for (const auto &c : connections_)
        disconnect(c);
}

void TDataSource::setState(TDataSetState state)
{
    if (state_ == state)
        return;
    state_ = state;
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
    for (const auto &c : connections_)
        disconnect(c);
    connections_.clear();
    dataSet_ = nullptr;
}

void TDataSource::setDataSet(TClientDataSet *dataSet)
{
    if (dataSet_ == dataSet)
        return;
    if (dataSet_) {
        unbind();
        setState(dsInactive);
    }
    dataSet_ = dataSet;
    if (dataSet) {
        auto fwd = [this, dataSet](auto signal, auto mine) {
            connections_.append(connect(dataSet, signal, this, mine));
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
        connections_.append(connect(dataSet, &TClientDataSet::stateChanged, this,
                                    [this](TDataSetState s) { setState(s); }));
        connections_.append(connect(dataSet, &TClientDataSet::currentChanged, this,
                                    [this](int) { dataChange(nullptr); }));
        connections_.append(connect(dataSet, &TClientDataSet::modelReset, this,
                                    [this] { dataChange(nullptr); }));
        connections_.append(connect(dataSet, &TClientDataSet::dataChanged, this,
                                    [this](int row, int field) {
                                        if (dataSet_ && row == dataSet_->currentRow())
                                            dataChange(field >= 0 ? dataSet_->Fields(field) : nullptr);
                                    }));
        connections_.append(connect(dataSet, &QObject::destroyed, this, [this] {
            unbind();
            Q_EMIT dataSetChanged(nullptr);
            setState(dsInactive);
        }));
    }
    Q_EMIT dataSetChanged(dataSet);
    setState(dataSet ? dataSet->State() : dsInactive);
}

} // namespace fiscal::dataset
