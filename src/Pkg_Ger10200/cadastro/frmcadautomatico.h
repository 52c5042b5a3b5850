#pragma once
// TfrmCadAutomatico, "Cadastramento Automático" (GER10201): one fiscal group for every
// record of the kind the main screen shows ("Todos Registros"), only for those without
// one ("Registros Vazios"), or cleared from all of them ("Limpar Registros"), in one
// CadastroAutomatico call on Ger10201.rdmCadAutParGrpFis.
//
// The dialog never asks which kind: it reads the main screen's active tab (and its tax,
// company and registration boxes) when the user confirms.
//
//   frmcadautomatico.cpp  the controls, the code field, open and close
//   cadastro.cpp   confirmation, the entity table and the call; "Simular", the same checks
//                  and arguments answered by SimulaCadastroAutomatico, changing nothing

#include "clientlib/frmrotigeral.h"

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
class TPanel;
class TRadioButton;
class TSpeedButton;
}
namespace fiscal::clientlib {
class TBtnPesquisa;
}

namespace fiscal::ger10200 {

class CodeField;
class NetRemoteObject;

class TfrmCadAutomatico : public clientlib::TfrmRotiGeral {
    Q_OBJECT
public:
    explicit TfrmCadAutomatico(QWidget *parent = nullptr);
    ~TfrmCadAutomatico() override;

    vcl::TGroupBox *grbTipoCad = nullptr;
    vcl::TRadioButton *rdbTodos = nullptr;
    vcl::TRadioButton *rdbVazios = nullptr;
    vcl::TRadioButton *rdbLimpar = nullptr;
    vcl::TPanel *panGrupo = nullptr;
    vcl::TLabel *lblGrupo = nullptr;
    vcl::TEdit *edtGrupoFiscal = nullptr;
    clientlib::TBtnPesquisa *btpGrupoFiscal = nullptr;
    QLineEdit *edtNMGrupoFiscal = nullptr;
    dataset::TClientDataSet *cdsGrupoFiscal = nullptr;
    dataset::TDataSource *dtsGrupoFisc = nullptr;
    NetRemoteObject *netCadAutParGrpFis = nullptr;
    vcl::TSpeedButton *sbtSimular = nullptr;

protected:
    void FormCreate() override;
    void FormActivate() override;
    void FormClose() override;
    void sbtConfirmaClick() override;

private:
    void buildControls();
    void rdbTodosClick();
    void rdbVaziosClick();
    void rdbLimparClick();
    void edtGrupoFiscalKeyPress(QChar &key);
    void btpGrupoFiscalBeforePesq();
    void btpGrupoFiscalAfterPesq();
    std::optional<QString> lookUpGroup(const QString &code);
    QString Mode() const;
    // The checks of confirming, in their order; each stops with its message.
    void Verifica();
    void CadastroAutomatico();
    void sbtSimularClick();

    std::unique_ptr<CodeField> m_vdGrupoFiscal;
};

} // namespace fiscal::ger10200
