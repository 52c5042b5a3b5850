#pragma once
// TDataSource: binds views and screens to one TClientDataSet and reports its state.
//
//   DataSet() / setDataSet(ds)   rebinding reports dsInactive first, then the new data
//                                set's state (each only when it differs from the last one)
//   State()                      dsInactive when unbound
//   OnStateChange(sender)        std::function, run before the stateChange() signal
//   OnDataChange(sender, field)  current row moved or reloaded (field nullptr), or a field
//                                of the current row changed
//   signals: stateChange(), dataSetChanged(ds) (after rebinding, before the new state is
//            reported), and the data set's own signals forwarded unchanged.

#include "dataset/clientdataset.h"

#include <QObject>
#include <QPointer>
#include <functional>

namespace fiscal::dataset {

class TDataSource : public QObject {
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(TDataSource &sender)>;
    using TDataChangeEvent = std::function<void(TDataSource &sender, TField *field)>;

    explicit TDataSource(QObject *parent = nullptr);
    ~TDataSource() override;

    TClientDataSet *DataSet() const { return m_dataSet; }
    void setDataSet(TClientDataSet *dataSet);
    TDataSetState State() const { return m_state; }

    TNotifyEvent OnStateChange;
    TDataChangeEvent OnDataChange;

Q_SIGNALS:
    void stateChange();
    void dataSetChanged(fiscal::dataset::TClientDataSet *dataSet);
    void modelAboutToBeReset();
    void modelReset();
    void rowsAboutToBeInserted(int row);
    void rowsInserted(int row);
    void rowsAboutToBeRemoved(int row);
    void rowsRemoved(int row);
    void dataChanged(int row, int field);
    void currentChanged(int row);
    void fieldChanged(int field);
    void fieldFocusRequested(fiscal::dataset::TField *field);
    void updateRecord();

private:
    void setState(TDataSetState state);
    void unbind();
    void dataChange(TField *field);

    QPointer<TClientDataSet> m_dataSet;
    TDataSetState m_state = dsInactive;
    QList<QMetaObject::Connection> m_connections;
};

} // namespace fiscal::dataset
