// Tab "Imposto/Inscrição Estadual": suppliers' and clients' fiscal groups per tax, company
// and state registration. The grids load when the focus moves on from the filter boxes into
// the inner page control, and empty whenever the focus goes back into the filter panel.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "Pkg_Ger10200/shared/codefield.h"

#include "clientlib/btnpesquisa.h"
#include "clientlib/messages.h"
#include "clientlib/adoibquery.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/containers.h"
#include "vcl/dbgrid.h"
#include "vcl/focuswatch.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"
#include "protocol/objects.h"

#include <QLineEdit>

#include <functional>

namespace fiscal::ger10200 {

namespace method = protocol::method;

using dataset::dsBrowse;

QCborArray TfrmParamGrupFiscal::inscParams() const
{
    return {medImp->Text(), medCdEmpresa->Text(), medInscEsta->Text()};
}

void TfrmParamGrupFiscal::wireImpInscEsta()
{
    m_vdEmpresa = std::make_unique<CodeField>(
        medCdEmpresa, edtNmEmpresa, msgPadrao,
        CodeFieldSpec{2, QStringLiteral("Empresa_dev"), QStringLiteral("Empresa_cad")},
        [this](const QString &code) {
            return lookUpQuery(qryEmpresa,
                               {{QStringLiteral("P_CDEMPRESA"), code}, {QStringLiteral("P_TCDEMPRESA"), QString()}},
                               QStringLiteral("NMEMPRESA"));
        });
    m_vdEmpresa->addDependent(medInscEsta);
    m_vdEmpresa->wire();

    m_vdInscEsta = std::make_unique<CodeField>(
        medInscEsta, nullptr, msgPadrao,
        CodeFieldSpec{0, QStringLiteral("InscEsta_dev"), QStringLiteral("InscEsta_cad")},
        [this](const QString &code) {
            return lookUpQuery(qryInscEsta,
                               {{QStringLiteral("P_CDEMPRESA"), medCdEmpresa->Text()},
                                {QStringLiteral("P_CDINSCESTA"), code},
                                {QStringLiteral("P_TCDINSCESTA"), QString()}},
                               QString());
        });
    medInscEsta->OnExit = [this] { m_vdInscEsta->Validate(false); };

    m_vdImp = std::make_unique<CodeField>(
        medImp, edtNmImp, msgPadrao,
        CodeFieldSpec{2, QStringLiteral("Imp_dev"), QStringLiteral("Imp_cad")},
        [this](const QString &code) {
            return lookUpQuery(qryImp,
                               {{QStringLiteral("P_CDIMPOSTO"), code}, {QStringLiteral("P_TCDIMPOSTO"), QString()}},
                               QStringLiteral("NMIMPOSTO"));
        });
    m_vdImp->wire();

    btpEmpresa->OnBeforePesq = [this](clientlib::TBtnPesquisa &, bool &) {
        lookUpQuery(qryEmpresa, {{QStringLiteral("P_CDEMPRESA"), QString()}, {QStringLiteral("P_TCDEMPRESA"), QStringLiteral("T")}}, QString());
    };
    // The grids hold the rows of the company, registration and tax they were read for:
    // another one from a search empties them, as entering the panel does (the buttons take no
    // focus), until the grids are entered again.
    const auto filterSearched = [this](QWidget *box, const std::function<void()> &write) {
        const QStringList before{medCdEmpresa->Text(), medInscEsta->Text(), medImp->Text()};
        write();
        if (QStringList{medCdEmpresa->Text(), medInscEsta->Text(), medImp->Text()} != before) {
            panImpInscEstaEnter();
            focusBoxFrom(pgcCliente, box);
        }
    };
    btpEmpresa->OnAfterPesq = [this, filterSearched](clientlib::TBtnPesquisa &) {
        filterSearched(medCdEmpresa, [this] {
            m_vdEmpresa->setFromSearch(qryEmpresa->FieldByName(QStringLiteral("CDEMPRESA"))->AsString(),
                                       qryEmpresa->FieldByName(QStringLiteral("NMEMPRESA"))->AsString());
        });
    };
    btpInscEsta->OnBeforePesq = [this](clientlib::TBtnPesquisa &, bool &) {
        lookUpQuery(qryInscEsta,
                    {{QStringLiteral("P_CDEMPRESA"), medCdEmpresa->Text()},
                     {QStringLiteral("P_CDINSCESTA"), QString()},
                     {QStringLiteral("P_TCDINSCESTA"), QStringLiteral("T")}},
                    QString());
    };
    btpInscEsta->OnAfterPesq = [this, filterSearched](clientlib::TBtnPesquisa &) {
        filterSearched(medInscEsta, [this] {
            m_vdInscEsta->setFromSearch(qryInscEsta->FieldByName(QStringLiteral("CDINSCESTA"))->AsString(),
                                        std::nullopt);
        });
    };
    btpImp->OnBeforePesq = [this](clientlib::TBtnPesquisa &, bool &) {
        lookUpQuery(qryImp, {{QStringLiteral("P_CDIMPOSTO"), QString()}, {QStringLiteral("P_TCDIMPOSTO"), QStringLiteral("T")}}, QString());
    };
    btpImp->OnAfterPesq = [this, filterSearched](clientlib::TBtnPesquisa &) {
        filterSearched(medImp, [this] {
            m_vdImp->setFromSearch(qryImp->FieldByName(QStringLiteral("CDIMPOSTO"))->AsString(),
                                   qryImp->FieldByName(QStringLiteral("NMIMPOSTO"))->AsString());
        });
    };

    // However an inner data set gets loaded (its tab, the refresh, a dialog's reload), once
    // it is the one on screen the navigator and the name label act on it.
    for (dataset::TDataSource *dts : {dtsFornInsc, dtsCliInsc}) {
        connect(dts, &dataset::TDataSource::stateChange, this, [this, dts] {
            if (pgcPadrao->ActivePage() == tshImpInscEsta && dts == innerDataSource()
                && dts->State() == dsBrowse && dtsPadrao->DataSet() != dts->DataSet()) {
                dtsPadrao->setDataSet(dts->DataSet());
                bindNome(dts);
            }
        });
    }

    panImpInscEsta->OnEnter = [this] { panImpInscEstaEnter(); };
    // As for the tax of "Imposto/Filial": rows of one company, registration or tax never stay
    // under another typed in the filter.
    for (vcl::TMaskEdit *box : {medCdEmpresa, medInscEsta, medImp}) {
        connect(box, &QLineEdit::textEdited, this, [this, box] {
            if (cdsFornInsc->Active() || cdsCliInsc->Active())
                panImpInscEstaEnter();
            focusBoxFrom(pgcCliente, box);
        });
    }
    vcl::setOnEnter(pgcCliente, [this] { pgcClienteEnter(); });
    // A refusal keeps the tab. Changes a refused save left go with the reload that coming back
    // to this inner tab is: they are saved, discarded or kept (the tab stays) first.
    pgcCliente->OnChanging = [this](bool &allow) {
        postInnerEdit();
        allow = resolvePending({Reload{innerDataSet(), {}}});
    };
    pgcCliente->OnChange = [this] { pgcClienteChange(); };
}

void TfrmParamGrupFiscal::panImpInscEstaEnter()
{
    cdsFornInsc->Close();
    cdsCliInsc->Close();
    pgcCliente->setActivePage(tshFornecedor);
}

// Coming back to "Imposto/Inscrição Estadual" empties its boxes and grids, with what a refused
// save left in them: asked about as the tab is left, by a click or from the menu.
bool TfrmParamGrupFiscal::mayLeaveTab()
{
    if (pgcPadrao->ActivePage() != tshImpInscEsta)
        return true;
    return resolvePending({Reload{cdsFornInsc, {}}, Reload{cdsCliInsc, {}}});
}

void TfrmParamGrupFiscal::postInnerEdit()
{
    dataset::TClientDataSet *cds = innerDataSet();
    if (cds->State() != dataset::dsEdit && cds->State() != dataset::dsInsert)
        return;
    innerGrid()->setEditorMode(false);   // the text still in the cell goes into the row
    cds->Post();
}

void TfrmParamGrupFiscal::pgcClienteEnter()
{
    // As on "Imposto/Filial": the filters are locked while a row is edited, so its rows stay,
    // on its inner tab, with what is typed; and the changes a refused save left stay (asked
    // about, the user kept them), since entering the filters would have emptied the grids.
    for (const dataset::TClientDataSet *cds : {cdsFornInsc, cdsCliInsc}) {
        if (cds->State() == dataset::dsEdit || cds->State() == dataset::dsInsert
            || (cds->Active() && cds->ChangeCount() > 0))
            return;
    }
    m_vdEmpresa->Validate(true);
    m_vdInscEsta->Validate(true);
    m_vdImp->Validate(true);
    pgcCliente->setActivePage(tshFornecedor);
    pgcClienteChange();
    innerGrid()->setFocus(Qt::OtherFocusReason);
}

void TfrmParamGrupFiscal::pgcClienteChange()
{
    dataset::TClientDataSet *cds = innerDataSet();
    dataset::TDataSource *dts = innerDataSource();
    setEditPair(dts->State() == dsBrowse && !cds->IsEmpty());
    dtsPadrao->setDataSet(cds);
    bindNome(dts);
    clientlib::WaitScope wait(this, 6, msgPadrao->Msg(QStringLiteral("GetFornInsc")));
    load(cds, cds == cdsCliInsc ? method::GetCliInsc : method::GetFornInsc,
         inscParams());
}

} // namespace fiscal::ger10200
