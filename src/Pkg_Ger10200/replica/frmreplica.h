#pragma once
// TfrmReplica, "Replicação de Parâmetros Grupo Fiscal Imposto/Inscrição Estadual"
// (GER00508): copies the fiscal groups per tax and state registration of one origin (tax,
// company, registration, all or some groups) to a destination company, into all or some
// of its registrations. Suppliers or clients: whichever inner tab the main screen shows
// when the user confirms.
//
// The dialog has no connection of its own: both calls go through the main screen's
// netParamGrupFiscal, so it is opened from the main screen only.
//
//   frmreplica.cpp the controls, the queries, the code fields, the search and list buttons
//   replica.cpp    confirmation: the checks in their order, the origin read, the question
//                  and the Replica call; "Simular": the same checks, SimulaReplica

#include "clientlib/frmrotigeral.h"

#include <QCborArray>
#include <QString>
#include <memory>

class QLineEdit;

namespace fiscal::dataset {
class TClientDataSet;
class TDataSource;
}
namespace fiscal::vcl {
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
class ListChoice;
class TfrmParamGrupFiscal;

class TfrmReplica : public clientlib::TfrmRotiGeral {
    Q_OBJECT
public:
    explicit TfrmReplica(QWidget *parent = nullptr);
    ~TfrmReplica() override;

    // The selections as the server receives them: "" (nothing yet), "T" or a list.
    const QString &ListaGrupoFiscal() const;
    const QString &ListaInscEstaDest() const;

    // Origin: grbDadosRel, " Origem ".
    vcl::TLabel *lblEmpresa = nullptr;
    vcl::TMaskEdit *medCdEmpresa = nullptr;
    clientlib::TBtnPesquisa *btpEmpresa = nullptr;
    QLineEdit *edtNmEmpresa = nullptr;
    vcl::TLabel *lblInscEsta = nullptr;
    vcl::TMaskEdit *medCdInscEsta = nullptr;
    clientlib::TBtnPesquisa *btpInscEsta = nullptr;
    vcl::TLabel *lblImposto = nullptr;
    vcl::TMaskEdit *medCdImposto = nullptr;
    clientlib::TBtnPesquisa *btpImposto = nullptr;
    QLineEdit *edtNmImposto = nullptr;
    vcl::TLabel *lblGrupoFisc = nullptr;
    vcl::TPanel *panGrupoFisc = nullptr;
    vcl::TRadioButton *rbtTGrupoFisc = nullptr;
    vcl::TRadioButton *rbtLGrupoFisc = nullptr;
    clientlib::TBtnPesquisa *btpGrupoFisc = nullptr;

    // Destination: grbDestino, " Destino ".
    vcl::TGroupBox *grbDestino = nullptr;
    vcl::TLabel *lblEmpDest = nullptr;
    vcl::TMaskEdit *medCdEmpDest = nullptr;
    clientlib::TBtnPesquisa *btpEmprDest = nullptr;
    QLineEdit *edtNMEmpresaDest = nullptr;
    vcl::TLabel *lblInscDest = nullptr;
    vcl::TPanel *panInsc = nullptr;
    vcl::TRadioButton *rbtTodasInsc = nullptr;
    vcl::TRadioButton *rbtListInscEsta = nullptr;
    clientlib::TBtnPesquisa *btpInscrEstad = nullptr;

    // Lookups and lists, on the shared database connection.
    clientlib::TADOIBQuery *qryEmpresa = nullptr;
    clientlib::TADOIBQuery *qryValidEmpresa = nullptr;
    clientlib::TADOIBQuery *qryInscEstad = nullptr;
    clientlib::TADOIBQuery *qryInscEstadDest = nullptr;
    clientlib::TADOIBQuery *qryValidInscEstad = nullptr;
    clientlib::TADOIBQuery *qryImposto = nullptr;
    clientlib::TADOIBQuery *qryValidImposto = nullptr;
    clientlib::TADOIBQuery *qryGrupoFiscal = nullptr;
    dataset::TDataSource *dtsEmpresa = nullptr;
    dataset::TDataSource *dtsInscEstad = nullptr;
    dataset::TDataSource *dtsInscEstadDest = nullptr;
    dataset::TDataSource *dtsImposto = nullptr;
    dataset::TDataSource *dtsGrupoFiscal = nullptr;

    vcl::TSpeedButton *sbtSimular = nullptr;

    // The origin's rows as read before the question (only their presence counts).
    dataset::TClientDataSet *cdsAuxFornInsc = nullptr;
    dataset::TClientDataSet *cdsAuxCliInsc = nullptr;

protected:
    void FormCreate() override;
    void sbtConfirmaClick() override;

private:
    void buildQueries();
    void buildOrigin();
    void buildDestination();
    void wireCodeFields();
    void wireButtons();

    // The code-field checks; mandatory, each looks its code up again only while its box
    // still has the focus (a code accepted when the focus left the box stands).
    void Vd_Imposto(bool mandatory);
    void Vd_Empresa(CodeField &field, bool mandatory);
    void Vd_Inscricao(bool mandatory);
    void validate(CodeField &field, bool mandatory);

    void btpInscEstaBeforePesq();
    void btpGrupoFiscClick();
    void btpInscrEstadClick();
    void medCdEmpDestChange();

    // replica.cpp
    // The checks of confirming, in their order; each stops with its message.
    void Verifica();
    // The main screen, or the message that replication needs it.
    TfrmParamGrupFiscal &mainScreen();
    // Replica's arguments, suppliers or clients by the main screen's inner tab.
    QCborArray ReplicaArgs(TfrmParamGrupFiscal &main) const;
    void Replica();
    void sbtSimularClick();

    std::unique_ptr<CodeField> m_vdImposto;
    std::unique_ptr<CodeField> m_vdEmpresa;
    std::unique_ptr<CodeField> m_vdInscricao;
    std::unique_ptr<CodeField> m_vdEmpDest;
    std::unique_ptr<ListChoice> m_grupoFiscal;     // ListaGrupoFiscal, emptied by each click
    std::unique_ptr<ListChoice> m_inscEstaDest;    // ListaInscEstaDest, kept across clicks
};

} // namespace fiscal::ger10200
