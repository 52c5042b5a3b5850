// The main screen's lifetime and when each data set is (re)loaded: the first load on the
// first activation, the refresh of the active tab, AtualizaQuery after the dialogs.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "Pkg_Ger10200/module.h"
#include "Pkg_Ger10200/serverlink/netparamgrupfiscal.h"

#include "clientlib/btnpesquisa.h"
#include "clientlib/hostservices.h"
#include "clientlib/usersession.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/guard.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"
#include "protocol/objects.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>

namespace fiscal::ger10200 {

namespace method = protocol::method;

using dataset::TClientDataSet;

// ---- create, activate, close --------------------------------------------------------------

void TfrmParamGrupFiscal::FormCreate()
{
    clientlib::TfrmPadraoGrid::FormCreate();
    if (!clientlib::UserSession::instance().mayWrite()) {
        // The interstate box saves as the grids do, which a role that may not save gets
        // read-only: typing or a search would start an edit only the server's refusal ends.
        medGrFiscOpEs->setReadOnly(true);
        medGrFiscOpEs->setToolTip(clientlib::UserSession::instance().refusal(clientlib::UserSession::Right::Write));
        clientlib::enableFor(btpPesqGrupFisc, clientlib::UserSession::Right::Write, true);
    }
    {
        clientlib::WaitScope wait(clientlib::hostMainWindow(), 0);
        netParamGrupFiscal->Open();
    }
    boPrimeiraVez = true;
}

void TfrmParamGrupFiscal::FormActivate()
{
    clientlib::TfrmPadraoGrid::FormActivate();
    repaint();
    if (boPrimeiraVez) {
        boPrimeiraVez = false;
        // Loaded right after the activation has been delivered: the load waits for the
        // server in a local event loop, and Qt is still walking the window's widgets while
        // the activation is being delivered.
        QPointer<TfrmParamGrupFiscal> self(this);
        QTimer::singleShot(0, this, [self] {
            if (self)
                vcl::guarded([&] { self->PrimeiraCarga(); });
        });
    }
}

void TfrmParamGrupFiscal::FormClose()
{
    netParamGrupFiscal->Close();
    clientlib::TfrmPadraoGrid::FormClose();
    boCriado = false;
}

// ---- loading ------------------------------------------------------------------------------

void TfrmParamGrupFiscal::setLoaded(bool loaded)
{
    if (m_loaded == loaded)
        return;
    m_loaded = loaded;
    if (loaded)
        clientlib::markScreenLoaded(this);
    Q_EMIT loadedChanged(loaded);
}

void TfrmParamGrupFiscal::load(TClientDataSet *cds, const QString &method, const QCborArray &params)
{
    cds->setData(netParamGrupFiscal->packet(method, params));
}

void TfrmParamGrupFiscal::PrimeiraCarga()
{
    // Bound before the load: after a failed one the refresh fills the supplier tab, and its
    // buttons and navigator must act on it.
    pgcPadrao->setActivePage(tshPadrao);
    dtsPadrao->setDataSet(cdsFornecedor);
    // A server out of reach as the screen opened was said then: the load would try it again
    // and say the same, after the same wait. Atualizar (F5) tries again.
    if (!netParamGrupFiscal->Connected())
        return;
    {
        clientlib::WaitScope wait(clientlib::hostMainWindow(), 6);
        QList<dataset::DataPacket> packets = netParamGrupFiscal->GetDados();
        TClientDataSet *targets[] = {cdsFornecedor, cdsCliente, cdsFilial, cdsTipoOperac,
                                     cdsTipoFatur, cdsOperInter, cdsTipoGest};
        // Each data set takes its packet's rows as they are.
        for (int i = 0; i < 7; ++i)
            targets[i]->setData(std::move(packets[i]));
    }
    setLoaded(true);
}

void TfrmParamGrupFiscal::sbtVerificarClick()
{
    vcl::TTabSheet *active = pgcPadrao->ActivePage();
    if (active == tshPadrao)
        load(cdsFornecedor, method::GetFornecedor);
    else if (active == tshCliente)
        load(cdsCliente, method::GetCliente);
    else if (active == tshFilial)
        load(cdsFilial, method::GetFilial);
    else if (active == tshTipoOperac)
        load(cdsTipoOperac, method::GetTipoOperac);
    else if (active == tshTipoContrato)
        load(cdsTipoFatur, method::GetTipoFatur);
    else if (active == tshOperInter) {
        load(cdsOperInter, method::GetOperInter);
        pgcPadraoChange();
    } else if (active == tshImpFili)
        load(cdsImpFili, method::GetImpFili, {medCdImposto->Text()});
    else if (active == tshImpInscEsta) {
        if (pgcCliente->ActivePage() == tshCli)
            load(cdsCliInsc, method::GetCliInsc, inscParams());
        else
            load(cdsFornInsc, method::GetFornInsc, inscParams());
    } else if (active == tshTipoGest)
        load(cdsTipoGest, method::GetTipoGest);
}

QList<TfrmParamGrupFiscal::Reload> TfrmParamGrupFiscal::dialogReloads()
{
    QList<Reload> out;
    vcl::TTabSheet *active = pgcPadrao->ActivePage();
    const auto ifActive = [&](vcl::TTabSheet *tab, TClientDataSet *cds, const char *method) {
        if (active == tab)
            out.append({cds, [this, cds, method] { load(cds, QString::fromLatin1(method)); }});
    };
    ifActive(tshPadrao, cdsFornecedor, method::GetFornecedor);
    ifActive(tshCliente, cdsCliente, method::GetCliente);
    ifActive(tshFilial, cdsFilial, method::GetFilial);
    ifActive(tshTipoOperac, cdsTipoOperac, method::GetTipoOperac);
    ifActive(tshOperInter, cdsOperInter, method::GetOperInter);
    if (active == tshImpFili)
        out.append({cdsImpFili, [this] { load(cdsImpFili, method::GetImpFili, {medCdImposto->Text()}); }});
    ifActive(tshTipoGest, cdsTipoGest, method::GetTipoGest);
    ifActive(tshTipoContrato, cdsTipoFatur, method::GetTipoFatur);
    if (pgcCliente->ActivePage() == tshFornecedor)
        out.append({cdsFornInsc, [this] { load(cdsFornInsc, method::GetFornInsc, inscParams()); }});
    else if (pgcCliente->ActivePage() == tshCli)
        out.append({cdsCliInsc, [this] { load(cdsCliInsc, method::GetCliInsc, inscParams()); }});
    return out;
}

void TfrmParamGrupFiscal::AtualizaQuery()
{
    for (const Reload &r : dialogReloads())
        r.run();
}

// ---- dialogs ------------------------------------------------------------------------------

// The dialogs' work is followed by a reload of what they may have changed: a change the
// server has not taken yet is settled before they open.
void TfrmParamGrupFiscal::sbtAutomaticoClick()
{
    if (pgcPadrao->ActivePage() == tshImpInscEsta) {
        if (!resolvePending({{cdsFornInsc, {}}, {cdsCliInsc, {}}}))
            return;
        Cria_CadAutoImpInscEsta();
        auto filled = [this] {
            return !medImp->IsEmpty() && !medCdEmpresa->IsEmpty() && !medInscEsta->IsEmpty();
        };
        if (filled())
            load(cdsFornInsc, method::GetFornInsc, inscParams());
        if (filled())
            load(cdsCliInsc, method::GetCliInsc, inscParams());
        return;
    }
    if (!resolvePending(dialogReloads()))
        return;
    Cria_CadAutomatico();
    // The registration rewrites the tab's table: its cached copy goes, as after a save of it.
    if (const TClientDataSet *shown = dtsPadrao->DataSet())
        for (const GridMember &m : std::as_const(m_members))
            if (m.cds == shown && !m.cacheKey.isEmpty())
                refreshCache(m.cacheKey);
    AtualizaQuery();
}

void TfrmParamGrupFiscal::sbtReplicaClick()
{
    // On "Imposto/Inscrição Estadual" the button stays on while a row is edited.
    if (pgcPadrao->ActivePage() == tshImpInscEsta)
        postInnerEdit();
    if (!resolvePending(dialogReloads()))
        return;
    Cria_Replica();
    AtualizaQuery();
}

} // namespace fiscal::ger10200
