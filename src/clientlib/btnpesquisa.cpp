#include "clientlib/btnpesquisa.h"

#include "clientlib/adoibquery.h"
#include "clientlib/messages.h"
#include "clientlib/search.h"
#include "dataset/databaseerror.h"
#include "dataset/datasource.h"
#include "vcl/edit.h"
#include "vcl/guard.h"

namespace fiscal::clientlib {

TBtnPesquisa::TBtnPesquisa(QWidget *parent) : vcl::TSpeedButton(parent)
{
    setHint(QStringLiteral("Pesquisar"));
    setText(QStringLiteral("..."));
    setObjectName(QStringLiteral("btnPesquisa"));
    connect(this, &QToolButton::clicked, this, [this] {
        // A screen's own OnClick (list buttons) replaces the search; TSpeedButton runs it.
        if (!OnClick) {
            vcl::guarded([this] { Pesquisa(); });
        }
    });
}

bool TBtnPesquisa::Pesquisa()
{
    if (!m_dataSource || !m_dataSource->DataSet()) {
        throw dataset::EDatabaseError(QStringLiteral("Botão de pesquisa sem fonte de dados."));
    }
    if (OnBeforePesq) {
        bool go = true;
        OnBeforePesq(*this, go);
        if (!go) {
            return false;
        }
    } else if (!m_dataSource->DataSet()->Active()) {
        dataset::TClientDataSet *ds = m_dataSource->DataSet();
        if (auto *query = qobject_cast<TADOIBQuery *>(ds)) {
            query->Open();
        } else {
            ds->Open();
        }
    }
    dataset::TClientDataSet *ds = m_dataSource->DataSet();
    if ((!ds || !ds->Active() || ds->IsEmpty()) && !m_emptyError.isEmpty()) {
        MensErro(m_emptyError, true);
    }
    if (!Pesquisar(m_dataSource, m_title, false, true)) {
        return false;
    }
    if (OnAfterPesq) {
        OnAfterPesq(*this);
    } else if (!m_pesqChave.isEmpty()) {
        if (auto *edit = qobject_cast<vcl::TCustomEdit *>(m_associate.data())) {
            edit->setText(ds->FieldByName(m_pesqChave)->AsString());
        }
    }
    return true;
}

} // namespace fiscal::clientlib
