// Confirming the replication: the checks in their order, the origin read to make sure there
// is something to copy, the question, and the Replica call, all through the main screen's
// connection; "Simular": the same checks and arguments to SimulaReplica.

#include "Pkg_Ger10200/replica/frmreplica.h"

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"
#include "Pkg_Ger10200/module.h"
#include "Pkg_Ger10200/serverlink/netparamgrupfiscal.h"
#include "Pkg_Ger10200/shared/codefield.h"
#include "Pkg_Ger10200/shared/preview.h"

#include "clientlib/checkresult.h"
#include "clientlib/messages.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "vcl/controls.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"
#include "protocol/bulkcalls.h"

#include <QCborArray>

namespace fiscal::ger10200 {

namespace method = protocol::method;

using clientlib::MensErro;

void TfrmReplica::Verifica()
{
    Vd_Imposto(true);
    Vd_Empresa(*m_vdEmpresa, true);
    Vd_Inscricao(true);
    m_grupoFiscal->confirm(msgPadrao, QStringLiteral("Grupo_Inf"));
    Vd_Empresa(*m_vdEmpDest, true);
    m_inscEstaDest->confirm(msgPadrao, QStringLiteral("Insc_Inf"));
}

void TfrmReplica::sbtConfirmaClick()
{
    Verifica();
    Replica();
}

void TfrmReplica::sbtSimularClick()
{
    Verifica();
    TfrmParamGrupFiscal &main = mainScreen();
    showPreview(*main.netParamGrupFiscal, method::SimulaReplica, ReplicaArgs(main), this);
}

TfrmParamGrupFiscal &TfrmReplica::mainScreen()
{
    TfrmParamGrupFiscal *main = frmParamGrupFiscal.data();
    if (!main)
        MensErro(QStringLiteral("A replicação precisa da tela Parâmetros de Grupo Fiscal aberta."), true);
    return *main;
}

QCborArray TfrmReplica::ReplicaArgs(TfrmParamGrupFiscal &main) const
{
    // Suppliers or clients: the inner tab the main screen shows now.
    const bool clients = main.pgcCliente->ActivePage() == main.tshCli;
    protocol::ReplicaArgs a;
    a.tax = medCdImposto->Text();
    a.company = medCdEmpresa->Text();
    a.registration = medCdInscEsta->Text();
    a.groups = ListaGrupoFiscal();
    a.destCompany = medCdEmpDest->Text();
    a.destRegistrations = ListaInscEstaDest();
    a.suppliers = !clients;
    a.clients = clients;
    return a.encode();
}

void TfrmReplica::Replica()
{
    TfrmParamGrupFiscal *main = &mainScreen();
    // Suppliers or clients: the inner tab the main screen shows now.
    const bool clients = main->pgcCliente->ActivePage() == main->tshCli;
    const QString question = rbtLGrupoFisc->isChecked() ? QStringLiteral("Registros_EncL")
                                                        : QStringLiteral("Registros_Enc");
    {
        // Only while reading: a spinner behind the question would say "wait" to someone
        // who is asked to decide.
        clientlib::WaitScope wait(this, 6);
        dataset::TClientDataSet *origin = clients ? cdsAuxCliInsc : cdsAuxFornInsc;
        origin->setData(main->netParamGrupFiscal->packet(
            clients ? method::GetCliInscGrup : method::GetFornInscGrup,
            {medCdImposto->Text(), medCdEmpresa->Text(), medCdInscEsta->Text(), ListaGrupoFiscal()}));
        if (origin->IsEmpty()) {
            clientlib::DeactiveShowAvi();
            MensErro(msgPadrao->Msg(QStringLiteral("N_Ha_Orig")), true);
        }
    }
    if (msgPadrao->ShowMsg(question, clientlib::mtConfirmation, clientlib::mbYesNo, 0) != clientlib::mrYes)
        return;

    qint64 replicated = 0;
    {
        clientlib::WaitScope wait(this, 1);
        const rpc::Reply reply = clientlib::CheckResultServ(
            main->netParamGrupFiscal->call(method::Replica, ReplicaArgs(*main)),
            true, 0);
        replicated = reply.value().toInteger();
    }
    if (replicated < 1) {
        msgPadrao->ShowMsg(QStringLiteral("N_Ha_Da"), clientlib::mtError, clientlib::mbOK, 0);
        return;
    }
    msgPadrao->ShowMsg(QStringLiteral("Sucesso"), clientlib::mtInformation, clientlib::mbOK, 0);
    accept();
}

} // namespace fiscal::ger10200
