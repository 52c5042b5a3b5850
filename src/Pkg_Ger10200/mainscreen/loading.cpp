// The main screen's lifetime and when each data set is (re)loaded: the first load on the
// first activation, the refresh of the active tab, AtualizaQuery after the dialogs.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "Pkg_Ger10200/module.h"
#include "Pkg_Ger10200/serverlink/netparamgrupfiscal.h"

#include "clientlib/hostservices.h"
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
    {
        clientlib::WaitScope wait(clientlib::hostMainWindow(), 6);
        QList<dataset::DataPacket> packets = netParamGrupFiscal->GetDados();
        TClientDataSet *targets[] = {cdsFornecedor, cdsCliente, cdsFilial, cdsTipoOperac,
                                     cdsTipoFatur, cdsOperInter, cdsTipoGest};
        // Each data set takes its packet's rows as they are.
        for (int i = 0; i < 7; ++i)
            targets[i]->setData(std::move(packets[i]));
        pgcPadrao->setActivePage(tshPadrao);
        dtsPadrao->setDataSet(cdsFornecedor);
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

void TfrmParamGrupFiscal::AtualizaQuery()
{
    vcl::TTabSheet *active = pgcPadrao->ActivePage();
    if (active == tshPadrao)
        load(cdsFornecedor, method::GetFornecedor);
    if (active == tshCliente)
        load(cdsCliente, method::GetCliente);
    if (active == tshFilial)
        load(cdsFilial, method::GetFilial);
    if (active == tshTipoOperac)
        load(cdsTipoOperac, method::GetTipoOperac);
    if (active == tshOperInter)
        load(cdsOperInter, method::GetOperInter);
    if (active == tshImpFili)
        load(cdsImpFili, method::GetImpFili, {medCdImposto->Text()});
    if (active == tshTipoGest)
        load(cdsTipoGest, method::GetTipoGest);
    if (active == tshTipoContrato)
        load(cdsTipoFatur, method::GetTipoFatur);
    if (pgcCliente->ActivePage() == tshFornecedor)
        load(cdsFornInsc, method::GetFornInsc, inscParams());
    else if (pgcCliente->ActivePage() == tshCli)
        load(cdsCliInsc, method::GetCliInsc, inscParams());
}

// ---- dialogs ------------------------------------------------------------------------------

void TfrmParamGrupFiscal::sbtAutomaticoClick()
{
    if (pgcPadrao->ActivePage() == tshImpInscEsta) {
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
    Cria_CadAutomatico();
    AtualizaQuery();
}

void TfrmParamGrupFiscal::sbtReplicaClick()
{
    Cria_Replica();
    AtualizaQuery();
}

} // namespace fiscal::ger10200
