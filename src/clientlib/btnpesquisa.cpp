#include "clientlib/btnpesquisa.h"

#include "clientlib/adoibquery.h"
#include "clientlib/messages.h"
#include "clientlib/search.h"
#include "dataset/databaseerror.h"
#include "dataset/datasource.h"
#include "vcl/edit.h"
#include "vcl/guard.h"

#include <QKeyEvent>

namespace fiscal::clientlib {

TBtnPesquisa::TBtnPesquisa(QWidget *parent) : vcl::TSpeedButton(parent)
{
    setFocusPolicy(Qt::TabFocus);   // until a code box is associated
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

void TBtnPesquisa::setAssociate(QWidget *w)
{
    if (m_associate)
        m_associate->removeEventFilter(this);
    m_associate = w;
    if (w)
        w->installEventFilter(this);
    setFocusPolicy(qobject_cast<vcl::TCustomEdit *>(w) ? Qt::NoFocus : Qt::TabFocus);
}

bool TBtnPesquisa::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_associate && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            && (key->modifiers() & Qt::ControlModifier) && isEnabled() && isVisible()) {
            click();
            return true;
        }
    }
    return vcl::TSpeedButton::eventFilter(watched, event);
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
