#pragma once
// TBtnPesquisa: the search button beside a code box (hint "Pesquisar").
//
//   btpEmpresa->setAssociate(medCdEmpresa);
//   btpEmpresa->setTitle("Empresas");
//   btpEmpresa->setDataSource(dtsEmpresa);
//   btpEmpresa->OnBeforePesq = [this](TBtnPesquisa &, bool &go) { reopen qryEmpresa };
//   btpEmpresa->OnAfterPesq = [this](TBtnPesquisa &) { copy code and name };
//
// On a click (when the screen gave it no OnClick of its own, as list buttons do):
//  1. OnBeforePesq(button, go) with go = true; a handler may refill the data set, set go
//     to false to stop quietly, or abort. Without a handler the button opens a closed
//     data set itself (a TADOIBQuery runs its SQL).
//  2. An empty data set: with EmptyError set, that text in an error box (and the action
//     aborts); without it, the list's own "no records" box.
//  3. The single-choice list (Pesquisar) with Title.
//  4. A row chosen: OnAfterPesq(button) with the data set on that row. Without a handler
//     and with PesqChave naming a field, that field's value goes into the associated box
//     (when it is an edit box).
// Everything runs through the event guard: an abort ends the click quietly.
// Ctrl+Enter in the associated box (or radio button) does what a click does.

#include "dataset/datasource.h"
#include "vcl/controls.h"

#include <QPointer>
#include <functional>

namespace fiscal::clientlib {

class TBtnPesquisa : public vcl::TSpeedButton {
    Q_OBJECT
public:
    explicit TBtnPesquisa(QWidget *parent = nullptr);

    QWidget *Associate() const { return m_associate; }
    // Ctrl+Enter in the associated widget clicks the button. A button beside a code box takes
    // no focus, so Tab goes from box to box; one without (a list button) is a Tab stop.
    void setAssociate(QWidget *w);
    QString Title() const { return m_title; }
    void setTitle(const QString &title) { m_title = title; }
    dataset::TDataSource *DataSource() const { return m_dataSource; }
    void setDataSource(dataset::TDataSource *source) { m_dataSource = source; }
    QString EmptyError() const { return m_emptyError; }
    void setEmptyError(const QString &text) { m_emptyError = text; }
    // Key field written into the associated box when there is no OnAfterPesq.
    QString PesqChave() const { return m_pesqChave; }
    void setPesqChave(const QString &field) { m_pesqChave = field; }

    std::function<void(TBtnPesquisa &sender, bool &go)> OnBeforePesq;
    std::function<void(TBtnPesquisa &sender)> OnAfterPesq;

    // The search of a click, unguarded (exceptions reach the caller). True when a row was
    // chosen.
    bool Pesquisa();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<QWidget> m_associate;
    QString m_title;
    QPointer<dataset::TDataSource> m_dataSource;
    QString m_emptyError;
    QString m_pesqChave;
};

} // namespace fiscal::clientlib
