// The selection panels of the automatic registration by tax and state registration: which
// registrations, clients and suppliers, and the mode. A handler runs when its button
// becomes the chosen one of its group; a click on the button already chosen chooses
// nothing, so it neither empties a list nor touches the search buttons.

#include "Pkg_Ger10200/cadastroinscricao/frmcadautoimpinscesta.h"

#include "clientlib/adoibquery.h"
#include "clientlib/btnpesquisa.h"
#include "clientlib/datasetroutines.h"
#include "clientlib/messages.h"
#include "clientlib/search.h"
#include "vcl/containers.h"
#include "vcl/controls.h"
#include "vcl/cursor.h"
#include "vcl/edit.h"
#include "vcl/guard.h"

#include <functional>

namespace fiscal::ger10200 {

namespace {

void onChosen(vcl::TRadioButton *button, std::function<void()> handler)
{
    QObject::connect(button, &QAbstractButton::toggled, button, [handler = std::move(handler)](bool checked) {
        if (checked)
            vcl::guarded(handler);
    });
}

// Read afresh, then offered for a multi-choice whose result replaces `selection`. The title
// is the title key's text, "|" and the empty-list key's text.
void searchList(const clientlib::TMessages *messages, clientlib::TADOIBQuery *query, dataset::TDataSource *source,
                const char *keyField, const char *titleKey, const char *emptyKey, QString &selection)
{
    {
        vcl::HourGlass hourglass;   // half a million clients take a moment to read
        query->Close();
        query->Open();
    }
    const QString title = messages->Msg(QString::fromLatin1(titleKey)) + QLatin1Char('|')
        + messages->Msg(QString::fromLatin1(emptyKey));
    clientlib::PesquisaLista(source, QString::fromLatin1(keyField), title, false, selection);
}

} // namespace

void TfrmCadAutoImpInscEsta::wireSelection()
{
    onChosen(rbtTodasInscEsta, [this] { rbtTodasInscEstaClick(); });
    onChosen(rbtListaIncEst, [this] { rbtListaIncEstClick(); });
    onChosen(rbtTodosClientes, [this] { rbtTodosClientesClick(); });
    onChosen(rbtListaCliente, [this] { rbtListaClienteClick(); });
    onChosen(rbtNenhumCliente, [this] { rbtNenhumClienteClick(); });
    onChosen(rbtTodosFornecedor, [this] { rbtTodosFornecedorClick(); });
    onChosen(rbtListaFornecedor, [this] { rbtListaFornecedorClick(); });
    onChosen(rbtNenhumrbtNenhumFornecedor, [this] { rbtNenhumrbtNenhumFornecedorClick(); });
    onChosen(rdbTodos, [this] { rdbTodosClick(); });
    onChosen(rdbVazios, [this] { rdbVaziosClick(); });
    onChosen(rdbLimpar, [this] { rdbLimparClick(); });
    btpInscrestad->OnClick = [this] { btpInscrestadClick(); };
    btpCliente->OnClick = [this] { btpClienteClick(); };
    btpFornecedor->OnClick = [this] { btpFornecedorClick(); };
    btpInscrestad->setEnabled(rbtListaIncEst->isChecked());
    btpCliente->setEnabled(rbtListaCliente->isChecked());
    btpFornecedor->setEnabled(rbtListaFornecedor->isChecked());
}

void TfrmCadAutoImpInscEsta::rbtTodasInscEstaClick()
{
    btpInscrestad->setEnabled(rbtListaIncEst->isChecked());
}

void TfrmCadAutoImpInscEsta::rbtListaIncEstClick()
{
    ListaInscEsta.clear();
    btpInscrestad->setEnabled(rbtListaIncEst->isChecked());
}

void TfrmCadAutoImpInscEsta::rbtTodosClientesClick()
{
    btpCliente->setEnabled(rbtListaCliente->isChecked());
}

void TfrmCadAutoImpInscEsta::rbtNenhumClienteClick()
{
    btpCliente->setEnabled(rbtListaCliente->isChecked());
}

void TfrmCadAutoImpInscEsta::rbtListaClienteClick()
{
    ListaCliente.clear();
    btpCliente->setEnabled(rbtListaCliente->isChecked());
}

void TfrmCadAutoImpInscEsta::rbtTodosFornecedorClick()
{
    btpFornecedor->setEnabled(rbtListaFornecedor->isChecked());
}

void TfrmCadAutoImpInscEsta::rbtNenhumrbtNenhumFornecedorClick()
{
    btpFornecedor->setEnabled(rbtListaFornecedor->isChecked());
}

void TfrmCadAutoImpInscEsta::rbtListaFornecedorClick()
{
    ListaFornecedor.clear();
    btpFornecedor->setEnabled(rbtListaFornecedor->isChecked());
}

void TfrmCadAutoImpInscEsta::rdbTodosClick()
{
    clientlib::SetChildEnabled(panGrupo, true);
    edtGrupoFiscal->setEnabled(true);
    btpGrupoFiscal->setEnabled(true);
}

void TfrmCadAutoImpInscEsta::rdbVaziosClick()
{
    rdbTodosClick();
}

void TfrmCadAutoImpInscEsta::rdbLimparClick()
{
    // The group stays asked for: "Limpar" removes that group from the chosen records.
}

void TfrmCadAutoImpInscEsta::btpInscrestadClick()
{
    searchList(msgPadrao, qryInscrestad, dtsInscrestad, "COD", "InscrEstad", "NInscrEstad", ListaInscEsta);
}

void TfrmCadAutoImpInscEsta::btpClienteClick()
{
    searchList(msgPadrao, qryCliente, dtsCliente, "CDCLIENTE", "Cliente", "NCliente", ListaCliente);
}

void TfrmCadAutoImpInscEsta::btpFornecedorClick()
{
    // The table has no "Fornecedor" row: the title is the key itself, as for any row it lacks.
    searchList(msgPadrao, qryFornecedor, dtsFornecedor, "CDFORNECED", "Fornecedor", "NFornecedor", ListaFornecedor);
}

} // namespace fiscal::ger10200
