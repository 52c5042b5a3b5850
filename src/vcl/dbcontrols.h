#pragma once
// Data-aware controls besides the grid.
//
//   TDBText        a label showing DataField of the current record of DataSource
//                  (DisplayText; empty when the set is closed or the field is missing);
//                  setDataSource(src), setDataField(name)
//   TDBNavigator   buttons First, Prior, Next, Last, Insert, Delete, Edit, Post, Cancel on a
//                  TDataSource, enabled by the data set's state and position. Delete asks
//                  confirm("Confirma exclusão?") when ConfirmDelete (default true). Actions
//                  run through guarded(), so a refused insert or a failed post shows (or
//                  stays silent for EAbort) and changes nothing else.
//                  Button(nbPost) gives a button (tests, hints).

#include "dataset/datasource.h"

#include <QLabel>
#include <QPointer>
#include <QWidget>

class QToolButton;

namespace fiscal::vcl {

class TDBText : public QLabel {
    Q_OBJECT
public:
    explicit TDBText(QWidget *parent = nullptr);

    dataset::TDataSource *DataSource() const { return m_source; }
    void setDataSource(dataset::TDataSource *source);
    QString DataField() const { return m_field; }
    void setDataField(const QString &name);

private:
    void refresh();
    QPointer<dataset::TDataSource> m_source;
    QList<QMetaObject::Connection> m_connections;
    QString m_field;
};

enum TNavigateBtn { nbFirst, nbPrior, nbNext, nbLast, nbInsert, nbDelete, nbEdit, nbPost, nbCancel };

class TDBNavigator : public QWidget {
    Q_OBJECT
public:
    explicit TDBNavigator(QWidget *parent = nullptr);

    dataset::TDataSource *DataSource() const { return m_source; }
    void setDataSource(dataset::TDataSource *source);
    bool ConfirmDelete() const { return m_confirmDelete; }
    void setConfirmDelete(bool confirm) { m_confirmDelete = confirm; }
    QToolButton *Button(TNavigateBtn which) const { return m_buttons[which]; }
    void BtnClick(TNavigateBtn which);

private:
    void updateButtons();
    QPointer<dataset::TDataSource> m_source;
    QList<QMetaObject::Connection> m_connections;
    QToolButton *m_buttons[nbCancel + 1] = {};
    bool m_confirmDelete = true;
};

} // namespace fiscal::vcl
