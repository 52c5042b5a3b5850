// The automatic-registration dialog: its controls, the fiscal-group code field and the
// connection opened on create and closed on close.

#include "Pkg_Ger10200/cadastro/frmcadautomatico.h"

#include "Pkg_Ger10200/serverlink/netremoteobject.h"
#include "Pkg_Ger10200/shared/builders.h"
#include "Pkg_Ger10200/shared/codefield.h"

#include "clientlib/btnpesquisa.h"
#include "clientlib/datasetroutines.h"
#include "clientlib/hostservices.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/colors.h"
#include "vcl/containers.h"
#include "vcl/controls.h"
#include "vcl/edit.h"
#include "protocol/objects.h"

#include <QBoxLayout>
#include <QGridLayout>
#include <QLineEdit>
#include <QMainWindow>

namespace fiscal::ger10200 {

namespace method = protocol::method;

TfrmCadAutomatico::TfrmCadAutomatico(QWidget *parent)
    : clientlib::TfrmRotiGeral(parent)
{
    setObjectName(QStringLiteral("frmCadAutomatico"));
    setWindowTitle(QStringLiteral("Cadastramento Automático"));
    lblCodTela->setCaption(QStringLiteral("GER10201"));
    setClientSize(365, 131);
    msgPadrao->setStrings({
        QStringLiteral("Grup_inf|Grupo fiscal deve ser informado."),
        QStringLiteral("Grup_n_cad|Grupo fiscal não cadastrado."),
        QStringLiteral("TipoCad_Inf|Tipo de cadastramento deve ser informado."),
    });

    netCadAutParGrpFis = new NetRemoteObject(QStringLiteral("netCadAutParGrpFis"), protocol::kCadAutParGrpFis, this);
    sbtSimular = addColumnButton("sbtSimular", QStringLiteral("Si&mular"), QStyle::SP_FileDialogContentsView);
    sbtSimular->OnClick = [this] { sbtSimularClick(); };

    cdsGrupoFiscal = new dataset::TClientDataSet(this);
    cdsGrupoFiscal->setObjectName(QStringLiteral("cdsGrupoFiscal"));
    cdsGrupoFiscal->addField(QStringLiteral("CDGRUPOFISC"), 3, QStringLiteral("Código"))
        ->setEditMask(QStringLiteral("!999;0; "));
    cdsGrupoFiscal->addField(QStringLiteral("DSGRUPOFISC"), 30, QStringLiteral("Descrição"));
    dtsGrupoFisc = new dataset::TDataSource(this);
    dtsGrupoFisc->setObjectName(QStringLiteral("dtsGrupoFisc"));
    dtsGrupoFisc->setDataSet(cdsGrupoFiscal);

    buildControls();

    m_vdGrupoFiscal = std::make_unique<CodeField>(
        edtGrupoFiscal, edtNMGrupoFiscal, msgPadrao,
        CodeFieldSpec{3, QStringLiteral("Grup_inf"), QStringLiteral("Grup_n_cad")},
        [this](const QString &code) { return lookUpGroup(code); });
    m_vdGrupoFiscal->wire();
    edtGrupoFiscal->OnKeyPress = [this](QChar &key) { edtGrupoFiscalKeyPress(key); };
    rdbTodos->OnClick = [this] { rdbTodosClick(); };
    rdbVazios->OnClick = [this] { rdbVaziosClick(); };
    rdbLimpar->OnClick = [this] { rdbLimparClick(); };
    btpGrupoFiscal->OnBeforePesq = [this](clientlib::TBtnPesquisa &, bool &) { btpGrupoFiscalBeforePesq(); };
    btpGrupoFiscal->OnAfterPesq = [this](clientlib::TBtnPesquisa &) { btpGrupoFiscalAfterPesq(); };
}

TfrmCadAutomatico::~TfrmCadAutomatico() = default;

void TfrmCadAutomatico::buildControls()
{
    grbTipoCad = new vcl::TGroupBox(QStringLiteral("Tipo Cadastramento"), grbDadosRel);
    grbTipoCad->setObjectName(QStringLiteral("grbTipoCad"));
    QFont bold = grbTipoCad->font();
    bold.setBold(true);
    grbTipoCad->setFont(bold);
    auto radio = [this](const char *name, const QString &caption) {
        auto *r = new vcl::TRadioButton(caption, grbTipoCad);
        r->setObjectName(QString::fromLatin1(name));
        QFont normal = r->font();
        normal.setBold(false);
        r->setFont(normal);
        return r;
    };
    // None is selected: the user must choose.
    rdbTodos = radio("rdbTodos", QStringLiteral("Todos Registros"));
    rdbVazios = radio("rdbVazios", QStringLiteral("Registros Vazios"));
    rdbLimpar = radio("rdbLimpar", QStringLiteral("Limpar Registros"));
    auto *modes = new QVBoxLayout(grbTipoCad);
    modes->setContentsMargins(8, 2, 8, 2);
    modes->setSpacing(0);
    modes->addWidget(rdbTodos);
    modes->addWidget(rdbVazios);
    modes->addWidget(rdbLimpar);

    panGrupo = new vcl::TPanel(grbDadosRel);
    panGrupo->setObjectName(QStringLiteral("panGrupo"));
    panGrupo->setFrameShape(QFrame::NoFrame);
    lblGrupo = new vcl::TLabel(QStringLiteral("Grupo Fiscal"), true, panGrupo);
    lblGrupo->setObjectName(QStringLiteral("lblGrupo"));
    edtGrupoFiscal = makeGrupoFiscalBox(panGrupo, QStringLiteral("edtGrupoFiscal"));
    auto *line = new QHBoxLayout(panGrupo);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(4);
    line->addWidget(lblGrupo);
    const CodeFieldRow group = addCodeFieldRow(line, edtGrupoFiscal,
                                               {"btpGrupoFiscal", QStringLiteral("Grupo Fiscal"), dtsGrupoFisc,
                                                QStringLiteral("Não há grupo fiscal cadastrado."), "edtNMGrupoFiscal"});
    btpGrupoFiscal = group.search;
    edtNMGrupoFiscal = group.name;

    // The mode buttons beside the button column; the fiscal-group line below both, so
    // that a long description shows whole in the small dialog.
    grbDadosRel->setFlat(true);
    grbDadosRel->setStyleSheet(QStringLiteral("QGroupBox#grbDadosRel { border: 0; margin: 0; padding: 0; }"));
    auto *data = new QVBoxLayout(grbDadosRel);
    data->setContentsMargins(0, 0, 0, 0);
    data->addWidget(grbTipoCad);
    FormLayout()->addWidget(panGrupo, 1, 0, 1, 2);

    QWidget::setTabOrder(rdbTodos, rdbVazios);
    QWidget::setTabOrder(rdbVazios, rdbLimpar);
    QWidget::setTabOrder(rdbLimpar, edtGrupoFiscal);
    rdbTodos->setFocus(Qt::OtherFocusReason);
}

// ---- open, activate, close ----------------------------------------------------------------

void TfrmCadAutomatico::FormCreate()
{
    clientlib::TfrmRotiGeral::FormCreate();
    clientlib::WaitScope wait(clientlib::hostMainWindow(), 0);
    netCadAutParGrpFis->Open();
}

void TfrmCadAutomatico::FormActivate()
{
    clientlib::TfrmRotiGeral::FormActivate();
    repaint();
}

void TfrmCadAutomatico::FormClose()
{
    netCadAutParGrpFis->Close();
    clientlib::TfrmRotiGeral::FormClose();
}

// ---- mode buttons and the fiscal-group line -------------------------------------------------

void TfrmCadAutomatico::rdbTodosClick()
{
    clientlib::SetChildEnabled(panGrupo, true);
}

void TfrmCadAutomatico::rdbVaziosClick()
{
    clientlib::SetChildEnabled(panGrupo, true);
}

void TfrmCadAutomatico::rdbLimparClick()
{
    // The code typed so far stays, for when the user picks another mode again.
    clientlib::SetChildEnabled(panGrupo, !rdbLimpar->isChecked());
}

void TfrmCadAutomatico::edtGrupoFiscalKeyPress(QChar &key)
{
    filterGrupoFiscalKey(key);
}

std::optional<QString> TfrmCadAutomatico::lookUpGroup(const QString &code)
{
    cdsGrupoFiscal->setData(netCadAutParGrpFis->packet(method::GetGrupoFiscal, {code}));
    if (cdsGrupoFiscal->IsEmpty())
        return std::nullopt;
    return cdsGrupoFiscal->FieldByName(QStringLiteral("DSGRUPOFISC"))->AsString();
}

void TfrmCadAutomatico::btpGrupoFiscalBeforePesq()
{
    cdsGrupoFiscal->setData(netCadAutParGrpFis->packet(method::GetGrupoFiscal, {QString()}));
}

void TfrmCadAutomatico::btpGrupoFiscalAfterPesq()
{
    m_vdGrupoFiscal->setFromSearch(cdsGrupoFiscal->FieldByName(QStringLiteral("CDGRUPOFISC"))->AsString(),
                                   cdsGrupoFiscal->FieldByName(QStringLiteral("DSGRUPOFISC"))->AsString());
}

} // namespace fiscal::ger10200
