// Confirming the automatic registration: the checks in their order, the entity read from
// the main screen's active tab, and the one CadastroAutomatico call; or, for "Simular",
// the same checks and arguments previewed.

#include "Pkg_Ger10200/cadastro/frmcadautomatico.h"

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"
#include "Pkg_Ger10200/module.h"
#include "Pkg_Ger10200/serverlink/netremoteobject.h"
#include "Pkg_Ger10200/shared/codefield.h"
#include "Pkg_Ger10200/shared/preview.h"

#include "clientlib/interaction.h"
#include "clientlib/messages.h"
#include "clientlib/waitanimation.h"
#include "vcl/controls.h"
#include "vcl/edit.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"
#include "protocol/bulkcalls.h"

#include <QCborArray>

namespace fiscal::ger10200 {

namespace method = protocol::method;

namespace {

// The arguments for the main screen as it stands; nullopt when its active tab is none the
// registration knows. The tab rows are tried first, in this order; the state-registration
// rows only when none of them matched, by the inner tab.
std::optional<QCborArray> Arguments(const TfrmParamGrupFiscal *main, const QString &mode, const QString &group)
{
    if (!main)
        return std::nullopt;
    const bool clearing = mode == QLatin1String("L");
    const struct {
        vcl::TTabSheet *tab;
        const char *entity;
    } tabRows[] = {
        {main->tshPadrao, "FORNECEDOR"},
        {main->tshCliente, "CLIENTE"},
        {main->tshFilial, "FILIAL"},
        {main->tshTipoOperac, "TIPOOPERAC"},
        {main->tshTipoGest, "TPFATURFIS"},
        {main->tshTipoContrato, "PARAMFILIAL"},
        {main->tshImpFili, "GRFISCIMPOSFILI"},
    };
    vcl::TTabSheet *active = main->pgcPadrao->ActivePage();
    for (const auto &row : tabRows) {
        if (row.tab != active)
            continue;
        protocol::CadastroAutomaticoArgs a;
        a.entity = QString::fromLatin1(row.entity);
        a.group = clearing ? QString() : group;
        a.mode = mode;
        if (row.tab == main->tshImpFili)
            a.tax = main->medCdImposto->Text();
        return a.encode();
    }
    // Per tax and state registration the group also narrows what "Limpar" removes.
    const auto registration = [&](const char *entity) {
        protocol::CadastroAutomaticoArgs a;
        a.entity = QString::fromLatin1(entity);
        a.group = group;
        a.mode = mode;
        a.tax = main->medImp->Text();
        a.company = main->medCdEmpresa->Text();
        a.registration = main->medInscEsta->Text();
        return a.encode();
    };
    vcl::TTabSheet *inner = main->pgcCliente->ActivePage();
    if (inner == main->tshFornecedor)
        return registration("GRFISIMPIEFORN");
    if (inner == main->tshCli)
        return registration("GRFISIMPIECLIE");
    return std::nullopt;
}

// The table has no row for this key; the wait text then says it in so many words.
QString waitText(const clientlib::TMessages *messages)
{
    const QString key = QStringLiteral("Rec_Dados");
    return messages->hasKey(key) ? messages->Msg(key) : QStringLiteral("Recebendo dados...");
}

} // namespace

QString TfrmCadAutomatico::Mode() const
{
    if (rdbTodos->isChecked())
        return QStringLiteral("T");
    if (rdbVazios->isChecked())
        return QStringLiteral("V");
    if (rdbLimpar->isChecked())
        return QStringLiteral("L");
    return QString();
}

void TfrmCadAutomatico::Verifica()
{
    if (Mode().isEmpty()) {
        focusForMessage([this] { rdbTodos->setFocus(Qt::OtherFocusReason); });
        clientlib::MensErro(msgPadrao->Msg(QStringLiteral("TipoCad_Inf")), true);
    }
    if (!rdbLimpar->isChecked())
        m_vdGrupoFiscal->Validate(true);
}

void TfrmCadAutomatico::sbtConfirmaClick()
{
    Verifica();
    CadastroAutomatico();
}

void TfrmCadAutomatico::sbtSimularClick()
{
    Verifica();
    // A tab the registration does not know would change nothing, as confirming does.
    const std::optional<QCborArray> args = Arguments(frmParamGrupFiscal.data(), Mode(), edtGrupoFiscal->Text());
    if (!args) {
        clientlib::interaction().message(clientlib::mtInformation, QStringLiteral("Simulação"),
                                         QStringLiteral("Nenhum registro será alterado."), clientlib::mbOK, this);
        return;
    }
    showPreview(*netCadAutParGrpFis, method::SimulaCadastroAutomatico, *args, this);
}

void TfrmCadAutomatico::CadastroAutomatico()
{
    {
        // Over the main screen, whose data the registration changes.
        clientlib::WaitScope wait(frmParamGrupFiscal.data(), 6, waitText(msgPadrao));
        const std::optional<QCborArray> args = Arguments(frmParamGrupFiscal.data(), Mode(), edtGrupoFiscal->Text());
        if (args)
            netCadAutParGrpFis->check(method::CadastroAutomatico, *args);
    }
    accept();
}

} // namespace fiscal::ger10200
