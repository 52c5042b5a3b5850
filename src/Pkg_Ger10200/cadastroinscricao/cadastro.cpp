// Confirming the automatic registration by tax and state registration: the seven checks
// in their order, the question when the run reaches every client or every supplier, and
// the one CadAutoImpInscEsta call; or, for "Simular", the same checks and arguments
// previewed, without the question.

#include "Pkg_Ger10200/cadastroinscricao/frmcadautoimpinscesta.h"

#include "Pkg_Ger10200/serverlink/netremoteobject.h"
#include "Pkg_Ger10200/shared/codefield.h"
#include "Pkg_Ger10200/shared/preview.h"

#include "clientlib/messages.h"
#include "clientlib/waitanimation.h"
#include "vcl/controls.h"
#include "vcl/edit.h"
#include "vcl/maskedit.h"
#include "protocol/bulkcalls.h"

#include <QCborArray>
#include <QLineEdit>

namespace fiscal::ger10200 {

namespace method = protocol::method;

namespace {

using clientlib::MensErro;

// The choice codes the server takes: the first checked button of the row decides, the
// last code stands for none of them.
QString choice(std::initializer_list<std::pair<const vcl::TRadioButton *, const char *>> buttons,
               const char *otherwise)
{
    for (const auto &[button, code] : buttons)
        if (button->isChecked())
            return QString::fromLatin1(code);
    return QString::fromLatin1(otherwise);
}

void requireList(vcl::TRadioButton *list, const QString &selection, const clientlib::TMessages *messages,
                 const char *key)
{
    if (list->isChecked() && selection.isEmpty()) {
        focusForMessage([list] { list->setFocus(Qt::OtherFocusReason); });
        MensErro(messages->Msg(QString::fromLatin1(key)), true);
    }
}

} // namespace

void TfrmCadAutoImpInscEsta::Verifica()
{
    m_vdImposto->Validate(true);
    requireList(rbtListaIncEst, ListaInscEsta, msgPadrao, "Insc_Inf");
    requireList(rbtListaCliente, ListaCliente, msgPadrao, "Cliente_Inf");
    requireList(rbtListaFornecedor, ListaFornecedor, msgPadrao, "Fornecedor_Inf");
    m_vdGrupoFiscal->Validate(true);
    if (!rdbTodos->isChecked() && !rdbVazios->isChecked() && !rdbLimpar->isChecked()) {
        focusForMessage([this] { rdbTodos->setFocus(Qt::OtherFocusReason); });
        MensErro(msgPadrao->Msg(QStringLiteral("TipoCad_Inf")), true);
    }
    if (rbtNenhumCliente->isChecked() && rbtNenhumrbtNenhumFornecedor->isChecked()) {
        focusForMessage([this] { rbtNenhumCliente->setFocus(Qt::OtherFocusReason); });
        MensErro(msgPadrao->Msg(QStringLiteral("ClieForn_Inf")), true);
    }
}

void TfrmCadAutoImpInscEsta::sbtConfirmaClick()
{
    Verifica();
    const QString key = confirmationKey();
    if (!key.isEmpty()) {
        const QString question = msgPadrao->Msg(key);
        const int answer = clientlib::interaction().message(clientlib::mtConfirmation,
                                                            clientlib::messageTitle(clientlib::mtConfirmation),
                                                            question, clientlib::mbYesNo, this);
        if (answer != clientlib::mrYes)
            return;
    }
    CadastroAutomatico();
}

// The question for a run over every client and/or every supplier, by mode; none when
// both sides are a list or nobody.
QString TfrmCadAutoImpInscEsta::confirmationKey() const
{
    const bool clients = rbtTodosClientes->isChecked();
    const bool suppliers = rbtTodosFornecedor->isChecked();
    if (!clients && !suppliers)
        return QString();
    const QString mode = rdbTodos->isChecked() ? QString() : rdbVazios->isChecked() ? QStringLiteral("Vazios")
                                                                                      : QStringLiteral("Limpar");
    const QString whom = clients && suppliers ? QString() : clients ? QStringLiteral("Clientes")
                                                                    : QStringLiteral("Fornecedores");
    return QStringLiteral("ConfirmaTodos") + mode + whom;
}

QCborArray TfrmCadAutoImpInscEsta::Arguments() const
{
    protocol::CadAutoImpInscEstaArgs a;
    a.tax = medImposto->Text();
    a.registrationChoice = choice({{rbtTodasInscEsta, "T"}, {rbtListaIncEst, "L"}}, "");
    a.registrations = ListaInscEsta;
    a.clientChoice = choice({{rbtTodosClientes, "T"}, {rbtListaCliente, "L"}}, "N");
    a.clients = ListaCliente;
    a.supplierChoice = choice({{rbtTodosFornecedor, "T"}, {rbtListaFornecedor, "L"}}, "N");
    a.suppliers = ListaFornecedor;
    a.group = edtGrupoFiscal->Text();
    a.mode = choice({{rdbTodos, "T"}, {rdbVazios, "V"}}, "E");
    return a.encode();
}

void TfrmCadAutoImpInscEsta::CadastroAutomatico()
{
    {
        clientlib::WaitScope wait(this, 6, msgPadrao->Msg(QStringLiteral("CadaAuto")));
        netCadAutInscEsta->check(method::CadAutoImpInscEsta, Arguments());
    }
    accept();
}

void TfrmCadAutoImpInscEsta::sbtSimularClick()
{
    Verifica();
    showPreview(*netCadAutInscEsta, method::SimulaCadAutoImpInscEsta, Arguments(), this);
}

} // namespace fiscal::ger10200
