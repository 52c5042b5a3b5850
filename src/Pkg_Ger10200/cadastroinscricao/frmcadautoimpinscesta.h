#pragma once
// TfrmCadAutoImpInscEsta, "Cadastramento Automático Imposto/Inscrição Estadual" (GER10201):
// one fiscal group, for one tax, on the clients and suppliers of all or some company state
// registrations, in one CadAutoImpInscEsta call on Ger10201.rdmCadAutParGrpFis.
//
// Besides its controls the dialog keeps three selections (ListaInscEsta, ListaCliente,
// ListaFornecedor) as the multi-choice search writes them. A selection is emptied only
// when its "Lista" becomes the chosen button again; moving to "Todos"/"Todas"/"Nenhum"
// keeps it, and it is sent all the same (the server reads a list only beside "L").
//
//   frmcadautoimpinscesta.cpp  the controls, the two code fields, open and close
//   selection.cpp   the selection panels and their list searches
//   cadastro.cpp    confirmation: the checks, the question and the call; "Simular": the
//                   same checks and arguments to SimulaCadAutoImpInscEsta

#include "clientlib/frmrotigeral.h"

#include <QCborArray>
#include <QString>
#include <memory>
#include <optional>

class QLineEdit;

namespace fiscal::dataset {
class TClientDataSet;
class TDataSource;
}
namespace fiscal::vcl {
class TEdit;
class TGroupBox;
class TLabel;
class TMaskEdit;
class TPanel;
class TRadioButton;
class TSpeedButton;
}
namespace fiscal::clientlib {
class TADOIBQuery;
class TBtnPesquisa;
}

namespace fiscal::ger10200 {

class CodeField;
class NetRemoteObject;

class TfrmCadAutoImpInscEsta : public clientlib::TfrmRotiGeral {
    Q_OBJECT
public:
    explicit TfrmCadAutoImpInscEsta(QWidget *parent = nullptr);
    ~TfrmCadAutoImpInscEsta() override;

    vcl::TLabel *lblImposto = nullptr;
    vcl::TMaskEdit *medImposto = nullptr;
    clientlib::TBtnPesquisa *btpImposto = nullptr;
    QLineEdit *edtNmImposto = nullptr;

    vcl::TPanel *panInscEsta = nullptr;
    vcl::TLabel *lblInscrEstad = nullptr;
    vcl::TRadioButton *rbtTodasInscEsta = nullptr;
    vcl::TRadioButton *rbtListaIncEst = nullptr;
    clientlib::TBtnPesquisa *btpInscrestad = nullptr;

    vcl::TPanel *panCliente = nullptr;
    vcl::TLabel *lblCliente = nullptr;
    vcl::TRadioButton *rbtTodosClientes = nullptr;
    vcl::TRadioButton *rbtListaCliente = nullptr;
    clientlib::TBtnPesquisa *btpCliente = nullptr;
    vcl::TRadioButton *rbtNenhumCliente = nullptr;

    vcl::TPanel *panFornecedor = nullptr;
    vcl::TLabel *lblFornecedor = nullptr;
    vcl::TRadioButton *rbtTodosFornecedor = nullptr;
    vcl::TRadioButton *rbtListaFornecedor = nullptr;
    clientlib::TBtnPesquisa *btpFornecedor = nullptr;
    vcl::TRadioButton *rbtNenhumrbtNenhumFornecedor = nullptr;

    vcl::TPanel *panGrupo = nullptr;
    vcl::TLabel *lblGrupo = nullptr;
    vcl::TEdit *edtGrupoFiscal = nullptr;
    clientlib::TBtnPesquisa *btpGrupoFiscal = nullptr;
    QLineEdit *edtNMGrupoFiscal = nullptr;

    vcl::TGroupBox *grbTipoCad = nullptr;
    vcl::TRadioButton *rdbTodos = nullptr;
    vcl::TRadioButton *rdbVazios = nullptr;
    vcl::TRadioButton *rdbLimpar = nullptr;

    dataset::TClientDataSet *cdsGrupoFiscal = nullptr;
    dataset::TDataSource *dtsGrupoFisc = nullptr;
    clientlib::TADOIBQuery *qryImposto = nullptr;
    dataset::TDataSource *dtsImposto = nullptr;
    clientlib::TADOIBQuery *qryValidImposto = nullptr;
    clientlib::TADOIBQuery *qryInscrestad = nullptr;
    dataset::TDataSource *dtsInscrestad = nullptr;
    clientlib::TADOIBQuery *qryCliente = nullptr;
    dataset::TDataSource *dtsCliente = nullptr;
    clientlib::TADOIBQuery *qryFornecedor = nullptr;
    dataset::TDataSource *dtsFornecedor = nullptr;
    NetRemoteObject *netCadAutInscEsta = nullptr;
    vcl::TSpeedButton *sbtSimular = nullptr;

    // The selections as the searches wrote them ("" until a search is confirmed).
    QString ListaInscEsta;
    QString ListaCliente;
    QString ListaFornecedor;

protected:
    void FormCreate() override;
    void FormActivate() override;
    void FormClose() override;
    void sbtConfirmaClick() override;

private:
    void buildDataSets();
    void buildControls();
    void wireSelection();

    // Each runs when its button becomes the chosen one of its group.
    void rbtTodasInscEstaClick();
    void rbtListaIncEstClick();
    void rbtTodosClientesClick();
    void rbtNenhumClienteClick();
    void rbtListaClienteClick();
    void rbtTodosFornecedorClick();
    void rbtNenhumrbtNenhumFornecedorClick();
    void rbtListaFornecedorClick();
    void rdbTodosClick();
    void rdbVaziosClick();
    void rdbLimparClick();

    void btpInscrestadClick();
    void btpClienteClick();
    void btpFornecedorClick();
    void btpImpostoBeforePesq();
    void btpImpostoAfterPesq();
    void btpGrupoFiscalBeforePesq();
    void btpGrupoFiscalAfterPesq();
    void edtGrupoFiscalKeyPress(QChar &key);

    std::optional<QString> lookUpTax(const QString &code);
    std::optional<QString> lookUpGroup(const QString &code);

    // The checks of confirming, in their order; each stops with its message.
    void Verifica();
    QString confirmationKey() const;
    // CadAutoImpInscEsta's ten arguments for the dialog as it stands.
    QCborArray Arguments() const;
    void CadastroAutomatico();
    void sbtSimularClick();

    std::unique_ptr<CodeField> m_vdImposto;
    std::unique_ptr<CodeField> m_vdGrupoFiscal;
};

} // namespace fiscal::ger10200
